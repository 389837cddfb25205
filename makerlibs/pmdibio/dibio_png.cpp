// PNG through libpng. libpng longjmps out of its calls on errors; the jump
// lands in a function without C++ objects, and the state record that the
// caller owns holds everything to release.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_reduce.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmheap.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

#include <png.h>

namespace pmio {
namespace {

// Text and profile chunks beyond this are refused instead of inflated.
constexpr png_alloc_size_t kChunkMax = 16u * 1024 * 1024;

// libpng allocates a text or palette-suggestion chunk's declared length
// before reading it, without the chunk limit above, so a few bytes that
// declare a 2 GB chunk would take 2 GB. No single allocation of the reader
// may pass the chunk limit: rows of the widest image need half a megabyte.
// A refused chunk buffer is an out-of-memory error libpng reports for the
// chunk, which then fails the read at the end of the file.
constexpr png_alloc_size_t kLargestAllocation = kChunkMax + 4096;

png_voidp BoundedMalloc(png_structp, png_alloc_size_t n) {
    return n > kLargestAllocation ? nullptr : std::malloc(n);
}
void BoundedFree(png_structp, png_voidp p) { std::free(p); }

void ErrorFn(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void WarningFn(png_structp, png_const_charp) {}

void ReadFn(png_structp png, png_bytep data, size_t n) {
    auto* in = static_cast<InStream*>(png_get_io_ptr(png));
    if (in->Read(data, n) != n) png_error(png, "read");
}

void WriteFn(png_structp png, png_bytep data, size_t n) {
    auto* out = static_cast<OutStream*>(png_get_io_ptr(png));
    if (!out->Write(data, n)) png_error(png, "write");
}
void FlushFn(png_structp) {}

struct ReadState {
    png_structp png;
    png_infop info;
    png_infop end;  // what follows the image data
    InStream* in;
    DibHolder* out;
    png_bytep* rows;
    uint8_t* temp;  // 2-bit images: one byte a pixel, packed into nibbles after
    int depth;
    int interlace;
    DibMetadata* meta;
    DibReadRequest* request;
    StreamReducer* reducer;
    uint8_t* row;  // one decoded row of a streamed read
};

void CollectExif(png_structp png, png_infop info, DibMetadata* meta) noexcept;

// A thumbnail-size read of a non-interlaced file: rows go one by one into
// the box reduction, in the colours the full read would give once made
// 24-bit (palette and grey expanded; alpha only where the full read keeps
// it, so a single transparent entry keeps its colour as it does there).
bool DecodeStreamed(ReadState* s, unsigned factor, png_uint_32 w, png_uint_32 h, int bd, int ct, bool hasTrns,
                    bool partialPaletteAlpha) {
    png_structp png = s->png;
    png_infop info = s->info;
    bool alpha = false;
    if (bd == 16) png_set_scale_16(png);
    if (ct == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
        if (partialPaletteAlpha) {
            png_set_tRNS_to_alpha(png);
            alpha = true;
        }
    } else if (ct == PNG_COLOR_TYPE_GRAY) {
        if (hasTrns && bd == 16) {
            png_set_tRNS_to_alpha(png);
            alpha = true;
        } else if (bd < 8) {
            png_set_expand_gray_1_2_4_to_8(png);
        }
        png_set_gray_to_rgb(png);
    } else if (ct == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
        alpha = true;
    } else {
        if (ct == PNG_COLOR_TYPE_RGB && hasTrns) png_set_tRNS_to_alpha(png);
        alpha = ct == PNG_COLOR_TYPE_RGB_ALPHA || hasTrns;
    }
    png_set_bgr(png);
    png_read_update_info(png, info);
    const int channels = alpha ? 4 : 3;
    if (png_get_rowbytes(png, info) != size_t(w) * channels) return false;
    if (!s->reducer->Begin(w, h, factor, channels)) return false;
    s->row = static_cast<uint8_t*>(PmHeap_Alloc(size_t(w) * channels));
    if (!s->row) return false;
    for (png_uint_32 y = 0; y < h; ++y) {
        png_read_row(png, s->row, nullptr);
        s->reducer->Row(y, s->row);
    }
    png_read_end(png, s->end);
    if (s->meta && s->end) CollectExif(png, s->end, s->meta);
    return s->reducer->Finish(s->request, s->out);
}

// The EXIF block, when the caller asked and none was found yet. Writers may
// put it before the image data or after it.
void CollectExif(png_structp png, png_infop info, DibMetadata* meta) noexcept {
    try {
        png_bytep exif = nullptr;
        png_uint_32 exifSize = 0;
        if (meta->exif.empty() && png_get_eXIf_1(png, info, &exifSize, &exif) && exif && exifSize > 0) {
            meta->exif.assign(exif, exif + exifSize);
            meta->orientation = Exif_OrientationFromBytes(exif, exifSize);
        }
    } catch (...) {
        meta->exif.clear();
        meta->orientation = 0;
    }
}

// The EXIF block and the colour profile, when the caller asked. Out of
// memory here only loses the metadata, never the image.
void CollectMeta(png_structp png, png_infop info, DibMetadata* meta) noexcept {
    CollectExif(png, info, meta);
    try {
        png_charp name = nullptr;
        int compression = 0;
        png_bytep profile = nullptr;
        png_uint_32 profileSize = 0;
        if (png_get_iCCP(png, info, &name, &compression, &profile, &profileSize) && profile && profileSize > 0)
            meta->icc.assign(profile, profile + profileSize);
    } catch (...) {
        *meta = DibMetadata{};
    }
}

bool Decode(ReadState* s) {
    png_structp png = s->png;
    png_infop info = s->info;
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_user_limits(png, kMaxImageSide, kMaxImageSide);
    png_set_chunk_malloc_max(png, kChunkMax);
    png_set_read_fn(png, s->in, ReadFn);
    png_read_info(png, info);
    if (s->meta) CollectMeta(png, info, s->meta);
    png_uint_32 w = 0, h = 0;
    int bd = 0, ct = 0, il = 0;
    png_get_IHDR(png, info, &w, &h, &bd, &ct, &il, nullptr, nullptr);
    s->depth = bd * png_get_channels(png, info);
    s->interlace = il;

    png_bytep trans = nullptr;
    int numTrans = 0;
    png_color_16p transColor = nullptr;
    const bool hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) &&
                         png_get_tRNS(png, info, &trans, &numTrans, &transColor) != 0;
    // Adam7 passes each cover the whole picture, so only a file stored row
    // by row streams.
    const unsigned factor = s->request && il == PNG_INTERLACE_NONE ? StreamFactor(s->request, w, h) : 1;
    if (factor > 1) {
        bool partial = false;
        if (ct == PNG_COLOR_TYPE_PALETTE) {
            png_colorp p = nullptr;
            int count = 0;
            png_get_PLTE(png, info, &p, &count);
            bool marked = false;
            for (int i = 0; hasTrns && i < numTrans && i < count; ++i) {
                if (trans[i] == 0 && !marked)
                    marked = true;
                else if (trans[i] != 255)
                    partial = true;
            }
        }
        return DecodeStreamed(s, factor, w, h, bd, ct, hasTrns, partial);
    }
    size_t bytes;
    if (!DibImageBytes(w, h, 32, &bytes) && !DibImageBytes(w, h, 8, &bytes)) {
        NoteTooLarge();
        return false;
    }
    int dibBits = 24;
    int marked = -1;
    bool packTwo = false;
    png_colorp plte = nullptr;
    int plteCount = 0;
    if (bd == 16) png_set_scale_16(png);
    if (ct == PNG_COLOR_TYPE_PALETTE) {
        png_get_PLTE(png, info, &plte, &plteCount);
        // One fully transparent entry becomes the DIB's transparent index;
        // partial alpha needs real alpha.
        bool partial = false;
        for (int i = 0; hasTrns && i < numTrans && i < plteCount; ++i) {
            if (trans[i] == 0 && marked < 0)
                marked = i;
            else if (trans[i] != 255)
                partial = true;  // translucent, or a second transparent entry
        }
        if (partial) {
            png_set_palette_to_rgb(png);
            png_set_tRNS_to_alpha(png);
            png_set_bgr(png);
            dibBits = 32;
            marked = -1;
        } else {
            dibBits = bd == 1 ? 1 : bd == 8 ? 8 : 4;
            packTwo = bd == 2;
        }
    } else if (ct == PNG_COLOR_TYPE_GRAY) {
        if (hasTrns && bd == 16) {
            png_set_tRNS_to_alpha(png);
            png_set_gray_to_rgb(png);
            png_set_bgr(png);
            dibBits = 32;
        } else {
            dibBits = bd == 1 ? 1 : bd <= 4 ? 4 : 8;
            packTwo = bd == 2;
            if (hasTrns && transColor && transColor->gray < (1u << bd)) marked = transColor->gray;
        }
    } else if (ct == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
        png_set_bgr(png);
        dibBits = 32;
    } else {
        png_set_bgr(png);
        if (ct == PNG_COLOR_TYPE_RGB && hasTrns) png_set_tRNS_to_alpha(png);
        dibBits = ct == PNG_COLOR_TYPE_RGB_ALPHA || hasTrns ? 32 : 24;
    }
    if (packTwo) png_set_packing(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    if (!NewDib(w, h, dibBits, s->out)) return false;
    DibHeader* dh = s->out->header;
    RgbQuad* table = Table(dh);
    if (ct == PNG_COLOR_TYPE_PALETTE && dibBits <= 8) {
        int n = TableCount(dh);
        for (int i = 0; i < plteCount && i < n; ++i) table[i] = RgbQuad{plte[i].blue, plte[i].green, plte[i].red, 0};
    } else if (ct == PNG_COLOR_TYPE_GRAY && dibBits <= 8) {
        GreyRamp(dh, 1 << (bd > 8 ? 8 : bd));
    }
    if (marked >= 0 && marked < TableCount(dh)) table[marked].reserved = kTransparentMark;

    const size_t rowBytes = png_get_rowbytes(png, info);
    const uint64_t stride = DibStride(w, uint32_t(dibBits));
    if (packTwo ? rowBytes != w : rowBytes > stride) return false;
    s->rows = static_cast<png_bytep*>(PmHeap_Alloc(sizeof(png_bytep) * h));
    if (!s->rows) return false;
    if (packTwo) {
        s->temp = static_cast<uint8_t*>(PmHeap_Alloc(size_t(w) * h));
        if (!s->temp) return false;
        for (png_uint_32 y = 0; y < h; ++y) s->rows[y] = s->temp + size_t(y) * w;
    } else {
        for (png_uint_32 y = 0; y < h; ++y) s->rows[y] = TopRow(dh, s->out->bits, y);
    }
    png_read_image(png, s->rows);
    if (packTwo)
        for (png_uint_32 y = 0; y < h; ++y) {
            uint8_t* dst = TopRow(dh, s->out->bits, y);
            for (png_uint_32 x = 0; x < w; ++x) SetIndex(dst, 4, x, s->temp[size_t(y) * w + x] & 3);
        }
    // A file cut off after its image data is still a cut-off file.
    png_read_end(png, s->end);
    if (s->meta && s->end) CollectExif(png, s->end, s->meta);
    return true;
}

struct WriteState {
    png_structp png;
    png_infop info;
    OutStream* out;
    const DibIOOptions* opt;
    const DibHeader* h;
    const uint8_t* bits;
    png_bytep* rows;
    uint8_t* temp;
    const DibMetadata* meta;
};

bool Encode(WriteState* s) {
    png_structp png = s->png;
    png_infop info = s->info;
    if (setjmp(png_jmpbuf(png))) return false;
    const DibHeader* h = s->h;
    const png_uint_32 w = png_uint_32(h->biWidth), rows = png_uint_32(DibRows(h));
    const int bc = h->biBitCount;
    png_set_write_fn(png, s->out, WriteFn, FlushFn);
    const int il = s->opt->Png.Interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    if (bc <= 8) {
        png_set_IHDR(png, info, w, rows, bc, PNG_COLOR_TYPE_PALETTE, il, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        // The palette covers every index in use and the transparent entry,
        // so no decoder meets an index outside it.
        int used = 0;
        for (png_uint_32 y = 0; y < rows; ++y) {
            const uint8_t* r = TopRow(h, s->bits, y);
            for (png_uint_32 x = 0; x < w; ++x) {
                int i = IndexAt(r, bc, x);
                if (i >= used) used = i + 1;
            }
        }
        const int marked = MarkedTransparent(h);
        if (marked >= used) used = marked + 1;
        const RgbQuad* t = Table(h);
        const int n = TableCount(h);
        png_color plte[256] = {};
        for (int i = 0; i < used && i < n; ++i) plte[i] = png_color{t[i].red, t[i].green, t[i].blue};
        png_set_PLTE(png, info, plte, used < 1 ? 1 : used);
        if (marked >= 0) {
            png_byte alpha[256];
            std::memset(alpha, 255, sizeof alpha);
            alpha[marked] = 0;
            png_set_tRNS(png, info, alpha, marked + 1, nullptr);
        }
    } else {
        png_set_IHDR(png, info, w, rows, 8, bc == 32 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, il,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    }
    if (h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0)
        png_set_pHYs(png, info, png_uint_32(h->biXPelsPerMeter), png_uint_32(h->biYPelsPerMeter), PNG_RESOLUTION_METER);
    // Palette and RGB pixels both take an RGB profile only. libpng checks
    // the profile itself; one it refuses is left out, never the image.
    if (s->meta && IccFitsChannels(s->meta->icc, 3) && s->meta->icc.size() <= kChunkMax) {
        png_set_benign_errors(png, 1);
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, s->meta->icc.data(),
                     png_uint_32(s->meta->icc.size()));
        png_set_benign_errors(png, 0);
    }
    if (s->meta && !s->meta->exif.empty() && s->meta->exif.size() < 0x7FFFFFFF)
        png_set_eXIf_1(png, info, png_uint_32(s->meta->exif.size()), const_cast<png_bytep>(s->meta->exif.data()));
    png_write_info(png, info);
    if (bc > 8) png_set_bgr(png);
    s->rows = static_cast<png_bytep*>(PmHeap_Alloc(sizeof(png_bytep) * rows));
    if (!s->rows) return false;
    if (bc == 16) {
        // 16-bit pixels have no PNG form; they go out as 8 bits a channel.
        s->temp = static_cast<uint8_t*>(PmHeap_Alloc(size_t(w) * 3 * rows));
        if (!s->temp) return false;
        for (png_uint_32 y = 0; y < rows; ++y) {
            s->rows[y] = s->temp + size_t(y) * w * 3;
            RowToBgr(h, TopRow(h, s->bits, y), s->rows[y]);
        }
    } else {
        for (png_uint_32 y = 0; y < rows; ++y) s->rows[y] = const_cast<png_bytep>(TopRow(h, s->bits, y));
    }
    png_write_image(png, s->rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

int PngRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta, DibReadRequest* request) {
    StreamReducer reducer;
    ReadState s{};
    s.request = request;
    s.reducer = &reducer;
    s.in = &in;
    s.meta = meta;
    s.out = out;
    s.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, ErrorFn, WarningFn, nullptr, BoundedMalloc,
                                     BoundedFree);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (s.png && meta) s.end = png_create_info_struct(s.png);
    bool ok = s.png && s.info && (!meta || s.end) && Decode(&s);
    png_destroy_read_struct(&s.png, s.info ? &s.info : nullptr, s.end ? &s.end : nullptr);
    PmHeap_Free(s.rows);
    PmHeap_Free(s.temp);
    PmHeap_Free(s.row);
    if (!ok) {
        out->Reset();
        return 0;
    }
    if (info) info->Png.Interlace = s.interlace != PNG_INTERLACE_NONE ? 1 : 0;
    return s.depth;
}

int PngWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
             const DibMetadata* meta) {
    WriteState s{};
    s.out = &out;
    s.meta = meta;
    s.opt = &opt;
    s.h = h;
    s.bits = bits;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, ErrorFn, WarningFn);
    if (s.png) s.info = png_create_info_struct(s.png);
    bool ok = s.png && s.info && Encode(&s);
    png_destroy_write_struct(&s.png, s.info ? &s.info : nullptr);
    PmHeap_Free(s.rows);
    PmHeap_Free(s.temp);
    return ok && out.Flush() ? 1 : 0;
}

}  // namespace pmio
