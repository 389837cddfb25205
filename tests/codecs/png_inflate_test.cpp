// PNG image data inflated in one call must read exactly as libpng's own
// streaming inflate reads it: the same pixels, depth and metadata, and the
// same failures for damaged files, whether the one-call path took the file
// or handed it back.
#include "codec_support.h"
#include "common/testsupport.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmheap.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace codectest;

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
    int depth = 0;
    Bytes header, bits, exif;
    PmSize full{};
    uint32_t reduction = 0;
    bool oneShot = false;
};

int FitBox(void*, const PmSize* full, PmSize* target) {
    const int side = 48;
    const int w = full->cx, h = full->cy;
    *target = w >= h ? PmSize{side, std::max(1, int(int64_t(h) * side / w))}
                     : PmSize{std::max(1, int(int64_t(w) * side / h)), side};
    return 1;
}

// Reads `path` whole or as a thumbnail with the one-call inflate limited to
// `limit` bytes (0: never).
Outcome Read(const std::string& path, bool thumbnail, size_t limit) {
    Outcome o;
    const size_t before = pmio::PngSetOneShotLimit(limit);
    const unsigned reads = pmio::PngOneShotReads();
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    EXPECT_TRUE(f) << path;
    if (!f) return o;
    DibIOOptions info;
    DibIO_GetDefaultOptions(kTypePng, &info);
    Dib d;
    DibMetadata meta;
    if (thumbnail) {
        DibReadRequest r{};
        r.Size = sizeof r;
        r.TargetSize = FitBox;
        r.Meta = &meta;
        o.depth = DibIO_ReadRequested(f, kTypePng, &r, &info, &d.h, &d.b);
        o.full = r.FullSize;
        o.reduction = r.Reduction;
    } else {
        o.depth = DibIO_ReadMeta(0, f, kTypePng, &info, &meta, &d.h, &d.b);
    }
    PmFile_Close(f);
    o.oneShot = pmio::PngOneShotReads() != reads;
    pmio::PngSetOneShotLimit(before);
    o.exif = meta.exif;
    if (o.depth > 0 && d.h) {
        int n = 0;
        DibCore_GetColorTable(d.h, &n, nullptr);
        const auto* h = reinterpret_cast<const uint8_t*>(d.h);
        o.header.assign(h, h + sizeof(DibHeader) + size_t(n) * sizeof(RgbQuad));
        const int rows = d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight;
        o.bits.assign(d.b, d.b + size_t(DibCore_GetRowStride(d.h, 0)) * size_t(rows));
    }
    return o;
}

// Both reads of a file through both inflates agree; returns whether the
// one-call inflate took the whole read.
bool ExpectSame(const std::string& path, const std::string& what, size_t limit = size_t(-1)) {
    bool took = true;
    for (bool thumbnail : {false, true}) {
        const Outcome zlib = Read(path, thumbnail, 0);
        const Outcome fast = Read(path, thumbnail, limit);
        const std::string label = what + (thumbnail ? " (thumbnail)" : " (whole)");
        EXPECT_EQ(fast.depth > 0, zlib.depth > 0) << label;
        EXPECT_EQ(fast.depth, zlib.depth) << label;
        EXPECT_TRUE(fast.header == zlib.header) << label;
        EXPECT_TRUE(fast.bits == zlib.bits) << label;
        EXPECT_TRUE(fast.exif == zlib.exif) << label;
        EXPECT_EQ(fast.full.cx, zlib.full.cx) << label;
        EXPECT_EQ(fast.reduction, zlib.reduction) << label;
        EXPECT_FALSE(zlib.oneShot) << label;
        if (!thumbnail) took = fast.oneShot;
    }
    return took;
}

// --- PNG files made to order ----------------------------------------------

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void PutChunk(Bytes* out, const char* type, const Bytes& data) {
    const uint32_t n = uint32_t(data.size());
    const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out->insert(out->end(), len, len + 4);
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (!data.empty()) crc = crc32(crc, data.data(), uInt(data.size()));  // null data restarts the CRC
    const uint8_t c[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    out->insert(out->end(), c, c + 4);
}

struct Chunk {
    std::string type;
    Bytes data;
};

std::vector<Chunk> Chunks(const Bytes& png) {
    std::vector<Chunk> out;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t n = Be32(&png[at]);
        out.push_back({std::string(reinterpret_cast<const char*>(&png[at + 4]), 4),
                       Bytes(png.begin() + long(at + 8), png.begin() + long(at + 8 + n))});
        at += 12 + n;
    }
    return out;
}

struct Layout {
    const char* name;
    int w, h, depth, colorType;
    bool interlaced = false;
    int trns = 0;  // 1: a transparent colour or entry; 2 (palette): several partial alphas
};

uint8_t Sample(int x, int y, int c) { return uint8_t((x * (3 + c) + y * (5 - c) + ((x ^ y) & 15) * 9) & 0xFF); }

Bytes WritePng(const Layout& l) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t n) {
            auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
            o->insert(o->end(), data, data + n);
        },
        [](png_structp) {});
    png_set_IHDR(png, info, l.w, l.h, l.depth, l.colorType, l.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    if (l.colorType == PNG_COLOR_TYPE_PALETTE) {
        png_color plte[256];
        for (int i = 0; i < 256; ++i) plte[i] = png_color{uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)};
        png_set_PLTE(png, info, plte, 1 << l.depth);
        png_byte alpha[4] = {0, 255, 128, 40};
        if (l.trns) png_set_tRNS(png, info, alpha, l.trns == 2 ? 4 : 1, nullptr);
    } else if (l.trns) {
        png_color_16 c{};
        c.gray = png_uint_16(1);
        c.red = 3, c.green = 4, c.blue = 5;
        png_set_tRNS(png, info, nullptr, 0, &c);
    }
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<Bytes> rows(size_t(l.h), Bytes(rowBytes));
    std::vector<png_bytep> pointers;
    for (int y = 0; y < l.h; ++y) {
        Bytes& row = rows[size_t(y)];
        for (int x = 0; x < l.w; ++x)
            for (int c = 0; c < channels; ++c) {
                const unsigned v = Sample(x, y, c);
                if (l.depth == 16) {
                    row[(size_t(x) * channels + c) * 2] = uint8_t(v);
                    row[(size_t(x) * channels + c) * 2 + 1] = uint8_t(v * 31 + x);
                } else if (l.depth < 8) {
                    const int per = 8 / l.depth;
                    const unsigned s = (v >> (8 - l.depth)) << (8 - l.depth * (x % per + 1));
                    row[size_t(x) / per] |= uint8_t(s);
                } else {
                    row[size_t(x) * channels + c] = uint8_t(v);
                }
            }
        pointers.push_back(row.data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes JoinIdat(const Bytes& png) {
    Bytes z;
    for (const Chunk& c : Chunks(png))
        if (c.type == "IDAT") z.insert(z.end(), c.data.begin(), c.data.end());
    return z;
}

// The file with its image data replaced by `z`, cut into chunks of `piece`
// bytes (0: one chunk), with `empty` zero-length chunks before each, and
// `after` (a chunk) placed after them.
Bytes Rebuild(const Bytes& png, const Bytes& z, size_t piece = 0, int empty = 0, const Chunk* after = nullptr) {
    Bytes out(png.begin(), png.begin() + 8);
    bool done = false;
    for (const Chunk& c : Chunks(png)) {
        if (c.type != "IDAT") {
            PutChunk(&out, c.type.c_str(), c.data);
            continue;
        }
        if (done) continue;
        done = true;
        const size_t step = piece ? piece : std::max<size_t>(z.size(), 1);
        for (size_t at = 0; at < z.size() || at == 0; at += step) {
            for (int e = 0; e < empty; ++e) PutChunk(&out, "IDAT", {});
            PutChunk(&out, "IDAT", Bytes(z.begin() + long(at), z.begin() + long(std::min(z.size(), at + step))));
            if (z.empty()) break;
        }
        if (after) PutChunk(&out, after->type.c_str(), after->data);
    }
    return out;
}

Bytes Inflate(const Bytes& z) {
    Bytes out(1 << 20);
    z_stream s{};
    inflateInit(&s);
    s.next_in = const_cast<Bytef*>(z.data());
    s.avail_in = uInt(z.size());
    size_t have = 0;
    for (;;) {
        s.next_out = out.data() + have;
        s.avail_out = uInt(out.size() - have);
        const int r = inflate(&s, Z_NO_FLUSH);
        have = out.size() - s.avail_out;
        if (r != Z_OK) break;
        out.resize(out.size() * 2);
    }
    inflateEnd(&s);
    out.resize(have);
    return out;
}

Bytes Deflate(const Bytes& raw) {
    uLongf n = compressBound(uLong(raw.size()));
    Bytes out(n);
    compress2(out.data(), &n, raw.data(), uLong(raw.size()), 6);
    out.resize(n);
    return out;
}

// A zlib stream of stored blocks of `block` bytes.
Bytes Stored(const Bytes& raw, size_t block) {
    Bytes out = {0x78, 0x01};
    for (size_t at = 0; at < raw.size(); at += block) {
        const size_t n = std::min(block, raw.size() - at);
        const bool last = at + n == raw.size();
        out.insert(out.end(), {uint8_t(last), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), raw.begin() + long(at), raw.begin() + long(at + n));
    }
    const uLong a = adler32(adler32(0, nullptr, 0), raw.data(), uInt(raw.size()));
    out.insert(out.end(), {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)});
    return out;
}

class PngInflate : public ::testing::Test {
protected:
    std::string Put(const std::string& name, const Bytes& data) {
        const std::string path = dir_ / name;
        EXPECT_TRUE(pmtest::WriteWholeFile(path, data.data(), data.size()));
        return path;
    }
    pmtest::TempDir dir_;
};

const Layout kLayouts[] = {
    {"rgb8", 301, 203, 8, PNG_COLOR_TYPE_RGB},
    {"rgba8", 257, 190, 8, PNG_COLOR_TYPE_RGB_ALPHA},
    {"rgb16", 211, 199, 16, PNG_COLOR_TYPE_RGB},
    {"rgba16", 199, 211, 16, PNG_COLOR_TYPE_RGB_ALPHA},
    {"grey8", 333, 201, 8, PNG_COLOR_TYPE_GRAY},
    {"grey16 trns", 201, 250, 16, PNG_COLOR_TYPE_GRAY, false, 1},
    {"grey2", 203, 211, 2, PNG_COLOR_TYPE_GRAY},
    {"grey1", 999, 200, 1, PNG_COLOR_TYPE_GRAY},
    {"ga8", 250, 201, 8, PNG_COLOR_TYPE_GRAY_ALPHA},
    {"ga16", 201, 250, 16, PNG_COLOR_TYPE_GRAY_ALPHA},
    {"palette8 one transparent", 301, 257, 8, PNG_COLOR_TYPE_PALETTE, false, 1},
    {"palette4 partial alpha", 257, 301, 4, PNG_COLOR_TYPE_PALETTE, false, 2},
    {"palette2", 255, 203, 2, PNG_COLOR_TYPE_PALETTE},
    {"rgb8 trns", 203, 255, 8, PNG_COLOR_TYPE_RGB, false, 1},
    {"rgb8 interlaced", 301, 203, 8, PNG_COLOR_TYPE_RGB, true},
    {"rgba16 interlaced", 199, 211, 16, PNG_COLOR_TYPE_RGB_ALPHA, true},
    {"palette1 interlaced narrow", 3, 257, 1, PNG_COLOR_TYPE_PALETTE, true},
    {"grey4 interlaced short", 255, 1, 4, PNG_COLOR_TYPE_GRAY, true},
    {"rgb8 one pixel", 1, 1, 8, PNG_COLOR_TYPE_RGB},
};

// Every layout, with the image data in one chunk, in many small chunks
// among empty ones, and in the stored form (which is longer than the
// one-call path's own stored blocks when given as one chunk), each with
// an eXIf chunk after the image data: read alike, and through one call.
TEST_F(PngInflate, LayoutsAndChunkingsReadAsThroughZlib) {
    Chunk exif{"eXIf", {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0}};
    for (const Layout& l : kLayouts) {
        const Bytes png = WritePng(l);
        const Bytes z = JoinIdat(png);
        const Bytes raw = Inflate(z);
        const struct {
            const char* name;
            Bytes file;
        } forms[] = {
            {"one chunk", Rebuild(png, z)},
            {"tiny chunks", Rebuild(png, z, 7, 1)},
            {"empty first", Rebuild(png, z, 1000, 2, &exif)},
            {"stored in small blocks", Rebuild(png, Stored(raw, 100), 0, 0, &exif)},
        };
        for (const auto& form : forms) {
            const std::string what = std::string(l.name) + ", " + form.name;
            // zlib refuses a stream that reaches back beyond a window smaller
            // than the largest, and libdeflate would not: such streams (the
            // writer's choice for little data) stay with zlib.
            const bool fullWindow = Chunks(form.file).size() > 0 && JoinIdat(form.file)[0] == 0x78;
            EXPECT_EQ(ExpectSame(Put("t.png", form.file), what), fullWindow) << what << ": one-call inflate";
        }
    }
}

// Damaged image data ends each read as libpng ends it (mostly one error),
// and the one-call path hands those files back to libpng.
TEST_F(PngInflate, DamagedImageDataFailsAsThroughZlib) {
    const Layout l{"rgb8", 301, 203, 8, PNG_COLOR_TYPE_RGB};
    const Bytes png = WritePng(l);
    const Bytes z = JoinIdat(png);
    const Bytes raw = Inflate(z);
    Bytes shortRaw(raw.begin(), raw.end() - 10), longRaw = raw;
    longRaw.insert(longRaw.end(), 600, 0);
    Bytes badAdler = z;
    badAdler.back() ^= 1;
    Bytes trailing = z;
    trailing.insert(trailing.end(), {1, 2, 3});
    Bytes noAdler(z.begin(), z.end() - 4);
    Bytes dictionary = z;
    dictionary[1] = uint8_t((dictionary[1] & 0xC0) | 0x20);
    dictionary[1] = uint8_t(dictionary[1] + (31 - (dictionary[0] * 256 + dictionary[1]) % 31) % 31);
    const size_t piece = 500, second = 33 + 8 + piece + 4 + 8;  // IDATs right after IHDR
    ASSERT_GT(z.size(), 3 * piece);
    const Bytes chunked = Rebuild(png, z, piece);
    Bytes badCrc = chunked;
    badCrc[second - 10] ^= 0x40;  // the first chunk's CRC, over sound data
    const Bytes huge = [&] {
        Bytes b = png;
        b[16] = 0, b[17] = 0, b[18] = 0x75, b[19] = 0x30;  // 30000 wide, CRC fixed below
        b[20] = 0, b[21] = 0, b[22] = 0x75, b[23] = 0x30;
        const uLong crc = crc32(0, &b[12], 17);
        b[29] = uint8_t(crc >> 24), b[30] = uint8_t(crc >> 16), b[31] = uint8_t(crc >> 8), b[32] = uint8_t(crc);
        return b;
    }();
    Bytes badEnd = chunked;
    badEnd.back() ^= 1;  // IEND's CRC: checked again once the image data is read
    Bytes hugeChunk = chunked;
    hugeChunk[33] = 0x90;  // first chunk declares over 2 GB

    const struct {
        const char* name;
        Bytes file;
        bool fails;
        bool taken = false;  // the image data itself is sound
    } cases[] = {
        {"too few bytes", Rebuild(png, Deflate(shortRaw)), true},
        {"too many bytes", Rebuild(png, Deflate(longRaw)), false},
        {"bad Adler-32", Rebuild(png, badAdler), true},
        {"bytes after the stream", Rebuild(png, trailing), false},
        {"no Adler-32", Rebuild(png, noAdler), true},
        {"preset dictionary", Rebuild(png, dictionary), true},
        {"bad chunk CRC", badCrc, true},
        {"cut in the first chunk", Bytes(chunked.begin(), chunked.begin() + 300), true},
        {"cut in a CRC", Bytes(chunked.begin(), chunked.begin() + long(second) - 10), true},
        {"cut after the data", Bytes(chunked.begin(), chunked.end() - 12), true, true},
        {"cut in the next header", Bytes(chunked.begin(), chunked.end() - 8), true, true},
        {"bad CRC after the data", badEnd, true, true},
        {"huge declared size", huge, true},
        {"chunk over 2 GB", hugeChunk, true},
    };
    const long live = PmHeap_LiveBlocks();
    for (const auto& c : cases) {
        const std::string path = Put("d.png", c.file);
        EXPECT_EQ(ExpectSame(path, c.name), c.taken) << c.name << ": one-call inflate";
        EXPECT_EQ(Read(path, false, size_t(-1)).depth <= 0, c.fails) << c.name;
    }
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

// Data beyond the limit streams through zlib: refused up front for the
// inflated size, or given back after part of the chunks was read, or when
// memory runs out; the pixels stay the same.
TEST_F(PngInflate, OverTheLimitOrOutOfMemoryFallsBackUnchanged) {
    const Layout l{"rgba8", 640, 480, 8, PNG_COLOR_TYPE_RGB_ALPHA};
    const Bytes png = WritePng(l);
    const Bytes z = JoinIdat(png);
    const size_t inflated = size_t(480) * (640 * 4 + 1);
    const std::string path = Put("l.png", Rebuild(png, z, 3000));
    EXPECT_TRUE(ExpectSame(path, "within the limit", inflated + z.size() + 1));
    EXPECT_FALSE(ExpectSame(path, "inflated size over", inflated));
    EXPECT_FALSE(ExpectSame(path, "compressed size over", inflated + z.size() / 2));
    const long live = PmHeap_LiveBlocks();
    // The inflated rows cannot be had; the rows of a thumbnail can.
    PmHeap_FailAbove(inflated / 2);
    const Outcome starved = Read(path, true, size_t(-1));
    PmHeap_FailAbove(0);
    const Outcome plain = Read(path, true, 0);
    EXPECT_FALSE(starved.oneShot);
    EXPECT_GT(starved.depth, 0);
    EXPECT_TRUE(starved.bits == plain.bits);
    for (int n = 0; n < 12; ++n) {
        PmHeap_FailAfter(n);
        const Outcome o = Read(path, true, size_t(-1));
        PmHeap_FailAfter(-1);
        if (o.depth > 0) EXPECT_TRUE(o.bits == plain.bits) << n;
    }
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

// Every PNG of the conformance images, good and bad, reads alike.
TEST_F(PngInflate, ConformanceImagesReadAsThroughZlib) {
    PM_SKIP_WITHOUT_SHARED();
    std::vector<uint8_t> manifest;
    ASSERT_TRUE(pmtest::ReadWholeFile(pmtest::Join(pmtest::SharedDir(), "testimages/MANIFEST.tsv"), &manifest));
    const std::string text(manifest.begin(), manifest.end());
    int files = 0, taken = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
        if (c == std::string::npos || line.compare(b + 1, c - b - 1, "png") != 0) continue;
        std::string rel = line.substr(a + 1, b - a - 1);
#ifdef _WIN32
        std::replace(rel.begin(), rel.end(), '/', '\\');
#endif
        const std::string path = pmtest::Join(pmtest::Join(pmtest::SharedDir(), "testimages"), rel);
        if (!pmtest::FileExists(path)) continue;
        ++files;
        taken += ExpectSame(path, rel) ? 1 : 0;
    }
    EXPECT_GT(files, 100);
    EXPECT_GT(taken, files / 2);
}

}  // namespace
