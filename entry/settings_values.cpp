#include "entry/settings_values.h"

#include "imaging/transform.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmpath.h"

#include <cstdio>
#include <cstring>

namespace {

// One source of values: the stored ones, or nothing (all defaults).
class Source {
public:
    explicit Source(const SettingsValues* values) : values_(values) {}

    int Int(const char* section, const char* key, int def) const {
        return values_ ? values_->Int(section, key, def) : def;
    }
    int Int(const char* key, int def) const { return Int(kIniSection, key, def); }

    void String(const char* key, const char* def, char* out, uint32_t size) const {
        if (!values_) {
            PmPath_Copy(out, size, def);
            return;
        }
        // A stored path longer than its buffer cannot be used: cut, it would
        // name another folder. It reads as empty, which the settings dialog
        // reports and a run refuses, instead of sending files elsewhere.
        char text[1024];
        uint32_t n = values_->String(kIniSection, key, def, text, sizeof text);
        if (n >= size || n >= sizeof text - 1) text[0] = '\0';
        PmPath_Copy(out, size, text);
    }

private:
    const SettingsValues* values_;
};

// A stored scan-mode byte above 2 is not a setting the dialog can show; the
// format's own default takes its place.
uint8_t ScanMode(int stored, uint8_t fallback) {
    uint8_t b = uint8_t(stored);
    return b > 2 ? fallback : b;
}

bool IsFilterCode(int code) {
    for (int c : kToneFilterCodes)
        if (c == code) return true;
    return false;
}

bool IsWritableType(int code) {
    int types[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(17, kMaxImageTypes, types);
    for (int i = 0; i < n; ++i)
        if (types[i] == code) return true;
    return false;
}

}  // namespace

void ReadPersistedParams(const SettingsValues* values, const SettingsDefaults& defaults, PersistedParams* params) {
    Source ini(values);
    PersistedParams& p = *params;
    int n = defaults.imageTypes ? defaults.imageTypeCount : 0;
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
    // A code outside the filter list would fail every file of a run; it was
    // not a filter anyone chose, so it reads as the default, switched off.
    if (!IsFilterCode(p.Filter)) {
        p.Filter = 4;
        p.UseFilter = 0;
    }

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
        p.ImageType[i] = ini.Int(key, i < n ? defaults.imageTypes[i] : 0);
    }

    p.FileMode = uint32_t(ini.Int("FileMode", int(kDefaultFileMode)));

    ini.String("WritePath", defaults.writePath ? defaults.writePath : "", p.WritePath, sizeof p.WritePath);
    ini.String("LogFile", defaults.logFile ? defaults.logFile : "", p.LogFile, sizeof p.LogFile);

    // A type the library only reads (Photo CD) or does not know would make
    // every output a broken file.
    p.WriteImageType = ini.Int("WriteImageType", kTypeJpeg);
    if (!IsWritableType(p.WriteImageType)) p.WriteImageType = kTypeJpeg;
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
}
