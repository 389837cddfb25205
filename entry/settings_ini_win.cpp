#include "entry/settings_ini.h"
#include "entry/settings_values.h"

#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmwinkit.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

// The INI reader fills the portable mirror of the persisted fields, which is
// copied over the record's first bytes.
#define PM_SAME_FIELD(f) static_assert(offsetof(ImageConvertParams, f) == offsetof(PersistedParams, f))
PM_SAME_FIELD(Direction);
PM_SAME_FIELD(Resize);
PM_SAME_FIELD(Size);
PM_SAME_FIELD(BitCount);
PM_SAME_FIELD(Palette);
PM_SAME_FIELD(ZoomFilter);
PM_SAME_FIELD(UseFilter);
PM_SAME_FIELD(Filter);
PM_SAME_FIELD(ImageTypeCount);
PM_SAME_FIELD(ImageType);
PM_SAME_FIELD(FileMode);
PM_SAME_FIELD(WritePath);
PM_SAME_FIELD(LogFile);
PM_SAME_FIELD(WriteImageType);
PM_SAME_FIELD(ImageCount);
PM_SAME_FIELD(SaveOptions);
PM_SAME_FIELD(CurNode);
PM_SAME_FIELD(CurLeaf);
#undef PM_SAME_FIELD
static_assert(sizeof(ImageConvertParams::Size) == sizeof(PersistedParams::Size));
static_assert(sizeof(PersistedParams) == offsetof(ImageConvertParams, CurLeaf) + sizeof(int32_t));

namespace {

constexpr int kDesktopFolderId = 16;  // the shell's id of the user's desktop
constexpr int kDefaultFolderBytes = 300;

// The INI file's values through the private-profile functions.
class ProfileValues final : public SettingsValues {
public:
    explicit ProfileValues(const char* file) : file_(file) {}
    int Int(const char* section, const char* key, int def) const override {
        return int(GetPrivateProfileIntA(section, key, def, file_));
    }
    uint32_t String(const char* section, const char* key, const char* def, char* out,
                    uint32_t size) const override {
        return GetPrivateProfileStringA(section, key, def, out, size, file_);
    }

private:
    const char* file_;
};

// The folder that output and log default to: the desktop, else the
// temporary folder.
void DefaultFolder(char (&folder)[kDefaultFolderBytes]) {
    std::memset(folder, 0, sizeof folder);
    if (WinKit_GetSpecialFolder(nullptr, kDesktopFolderId, folder) < 0) {
        std::memset(folder, 0, sizeof folder);
        GetTempPathA(sizeof folder, folder);
    }
}

void WriteInt(const char* section, const char* key, long value, const char* file) {
    char text[16];
    std::snprintf(text, sizeof text, "%ld", value);
    WritePrivateProfileStringA(section, key, text, file);
}

void WriteUnsigned(const char* key, unsigned value, const char* file) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", int(value));
    WritePrivateProfileStringA(kIniSection, key, text, file);
}

}  // namespace

extern "C" int PM_API pmImageConvert_GetPrivateIniFile(ImageConvertParams* params, const char* iniFile) {
    if (!params) return 0;
    int libraryTypes[kMaxImageTypes] = {};
    SettingsDefaults defaults;
    defaults.imageTypes = libraryTypes;
    defaults.imageTypeCount = ImgKit_ListImageTypes(16, kMaxImageTypes, libraryTypes);
    char folder[kDefaultFolderBytes];
    DefaultFolder(folder);
    char logFile[kDefaultFolderBytes];
    PmPath_Copy(logFile, sizeof logFile, folder);
    Core_SetTrailingSeparator(logFile, 1);
    PmPath_Append(logFile, sizeof logFile, kDefaultLogName);
    defaults.writePath = folder;
    defaults.logFile = logFile;

    const bool stored = iniFile && *iniFile;
    ProfileValues values(iniFile);
    // Starts from the record's own bytes: the reader writes the paths up to
    // their terminators only, and what follows must stay as the caller had
    // it (the settings dialog compares the persisted part as one block).
    PersistedParams read;
    std::memcpy(&read, params, sizeof read);
    ReadPersistedParams(stored ? &values : nullptr, defaults, &read);
    std::memcpy(params, &read, sizeof read);
    return 0;
}

int WritePrivateIniFileEx(const ImageConvertParams* params, const char* iniFile, int displayOnly) {
    if (!params || !iniFile || !*iniFile) return displayOnly ? 1 : 0;
    const ImageConvertParams& p = *params;
    WriteInt(kIniDisplaySection, "CurNode", p.CurNode, iniFile);
    WriteInt(kIniDisplaySection, "CurLeaf", p.CurLeaf, iniFile);
    if (displayOnly) return 1;

    const char* s = kIniSection;
    WriteInt(s, "Direction", p.Direction, iniFile);
    WriteInt(s, "Resize", p.Resize, iniFile);
    WriteInt(s, "Size.cx", p.Size.cx, iniFile);
    WriteInt(s, "Size.cy", p.Size.cy, iniFile);
    WriteInt(s, "BitCount", p.BitCount, iniFile);
    WriteInt(s, "Palette", p.Palette, iniFile);
    WriteInt(s, "ZoomFilter", p.ZoomFilter, iniFile);
    WriteInt(s, "UseFilter", p.UseFilter, iniFile);
    WriteInt(s, "Filter", p.Filter, iniFile);
    WriteInt(s, "ImageTypeCount", p.ImageTypeCount, iniFile);
    // Never past the array, whatever the count holds; keys of a larger old
    // count stay in the file and are ignored when read.
    int count = p.ImageTypeCount < 0 ? 0 : p.ImageTypeCount > kMaxImageTypes ? kMaxImageTypes : p.ImageTypeCount;
    for (int i = 0; i < count; ++i) {
        char key[24];
        std::snprintf(key, sizeof key, "ImageType%d", i);
        WriteInt(s, key, p.ImageType[i], iniFile);
    }
    WriteInt(s, "FileMode", long(int32_t(p.FileMode)), iniFile);
    // The buffers are zero-terminated by every writer of the record, but a
    // caller-made record may not be: write at most the buffer.
    char text[kPathBuffer + 1];
    std::snprintf(text, sizeof text, "%.*s", int(strnlen(p.WritePath, kPathBuffer)), p.WritePath);
    WritePrivateProfileStringA(s, "WritePath", text, iniFile);
    std::snprintf(text, sizeof text, "%.*s", int(strnlen(p.LogFile, kPathBuffer)), p.LogFile);
    WritePrivateProfileStringA(s, "LogFile", text, iniFile);
    WriteInt(s, "WriteImageType", p.WriteImageType, iniFile);
    WriteInt(s, "ImageCount", p.ImageCount, iniFile);
    WriteUnsigned("Bmp_Format", p.SaveOptions.Bmp_Format, iniFile);
    WriteUnsigned("Bmp_Comp", p.SaveOptions.Bmp_Comp, iniFile);
    WriteUnsigned("Jpeg_Quality", p.SaveOptions.Jpeg_Quality, iniFile);
    WriteUnsigned("Jpeg_Smoothing", p.SaveOptions.Jpeg_Smoothing, iniFile);
    WriteUnsigned("Jpeg_OptEncode", p.SaveOptions.Jpeg_OptEncode, iniFile);
    WriteUnsigned("Jpeg_Progressive", p.SaveOptions.Jpeg_Progressive, iniFile);
    WriteUnsigned("Png_Interlace", p.SaveOptions.Png_Interlace, iniFile);
    WriteUnsigned("Gif_Interlace", p.SaveOptions.Gif_Interlace, iniFile);
    return 0;
}

extern "C" int PM_API pmImageConvert_WritePrivateIniFile(ImageConvertParams* params, const char* iniFile) {
    WritePrivateIniFileEx(params, iniFile, 0);
    return 0;
}
