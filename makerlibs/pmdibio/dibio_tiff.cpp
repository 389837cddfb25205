// TIFF through libtiff: the first image of the file. libtiff's RGBA reader
// covers every photometric, depth, compression and tiling it supports; it
// is run in bands of whole strips or tiles so that a big image never needs
// a second full-size raster. Palette and grey images come back as palette
// DIBs by mapping the RGBA values back onto their table.
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmheap.h"

#include <cstring>
#include <unordered_map>

#include <tiffio.h>

namespace pmio {
namespace {

// libtiff refuses any single allocation above this (strip buffers,
// directories, tag arrays of hostile files).
constexpr tmsize_t kTiffMaxAlloc = 256 * 1024 * 1024;
// A band of the RGBA raster stays below this many bytes.
constexpr uint64_t kBandBytes = 64ull * 1024 * 1024;

int Quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

tmsize_t InRead(thandle_t h, void* buf, tmsize_t n) {
    return n > 0 ? tmsize_t(static_cast<InStream*>(h)->Read(buf, size_t(n))) : 0;
}
tmsize_t NoWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t InSeek(thandle_t h, toff_t off, int whence) {
    auto* in = static_cast<InStream*>(h);
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? in->Tell() : uint64_t(in->Size());
    if (whence == SEEK_END && in->Size() < 0) return toff_t(-1);
    uint64_t pos = base + off;
    return in->Seek(pos) ? toff_t(pos) : toff_t(-1);
}
int NoClose(thandle_t) { return 0; }
toff_t InSize(thandle_t h) {
    int64_t s = static_cast<InStream*>(h)->Size();
    return s < 0 ? 0 : toff_t(s);
}
int NoMap(thandle_t, void**, toff_t*) { return 0; }
void NoUnmap(thandle_t, void*, toff_t) {}

struct OutFile {
    PmFileHandle file;
    unsigned error;
};
tmsize_t OutRead(thandle_t h, void* buf, tmsize_t n) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Read(o->file, buf, size_t(n));
    if (r < 0) o->error = PmFile_LastError();
    return tmsize_t(r);
}
tmsize_t OutWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Write(o->file, buf, size_t(n));
    if (r < 0) o->error = PmFile_LastError();
    return tmsize_t(r);
}
toff_t OutSeek(thandle_t h, toff_t off, int whence) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Seek(o->file, int64_t(off), whence == SEEK_SET ? 0 : whence == SEEK_CUR ? 1 : 2);
    if (r < 0) o->error = PmFile_LastError();
    return toff_t(r);
}
toff_t OutSize(thandle_t h) {
    int64_t r = PmFile_Size(static_cast<OutFile*>(h)->file);
    return r < 0 ? 0 : toff_t(r);
}

TIFFOpenOptions* Options() {
    TIFFOpenOptions* o = TIFFOpenOptionsAlloc();
    if (!o) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(o, kTiffMaxAlloc);
    TIFFOpenOptionsSetErrorHandlerExtR(o, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(o, Quiet, nullptr);
    return o;
}

struct Closer {
    TIFF* tif = nullptr;
    TIFFOpenOptions* opts = nullptr;
    TIFFRGBAImage* img = nullptr;
    uint32_t* raster = nullptr;
    ~Closer() {
        if (img) TIFFRGBAImageEnd(img);
        PmHeap_Free(raster);
        if (tif) TIFFClose(tif);
        if (opts) TIFFOpenOptionsFree(opts);
    }
};

}  // namespace

int TiffRead(InStream& in, DibIOOptions*, DibHolder* out, DibMetadata* meta) {
    Closer c;
    c.opts = Options();
    if (!c.opts) return 0;
    c.tif = TIFFClientOpenExt("image", "rm", &in, InRead, NoWrite, InSeek, NoClose, InSize, NoMap, NoUnmap, c.opts);
    if (!c.tif) return 0;
    TIFF* tif = c.tif;
    uint32_t w = 0, h = 0;
    uint16_t bps = 1, spp = 1, photometric = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h)) return 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = spp == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    size_t bytes;
    if (!DibImageBytes(w, h, 32, &bytes)) {
        NoteTooLarge();
        return 0;
    }
    char msg[1024];
    if (!TIFFRGBAImageOK(tif, msg)) return 0;
    static_assert(sizeof(TIFFRGBAImage) < 4096);
    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 0, msg)) return 0;
    c.img = &img;
    img.req_orientation = ORIENTATION_TOPLEFT;
    if (meta) {
        // The caller turns the picture itself (all eight values, and only
        // when asked), so the rows are taken as stored.
        uint16_t orientation = 0;
        if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8) {
            meta->orientation = orientation;
            img.req_orientation = orientation;
        }
        uint32_t iccSize = 0;
        void* icc = nullptr;
        if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize > 0 && iccSize <= kMaxIccBytes) {
            try {
                meta->icc.assign(static_cast<const uint8_t*>(icc), static_cast<const uint8_t*>(icc) + iccSize);
            } catch (...) {
                meta->icc.clear();
            }
        }
    }

    const bool palette = spp == 1 && photometric == PHOTOMETRIC_PALETTE && bps <= 8;
    const bool grey = spp == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) &&
                      bps <= 16;
    int dibBits = img.alpha ? 32 : 24;
    int levels = 0;
    if (palette || grey) {
        int b = bps > 8 ? 8 : bps;
        dibBits = b == 1 ? 1 : b <= 4 ? 4 : 8;
        levels = 1 << b;
    }
    if (!NewDib(w, h, dibBits, out)) return 0;
    std::unordered_map<uint32_t, int> reverse;
    if (palette) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return 0;
        // Old writers stored 8-bit maps; libtiff's RGBA reader detects them
        // the same way.
        bool eight = true;
        for (int i = 0; i < levels; ++i)
            if (r[i] >= 256 || g[i] >= 256 || b[i] >= 256) eight = false;
        RgbQuad* t = Table(out->header);
        for (int i = 0; i < levels; ++i) {
            uint8_t rr = uint8_t(eight ? r[i] : r[i] >> 8), gg = uint8_t(eight ? g[i] : g[i] >> 8),
                    bb = uint8_t(eight ? b[i] : b[i] >> 8);
            t[i] = RgbQuad{bb, gg, rr, 0};
            reverse.emplace(uint32_t(rr) | uint32_t(gg) << 8 | uint32_t(bb) << 16, i);
        }
    } else if (grey) {
        GreyRamp(out->header, levels);
    }

    uint32_t band = h;
    uint32_t unit = 0;
    if (TIFFIsTiled(tif))
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &unit);
    else
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &unit);
    if (unit > 0 && unit < band) band = unit;
    if (uint64_t(band) * w * 4 > kBandBytes) band = uint32_t(kBandBytes / (uint64_t(w) * 4)) ? uint32_t(kBandBytes / (uint64_t(w) * 4)) : 1;
    else if (band < h) band = uint32_t((kBandBytes / (uint64_t(w) * 4)) / band * band);
    if (band > h) band = h;
    if (band == 0) band = 1;
    c.raster = static_cast<uint32_t*>(PmHeap_Alloc(size_t(band) * w * 4));
    if (!c.raster) return 0;
    const int step = levels > 1 ? 255 / (levels - 1) : 1;
    for (uint32_t y0 = 0; y0 < h; y0 += band) {
        uint32_t n = h - y0 < band ? h - y0 : band;
        img.row_offset = int(y0);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, c.raster, w, n)) return 0;
        for (uint32_t r = 0; r < n; ++r) {
            const uint32_t* src = c.raster + size_t(r) * w;
            uint8_t* dst = TopRow(out->header, out->bits, y0 + r);
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t p = src[x];
                if (palette) {
                    auto it = reverse.find(p & 0xFFFFFF);
                    SetIndex(dst, dibBits, x, it == reverse.end() ? 0 : it->second);
                } else if (grey) {
                    SetIndex(dst, dibBits, x, (int(TIFFGetR(p)) + step / 2) / step);
                } else if (dibBits == 32) {
                    // libtiff hands out premultiplied colour; a DIB keeps
                    // colour and alpha apart.
                    unsigned a = TIFFGetA(p);
                    auto straight = [a](unsigned v) { return uint8_t(a == 0 ? 0 : v >= a ? 255 : (v * 255 + a / 2) / a); };
                    dst[x * 4] = straight(TIFFGetB(p));
                    dst[x * 4 + 1] = straight(TIFFGetG(p));
                    dst[x * 4 + 2] = straight(TIFFGetR(p));
                    dst[x * 4 + 3] = uint8_t(a);
                } else {
                    dst[x * 3] = uint8_t(TIFFGetB(p));
                    dst[x * 3 + 1] = uint8_t(TIFFGetG(p));
                    dst[x * 3 + 2] = uint8_t(TIFFGetR(p));
                }
            }
        }
    }
    return bps * spp;
}

int TiffWrite(PmFileHandle file, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits, unsigned* sysError) {
    OutFile of{file, 0};
    Closer c;
    c.opts = Options();
    if (!c.opts) return 0;
    c.tif = TIFFClientOpenExt("image", "w", &of, OutRead, OutWrite, OutSeek, NoClose, OutSize, NoMap, NoUnmap, c.opts);
    if (!c.tif) {
        *sysError = of.error;
        return 0;
    }
    TIFF* tif = c.tif;
    const uint32_t w = uint32_t(h->biWidth), rows = uint32_t(DibRows(h));
    const int bc = h->biBitCount;
    const bool indexed = bc <= 8;
    bool ramp = false;
    if (indexed && GreyTable(h) && TableCount(h) == (1 << bc)) {
        ramp = true;
        const RgbQuad* t = Table(h);
        for (int i = 0; i < (1 << bc); ++i)
            if (t[i].red != i * 255 / ((1 << bc) - 1)) ramp = false;
    }
    const int spp = indexed ? 1 : bc == 32 ? 4 : 3;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, indexed ? bc : 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                 indexed ? (ramp ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE) : PHOTOMETRIC_RGB);
    if (spp == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    uint16_t map[3][256] = {};
    if (indexed && !ramp) {
        const RgbQuad* t = Table(h);
        int n = TableCount(h);
        for (int i = 0; i < n && i < 256; ++i) {
            map[0][i] = uint16_t(t[i].red * 257);
            map[1][i] = uint16_t(t[i].green * 257);
            map[2][i] = uint16_t(t[i].blue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
    }
    // Compression: 0 none, 1 LZW (the default), 2 Deflate, 3 PackBits.
    uint16_t comp = COMPRESSION_LZW;
    switch (opt.Raw[0]) {
    case 0: comp = COMPRESSION_NONE; break;
    case 2: comp = COMPRESSION_ADOBE_DEFLATE; break;
    case 3: comp = COMPRESSION_PACKBITS; break;
    default: break;
    }
    TIFFSetField(tif, TIFFTAG_COMPRESSION, comp);
    if ((comp == COMPRESSION_LZW || comp == COMPRESSION_ADOBE_DEFLATE) && !indexed)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0) {
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(h->biXPelsPerMeter) / 100.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(h->biYPelsPerMeter) / 100.0f);
    }
    const size_t rowBytes = indexed ? (size_t(w) * bc + 7) / 8 : size_t(w) * spp;
    auto* row = static_cast<uint8_t*>(PmHeap_Alloc(rowBytes > size_t(w) * 3 ? rowBytes : size_t(w) * 3));
    if (!row) return 0;
    bool ok = true;
    for (uint32_t y = 0; y < rows && ok; ++y) {
        const uint8_t* src = TopRow(h, bits, y);
        if (indexed) {
            std::memcpy(row, src, rowBytes);
        } else if (bc == 32) {
            for (uint32_t x = 0; x < w; ++x) {
                row[x * 4] = src[x * 4 + 2];
                row[x * 4 + 1] = src[x * 4 + 1];
                row[x * 4 + 2] = src[x * 4];
                row[x * 4 + 3] = src[x * 4 + 3];
            }
        } else {
            RowToBgr(h, src, row);
            for (uint32_t x = 0; x < w; ++x) std::swap(row[x * 3], row[x * 3 + 2]);
        }
        ok = TIFFWriteScanline(tif, row, y, 0) == 1;
    }
    PmHeap_Free(row);
    // Closing writes the directory; its failure is the write's failure.
    ok = TIFFWriteDirectory(tif) == 1 && ok;
    TIFFClose(tif);
    c.tif = nullptr;
    if (!ok || of.error) {
        *sysError = of.error;
        return 0;
    }
    return 1;
}

}  // namespace pmio
