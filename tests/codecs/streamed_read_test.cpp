// Thumbnail reads of PNG, TIFF and BMP that stream rows through a box
// reduction: the thumbnail must be the one the full read gives (same size,
// colours within the rounding of the two filters), for every layout whose
// colours the streamed rows rebuild themselves, and a picture beyond what a
// full read may hold must still convert.
#include "codec_support.h"
#include "common/testsupport.h"
#include "imaging/transform.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace codectest;

namespace {

struct Box {
    PmSize box;
};

int TargetOf(void* context, const PmSize* full, PmSize* target) {
    return ShrinkTargetSize(0, 1, &static_cast<Box*>(context)->box, *full, target) ? 1 : 0;
}

PmSize SizeOf(const Dib& d) { return PmSize{d.h->biWidth, d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight}; }

// Reads as per-file conversion does (requested or whole) and fits the
// picture into `box` with the soft filter.
int Thumbnail(const std::string& path, int type, bool streamed, PmSize box, Dib* out,
              DibReadRequest* request = nullptr) {
    DibReadRequest scratch{};
    if (!request) request = &scratch;
    *request = DibReadRequest{};
    Box context{box};
    request->Size = sizeof *request;
    request->TargetSize = TargetOf;
    request->Context = &context;
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return -1000;
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    int depth = streamed ? DibIO_ReadRequested(f, type, request, &info, &out->h, &out->b)
                         : DibIO_Read(0, f, type, 0, 0, 0, &info, &out->h, &out->b);
    PmFile_Close(f);
    if (depth <= 0) return depth;
    PmSize decoded = SizeOf(*out);
    PmSize full = streamed ? request->FullSize : decoded;
    ZoomPlan plan = PlanZoom(0, 1, &box, full, decoded, streamed ? request->Reduction : 1);
    int index = -1;
    int rc = TransformImageFrom(plan.Extent(), kTypeJpeg, 0, &depth, 24, plan.angle, plan.resize, &plan.box, 0, 1, 0, -1,
                                &index, &out->h, &out->b);
    return rc == 0 ? depth : -2000 - rc;
}

// A photo-like picture: smooth ramps that differ in each channel and
// direction (a flipped or mirrored read, or swapped channels, shows), a
// little texture, and alpha in large steps with colour under it that only
// a blend over white hides. One part has every other pixel transparent and
// black: its thumbnail is light only where transparent colour is left out.
uint8_t Sample(int x, int y, int c, int w, int h) {
    if (y / 150 % 3 == 2 && x > w / 2 && ((x + y) & 1)) return 0;
    switch (c) {
    case 0: return uint8_t(x * 255 / (w - 1));
    case 1: return uint8_t(y * 255 / (h - 1));
    case 2: return uint8_t(128 + 100 * std::sin(x / 40.0 + y / 70.0) + ((x * 7 + y * 3) % 9));
    default: return uint8_t(((x / 100 + y / 150) % 3) * 127 + (x / 100 % 2));
    }
}

void SetIndex(uint8_t* row, int bits, int x, int v) {
    if (bits == 8) row[x] = uint8_t(v);
    else if (bits == 4) row[x >> 1] = uint8_t((x & 1) ? (row[x >> 1] & 0xF0) | v : (row[x >> 1] & 0x0F) | (v << 4));
    else if (v & 1) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
}

// Fills a DIB of `bits` (8: 256 colours taken from the picture's ramps).
void MakePicture(int w, int h, int bits, Dib* d) {
    DibHeader t{};
    t.biSize = sizeof t;
    t.biWidth = w;
    t.biHeight = h;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(bits);
    ASSERT_TRUE(DibCore_Create(&t, 0, &d->h, &d->b));
    const int stride = DibCore_GetRowStride(d->h, 0);
    if (bits <= 8) {
        int n = 0;
        RgbQuad* table = DibCore_GetColorTable(d->h, &n, nullptr);
        for (int i = 0; i < n; ++i)
            table[i] = RgbQuad{uint8_t(i * 255 / (n - 1)), uint8_t(255 - i * 255 / (n - 1)), uint8_t((i * 67) % 256), 0};
    }
    for (int y = 0; y < h; ++y) {
        uint8_t* row = d->b + size_t(h - 1 - y) * size_t(stride);
        for (int x = 0; x < w; ++x) {
            if (bits <= 8) {
                const int levels = 1 << bits;
                SetIndex(row, bits, x, (x * levels / w + y / 50) % levels);
            } else {
                for (int c = 0; c < bits / 8; ++c) row[x * (bits / 8) + c] = Sample(x, y, c == 3 ? 3 : 2 - c, w, h);
            }
        }
    }
}

// PNG layouts our writer never makes, through libpng: 16 bits, grey with
// and without alpha, 2-bit grey, a transparent grey value.
void WritePngDirect(const std::string& path, int w, int h, int depth, int colorType, int transparentGrey = -1) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, depth, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);
    if (transparentGrey >= 0) {
        png_color_16 c{};
        c.gray = png_uint_16(transparentGrey);
        png_set_tRNS(png, info, nullptr, 0, &c);
    }
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    std::vector<uint8_t> row(png_get_rowbytes(png, info));
    for (int y = 0; y < h; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                const bool greyish = colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA;
                const int ch = greyish ? (c == 1 ? 3 : 2) : c;
                const unsigned v8 = Sample(x, y, ch, w, h);
                if (depth == 16) {
                    const unsigned v = v8 * 257 + (x % 7) * 31;
                    row[(size_t(x) * channels + c) * 2] = uint8_t(v >> 8);
                    row[(size_t(x) * channels + c) * 2 + 1] = uint8_t(v);
                } else if (depth == 2) {
                    row[x >> 2] |= uint8_t((v8 >> 6) << (6 - 2 * (x & 3)));
                } else {
                    row[size_t(x) * channels + c] = uint8_t(v8);
                }
            }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// TIFF layouts through libtiff: 16 bits, alpha of either kind, min-is-white,
// tiles, palettes below 8 bits.
struct TiffLayout {
    int bps = 8, spp = 3, photometric = PHOTOMETRIC_RGB, extra = 0;
    int compression = COMPRESSION_LZW;
    bool tiled = false;
};

void WriteTiffDirect(const std::string& path, int w, int h, const TiffLayout& l) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, l.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression);
    if (l.extra) {
        uint16_t kind = uint16_t(l.extra);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    std::vector<uint16_t> map(3u << l.bps);
    if (l.photometric == PHOTOMETRIC_PALETTE) {
        const int n = 1 << l.bps;
        for (int i = 0; i < n; ++i) {
            map[i] = uint16_t(i * 65535 / (n - 1));
            map[n + i] = uint16_t(65535 - i * 65535 / (n - 1));
            map[2 * n + i] = uint16_t((i * 4099) % 65536);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    const int rowsPer = l.tiled ? 64 : 16;
    if (l.tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 64);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 64);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPer);
    }
    const size_t rowBytes = (size_t(w) * l.spp * l.bps + 7) / 8;
    std::vector<uint8_t> image(rowBytes * h, 0);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = image.data() + rowBytes * y;
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < l.spp; ++c) {
                const int ch = l.spp == 1 ? 2 : c == 3 ? 3 : c;
                unsigned v = Sample(x, y, ch, w, h);
                if (l.photometric == PHOTOMETRIC_RGB && l.spp == 4 && l.extra == EXTRASAMPLE_ASSOCALPHA && c < 3)
                    v = v * Sample(x, y, 3, w, h) / 255;
                if (l.bps == 16) {
                    const uint16_t s = uint16_t(v * 257 + (x % 5) * 40);
                    std::memcpy(row + (size_t(x) * l.spp + c) * 2, &s, 2);
                } else if (l.bps == 8) {
                    row[size_t(x) * l.spp + c] = uint8_t(v);
                } else {
                    SetIndex(row, l.bps, x, int(v >> (8 - l.bps)));
                }
            }
    }
    if (l.tiled) {
        std::vector<uint8_t> tile(size_t(TIFFTileSize(tif)));
        const size_t tileRow = (size_t(64) * l.spp * l.bps + 7) / 8;
        for (int ty = 0; ty < h; ty += 64)
            for (int tx = 0; tx < w; tx += 64) {
                std::fill(tile.begin(), tile.end(), 0);
                for (int r = 0; r < 64 && ty + r < h; ++r) {
                    const size_t from = size_t(tx) * l.spp * l.bps / 8;
                    const size_t n = std::min(tileRow, rowBytes - from);
                    std::memcpy(tile.data() + tileRow * r, image.data() + rowBytes * (ty + r) + from, n);
                }
                TIFFWriteTile(tif, tile.data(), uint32_t(tx), uint32_t(ty), 0, 0);
            }
    } else {
        for (int y = 0; y < h; ++y) TIFFWriteScanline(tif, image.data() + rowBytes * y, uint32_t(y), 0);
    }
    TIFFClose(tif);
}

// A BMP of our writer turned into its top-down form (negative height, rows
// in the opposite order).
void MakeTopDown(const std::string& path) {
    std::vector<uint8_t> v;
    ASSERT_TRUE(pmtest::ReadWholeFile(path, &v));
    auto le32 = [&](size_t at) { return uint32_t(v[at]) | v[at + 1] << 8 | v[at + 2] << 16 | uint32_t(v[at + 3]) << 24; };
    const uint32_t off = le32(10), w = le32(18);
    const int32_t h = int32_t(le32(22));
    const uint16_t bits = uint16_t(v[28] | v[29] << 8);
    const size_t stride = (size_t(w) * bits + 31) / 32 * 4;
    std::vector<uint8_t> rows(v.begin() + off, v.begin() + off + stride * h);
    for (int32_t y = 0; y < h; ++y)
        std::memcpy(v.data() + off + stride * y, rows.data() + stride * (h - 1 - y), stride);
    const uint32_t neg = uint32_t(-h);
    for (int i = 0; i < 4; ++i) v[22 + i] = uint8_t(neg >> (8 * i));
    pmtest::WriteWholeFile(path, v.data(), v.size());
}

struct Difference {
    double mean = 0;
    int max = 0;
};

Difference Compare(const Dib& a, const Dib& b) {
    std::vector<uint32_t> x = Colours(a.h, a.b), y = Colours(b.h, b.b);
    Difference d;
    if (x.size() != y.size() || x.empty()) return Difference{1e9, 255};
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i)
        for (int s = 0; s < 24; s += 8) {
            int e = std::abs(int((x[i] >> s) & 255) - int((y[i] >> s) & 255));
            sum += e;
            d.max = std::max(d.max, e);
        }
    d.mean = sum / (3.0 * double(x.size()));
    return d;
}

}  // namespace

class StreamedRead : public testing::Test {
protected:
    pmtest::TempDir dir_;
};

TEST_F(StreamedRead, ThumbnailIsTheFullReadsForEveryLayout) {
    // Odd sides: the last box of each row and column covers three pixels.
    // A 48-pixel box keeps four times the target at a quarter of the sides.
    constexpr int kW = 803, kH = 603;
    const PmSize box{48, 48};
    struct Case {
        const char* name;
        int type;
        std::function<void(const std::string&)> make;
        unsigned reduction = 4;
    };
    auto ours = [&](int type, int bits, int compression = -1) {
        return [=](const std::string& path) {
            Dib d;
            MakePicture(kW, kH, bits, &d);
            DibIOOptions opt;
            DibIO_GetDefaultOptions(type, &opt);
            if (compression >= 0) opt.Raw[0] = uint8_t(compression);
            ASSERT_GT(WriteImage(path, type, opt, d), 0);
        };
    };
    auto png = [&](int depth, int colorType, int trns = -1) {
        return [=](const std::string& path) { WritePngDirect(path, kW, kH, depth, colorType, trns); };
    };
    auto tiff = [&](TiffLayout l) { return [=](const std::string& path) { WriteTiffDirect(path, kW, kH, l); }; };
    const std::vector<Case> cases = {
        {"png rgb", kTypePng, ours(kTypePng, 24)},
        {"png rgba", kTypePng, ours(kTypePng, 32)},
        {"png palette 8", kTypePng, ours(kTypePng, 8)},
        {"png palette 4", kTypePng, ours(kTypePng, 4)},
        {"png palette 1", kTypePng, ours(kTypePng, 1)},
        {"png rgb 16", kTypePng, png(16, PNG_COLOR_TYPE_RGB)},
        {"png rgba 16", kTypePng, png(16, PNG_COLOR_TYPE_RGB_ALPHA)},
        {"png grey 2", kTypePng, png(2, PNG_COLOR_TYPE_GRAY)},
        {"png grey 8 tRNS", kTypePng, png(8, PNG_COLOR_TYPE_GRAY, 200)},
        {"png grey 16 tRNS", kTypePng, png(16, PNG_COLOR_TYPE_GRAY, 200 * 257)},
        {"png grey alpha", kTypePng, png(8, PNG_COLOR_TYPE_GRAY_ALPHA)},
        {"png interlaced", kTypePng,
         [&](const std::string& path) {
             Dib d;
             MakePicture(kW, kH, 24, &d);
             DibIOOptions opt;
             DibIO_GetDefaultOptions(kTypePng, &opt);
             opt.Png.Interlace = 1;
             ASSERT_GT(WriteImage(path, kTypePng, opt, d), 0);
         },
         1},
        {"bmp 24", kTypeBmp, ours(kTypeBmp, 24)},
        {"bmp 24 top-down", kTypeBmp,
         [&](const std::string& path) {
             ours(kTypeBmp, 24)(path);
             MakeTopDown(path);
         }},
        {"bmp 32 alpha", kTypeBmp, ours(kTypeBmp, 32)},
        {"bmp 8", kTypeBmp, ours(kTypeBmp, 8)},
        {"bmp 4", kTypeBmp, ours(kTypeBmp, 4)},
        {"bmp 1", kTypeBmp, ours(kTypeBmp, 1)},
        {"bmp rle8", kTypeBmp,
         [&](const std::string& path) {
             Dib d;
             MakePicture(kW, kH, 8, &d);
             DibIOOptions opt;
             DibIO_GetDefaultOptions(kTypeBmp, &opt);
             opt.Bmp.Compression = 1;
             ASSERT_GT(WriteImage(path, kTypeBmp, opt, d), 0);
         },
         1},
        {"tiff rgb lzw", kTypeTiff, ours(kTypeTiff, 24, 1)},
        {"tiff rgb packbits", kTypeTiff, ours(kTypeTiff, 24, 3)},
        {"tiff rgba", kTypeTiff, ours(kTypeTiff, 32, 2)},
        {"tiff palette 8", kTypeTiff, ours(kTypeTiff, 8, 0)},
        {"tiff palette 4", kTypeTiff, tiff({4, 1, PHOTOMETRIC_PALETTE, 0})},
        {"tiff rgb 16", kTypeTiff, tiff({16, 3, PHOTOMETRIC_RGB, 0, COMPRESSION_ADOBE_DEFLATE})},
        {"tiff rgba 16 unassociated", kTypeTiff, tiff({16, 4, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA})},
        {"tiff rgba associated", kTypeTiff, tiff({8, 4, PHOTOMETRIC_RGB, EXTRASAMPLE_ASSOCALPHA})},
        {"tiff grey 16", kTypeTiff, tiff({16, 1, PHOTOMETRIC_MINISBLACK, 0})},
        {"tiff min-is-white", kTypeTiff, tiff({8, 1, PHOTOMETRIC_MINISWHITE, 0, COMPRESSION_NONE})},
        {"tiff tiled", kTypeTiff, tiff({8, 3, PHOTOMETRIC_RGB, 0, COMPRESSION_ADOBE_DEFLATE, true})},
        {"tiff tiled palette 4", kTypeTiff, tiff({4, 1, PHOTOMETRIC_PALETTE, 0, COMPRESSION_LZW, true})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_ / "in";
        c.make(path);
        Dib full, streamed;
        DibReadRequest request;
        const int fullDepth = Thumbnail(path, c.type, false, box, &full);
        ASSERT_GT(fullDepth, 0);
        ASSERT_EQ(Thumbnail(path, c.type, true, box, &streamed, &request), fullDepth);
        EXPECT_EQ(request.Reduction, c.reduction);
        EXPECT_EQ(request.FullSize.cx, kW);
        EXPECT_EQ(request.FullSize.cy, kH);
        ASSERT_EQ(SizeOf(streamed).cx, SizeOf(full).cx);
        ASSERT_EQ(SizeOf(streamed).cy, SizeOf(full).cy);
        // The two filters round and weigh edges differently; a flipped,
        // mirrored or recoloured read misses by tens.
        Difference d = Compare(full, streamed);
        std::printf("[streamed] %-26s mean %.2f max %d\n", c.name, d.mean, d.max);
        EXPECT_LT(d.mean, 1.0);
        EXPECT_LE(d.max, 8);
    }
}

// Tiles are put together into the rows the same picture has in strips: the
// two thumbnails are the same to the byte, edge tiles included. (libtiff
// 4.5's RGBA reader, the full read, misplaces the last column of 16-bit grey
// tiles, so the strips are the reference here.)
TEST_F(StreamedRead, TiledTiffReadsAsTheSamePictureInStrips) {
    constexpr int kW = 803, kH = 603;
    const PmSize box{48, 48};
    const TiffLayout layouts[] = {
        {8, 3, PHOTOMETRIC_RGB, 0, COMPRESSION_ADOBE_DEFLATE},
        {16, 4, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA, COMPRESSION_LZW},
        {8, 4, PHOTOMETRIC_RGB, EXTRASAMPLE_ASSOCALPHA, COMPRESSION_NONE},
        {16, 1, PHOTOMETRIC_MINISBLACK, 0, COMPRESSION_NONE},
        {8, 1, PHOTOMETRIC_MINISWHITE, 0, COMPRESSION_LZW},
        {8, 1, PHOTOMETRIC_PALETTE, 0, COMPRESSION_PACKBITS},
    };
    for (const TiffLayout& strips : layouts) {
        SCOPED_TRACE(::testing::Message() << strips.bps << " bits, " << strips.spp << " samples, photometric "
                                          << strips.photometric);
        TiffLayout tiles = strips;
        tiles.tiled = true;
        WriteTiffDirect(dir_ / "strips.tif", kW, kH, strips);
        WriteTiffDirect(dir_ / "tiles.tif", kW, kH, tiles);
        Dib a, b;
        DibReadRequest ra, rb;
        ASSERT_GT(Thumbnail(dir_ / "strips.tif", kTypeTiff, true, box, &a, &ra), 0);
        ASSERT_GT(Thumbnail(dir_ / "tiles.tif", kTypeTiff, true, box, &b, &rb), 0);
        EXPECT_EQ(rb.Reduction, 4u);
        ASSERT_EQ(SizeOf(a).cx, SizeOf(b).cx);
        ASSERT_EQ(SizeOf(a).cy, SizeOf(b).cy);
        EXPECT_EQ(CountDiffs(Colours(a.h, a.b), Colours(b.h, b.b)), 0u);
    }
}

namespace {

// A scanner's page: 20000 x 15000 RGB in strips, grey steps of 64 pixels
// that PackBits stores in runs (the file is about 14 MB).
constexpr uint32_t kPageW = 20000, kPageH = 15000;
uint8_t PageGrey(uint32_t x, uint32_t y) { return uint8_t((x / 64 + y / 64) * 3); }

void WritePage(const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kPageW);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kPageH);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 32);
    std::vector<uint8_t> row(size_t(kPageW) * 3);
    for (uint32_t y = 0; y < kPageH; ++y) {
        if (y % 64 == 0)
            for (uint32_t x = 0; x < kPageW; ++x) std::memset(&row[size_t(x) * 3], PageGrey(x, y), 3);
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

}  // namespace

// 300 megapixels are refused by a full read (beyond what it may hold) and
// converted by a thumbnail read; natively the read's peak is measured
// against an idle child's, and in the 32-bit Windows build the read must
// simply succeed. Making the page takes a few seconds, so it is made once.
TEST_F(StreamedRead, ThreeHundredMegapixelStripTiffConverts) {
    const std::string path = dir_ / "page.tif";
    WritePage(path);
    Dib whole;
    EXPECT_LE(ReadImage(path, kTypeTiff, &whole), 0);

    auto convert = [&]() -> int {
        Dib thumb;
        DibReadRequest request;
        int r = Thumbnail(path, kTypeTiff, true, PmSize{96, 96}, &thumb, &request);
        if (r <= 0) return r;
        // 96 x 72, the grey steps of the page at their place.
        if (SizeOf(thumb).cx != 96 || SizeOf(thumb).cy != 72 || request.Reduction < 2) return -3000;
        std::vector<uint32_t> c = Colours(thumb.h, thumb.b);
        const uint32_t x = 60, y = 40;
        const int expected = PageGrey(x * kPageW / 96, y * kPageH / 72);
        if (std::abs(int(c[y * 96 + x] & 255) - expected) > 8) return -4000;
        return 1;
    };
#ifdef _WIN32
    EXPECT_EQ(convert(), 1);
#else
    auto peakOf = [](const std::function<int()>& body, int* result) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) _exit(body() == 1 ? 0 : 1);
        int status = 0;
        rusage use{};
        if (pid < 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status)) return -1L;
        *result = WEXITSTATUS(status) == 0 ? 1 : 0;
        return long(use.ru_maxrss);
    };
    int idle = 0, ok = 0;
    const long base = peakOf([] { return 1; }, &idle);
    const long peak = peakOf(convert, &ok);
    std::printf("[streamed] 300 Mpx TIFF thumbnail: peak +%ld KB\n", peak - base);
    EXPECT_EQ(ok, 1);
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak - base, 64L * 1024);
#endif
}
