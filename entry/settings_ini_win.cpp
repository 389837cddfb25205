#include "entry/settings_ini.h"
#include "entry/export_guard.h"

#include "entry/extras.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmwinkit.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kDesktopFolderId = 16;  // the shell's id of the user's desktop
constexpr int kDefaultFolderBytes = 300;

// One source of values: the file, or nothing (all defaults).
class IniSource {
public:
    explicit IniSource(const char* file) : file_(file && *file ? file : nullptr) {}

    int Int(const char* section, const char* key, int def) const {
        if (!file_) return def;
        return int(GetPrivateProfileIntA(section, key, def, file_));
    }
    int Int(const char* key, int def) const { return Int(kIniSection, key, def); }

    void String(const char* key, const char* def, char* out, DWORD size) const {
        if (!file_) {
            PmPath_Copy(out, size, def);
            return;
        }
        // A stored path longer than its buffer cannot be used: cut, it would
        // name another folder. It reads as empty, which the settings dialog
        // reports and a run refuses, instead of sending files elsewhere.
        char text[1024];
        DWORD n = GetPrivateProfileStringA(kIniSection, key, def, text, sizeof text, file_);
        if (n >= size || n >= sizeof text - 1) text[0] = '\0';
        PmPath_Copy(out, size, text);
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

// A stored scan-mode byte above 2 is not a setting the dialog can show; the
// format's own default takes its place.
uint8_t ScanMode(int stored, uint8_t fallback) {
    uint8_t b = uint8_t(stored);
    return b > 2 ? fallback : b;
}

// Writes values one by one into one file and keeps the first failure: once
// the system refuses a write the later ones are not tried, so a failing file
// is not rewritten thirty times over.
class IniWriter {
public:
    explicit IniWriter(const char* file) : file_(file) {}

    void String(const char* section, const char* key, const char* value) {
        if (error_) return;
        SetLastError(ERROR_SUCCESS);
        if (!WritePrivateProfileStringA(section, key, value, file_)) {
            error_ = GetLastError();
            // A refusal without a reason must still count as one.
            if (!error_) error_ = ERROR_WRITE_FAULT;
        }
    }
    void Int(const char* section, const char* key, long value) {
        char text[16];
        std::snprintf(text, sizeof text, "%ld", value);
        String(section, key, text);
    }
    void Unsigned(const char* key, unsigned value) { Int(kIniSection, key, long(int(value))); }
    DWORD Error() const { return error_; }

private:
    const char* file_;
    DWORD error_ = 0;
};

}  // namespace

static int ReadIniFile(ImageConvertParams* params, const char* iniFile) {
    if (!params) return 0;
    IniSource ini(iniFile);
    ImageConvertParams& p = *params;

    int libraryTypes[kMaxImageTypes] = {};
    int n = ImgKit_ListImageTypes(16, kMaxImageTypes, libraryTypes);
    if (n < 0) n = 0;
    if (n > kMaxImageTypes) n = kMaxImageTypes;

    p.Direction = ini.Int("Direction", 0);
    p.Resize = ini.Int("Resize", 1);
    p.Size.cx = ini.Int("Size.cx", 96);
    p.Size.cy = ini.Int("Size.cy", 96);
    p.BitCount = ini.Int("BitCount", 0);
    p.Palette = ini.Int("Palette", 0);
    p.ZoomFilter = ini.Int("ZoomFilter", 1);
    p.UseFilter = ini.Int("UseFilter", 0);
    p.Filter = ini.Int("Filter", 4);

    // The count bounds the array: a stored value outside 0..30 is brought
    // into range rather than trusted. Entries the library has no default for
    // read as 0 (no type) when their key is missing.
    int count = ini.Int("ImageTypeCount", n);
    if (count < 0) count = 0;
    if (count > kMaxImageTypes) count = kMaxImageTypes;
    p.ImageTypeCount = count;
    std::memset(p.ImageType, 0, sizeof p.ImageType);
    for (int i = 0; i < count; ++i) {
        char key[24];
        std::snprintf(key, sizeof key, "ImageType%d", i);
        p.ImageType[i] = ini.Int(key, i < n ? libraryTypes[i] : 0);
    }

    p.FileMode = uint32_t(ini.Int("FileMode", int(kDefaultFileMode)));

    char folder[kDefaultFolderBytes];
    DefaultFolder(folder);
    ini.String("WritePath", folder, p.WritePath, sizeof p.WritePath);
    Core_SetTrailingSeparator(folder, 1);
    PmPath_Append(folder, sizeof folder, kDefaultLogName);
    ini.String("LogFile", folder, p.LogFile, sizeof p.LogFile);

    p.WriteImageType = ini.Int("WriteImageType", kTypeJpeg);
    p.ImageCount = ini.Int("ImageCount", 1);

    std::memset(&p.SaveOptions, 0, sizeof p.SaveOptions);
    p.SaveOptions.Size = sizeof(SaveOptions);
    DibIOOptions def;
    DibIO_GetDefaultOptions(kTypeBmp, &def);
    p.SaveOptions.Bmp_Format = uint16_t(ini.Int("Bmp_Format", def.Bmp.Format));
    p.SaveOptions.Bmp_Comp = uint16_t(ini.Int("Bmp_Comp", def.Bmp.Compression));
    DibIO_GetDefaultOptions(kTypeJpeg, &def);
    p.SaveOptions.Jpeg_Quality = uint8_t(ini.Int("Jpeg_Quality", def.Jpeg.Quality));
    p.SaveOptions.Jpeg_Smoothing = uint8_t(ini.Int("Jpeg_Smoothing", def.Jpeg.Smoothing));
    p.SaveOptions.Jpeg_OptEncode = uint8_t(ini.Int("Jpeg_OptEncode", def.Jpeg.OptimizeCoding));
    p.SaveOptions.Jpeg_Progressive = ScanMode(ini.Int("Jpeg_Progressive", 2), def.Jpeg.Progressive);
    DibIO_GetDefaultOptions(kTypePng, &def);
    p.SaveOptions.Png_Interlace = ScanMode(ini.Int("Png_Interlace", 2), uint8_t(def.Png.Interlace));
    DibIO_GetDefaultOptions(kTypeGif, &def);
    p.SaveOptions.Gif_Interlace = ScanMode(ini.Int("Gif_Interlace", 2), uint8_t(def.Gif.Interlace));

    p.CurNode = ini.Int(kIniDisplaySection, "CurNode", 0);
    p.CurLeaf = ini.Int(kIniDisplaySection, "CurLeaf", 0);

    // The newer settings travel with the record they are bound to.
    if (ImageConvertExtras* x = Pm_ExtrasOf(params)) ReadExtrasIni(x, iniFile);
    return 0;
}

extern "C" int PM_API pmImageConvert_GetPrivateIniFile(ImageConvertParams* params, const char* iniFile) {
    return Export_Guard<int>(0, [&] { return ReadIniFile(params, iniFile); });
}

DWORD WriteSettingsIni(const ImageConvertParams* params, const char* iniFile, int displayOnly) {
    // The profile functions would take an empty or missing name as WIN.INI
    // in the Windows folder.
    if (!iniFile || !*iniFile) return ERROR_INVALID_NAME;
    if (!params) return ERROR_INVALID_PARAMETER;
    const ImageConvertParams& p = *params;
    IniWriter w(iniFile);
    w.Int(kIniDisplaySection, "CurNode", p.CurNode);
    w.Int(kIniDisplaySection, "CurLeaf", p.CurLeaf);
    if (displayOnly) return w.Error();

    const char* s = kIniSection;
    w.Int(s, "Direction", p.Direction);
    w.Int(s, "Resize", p.Resize);
    w.Int(s, "Size.cx", p.Size.cx);
    w.Int(s, "Size.cy", p.Size.cy);
    w.Int(s, "BitCount", p.BitCount);
    w.Int(s, "Palette", p.Palette);
    w.Int(s, "ZoomFilter", p.ZoomFilter);
    w.Int(s, "UseFilter", p.UseFilter);
    w.Int(s, "Filter", p.Filter);
    w.Int(s, "ImageTypeCount", p.ImageTypeCount);
    // Never past the array, whatever the count holds; keys of a larger old
    // count stay in the file and are ignored when read.
    int count = p.ImageTypeCount < 0 ? 0 : p.ImageTypeCount > kMaxImageTypes ? kMaxImageTypes : p.ImageTypeCount;
    for (int i = 0; i < count; ++i) {
        char key[24];
        std::snprintf(key, sizeof key, "ImageType%d", i);
        w.Int(s, key, p.ImageType[i]);
    }
    w.Int(s, "FileMode", long(int32_t(p.FileMode)));
    // The buffers are zero-terminated by every writer of the record, but a
    // caller-made record may not be: write at most the buffer.
    char text[kPathBuffer + 1];
    std::snprintf(text, sizeof text, "%.*s", int(strnlen(p.WritePath, kPathBuffer)), p.WritePath);
    w.String(s, "WritePath", text);
    std::snprintf(text, sizeof text, "%.*s", int(strnlen(p.LogFile, kPathBuffer)), p.LogFile);
    w.String(s, "LogFile", text);
    w.Int(s, "WriteImageType", p.WriteImageType);
    w.Int(s, "ImageCount", p.ImageCount);
    w.Unsigned("Bmp_Format", p.SaveOptions.Bmp_Format);
    w.Unsigned("Bmp_Comp", p.SaveOptions.Bmp_Comp);
    w.Unsigned("Jpeg_Quality", p.SaveOptions.Jpeg_Quality);
    w.Unsigned("Jpeg_Smoothing", p.SaveOptions.Jpeg_Smoothing);
    w.Unsigned("Jpeg_OptEncode", p.SaveOptions.Jpeg_OptEncode);
    w.Unsigned("Jpeg_Progressive", p.SaveOptions.Jpeg_Progressive);
    w.Unsigned("Png_Interlace", p.SaveOptions.Png_Interlace);
    w.Unsigned("Gif_Interlace", p.SaveOptions.Gif_Interlace);
    // The newer settings follow every older key. A record without extras
    // leaves their keys as the file has them.
    if (const ImageConvertExtras* x = Pm_ExtrasOf(params)) {
        w.Int(s, "AutoRotate", x->AutoRotate);
        w.Int(s, "ColorManage", x->ColorManage);
        w.Int(s, "KeepMetadata", x->KeepMetadata);
        w.Int(s, "NoEnlarge", x->NoEnlarge);
    }
    return w.Error();
}

int WritePrivateIniFileEx(const ImageConvertParams* params, const char* iniFile, int displayOnly) {
    // Callers that need to know whether the file took the values use
    // WriteSettingsIni; this form keeps its fixed answer.
    if (params && iniFile && *iniFile) WriteSettingsIni(params, iniFile, displayOnly);
    return displayOnly ? 1 : 0;
}

static int WriteIniFile(ImageConvertParams* params, const char* iniFile) {
    WritePrivateIniFileEx(params, iniFile, 0);
    return 0;
}

extern "C" int PM_API pmImageConvert_WritePrivateIniFile(ImageConvertParams* params, const char* iniFile) {
    return Export_Guard<int>(0, [&] { return WriteIniFile(params, iniFile); });
}
