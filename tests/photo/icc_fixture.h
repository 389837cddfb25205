// Colour profiles made by Little CMS for the tests: Adobe RGB (1998) with
// its published primaries, white point and gamma, sRGB, and a linear grey.
#pragma once
#include <lcms2.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace icctest {

inline std::vector<uint8_t> Save(cmsHPROFILE p) {
    std::vector<uint8_t> out;
    cmsUInt32Number n = 0;
    if (p && cmsSaveProfileToMem(p, nullptr, &n) && n) {
        out.resize(n);
        cmsSaveProfileToMem(p, out.data(), &n);
    }
    if (p) cmsCloseProfile(p);
    return out;
}

inline void Describe(cmsHPROFILE p, const char* text) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", text);
    cmsWriteTag(p, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
}

inline cmsHPROFILE AdobeRgbProfile() {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    if (p) Describe(p, "Adobe RGB (1998)");
    return p;
}

inline std::vector<uint8_t> AdobeRgb() { return Save(AdobeRgbProfile()); }
inline std::vector<uint8_t> Srgb() { return Save(cmsCreate_sRGBProfile()); }
inline std::vector<uint8_t> LinearGrey() {
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE p = cmsCreateGrayProfile(cmsD50_xyY(), linear);
    cmsFreeToneCurve(linear);
    if (p) Describe(p, "Linear grey");
    return Save(p);
}

// Converts BGR pixels (3 bytes each) from sRGB into Adobe RGB: what a camera
// set to Adobe RGB would have stored for the same scene.
inline void SrgbToAdobe(uint8_t* bgr, size_t pixels) {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE adobe = AdobeRgbProfile();
    cmsHTRANSFORM t = cmsCreateTransform(srgb, TYPE_BGR_8, adobe, TYPE_BGR_8, INTENT_PERCEPTUAL, 0);
    cmsDoTransform(t, bgr, bgr, cmsUInt32Number(pixels));
    cmsDeleteTransform(t);
    cmsCloseProfile(adobe);
    cmsCloseProfile(srgb);
}

}  // namespace icctest

namespace icctest {

// A CMYK output profile whose colours are plain to check: ink amounts as
// the naive formula turns them into RGB, with red and blue exchanged, so a
// picture converted through it looks unlike one converted without it.
inline cmsInt32Number SwappedInkSampler(const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) {
    double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    double rgb[3] = {(1 - y) * (1 - k), (1 - m) * (1 - k), (1 - c) * (1 - k)};  // red and blue exchanged
    cmsCIELab lab;
    cmsDoTransform(static_cast<cmsHTRANSFORM>(transform), rgb, &lab, 1);
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
}

inline std::vector<uint8_t> SwappedCmyk() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(p, 2.1);
    cmsSetDeviceClass(p, cmsSigOutputClass);
    cmsSetColorSpace(p, cmsSigCmykData);
    cmsSetPCS(p, cmsSigLabData);
    Describe(p, "Swapped ink");
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, SwappedInkSampler, toLab, 0);
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, clut);
    cmsWriteTag(p, cmsSigAToB0Tag, lut);
    cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return Save(p);
}

}  // namespace icctest
