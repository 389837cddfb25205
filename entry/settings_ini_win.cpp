#include "entry/settings_ini.h"
#include "entry/export_guard.h"
#include "entry/settings_values.h"

#include "entry/extras.h"
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
    if (stored) AddTypesNewerThanIni(params, iniFile, libraryTypes, defaults.imageTypeCount);

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
        w.Int(s, "Threads", x->Threads);
        w.Int(s, "Webp_Quality", x->Webp.Quality);
        w.Int(s, "Webp_Lossless", x->Webp.Lossless);
    }
    // Every writer of the type selection says which types it could have
    // ticked, so a type added later is known to be new to this file.
    int libraryTypes[kMaxImageTypes] = {};
    int libraryCount = ImgKit_ListImageTypes(16, kMaxImageTypes, libraryTypes);
    char known[256];
    if (KnownTypesText(libraryTypes, libraryCount, known, sizeof known)) w.String(s, "KnownImageTypes", known);
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
