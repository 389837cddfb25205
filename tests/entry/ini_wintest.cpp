// The settings record through the INI file: defaults, round trip, the
// corrections the reader makes, and what the writer leaves alone.
#include "common/testsupport.h"
#include "entry/settings_ini.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(path, &data);
    return std::string(data.begin(), data.end());
}

void WriteText(const std::string& path, const std::string& text) {
    ASSERT_TRUE(pmtest::WriteWholeFile(path, text.data(), text.size()));
}

std::string IniValueOf(const std::string& file, const char* key) {
    char buf[300] = "";
    GetPrivateProfileStringA("IMGCONVERT", key, "<missing>", buf, sizeof buf, file.c_str());
    return buf;
}

ImageConvertParams Fresh() {
    ImageConvertParams p;
    std::memset(&p, 0xCD, sizeof p);  // readers must set every persisted field
    return p;
}

std::string DesktopOrTemp() {
    char folder[MAX_PATH + 1] = {};
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_DESKTOPDIRECTORY, FALSE) || !folder[0])
        GetTempPathA(sizeof folder, folder);
    return folder;
}

bool SamePersisted(const ImageConvertParams& a, const ImageConvertParams& b) {
    return a.Direction == b.Direction && a.Resize == b.Resize && a.Size.cx == b.Size.cx && a.Size.cy == b.Size.cy &&
           a.BitCount == b.BitCount && a.Palette == b.Palette && a.ZoomFilter == b.ZoomFilter &&
           a.UseFilter == b.UseFilter && a.Filter == b.Filter && a.ImageTypeCount == b.ImageTypeCount &&
           std::memcmp(a.ImageType, b.ImageType, sizeof(int32_t) * a.ImageTypeCount) == 0 &&
           a.FileMode == b.FileMode && std::strcmp(a.WritePath, b.WritePath) == 0 &&
           std::strcmp(a.LogFile, b.LogFile) == 0 && a.WriteImageType == b.WriteImageType &&
           a.ImageCount == b.ImageCount && std::memcmp(&a.SaveOptions, &b.SaveOptions, sizeof a.SaveOptions) == 0 &&
           a.CurNode == b.CurNode && a.CurLeaf == b.CurLeaf;
}

}  // namespace

TEST(SettingsIni, DefaultsWithoutFileTouchNothingElse) {
    ImageConvertParams p = Fresh();
    p.Instance = reinterpret_cast<HINSTANCE>(0x1234);
    EXPECT_EQ(pmImageConvert_GetPrivateIniFile(&p, nullptr), 0);
    EXPECT_EQ(p.Direction, 0);
    EXPECT_EQ(p.Resize, 1);
    EXPECT_EQ(p.Size.cx, 96);
    EXPECT_EQ(p.Size.cy, 96);
    EXPECT_EQ(p.BitCount, 0);
    EXPECT_EQ(p.Palette, 0);
    EXPECT_EQ(p.ZoomFilter, 1);
    EXPECT_EQ(p.UseFilter, 0);
    EXPECT_EQ(p.Filter, 4);
    int types[30];
    int n = ImgKit_ListImageTypes(16, 30, types);
    ASSERT_EQ(p.ImageTypeCount, n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(p.ImageType[i], types[i]);
    for (int i = n; i < kMaxImageTypes; ++i) EXPECT_EQ(p.ImageType[i], 0);
    EXPECT_EQ(p.FileMode, 54128u);
    std::string folder = DesktopOrTemp();
    EXPECT_EQ(std::string(p.WritePath), folder);
    std::string log = folder;
    if (log.back() != '\\') log += '\\';
    log += "Vimoｻﾑﾈｲﾙﾛｸﾞ.txt";
    EXPECT_EQ(std::string(p.LogFile), log);
    EXPECT_EQ(p.WriteImageType, 3);
    EXPECT_EQ(p.ImageCount, 1);
    DibIOOptions bmp, jpeg;
    DibIO_GetDefaultOptions(kTypeBmp, &bmp);
    DibIO_GetDefaultOptions(kTypeJpeg, &jpeg);
    EXPECT_EQ(p.SaveOptions.Size, 16u);
    EXPECT_EQ(p.SaveOptions.Bmp_Format, bmp.Bmp.Format);
    EXPECT_EQ(p.SaveOptions.Bmp_Comp, bmp.Bmp.Compression);
    EXPECT_EQ(p.SaveOptions.Jpeg_Quality, jpeg.Jpeg.Quality);
    EXPECT_EQ(p.SaveOptions.Jpeg_Progressive, 2);
    EXPECT_EQ(p.SaveOptions.Png_Interlace, 2);
    EXPECT_EQ(p.SaveOptions.Gif_Interlace, 2);
    EXPECT_EQ(p.SaveOptions.Padding[0], 0);
    EXPECT_EQ(p.CurNode, 0);
    EXPECT_EQ(p.CurLeaf, 0);
    EXPECT_EQ(p.Instance, reinterpret_cast<HINSTANCE>(0x1234));  // outside the persisted part

    ImageConvertParams q = Fresh();
    pmtest::TempDir dir;
    pmImageConvert_GetPrivateIniFile(&q, (dir / "missing.ini").c_str());
    EXPECT_TRUE(SamePersisted(p, q));
    EXPECT_FALSE(pmtest::FileExists(dir / "missing.ini"));
}

TEST(SettingsIni, RoundTripKeepsEveryPersistedField) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, nullptr);
    p.Direction = 7;
    p.Resize = 2;
    p.Size = {-5, 9999};
    p.BitCount = 24;
    p.Palette = 3;
    p.ZoomFilter = 0;
    p.UseFilter = 1;
    p.Filter = 26;
    p.ImageTypeCount = 3;
    p.ImageType[0] = 7;
    p.ImageType[1] = 5;
    p.ImageType[2] = 1;
    p.FileMode = 0xFFF0;
    std::strcpy(p.WritePath, "C:\\出力\\表ソ");
    std::strcpy(p.LogFile, "D:\\ログ\\ｻﾑﾈｲﾙ.txt");
    p.WriteImageType = 6;
    p.ImageCount = -3;
    p.SaveOptions.Bmp_Format = 65535;
    p.SaveOptions.Bmp_Comp = 1;
    p.SaveOptions.Jpeg_Quality = 200;
    p.SaveOptions.Jpeg_Smoothing = 255;
    p.SaveOptions.Jpeg_OptEncode = 0;
    p.SaveOptions.Jpeg_Progressive = 0;
    p.SaveOptions.Png_Interlace = 1;
    p.SaveOptions.Gif_Interlace = 2;
    p.CurNode = 5;
    p.CurLeaf = 0;
    EXPECT_EQ(pmImageConvert_WritePrivateIniFile(&p, ini.c_str()), 0);
    ImageConvertParams q = Fresh();
    pmImageConvert_GetPrivateIniFile(&q, ini.c_str());
    EXPECT_TRUE(SamePersisted(p, q));
    // Bytes above 127 are written as unsigned numbers.
    EXPECT_NE(ReadText(ini).find("Jpeg_Quality=200\r\n"), std::string::npos);
    EXPECT_NE(ReadText(ini).find("Bmp_Format=65535\r\n"), std::string::npos);
}

// Written with every selection, even by a caller without the newer
// settings: the types the library offered, so a later type is known as new.
static std::string KnownTypesLine() {
    int types[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(16, kMaxImageTypes, types);
    std::string line = "KnownImageTypes=";
    for (int i = 0; i < n; ++i) line += (i ? "," : "") + std::to_string(types[i]);
    return line + "\r\n";
}

TEST(SettingsIni, WritesKeysInFixedOrder) {
    pmtest::TempDir dir;
    std::string ini = dir / "order.ini";
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, nullptr);
    p.ImageTypeCount = 2;
    p.ImageType[0] = 1;
    p.ImageType[1] = 3;
    std::strcpy(p.WritePath, "C:\\out");
    std::strcpy(p.LogFile, "C:\\out\\log.txt");
    p.SaveOptions.Jpeg_Quality = 80;
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    const std::string expected =
        std::string("[IMGCONVERT_DISP]\r\nCurNode=0\r\nCurLeaf=0\r\n"
        "[IMGCONVERT]\r\nDirection=0\r\nResize=1\r\nSize.cx=96\r\nSize.cy=96\r\nBitCount=0\r\nPalette=0\r\n"
        "ZoomFilter=1\r\nUseFilter=0\r\nFilter=4\r\nImageTypeCount=2\r\nImageType0=1\r\nImageType1=3\r\n"
        "FileMode=54128\r\nWritePath=C:\\out\r\nLogFile=C:\\out\\log.txt\r\nWriteImageType=3\r\nImageCount=1\r\n"
        "Bmp_Format=0\r\nBmp_Comp=0\r\nJpeg_Quality=80\r\nJpeg_Smoothing=0\r\nJpeg_OptEncode=1\r\n"
        "Jpeg_Progressive=2\r\nPng_Interlace=2\r\nGif_Interlace=2\r\n") + KnownTypesLine();
    // The profile functions may separate sections with a blank line.
    std::string text = ReadText(ini);
    std::string squeezed;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 4, "\r\n\r\n") == 0) {
            squeezed += "\r\n";
            i += 1;
            continue;
        }
        squeezed += text[i];
    }
    EXPECT_EQ(squeezed, expected);
}

TEST(SettingsIni, ScanModesOutOfRangeTakeFormatDefaults) {
    pmtest::TempDir dir;
    std::string ini = dir / "scan.ini";
    WriteText(ini, "[IMGCONVERT]\r\nJpeg_Progressive=3\r\nPng_Interlace=1\r\nGif_Interlace=258\r\n");
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    DibIOOptions jpeg;
    DibIO_GetDefaultOptions(kTypeJpeg, &jpeg);
    EXPECT_EQ(p.SaveOptions.Jpeg_Progressive, jpeg.Jpeg.Progressive);
    EXPECT_EQ(p.SaveOptions.Png_Interlace, 1);
    EXPECT_EQ(p.SaveOptions.Gif_Interlace, 2);  // low byte of 258
    WriteText(ini, "[IMGCONVERT]\r\nPng_Interlace=7\r\nGif_Interlace=-1\r\nJpeg_Progressive=0\r\n");
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    EXPECT_EQ(p.SaveOptions.Png_Interlace, 0);
    EXPECT_EQ(p.SaveOptions.Gif_Interlace, 0);
    EXPECT_EQ(p.SaveOptions.Jpeg_Progressive, 0);
}

// A KnownImageTypes line naming every type the library offers: a file of
// this release, whose selection no newer type joins.
static std::string KnowsEveryType() {
    int types[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(16, kMaxImageTypes, types);
    std::string line = "KnownImageTypes=";
    for (int i = 0; i < n; ++i) line += (i ? "," : "") + std::to_string(types[i]);
    return line + "\r\n";
}

TEST(SettingsIni, StaleTypeKeysAreIgnoredAndKept) {
    pmtest::TempDir dir;
    std::string ini = dir / "types.ini";
    WriteText(ini,
              "[IMGCONVERT]\r\nImageTypeCount=2\r\nImageType0=5\r\nImageType1=6\r\nImageType2=1\r\n"
              "ImageType3=3\r\nImageType4=4\r\nImageType5=7\r\n" + KnowsEveryType());
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    EXPECT_EQ(p.ImageTypeCount, 2);
    EXPECT_EQ(p.ImageType[0], 5);
    EXPECT_EQ(p.ImageType[1], 6);
    EXPECT_EQ(p.ImageType[2], 0);
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    EXPECT_EQ(GetPrivateProfileIntA("IMGCONVERT", "ImageType5", -1, ini.c_str()), 7u);
    EXPECT_EQ(GetPrivateProfileIntA("IMGCONVERT", "ImageType2", -1, ini.c_str()), 1u);
}

TEST(SettingsIni, DisplayOnlyWritesJustThePageShownLast) {
    pmtest::TempDir dir;
    std::string ini = dir / "disp.ini";
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, nullptr);
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    std::string before = ReadText(ini);
    p.Direction = 5;
    p.FileMode = 0;
    std::strcpy(p.WritePath, "X:\\elsewhere");
    p.CurNode = 4;
    EXPECT_EQ(WritePrivateIniFileEx(&p, ini.c_str(), 1), 1);
    std::string after = ReadText(ini);
    std::string expected = before;
    expected.replace(expected.find("CurNode=0"), 9, "CurNode=4");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(WritePrivateIniFileEx(&p, ini.c_str(), 0), 0);
    EXPECT_NE(ReadText(ini).find("Direction=5"), std::string::npos);
}

TEST(SettingsIni, EmptyValuesAndAbsurdNumbers) {
    pmtest::TempDir dir;
    std::string ini = dir / "odd.ini";
    WriteText(ini,
              "[IMGCONVERT]\r\nWritePath=\r\nSize.cx=-40\r\nSize.cy=abc\r\nImageTypeCount=99\r\n"
              "BitCount=  12x\r\nFilter=11\r\nDirection=8\r\n");
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    EXPECT_STREQ(p.WritePath, "");  // present but empty: no default
    EXPECT_EQ(p.Size.cx, -40);      // stored as read; the users of the value cope
    EXPECT_EQ(p.Size.cy, 0);        // not a number
    EXPECT_EQ(p.ImageTypeCount, kMaxImageTypes);
    EXPECT_EQ(p.BitCount, 12);
    EXPECT_EQ(p.Filter, 4);  // not a filter: the default, switched off
    EXPECT_EQ(p.UseFilter, 0);
    EXPECT_EQ(p.Direction, 8);
    WriteText(ini, "[IMGCONVERT]\r\nImageTypeCount=-4\r\n" + KnowsEveryType());
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    EXPECT_EQ(p.ImageTypeCount, 0);
}

TEST(SettingsIni, CorruptHugeAndOverlongFilesReadSafely) {
    pmtest::TempDir dir;
    std::string ini = dir / "junk.ini";
    std::string junk;
    uint32_t x = 12345;
    for (int i = 0; i < 2000000; ++i) {
        x = x * 1103515245u + 12345u;
        junk += char(x >> 24);
    }
    junk += "\r\n[IMGCONVERT]\r\nWritePath=" + std::string(5000, 'p') + "\r\nResize=0\r\n";
    WriteText(ini, junk);
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, ini.c_str());
    EXPECT_STREQ(p.WritePath, "");  // too long to be a path: never cut
    EXPECT_EQ(p.Resize, 0);
    EXPECT_LT(strnlen(p.LogFile, sizeof p.LogFile), sizeof p.LogFile);
    EXPECT_EQ(p.SaveOptions.Size, 16u);
}

TEST(SettingsIni, NullOrEmptyPathWritesNothing) {
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, nullptr);
    EXPECT_EQ(WritePrivateIniFileEx(&p, nullptr, 1), 1);
    EXPECT_EQ(WritePrivateIniFileEx(&p, "", 0), 0);
    char windir[MAX_PATH];
    GetWindowsDirectoryA(windir, sizeof windir);
    std::string winIni = std::string(windir) + "\\win.ini";
    EXPECT_EQ(GetPrivateProfileIntA("IMGCONVERT", "Resize", 12345, winIni.c_str()), 12345u);
}

TEST(SettingsIni, WriteFailuresReachTheCallerButNotTheExportedResults) {
    pmtest::TempDir dir;
    ImageConvertParams p = Fresh();
    pmImageConvert_GetPrivateIniFile(&p, nullptr);
    std::string good = dir / "good.ini";
    EXPECT_EQ(WriteSettingsIni(&p, good.c_str(), 0), 0u);
    EXPECT_EQ(IniValueOf(good, "Gif_Interlace"), std::to_string(p.SaveOptions.Gif_Interlace)) << "the last key too";

    // A folder that is a file; a name that is a folder. (The read-only
    // attribute does not stop Wine running as root.)
    std::string blocker = dir / "blocker";
    WriteText(blocker, "x");
    std::string underFile = blocker + "\\PIXMILL.INI";
    std::string folder = dir / "folder.ini";
    ASSERT_TRUE(pmtest::MakeDir(folder));
    for (const std::string& file : {underFile, folder}) {
        for (int displayOnly : {0, 1}) {
            EXPECT_NE(WriteSettingsIni(&p, file.c_str(), displayOnly), 0u) << file << " " << displayOnly;
            EXPECT_EQ(WritePrivateIniFileEx(&p, file.c_str(), displayOnly), displayOnly) << file;
        }
        EXPECT_EQ(pmImageConvert_WritePrivateIniFile(&p, file.c_str()), 0) << file;
    }
    EXPECT_FALSE(pmtest::FileExists(underFile));

    EXPECT_EQ(WriteSettingsIni(&p, "", 0), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(WriteSettingsIni(&p, nullptr, 1), DWORD(ERROR_INVALID_NAME));
}
