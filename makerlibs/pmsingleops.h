// Single operations: PMQUANT, PMDIBMISC, PMTONE, PMGEOM, PMEFFECTS.
// Destination DIBs named "created" are made by the caller.
#pragma once
#include "makerlibs/pmdib.h"
#include <cstdint>

// PMQUANT: index of the nearest of the first `count` entries.
int Quant_NearestColor(int red, int green, int blue, int count, const RgbQuad* table);

// PMDIBMISC: the bit depth (1, 2, 4 or 8) whose index range holds `index`.
int DibMisc_BitsForIndex(int index);

// PMTONE: to 1 bit with dithering into `dst`. > 0 success. The small variant
// serves images narrower than 4 or lower than 3 pixels.
int Tone_ToMonochrome(const DibHeader* header, const uint8_t* bits, int reserved,
                      DibHeader* dst, uint8_t* dstBits);
int Tone_ToMonochromeSmall(const DibHeader* header, const uint8_t* bits, int r1, int r2,
                           DibHeader* dst, uint8_t* dstBits);

// PMGEOM: scalers into a 24-bit destination of the wanted size (sources of
// any depth are read as 24 bits). ShrinkSmooth: whole-factor area averaging,
// then Lanczos-3; it also serves an axis that grows. Shrink: area averaging,
// then linear interpolation; both axes must shrink or stay. Resample mode 1:
// Mitchell-Netravali cubic, for enlarging and mixed cases. Non-zero =
// success.
int Geom_Resample(int reserved, const DibHeader* header, const uint8_t* bits, int mode,
                  DibHeader* dst, uint8_t* dstBits);
int Geom_Shrink(int reserved, const DibHeader* header, const uint8_t* bits, int r1, int r2,
                int width, int height, uint8_t* dstBits);
int Geom_ShrinkSmooth(int r1, int r2, const DibHeader* header, const uint8_t* bits,
                      DibHeader* dst, uint8_t* dstBits);

// The part of a source image that holds the picture, in its pixels (edges,
// not centres). A reader that decoded at 1/n gives edge pixels that stand
// for fewer than n pixels of the file; mapping through the picture's true
// extent keeps such an image where a full decode would be.
struct PmExtent {
    double x, y, width, height;
};
// The scalers above with the source mapped through `extent` (null: the
// whole image). method: 0 as Geom_Shrink, 1 as Geom_Resample, 2 as
// Geom_ShrinkSmooth. The destination is a created 24-bit DIB.
int Geom_ZoomExtent(int method, const PmExtent* extent, const DibHeader* header, const uint8_t* bits,
                    DibHeader* dst, uint8_t* dstBits);
// Test hook: the scalers' portable loops instead of their vector ones
// (which must give the same bytes).
void Geom_PortableLoopsForTest(bool portable);

// PMEFFECTS: prepares an image for a 1-bit output into a 24-bit destination
// of the same size: grey, and with mode 1 its levels stretched so that the
// darkest and lightest half percent reach black and white. 1 = success.
int Effects_MonoPrepare(int reserved, const DibHeader* header, const uint8_t* bits, int mode,
                        DibHeader* dst, uint8_t* dstBits);
