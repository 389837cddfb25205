// PNG through libpng. libpng longjmps out of its calls on errors; the jump
// lands in a function without C++ objects, and the state record that the
// caller owns holds everything to release.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_reduce.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmheap.h"

#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <libdeflate.h>
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


void WriteFn(png_structp png, png_bytep data, size_t n) {
    auto* out = static_cast<OutStream*>(png_get_io_ptr(png));
    if (!out->Write(data, n)) png_error(png, "write");
}
void FlushFn(png_structp) {}

// zlib inflates the image data several times slower than libdeflate, which
// needs the whole compressed stream and the whole output at once. When both
// fit this many bytes, the reader collects the image data chunks itself,
// inflates them in one call and hands libpng the result as stored (copied)
// deflate blocks: libpng still unfilters, de-interlaces and converts, so the
// pixels are the ones it would give, and bigger pictures keep streaming
// through zlib with the memory of a few rows. The limits take in every
// 8-bit photo up to 12 megapixels (about 60 MB with the compressed data),
// and in the 64-bit build their 16-bit forms too, while a 100-megapixel
// picture (300 MB inflated) streams; the 32-bit build shares its address
// space among several conversions at once.
constexpr size_t kOneShotDefault = (sizeof(void*) >= 8 ? 128u : 64u) * 1024 * 1024;
std::atomic<size_t> g_oneShotLimit{kOneShotDefault};
thread_local unsigned g_oneShotReads = 0;

// Bytes served to libpng before the file's own: either the inflated image
// data dressed as stored blocks, or, when the one-shot inflate declined,
// the bytes it had read, given back unchanged so that libpng meets exactly
// the file (and reports its faults exactly as without the one-shot path).
struct Feed {
    struct Piece {
        bool framed;  // in `framing`, else in the data buffer
        size_t offset, size;
    };
    std::vector<Piece> pieces;
    std::vector<uint8_t> framing;  // chunk headers, CRCs, block headers
    const uint8_t* data = nullptr;
    size_t index = 0, offset = 0;
    // The synthetic chunks carry no real CRCs: critical chunks go unchecked
    // while they are read, and checked again from the first real byte.
    size_t firstReal = 0;
    bool restoreCrc = false;
    uint8_t* packed = nullptr;    // the compressed stream (PmHeap)
    uint8_t* inflated = nullptr;  // the filtered rows (PmHeap)
    Feed() = default;
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;
    ~Feed() {
        PmHeap_Free(packed);
        PmHeap_Free(inflated);
    }
    size_t Serve(png_structp png, uint8_t* dst, size_t n) noexcept {
        size_t got = 0;
        while (got < n) {
            if (restoreCrc && index >= firstReal) {
                png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_NO_CHANGE);
                png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_OFF);
                restoreCrc = false;
            }
            if (index >= pieces.size()) break;
            const Piece& p = pieces[index];
            const size_t take = p.size - offset < n - got ? p.size - offset : n - got;
            std::memcpy(dst + got, (p.framed ? framing.data() : data) + p.offset + offset, take);
            got += take;
            offset += take;
            if (offset == p.size) {
                ++index;
                offset = 0;
            }
        }
        return got;
    }
};

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
    Feed* feed;
    uint8_t lastHeader[8];  // the last chunk header libpng read
};

void ReadFn(png_structp png, png_bytep data, size_t n) {
    auto* s = static_cast<ReadState*>(png_get_io_ptr(png));
    size_t got = s->feed ? s->feed->Serve(png, data, n) : 0;
    if (got < n) got += s->in->Read(data + got, n - got);
    if (got != n) png_error(png, "read");
    // libpng reads each chunk's length and type in one call of 8 bytes.
    if (n == 8) std::memcpy(s->lastHeader, data, 8);
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// The bytes the image data inflates to: each row (of each Adam7 pass that
// has pixels) with its filter byte.
uint64_t FilteredBytes(uint32_t w, uint32_t h, unsigned bitsPerPixel, bool interlaced) {
    auto rows = [&](uint64_t pw, uint64_t ph) { return pw && ph ? ph * ((pw * bitsPerPixel + 7) / 8 + 1) : 0; };
    if (!interlaced) return rows(w, h);
    static const unsigned x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const unsigned dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    uint64_t total = 0;
    for (int p = 0; p < 7; ++p)
        total += rows(w > x0[p] ? (w - x0[p] + dx[p] - 1) / dx[p] : 0, h > y0[p] ? (h - y0[p] + dy[p] - 1) / dy[p] : 0);
    return total;
}

bool IsIdat(const uint8_t* header) { return std::memcmp(header + 4, "IDAT", 4) == 0; }

// Reads the run of image data chunks that follows the one libpng has just
// announced, up to the first other chunk's header, into one buffer, and
// inflates it. Sets up `feed` either way: with the inflated rows when every
// chunk arrived whole with its CRC and the stream inflated to exactly the
// rows the header promises, followed by nothing else; with the bytes read,
// unchanged, otherwise. Never fails the read itself. Runs no libpng call
// that may jump, so it may own C++ objects.
void CollectImageData(ReadState* s, uint32_t w, uint32_t h, unsigned bitsPerPixel, bool interlaced) noexcept {
    Feed& f = *s->feed;
    const size_t limit = g_oneShotLimit.load(std::memory_order_relaxed);
    if (!IsIdat(s->lastHeader) || limit == 0) return;
    const uint64_t outBytes = FilteredBytes(w, h, bitsPerPixel, interlaced);
    if (outBytes == 0 || outBytes >= limit) return;
    const size_t budget = size_t(limit - outBytes);
    InStream& in = *s->in;
    try {
        // Nothing is known of the total before the chunks are read; the
        // rest of the file bounds it, and doubling serves streams of
        // unknown size.
        const int64_t fileSize = in.Size();
        size_t capacity = 1u << 20;
        if (fileSize > 0 && uint64_t(fileSize) > in.Tell()) {
            const uint64_t rest = uint64_t(fileSize) - in.Tell();
            capacity = rest < budget ? size_t(rest) : budget;
        }
        if (capacity > budget) capacity = budget;
        size_t used = 0;
        bool whole = true;
        uint32_t length = Be32(s->lastHeader);
        for (;;) {
            if (length > PNG_UINT_31_MAX || length > budget - used) {
                whole = false;
                break;
            }
            if (used + length > capacity) {
                size_t grown = capacity * 2 > used + length ? capacity * 2 : used + length;
                if (grown > budget) grown = budget;
                auto* p = static_cast<uint8_t*>(PmHeap_Realloc(f.packed, grown));
                if (!p) {
                    whole = false;
                    break;
                }
                f.packed = p;
                capacity = grown;
            } else if (!f.packed) {
                f.packed = static_cast<uint8_t*>(PmHeap_Alloc(capacity ? capacity : 1));
                if (!f.packed) {
                    whole = false;
                    break;
                }
            }
            // Room for this chunk's records before its bytes are read, so
            // that running out of memory never loses bytes already read.
            if (f.pieces.capacity() < f.pieces.size() + 2) f.pieces.reserve(f.pieces.size() * 2 + 2);
            if (f.framing.capacity() < f.framing.size() + 12) f.framing.reserve(f.framing.size() * 2 + 12);
            const size_t got = in.Read(f.packed + used, length);
            if (got) f.pieces.push_back({false, used, got});
            used += got;
            if (got != length) {
                whole = false;
                break;
            }
            // The chunk's CRC, then the next chunk's header.
            const size_t at = f.framing.size();
            f.framing.resize(at + 12);
            const size_t tail = in.Read(f.framing.data() + at, 12);
            f.framing.resize(at + tail);
            if (tail) f.pieces.push_back({true, at, tail});
            if (tail < 4) {
                whole = false;
                break;
            }
            const uint32_t crc = libdeflate_crc32(libdeflate_crc32(0, "IDAT", 4), f.packed + used - length, length);
            if (crc != Be32(f.framing.data() + at)) {
                whole = false;
                break;
            }
            // A file that ends after the chunk is a fault libpng reports
            // when it reads on.
            if (tail < 12 || !IsIdat(f.framing.data() + at + 4)) break;
            length = Be32(f.framing.data() + at + 4);
        }
        f.data = f.packed;
        f.firstReal = 0;
        // zlib refuses other windows or a preset dictionary, and libdeflate
        // would not: those streams go through zlib.
        if (!whole || used < 6 || f.packed[0] != 0x78 || f.packed[1] & 0x20) return;
        f.inflated = static_cast<uint8_t*>(PmHeap_Alloc(size_t(outBytes)));
        if (!f.inflated) return;
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        if (!d) return;
        size_t inUsed = 0, outUsed = 0;
        const libdeflate_result r =
            libdeflate_zlib_decompress_ex(d, f.packed, used, f.inflated, size_t(outBytes), &inUsed, &outUsed);
        libdeflate_free_decompressor(d);
        // Too little data, too much, a bad checksum or trailing bytes each
        // have their own answer in libpng (an error or a warning): those
        // files take its path.
        if (r != LIBDEFLATE_SUCCESS || outUsed != outBytes || inUsed != used) {
            PmHeap_Free(f.inflated);
            f.inflated = nullptr;
            return;
        }

        // Stored blocks of at most 65535 bytes after a zlib header, and the
        // stream's own checksum; the first chunk keeps the length libpng has
        // read, padded with empty blocks when the stored form is shorter.
        std::vector<uint8_t> fr;
        std::vector<Feed::Piece> zs;
        const size_t blocks = size_t((outBytes + 65534) / 65535);
        const uint64_t stored = 2 + outBytes + 5 * uint64_t(blocks) + 4;
        const uint32_t first = Be32(s->lastHeader);
        const size_t pad = stored < first ? size_t((first - stored + 4) / 5) : 0;
        fr.reserve(2 + 5 * (pad + blocks) + 4 + 16 + 12);
        fr.push_back(0x78);
        fr.push_back(0x01);
        for (size_t i = 0; i < pad; ++i) fr.insert(fr.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
        zs.push_back({true, 0, fr.size()});
        for (size_t i = 0; i < blocks; ++i) {
            const size_t off = i * 65535;
            const size_t n = size_t(outBytes) - off < 65535 ? size_t(outBytes) - off : 65535;
            const size_t at = fr.size();
            fr.insert(fr.end(), {uint8_t(i + 1 == blocks ? 1 : 0), uint8_t(n), uint8_t(n >> 8), uint8_t(~n),
                                 uint8_t(~n >> 8)});
            zs.push_back({true, at, 5});
            zs.push_back({false, off, n});
        }
        zs.push_back({true, fr.size(), 4});
        fr.insert(fr.end(), f.packed + used - 4, f.packed + used);
        const uint64_t total = stored + 5 * uint64_t(pad);

        // Split the stream after the first chunk's length: that chunk's
        // (unchecked) CRC and a second chunk for the rest.
        std::vector<Feed::Piece> out;
        uint64_t pos = 0;
        const uint64_t rest = total - first;
        for (const Feed::Piece& p : zs) {
            if (pos < first && pos + p.size > first) {
                const size_t head = size_t(first - pos);
                out.push_back({p.framed, p.offset, head});
                const size_t at = fr.size();
                fr.insert(fr.end(), 12, 0);
                PutBe32(fr.data() + at + 4, uint32_t(rest));
                std::memcpy(fr.data() + at + 8, "IDAT", 4);
                out.push_back({true, at, 12});
                out.push_back({p.framed, p.offset + head, p.size - head});
            } else {
                if (pos == first && p.size > 0 && rest > 0) {
                    const size_t at = fr.size();
                    fr.insert(fr.end(), 12, 0);
                    PutBe32(fr.data() + at + 4, uint32_t(rest));
                    std::memcpy(fr.data() + at + 8, "IDAT", 4);
                    out.push_back({true, at, 12});
                }
                out.push_back(p);
            }
            pos += p.size;
        }
        const size_t at = fr.size();
        fr.insert(fr.end(), 4, 0);
        out.push_back({true, at, 4});
        // What followed the last chunk's CRC: the next chunk's header.
        const Feed::Piece& last = f.pieces.back();
        if (last.framed && last.size > 4) {
            const size_t t = fr.size();
            fr.insert(fr.end(), f.framing.begin() + last.offset + 4, f.framing.begin() + last.offset + last.size);
            f.firstReal = out.size();
            out.push_back({true, t, last.size - 4});
        } else {
            f.firstReal = out.size();
        }
        f.framing.swap(fr);
        f.pieces.swap(out);
        f.data = f.inflated;
        PmHeap_Free(f.packed);
        f.packed = nullptr;
        f.restoreCrc = true;
        ++g_oneShotReads;
    } catch (...) {
        // Out of memory for the bookkeeping: what was read is given back
        // as far as it was recorded, which is all of it.
        f.restoreCrc = false;
        f.data = f.packed;
        f.firstReal = 0;
    }
}

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
    png_set_read_fn(png, s, ReadFn);
    png_read_info(png, info);
    if (s->meta) CollectMeta(png, info, s->meta);
    png_uint_32 w = 0, h = 0;
    int bd = 0, ct = 0, il = 0;
    png_get_IHDR(png, info, &w, &h, &bd, &ct, &il, nullptr, nullptr);
    s->depth = bd * png_get_channels(png, info);
    s->interlace = il;
    if (s->feed) {
        CollectImageData(s, w, h, unsigned(s->depth), il != PNG_INTERLACE_NONE);
        if (s->feed->restoreCrc) {
            png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_NO_CHANGE);
            // The checksum was verified on the real stream.
            png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
        }
    }

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

}  // namespace pmio

uint64_t DibIO_PngInflatedBytes(uint32_t width, uint32_t height, unsigned bitsPerPixel, bool interlaced) {
    const uint64_t bytes = pmio::FilteredBytes(width, height, bitsPerPixel, interlaced);
    return bytes < pmio::g_oneShotLimit.load(std::memory_order_relaxed) ? bytes : 0;
}

namespace pmio {

size_t PngSetOneShotLimit(size_t bytes) { return g_oneShotLimit.exchange(bytes == size_t(-1) ? kOneShotDefault : bytes); }
unsigned PngOneShotReads() { return g_oneShotReads; }

int PngRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta, DibReadRequest* request) {
    StreamReducer reducer;
    Feed feed;
    ReadState s{};
    s.feed = &feed;
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
