// Default option records of the file formats. The settings reader takes its
// defaults for the save options from here, so they are the program's
// factory settings:
//   BMP   format 0 (Windows 3 info header), compression 0 (none)
//   JPEG  quality 75, smoothing 0, optimised coding 1, sequential (1)
//   PNG   not interlaced
//   GIF   not interlaced, no transparent index, 8-bit
//   TIFF  byte 0: compression 1 = LZW (0 none, 2 Deflate, 3 PackBits)
//   WebP  quality 80, lossy
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"

#include <cstring>

int DibIO_GetDefaultOptions(int type, DibIOOptions* options) {
    if (!options) return 0;
    std::memset(options, 0, sizeof *options);
    switch (type) {
    case kTypeBmp:
        options->Bmp.Format = 0;
        options->Bmp.Compression = 0;
        return 1;
    case kTypeJpeg:
        options->Jpeg.Quality = 75;
        options->Jpeg.Smoothing = 0;
        options->Jpeg.OptimizeCoding = 1;
        options->Jpeg.Progressive = 1;
        return 1;
    case kTypePng:
        options->Png.Interlace = 0;
        return 1;
    case kTypeGif:
        options->Gif.Interlace = 0;
        options->Gif.TransparentIndex = -1;
        options->Gif.BitDepth = 8;
        return 1;
    case kTypeTiff:
        options->Raw[0] = 1;
        return 1;
    case kTypePhotoCd:
        return 1;
    case kTypeHeif:
    case kTypeAvif:
        return 1;
    case kTypeWebp:
        options->Webp.Quality = 80;
        options->Webp.Lossless = 0;
        return 1;
    default:
        return 0;
    }
}
