// Settings added after the first release. ImageConvertParams keeps its size
// and layout (callers of the exported functions allocate it), so these live
// in a record of their own that is bound to the settings record it belongs
// to: the module's own record always has one, a host binds its own, and a
// caller that passes only ImageConvertParams gets the defaults.
#pragma once
#include "entry/params.h"
#include <cstddef>
#include "makerlibs/pmdibio.h"
#include <cstdint>

// WebP output: its own record, so that the options of each newer format
// stay together inside the extras.
struct WebpSaveOptions {
    int32_t Quality;   // 0..100, lossy
    int32_t Lossless;  // 1 = lossless (the quality is then not used)
};
inline constexpr WebpSaveOptions kDefaultWebpOptions = {80, 0};
// The writer's options from the settings; a quality out of range is held to it.
inline void Pm_WebpWriteOptions(const WebpSaveOptions& w, DibIOOptions* o) {
    o->Webp.Quality = uint8_t(w.Quality < 0 ? 0 : w.Quality > 100 ? 100 : w.Quality);
    o->Webp.Lossless = w.Lossless ? 1 : 0;
}

struct ImageConvertExtras {
    int32_t AutoRotate;    // 1 = turn the picture upright by the orientation the camera stored
    int32_t ColorManage;   // 1 = convert to sRGB by the embedded colour profile
    int32_t KeepMetadata;  // 1 = the output keeps the input's EXIF, XMP and IPTC
    int32_t NoEnlarge;     // 1 = an image smaller than the box is never enlarged
    int32_t Threads;       // files converted at once: 0 = as many as the machine allows, 1 = one at a time, 2..64
    WebpSaveOptions Webp;
};

inline constexpr ImageConvertExtras kDefaultExtras = {1, 1, 0, 0, 0, kDefaultWebpOptions};
inline constexpr int kMaxThreads = 64;

inline bool operator==(const ImageConvertExtras& a, const ImageConvertExtras& b) {
    return a.AutoRotate == b.AutoRotate && a.ColorManage == b.ColorManage && a.KeepMetadata == b.KeepMetadata &&
           a.NoEnlarge == b.NoEnlarge && a.Threads == b.Threads && a.Webp.Quality == b.Webp.Quality &&
           a.Webp.Lossless == b.Webp.Lossless;
}

// The extras bound to `params`, or null. The module's settings record
// (Pm_ModuleParams) always has its own.
ImageConvertExtras* Pm_ExtrasOf(const ImageConvertParams* params);
// A copy of the bound extras, or the defaults.
ImageConvertExtras Pm_ExtrasFor(const ImageConvertParams* params);
// Binds `extras` to `params` until unbound (both must outlive the binding).
// False when every slot is taken.
bool Pm_BindExtras(const ImageConvertParams* params, ImageConvertExtras* extras);
void Pm_UnbindExtras(const ImageConvertParams* params);

// Reads the extras' keys from section IMGCONVERT; a missing key, or a value
// other than 0 and 1 (Threads: 0 to 64, Webp_Quality: 0 to 100), reads as
// the default. A null path gives the defaults.
void ReadExtrasIni(ImageConvertExtras* extras, const char* iniFile);

// The input types a settings file did not know when it was written (see
// known_types.h) join the selection of `params` as read from `iniFile`;
// `library` is the image library's list of readable types.
void AddTypesNewerThanIni(ImageConvertParams* params, const char* iniFile, const int* library, int libraryCount);
// The KnownImageTypes key's text for the library's list of readable types.
bool KnownTypesText(const int* library, int libraryCount, char* out, size_t size);

// Binds a record's extras for the lifetime of a scope.
class ScopedExtras {
public:
    ScopedExtras(const ImageConvertParams* params, ImageConvertExtras* extras) : params_(params) {
        bound_ = Pm_BindExtras(params, extras);
    }
    ~ScopedExtras() {
        if (bound_) Pm_UnbindExtras(params_);
    }
    ScopedExtras(const ScopedExtras&) = delete;
    ScopedExtras& operator=(const ScopedExtras&) = delete;

private:
    const ImageConvertParams* params_;
    bool bound_;
};
