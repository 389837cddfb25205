// Small files that declare or expand into huge images. Each must be refused
// or read for what it really holds, without the large allocation and in
// bounded time. Natively every read runs in a child process whose peak
// resident size is measured against an idle child's, so memory taken by the
// image libraries themselves counts too; the figures are printed.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmdibops.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>
#include <cstdio>
#include <cstring>
#include <functional>

#ifdef _WIN32
#include "makerlibs/pmwin.h"
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace codectest;

namespace {

using Bytes = std::vector<uint8_t>;

// A read that must stay well below the image it declares: a few tens of
// megabytes against gigabytes, and seconds even under sanitizers.
constexpr long kPeakLimitKb = 48 * 1024;
constexpr double kTimeLimitSeconds = 20;

double Now() {
#ifdef _WIN32
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return double(t.QuadPart) / double(f.QuadPart);
#else
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
#endif
}

struct Figures {
    int result = -1;
    long peakKb = 0;  // over an idle child; -1 where not measured
    double seconds = 0;
};

// Runs `read` (which returns a reader's result) and measures it.
// What a read returns when it refused an image too large for memory: -1 with
// the system's out-of-memory code, which the batch turns into its own
// too-large error. A plain -1 (any other failure) must not pass for it.
constexpr int kRefusedTooLarge = -8;

Figures Measure(const char* name, const std::function<int()>& read) {
    Figures f;
    double start = Now();
#ifndef _WIN32
    auto child = [](const std::function<int()>& body, int* result) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int r = body();
            _exit(r == kRefusedTooLarge ? 208 : r < 0 ? 200 : r > 0 ? 100 : 0);
        }
        int status = 0;
        rusage use{};
        if (pid < 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status)) return -1L;
        const int code = WEXITSTATUS(status);
        *result = code == 208 ? kRefusedTooLarge : code == 200 ? -1 : code == 100 ? 1 : 0;
        return long(use.ru_maxrss);
    };
    int idle = 0;
    long base = child([] { return 0; }, &idle);
    start = Now();
    long peak = child(read, &f.result);
    f.peakKb = peak < 0 || base < 0 ? -1 : peak - base;
    if (peak < 0) f.result = -2;  // the child crashed
#else
    f.result = read();
    f.peakKb = -1;
#endif
    f.seconds = Now() - start;
    std::printf("[bomb] %-28s result %d  peak +%ld KB  %.3f s\n", name, f.result, f.peakKb, f.seconds);
    return f;
}

void ExpectBounded(const Figures& f) {
    EXPECT_LT(f.peakKb, kPeakLimitKb);
    EXPECT_LT(f.seconds, kTimeLimitSeconds);
}

void Put16BE(Bytes* v, size_t at, uint32_t x) {
    (*v)[at] = uint8_t(x >> 8);
    (*v)[at + 1] = uint8_t(x);
}
void Put32BE(Bytes* v, size_t at, uint32_t x) {
    Put16BE(v, at, x >> 16);
    Put16BE(v, at + 2, x);
}
void Put16LE(Bytes* v, size_t at, uint32_t x) {
    (*v)[at] = uint8_t(x);
    (*v)[at + 1] = uint8_t(x >> 8);
}
void Append16LE(Bytes* v, uint32_t x) {
    v->push_back(uint8_t(x));
    v->push_back(uint8_t(x >> 8));
}
void Append32LE(Bytes* v, uint32_t x) {
    Append16LE(v, x);
    Append16LE(v, x >> 16);
}

// `bytes` zero bytes deflated, without ever holding them.
Bytes DeflatedZeros(size_t bytes) {
    z_stream z{};
    deflateInit(&z, 9);
    static const uint8_t zeros[65536] = {};
    Bytes out;
    uint8_t buf[65536];
    int flush = Z_NO_FLUSH;
    do {
        size_t n = bytes < sizeof zeros ? bytes : sizeof zeros;
        bytes -= n;
        flush = bytes ? Z_NO_FLUSH : Z_FINISH;
        z.next_in = const_cast<uint8_t*>(zeros);
        z.avail_in = uInt(n);
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflate(&z, flush);
            out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return out;
}

// A small image of the format, written by our own coder.
Bytes Written(int type, int width, int height, int bitCount, bool progressive = false) {
    Dib d;
    DibHeader t{};
    t.biSize = 40;
    t.biWidth = width;
    t.biHeight = height;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(bitCount);
    EXPECT_TRUE(DibCore_Create(&t, 0, &d.h, &d.b));
    if (bitCount <= 8) {
        RgbQuad* table = DibCore_GetPalette(d.h, 0, 0);
        for (int i = 0; i < (1 << bitCount); ++i) table[i] = RgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }
    DibIOOptions opt;
    DibIO_GetDefaultOptions(type, &opt);
    if (type == kTypeJpeg) opt.Jpeg.Progressive = progressive ? 0 : 1;
    pmtest::TempDir dir;
    Bytes out;
    EXPECT_GT(WriteImage(dir / "w", type, opt, d), 0);
    EXPECT_TRUE(pmtest::ReadWholeFile(dir / "w", &out));
    return out;
}

int Refusal(int result) {
    return result < 0 && PmFile_LastError() == PmFile_NoMemoryError() ? kRefusedTooLarge : result;
}

int ReadBytes(const Bytes& bytes, int type) {
    pmtest::TempDir dir;
    pmtest::WriteWholeFile(dir / "in", bytes.data(), bytes.size());
    Dib d;
    PmFile_SetLastError(0);
    return Refusal(ReadImage(dir / "in", type, &d));
}

// Reads like the animation conversion: counts, then every frame.
int ReadAnimation(const Bytes& bytes) {
    pmtest::TempDir dir;
    pmtest::WriteWholeFile(dir / "in", bytes.data(), bytes.size());
    PmFileHandle f = PmFile_OpenRead((dir / "in").c_str());
    if (!f) return -1;
    int n = GifKit_CountFrames(f);
    int r = n;
    PmFile_Seek(f, 0, 0);
    GifScreen screen;
    uint32_t loop = 0;
    for (int i = 0; i < n && r > 0; ++i) {
        GifFrame frame;
        DibPair p{};
        int tr = -1;
        r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &loop, &tr, &frame, &p)
                   : GifKit_ReadNextFrame(0, f, 0, 1, -1, &screen, &tr, &frame, &p);
        DibCore_Free(p.header, p.bits);
    }
    PmFile_Close(f);
    return r > 0 ? n : r;
}

// --- JPEG ---

size_t FindMarker(const Bytes& v, uint8_t marker, size_t from = 2) {
    for (size_t i = from; i + 1 < v.size(); ++i)
        if (v[i] == 0xFF && v[i + 1] == marker) return i;
    return v.size();
}

TEST(Bombs, JpegDeclaringHugeSize) {
    Bytes v = Written(kTypeJpeg, 8, 8, 24);
    size_t sof = FindMarker(v, 0xC0);
    ASSERT_LT(sof, v.size());
    Put16BE(&v, sof + 5, 60000);
    Put16BE(&v, sof + 7, 60000);
    Figures f = Measure("jpeg 60000x60000", [&] { return ReadBytes(v, kTypeJpeg); });
    EXPECT_EQ(f.result, kRefusedTooLarge);
    ExpectBounded(f);
}

// A progressive file whose last scan is repeated thousands of times: every
// scan runs the entropy decoder over the whole image again.
TEST(Bombs, ProgressiveJpegWithThousandsOfScans) {
    Bytes v = Written(kTypeJpeg, 1024, 1024, 8, true);
    size_t last = 0;
    for (size_t at = FindMarker(v, 0xDA); at < v.size(); at = FindMarker(v, 0xDA, at + 2)) last = at;
    ASSERT_GT(last, 0u);
    size_t eoi = v.size() - 2;
    Bytes scan(v.begin() + long(last), v.begin() + long(eoi));
    Bytes bomb(v.begin(), v.begin() + long(eoi));
    for (int i = 0; i < 5000; ++i) bomb.insert(bomb.end(), scan.begin(), scan.end());
    bomb.push_back(0xFF);
    bomb.push_back(0xD9);
    ASSERT_GT(ReadBytes(v, kTypeJpeg), 0);
    Figures f = Measure("jpeg 5000 scans", [&] { return ReadBytes(bomb, kTypeJpeg); });
    EXPECT_EQ(f.result, 0);
    ExpectBounded(f);
}

// --- PNG ---

void FixCrc(Bytes* v, size_t chunk) {
    uint32_t len = uint32_t((*v)[chunk]) << 24 | (*v)[chunk + 1] << 16 | (*v)[chunk + 2] << 8 | (*v)[chunk + 3];
    uint32_t crc = uint32_t(crc32(0, v->data() + chunk + 4, len + 4));
    Put32BE(v, chunk + 8 + len, crc);
}

Bytes PngChunk(const char* type, const Bytes& data) {
    Bytes c(8);
    Put32BE(&c, 0, uint32_t(data.size()));
    std::memcpy(c.data() + 4, type, 4);
    c.insert(c.end(), data.begin(), data.end());
    c.resize(c.size() + 4);
    FixCrc(&c, 0);
    return c;
}

// Inserts a chunk right after IHDR.
Bytes WithChunk(Bytes png, const Bytes& chunk) {
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    return png;
}

TEST(Bombs, PngDeclaringHugeSize) {
    Bytes v = Written(kTypePng, 1, 1, 24);
    Put32BE(&v, 16, 60000);
    Put32BE(&v, 20, 60000);
    FixCrc(&v, 8);
    Figures f = Measure("png 60000x60000", [&] { return ReadBytes(v, kTypePng); });
    EXPECT_EQ(f.result, kRefusedTooLarge);
    ExpectBounded(f);
}

// Text and profile chunks that inflate to 256 MB (from about 250 KB) are
// dropped at the chunk limit; the picture itself is intact and is read.
TEST(Bombs, PngWithMetadataInflatingToHugeSize) {
    const Bytes png = Written(kTypePng, 16, 16, 24);
    Bytes ztxt = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
    Bytes iccp = {'s', 'R', 'G', 'B', 0, 0};
    Bytes zeros = DeflatedZeros(256u << 20);
    ztxt.insert(ztxt.end(), zeros.begin(), zeros.end());
    iccp.insert(iccp.end(), zeros.begin(), zeros.end());
    Figures z = Measure("png zTXt 256 MB inflated", [&] { return ReadBytes(WithChunk(png, PngChunk("zTXt", ztxt)), kTypePng); });
    Figures i = Measure("png iCCP 256 MB inflated", [&] { return ReadBytes(WithChunk(png, PngChunk("iCCP", iccp)), kTypePng); });
    for (const Figures* f : {&z, &i}) {
        EXPECT_GT(f->result, 0);
        ExpectBounded(*f);
    }
}

// Chunks declaring 2 GB in a file of a few hundred bytes: refused before
// their buffer is taken (libpng sizes these chunks' buffers by the declared
// length).
TEST(Bombs, PngWithChunksDeclaringHugeLength) {
    const Bytes png = Written(kTypePng, 16, 16, 24);
    for (const char* type : {"zTXt", "tEXt", "iTXt", "iCCP", "sPLT", "eXIf", "abCd"}) {
        Bytes huge = PngChunk(type, Bytes(64, 'x'));
        Put32BE(&huge, 0, 0x7FFFFF00u);
        Bytes v = WithChunk(png, huge);
        std::string name = std::string("png ") + type + " declaring 2 GB";
        Figures f = Measure(name.c_str(), [&] { return ReadBytes(v, kTypePng); });
        EXPECT_EQ(f.result, 0) << type;
        ExpectBounded(f);
    }
}

// Image data written for 10 million pixels under a header declaring 10,000.
TEST(Bombs, PngDataExpandingBeyondItsImage) {
    Bytes v = Written(kTypePng, 4000, 2500, 8);
    Put32BE(&v, 16, 100);
    Put32BE(&v, 20, 100);
    FixCrc(&v, 8);
    Figures f = Measure("png deflate 1000x", [&] { return ReadBytes(v, kTypePng); });
    ExpectBounded(f);
}

// --- TIFF ---

struct TiffEntry {
    uint16_t tag, type;
    uint32_t count, value;
};

// A little-endian TIFF: the entries (sorted by tag) after the 8-byte header,
// then `data`, at the offset kTiffDataAt gives.
Bytes Tiff(const std::vector<TiffEntry>& entries, const Bytes& data) {
    Bytes v = {'I', 'I', 42, 0};
    Append32LE(&v, 8);
    Append16LE(&v, uint32_t(entries.size()));
    for (const TiffEntry& e : entries) {
        Append16LE(&v, e.tag);
        Append16LE(&v, e.type);
        Append32LE(&v, e.count);
        Append32LE(&v, e.value);
    }
    Append32LE(&v, 0);
    v.insert(v.end(), data.begin(), data.end());
    return v;
}
constexpr uint16_t kShort = 3, kLong = 4;
uint32_t TiffDataAt(size_t entries) { return uint32_t(8 + 2 + entries * 12 + 4); }

TEST(Bombs, TiffDeclaringHugeSize) {
    Bytes v = Tiff({{256, kLong, 1, 60000}, {257, kLong, 1, 60000}, {258, kShort, 1, 8}, {259, kShort, 1, 1},
                    {262, kShort, 1, 1}, {273, kLong, 1, TiffDataAt(9)}, {277, kShort, 1, 1},
                    {278, kLong, 1, 60000}, {279, kLong, 1, 16}},
                   Bytes(16));
    Figures f = Measure("tiff 60000x60000", [&] { return ReadBytes(v, kTypeTiff); });
    EXPECT_EQ(f.result, kRefusedTooLarge);
    ExpectBounded(f);
}

// Sizes within the limits, but strip and tile arrays the file cannot hold.
TEST(Bombs, TiffWithHugeStripOrTileCount) {
    Bytes strips = Tiff({{256, kLong, 1, 10000}, {257, kLong, 1, 10000}, {258, kShort, 1, 8}, {259, kShort, 1, 1},
                         {262, kShort, 1, 1}, {273, kLong, 10000, TiffDataAt(9)}, {277, kShort, 1, 1},
                         {278, kLong, 1, 1}, {279, kLong, 10000, TiffDataAt(9)}},
                        Bytes(64));
    Bytes tiles = Tiff({{256, kLong, 1, 65520}, {257, kLong, 1, 1824}, {258, kShort, 1, 8}, {259, kShort, 1, 1},
                        {262, kShort, 1, 1}, {277, kShort, 1, 1}, {322, kLong, 1, 16}, {323, kLong, 1, 16},
                        {324, kLong, 466830, TiffDataAt(10)}, {325, kLong, 466830, TiffDataAt(10)}},
                       Bytes(64));
    Figures s = Measure("tiff 10000 strips", [&] { return ReadBytes(strips, kTypeTiff); });
    Figures t = Measure("tiff 466830 tiles", [&] { return ReadBytes(tiles, kTypeTiff); });
    for (const Figures* f : {&s, &t}) {
        EXPECT_EQ(f->result, 0);
        ExpectBounded(*f);
    }
}

// 256 MB of deflated zeros in the strip of a 100x100 image.
TEST(Bombs, TiffStripExpandingBeyondItsImage) {
    Bytes zeros = DeflatedZeros(256u << 20);
    Bytes v = Tiff({{256, kLong, 1, 100}, {257, kLong, 1, 100}, {258, kShort, 1, 8}, {259, kShort, 1, 8},
                    {262, kShort, 1, 1}, {273, kLong, 1, TiffDataAt(9)}, {277, kShort, 1, 1},
                    {278, kLong, 1, 100}, {279, kLong, 1, uint32_t(zeros.size())}},
                   zeros);
    Figures f = Measure("tiff deflate 25000x", [&] { return ReadBytes(v, kTypeTiff); });
    ExpectBounded(f);
}

// --- Thumbnail reads ---

int FitInto96(void*, const PmSize* full, PmSize* target) {
    PmSize box{96, 96};
    *target = *full;
    DibOps_FitSize(&box, 0, target);
    return target->cx < full->cx && target->cy < full->cy ? 1 : 0;
}

// Reads as a batch making thumbnails does: rows stream into the reduction.
int ReadBytesForThumbnail(const Bytes& bytes, int type) {
    pmtest::TempDir dir;
    pmtest::WriteWholeFile(dir / "in", bytes.data(), bytes.size());
    PmFileHandle f = PmFile_OpenRead((dir / "in").c_str());
    if (!f) return -1000;
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = FitInto96;
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    Dib d;
    PmFile_SetLastError(0);
    int r = DibIO_ReadRequested(f, type, &request, &info, &d.h, &d.b);
    PmFile_Close(f);
    return Refusal(r);
}

// A thumbnail read holds only the reduced picture, so a size beyond what a
// full read may hold is read until its data runs out (a failure, at once);
// past the pixels a streamed read may decode it is refused as too large.
TEST(Bombs, ThumbnailReadsOfHugeDeclaredSizes) {
    auto png = [](uint32_t side) {
        Bytes v = Written(kTypePng, 1, 1, 24);
        Put32BE(&v, 16, side);
        Put32BE(&v, 20, side);
        FixCrc(&v, 8);
        return v;
    };
    auto tiff = [](uint32_t side) {
        return Tiff({{256, kLong, 1, side}, {257, kLong, 1, side}, {258, kShort, 1, 8}, {259, kShort, 1, 1},
                     {262, kShort, 1, 1}, {273, kLong, 1, TiffDataAt(9)}, {277, kShort, 1, 1},
                     {278, kLong, 1, side}, {279, kLong, 1, 16}},
                    Bytes(16));
    };
    struct Case {
        const char* name;
        Bytes bytes;
        int type, result;
    } cases[] = {
        {"thumb png 30000x30000", png(30000), kTypePng, 0},
        {"thumb png 60000x60000", png(60000), kTypePng, kRefusedTooLarge},
        {"thumb tiff 30000x30000", tiff(30000), kTypeTiff, 0},
        {"thumb tiff 60000x60000", tiff(60000), kTypeTiff, kRefusedTooLarge},
    };
    for (const Case& c : cases) {
        Figures f = Measure(c.name, [&] { return ReadBytesForThumbnail(c.bytes, c.type); });
        EXPECT_EQ(f.result, c.result) << c.name;
        ExpectBounded(f);
    }
}

// --- GIF ---

// A GIF89a screen with a two-entry global table, then `body`, then the trailer.
Bytes Gif(int width, int height, const Bytes& body) {
    Bytes v = {'G', 'I', 'F', '8', '9', 'a'};
    Append16LE(&v, uint32_t(width));
    Append16LE(&v, uint32_t(height));
    v.insert(v.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
    v.insert(v.end(), body.begin(), body.end());
    v.push_back(0x3B);
    return v;
}
// One image of `width` x `height` whose data is a single pixel of index 0.
void AppendImage(Bytes* v, int width, int height) {
    v->push_back(0x2C);
    Append32LE(v, 0);
    Append16LE(v, uint32_t(width));
    Append16LE(v, uint32_t(height));
    // Code size 2: clear (4), pixel 0, end (5), three bits each.
    v->insert(v->end(), {0, 2, 2, 0x44, 0x01, 0});
}

TEST(Bombs, GifDeclaringHugeSize) {
    Bytes body;
    AppendImage(&body, 60000, 60000);
    Bytes v = Gif(60000, 60000, body);
    Figures still = Measure("gif 60000x60000", [&] { return ReadBytes(v, kTypeGif); });
    Figures anim = Measure("gif 60000x60000 frames", [&] { return ReadAnimation(v); });
    EXPECT_EQ(still.result, kRefusedTooLarge);
    // The animation reader has no frame to give and ends the animation there.
    EXPECT_EQ(anim.result, 0);
    for (const Figures* f : {&still, &anim}) ExpectBounded(*f);
}

TEST(Bombs, GifWithHundredThousandTinyFrames) {
    Bytes body;
    for (int i = 0; i < 100001; ++i) AppendImage(&body, 1, 1);
    Bytes v = Gif(1, 1, body);
    Figures f = Measure("gif 100001 frames", [&] { return ReadAnimation(v); });
    ExpectBounded(f);
}

// An image whose pixel data is written for a screen 1,000 times larger.
TEST(Bombs, GifDataExpandingBeyondItsImage) {
    Bytes v = Written(kTypeGif, 4000, 2500, 1);
    // Find the image descriptor and declare 100x100 there and on the screen.
    size_t at = 13 + ((v[10] & 0x80) ? 3u << ((v[10] & 7) + 1) : 0);
    while (at < v.size() && v[at] == 0x21) {
        at += 2;
        while (at < v.size() && v[at]) at += v[at] + 1u;
        ++at;
    }
    ASSERT_LT(at, v.size());
    ASSERT_EQ(v[at], 0x2C);
    Put16LE(&v, 6, 100);
    Put16LE(&v, 8, 100);
    Put16LE(&v, at + 5, 100);
    Put16LE(&v, at + 7, 100);
    Figures still = Measure("gif lzw 1000x", [&] { return ReadBytes(v, kTypeGif); });
    Figures anim = Measure("gif lzw 1000x frames", [&] { return ReadAnimation(v); });
    ExpectBounded(still);
    ExpectBounded(anim);
}

// --- BMP ---

TEST(Bombs, BmpDeclaringHugeSize) {
    Bytes v = Written(kTypeBmp, 1, 1, 24);
    Put16LE(&v, 18, 60000);
    Put16LE(&v, 22, 60000);
    Figures f = Measure("bmp 60000x60000", [&] { return ReadBytes(v, kTypeBmp); });
    EXPECT_EQ(f.result, 0);
    ExpectBounded(f);
}

}  // namespace
