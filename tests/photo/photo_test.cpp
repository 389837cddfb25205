// Turning photos upright, colour profiles, no-enlarge zoom and the metadata
// that goes into an output file.
#include "imaging/photo.h"
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmimgkit.h"
#include "photo/exif_builder.h"
#include "photo/icc_fixture.h"
#include "photo/photo_files.h"
#include "pixels/dibtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

using dibtest::Dib;

namespace {

// How a camera stores an upright picture U (w x h) under each orientation
// value, written from the value's meaning rather than from the code that
// undoes it: S(x, y) = U(...).
using Pick = std::function<void(int x, int y, int w, int h, int* ux, int* uy)>;
const Pick kStored[9] = {
    nullptr,
    [](int x, int y, int, int, int* ux, int* uy) { *ux = x; *uy = y; },                  // as is
    [](int x, int y, int w, int, int* ux, int* uy) { *ux = w - 1 - x; *uy = y; },        // mirrored
    [](int x, int y, int w, int h, int* ux, int* uy) { *ux = w - 1 - x; *uy = h - 1 - y; },  // upside down
    [](int x, int y, int, int h, int* ux, int* uy) { *ux = x; *uy = h - 1 - y; },        // mirrored top to bottom
    [](int x, int y, int, int, int* ux, int* uy) { *ux = y; *uy = x; },                  // across the diagonal
    [](int x, int y, int w, int, int* ux, int* uy) { *ux = w - 1 - y; *uy = x; },        // turned anticlockwise
    [](int x, int y, int w, int h, int* ux, int* uy) { *ux = w - 1 - y; *uy = h - 1 - x; },  // across the other diagonal
    [](int x, int y, int, int h, int* ux, int* uy) { *ux = y; *uy = h - 1 - x; },        // turned clockwise
};

uint32_t UprightColour(int x, int y) { return uint32_t(x * 40 + 1) << 16 | uint32_t(y * 50 + 2) << 8 | uint32_t(x ^ y); }

void MakeStored(int orientation, int w, int h, int depth, Dib* out) {
    bool swap = orientation >= 5;
    int sw = swap ? h : w, sh = swap ? w : h;
    ASSERT_TRUE(dibtest::Make(out, sw, sh, depth));
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            int ux, uy;
            kStored[orientation](x, y, w, h, &ux, &uy);
            if (depth <= 8) out->SetIndex(x, y, (ux + uy * w) % (1 << depth));
            else out->SetRgb(x, y, UprightColour(ux, uy));
        }
}

TEST(PhotoUpright, EveryOrientationGivesTheSamePicture) {
    for (int depth : {1, 4, 8, 24, 32}) {
        const int w = 5, h = 3;  // odd sides catch off-by-one mirrors
        for (int o = 1; o <= 8; ++o) {
            dibtest::LeakCheck leaks;
            {
                Dib d;
                MakeStored(o, w, h, depth, &d);
                ASSERT_EQ(Photo_Upright(o, &d.h, &d.b), 0);
                ASSERT_EQ(d.width(), w) << "orientation " << o << " depth " << depth;
                ASSERT_EQ(d.height(), h);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        if (depth <= 8)
                            EXPECT_EQ(d.Index(x, y), (x + y * w) % (1 << depth))
                                << "orientation " << o << " depth " << depth << " at " << x << "," << y;
                        else
                            EXPECT_EQ(d.Rgb(x, y), UprightColour(x, y))
                                << "orientation " << o << " depth " << depth << " at " << x << "," << y;
                    }
            }
            EXPECT_EQ(leaks.Leaked(), 0);
        }
    }
}

TEST(PhotoUpright, SwappedSidesSwapTheResolutionToo) {
    Dib d;
    ASSERT_TRUE(dibtest::Make(&d, 4, 2, 24));
    d.h->biXPelsPerMeter = 100;
    d.h->biYPelsPerMeter = 200;
    ASSERT_EQ(Photo_Upright(6, &d.h, &d.b), 0);
    EXPECT_EQ(d.h->biXPelsPerMeter, 200);
    EXPECT_EQ(d.h->biYPelsPerMeter, 100);
}

TEST(PhotoUpright, UprightAndUnknownValuesKeepTheImage) {
    Dib d;
    ASSERT_TRUE(dibtest::Make(&d, 4, 2, 24));
    DibHeader* before = d.h;
    for (int o : {0, 1, 9, -3}) {
        EXPECT_EQ(Photo_Upright(o, &d.h, &d.b), 0);
        EXPECT_EQ(d.h, before);
    }
}

TEST(PhotoUpright, ReducedPictureExtentFollowsTheTurn) {
    // A 10 x 6 decode whose picture covers 9.5 x 5.25 from its top left:
    // turned upright, the partial column and row may end up first.
    const PmExtent e{0, 0, 9.5, 5.25};
    const PmSize stored{10, 6};
    struct Want {
        int o;
        PmExtent e;
    };
    const Want wants[] = {
        {1, {0, 0, 9.5, 5.25}},   {2, {0.5, 0, 9.5, 5.25}}, {3, {0.5, 0.75, 9.5, 5.25}}, {4, {0, 0.75, 9.5, 5.25}},
        {5, {0, 0, 5.25, 9.5}},   {6, {0.75, 0, 5.25, 9.5}}, {7, {0.75, 0.5, 5.25, 9.5}}, {8, {0, 0.5, 5.25, 9.5}},
    };
    for (const Want& w : wants) {
        PmExtent got = Photo_OrientExtent(w.o, e, stored);
        EXPECT_DOUBLE_EQ(got.x, w.e.x) << "orientation " << w.o;
        EXPECT_DOUBLE_EQ(got.y, w.e.y) << "orientation " << w.o;
        EXPECT_DOUBLE_EQ(got.width, w.e.width) << "orientation " << w.o;
        EXPECT_DOUBLE_EQ(got.height, w.e.height) << "orientation " << w.o;
    }
}

// Pixels left as stored and then turned by the Direction rule: the written
// orientation, applied by a viewer, still gives the upright picture.
TEST(PictureGeometry, OrientationAfterATurnStillLeadsUpright) {
    for (int o = 1; o <= 8; ++o)
        for (int32_t angle : {0, kAngle90, kAngle180, kAngle270, -kAngle90, 5 * kAngle90}) {
            Dib d;
            MakeStored(o, 5, 3, 24, &d);
            if (angle % (4 * kAngle90) != 0) {
                DibHeader* h = nullptr;
                uint8_t* b = nullptr;
                ASSERT_EQ(DibOps_Rotate(0, (angle % (4 * kAngle90) + 4 * kAngle90) % (4 * kAngle90), d.h, d.b, &h, &b), 1);
                DibCore_Free(d.h, d.b);
                d.h = h;
                d.b = b;
            }
            const PictureGeometry g(PmSize{d.width(), d.height()}, PmSize{0, 0}, 1, o);
            const int written = g.OutputOrientation(angle);
            ASSERT_EQ(Photo_Upright(written, &d.h, &d.b), 0);
            ASSERT_EQ(d.width(), 5) << "orientation " << o << " angle " << angle / 65536 << " wrote " << written;
            bool same = true;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x) same = same && d.Rgb(x, y) == UprightColour(x, y);
            EXPECT_TRUE(same) << "orientation " << o << " angle " << angle / 65536 << " wrote " << written;
        }
    // Angles that are no quarter turn turn nothing.
    EXPECT_EQ(Orientation_AfterTurn(6, 45 * 65536), 6);
    EXPECT_EQ(Orientation_AfterTurn(0, 0), 1);
}

TEST(PictureGeometry, SizesAndPlacesFollowTheTurnUpright) {
    // 4000 x 3000 stored on its side (6), read at 1/8 as 375 x 500.
    PictureGeometry g(PmSize{375, 500}, PmSize{3000, 4000}, 8, 6);
    EXPECT_TRUE(g.Reduced());
    EXPECT_EQ(g.Upright().cx, 4000);
    EXPECT_EQ(g.Full().cx, 3000) << "not turned yet";
    EXPECT_EQ(g.AsStored(PmSize{40, 30}).cx, 30);
    PmExtent e = g.PictureExtent();
    EXPECT_DOUBLE_EQ(e.width, 375);
    EXPECT_DOUBLE_EQ(e.height, 500);
    EXPECT_EQ(g.OutputOrientation(kAngle270), 1) << "turned by the rule as the camera would";
    g.SetTurnedUpright();
    EXPECT_EQ(g.Full().cx, 4000);
    EXPECT_EQ(g.Decoded().cx, 500);
    EXPECT_EQ(g.OutputOrientation(kAngle90), 1) << "the settings' own picture";
    // A side that does not divide: the picture does not fill the last
    // stored column, which lies at the upright left.
    PictureGeometry odd(PmSize{3, 2}, PmSize{20, 10}, 8, 6);
    odd.SetTurnedUpright();
    e = odd.PictureExtent();
    EXPECT_DOUBLE_EQ(e.x, 0.75);
    EXPECT_DOUBLE_EQ(e.width, 1.25);
    EXPECT_DOUBLE_EQ(e.height, 2.5);
    // No full size from the reader: the decoded one; nonsense orientations
    // are upright.
    PictureGeometry plain(PmSize{7, 9}, PmSize{0, 0}, 0, 42);
    EXPECT_FALSE(plain.Reduced());
    EXPECT_EQ(plain.StoredOrientation(), 1);
    EXPECT_EQ(plain.Upright().cx, 7);
}

// --- colour profiles --------------------------------------------------------

const uint32_t kSwatches[] = {0x20C040, 0xE03020, 0x2040E0, 0x808080, 0xF0E0A0, 0x10A0A0, 0x000000, 0xFFFFFF};

void SwatchImage(Dib* d, int depth = 24) {
    ASSERT_TRUE(dibtest::Make(d, 8, 2, depth));
    dibtest::Fill(d, [](int x, int) { return kSwatches[x]; });
}

int MaxChannelDiff(uint32_t a, uint32_t b) {
    int m = 0;
    for (int s = 0; s < 24; s += 8) m = std::max(m, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
    return m;
}

TEST(ColorProfile, AdobeRgbPixelsComeBackToTheSrgbColours) {
    Dib d;
    SwatchImage(&d);
    for (int y = 0; y < 2; ++y) icctest::SrgbToAdobe(d.Row(y), 8);
    int moved = 0;
    for (int x = 0; x < 8; ++x) moved = std::max(moved, MaxChannelDiff(d.Rgb(x, 0), kSwatches[x]));
    ASSERT_GT(moved, 20) << "the Adobe RGB encoding must differ visibly for the test to mean anything";

    std::vector<uint8_t> adobe = icctest::AdobeRgb();
    ASSERT_EQ(Color_DibToSrgb(adobe.data(), adobe.size(), d.h, d.b), IccOutcome::Converted);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_LE(MaxChannelDiff(d.Rgb(x, y), kSwatches[x]), 3) << "swatch " << x;
}

TEST(ColorProfile, AlphaAndTransparencyMarksSurvive) {
    std::vector<uint8_t> adobe = icctest::AdobeRgb();
    Dib d;
    SwatchImage(&d, 32);
    for (int x = 0; x < 8; ++x) d.Row(0)[x * 4 + 3] = uint8_t(x * 30);
    ASSERT_EQ(Color_DibToSrgb(adobe.data(), adobe.size(), d.h, d.b), IccOutcome::Converted);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(d.Row(0)[x * 4 + 3], x * 30);

    Dib p;
    ASSERT_TRUE(dibtest::Make(&p, 2, 1, 8));
    dibtest::SetEntry(&p, 0, 0x20C040);
    dibtest::SetEntry(&p, 1, 0x20C040, kTransparentMark);
    p.SetIndex(1, 0, 1);
    ASSERT_EQ(Color_DibToSrgb(adobe.data(), adobe.size(), p.h, p.b), IccOutcome::Converted);
    EXPECT_NE(p.Rgb(0, 0), 0x20C040u) << "the colour table is converted";
    EXPECT_EQ(p.table()[1].reserved, kTransparentMark);
    EXPECT_EQ(p.Index(1, 0), 1);
}

TEST(ColorProfile, GreyProfileKeepsAGreyTableGrey) {
    std::vector<uint8_t> grey = icctest::LinearGrey();
    Dib d;
    ASSERT_TRUE(dibtest::Make(&d, 4, 1, 8));
    for (int i = 0; i < 256; ++i) dibtest::SetEntry(&d, i, uint32_t(i) * 0x010101);
    ASSERT_EQ(Color_DibToSrgb(grey.data(), grey.size(), d.h, d.b), IccOutcome::Converted);
    for (int i = 0; i < 256; ++i) {
        const RgbQuad& q = d.table()[i];
        EXPECT_TRUE(q.red == q.green && q.green == q.blue) << "entry " << i;
    }
    // Linear light 50% is sRGB 188.
    EXPECT_NEAR(d.table()[128].red, 188, 3);
    // A grey profile does not describe colour pixels, nor a table of which
    // one entry differs in any one channel.
    Dib c;
    SwatchImage(&c);
    EXPECT_EQ(Color_DibToSrgb(grey.data(), grey.size(), c.h, c.b), IccOutcome::Unusable);
    EXPECT_EQ(c.Rgb(0, 0), kSwatches[0]);
    for (uint32_t odd : {0x817F7Fu, 0x7F817Fu, 0x7F7F81u}) {
        Dib t;
        ASSERT_TRUE(dibtest::Make(&t, 4, 1, 8));
        for (int i = 0; i < 256; ++i) dibtest::SetEntry(&t, i, i == 200 ? odd : uint32_t(i) * 0x010101);
        EXPECT_EQ(Color_DibToSrgb(grey.data(), grey.size(), t.h, t.b), IccOutcome::Unusable) << std::hex << odd;
        EXPECT_EQ(t.Rgb(0, 0), 0u);
        EXPECT_EQ(t.table()[128].red, 128) << "the table stays as it was";
    }
}

TEST(ColorProfile, GreyWithAlphaMeetsItsGreyProfile) {
    std::vector<uint8_t> grey = icctest::LinearGrey();
    Dib d;
    ASSERT_TRUE(dibtest::Make(&d, 3, 1, 32));
    for (int x = 0; x < 3; ++x) {
        uint8_t* px = d.Row(0) + x * 4;
        px[0] = px[1] = px[2] = uint8_t(x * 64);  // 0, 64, 128
        px[3] = uint8_t(10 + x);
    }
    ASSERT_EQ(Color_DibToSrgb(grey.data(), grey.size(), d.h, d.b), IccOutcome::Converted);
    const uint8_t* px = d.Row(0) + 2 * 4;
    EXPECT_NEAR(px[0], 188, 3);  // linear 50% is sRGB 188
    EXPECT_TRUE(px[0] == px[1] && px[1] == px[2]);
    EXPECT_EQ(px[3], 12) << "alpha rides along";
    // One pixel with colour in it: the grey profile does not describe it.
    for (int channel = 0; channel < 3; ++channel) {
        Dib c;
        ASSERT_TRUE(dibtest::Make(&c, 2, 1, 32));
        c.Row(0)[4 + channel] = 9;
        EXPECT_EQ(Color_DibToSrgb(grey.data(), grey.size(), c.h, c.b), IccOutcome::Unusable) << channel;
    }
}

TEST(ColorProfile, SrgbIsKnownByItsPrimariesAndCurvesNotItsName) {
    auto described = [](cmsHPROFILE p, const char* text) {
        icctest::Describe(p, text);
        return icctest::Save(p);
    };
    // Adobe RGB's primaries with sRGB's tone curve, named as if sRGB.
    auto wideWithSrgbCurve = [] {
        cmsCIExyY white = {0.3127, 0.3290, 1.0};
        cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
        const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
        cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, params);
        cmsToneCurve* curves[3] = {curve, curve, curve};
        cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
        cmsFreeToneCurve(curve);
        return p;
    };
    // sRGB's primaries with a plain 2.2 gamma.
    auto srgbPrimariesGamma22 = [] {
        cmsCIExyY white = {0.3127, 0.3290, 1.0};
        cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
        cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
        cmsToneCurve* curves[3] = {gamma, gamma, gamma};
        cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
        cmsFreeToneCurve(gamma);
        return p;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> icc;
        IccOutcome want;
    };
    const Case cases[] = {
        {"sRGB", icctest::Srgb(), IccOutcome::AlreadySrgb},
        {"sRGB under another name", described(cmsCreate_sRGBProfile(), "Camera RGB"), IccOutcome::AlreadySrgb},
        {"esRGB", described(wideWithSrgbCurve(), "esRGB"), IccOutcome::Converted},
        {"Adobe RGB called sRGB", described(icctest::AdobeRgbProfile(), "sRGB IEC61966-2.1"), IccOutcome::Converted},
        {"sRGB primaries, gamma 2.2", described(srgbPrimariesGamma22(), "sRGB"), IccOutcome::Converted},
    };
    for (const Case& c : cases) {
        Dib d;
        SwatchImage(&d);
        EXPECT_EQ(Color_DibToSrgb(c.icc.data(), c.icc.size(), d.h, d.b), c.want) << c.what;
    }
}

TEST(ColorProfile, SrgbAndBrokenProfilesLeaveThePixels) {
    std::vector<uint8_t> srgb = icctest::Srgb();
    std::vector<uint8_t> adobe = icctest::AdobeRgb();
    std::vector<uint8_t> cut(adobe.begin(), adobe.begin() + long(adobe.size() / 2));
    std::vector<uint8_t> junk(600, 0x5A);
    std::vector<uint8_t> wrongSize = adobe;
    wrongSize[0] = 0x7F;  // the header's size field claims more than there is
    Dib d;
    SwatchImage(&d);
    EXPECT_EQ(Color_DibToSrgb(srgb.data(), srgb.size(), d.h, d.b), IccOutcome::AlreadySrgb);
    for (const auto* bad : {&cut, &junk, &wrongSize})
        EXPECT_EQ(Color_DibToSrgb(bad->data(), bad->size(), d.h, d.b), IccOutcome::Unusable);
    EXPECT_EQ(Color_DibToSrgb(nullptr, 0, d.h, d.b), IccOutcome::Unusable);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(d.Rgb(x, 0), kSwatches[x]);
    EXPECT_TRUE(Color_ProfileUsable(adobe.data(), adobe.size()));
    EXPECT_FALSE(Color_ProfileUsable(junk.data(), junk.size()));
    EXPECT_EQ(Color_OpenCmykToSrgb(adobe.data(), adobe.size(), false), nullptr) << "an RGB profile is no CMYK profile";
}

TEST(ColorProfile, ReaderConvertedOrMissingProfilesAreNotAppliedAgain) {
    Dib d;
    SwatchImage(&d);
    DibMetadata meta;
    meta.icc = icctest::AdobeRgb();
    meta.iccApplied = true;
    EXPECT_FALSE(Photo_ToSrgb(meta, d.h, d.b));
    EXPECT_EQ(d.Rgb(0, 0), kSwatches[0]);
    meta.iccApplied = false;
    EXPECT_TRUE(Photo_ToSrgb(meta, d.h, d.b));
    EXPECT_FALSE(Photo_ToSrgb(DibMetadata{}, d.h, d.b));
}

// --- no enlarging -----------------------------------------------------------

struct NoEnlargeCase {
    int resize, w, h, angle;
    PmSize box;
    int wantResize;
    PmSize wantBox;
};

TEST(NoEnlarge, FitAndStretchNeverGrowAnAxis) {
    const NoEnlargeCase cases[] = {
        // fit: an image inside the box keeps its size, any larger one fits
        {1, 50, 40, 0, {96, 96}, 0, {96, 96}},
        {1, 96, 96, 0, {96, 96}, 0, {96, 96}},
        {1, 96, 50, 0, {96, 96}, 0, {96, 96}},
        {1, 200, 100, 0, {96, 96}, 1, {96, 96}},
        {1, 50, 200, 0, {96, 96}, 1, {96, 96}},
        // the Direction turn is taken into account
        {1, 120, 50, 0, {120, 50}, 0, {120, 50}},
        {1, 120, 50, kAngle90, {120, 50}, 1, {120, 50}},
        // stretch: each axis at most the image's own
        {2, 50, 40, 0, {96, 96}, 0, {96, 96}},
        {2, 200, 50, 0, {96, 96}, 2, {96, 50}},
        {2, 40, 200, kAngle270, {96, 96}, 2, {96, 40}},
        {2, 300, 300, 0, {96, 96}, 2, {96, 96}},
        // box sides below 1 count as 1, as in the pipeline
        {1, 5, 5, 0, {0, -4}, 1, {0, -4}},
        // keep stays keep
        {0, 5, 5, 0, {96, 96}, 0, {96, 96}},
    };
    for (const NoEnlargeCase& c : cases) {
        int resize = c.resize;
        PmSize box = c.box;
        ApplyNoEnlarge(c.angle, &resize, &box, c.w, c.h);
        EXPECT_EQ(resize, c.wantResize) << c.w << "x" << c.h << " resize " << c.resize;
        EXPECT_EQ(box.cx, c.wantBox.cx) << c.w << "x" << c.h << " resize " << c.resize;
        EXPECT_EQ(box.cy, c.wantBox.cy) << c.w << "x" << c.h << " resize " << c.resize;
    }
}

// --- metadata for the output ------------------------------------------------

// The colour space the Exif IFD states (0 when missing) and the
// interoperability index's first three characters.
uint32_t ColorSpaceOf(const std::vector<uint8_t>& exif) {
    ExifFields f;
    if (!Exif_CollectFields(exif.data(), exif.size(), &f)) return 0;
    for (const ExifField& e : f.exif)
        if (e.tag == 0xA001 && e.value.size() >= 2) return uint32_t(e.value[0] | e.value[1] << 8);
    return 0;
}
std::string InteropIndexOf(const std::vector<uint8_t>& exif) {
    const char* r = "R0";
    auto at = std::search(exif.begin(), exif.end(), r, r + 2);
    if (at == exif.end()) at = std::search(exif.begin(), exif.end(), "R9", "R9" + 2);
    return at == exif.end() ? std::string() : std::string(at, at + 3);
}

TEST(OutputMeta, EachFormatGetsWhatItHasRoomFor) {
    exiftest::Builder b(false);
    DibMetadata in;
    in.exif = b.Camera(6, 4000, 3000);
    in.segments.push_back(DibSegment{0xE1, {'h', 't', 't', 'p'}});
    const std::string packet = "<rdf:Description tiff:Orientation=\"6\" exif:PixelXDimension=\"4000\"/>";
    in.segments.push_back(DibSegment{0xE1, Exif_XmpApp1(reinterpret_cast<const uint8_t*>(packet.data()), packet.size())});
    DibMetadata out;
    ASSERT_TRUE(Photo_OutputMeta(in, PhotoOutput{kTypeJpeg, 1, 96, 72, false, true}, &out));
    EXPECT_EQ(Exif_OrientationFromBytes(out.exif.data(), out.exif.size()), 1);
    EXPECT_EQ(Exif_Inspect(out.exif.data(), out.exif.size()).pixelWidth, 96);
    ASSERT_EQ(out.segments.size(), 2u);
    size_t n = 0;
    const uint8_t* xmp = Exif_XmpFromApp1(out.segments[1].data.data(), out.segments[1].data.size(), &n);
    ASSERT_NE(xmp, nullptr);
    EXPECT_EQ(std::string(xmp, xmp + n), "<rdf:Description tiff:Orientation=\"1\" exif:PixelXDimension=\"96\"/>");

    ASSERT_TRUE(Photo_OutputMeta(in, PhotoOutput{kTypePng, 1, 96, 72, false, true}, &out));
    EXPECT_FALSE(out.exif.empty());
    EXPECT_TRUE(out.segments.empty());

    // TIFF takes the segments too, and states the orientation in its own tag.
    ASSERT_TRUE(Photo_OutputMeta(in, PhotoOutput{kTypeTiff, 6, 96, 72, false, true}, &out));
    EXPECT_EQ(Exif_OrientationFromBytes(out.exif.data(), out.exif.size()), 6);
    EXPECT_EQ(out.orientation, 6);
    EXPECT_EQ(out.segments.size(), 2u);

    EXPECT_FALSE(Photo_OutputMeta(in, PhotoOutput{kTypeBmp, 1, 96, 72, false, true}, &out));
    EXPECT_FALSE(Photo_OutputMeta(in, PhotoOutput{kTypeGif, 1, 96, 72, false, true}, &out));
    // Without KeepMetadata none of the camera's data goes.
    EXPECT_FALSE(Photo_OutputMeta(in, PhotoOutput{kTypeJpeg, 1, 96, 72, false, false}, &out));

    // Broken EXIF is dropped; the segments still go.
    in.exif = {'I', 'I', 0, 0};
    ASSERT_TRUE(Photo_OutputMeta(in, PhotoOutput{kTypeJpeg, 1, 96, 72, false, true}, &out));
    EXPECT_TRUE(out.exif.empty());
    EXPECT_FALSE(Photo_OutputMeta(DibMetadata{}, PhotoOutput{kTypeJpeg, 1, 96, 72, false, true}, &out));
}

TEST(OutputMeta, ColoursSayWhatSpaceThePixelsAreIn) {
    exiftest::Builder b(true);
    DibMetadata in;
    in.exif = b.Photo(1, 4000, 3000, true);
    ASSERT_EQ(ColorSpaceOf(in.exif), 0xFFFFu);
    ASSERT_EQ(InteropIndexOf(in.exif), "R03");
    const std::vector<uint8_t> adobe = icctest::AdobeRgb(), grey = icctest::LinearGrey(), cmyk = icctest::SwappedCmyk();
    struct Case {
        const char* what;
        const std::vector<uint8_t>* icc;
        bool srgb, applied, keep;
        bool wantIcc;
        uint32_t wantSpace;  // 0: no EXIF
        const char* wantIndex;
    };
    const Case cases[] = {
        {"converted to sRGB", &adobe, true, false, true, false, 1, "R98"},
        {"converted by the reader", &cmyk, true, true, true, false, 1, "R98"},
        {"left in Adobe RGB", &adobe, false, false, true, true, 0xFFFF, "R03"},
        {"left in Adobe RGB, no camera data", &adobe, false, false, false, true, 0, ""},
        {"grey profile, grey pixels", &grey, false, false, false, true, 0, ""},
        {"CMYK profile of naively converted ink", &cmyk, false, false, false, false, 0, ""},
    };
    for (const Case& c : cases) {
        in.icc = *c.icc;
        in.iccApplied = c.applied;
        DibMetadata out;
        const bool any = Photo_OutputMeta(in, PhotoOutput{kTypeJpeg, 1, 96, 72, c.srgb, c.keep}, &out);
        EXPECT_EQ(any, c.wantIcc || c.wantSpace != 0) << c.what;
        EXPECT_EQ(out.icc, c.wantIcc ? *c.icc : std::vector<uint8_t>{}) << c.what;
        EXPECT_EQ(ColorSpaceOf(out.exif), c.wantSpace) << c.what;
        EXPECT_EQ(InteropIndexOf(out.exif), c.wantIndex) << c.what;
    }
}

TEST(OutputMeta, App13KeepsTheIptcRecordAlone) {
    // Photoshop's resources: a thumbnail (0x040C) before the IPTC record.
    std::vector<uint8_t> app13 = phototest::Iptc().data;
    const uint8_t thumb[] = {'8', 'B', 'I', 'M', 0x04, 0x0C, 0, 0, 0, 0, 0, 5, 0xFF, 0xD8, 0xFF, 0xD9, 0x00, 0};
    app13.insert(app13.begin() + 14, thumb, thumb + sizeof thumb);
    DibMetadata in;
    in.segments = {DibSegment{0xED, app13}, DibSegment{0xED, {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.',
                                                               '0', 0, '8', 'B', 'I', 'M', 0x04, 0x0C, 0, 0, 0, 0, 0, 0}}};
    DibMetadata out;
    ASSERT_TRUE(Photo_OutputMeta(in, PhotoOutput{kTypeJpeg, 1, 96, 72, false, true}, &out));
    ASSERT_EQ(out.segments.size(), 1u) << "a block without IPTC has nothing to keep";
    EXPECT_EQ(out.segments[0].marker, 0xED);
    EXPECT_EQ(out.segments[0].data, phototest::Iptc().data);
}

}  // namespace
