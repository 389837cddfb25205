// The transform pipeline: depth rules, scaler choice, colour steps,
// transparency, failure codes and ownership.
#include "dibtest.h"
#include "imaging/palettes.h"
#include "imaging/transform.h"
#include "makerlibs/pmsingleops.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace dibtest;

namespace {

struct Args {
    int outputType = 3;
    int keepTransparency = 0;
    int depth = 24;
    int bitCount = 0;
    int32_t angle = 0;
    int resize = 0;
    PmSize box{96, 96};
    int filter = 0;
    int zoomFilter = 1;
    int palette = 0;
    int transparentColor = -1;
    int transparentIndex = -1;
};

int Pipe(Args& a, Dib* d) {
    return TransformImage(a.outputType, a.keepTransparency, &a.depth, a.bitCount, a.angle, a.resize, &a.box, a.filter,
                          a.zoomFilter, a.palette, a.transparentColor, &a.transparentIndex, &d->h, &d->b);
}

void Photo(Dib* d, int w, int h) {
    ASSERT_TRUE(Make(d, w, h, 24));
    Fill(d, [](int x, int y) { return uint32_t((x * 9) & 255) << 16 | uint32_t((y * 5) & 255) << 8 | uint32_t((x ^ y) & 255); });
}

std::set<int> UsedIndices(const Dib& d) {
    std::set<int> s;
    for (int y = 0; y < d.height(); ++y)
        for (int x = 0; x < d.width(); ++x) s.insert(d.Index(x, y));
    return s;
}

// An 8-bit GIF-like image: entry `transparent` marked, used by the pixels
// where (x + y) % 5 == 0; the opaque pixels use the entries in `opaque`.
void GifLike(Dib* d, int w, int h, int transparent, const std::vector<int>& opaque) {
    ASSERT_TRUE(Make(d, w, h, 8));
    for (int i = 0; i < 256; ++i) SetEntry(d, i, uint32_t(i) * 0x010101u);
    SetEntry(d, transparent, 0x00FF00, kTransparentMark);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            d->SetIndex(x, y, (x + y) % 5 == 0 ? transparent : opaque[size_t(x * h + y) % opaque.size()]);
}

}  // namespace

TEST(TransformDepth, OneBitSourceDecodedAsEightBitsBecomesTwoBits) {
    Dib d;
    ASSERT_TRUE(Make(&d, 10, 6, 8));
    for (int i = 0; i < 6; ++i) SetEntry(&d, i, uint32_t(i) * 0x2A2A2A);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x) d.SetIndex(x, y, (x + y) % 6);
    Args a;
    a.depth = 1;
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(a.depth, 2);
    EXPECT_EQ(d.depth(), 4);
    EXPECT_LE(UsedIndices(d).size(), 4u);
}

TEST(TransformDepth, GifCapsAtEightBitsAndOddBitCountsMeanFullColour) {
    struct Row { int outputType, depth, bitCount, expectT, expectBits; } rows[] = {
        {5, 24, 24, 8, 8}, {5, 24, 0, 8, 8}, {3, 24, 0, 24, 24}, {3, 8, 24, 24, 24},
        {3, 24, 9, 24, 24}, {3, 24, 16, 24, 24}, {3, 24, 23, 24, 24}, {3, 24, 32, 24, 24}, {5, 24, 32, 8, 8},
        {3, 8, -3, 8, 8},  {3, 0, 0, 24, 24}, {3, 32, 0, 24, 24}, {3, 24, 5, 5, 8}, {3, 24, 3, 3, 4},
    };
    for (const Row& r : rows) {
        Dib d;
        if (r.depth == 8) {
            ASSERT_TRUE(Make(&d, 9, 7, 8));
        } else {
            Photo(&d, 9, 7);
        }
        Args a;
        a.outputType = r.outputType;
        a.depth = r.depth;
        a.bitCount = r.bitCount;
        ASSERT_EQ(Pipe(a, &d), 0) << r.outputType << " " << r.depth << " " << r.bitCount;
        EXPECT_EQ(a.depth, r.expectT) << r.outputType << " " << r.depth << " " << r.bitCount;
        EXPECT_EQ(d.depth(), r.expectBits) << r.outputType << " " << r.depth << " " << r.bitCount;
        if (r.expectT < 8) {
            EXPECT_LE(UsedIndices(d).size(), size_t(1) << r.expectT);
        }
    }
}

TEST(TransformColour, FixedPaletteOnlyAtEightBits) {
    for (int palette : {1, 2, 3, 7}) {
        Dib d;
        Photo(&d, 40, 30);
        Args a;
        a.bitCount = 4;
        a.palette = palette;
        ASSERT_EQ(Pipe(a, &d), 0);
        EXPECT_EQ(d.depth(), 4);  // adaptive 16 colours, not a piece of the fixed table
        EXPECT_NE(0, memcmp(d.table(), FixedPaletteFor(palette), 16 * 4));

        // Already 8-bit: the step still runs and maps onto the fixed table.
        Dib e;
        ASSERT_TRUE(Make(&e, 20, 10, 8));
        for (int i = 0; i < 256; ++i) SetEntry(&e, i, uint32_t(i * 0x010307));
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 20; ++x) e.SetIndex(x, y, x * 12 + y);
        Args b;
        b.depth = 8;
        b.palette = palette;
        DibHeader* before = e.h;
        ASSERT_EQ(Pipe(b, &e), 0);
        EXPECT_NE(e.h, before);
        EXPECT_EQ(0, memcmp(e.table(), FixedPaletteFor(palette), 1024));
    }
}

TEST(TransformColour, NothingToDoLeavesTheImageAlone) {
    Dib d;
    ASSERT_TRUE(Make(&d, 8, 8, 8));
    DibHeader* h = d.h;
    uint8_t* b = d.b;
    Args a;
    a.depth = 8;
    a.resize = 1;
    a.box = PmSize{8, 8};
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(d.h, h);
    EXPECT_EQ(d.b, b);

    // Full colour with a fixed palette asked for: the step runs, colours kept.
    Dib p;
    Photo(&p, 6, 4);
    Dib ref;
    Photo(&ref, 6, 4);
    Args c;
    c.palette = 2;
    ASSERT_EQ(Pipe(c, &p), 0);
    EXPECT_EQ(c.depth, 24);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(p.Rgb(x, y), ref.Rgb(x, y));
}

TEST(TransformColour, TinyImagesThresholdLargerOnesDither) {
    // Dark grey: a threshold gives all black, dithering some white dots.
    auto whiteCount = [](int w, int h) {
        Dib d;
        EXPECT_TRUE(Make(&d, w, h, 24));
        Fill(&d, [](int, int) { return 0x505050u; });
        Args a;
        a.bitCount = 1;
        EXPECT_EQ(Pipe(a, &d), 0);
        EXPECT_EQ(d.depth(), 1);
        int n = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) n += d.Rgb(x, y) == 0xFFFFFF;
        return n;
    };
    EXPECT_EQ(whiteCount(3, 2), 0);
    EXPECT_GT(whiteCount(4, 3), 0);
}

TEST(TransformColour, OneBitPicturesKeepTheirOwnTwoColoursOnlyWhenTheDepthFollowsThem) {
    // A zoomed one-bit picture of 8x8 blocks: the reduction back to one bit
    // either keeps its two colours, each block still its own, or makes the
    // dithered black and white.
    struct Row { uint32_t c0, c1; int bitCount, filter; bool kept; } rows[] = {
        {0x0000FF, 0xFFFF00, 0, 0, true},    // blue and yellow
        {0x000000, 0xC02020, 0, 0, true},    // one of them black
        {0x3060A0, 0x3060A0, 0, 0, true},    // one colour twice
        {0x000000, 0xFFFFFF, 0, 0, false},   // black and white as before
        {0xFFFFFF, 0x000000, 0, 0, false},
        {0x0000FF, 0xFFFF00, 1, 0, false},   // one bit chosen
        {0x0000FF, 0xFFFF00, 0, 4, false},   // a tone filter recolours
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << r.c0 << " " << r.c1 << std::dec << " bits " << r.bitCount
                                          << " filter " << r.filter);
        Dib d;
        ASSERT_TRUE(Make(&d, 64, 48, 1));
        SetEntry(&d, 0, r.c0);
        SetEntry(&d, 1, r.c1);
        auto source = [](int x, int y) { return ((x / 8) + (y / 8)) & 1; };
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) d.SetIndex(x, y, source(x, y));
        Args a;
        a.depth = 1;
        a.bitCount = r.bitCount;
        a.filter = r.filter;
        a.resize = 1;
        a.box = PmSize{32, 32};
        ASSERT_EQ(Pipe(a, &d), 0);
        ASSERT_EQ(d.depth(), 1);
        ASSERT_EQ(d.width(), 32);
        std::set<uint32_t> colours;
        for (int y = 0; y < d.height(); ++y)
            for (int x = 0; x < d.width(); ++x) colours.insert(d.Rgb(x, y));
        if (!r.kept) {
            for (uint32_t c : colours) EXPECT_TRUE(c == 0 || c == 0xFFFFFF) << std::hex << c;
            continue;
        }
        for (int y = 1; y < d.height(); y += 4)
            for (int x = 1; x < d.width(); x += 4)
                ASSERT_EQ(d.Rgb(x, y), source(2 * x, 2 * y) ? r.c1 : r.c0) << x << "," << y;
    }
}

TEST(TransformZoom, ScalerFollowsTheDirectionOfEachAxis) {
    // Narrower but taller: the hard setting must not use the shrink-only
    // scaler (it cannot enlarge); the soft one takes its smooth reduction.
    struct Case { int zoomFilter; int (*expect)(const DibHeader*, const uint8_t*, DibHeader*, uint8_t*); } cases[] = {
        {0, [](const DibHeader* h, const uint8_t* b, DibHeader* d, uint8_t* db) { return Geom_Resample(0, h, b, 1, d, db); }},
        {1, [](const DibHeader* h, const uint8_t* b, DibHeader* d, uint8_t* db) { return Geom_ShrinkSmooth(0, 0, h, b, d, db); }},
    };
    for (const Case& c : cases) {
        Dib d, src, want;
        Photo(&d, 60, 20);
        Photo(&src, 60, 20);
        Args a;
        a.resize = 2;
        a.box = PmSize{25, 45};
        a.zoomFilter = c.zoomFilter;
        ASSERT_EQ(Pipe(a, &d), 0);
        ASSERT_TRUE(Make(&want, 25, 45, 24));
        ASSERT_NE(c.expect(src.h, src.b, want.h, want.b), 0);
        EXPECT_EQ(0, memcmp(d.b, want.b, size_t(DibCore_GetRowStride(want.h, 0)) * 45)) << c.zoomFilter;
    }
}

TEST(TransformZoom, TurnsBeforeFitting) {
    Dib d;
    Photo(&d, 640, 480);
    Args a;
    a.angle = AngleForDirection(1, 640, 480);
    EXPECT_EQ(a.angle, kAngle270);
    a.resize = 1;
    a.box = PmSize{96, 96};
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(d.width(), 72);
    EXPECT_EQ(d.height(), 96);
}

TEST(TransformAngle, EveryDirectionOnLandscapePortraitAndSquare) {
    // Settings 1 and 2 make landscape images portrait, 3 and 4 the reverse
    // (odd: clockwise, i.e. 270 counter-clockwise); 5 to 7 always turn;
    // anything else never does.
    struct Row { int direction; int32_t landscape, portrait, square; } rows[] = {
        {0, 0, 0, 0},
        {1, kAngle270, 0, 0},
        {2, kAngle90, 0, 0},
        {3, 0, kAngle270, 0},
        {4, 0, kAngle90, 0},
        {5, kAngle90, kAngle90, kAngle90},
        {6, kAngle180, kAngle180, kAngle180},
        {7, kAngle270, kAngle270, kAngle270},
        {8, 0, 0, 0},
        {-1, 0, 0, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(AngleForDirection(r.direction, 640, 480), r.landscape) << "landscape, direction " << r.direction;
        EXPECT_EQ(AngleForDirection(r.direction, 480, 640), r.portrait) << "portrait, direction " << r.direction;
        EXPECT_EQ(AngleForDirection(r.direction, 100, 100), r.square) << "square, direction " << r.direction;
        // One pixel decides: 101 x 100 is landscape, 100 x 101 portrait.
        EXPECT_EQ(AngleForDirection(r.direction, 101, 100), r.landscape) << r.direction;
        EXPECT_EQ(AngleForDirection(r.direction, 100, 101), r.portrait) << r.direction;
    }
}

TEST(TransformZoom, TopDownImagesComeOutTheSameWayRound) {
    Dib up, down;
    ASSERT_TRUE(Make(&up, 37, 23, 24));
    ASSERT_TRUE(Make(&down, 37, -23, 24));
    auto f = [](int x, int y) { return uint32_t(x * 6) << 16 | uint32_t(y * 11) << 8 | uint32_t(x < 10 ? 255 : 0); };
    Fill(&up, f);
    Fill(&down, f);
    for (Dib* d : {&up, &down}) {
        Args a;
        a.angle = kAngle90;
        a.resize = 1;
        a.box = PmSize{20, 20};
        a.bitCount = 4;
        ASSERT_EQ(Pipe(a, d), 0);
    }
    ASSERT_LT(down.h->biHeight, 0);
    ASSERT_EQ(up.width(), down.width());
    for (int y = 0; y < up.height(); ++y)
        for (int x = 0; x < up.width(); ++x) ASSERT_EQ(up.Rgb(x, y), down.Rgb(x, y)) << x << "," << y;
}

TEST(TransformTransparency, KeepsTheSourceIndexWhenItIsFree) {
    Dib d;
    GifLike(&d, 12, 9, 7, {1, 2, 3});
    Args a;
    a.outputType = 5;
    a.keepTransparency = 1;
    a.depth = 8;
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(a.transparentIndex, 7);
    EXPECT_EQ(d.Index(0, 0), 7);

    // A transparent colour from the caller (COLORREF, red here) is given to
    // the chosen entry.
    Dib e;
    GifLike(&e, 12, 9, 7, {1, 2, 3});
    Args b;
    b.outputType = 5;
    b.keepTransparency = 1;
    b.depth = 8;
    b.transparentColor = 0x0000FF;
    ASSERT_EQ(Pipe(b, &e), 0);
    EXPECT_EQ(b.transparentIndex, 7);
    EXPECT_EQ(e.Rgb(0, 0), 0xFF0000u);
}

TEST(TransformTransparency, FullPaletteStillFindsTheMarkedIndex) {
    // Every other index carries opaque pixels: only the marked entry is
    // free, and it is chosen whatever index an earlier frame used.
    Dib d;
    std::vector<int> others;
    for (int i = 0; i < 256; ++i)
        if (i != 9) others.push_back(i);
    GifLike(&d, 64, 40, 9, others);
    Args a;
    a.outputType = 5;
    a.keepTransparency = 1;
    a.depth = 8;
    a.transparentIndex = 42;
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(a.transparentIndex, 9);
    EXPECT_EQ(d.Index(0, 0), 9);

    // With a fixed palette the source index is not kept: the lowest index
    // that no opaque pixel uses after mapping (one is always left free).
    Dib e;
    GifLike(&e, 64, 40, 9, others);
    Args b;
    b.outputType = 5;
    b.keepTransparency = 1;
    b.depth = 8;
    b.palette = 1;
    ASSERT_EQ(Pipe(b, &e), 0);
    ASSERT_GE(b.transparentIndex, 0);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) EXPECT_EQ(e.Index(x, y) == b.transparentIndex, (x + y) % 5 == 0);
    std::set<int> opaque;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x)
            if ((x + y) % 5) opaque.insert(e.Index(x, y));
    for (int i = 0; i < b.transparentIndex; ++i) EXPECT_TRUE(opaque.count(i)) << i;
}

TEST(TransformTransparency, OneBitGifWidensToTwoBits) {
    Dib d;
    ASSERT_TRUE(Make(&d, 9, 4, 1));
    SetEntry(&d, 0, 0x000000);
    SetEntry(&d, 1, 0xFFFFFF, kTransparentMark);
    for (int x = 0; x < 9; ++x) d.SetIndex(x, 0, x & 1);
    Args a;
    a.outputType = 5;
    a.keepTransparency = 1;
    a.depth = 1;
    ASSERT_EQ(Pipe(a, &d), 0);
    EXPECT_EQ(d.depth(), 4);
    EXPECT_EQ(a.depth, 2);
    EXPECT_EQ(a.transparentIndex, 1);  // only transparent pixels use it
    EXPECT_EQ(d.Index(1, 0), 1);
    EXPECT_EQ(d.Index(0, 0), 0);

}

TEST(TransformTransparency, TrueColourSourceLeavesOneIndexFree) {
    // 254 opaque colours plus transparent pixels hiding 40 more: painted
    // white, the hidden colours do not count, 255 colours fit exactly.
    Dib d;
    ASSERT_TRUE(Make(&d, 300, 2, 32));
    for (int x = 0; x < 300; ++x) {
        uint8_t* p = d.Row(0) + 4 * x;
        bool hidden = x >= 254 && x < 294;
        uint32_t c = hidden ? 0x800000u + uint32_t(x) : uint32_t(x % 254) * 0x000301u;
        p[0] = uint8_t(c);
        p[1] = uint8_t(c >> 8);
        p[2] = uint8_t(c >> 16);
        p[3] = hidden ? 0 : 255;
        uint8_t* q = d.Row(1) + 4 * x;
        q[0] = q[1] = q[2] = 0;
        q[3] = 255;
    }
    Args a;
    a.outputType = 5;
    a.keepTransparency = 1;
    a.depth = 32;
    ASSERT_EQ(Pipe(a, &d), 0);
    ASSERT_EQ(d.depth(), 8);
    ASSERT_GE(a.transparentIndex, 0);
    for (int x = 0; x < 300; ++x) {
        bool hidden = x >= 254 && x < 294;
        if (hidden) {
            EXPECT_EQ(d.Index(x, 0), a.transparentIndex);
        } else {
            EXPECT_NE(d.Index(x, 0), a.transparentIndex);
            EXPECT_EQ(d.Rgb(x, 0), uint32_t(x % 254) * 0x000301u) << x;
        }
    }
}

TEST(TransformBadInput, OddBoxesAndSizesGiveCleanResults) {
    struct Row { int w, h, resize, bw, bh, bitCount, zoomFilter, ew, eh; } rows[] = {
        {50, 40, 1, 0, 0, 0, 1, 1, 1},       {50, 40, 2, 0, 0, 0, 0, 1, 1},   {50, 40, 1, -5, -9, 0, 1, 1, 1},
        {50, 40, 2, -1, 30, 8, 0, 1, 30},    {1, 9000, 1, 9999, 9999, 0, 1, 1, 9999},
        {1, 1, 1, 96, 96, 0, 1, 96, 96},     {1, 1, 2, 96, 96, 1, 0, 96, 96},
        {1, 10000, 1, 96, 96, 0, 1, 1, 96},  {1, 10000, 1, 96, 96, 0, 0, 1, 96},
        {10000, 1, 1, 96, 96, 1, 0, 96, 1},  {1, 10000, 0, 96, 96, 1, 1, 1, 10000},
    };
    for (const Row& r : rows) {
        LeakCheck leaks;
        {
            Dib d;
            Photo(&d, r.w, r.h);
            Args a;
            a.resize = r.resize;
            a.box = PmSize{r.bw, r.bh};
            a.bitCount = r.bitCount;
            a.zoomFilter = r.zoomFilter;
            ASSERT_EQ(Pipe(a, &d), 0) << r.w << "x" << r.h << " box " << r.bw << "x" << r.bh;
            EXPECT_EQ(d.width(), r.ew) << r.w << "x" << r.h << " box " << r.bw << "x" << r.bh;
            EXPECT_EQ(d.height(), r.eh) << r.w << "x" << r.h << " box " << r.bw << "x" << r.bh;
        }
        EXPECT_EQ(leaks.Leaked(), 0);
    }
}

TEST(TransformBadInput, UnknownFilterFails106WithTheImageKept) {
    LeakCheck leaks;
    {
        Dib d;
        Photo(&d, 30, 20);
        Args a;
        a.filter = 11;
        a.resize = 1;
        a.box = PmSize{15, 15};
        EXPECT_EQ(Pipe(a, &d), 106);
        ASSERT_NE(d.h, nullptr);
        EXPECT_EQ(d.width(), 15);  // zoomed before the filter step
        EXPECT_EQ(a.depth, 24);
    }
    EXPECT_EQ(leaks.Leaked(), 0);
}

TEST(TransformFailure, EveryAllocationFailureIsCleanAndLeaksNothing) {
    // One configuration that walks every step: turn, mask, mono preparation
    // is skipped (T = 8), zoom, filter, reduction, index choice.
    struct Config { int bitCount, palette, filter, zoomFilter, keep; } configs[] = {
        {0, 0, 4, 1, 1}, {8, 2, 13, 0, 1}, {1, 0, 0, 1, 0}, {4, 0, 26, 0, 0}, {24, 1, 21, 1, 0},
    };
    for (const Config& c : configs) {
        bool succeeded = false;
        for (int n = 0; n < 200 && !succeeded; ++n) {
            LeakCheck leaks;
            {
                Dib d;
                GifLike(&d, 61, 37, 3, {0, 1, 2, 4, 5, 6, 200});
                Args a;
                a.outputType = 5;
                a.keepTransparency = c.keep;
                a.depth = 8;
                a.bitCount = c.bitCount;
                a.angle = kAngle90;
                a.resize = 1;
                a.box = PmSize{20, 20};
                a.filter = c.filter;
                a.zoomFilter = c.zoomFilter;
                a.palette = c.palette;
                PmHeap_FailAfter(n);
                int rc = Pipe(a, &d);
                PmHeap_FailAfter(-1);
                EXPECT_TRUE(rc == 0 || rc == 105 || rc == 106) << rc;
                ASSERT_NE(d.h, nullptr);
                ASSERT_NE(d.b, nullptr);
                succeeded = rc == 0;
            }
            ASSERT_EQ(leaks.Leaked(), 0) << "after failing allocation " << n;
        }
        EXPECT_TRUE(succeeded);
    }
}

TEST(ConvertTo24, WidensOnceAndFailsCleanly) {
    Dib d;
    ASSERT_TRUE(Make(&d, 3, 3, 4));
    SetEntry(&d, 0, 0x123456);
    ASSERT_EQ(ConvertTo24Bit(&d.h, &d.b), 0);
    EXPECT_EQ(d.depth(), 24);
    EXPECT_EQ(d.Rgb(2, 2), 0x123456u);
    DibHeader* h = d.h;
    ASSERT_EQ(ConvertTo24Bit(&d.h, &d.b), 0);
    EXPECT_EQ(d.h, h);

    Dib e;
    ASSERT_TRUE(Make(&e, 3, 3, 8));
    DibHeader* before = e.h;
    PmHeap_FailAfter(0);
    EXPECT_EQ(ConvertTo24Bit(&e.h, &e.b), 105);
    PmHeap_FailAfter(-1);
    EXPECT_EQ(e.h, before);
}

// A source decoded at 1/8 whose last column stands for only 3 of 8 pixels:
// zoomed through its true extent it lands where the full image does, turned
// or not; zoomed as if every column were whole, it drifts to the left.
TEST(TransformExtent, ReducedSourceLandsWhereTheFullOneDoes) {
    const int w = 203, h = 64;  // 25 whole blocks and 3 pixels across
    auto ramp = [](int x, int) { return uint32_t(x) * 0x010101u; };
    Dib reduced;
    ASSERT_TRUE(Make(&reduced, (w + 7) / 8, h / 8, 24));
    Fill(&reduced, [&](int bx, int) {
        int x0 = bx * 8, x1 = std::min(w, x0 + 8);
        return ramp((x0 + x1 - 1) / 2, 0);  // the block's mean of a ramp
    });
    for (int32_t angle : {0, int32_t(kAngle90)}) {
        SCOPED_TRACE(angle);
        bool turned = angle != 0;
        PmSize box = turned ? PmSize{4, 20} : PmSize{20, 4};
        Dib full;
        ASSERT_TRUE(Make(&full, w, h, 24));
        Fill(&full, ramp);
        Args fa;
        fa.angle = angle;
        fa.resize = 2;
        fa.box = box;
        ASSERT_EQ(Pipe(fa, &full), 0);

        auto zoomed = [&](const PmExtent* extent, Dib* out) {
            ASSERT_TRUE(Make(out, reduced.width(), reduced.height(), 24));
            std::memcpy(out->b, reduced.b, size_t(DibCore_GetRowStride(reduced.h, 0)) * size_t(reduced.height()));
            int depth = 24, index = -1;
            ASSERT_EQ(TransformImageFrom(extent, 3, 0, &depth, 0, angle, 2, &box, 0, 1, 0, -1, &index, &out->h, &out->b),
                      0);
        };
        PmExtent extent{0, 0, w / 8.0, h / 8.0};
        Dib mapped, naive;
        zoomed(&extent, &mapped);
        zoomed(nullptr, &naive);
        int worstMapped = 0, worstNaive = 0;
        // The ramp runs along x, or down the turned image (the right column
        // comes to the top); the outermost pixels meet the edge and are left out.
        for (int i = 1; i < 19; ++i) {
            int x = turned ? 1 : i, y = turned ? i : 1;
            int want = int(full.Rgb(x, y) & 0xFF);
            worstMapped = std::max(worstMapped, std::abs(int(mapped.Rgb(x, y) & 0xFF) - want));
            worstNaive = std::max(worstNaive, std::abs(int(naive.Rgb(x, y) & 0xFF) - want));
        }
        EXPECT_LE(worstMapped, 1);
        EXPECT_GE(worstNaive, 3);
    }
}

// An extent that a caller got wrong (partly or wholly beside the image) must
// still read only the image's own pixels: the taps take the nearest edge, so
// a one-colour image stays that colour.
TEST(TransformExtent, ExtentsBesideTheImageReadOnlyItsPixels) {
    Dib src;
    ASSERT_TRUE(Make(&src, 16, 8, 24));
    Fill(&src, [](int, int) { return 0x102030u; });
    const PmExtent wrong[] = {{-40, 0, 8, 8}, {-3, -2, 6, 4}, {30, 20, 16, 8}, {8, 0, 32, 16}};
    for (const PmExtent& e : wrong)
        for (int method : {0, 1, 2}) {
            Dib out;
            ASSERT_TRUE(Make(&out, 4, 4, 24));
            ASSERT_EQ(Geom_ZoomExtent(method, &e, src.h, src.b, out.h, out.b), 1) << e.x << "," << e.y;
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x)
                    ASSERT_EQ(out.Rgb(x, y), 0x102030u) << "extent " << e.x << "," << e.y << " method " << method;
        }
}
