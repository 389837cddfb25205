// PMCOLOR: ICC profile conversion to sRGB with Little CMS 2.
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibcore/dibpixels.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <lcms2.h>

using namespace pmpix;

namespace {

// Profiles, transforms and curves each freed once.
struct Profile {
    cmsHPROFILE h = nullptr;
    explicit Profile(cmsHPROFILE p) : h(p) {}
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    ~Profile() {
        if (h) cmsCloseProfile(h);
    }
};
struct Transform {
    cmsHTRANSFORM h = nullptr;
    explicit Transform(cmsHTRANSFORM t) : h(t) {}
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;
    ~Transform() {
        if (h) cmsDeleteTransform(h);
    }
};

cmsHPROFILE OpenProfile(const uint8_t* data, size_t size) {
    if (!data || size < 132 || size > kMaxIccBytes) return nullptr;
    // The header states the profile's size. A profile cut short (a lost
    // JPEG chunk, a truncated file) may still open, with tags past the cut
    // read as garbage or left out: it is not used.
    uint32_t declared = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    if (declared < 132 || declared > size) return nullptr;
    return cmsOpenProfileFromMem(data, cmsUInt32Number(declared));
}

// The header's colour space as a plain number: a hostile profile may state
// any value, which no enumerator of the library's type stands for.
uint32_t SpaceOf(cmsHPROFILE p) { return static_cast<uint32_t>(cmsGetColorSpace(p)); }

// sRGB profiles (every camera's default, and what most photo software
// embeds) need no work. They are known by what they do, not by their
// description: "esRGB" or "sRGB-like" names describe other spaces, and
// sRGB profiles of other makers carry other names. Their primaries and tone
// curves must match sRGB's within what 8-bit samples can show.
bool IsSrgb(cmsHPROFILE p) {
    // A table-based profile is used through its tables whatever its
    // primaries say.
    if (!cmsIsMatrixShaper(p) || cmsIsTag(p, cmsSigAToB0Tag) || cmsIsTag(p, cmsSigAToB1Tag)) return false;
    Profile ref(cmsCreate_sRGBProfile());
    if (!ref.h) return false;
    const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int i = 0; i < 3; ++i) {
        const auto* a = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, colorants[i]));
        const auto* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(ref.h, colorants[i]));
        if (!a || !b) return false;
        constexpr double kColorant = 0.002;
        if (std::fabs(a->X - b->X) > kColorant || std::fabs(a->Y - b->Y) > kColorant || std::fabs(a->Z - b->Z) > kColorant)
            return false;
        const auto* ca = static_cast<const cmsToneCurve*>(cmsReadTag(p, curves[i]));
        const auto* cb = static_cast<const cmsToneCurve*>(cmsReadTag(ref.h, curves[i]));
        if (!ca || !cb) return false;
        for (int k = 0; k <= 64; ++k) {
            const cmsFloat32Number v = cmsFloat32Number(k) / 64;
            if (std::fabs(cmsEvalToneCurveFloat(ca, v) - cmsEvalToneCurveFloat(cb, v)) > 0.5 / 255) return false;
        }
    }
    return true;
}

// A grey output with the sRGB tone curve, so grey images stay one channel.
cmsHPROFILE CreateSrgbGrey() {
    // The sRGB transfer function as a parametric curve of type 4.
    const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    if (!curve) return nullptr;
    cmsHPROFILE p = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return p;
}

cmsHTRANSFORM ToSrgb(cmsHPROFILE in, cmsUInt32Number inFormat, cmsUInt32Number outFormat, cmsUInt32Number flags) {
    Profile srgb(cmsCreate_sRGBProfile());
    if (!srgb.h) return nullptr;
    return cmsCreateTransform(in, inFormat, srgb.h, outFormat, INTENT_PERCEPTUAL, flags);
}

bool ConvertTable(cmsHPROFILE in, RgbQuad* table, int count) {
    Transform t(ToSrgb(in, TYPE_BGRA_8, TYPE_BGRA_8, cmsFLAGS_COPY_ALPHA));
    if (!t.h) return false;
    // The fourth byte marks transparency; it rides along untouched.
    cmsDoTransform(t.h, table, table, cmsUInt32Number(count));
    return true;
}

bool ConvertGreyTable(cmsHPROFILE in, RgbQuad* table, int count) {
    Profile grey(CreateSrgbGrey());
    if (!grey.h) return false;
    Transform t(cmsCreateTransform(in, TYPE_GRAY_8, grey.h, TYPE_GRAY_8, INTENT_PERCEPTUAL, 0));
    if (!t.h) return false;
    for (int i = 0; i < count; ++i) {
        uint8_t v = table[i].red, out = v;
        cmsDoTransform(t.h, &v, &out, 1);
        table[i].red = table[i].green = table[i].blue = out;
    }
    return true;
}

bool GreyTableOf(const View& v) {
    for (int i = 0; i < v.tableCount; ++i)
        if (v.table[i].red != v.table[i].green || v.table[i].green != v.table[i].blue) return false;
    return v.tableCount > 0;
}

// Grey with alpha comes out of the readers as BGRA whose three colour
// samples agree; a grey profile describes it as well as a grey table.
bool GreyPixelsOf(const View& v) {
    const int step = v.bitCount / 8;
    for (int y = 0; y < v.height; ++y) {
        const uint8_t* row = v.bits + size_t(y) * size_t(v.stride);
        for (int x = 0; x < v.width; ++x) {
            const uint8_t* px = row + size_t(x) * step;
            if (px[0] != px[1] || px[1] != px[2]) return false;
        }
    }
    return true;
}

// The grey profile's 256 levels in sRGB's tone curve.
bool GreyLevels(cmsHPROFILE in, uint8_t levels[256]) {
    Profile grey(CreateSrgbGrey());
    if (!grey.h) return false;
    Transform t(cmsCreateTransform(in, TYPE_GRAY_8, grey.h, TYPE_GRAY_8, INTENT_PERCEPTUAL, 0));
    if (!t.h) return false;
    uint8_t ramp[256];
    for (int i = 0; i < 256; ++i) ramp[i] = uint8_t(i);
    cmsDoTransform(t.h, ramp, levels, 256);
    return true;
}

bool ConvertGreyPixels(cmsHPROFILE in, const View& v) {
    uint8_t levels[256];
    if (!GreyLevels(in, levels)) return false;
    const int step = v.bitCount / 8;
    for (int y = 0; y < v.height; ++y) {
        uint8_t* row = v.bits + size_t(y) * size_t(v.stride);
        for (int x = 0; x < v.width; ++x) {
            uint8_t* px = row + size_t(x) * step;
            px[0] = px[1] = px[2] = levels[px[0]];
        }
    }
    return true;
}

}  // namespace

IccOutcome Color_DibToSrgb(const uint8_t* data, size_t size, DibHeader* header, uint8_t* bits) {
    View v;
    if (!MakeView(header, bits, &v) || header->biCompression != kBiRgb) return IccOutcome::Unusable;
    Profile in(OpenProfile(data, size));
    if (!in.h) return IccOutcome::Unusable;
    const uint32_t space = SpaceOf(in.h);
    if (space == cmsSigRgbData && IsSrgb(in.h)) return IccOutcome::AlreadySrgb;

    if (v.bitCount <= 8) {
        RgbQuad* table = TableOf(header);
        if (space == cmsSigGrayData && GreyTableOf(v))
            return ConvertGreyTable(in.h, table, v.tableCount) ? IccOutcome::Converted : IccOutcome::Unusable;
        if (space == cmsSigRgbData)
            return ConvertTable(in.h, table, v.tableCount) ? IccOutcome::Converted : IccOutcome::Unusable;
        return IccOutcome::Unusable;
    }
    if (v.bitCount != 24 && v.bitCount != 32) return IccOutcome::Unusable;
    if (space == cmsSigGrayData && GreyPixelsOf(v))
        return ConvertGreyPixels(in.h, v) ? IccOutcome::Converted : IccOutcome::Unusable;
    if (space != cmsSigRgbData) return IccOutcome::Unusable;
    cmsUInt32Number format = v.bitCount == 24 ? TYPE_BGR_8 : TYPE_BGRA_8;
    Transform t(ToSrgb(in.h, format, format, v.bitCount == 32 ? cmsFLAGS_COPY_ALPHA : 0));
    if (!t.h) return IccOutcome::Unusable;
    // Input and output have one layout, so the rows convert in place.
    cmsDoTransformLineStride(t.h, v.bits, v.bits, cmsUInt32Number(v.width), cmsUInt32Number(v.height),
                             cmsUInt32Number(v.stride), cmsUInt32Number(v.stride), 0, 0);
    return IccOutcome::Converted;
}

bool Color_ProfileUsable(const uint8_t* data, size_t size) {
    Profile in(OpenProfile(data, size));
    if (!in.h) return false;
    const uint32_t space = SpaceOf(in.h);
    cmsUInt32Number format = space == cmsSigRgbData    ? TYPE_RGB_8
                             : space == cmsSigGrayData ? TYPE_GRAY_8
                             : space == cmsSigCmykData ? TYPE_CMYK_8
                                                       : 0;
    if (!format) return false;
    Transform t(ToSrgb(in.h, format, TYPE_RGB_8, 0));
    return t.h != nullptr;
}

struct ColorCmykTransform {
    cmsHTRANSFORM h;
};

ColorCmykTransform* Color_OpenCmykToSrgb(const uint8_t* data, size_t size, bool inverted) {
    Profile in(OpenProfile(data, size));
    if (!in.h || SpaceOf(in.h) != cmsSigCmykData) return nullptr;
    // Adobe's inverted samples are lcms2's "reversed" CMYK.
    cmsHTRANSFORM h = ToSrgb(in.h, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, TYPE_BGR_8, 0);
    if (!h) return nullptr;
    auto* t = new (std::nothrow) ColorCmykTransform{h};
    if (!t) cmsDeleteTransform(h);
    return t;
}

void Color_CmykToBgr(ColorCmykTransform* t, const uint8_t* cmyk, uint8_t* bgr, size_t pixels) {
    if (t && pixels) cmsDoTransform(t->h, cmyk, bgr, cmsUInt32Number(pixels));
}

void Color_Close(ColorCmykTransform* t) {
    if (!t) return;
    cmsDeleteTransform(t->h);
    delete t;
}
