// pmimg: the image file libraries from the command line, for developers and
// for checking the coders from outside.
//   pmimg info FILE...                 type, size, depths, scan mode, frames
//   pmimg convert IN OUT [options]     read IN and write OUT
//   pmimg gif FILE                     the records of a GIF, frame by frame
//   pmimg anim IN OUT                  copy a GIF frame by frame (records kept)
// Convert options: -t TYPE (bmp jpeg tiff gif png webp, else by OUT's
// extension), -q QUALITY (JPEG, WebP), -l 0|1 WebP lossless, -s SMOOTHING,
// -o 0|1 optimised coding, -p 0|1 (JPEG: 1 sequential, 0 progressive),
// -i 0|1 interlace (PNG, GIF), -r 0|1 BMP RLE, -c N TIFF compression (0 none, 1 LZW, 2 Deflate, 3 PackBits),
// -b BITS GIF colour bits, -x INDEX GIF transparent index, --gif24 read a GIF
// as one 24-bit image, --keep carry the camera's data (EXIF, XMP, IPTC) as a
// run with KeepMetadata does, the pixels and their orientation as stored,
// --scale N read a JPEG as a thumbnail read at 1/N (2, 4 or 8) does, the
// pixels as decoded (neither turned nor colour-managed). An OUT ending in
// .ppm, .pgm or .pnm is written as binary netpbm (grey as PGM), the layout
// other JPEG decoders write, so their outputs compare byte for byte.
#include "imaging/photo.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmfile.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

const char* TypeWord(int type) {
    switch (type) {
    case kTypeBmp: return "bmp";
    case kTypeJpeg: return "jpeg";
    case kTypeTiff: return "tiff";
    case kTypeGif: return "gif";
    case kTypePng: return "png";
    case kTypePhotoCd: return "pcd";
    case kTypeWebp: return "webp";
    default: return "none";
    }
}

int TypeFromWord(const char* w) {
    for (int t : {kTypeBmp, kTypeJpeg, kTypeTiff, kTypeGif, kTypePng, kTypePhotoCd, kTypeWebp})
        if (std::strcmp(w, TypeWord(t)) == 0) return t;
    return kTypeNone;
}

struct File {
    PmFileHandle h;
    explicit File(PmFileHandle f) : h(f) {}
    ~File() { PmFile_Close(h); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

struct Dib {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    ~Dib() { DibCore_Free(h, b); }
};

int Info(const char* path) {
    int type = ImgRead_IdentifyFile(path, 0, 0, 0);
    File f(PmFile_OpenRead(path));
    if (!f.h) {
        std::printf("%s: cannot open\n", path);
        return 1;
    }
    if (type == kTypeNone) {
        std::printf("%s: not an image of a known type\n", path);
        return 1;
    }
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    Dib d;
    int depth = DibIO_Read(0, f.h, type, 0, 0, 0, &info, &d.h, &d.b);
    if (depth <= 0) {
        std::printf("%s: %s, cannot decode (result %d)\n", path, TypeWord(type), depth);
        return 1;
    }
    std::printf("%s: %s %dx%d source %d bits, DIB %d bits", path, TypeWord(type), d.h->biWidth, d.h->biHeight,
                depth, d.h->biBitCount);
    if (d.h->biBitCount <= 8) std::printf(", %d colours", DibCore_ColorCount(d.h));
    int tr = DibCore_GetTransparentIndex(d.h);
    if (tr >= 0) std::printf(", transparent index %d", tr);
    if (type == kTypeJpeg) std::printf(", %s", info.Jpeg.Progressive ? "sequential" : "progressive");
    if (type == kTypePng) std::printf(", %s", info.Png.Interlace ? "interlaced" : "not interlaced");
    if (type == kTypeGif) {
        std::printf(", %s", info.Gif.Interlace ? "interlaced" : "not interlaced");
        std::printf(", %d frames", GifKit_CountFrames(f.h));
    }
    std::printf("\n");
    return 0;
}

bool EndsWith(const char* s, const char* tail) {
    size_t n = std::strlen(s), m = std::strlen(tail);
    return n >= m && std::strcmp(s + n - m, tail) == 0;
}

bool IsNetpbm(const char* path) { return EndsWith(path, ".ppm") || EndsWith(path, ".pgm") || EndsWith(path, ".pnm"); }

// Grey when every palette entry is its own index's grey.
bool GreyPalette(const DibHeader* h) {
    if (h->biBitCount != 8) return false;
    const auto* pal = reinterpret_cast<const uint8_t*>(h) + h->biSize;
    const int n = DibCore_ColorCount(h);
    for (int i = 0; i < n; ++i)
        if (pal[i * 4] != i || pal[i * 4 + 1] != i || pal[i * 4 + 2] != i) return false;
    return true;
}

int WriteNetpbm(const char* path, const DibHeader* h, const uint8_t* bits) {
    if (h->biBitCount != 24 && !GreyPalette(h)) {
        std::fprintf(stderr, "pmimg: %s: only 24-bit and grey images are written as netpbm\n", path);
        return 1;
    }
    const bool grey = h->biBitCount == 8;
    const int w = h->biWidth, rows = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    const size_t stride = size_t(DibCore_GetRowStride(h, 0));
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::fprintf(stderr, "pmimg: %s: cannot create\n", path);
        return 1;
    }
    std::fprintf(f, "P%c\n%d %d\n255\n", grey ? '5' : '6', w, rows);
    std::vector<uint8_t> line(size_t(w) * (grey ? 1 : 3));
    for (int y = 0; y < rows; ++y) {
        const uint8_t* src = bits + stride * size_t(h->biHeight < 0 ? y : rows - 1 - y);
        if (grey) {
            std::memcpy(line.data(), src, line.size());
        } else {
            for (int x = 0; x < w; ++x) {
                line[size_t(x) * 3] = src[x * 3 + 2];
                line[size_t(x) * 3 + 1] = src[x * 3 + 1];
                line[size_t(x) * 3 + 2] = src[x * 3];
            }
        }
        std::fwrite(line.data(), 1, line.size(), f);
    }
    const bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "pmimg: %s: cannot write\n", path);
        return 1;
    }
    return 0;
}

// A JPEG read at 1/scale, as a thumbnail read at that scale decodes it.
int ReadScaled(const char* path, int type, unsigned scale, DibIOOptions* info, Dib* d) {
    if (type != kTypeJpeg) {
        std::fprintf(stderr, "pmimg: %s: --scale reads JPEG files only\n", path);
        return 0;
    }
    File in(PmFile_OpenRead(path));
    if (!in.h) return 0;
    pmio::WholeFile whole(in.h, 1ull << 30);
    if (!whole.ok()) return 0;
    pmio::DibHolder dib;
    int depth = pmio::JpegReadMemoryAt(whole.data(), whole.size(), scale, info, &dib);
    if (depth > 0) dib.Release(&d->h, &d->b);
    return depth;
}

int Convert(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* inPath = argv[0];
    const char* outPath = argv[1];
    int outType = ImgRead_IdentifyFile(outPath, 0, 2, 0);
    bool gif24 = false, keep = false;
    unsigned scale = 0;
    DibIOOptions opt;
    // Options are applied after the defaults of the output type are known.
    const char* set[128] = {};
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gif24") == 0) {
            gif24 = true;
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
            scale = unsigned(std::atoi(argv[++i]));
            if (scale != 2 && scale != 4 && scale != 8) {
                std::fprintf(stderr, "pmimg: --scale takes 2, 4 or 8\n");
                return 2;
            }
        } else if (argv[i][0] == '-' && argv[i][1] && !argv[i][2] && i + 1 < argc) {
            if (argv[i][1] == 't') outType = TypeFromWord(argv[i + 1]);
            set[static_cast<unsigned char>(argv[i][1]) & 127] = argv[i + 1];
            ++i;
        } else {
            std::fprintf(stderr, "pmimg: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const bool netpbm = IsNetpbm(outPath);
    if (netpbm) outType = kTypeBmp;  // its options are never used
    if (!DibIO_GetDefaultOptions(outType, &opt) || outType == kTypePhotoCd) {
        std::fprintf(stderr, "pmimg: no writable output type\n");
        return 2;
    }
    auto num = [&](char c, int* v) {
        if (set[int(c)]) *v = std::atoi(set[int(c)]);
        return set[int(c)] != nullptr;
    };
    int v = 0;
    switch (outType) {
    case kTypeBmp:
        if (num('r', &v)) opt.Bmp.Compression = uint16_t(v);
        break;
    case kTypeJpeg:
        if (num('q', &v)) opt.Jpeg.Quality = uint8_t(v);
        if (num('s', &v)) opt.Jpeg.Smoothing = uint8_t(v);
        if (num('o', &v)) opt.Jpeg.OptimizeCoding = uint8_t(v);
        if (num('p', &v)) opt.Jpeg.Progressive = uint8_t(v);
        break;
    case kTypePng:
        if (num('i', &v)) opt.Png.Interlace = uint32_t(v);
        break;
    case kTypeGif:
        if (num('i', &v)) opt.Gif.Interlace = int16_t(v);
        if (num('b', &v)) opt.Gif.BitDepth = uint16_t(v);
        if (num('x', &v)) opt.Gif.TransparentIndex = int16_t(v);
        break;
    case kTypeTiff:
        if (num('c', &v)) opt.Raw[0] = uint8_t(v);
        break;
    case kTypeWebp:
        if (num('q', &v)) opt.Webp.Quality = uint8_t(v);
        if (num('l', &v)) opt.Webp.Lossless = uint8_t(v);
        break;
    }
    int inType = ImgRead_IdentifyFile(inPath, 0, 0, 0);
    File in(PmFile_OpenRead(inPath));
    if (!in.h || inType == kTypeNone) {
        std::fprintf(stderr, "pmimg: %s: cannot open or unknown type\n", inPath);
        return 1;
    }
    Dib d;
    DibIOOptions info;
    DibIO_GetDefaultOptions(inType, &info);
    DibMetadata meta;
    int depth = scale                       ? ReadScaled(inPath, inType, scale, &info, &d)
                : inType == kTypeGif && gif24 ? GifKit_ReadImage(0, in.h, -1, 24, -1, 0, &d.h, &d.b)
                : keep                      ? DibIO_ReadMeta(0, in.h, inType, &info, &meta, &d.h, &d.b)
                                            : DibIO_Read(0, in.h, inType, 0, 0, 0, &info, &d.h, &d.b);
    if (depth <= 0) {
        std::fprintf(stderr, "pmimg: %s: cannot decode (result %d)\n", inPath, depth);
        return 1;
    }
    if (netpbm) return WriteNetpbm(outPath, d.h, d.b);
    File out(PmFile_CreateWrite(outPath));
    if (!out.h) {
        std::fprintf(stderr, "pmimg: %s: cannot create\n", outPath);
        return 1;
    }
    DibMetadata kept;
    const uint32_t rows = uint32_t(d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight);
    const bool keeping = keep && Photo_OutputMeta(meta, outType, meta.orientation ? meta.orientation : 1,
                                                  uint32_t(d.h->biWidth), rows, &kept);
    int r = keeping ? DibIO_WriteMeta(0, out.h, outType, &opt, &kept, d.h, d.b)
                    : DibIO_Write(0, out.h, outType, 0, 0, &opt, d.h, d.b);
    if (r <= 0) {
        std::fprintf(stderr, "pmimg: %s: cannot write %d-bit image as %s (result %d)\n", outPath, d.h->biBitCount,
                     TypeWord(outType), r);
        return 1;
    }
    return 0;
}

void PrintControl() {
    GifFrameControl c;
    GifKit_GetFrameControl(&c);
    std::printf(" delay=%d disposal=%d user-input=%d", c.DelayTime, c.Disposal, c.UserInput);
}

int GifDump(const char* path) {
    File f(PmFile_OpenRead(path));
    if (!f.h) return 1;
    int n = GifKit_CountFrames(f.h);
    std::printf("frames %d\n", n);
    GifScreen screen;
    GifFrame frame;
    uint32_t anim = 0;
    int tr = -1;
    for (int i = 0; i < n; ++i) {
        DibPair p{};
        int r = i == 0 ? GifKit_ReadFirstFrame(0, f.h, 0, 1, -1, &screen, &anim, &tr, &frame, &p)
                       : GifKit_ReadNextFrame(0, f.h, 0, 1, -1, &screen, &tr, &frame, &p);
        if (r <= 0) {
            std::printf("frame %d: read failed (%d)\n", i, r);
            return 1;
        }
        if (i == 0) {
            std::printf("screen %dx%d resolution %d global %d entries (%d bits) background %d", screen.Width,
                        screen.Height, screen.ColorResolution, screen.GlobalTableCount, screen.GlobalTableBits,
                        screen.BackgroundIndex);
            if (anim == 0xFFFFFFFFu)
                std::printf(" no loop extension\n");
            else
                std::printf(" loop %u\n", anim);
        }
        std::printf("frame %d: %d,%d %dx%d interlace %d local %d entries (%d bits) transparent %d DIB %d bits", i,
                    frame.Left, frame.Top, frame.Width, frame.Height, frame.Interlace, frame.LocalTableCount,
                    frame.LocalTableBits, tr, p.header->biBitCount);
        PrintControl();
        std::printf("\n");
        DibCore_Free(p.header, p.bits);
    }
    return 0;
}

// Copies an animation through the frame records as the batch conversion
// does, without changing the images.
int Anim(const char* inPath, const char* outPath) {
    File in(PmFile_OpenRead(inPath));
    File out(PmFile_CreateWrite(outPath));
    if (!in.h || !out.h) return 1;
    int n = GifKit_CountFrames(in.h);
    if (n <= 0) return 1;
    GifScreen rs, ws;
    GifFrame rf;
    uint32_t anim = 0;
    int tr = -1;
    for (int i = 0; i < n; ++i) {
        Dib d;
        DibPair p{};
        int r = i == 0 ? GifKit_ReadFirstFrame(0, in.h, 0, 1, -1, &rs, &anim, &tr, &rf, &p)
                       : GifKit_ReadNextFrame(0, in.h, 0, 1, -1, &rs, &tr, &rf, &p);
        d.h = p.header;
        d.b = p.bits;
        if (r <= 0) return 1;
        if (i == 0) {
            ws = rs;
            r = n == 1 ? GifKit_WriteSingleImage(0, out.h, &ws, tr, &rf, &p) : GifKit_WriteHeader(0, out.h, &ws, anim);
            if (r <= 0) return 1;
            if (n == 1) return 0;
        }
        if (GifKit_WriteFrame(0, out.h, &ws, tr, &rf, &p) <= 0) return 1;
    }
    return GifKit_WriteTrailer(0, out.h) > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "info") == 0) {
        int rc = 0;
        for (int i = 2; i < argc; ++i) rc |= Info(argv[i]);
        return rc;
    }
    if (argc >= 4 && std::strcmp(argv[1], "convert") == 0) return Convert(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "gif") == 0) return GifDump(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "anim") == 0) return Anim(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: pmimg info FILE... | convert IN OUT [-t type -q quality -s smoothing -o 0|1 -p 0|1 -i 0|1 "
                 "-r 0|1 -c tiffcomp -b gifbits -x index --gif24 --keep --scale 2|4|8] | gif FILE | anim IN OUT\n");
    return 2;
}
