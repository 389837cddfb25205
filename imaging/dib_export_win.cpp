// Conversion of an image that another program holds in memory: the same
// pipeline and encoder as a converted file, without a source file, a
// progress display or a log entry.
#include "imaging/dib_export.h"
#include "entry/export_guard.h"

#include "entry/extras.h"
#include "entry/params.h"
#include "imaging/transform.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmwin.h"

namespace {

// "Follow the input image's scan order": an exported image has none, so the
// encoder's default stays.
constexpr int kScanAsInput = 2;

void SetOptions(int type, const ImageConvertParams* params, int depth, DibIOOptions* o) {
    const SaveOptions& so = params->SaveOptions;
    switch (type) {
    case kTypeBmp:
        o->Bmp.Format = so.Bmp_Format;
        o->Bmp.Compression = so.Bmp_Comp;
        break;
    case kTypeJpeg:
        o->Jpeg.Quality = so.Jpeg_Quality;
        o->Jpeg.Smoothing = so.Jpeg_Smoothing;
        o->Jpeg.OptimizeCoding = so.Jpeg_OptEncode;
        if (so.Jpeg_Progressive != kScanAsInput) o->Jpeg.Progressive = so.Jpeg_Progressive;
        break;
    case kTypePng:
        if (so.Png_Interlace != kScanAsInput) o->Png.Interlace = so.Png_Interlace;
        break;
    case kTypeGif:
        if (so.Gif_Interlace != kScanAsInput) o->Gif.Interlace = int16_t(so.Gif_Interlace);
        o->Gif.BitDepth = uint16_t(depth);
        break;
    case kTypeWebp:
        Pm_WebpWriteOptions(Pm_ExtrasFor(params).Webp, o);
        break;
    default: break;  // TIFF and the rest: the defaults alone
    }
}

}  // namespace

static int ExportDib(BITMAPINFOHEADER** header, BYTE** bits, const char* path, int type,
                                               ImageConvertParams* params) {
    if (!header || !bits || !path || !params) return 0;
    int filterCode = params->UseFilter ? params->Filter : 0;
    if (type == 0) return 0;
    DibHeader info{};
    auto* dib = reinterpret_cast<DibHeader*>(*header);
    if (!dib || !*bits || !DibCore_GetHeader(dib, &info) || info.biBitCount == 0) return 0;

    DWORD disposition = (params->FileMode & FILEMODE_OVERWRITE) ? CREATE_ALWAYS : CREATE_NEW;
    HANDLE file = Core_CheckHandle(0, CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;

    int height = info.biHeight < 0 ? -info.biHeight : info.biHeight;
    int32_t angle = AngleForDirection(params->Direction, info.biWidth, height);
    int depth = info.biBitCount;
    int transparentIndex = -1;
    uint8_t* pixels = *bits;
    static_assert(sizeof(SIZE) == sizeof(PmSize));
    int rc = TransformImage(type, 0, &depth, params->BitCount, angle, params->Resize,
                            reinterpret_cast<const PmSize*>(&params->Size), filterCode, params->ZoomFilter,
                            params->Palette, -1, &transparentIndex, &dib, &pixels);
    int result = 0;
    if (rc == 0) {
        DibIOOptions options{};
        DibIO_GetDefaultOptions(type, &options);
        SetOptions(type, params, depth, &options);
        if (DibIO_Write(0, file, type, 0, 0, &options, dib, pixels) > 0) result = 1;
    }
    CloseHandle(Core_RawHandle(file));
    *header = reinterpret_cast<BITMAPINFOHEADER*>(dib);
    *bits = pixels;
    return result;
}

extern "C" int PM_API pmImageConvert_DIBExport(BITMAPINFOHEADER** header, BYTE** bits, const char* path, int type,
                                               ImageConvertParams* params) {
    return Export_Guard<int>(0, [&] { return ExportDib(header, bits, path, type, params); });
}
