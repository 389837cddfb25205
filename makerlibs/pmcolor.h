// PMCOLOR: colour profiles (ICC) through Little CMS 2. Images are brought to
// sRGB, the colours every output format is shown in when it carries no
// profile, with the perceptual intent. A profile that cannot be read, or
// that does not fit the image, changes nothing: the caller goes on with the
// pixels as decoded.
#pragma once
#include "makerlibs/pmdib.h"
#include <cstddef>
#include <cstdint>

// Profiles larger than this are not looked at (a JPEG can carry about 16 MB).
constexpr size_t kMaxIccBytes = 16u * 1024 * 1024;

enum class IccOutcome {
    Converted,    // the pixels (or the colour table) now hold sRGB
    AlreadySrgb,  // the profile is sRGB: nothing to do
    Unusable,     // broken, unsupported, or not of the image's colour space
};

// Converts a DIB in place: 24-bit BGR and 32-bit BGRA (alpha kept) with an
// RGB profile, colour tables of palette DIBs with an RGB profile, grey-table
// DIBs and 24- or 32-bit DIBs of grey pixels (grey with alpha) with a grey
// profile (they stay grey). A profile that is sRGB in its primaries and
// tone curves, whatever its name, needs nothing.
IccOutcome Color_DibToSrgb(const uint8_t* profile, size_t size, DibHeader* header, uint8_t* bits);

// True when the bytes parse as a profile of an RGB, grey or CMYK colour
// space that could be converted to sRGB. The entry point of the profile
// fuzz target (which then converts a small image with it).
bool Color_ProfileUsable(const uint8_t* profile, size_t size);

// Converting rows of CMYK samples (a CMYK JPEG's) to BGR. Null when the
// profile is not a usable CMYK profile. `inverted`: the samples are stored
// as 255 - ink (Adobe's convention).
struct ColorCmykTransform;
ColorCmykTransform* Color_OpenCmykToSrgb(const uint8_t* profile, size_t size, bool inverted);
void Color_CmykToBgr(ColorCmykTransform* t, const uint8_t* cmyk, uint8_t* bgr, size_t pixels);
void Color_Close(ColorCmykTransform* t);
