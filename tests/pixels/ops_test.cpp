// The pixel libraries: turning, layout, depth conversion, masks, scalers,
// colour reduction and filters.
#include "dibtest.h"
#include "imaging/palettes.h"
#include "imaging/transform.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmsingleops.h"

#include <cmath>
#include <cstring>
#include <set>

using namespace dibtest;

namespace {

// A test image of any depth whose pixels all differ where the depth allows.
void Pattern(Dib* d) {
    if (d->depth() <= 8) {
        int n = 1 << d->depth();
        for (int i = 0; i < n; ++i) SetEntry(d, i, uint32_t(i * 0x010203));
        for (int y = 0; y < d->height(); ++y)
            for (int x = 0; x < d->width(); ++x) d->SetIndex(x, y, (x * 7 + y * 3) % n);
    } else {
        Fill(d, [](int x, int y) { return uint32_t(x * 0x000101 + y * 0x010000); });
    }
}

bool SamePixels(const Dib& a, const Dib& b) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.Rgb(x, y) != b.Rgb(x, y)) return false;
    return true;
}

double Psnr(const Dib& a, const Dib& b) {
    double se = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            uint32_t p = a.Rgb(x, y), q = b.Rgb(x, y);
            for (int s = 0; s < 24; s += 8) {
                double d = double((p >> s) & 255) - double((q >> s) & 255);
                se += d * d;
            }
        }
    double mse = se / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

TEST(Rotate, FourQuarterTurnsRestoreEveryDepth) {
    for (int depth : {1, 4, 8, 16, 24, 32}) {
        // Odd sizes: sub-byte rows end mid-byte and rows carry padding.
        Dib src;
        ASSERT_TRUE(Make(&src, 13, 5, depth));
        Pattern(&src);
        for (int32_t step : {kAngle90, kAngle270}) {
            Dib cur;
            ASSERT_TRUE(Make(&cur, 13, 5, depth));
            Pattern(&cur);
            for (int i = 0; i < 4; ++i) {
                Dib next;
                ASSERT_EQ(DibOps_Rotate(0, step, cur.h, cur.b, &next.h, &next.b), 1);
                EXPECT_EQ(next.width(), i % 2 == 0 ? 5 : 13) << depth;
                std::swap(cur.h, next.h);
                std::swap(cur.b, next.b);
            }
            EXPECT_TRUE(SamePixels(src, cur)) << "depth " << depth << " step " << step;
            if (depth <= 8) {
                EXPECT_EQ(0, memcmp(src.table(), cur.table(), (1u << depth) * 4)) << depth;
            }
        }
    }
}

TEST(Rotate, TurnsCounterClockwiseAndRejectsOddAngles) {
    Dib src;
    ASSERT_TRUE(Make(&src, 3, 2, 24));
    Fill(&src, [](int x, int y) { return uint32_t(y * 3 + x + 1); });  // 1 2 3 / 4 5 6
    Dib r90, r180, r270;
    ASSERT_EQ(DibOps_Rotate(0, kAngle90, src.h, src.b, &r90.h, &r90.b), 1);
    // Counter-clockwise: the right column (3, 6) becomes the top row.
    EXPECT_EQ(r90.Rgb(0, 0), 3u);
    EXPECT_EQ(r90.Rgb(1, 0), 6u);
    EXPECT_EQ(r90.Rgb(0, 2), 1u);
    ASSERT_EQ(DibOps_Rotate(0, kAngle180, src.h, src.b, &r180.h, &r180.b), 1);
    EXPECT_EQ(r180.Rgb(0, 0), 6u);
    ASSERT_EQ(DibOps_Rotate(0, kAngle270, src.h, src.b, &r270.h, &r270.b), 1);
    EXPECT_EQ(r270.Rgb(0, 0), 4u);
    EXPECT_EQ(r270.Rgb(1, 0), 1u);
    Dib bad;
    EXPECT_EQ(DibOps_Rotate(0, 45 << 16, src.h, src.b, &bad.h, &bad.b), 0);
    EXPECT_EQ(bad.h, nullptr);
}

TEST(Layout, FitSizeKeepsAspectAndNeverReachesZero) {
    struct Row { int bw, bh, w, h, ew, eh; } rows[] = {
        {96, 96, 4032, 3024, 96, 72}, {96, 96, 3024, 4032, 72, 96}, {96, 96, 2164, 1626, 96, 72},
        {100, 50, 7, 3, 100, 43},     {96, 96, 1, 10000, 1, 96},   {96, 96, 10000, 1, 96, 1},
        {1, 1, 5000, 3, 1, 1},        {0, 0, 40, 30, 1, 1},        {-5, 80, 40, 30, 1, 1},
        {9999, 9999, 3, 2, 9999, 6666},
    };
    for (const Row& r : rows) {
        PmSize box{r.bw, r.bh}, size{r.w, r.h};
        ASSERT_EQ(DibOps_FitSize(&box, 0, &size), 1);
        EXPECT_EQ(size.cx, r.ew) << r.bw << "x" << r.bh << " " << r.w << "x" << r.h;
        EXPECT_EQ(size.cy, r.eh) << r.bw << "x" << r.bh << " " << r.w << "x" << r.h;
    }
}

TEST(Layout, FramesTurnAndScaleWithTheScreen) {
    // 200 x 100 screen turned clockwise (270 counter-clockwise), not zoomed:
    // 100 x 200, the frame at the top left ends up at the top right.
    PmSize box{50, 50}, size{200, 100};
    PmRect r{0, 0, 20, 10};
    EXPECT_EQ(DibOps_ComputeLayout(kAngle270, 0, &box, &size, &r), 0);
    EXPECT_EQ(size.cx, 100);
    EXPECT_EQ(size.cy, 200);
    EXPECT_EQ(r.left, 90);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, 100);
    EXPECT_EQ(r.bottom, 20);

    // Fit of an odd screen: neighbouring frames stay joined after rounding,
    // and a partial frame of a zoomed screen asks for composition.
    PmSize box2{64, 64};
    PmRect left{0, 0, 33, 77}, right{33, 0, 101, 77};
    PmSize s1{101, 77}, s2{101, 77};
    EXPECT_EQ(DibOps_ComputeLayout(0, 1, &box2, &s1, &left), 1);
    EXPECT_EQ(DibOps_ComputeLayout(0, 1, &box2, &s2, &right), 1);
    EXPECT_EQ(s1.cx, 64);
    EXPECT_EQ(s1.cy, 49);
    EXPECT_EQ(left.right, right.left);
    EXPECT_EQ(right.right, 64);

    // A whole-screen frame never needs composition; a one-pixel frame of a
    // large reduction keeps a pixel; a frame outside the screen is clipped.
    PmSize s3{101, 77};
    PmRect whole{0, 0, 101, 77};
    EXPECT_EQ(DibOps_ComputeLayout(0, 2, &box2, &s3, &whole), 0);
    PmSize s4{1000, 1000};
    PmRect dot{500, 500, 501, 501};
    DibOps_ComputeLayout(0, 2, &box2, &s4, &dot);
    EXPECT_EQ(dot.right - dot.left, 1);
    EXPECT_EQ(dot.bottom - dot.top, 1);
    PmSize s5{10, 10};
    PmRect out{8, 8, 30, 30};
    DibOps_ComputeLayout(0, 0, &box2, &s5, &out);
    EXPECT_EQ(out.right, 10);
    EXPECT_EQ(out.bottom, 10);
}

TEST(ConvertDepth, WideningKeepsIndicesAndTheTransparencyMark) {
    Dib one, four;
    ASSERT_TRUE(Make(&one, 9, 3, 1));
    SetEntry(&one, 0, 0x102030);
    SetEntry(&one, 1, 0xFFFFFF, kTransparentMark);
    for (int x = 0; x < 9; ++x) one.SetIndex(x, 1, x & 1);
    ASSERT_TRUE(Make(&four, 9, 3, 4));
    ASSERT_EQ(DibCore_ConvertDepth(one.h, one.b, four.h, four.b), 1);
    for (int x = 0; x < 9; ++x) EXPECT_EQ(four.Index(x, 1), x & 1);
    EXPECT_EQ(DibCore_GetTransparentIndex(four.h), 1);
    EXPECT_EQ(four.Rgb(0, 1), 0x102030u);
}

TEST(ConvertDepth, TrueColourOntoAGivenTableTakesNearestEntries) {
    Dib src, dst;
    ASSERT_TRUE(Make(&src, 4, 1, 24));
    Fill(&src, [](int x, int) {
        static const uint32_t c[] = {0x000000, 0xF0F0F0, 0x10FF10, 0x202020};
        return c[x];
    });
    ASSERT_TRUE(Make(&dst, 4, 1, 4));
    SetEntry(&dst, 0, 0xFFFFFF);
    SetEntry(&dst, 1, 0x00FF00);
    SetEntry(&dst, 2, 0x000000);
    ASSERT_EQ(DibCore_ConvertDepth(src.h, src.b, dst.h, dst.b), 1);
    EXPECT_EQ(dst.Index(0, 0), 2);
    EXPECT_EQ(dst.Index(1, 0), 0);
    EXPECT_EQ(dst.Index(2, 0), 1);
    EXPECT_EQ(dst.Index(3, 0), 2);
    Dib wrongSize;
    ASSERT_TRUE(Make(&wrongSize, 5, 1, 24));
    EXPECT_EQ(DibCore_ConvertDepth(src.h, src.b, wrongSize.h, wrongSize.b), 0);
}

TEST(ConvertDepth, DroppedAlphaShowsOverWhite) {
    // Alpha in use: transparent pixels become white whatever colour they
    // hide, translucent ones are blended, opaque ones stay.
    Dib src, dst;
    ASSERT_TRUE(Make(&src, 3, 1, 32));
    const uint8_t px[3][4] = {{0, 0, 0, 0}, {0, 0, 200, 128}, {10, 20, 30, 255}};  // B, G, R, A
    std::memcpy(src.b, px, sizeof px);
    ASSERT_TRUE(Make(&dst, 3, 1, 24));
    ASSERT_EQ(DibCore_ConvertDepth(src.h, src.b, dst.h, dst.b), 1);
    EXPECT_EQ(dst.Rgb(0, 0), 0xFFFFFFu);
    EXPECT_EQ(dst.Rgb(1, 0), 0xE37F7Fu);  // red 200 at half alpha over white
    EXPECT_EQ(dst.Rgb(2, 0), 0x1E140Au);
    // A plain 32-bit bitmap (fourth byte zero everywhere) is opaque.
    std::memset(src.b, 0, 12);
    src.b[2] = 77;
    ASSERT_EQ(DibCore_ConvertDepth(src.h, src.b, dst.h, dst.b), 1);
    EXPECT_EQ(dst.Rgb(0, 0), 0x4D0000u);
}

TEST(TransparencyMask, MarksTheTransparentEntryOrLowAlpha) {
    Dib pal, mask;
    ASSERT_TRUE(Make(&pal, 5, 2, 8));
    SetEntry(&pal, 7, 0x00FF00, kTransparentMark);
    pal.SetIndex(3, 1, 7);
    ASSERT_TRUE(Make(&mask, 5, 2, 8));
    EXPECT_GT(DibCore_MakeTransparencyMask(pal.h, pal.b, mask.h, mask.b), 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(mask.table()[mask.Index(x, y)].reserved == kTransparentMark, x == 3 && y == 1);
    EXPECT_EQ(mask.Rgb(3, 1), 0xFFFFFFu);

    // 32-bit: alpha below half is transparent, but an image whose alpha is
    // zero everywhere never used alpha and is opaque.
    Dib argb, m2;
    ASSERT_TRUE(Make(&argb, 2, 1, 32));
    ASSERT_TRUE(Make(&m2, 2, 1, 8));
    EXPECT_EQ(DibCore_MakeTransparencyMask(argb.h, argb.b, m2.h, m2.b), 0);
    argb.Row(0)[3] = 255;
    EXPECT_GT(DibCore_MakeTransparencyMask(argb.h, argb.b, m2.h, m2.b), 0);
    EXPECT_EQ(m2.Index(1, 0), 1);
    EXPECT_EQ(m2.Index(0, 0), 0);

    Dib noMark, m3;
    ASSERT_TRUE(Make(&noMark, 2, 2, 4));
    ASSERT_TRUE(Make(&m3, 2, 2, 8));
    EXPECT_EQ(DibCore_MakeTransparencyMask(noMark.h, noMark.b, m3.h, m3.b), 0);
}

TEST(Scalers, SoftReductionDoesNotAliasFinePatterns) {
    // One-pixel stripes reduced by a factor that is not a whole number:
    // point sampling would give stripes or a flat black/white; an area-aware
    // filter gives an even middle grey.
    Dib src, soft, hard;
    ASSERT_TRUE(Make(&src, 997, 601, 24));
    Fill(&src, [](int x, int y) { return ((x + y) & 1) ? 0xFFFFFFu : 0u; });
    ASSERT_TRUE(Make(&soft, 96, 58, 24));
    ASSERT_NE(Geom_ShrinkSmooth(0, 0, src.h, src.b, soft.h, soft.b), 0);
    ASSERT_TRUE(Make(&hard, 96, 58, 24));
    ASSERT_NE(Geom_Shrink(0, src.h, src.b, 0, 0, 96, 58, hard.b), 0);
    for (const Dib* d : {&soft, &hard})
        for (int y = 0; y < d->height(); ++y)
            for (int x = 0; x < d->width(); ++x) {
                int g = int(d->Rgb(x, y) & 255);
                ASSERT_NEAR(g, 128, 12) << x << "," << y;
            }
}

TEST(Scalers, KeepFlatColourAndEdgesInTheirPlace) {
    // Left half red, right half blue; every scaler keeps the halves and
    // keeps flat areas exact (weights sum to one).
    Dib src;
    ASSERT_TRUE(Make(&src, 40, 30, 24));
    Fill(&src, [](int x, int) { return x < 20 ? 0xFF0000u : 0x0000FFu; });
    struct Case { int w, h, which; } cases[] = {{10, 7, 0}, {10, 7, 1}, {160, 90, 2}, {15, 60, 2}, {15, 60, 0}};
    for (const Case& c : cases) {
        Dib dst;
        ASSERT_TRUE(Make(&dst, c.w, c.h, 24));
        int r = c.which == 0 ? Geom_ShrinkSmooth(0, 0, src.h, src.b, dst.h, dst.b)
              : c.which == 1 ? Geom_Shrink(0, src.h, src.b, 0, 0, c.w, c.h, dst.b)
                             : Geom_Resample(0, src.h, src.b, 1, dst.h, dst.b);
        ASSERT_NE(r, 0);
        EXPECT_EQ(dst.Rgb(0, c.h / 2), 0xFF0000u) << c.w << "x" << c.h;
        EXPECT_EQ(dst.Rgb(c.w - 1, c.h - 1), 0x0000FFu) << c.w << "x" << c.h;
    }
    Dib tooBig;
    ASSERT_TRUE(Make(&tooBig, 50, 10, 24));
    EXPECT_EQ(Geom_Shrink(0, src.h, src.b, 0, 0, 50, 10, tooBig.b), 0);
}

// The vector loop of the horizontal filter must give the portable loop's
// bytes: every method, reductions and enlargements, windows that reach
// either edge, and rows whose last pixel ends the buffer (widths that are
// multiples of four have no row padding).
TEST(Scalers, VectorLoopsGiveThePortableBytes) {
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const int sides[][2] = {{1, 1}, {2, 3}, {4, 4}, {7, 5}, {33, 17}, {100, 64}, {203, 157}, {504, 378}};
    const int targets[][2] = {{1, 1}, {3, 2}, {96, 72}, {50, 200}, {17, 9}};
    for (const auto& side : sides) {
        Dib src;
        ASSERT_TRUE(Make(&src, side[0], side[1], 24));
        Fill(&src, [&](int, int) { return next() & 0xFFFFFFu; });
        for (const auto& target : targets)
            for (int method = 0; method < 3; ++method) {
                if (method == 0 && (target[0] > side[0] || target[1] > side[1])) continue;
                Dib portable, vector;
                ASSERT_TRUE(Make(&portable, target[0], target[1], 24));
                ASSERT_TRUE(Make(&vector, target[0], target[1], 24));
                Geom_PortableLoopsForTest(true);
                int a = Geom_ZoomExtent(method, nullptr, src.h, src.b, portable.h, portable.b);
                Geom_PortableLoopsForTest(false);
                int b = Geom_ZoomExtent(method, nullptr, src.h, src.b, vector.h, vector.b);
                ASSERT_EQ(a, 1);
                ASSERT_EQ(b, 1);
                size_t bytes = size_t(DibCore_GetRowStride(vector.h, 0)) * size_t(target[1]);
                EXPECT_EQ(std::memcmp(portable.b, vector.b, bytes), 0)
                    << side[0] << "x" << side[1] << " to " << target[0] << "x" << target[1] << ", method " << method;
            }
    }
}

TEST(Colours, CountStopsAboveTheMaximum) {
    Dib img;
    ASSERT_TRUE(Make(&img, 20, 20, 24));
    Fill(&img, [](int x, int y) { return uint32_t((x % 5) * 40 + (y % 3) * 0x100000); });
    uint32_t colors[256], counts[256];
    EXPECT_EQ(DibOps_CountColors(img.h, img.b, 256, colors, counts), 15);
    uint32_t total = 0;
    for (int i = 0; i < 15; ++i) total += counts[i];
    EXPECT_EQ(total, 400u);
    EXPECT_GT(DibOps_CountColors(img.h, img.b, 8, colors, counts), 8);
}

TEST(Colours, ReductionIsExactWhenColoursFit) {
    Dib img, dst;
    ASSERT_TRUE(Make(&img, 17, 9, 24));
    Fill(&img, [](int x, int y) {
        static const uint32_t c[] = {0x123456, 0xFEDCBA, 0x00FF01, 0x7F7F80};
        return c[(x * y + x) % 4];
    });
    uint32_t colors[256], counts[256];
    int u = DibOps_CountColors(img.h, img.b, 4, colors, counts);
    ASSERT_EQ(u, 4);
    ASSERT_TRUE(Make(&dst, 17, 9, 4));
    ASSERT_GE(DibOps_ReduceColors(img.h, img.b, 4, 4, 0, u, colors, counts, dst.h, dst.b), 0);
    EXPECT_TRUE(SamePixels(img, dst));
}

TEST(Colours, AdaptivePaletteFindsTheImagesColours) {
    // Two flat colours with noise around them: a 2-colour palette must
    // land near each, and a 16-colour result be close to the original.
    Dib img;
    ASSERT_TRUE(Make(&img, 64, 64, 24));
    Fill(&img, [](int x, int y) {
        int n = (x * 7 + y * 13) % 9 - 4;
        return x < 32 ? uint32_t(0xC0 + n) << 16 | 0x2000 : uint32_t(0x30 + n) | 0xA000;
    });
    Dib two;
    ASSERT_TRUE(Make(&two, 64, 64, 1));
    ASSERT_GE(DibOps_ReduceColors(img.h, img.b, 4, 2, 0, 0, nullptr, nullptr, two.h, two.b), 0);
    EXPECT_GT(Psnr(img, two), 38);
    Dib grad, sixteen;
    ASSERT_TRUE(Make(&grad, 128, 32, 24));
    Fill(&grad, [](int x, int y) { return uint32_t(x * 2) << 16 | uint32_t(y * 8) << 8 | uint32_t(255 - x); });
    ASSERT_TRUE(Make(&sixteen, 128, 32, 4));
    ASSERT_GE(DibOps_ReduceColors(grad.h, grad.b, 4, 16, 0, 0, nullptr, nullptr, sixteen.h, sixteen.b), 0);
    // Against the sixteen standard display colours without dithering, an
    // adaptive palette with diffusion must be clearly closer.
    Dib vga;
    ASSERT_TRUE(Make(&vga, 128, 32, 4));
    ASSERT_EQ(DibCore_ConvertDepth(grad.h, grad.b, vga.h, vga.b), 1);
    EXPECT_GT(Psnr(grad, sixteen), Psnr(grad, vga) + 3);
}

TEST(Colours, MappingUsesOnlyTheFirstNEntries) {
    Dib img;
    ASSERT_TRUE(Make(&img, 32, 8, 24));
    Fill(&img, [](int x, int) { return uint32_t(x * 8) * 0x010101u; });
    std::vector<uint8_t> dst(size_t(DibStride(32, 8)) * 8);
    ASSERT_GT(DibOps_MapToPalette(img.h, img.b, 6, 255, 8, WebPalette(), dst.data()), 0);
    std::set<int> used(dst.begin(), dst.end());
    EXPECT_LT(*used.rbegin(), 255);
    // Greys map onto the cube's grey diagonal (and dither between them).
    for (int i : used) {
        const RgbQuad& q = WebPalette()[i];
        EXPECT_TRUE(q.red == q.green && q.green == q.blue) << i;
    }
    EXPECT_EQ(Quant_NearestColor(0x66, 0x66, 0x67, 216, WebPalette()), 129);
    EXPECT_EQ(Quant_NearestColor(1, 2, 3, 0, WebPalette()), 0);
}

// On a ramp whose value is its own position, a filter's output is the
// position of its centre, which falls a quarter or three quarters between
// two pixels (a 1.5 step); the result must be that position rounded, in
// each direction, by every scaler and both loops.
TEST(Scalers, RoundToTheNearestLevelInEachDirection) {
    struct Case { int method; bool vertical; int from, to; } cases[] = {
        {0, false, 240, 160}, {1, false, 240, 160}, {2, false, 240, 160}, {2, false, 160, 240}, {1, false, 160, 240},
        {0, true, 240, 160},  {1, true, 240, 160},  {2, true, 240, 160},  {2, true, 160, 240},
    };
    for (bool portable : {true, false})
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "method " << c.method << (c.vertical ? " vertical " : " horizontal ")
                                              << c.from << " to " << c.to << (portable ? " portable" : " vector"));
            Dib src, dst;
            ASSERT_TRUE(Make(&src, c.vertical ? 8 : c.from, c.vertical ? c.from : 8, 24));
            Fill(&src, [&](int x, int y) { return uint32_t(c.vertical ? y : x) * 0x010101u; });
            ASSERT_TRUE(Make(&dst, c.vertical ? 8 : c.to, c.vertical ? c.to : 8, 24));
            Geom_PortableLoopsForTest(portable);
            int r = Geom_ZoomExtent(c.method, nullptr, src.h, src.b, dst.h, dst.b);
            Geom_PortableLoopsForTest(false);
            ASSERT_EQ(r, 1);
            const double scale = double(c.from) / c.to;
            int checked = 0;
            for (int o = 8; o < c.to - 8; ++o) {
                double centre = (o + 0.5) * scale - 0.5;
                double frac = centre - std::floor(centre);
                if (std::fabs(frac - 0.5) < 0.2) continue;  // too near a tie to tell
                uint32_t got = c.vertical ? dst.Rgb(4, o) : dst.Rgb(o, 4);
                ASSERT_EQ(int(got & 255), int(std::lround(centre))) << "at " << o << ", centre " << centre;
                ++checked;
            }
            EXPECT_GT(checked, c.to / 3);
        }
}

// Error diffusion carries each pixel's error on to the pixels not yet done,
// whichever way the row runs; an error sent back to a pixel already done is
// lost, and rows run right to left drift from the level of a flat area.
TEST(Dithering, EveryBandOfRowsKeepsTheLevelInBothDirections) {
    RgbQuad greys[8];
    for (int i = 0; i < 8; ++i) greys[i] = RgbQuad{uint8_t(i * 255 / 7), uint8_t(i * 255 / 7), uint8_t(i * 255 / 7), 0};
    for (int level : {40, 64, 100, 128, 190}) {
        Dib flat;
        ASSERT_TRUE(Make(&flat, 96, 64, 24));
        Fill(&flat, [&](int, int) { return uint32_t(level) * 0x010101u; });
        Dib mono, mapped;
        ASSERT_TRUE(Make(&mono, 96, 64, 1));
        ASSERT_GT(Tone_ToMonochrome(flat.h, flat.b, 0, mono.h, mono.b), 0);
        ASSERT_TRUE(Make(&mapped, 96, 64, 8));
        ASSERT_GT(DibOps_MapToPalette(flat.h, flat.b, 6, 8, 8, greys, mapped.b), 0);
        std::memcpy(mapped.table(), greys, sizeof greys);
        // Two rows, one each way: the error a row leaves to the next may
        // change which of the two has the dots, not their sum.
        // Bands of eight rows, four each way, past the first (whose dots
        // settle in): the tolerance is a few dots of one bit, or under one
        // level of a palette whose steps are 36 levels apart.
        for (const Dib* d : {&mono, &mapped})
            for (int y = 8; y < 64; y += 8) {
                double sum = 0;
                for (int yy = y; yy < y + 8; ++yy)
                    for (int x = 0; x < 96; ++x) sum += d->Rgb(x, yy) & 255;
                EXPECT_NEAR(sum / (96 * 8), level, d->depth() == 1 ? 4 : 1)
                    << "level " << level << ", rows " << y << "-" << y + 7 << ", depth " << d->depth();
            }
    }
}

TEST(Mono, DitheringKeepsTheMeanAndSmallImagesThreshold) {
    Dib grey, one;
    ASSERT_TRUE(Make(&grey, 64, 64, 24));
    Fill(&grey, [](int, int) { return 0x404040u; });
    ASSERT_TRUE(Make(&one, 64, 64, 1));
    ASSERT_GT(Tone_ToMonochrome(grey.h, grey.b, 0, one.h, one.b), 0);
    int white = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) white += one.Rgb(x, y) == 0xFFFFFF;
    EXPECT_NEAR(white / 4096.0, 64 / 255.0, 0.02);

    Dib tiny, tinyOut;
    ASSERT_TRUE(Make(&tiny, 3, 2, 24));
    Fill(&tiny, [](int x, int) { return x == 1 ? 0xC0C0C0u : 0x303030u; });
    ASSERT_TRUE(Make(&tinyOut, 3, 2, 1));
    ASSERT_GT(Tone_ToMonochromeSmall(tiny.h, tiny.b, 0, 0, tinyOut.h, tinyOut.b), 0);
    EXPECT_EQ(tinyOut.Rgb(0, 0), 0u);
    EXPECT_EQ(tinyOut.Rgb(1, 1), 0xFFFFFFu);
}

TEST(Misc, BitsForIndex) {
    int expect[][2] = {{-1, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 2}, {4, 4}, {15, 4}, {16, 8}, {255, 8}};
    for (auto& e : expect) EXPECT_EQ(DibMisc_BitsForIndex(e[0]), e[1]) << e[0];
}

TEST(Filters, EveryCodeGivesItsOwnLookAndUnknownCodesFail) {
    Dib base;
    ASSERT_TRUE(Make(&base, 48, 32, 24));
    Fill(&base, [](int x, int y) { return uint32_t(x * 5) << 16 | uint32_t(y * 7) << 8 | uint32_t((x * y) & 255); });
    std::set<uint64_t> looks;
    for (int code : kToneFilterCodes) {
        Dib img;
        ASSERT_TRUE(Make(&img, 48, 32, 24));
        memcpy(img.b, base.b, size_t(DibCore_GetRowStride(base.h, 0)) * 32);
        ASSERT_NE(DibOps_ApplyFilter(code, &img.h, &img.b), 0) << code;
        uint64_t hash = 1469598103934665603ull;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 48; ++x) hash = (hash ^ img.Rgb(x, y)) * 1099511628211ull;
        looks.insert(hash);
        // The monochrome family keeps brightness order: the lighter of two
        // source pixels stays the lighter.
        if (code <= 10) {
            EXPECT_LE(img.Rgb(0, 0) & 0xFF00, img.Rgb(47, 31) & 0xFF00) << code;
        }
    }
    EXPECT_EQ(looks.size(), 19u);

    for (int code : {0, 11, 16, 19, 23, 24, 27, -1}) {
        Dib img;
        ASSERT_TRUE(Make(&img, 4, 4, 8));
        DibHeader* before = img.h;
        EXPECT_EQ(DibOps_ApplyFilter(code, &img.h, &img.b), 0) << code;
        EXPECT_EQ(img.h, before);
    }
    // A palette image is widened to 24 bits first.
    Dib pal;
    ASSERT_TRUE(Make(&pal, 4, 4, 8));
    ASSERT_NE(DibOps_ApplyFilter(4, &pal.h, &pal.b), 0);
    EXPECT_EQ(pal.depth(), 24);
}

TEST(ResizeMask, KeepsTheTwoKindsOfEntry) {
    Dib mask;
    ASSERT_TRUE(Make(&mask, 4, 4, 8));
    SetEntry(&mask, 1, 0xFFFFFF, kTransparentMark);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) mask.SetIndex(x, y, x >= 2);
    PmSize size{7, 3};
    Dib out;
    ASSERT_GT(DibOps_ResizeMask(&size, -1, mask.h, mask.b, &out.h, &out.b), 0);
    EXPECT_EQ(out.width(), 7);
    for (int x = 0; x < 7; ++x) EXPECT_EQ(out.Index(x, 1), x >= 3 ? 1 : 0) << x;  // centre of 3 is at 2.0
    EXPECT_EQ(out.table()[1].reserved, kTransparentMark);
}

TEST(Scalers, HugeBrightBoxesAverageWithoutOverflow) {
    // A tiny box from a large image averages 5 to 20 megapixels per box:
    // sums of 255 pass 32 bits, and a rounded reciprocal of such a count
    // may push white past 255. Every scaler must give white.
    struct Size { int w, h; } sizes[] = {{5000, 4000}, {5004, 4001}};
    for (const Size& s : sizes) {
        Dib src;
        ASSERT_TRUE(Make(&src, s.w, s.h, 24));
        std::memset(src.b, 0xFF, size_t(DibCore_GetRowStride(src.h, 0)) * size_t(s.h));
        for (int side : {1, 2})
            for (int which = 0; which < 3; ++which) {
                Dib dst;
                ASSERT_TRUE(Make(&dst, side, side, 24));
                int r = which == 0   ? Geom_Shrink(0, src.h, src.b, 0, 0, side, side, dst.b)
                        : which == 1 ? Geom_ShrinkSmooth(0, 0, src.h, src.b, dst.h, dst.b)
                                     : Geom_Resample(0, src.h, src.b, 1, dst.h, dst.b);
                ASSERT_NE(r, 0);
                for (int y = 0; y < side; ++y)
                    for (int x = 0; x < side; ++x)
                        EXPECT_EQ(dst.Rgb(x, y), 0xFFFFFFu)
                            << s.w << "x" << s.h << " to " << side << "x" << side << " by scaler " << which;
            }
    }
}

TEST(Scalers, LastBoxesTakeTheLeftoverRowsAndColumns) {
    // 199 pixels in ten boxes of 19 leave 9: they belong to the last row and
    // column of boxes. Made black here, they darken those boxes; dropped,
    // the bottom and right edges would come out white.
    Dib src, dst;
    ASSERT_TRUE(Make(&src, 199, 199, 24));
    Fill(&src, [](int x, int y) { return x >= 190 || y >= 190 ? 0u : 0xFFFFFFu; });
    ASSERT_TRUE(Make(&dst, 10, 10, 24));
    ASSERT_NE(Geom_Shrink(0, src.h, src.b, 0, 0, 10, 10, dst.b), 0);
    const int edge = 255 * 19 / 28;             // boxes of 19 x 28, 9 rows black
    const int corner = 255 * 19 * 19 / (28 * 28);  // 28 x 28, 19 x 19 white
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(dst.Rgb(i, 0), 0xFFFFFFu) << i;
        EXPECT_NEAR(int(dst.Rgb(i, 9) & 255), edge, 2) << "bottom " << i;
        EXPECT_NEAR(int(dst.Rgb(9, i) & 255), edge, 2) << "right " << i;
    }
    EXPECT_NEAR(int(dst.Rgb(9, 9) & 255), corner, 2);
}

TEST(BitFields, ChannelMasksAreHonouredWhereverPixelsAreRead) {
    // 5-6-5: red, green, blue, a mid grey, white and the lowest green step.
    // Read as 5-5-5, green's low bit would leak into red and every green
    // would lose its top bit.
    const uint16_t px[6] = {0xF800, 0x07E0, 0x001F, 0x8410, 0xFFFF, 0x0020};
    const uint32_t rgb[6] = {0xFF0000, 0x00FF00, 0x0000FF, 0x848284, 0xFFFFFF, 0x000400};
    Dib src;
    ASSERT_TRUE(MakeMasked(&src, 6, 2, 16, 0xF800, 0x07E0, 0x001F));
    for (int y = 0; y < 2; ++y) std::memcpy(src.Row(y), px, sizeof px);

    Dib wide;
    ASSERT_TRUE(Make(&wide, 6, 2, 24));
    ASSERT_EQ(DibCore_ConvertDepth(src.h, src.b, wide.h, wide.b), 1);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(wide.Rgb(x, 1), rgb[x]) << "converted " << x;

    // Turning copies pixels into a new DIB, which has no masks of its own.
    Dib turned;
    ASSERT_EQ(DibOps_Rotate(0, kAngle180, src.h, src.b, &turned.h, &turned.b), 1);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(turned.Rgb(5 - x, 0), rgb[x]) << "turned " << x;

    // Through the pipeline: turned and zoomed, solid green stays green.
    Dib green;
    ASSERT_TRUE(MakeMasked(&green, 20, 10, 16, 0xF800, 0x07E0, 0x001F));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) std::memcpy(green.Row(y) + 2 * x, &px[1], 2);
    int depth = 16, index = -1;
    PmSize box{30, 50};
    ASSERT_EQ(TransformImage(3, 0, &depth, 0, kAngle90, 2, &box, 0, 1, 0, -1, &index, &green.h, &green.b), 0);
    ASSERT_EQ(green.width(), 30);
    for (int y = 0; y < 50; y += 7)
        for (int x = 0; x < 30; x += 7) ASSERT_EQ(green.Rgb(x, y), 0x00FF00u) << x << "," << y;

    // 32 bits with red in the low byte.
    Dib rgba, back;
    ASSERT_TRUE(MakeMasked(&rgba, 1, 1, 32, 0x000000FF, 0x0000FF00, 0x00FF0000));
    const uint8_t p32[4] = {0x11, 0x22, 0x33, 0};
    std::memcpy(rgba.b, p32, 4);
    ASSERT_TRUE(Make(&back, 1, 1, 24));
    ASSERT_EQ(DibCore_ConvertDepth(rgba.h, rgba.b, back.h, back.b), 1);
    EXPECT_EQ(back.Rgb(0, 0), 0x112233u);

    // Masks that overlap or are not one run of bits describe no pixel.
    for (uint32_t badGreen : {0xFC00u, 0x0F0Fu}) {
        Dib bad;
        ASSERT_TRUE(MakeMasked(&bad, 6, 2, 16, 0xF800, badGreen, 0x001F));
        EXPECT_EQ(DibCore_ConvertDepth(bad.h, bad.b, wide.h, wide.b), 0) << badGreen;
    }
}

TEST(DibCore, PackedDibsAreFreedAsOneBlock) {
    // Header, table and pixels in one block, as another program may pack
    // them: when a step replaces such an image, its pixel pointer must not
    // be freed on its own (the C library aborts here; Windows corrupts its
    // heap).
    for (int depth : {8, 24}) {
        LeakCheck leaks;
        {
            Dib d;
            ASSERT_TRUE(MakePacked(&d, 30, 20, depth));
            if (depth == 8)
                for (int i = 0; i < 256; ++i) SetEntry(&d, i, uint32_t(i) * 0x010101u);
            for (int y = 0; y < 20; ++y)
                for (int x = 0; x < 30; ++x) {
                    if (depth == 8) d.SetIndex(x, y, x * 8);
                    else d.SetRgb(x, y, uint32_t(x * 8) * 0x010101u);
                }
            int bitDepth = depth, index = -1;
            PmSize box{20, 20};
            ASSERT_EQ(TransformImage(3, 0, &bitDepth, 24, kAngle90, 1, &box, 0, 1, 0, -1, &index, &d.h, &d.b), 0);
            EXPECT_EQ(d.width(), 13);  // replaced: turned and zoomed
            EXPECT_EQ(d.height(), 20);
            // Turned counter-clockwise: the right column, lightest, on top.
            EXPECT_GT(d.Rgb(0, 0) & 255, 200u);
        }
        EXPECT_EQ(leaks.Leaked(), 0) << depth;
        EXPECT_EQ(PmHeap_BadFrees(), 0) << depth;
    }
}
