// The INI reading rules apart from the file: what a damaged or hand-edited
// file may hold never reaches past the record's arrays or names another
// folder.
#include "entry/settings_values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

class MapValues final : public SettingsValues {
public:
    std::map<std::string, std::string> values;  // "SECTION/key" -> text
    int Int(const char* section, const char* key, int def) const override {
        auto it = values.find(std::string(section) + "/" + key);
        return it == values.end() ? def : std::atoi(it->second.c_str());
    }
    uint32_t String(const char* section, const char* key, const char* def, char* out, uint32_t size) const override {
        auto it = values.find(std::string(section) + "/" + key);
        std::string v = it == values.end() ? def : it->second;
        size_t n = v.size() < size - 1 ? v.size() : size - 1;
        std::memcpy(out, v.data(), n);
        out[n] = '\0';
        return uint32_t(n);
    }
};

const int kTypes[] = {1, 3, 4};

SettingsDefaults Defaults() {
    SettingsDefaults d;
    d.imageTypes = kTypes;
    d.imageTypeCount = 3;
    d.writePath = "C:\\out";
    d.logFile = "C:\\out\\log.txt";
    return d;
}

PersistedParams Read(const SettingsValues* values) {
    PersistedParams p;
    std::memset(&p, 0xCD, sizeof p);  // every field must be set
    ReadPersistedParams(values, Defaults(), &p);
    return p;
}

TEST(SettingsValues, NoValuesGiveDefaultsAndTheLibraryTypes) {
    PersistedParams p = Read(nullptr);
    EXPECT_EQ(p.ImageTypeCount, 3);
    EXPECT_EQ(p.ImageType[2], 4);
    EXPECT_EQ(p.ImageType[3], 0);
    EXPECT_STREQ(p.WritePath, "C:\\out");
    EXPECT_STREQ(p.LogFile, "C:\\out\\log.txt");
    EXPECT_EQ(p.FileMode, kDefaultFileMode);
    EXPECT_EQ(p.SaveOptions.Size, sizeof(SaveOptions));
    EXPECT_EQ(p.CurLeaf, 0);
}

TEST(SettingsValues, HostileValuesStayInsideTheRecord) {
    MapValues v;
    v.values["IMGCONVERT/ImageTypeCount"] = "99";
    v.values["IMGCONVERT/ImageType29"] = "7";
    v.values["IMGCONVERT/ImageType30"] = "7";
    v.values["IMGCONVERT/WritePath"] = std::string(kPathBuffer, 'a');  // cut would name another folder
    v.values["IMGCONVERT/LogFile"] = std::string(kPathBuffer - 1, 'b');
    v.values["IMGCONVERT/Png_Interlace"] = "3";
    PersistedParams p = Read(&v);
    EXPECT_EQ(p.ImageTypeCount, kMaxImageTypes);
    EXPECT_EQ(p.ImageType[29], 7);
    EXPECT_EQ(p.ImageType[5], 0);  // no library default that far
    EXPECT_STREQ(p.WritePath, "");
    EXPECT_EQ(std::strlen(p.LogFile), size_t(kPathBuffer - 1));
    EXPECT_LE(p.SaveOptions.Png_Interlace, 1);

    v.values["IMGCONVERT/ImageTypeCount"] = "-4";
    p = Read(&v);
    EXPECT_EQ(p.ImageTypeCount, 0);
    for (int t : p.ImageType) EXPECT_EQ(t, 0);
}

TEST(SettingsValues, ValuesNoDialogCanMakeReadAsSoundOnes) {
    // A filter outside the list or a type that cannot be written would fail
    // every file of a run; each reads as what the dialog can show.
    struct Row { const char* key; const char* stored; int filter, useFilter, writeType; } rows[] = {
        {"Filter", "11", 4, 0, 3},  {"Filter", "16", 4, 0, 3},  {"Filter", "19", 4, 0, 3},
        {"Filter", "23", 4, 0, 3},  {"Filter", "24", 4, 0, 3},  {"Filter", "99", 4, 0, 3},
        {"Filter", "-1", 4, 0, 3},  {"Filter", "0", 4, 0, 3},   {"Filter", "26", 26, 1, 3},
        {"Filter", "12", 12, 1, 3}, {"WriteImageType", "7", 2, 1, 3}, {"WriteImageType", "2", 2, 1, 3},
        {"WriteImageType", "0", 2, 1, 3}, {"WriteImageType", "-5", 2, 1, 3},
        {"WriteImageType", "6", 2, 1, 6}, {"WriteImageType", "1", 2, 1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.stored);
        MapValues v;
        v.values["IMGCONVERT/UseFilter"] = "1";
        v.values["IMGCONVERT/Filter"] = "2";
        v.values[std::string("IMGCONVERT/") + r.key] = r.stored;
        PersistedParams p = Read(&v);
        EXPECT_EQ(p.Filter, r.filter);
        EXPECT_EQ(p.UseFilter, r.useFilter);
        EXPECT_EQ(p.WriteImageType, r.writeType);
    }
}

}  // namespace
