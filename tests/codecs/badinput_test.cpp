// Truncated, corrupt and hostile files fail cleanly; failed system calls
// are told apart from bad data; nothing leaks when memory runs out.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmheap.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>

#include <cstring>

#include <cerrno>

using namespace codectest;

namespace {

void Put16(std::vector<uint8_t>* v, size_t at, uint32_t x) {
    (*v)[at] = uint8_t(x);
    (*v)[at + 1] = uint8_t(x >> 8);
}
void Put32(std::vector<uint8_t>* v, size_t at, uint32_t x) {
    Put16(v, at, x);
    Put16(v, at + 2, x >> 16);
}

// A BMP with a Windows 3 header; the caller patches fields.
std::vector<uint8_t> Bmp(int32_t w, int32_t h, int bits, uint32_t comp, const std::vector<uint8_t>& data) {
    int pal = bits <= 8 ? (1 << bits) : 0;
    std::vector<uint8_t> v(54 + pal * 4, 0);
    v[0] = 'B';
    v[1] = 'M';
    Put32(&v, 10, uint32_t(v.size()));
    Put32(&v, 14, 40);
    Put32(&v, 18, uint32_t(w));
    Put32(&v, 22, uint32_t(h));
    Put16(&v, 26, 1);
    Put16(&v, 28, uint32_t(bits));
    Put32(&v, 30, comp);
    v.insert(v.end(), data.begin(), data.end());
    Put32(&v, 2, uint32_t(v.size()));
    return v;
}

int ReadBytes(const std::vector<uint8_t>& bytes, int type, Dib* out) {
    pmtest::TempDir dir;
    std::string p = dir / "in.img";
    pmtest::WriteWholeFile(p, bytes.data(), bytes.size());
    return ReadImage(p, type, out);
}

TEST(BmpDecode, RejectsSizeBeyondLimitsBeforeAllocating) {
    long before = PmHeap_LiveBlocks();
    Dib d;
    EXPECT_EQ(ReadBytes(Bmp(3000000, 2000000, 24, 0, {}), kTypeBmp, &d), 0);
    EXPECT_EQ(ReadBytes(Bmp(60000, 60000, 24, 0, {}), kTypeBmp, &d), 0);  // within sides, above pixels
    EXPECT_EQ(ReadBytes(Bmp(-5, 4, 24, 0, std::vector<uint8_t>(64)), kTypeBmp, &d), 0);
    EXPECT_EQ(PmHeap_LiveBlocks(), before);
}

TEST(BmpDecode, RefusesRleRunsPastTheRowOrImage) {
    Dib d;
    // 4 x 2 RLE8: a run of 5 in a row of 4.
    EXPECT_EQ(ReadBytes(Bmp(4, 2, 8, kBiRle8, {5, 1, 0, 1}), kTypeBmp, &d), 0);
    // Absolute mode of 6 pixels in a row of 4.
    EXPECT_EQ(ReadBytes(Bmp(4, 2, 8, kBiRle8, {0, 6, 1, 2, 3, 4, 5, 6, 0, 1}), kTypeBmp, &d), 0);
    // A delta that leaves the image.
    EXPECT_EQ(ReadBytes(Bmp(4, 2, 8, kBiRle8, {0, 2, 9, 0, 1, 1, 0, 1}), kTypeBmp, &d), 0);
    // Pixels after the last row.
    EXPECT_EQ(ReadBytes(Bmp(4, 1, 8, kBiRle8, {0, 0, 2, 3, 0, 1}), kTypeBmp, &d), 0);
    // Top-down RLE does not exist.
    EXPECT_EQ(ReadBytes(Bmp(4, -2, 8, kBiRle8, {4, 1, 0, 1}), kTypeBmp, &d), 0);
}

TEST(BmpDecode, RleDeltaAndEndOfLineLandWherePlaced) {
    Dib d;
    // 4 x 3 RLE4: pixel 1 at (0, 0), delta (1, 1), run of two 3s, end of
    // line, row 2 = absolute 4 5 6 7, end.
    ASSERT_EQ(ReadBytes(Bmp(4, 3, 4, kBiRle4, {1, 0x10, 0, 2, 1, 1, 2, 0x33, 0, 0, 0, 4, 0x45, 0x67, 0, 1}), kTypeBmp,
                        &d),
              4);
    auto idx = [&](int x, int yFromBottom) {
        const uint8_t* row = d.b + yFromBottom * DibCore_GetRowStride(d.h, 0);
        return x & 1 ? row[x >> 1] & 15 : row[x >> 1] >> 4;
    };
    EXPECT_EQ(idx(0, 0), 1);
    EXPECT_EQ(idx(1, 0), 0);
    EXPECT_EQ(idx(0, 1), 0);
    EXPECT_EQ(idx(1, 1), 0);
    EXPECT_EQ(idx(2, 1), 3);
    EXPECT_EQ(idx(3, 1), 3);
    EXPECT_EQ(idx(0, 2), 4);
    EXPECT_EQ(idx(3, 2), 7);
}

TEST(Decoders, TruncatedFilesFailOrDecodeWithoutHarm) {
    pmtest::TempDir dir;
    Dib src;
    MakePattern(33, 21, 8, &src);
    const int types[] = {kTypeBmp, kTypeJpeg, kTypePng, kTypeTiff, kTypeGif};
    for (int type : types) {
        DibIOOptions opt;
        DibIO_GetDefaultOptions(type, &opt);
        std::string full = dir / "full.img";
        ASSERT_GT(WriteImage(full, type, opt, src), 0);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(pmtest::ReadWholeFile(full, &bytes));
        for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 97) {
            std::vector<uint8_t> part(bytes.begin(), bytes.begin() + long(cut));
            Dib d;
            int r = ReadBytes(part, type, &d);
            EXPECT_GE(r, 0) << type << " cut " << cut;
            if (r > 0) {
                EXPECT_NE(d.h, nullptr);
            } else {
                EXPECT_EQ(d.h, nullptr);
            }
        }
    }
}

TEST(Decoders, OutOfMemoryFailsWithoutLeaks) {
    pmtest::TempDir dir;
    Dib src;
    MakePattern(40, 30, 24, &src);
    for (int type : {kTypeBmp, kTypeJpeg, kTypePng, kTypeTiff, kTypeGif}) {
        DibIOOptions opt;
        DibIO_GetDefaultOptions(type, &opt);
        std::string p = dir / "m.img";
        ASSERT_GT(WriteImage(p, type, opt, src), 0);
        for (int n = 0; n < 6; ++n) {
            long before = PmHeap_LiveBlocks();
            Dib d;
            PmHeap_FailAfter(n);
            int r = ReadImage(p, type, &d);
            PmHeap_FailAfter(-1);
            if (r > 0) {
                d.Reset();
            } else {
                EXPECT_EQ(d.h, nullptr);
            }
            EXPECT_EQ(PmHeap_LiveBlocks(), before) << type << " failing allocation " << n;
        }
    }
}

#ifndef _WIN32
// A file handle opened the wrong way makes the system call fail: the result
// is negative and the error code tells why.
TEST(Results, FailedSystemCallIsNegativeWithError) {
    pmtest::TempDir dir;
    std::string p = dir / "w.bmp";
    FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Dib d;
    for (int type : {kTypeBmp, kTypeJpeg, kTypePng, kTypeGif}) {
        errno = 0;
        EXPECT_LT(DibIO_Read(0, f, type, 0, 0, 0, nullptr, &d.h, &d.b), 0) << type;
        EXPECT_NE(PmFile_LastError(), 0u);
        EXPECT_EQ(d.h, nullptr);
    }
    std::fclose(f);
    Dib src;
    MakePattern(8, 8, 8, &src);
    f = std::fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (int type : {kTypeBmp, kTypeJpeg, kTypePng, kTypeGif}) {
        DibIOOptions opt;
        DibIO_GetDefaultOptions(type, &opt);
        EXPECT_LT(DibIO_Write(0, f, type, 0, 0, &opt, src.h, src.b), 0) << type;
    }
    std::fclose(f);
}
#endif

TEST(Results, NotAnImageIsZero) {
    Dib d;
    std::vector<uint8_t> junk(3000, 0x5A);
    for (int type : {kTypeBmp, kTypeJpeg, kTypePng, kTypeTiff, kTypeGif, kTypePhotoCd})
        EXPECT_EQ(ReadBytes(junk, type, &d), 0) << type;
    EXPECT_EQ(ReadBytes(junk, 99, &d), 0);
}

}  // namespace

namespace {

// The pixel limit admits 100 megapixels, in the 32-bit build too, and
// refuses what lies above it before allocating.
TEST(Limits, HundredMegapixelsReadAndMoreIsRefused) {
    pmtest::TempDir dir;
    {
        Dib grey;
        DibHeader t{};
        t.biSize = 40;
        t.biWidth = 10000;
        t.biHeight = 10000;
        t.biPlanes = 1;
        t.biBitCount = 8;
        ASSERT_TRUE(DibCore_Create(&t, 0, &grey.h, &grey.b));
        RgbQuad* table = DibCore_GetPalette(grey.h, 0, 0);
        for (int i = 0; i < 256; ++i) table[i] = RgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
        grey.b[0] = 200;
        DibIOOptions opt;
        DibIO_GetDefaultOptions(kTypeJpeg, &opt);
        ASSERT_GT(WriteImage(dir / "big.jpg", kTypeJpeg, opt, grey), 0);
    }
    Dib back;
    ASSERT_EQ(ReadImage(dir / "big.jpg", kTypeJpeg, &back), 8);
    EXPECT_EQ(back.h->biWidth, 10000);
    back.Reset();
    long before = PmHeap_LiveBlocks();
    Dib d;
    EXPECT_EQ(ReadBytes(Bmp(11000, 11000, 1, 0, std::vector<uint8_t>(16)), kTypeBmp, &d), 0);
    EXPECT_EQ(PmHeap_LiveBlocks(), before);
}

}  // namespace
