// Every writable type x every depth its writer takes: what is written reads
// back with the same colours, and each option shows in the file.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmheap.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstring>

#include <cmath>
#include <cstdlib>
#include <ostream>

using namespace codectest;

namespace {

struct Case {
    const char* name;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
    int type;
    int bitCount;
    // Option byte/word to set: offset and value (offset -1: defaults).
    int offset;
    int value;
    int width;
};

void SetOption(DibIOOptions* o, int type, int offset, int value) {
    if (offset < 0) return;
    if (type == kTypePng && offset == 0)
        o->Png.Interlace = uint32_t(value);
    else if (type == kTypeBmp && offset == 2)
        o->Bmp.Compression = uint16_t(value);
    else if (type == kTypeGif && offset == 32)
        o->Gif.Interlace = int16_t(value);
    else
        o->Raw[offset] = uint8_t(value);
}

const Case kLossless[] = {
    {"bmp1", kTypeBmp, 1, -1, 0, 37},     {"bmp4", kTypeBmp, 4, -1, 0, 37},
    {"bmp8", kTypeBmp, 8, -1, 0, 37},     {"bmp24", kTypeBmp, 24, -1, 0, 37},
    {"bmp32", kTypeBmp, 32, -1, 0, 37},   {"bmp4rle", kTypeBmp, 4, 2, 1, 37},
    {"bmp8rle", kTypeBmp, 8, 2, 1, 37},   {"bmp4rle1", kTypeBmp, 4, 2, 1, 1},
    {"bmp4rle2", kTypeBmp, 4, 2, 1, 2},   {"bmp4rle3", kTypeBmp, 4, 2, 1, 3},
    {"bmp8rle1", kTypeBmp, 8, 2, 1, 1},   {"bmp8rle5", kTypeBmp, 8, 2, 1, 5},
    {"png1", kTypePng, 1, -1, 0, 37},     {"png4", kTypePng, 4, -1, 0, 37},
    {"png8", kTypePng, 8, -1, 0, 37},     {"png24", kTypePng, 24, -1, 0, 37},
    {"png32", kTypePng, 32, -1, 0, 37},   {"png8i", kTypePng, 8, 0, 1, 37},
    {"png24i", kTypePng, 24, 0, 1, 37},   {"png32i", kTypePng, 32, 0, 1, 37},
    {"tif1", kTypeTiff, 1, -1, 0, 37},    {"tif4", kTypeTiff, 4, -1, 0, 37},
    {"tif8", kTypeTiff, 8, -1, 0, 37},    {"tif24", kTypeTiff, 24, -1, 0, 37},
    {"tif32", kTypeTiff, 32, -1, 0, 37},  {"tif24none", kTypeTiff, 24, 0, 0, 37},
    {"tif24zip", kTypeTiff, 24, 0, 2, 37}, {"tif8pack", kTypeTiff, 8, 0, 3, 37},
    {"gif1", kTypeGif, 1, -1, 0, 37},     {"gif4", kTypeGif, 4, -1, 0, 37},
    {"gif8", kTypeGif, 8, -1, 0, 37},     {"gif8i", kTypeGif, 8, 32, 1, 37},
};

class LosslessRoundTrip : public testing::TestWithParam<Case> {};

TEST_P(LosslessRoundTrip, ReadsBackEveryPixel) {
    const Case& c = GetParam();
    pmtest::TempDir dir;
    Dib src, back;
    // Heights that are not multiples of 8 walk every interlace pass.
    MakePattern(c.width, 29, c.bitCount, &src);
    ASSERT_NE(src.h, nullptr);
    DibIOOptions opt;
    ASSERT_TRUE(DibIO_GetDefaultOptions(c.type, &opt));
    SetOption(&opt, c.type, c.offset, c.value);
    std::string path = dir / (std::string(c.name) + ".img");
    ASSERT_GT(WriteImage(path, c.type, opt, src), 0);
    EXPECT_EQ(ImgRead_IdentifyFile(path.c_str(), 0, 0, 0), c.type);
    DibIOOptions info;
    int depth = ReadImage(path, c.type, &back, &info);
    ASSERT_GT(depth, 0);
    EXPECT_EQ(back.h->biWidth, c.width);
    EXPECT_EQ(back.h->biHeight, 29);
    // Palette images stay palette images of the same depth.
    if (c.bitCount <= 8) {
        EXPECT_EQ(back.h->biBitCount, c.bitCount);
    }
    auto a = Colours(src.h, src.b), b = Colours(back.h, back.b);
    if (c.type == kTypeTiff && c.bitCount == 32) {
        // libtiff premultiplies alpha on reading; translucent colours come
        // back within rounding.
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            if ((a[i] >> 24) == 0) continue;
            for (int s = 0; s < 32; s += 8)
                EXPECT_LE(std::abs(int((a[i] >> s) & 255) - int((b[i] >> s) & 255)), 2) << i;
        }
    } else {
        EXPECT_EQ(CountDiffs(a, b), 0u);
    }
    if (c.type == kTypePng) {
        EXPECT_EQ(info.Png.Interlace, c.offset == 0 ? 1u : 0u);
    }
    if (c.type == kTypeGif) {
        EXPECT_EQ(info.Gif.Interlace, c.offset == 32 ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, LosslessRoundTrip, testing::ValuesIn(kLossless),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

double Psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int s = 0; s < 24; s += 8) {
            double d = double((a[i] >> s) & 255) - double((b[i] >> s) & 255);
            se += d * d;
        }
    double mse = se / (a.size() * 3.0);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(JpegRoundTrip, EveryDepthWithEachScanMode) {
    pmtest::TempDir dir;
    for (int bits : {1, 4, 8, 24, 32}) {
        for (int progressive : {0, 1}) {
            Dib src, back;
            MakePattern(64, 48, bits, &src);
            // Palette pictures with smooth, unsaturated tables: JPEG halves
            // the chroma resolution, so noise in colour is no fair test.
            int n = 0;
            RgbQuad* t = DibCore_GetColorTable(src.h, &n, nullptr);
            for (int i = 0; i < n; ++i) {
                uint8_t v = uint8_t(i * 255 / (n - 1));
                t[i] = RgbQuad{uint8_t(v / 2 + 40), v, uint8_t(v * 3 / 4 + 20), 0};
            }
            DibIOOptions opt;
            DibIO_GetDefaultOptions(kTypeJpeg, &opt);
            opt.Jpeg.Quality = 95;
            opt.Jpeg.Progressive = uint8_t(progressive);
            std::string path = dir / "q.jpg";
            ASSERT_GT(WriteImage(path, kTypeJpeg, opt, src), 0) << bits;
            DibIOOptions info;
            ASSERT_EQ(ReadImage(path, kTypeJpeg, &back, &info), 24) << bits;
            EXPECT_EQ(info.Jpeg.Progressive, progressive) << bits;
            // Swapped channels or rows score about 10 dB.
            EXPECT_GT(Psnr(Colours(src.h, src.b), Colours(back.h, back.b)), bits == 1 ? 18.0 : 24.0)
                << bits << " progressive " << progressive;
        }
    }
}

TEST(JpegRoundTrip, GreyPaletteBecomesOneChannel) {
    pmtest::TempDir dir;
    Dib src, back;
    MakePattern(40, 30, 8, &src);
    RgbQuad* t = DibCore_GetPalette(src.h, 0, 0);
    for (int i = 0; i < 256; ++i) t[i] = RgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeJpeg, &opt);
    std::string path = dir / "g.jpg";
    ASSERT_GT(WriteImage(path, kTypeJpeg, opt, src), 0);
    EXPECT_EQ(ReadImage(path, kTypeJpeg, &back), 8);
    ASSERT_EQ(back.h->biBitCount, 8);
    EXPECT_GT(Psnr(Colours(src.h, src.b), Colours(back.h, back.b)), 30.0);
}

TEST(JpegRoundTrip, QualityAndOptimisedCodingChangeTheFile) {
    pmtest::TempDir dir;
    Dib src;
    MakePattern(96, 64, 24, &src);
    auto sizeWith = [&](int quality, int optimise) {
        DibIOOptions opt;
        DibIO_GetDefaultOptions(kTypeJpeg, &opt);
        opt.Jpeg.Quality = uint8_t(quality);
        opt.Jpeg.OptimizeCoding = uint8_t(optimise);
        std::string path = dir / "s.jpg";
        EXPECT_GT(WriteImage(path, kTypeJpeg, opt, src), 0);
        std::vector<uint8_t> data;
        pmtest::ReadWholeFile(path, &data);
        return data.size();
    };
    EXPECT_LT(sizeWith(20, 1), sizeWith(95, 1));
    EXPECT_LT(sizeWith(75, 1), sizeWith(75, 0));
}

TEST(BmpRoundTrip, RleIsSmallerOnFlatPictures) {
    pmtest::TempDir dir;
    Dib src, back;
    MakePattern(200, 50, 8, &src);
    std::memset(src.b, 7, size_t(DibCore_GetRowStride(src.h, 0)) * 50);
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeBmp, &opt);
    opt.Bmp.Compression = 1;
    std::string path = dir / "flat.bmp";
    ASSERT_GT(WriteImage(path, kTypeBmp, opt, src), 0);
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(path, &data);
    EXPECT_LT(data.size(), 2000u);
    ASSERT_EQ(ReadImage(path, kTypeBmp, &back), 8);
    EXPECT_EQ(CountDiffs(Colours(src.h, src.b), Colours(back.h, back.b)), 0u);
}

// Every pixel of a file as an outside decoder sees it, 0x00RRGGBB, top row
// first; empty when the tool is missing or fails.
std::vector<uint32_t> OutsideDecode(const std::string& path, int* width, int* height) {
    std::string ppm = RunTool("convert-im6.q16 '" + path + "' -depth 8 ppm:-");
    std::vector<uint32_t> out;
    int maxval = 0;
    char magic[3] = {};
    int used = 0;
    if (ppm.size() < 2 || std::sscanf(ppm.c_str(), "%2s %d %d %d%n", magic, width, height, &maxval, &used) != 4 ||
        std::string(magic) != "P6" || maxval != 255)
        return out;
    size_t at = size_t(used) + 1;  // one whitespace byte after the header
    size_t n = size_t(*width) * size_t(*height);
    if (ppm.size() < at + n * 3) return out;
    for (size_t i = 0; i < n; ++i, at += 3)
        out.push_back(uint32_t(uint8_t(ppm[at])) << 16 | uint32_t(uint8_t(ppm[at + 1])) << 8 | uint8_t(ppm[at + 2]));
    return out;
}

TEST(BmpRoundTrip, OddLiteralRunsReadTheSameByAnOutsideDecoder) {
    // Literal stretches of odd length (3, 5, 7, 9) between runs: each must
    // be padded to a whole word, or every decoder loses step after it. Our
    // own reader shares the writer's idea of the format, so a second
    // opinion decides.
    pmtest::TempDir dir;
    const int w = 37, h = 6;
    Dib src;
    MakePattern(w, h, 8, &src);
    RgbQuad* t = DibCore_GetPalette(src.h, 0, 0);
    for (int i = 0; i < 256; ++i) t[i] = RgbQuad{uint8_t(i), uint8_t(255 - i), uint8_t(i * 37), 0};
    const int stride = DibCore_GetRowStride(src.h, 0);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = src.b + size_t(h - 1 - y) * size_t(stride);
        for (int x = 0, seg = 0; x < w; ++seg) {
            int literal = 3 + 2 * ((y + seg) % 4);
            for (int i = 0; i < literal && x < w; ++i, ++x) row[x] = uint8_t(1 + (x * 7 + y * 3) % 150);
            for (int i = 0; i < 4 && x < w; ++i, ++x) row[x] = uint8_t(200 + y);
        }
    }
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeBmp, &opt);
    opt.Bmp.Compression = 1;
    std::string path = dir / "odd.bmp";
    ASSERT_GT(WriteImage(path, kTypeBmp, opt, src), 0);
    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(path, &data));
    ASSERT_GT(data.size(), 34u);
    ASSERT_EQ(data[30], kBiRle8);

    std::vector<uint32_t> expected = Colours(src.h, src.b);
    Dib back;
    EXPECT_EQ(ReadImage(path, kTypeBmp, &back), 8);
    if (back.h) {
        EXPECT_EQ(CountDiffs(expected, Colours(back.h, back.b)), 0u);
    }

#ifdef _WIN32
    GTEST_SKIP() << "the outside decoder runs natively";
#else
    if (RunTool("convert-im6.q16 -version").empty()) GTEST_SKIP() << "no ImageMagick";
    int ow = 0, oh = 0;
    std::vector<uint32_t> seen = OutsideDecode(path, &ow, &oh);
    ASSERT_EQ(ow, w);
    ASSERT_EQ(oh, h);
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], expected[i] & 0xFFFFFFu) << "pixel " << i % w << "," << i / w;
#endif
}

TEST(BmpBitFields, SixFiveFiveFilesAndImagesKeepTheirColours) {
    // Red, green, blue, mid grey, white, the lowest green step in 5-6-5.
    const uint16_t px[6] = {0xF800, 0x07E0, 0x001F, 0x8410, 0xFFFF, 0x0020};
    const uint32_t rgb[6] = {0xFF0000, 0x00FF00, 0x0000FF, 0x848284, 0xFFFFFF, 0x000400};
    pmtest::TempDir dir;
    auto expectColours = [&](const Dib& d, const char* what) {
        ASSERT_NE(d.h, nullptr) << what;
        ASSERT_EQ(d.h->biWidth, 6) << what;
        std::vector<uint32_t> c = Colours(d.h, d.b);
        ASSERT_EQ(c.size(), 12u) << what;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(c[size_t(i)] & 0xFFFFFFu, rgb[i % 6]) << what << " pixel " << i;
    };

    // Files with the masks behind a 40-byte header and inside a V4 header.
    for (uint32_t hsize : {40u, 108u}) {
        uint32_t maskBytes = hsize == 40 ? 12 : 0;
        uint32_t off = 14 + hsize + maskBytes;
        std::vector<uint8_t> f(off, 0);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i) f[at + size_t(i)] = uint8_t(v >> (8 * i));
        };
        f[0] = 'B';
        f[1] = 'M';
        put32(10, off);
        put32(14, hsize);
        put32(18, 6);
        put32(22, 2);
        put32(26, 1 | 16 << 16);  // planes, bit count
        put32(30, kBiBitfields);
        put32(54, 0xF800);
        put32(58, 0x07E0);
        put32(62, 0x001F);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 6; ++x) {  // 12 bytes: no row padding
                f.push_back(uint8_t(px[x]));
                f.push_back(uint8_t(px[x] >> 8));
            }
        put32(2, uint32_t(f.size()));
        std::string path = dir / "in565.bmp";
        ASSERT_TRUE(pmtest::WriteWholeFile(path, f.data(), f.size()));
        Dib d;
        ASSERT_EQ(ReadImage(path, kTypeBmp, &d), 16) << hsize;
        expectColours(d, hsize == 40 ? "file, masks behind the header" : "file, V4 header");
    }

    // A 5-6-5 image handed to the writers.
    Dib src;
    size_t bytes = 2 * sizeof px;
    src.h = static_cast<DibHeader*>(PmHeap_AllocZero(sizeof(DibHeader) + 12));
    src.b = static_cast<uint8_t*>(PmHeap_AllocZero(bytes));
    ASSERT_TRUE(src.h && src.b);
    *src.h = DibHeader{sizeof(DibHeader), 6, 2, 1, 16, kBiBitfields, uint32_t(bytes), 0, 0, 0, 0};
    const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
    std::memcpy(src.h + 1, masks, sizeof masks);
    for (int y = 0; y < 2; ++y) std::memcpy(src.b + y * sizeof px, px, sizeof px);
    for (int type : {kTypeBmp, kTypePng, kTypeTiff}) {
        DibIOOptions opt;
        DibIO_GetDefaultOptions(type, &opt);
        std::string path = dir / "out.img";
        ASSERT_GT(WriteImage(path, type, opt, src), 0) << type;
        Dib back;
        ASSERT_GT(ReadImage(path, type, &back), 0) << type;
        expectColours(back, type == kTypeBmp ? "written bmp" : type == kTypePng ? "written png" : "written tiff");
    }
}

TEST(PngRoundTrip, TransparentIndexSurvives) {
    pmtest::TempDir dir;
    for (int type : {kTypePng, kTypeGif}) {
        Dib src, back;
        MakePattern(16, 16, 8, &src);
        DibCore_GetPalette(src.h, 0, 0)[7].reserved = kTransparentMark;
        DibIOOptions opt;
        DibIO_GetDefaultOptions(type, &opt);
        std::string path = dir / "t.img";
        ASSERT_GT(WriteImage(path, type, opt, src), 0);
        ASSERT_GT(ReadImage(path, type, &back), 0);
        EXPECT_EQ(DibCore_GetTransparentIndex(back.h), 7) << type;
    }
}

// The palette written covers the transparent entry wherever it lies: above
// every index in use (a transform picks the first free one), at the last
// one, or among them; each reads back with the same mark and colours.
TEST(PngRoundTrip, TransparentEntryAboveEveryIndexInUseIsKept) {
    pmtest::TempDir dir;
    struct Row { int bits, used, marked; } rows[] = {
        {1, 1, 1}, {4, 2, 2}, {4, 3, 15}, {4, 16, 15}, {8, 3, 3}, {8, 5, 200}, {8, 256, 255}, {8, 40, 7},
    };
    for (int type : {kTypePng, kTypeGif})
        for (const Row& r : rows) {
            SCOPED_TRACE(::testing::Message() << "type " << type << ", " << r.bits << " bits, " << r.used
                                              << " in use, marked " << r.marked);
            Dib src, back;
            DibHeader t{};
            t.biSize = 40;
            t.biWidth = 17;
            t.biHeight = 6;
            t.biPlanes = 1;
            t.biBitCount = uint16_t(r.bits);
            ASSERT_TRUE(DibCore_Create(&t, 0, &src.h, &src.b));
            RgbQuad* table = DibCore_GetPalette(src.h, 0, 0);
            for (int i = 0; i < (1 << r.bits); ++i) table[i] = RgbQuad{uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3 + 1), 0};
            table[r.marked].reserved = kTransparentMark;
            const int stride = DibCore_GetRowStride(src.h, 0);
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 17; ++x) {
                    int v = (x + y * 17) % r.used;
                    uint8_t* row = src.b + size_t(y) * stride;
                    if (r.bits == 8) row[x] = uint8_t(v);
                    else if (r.bits == 4) row[x / 2] = uint8_t(x & 1 ? (row[x / 2] & 0xF0) | v : (row[x / 2] & 0x0F) | v << 4);
                    else if (v) row[x / 8] = uint8_t(row[x / 8] | (0x80 >> (x & 7)));
                }
            DibIOOptions opt;
            DibIO_GetDefaultOptions(type, &opt);
            std::string path = dir / "t.img";
            ASSERT_GT(WriteImage(path, type, opt, src), 0);
            ASSERT_GT(ReadImage(path, type, &back), 0);
            EXPECT_EQ(DibCore_GetTransparentIndex(back.h), r.marked);
            EXPECT_EQ(CountDiffs(Colours(src.h, src.b), Colours(back.h, back.b)), 0u);
        }
}

namespace {

// A 16-bit PNG of `channels` samples per pixel (1 grey, 2 grey and alpha,
// 3 RGB, 4 RGBA), one row per sample value, each channel offset along the
// list so the channels differ; with `trns` a grey or RGB file marks the
// value of `trnsSample`.
bool Write16BitPng(const std::string& path, int channels, const std::vector<uint16_t>& samples, bool trns,
                   uint16_t trnsSample) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    const int types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
    const png_uint_32 w = png_uint_32(samples.size());
    png_set_IHDR(png, info, w, 1, 16, types[channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (trns) {
        png_color_16 c{};
        c.gray = c.red = c.green = c.blue = trnsSample;
        png_set_tRNS(png, info, nullptr, 0, &c);
    }
    png_write_info(png, info);
    std::vector<uint8_t> row;
    for (size_t x = 0; x < w; ++x)
        for (int c = 0; c < channels; ++c) {
            // Colour channels share the sample for a tRNS match; alpha runs
            // the list backwards.
            uint16_t v = (channels == 2 || channels == 4) && c == channels - 1 ? samples[w - 1 - x] : samples[x];
            row.push_back(uint8_t(v >> 8));
            row.push_back(uint8_t(v));
        }
    png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

}  // namespace

// Sixteen-bit samples come out as the nearest eight-bit level, not their
// high byte (0xFF00 is 254, 0x01FF is 2), in every colour type and with
// transparency, alpha included.
TEST(PngDecode, SixteenBitSamplesAreScaledToTheNearestLevel) {
    pmtest::TempDir dir;
    const std::vector<uint16_t> samples = {0x0000, 0x0080, 0x00FF, 0x0180, 0x01FF, 0x7F7F, 0x7FFF, 0x8000,
                                           0x80FF, 0xA5C3, 0xFE80, 0xFF00, 0xFF7F, 0xFFFF};
    auto scaled = [](uint16_t v) { return uint32_t((uint32_t(v) * 255 + 32767) / 65535); };
    struct Row { int channels; bool trns; } rows[] = {{1, false}, {2, false}, {3, false}, {4, false}, {1, true}, {3, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.channels << " channels" << (r.trns ? " with tRNS" : ""));
        std::string path = dir / "s.png";
        const uint16_t marked = 0xA5C3;
        ASSERT_TRUE(Write16BitPng(path, r.channels, samples, r.trns, marked));
        Dib d;
        ASSERT_GT(ReadImage(path, kTypePng, &d), 0);
        auto got = Colours(d.h, d.b);
        ASSERT_EQ(got.size(), samples.size());
        for (size_t x = 0; x < samples.size(); ++x) {
            uint32_t v = scaled(samples[x]);
            uint32_t alpha = r.channels == 2 || r.channels == 4 ? scaled(samples[samples.size() - 1 - x])
                             : r.trns && samples[x] == marked ? 0
                                                              : 255;
            if (r.channels == 1 && !r.trns && d.h->biBitCount <= 8) alpha = 255;
            uint32_t want = alpha << 24 | v << 16 | v << 8 | v;
            EXPECT_EQ(got[x], want) << std::hex << "sample " << samples[x] << " got " << got[x];
        }
    }
}

TEST(GifWrite, FullColourIsReducedToATable) {
    pmtest::TempDir dir;
    Dib src, back;
    MakePattern(50, 40, 24, &src);
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeGif, &opt);
    std::string path = dir / "q.gif";
    ASSERT_GT(WriteImage(path, kTypeGif, opt, src), 0);
    ASSERT_GT(ReadImage(path, kTypeGif, &back), 0);
    EXPECT_EQ(back.h->biBitCount, 8);
    EXPECT_GT(Psnr(Colours(src.h, src.b), Colours(back.h, back.b)), 20.0);
}

// The options as a reference tool sees them in the written file.
TEST(WrittenOptions, VisibleToReferenceTools) {
#ifdef _WIN32
    GTEST_SKIP() << "the reference tools run natively";
#else
    if (RunTool("identify-im6.q16 -version").empty()) GTEST_SKIP() << "no ImageMagick";
    pmtest::TempDir dir;
    Dib pal, rgb;
    MakePattern(64, 40, 8, &pal);
    MakePattern(64, 40, 24, &rgb);
    auto write = [&](const char* name, int type, const Dib& d, int offset, int value) {
        DibIOOptions o;
        DibIO_GetDefaultOptions(type, &o);
        SetOption(&o, type, offset, value);
        std::string p = dir / name;
        EXPECT_GT(WriteImage(p, type, o, d), 0) << name;
        return p;
    };
    auto verbose = [](const std::string& p) { return RunTool("identify-im6.q16 -verbose '" + p + "'"); };
    EXPECT_NE(verbose(write("r.bmp", kTypeBmp, pal, 2, 1)).find("Compression: RLE"), std::string::npos);
    EXPECT_NE(verbose(write("n.bmp", kTypeBmp, pal, 2, 0)).find("Compression: None"), std::string::npos);
    EXPECT_NE(verbose(write("p.jpg", kTypeJpeg, rgb, 3, 0)).find("Interlace: JPEG"), std::string::npos);
    EXPECT_NE(verbose(write("b.jpg", kTypeJpeg, rgb, 3, 1)).find("Interlace: None"), std::string::npos);
    EXPECT_NE(verbose(write("q.jpg", kTypeJpeg, rgb, 0, 30)).find("Quality: 30"), std::string::npos);
    {
        std::string out = RunTool("pngcheck -v '" + write("i.png", kTypePng, rgb, 0, 1) + "'");
        if (!out.empty()) {
            EXPECT_NE(out.find(", interlaced"), std::string::npos);
        }
        out = RunTool("pngcheck -v '" + write("n.png", kTypePng, pal, 0, 0) + "'");
        if (!out.empty()) {
            EXPECT_NE(out.find("8-bit palette, non-interlaced"), std::string::npos);
        }
    }
    std::string tif = RunTool("tiffinfo '" + write("z.tif", kTypeTiff, rgb, 0, 2) + "'");
    if (!tif.empty()) {
        EXPECT_NE(tif.find("AdobeDeflate"), std::string::npos);
    }
    tif = RunTool("tiffinfo '" + write("l.tif", kTypeTiff, rgb, -1, 0) + "'");
    if (!tif.empty()) {
        EXPECT_NE(tif.find("LZW"), std::string::npos);
    }
    std::string gif = RunTool("giftext '" + write("i.gif", kTypeGif, pal, 32, 1) + "'");
    if (!gif.empty()) {
        EXPECT_NE(gif.find("Image is Interlaced"), std::string::npos);
    }
    gif = RunTool("giftext '" + write("n.gif", kTypeGif, pal, -1, 0) + "'");
    if (!gif.empty()) {
        EXPECT_NE(gif.find("Image is Non Interlaced"), std::string::npos);
    }
#endif
}

TEST(Identify, ByExtensionIgnoresCaseAndKnowsTheLongForms) {
    EXPECT_EQ(ImgRead_IdentifyFile("a\\b.JPEG", 0, 2, 0), kTypeJpeg);
    EXPECT_EQ(ImgRead_IdentifyFile("x.jpe", 0, 2, 0), kTypeJpeg);
    EXPECT_EQ(ImgRead_IdentifyFile("x.Tiff", 0, 2, 0), kTypeTiff);
    EXPECT_EQ(ImgRead_IdentifyFile("x.pcd", 0, 2, 0), kTypePhotoCd);
    EXPECT_EQ(ImgRead_IdentifyFile("dir.png\\file", 0, 2, 0), kTypeNone);
    EXPECT_EQ(ImgRead_IdentifyFile("noext", 0, 2, 0), kTypeNone);
    // 0x95 0x5C is one character whose trail byte is a backslash.
    EXPECT_EQ(ImgRead_IdentifyFile("\x95\\.gif", 0, 2, 0), kTypeGif);
}

TEST(Identify, ByContent) {
    std::vector<unsigned char> pcd(2100, 0);
    std::memcpy(&pcd[2048], "PCD_IPI", 7);
    EXPECT_EQ(ImgRead_IdentifyBytes(pcd.data(), 2100), kTypePhotoCd);
    EXPECT_EQ(ImgRead_IdentifyBytes(pcd.data(), 2050), kTypeNone);
    EXPECT_EQ(ImgRead_IdentifyBytes(reinterpret_cast<const unsigned char*>("II*\0"), 4), kTypeTiff);
    EXPECT_EQ(ImgRead_IdentifyBytes(reinterpret_cast<const unsigned char*>("MM\0*"), 4), kTypeTiff);
    EXPECT_EQ(ImgRead_IdentifyBytes(reinterpret_cast<const unsigned char*>("GIF87a"), 6), kTypeGif);
    EXPECT_EQ(ImgRead_IdentifyBytes(reinterpret_cast<const unsigned char*>("\xFF\xD8\xFF\xE0"), 4), kTypeJpeg);
    EXPECT_EQ(ImgRead_IdentifyBytes(reinterpret_cast<const unsigned char*>("GIF8"), 4), kTypeNone);
}

}  // namespace
