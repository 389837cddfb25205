// The newer settings (AutoRotate, ColorManage, KeepMetadata, NoEnlarge,
// Threads, the WebP options) in the INI file beside the settings record they
// are bound to.
#include "common/testsupport.h"
#include "entry/extras.h"
#include "entry/settings_ini.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(path, &data);
    return std::string(data.begin(), data.end());
}

struct Bound {
    ImageConvertParams params;
    ImageConvertExtras extras{9, 9, 9, 9, 9};
    ScopedExtras binding{&params, &extras};
    Bound() { std::memset(&params, 0, sizeof params); }
};

TEST(ExtrasIni, DefaultsWithoutFileOrKeys) {
    Bound b;
    pmImageConvert_GetPrivateIniFile(&b.params, nullptr);
    EXPECT_EQ(b.extras, kDefaultExtras);
    EXPECT_EQ(kDefaultExtras.AutoRotate, 1);
    EXPECT_EQ(kDefaultExtras.ColorManage, 1);
    EXPECT_EQ(kDefaultExtras.KeepMetadata, 0);
    EXPECT_EQ(kDefaultExtras.NoEnlarge, 0);

    // An INI file of an older release has none of the keys.
    pmtest::TempDir dir;
    std::string ini = dir / "old.ini";
    std::string old = "[IMGCONVERT]\r\nDirection=5\r\nGif_Interlace=1\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, old.data(), old.size()));
    b.extras = ImageConvertExtras{7, 7, 7, 7, 7};
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    EXPECT_EQ(b.params.Direction, 5);
    EXPECT_EQ(b.extras, kDefaultExtras);
}

TEST(ExtrasIni, RoundTripOfEveryCombination) {
    pmtest::TempDir dir;
    std::string ini = dir / "round.ini";
    for (int bits = 0; bits < 16; ++bits) {
        Bound w;
        pmImageConvert_GetPrivateIniFile(&w.params, nullptr);
        w.extras = ImageConvertExtras{bits & 1, (bits >> 1) & 1, (bits >> 2) & 1, (bits >> 3) & 1, 0};
        pmImageConvert_WritePrivateIniFile(&w.params, ini.c_str());
        Bound r;
        pmImageConvert_GetPrivateIniFile(&r.params, ini.c_str());
        EXPECT_EQ(r.extras, w.extras) << "combination " << bits;
    }
}

TEST(ExtrasIni, KeysComeAfterEveryOlderKeyInTheirOrder) {
    pmtest::TempDir dir;
    std::string ini = dir / "order.ini";
    Bound b;
    pmImageConvert_GetPrivateIniFile(&b.params, nullptr);
    b.extras = ImageConvertExtras{0, 1, 1, 0, 0, {35, 1}};
    pmImageConvert_WritePrivateIniFile(&b.params, ini.c_str());
    std::string text = ReadText(ini);
    // Last, the types the library offered: what this file could have ticked.
    int types[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(16, kMaxImageTypes, types);
    std::string known;
    for (int i = 0; i < n; ++i) known += (i ? "," : "") + std::to_string(types[i]);
    const std::string tail = "Gif_Interlace=2\r\nAutoRotate=0\r\nColorManage=1\r\nKeepMetadata=1\r\nNoEnlarge=0\r\n"
                             "Threads=0\r\nWebp_Quality=35\r\nWebp_Lossless=1\r\nKnownImageTypes=" + known + "\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

    // Rewriting a file of an older release appends them at the section's end.
    std::string old = "[IMGCONVERT]\r\nDirection=5\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, old.data(), old.size()));
    pmImageConvert_WritePrivateIniFile(&b.params, ini.c_str());
    text = ReadText(ini);
    EXPECT_LT(text.find("Gif_Interlace="), text.find("AutoRotate="));
    EXPECT_LT(text.find("AutoRotate="), text.find("NoEnlarge="));
    EXPECT_LT(text.find("Threads="), text.find("Webp_Quality="));
    EXPECT_LT(text.find("Webp_Quality="), text.find("Webp_Lossless="));
    EXPECT_LT(text.find("NoEnlarge="), text.find("Threads="));
    EXPECT_LT(text.find("Threads="), text.find("KnownImageTypes="));

    // A file that knew every type keeps an unticked one unticked.
    std::string chosen = "[IMGCONVERT]\r\nImageTypeCount=1\r\nImageType0=3\r\nKnownImageTypes=" + known + "\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, chosen.data(), chosen.size()));
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    EXPECT_EQ(b.params.ImageTypeCount, 1);
    EXPECT_EQ(b.params.ImageType[0], 3);
}

TEST(ExtrasIni, ThreadsRoundTripsAndCountsItCannotHoldReadAsAutomatic) {
    pmtest::TempDir dir;
    std::string ini = dir / "threads.ini";
    for (int threads : {0, 1, 2, 7, 64}) {
        Bound w;
        pmImageConvert_GetPrivateIniFile(&w.params, nullptr);
        w.extras.Threads = threads;
        pmImageConvert_WritePrivateIniFile(&w.params, ini.c_str());
        Bound r;
        pmImageConvert_GetPrivateIniFile(&r.params, ini.c_str());
        EXPECT_EQ(r.extras.Threads, threads);
        EXPECT_EQ(r.extras, w.extras);
    }
    for (const char* bad : {"-1", "65", "1000", "4294967297", "abc", "2x", ""}) {
        std::string text = std::string("[IMGCONVERT]\r\nThreads=") + bad + "\r\n";
        ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
        Bound b;
        b.extras.Threads = 5;
        pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
        EXPECT_EQ(b.extras.Threads, 0) << bad;
    }
}

TEST(ExtrasIni, ValuesOtherThanZeroAndOneReadAsTheDefault) {
    pmtest::TempDir dir;
    std::string ini = dir / "bad.ini";
    std::string text = "[IMGCONVERT]\r\nAutoRotate=2\r\nColorManage=-1\r\nKeepMetadata=yes\r\nNoEnlarge=65537\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    Bound b;
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    // "yes" is not a number: the profile functions read 0, a valid value.
    EXPECT_EQ(b.extras, (ImageConvertExtras{1, 1, 0, 0, 0, kDefaultWebpOptions}));
    text = "[IMGCONVERT]\r\nAutoRotate=0\r\nColorManage=0\r\nKeepMetadata=1\r\nNoEnlarge=1\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    EXPECT_EQ(b.extras, (ImageConvertExtras{0, 0, 1, 1, 0, kDefaultWebpOptions}));
}

TEST(ExtrasIni, WebpOptionsRoundTripAndValuesOutOfRangeReadAsTheDefault) {
    pmtest::TempDir dir;
    std::string ini = dir / "webp.ini";
    EXPECT_EQ(kDefaultExtras.Webp.Quality, 80);
    EXPECT_EQ(kDefaultExtras.Webp.Lossless, 0);
    for (WebpSaveOptions o : {WebpSaveOptions{0, 0}, WebpSaveOptions{100, 1}, WebpSaveOptions{57, 0}}) {
        Bound w;
        pmImageConvert_GetPrivateIniFile(&w.params, nullptr);
        w.extras.Webp = o;
        pmImageConvert_WritePrivateIniFile(&w.params, ini.c_str());
        Bound r;
        pmImageConvert_GetPrivateIniFile(&r.params, ini.c_str());
        EXPECT_EQ(r.extras, w.extras) << o.Quality;
    }
    std::string text = "[IMGCONVERT]\r\nWebp_Quality=101\r\nWebp_Lossless=2\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    Bound b;
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    EXPECT_EQ(b.extras.Webp.Quality, 80);
    EXPECT_EQ(b.extras.Webp.Lossless, 0);
    text = "[IMGCONVERT]\r\nWebp_Quality=-1\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    pmImageConvert_GetPrivateIniFile(&b.params, ini.c_str());
    EXPECT_EQ(b.extras.Webp.Quality, 80);
}

TEST(ExtrasIni, RecordsWithoutExtrasLeaveTheKeysAlone) {
    pmtest::TempDir dir;
    std::string ini = dir / "foreign.ini";
    std::string text = "[IMGCONVERT]\r\nKeepMetadata=1\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    ImageConvertParams p;
    std::memset(&p, 0, sizeof p);
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    text = ReadText(ini);
    EXPECT_NE(text.find("KeepMetadata=1"), std::string::npos);
    EXPECT_EQ(text.find("AutoRotate"), std::string::npos);
    EXPECT_EQ(Pm_ExtrasFor(&p), kDefaultExtras);
    EXPECT_EQ(Pm_ExtrasOf(&p), nullptr);
}

TEST(ExtrasIni, TheModuleRecordAlwaysHasItsOwn) {
    ImageConvertExtras* module = Pm_ExtrasOf(Pm_ModuleParams());
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(Pm_BindExtras(Pm_ModuleParams(), nullptr));
    // Binding and unbinding leave no trace.
    ImageConvertParams p;
    ImageConvertExtras x = {0, 0, 1, 1, 0};
    {
        ScopedExtras s(&p, &x);
        EXPECT_EQ(Pm_ExtrasOf(&p), &x);
    }
    EXPECT_EQ(Pm_ExtrasOf(&p), nullptr);
}

}  // namespace
