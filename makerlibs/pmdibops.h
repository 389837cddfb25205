// PMDIBOPS: turning, fitting, colour counting and reduction, tone filters.
#pragma once
#include "makerlibs/pmdib.h"
#include <cstdint>

// Turns counter-clockwise by `angle` (multiples of 90 degrees * 65536) into a
// new DIB. 1 = success.
int DibOps_Rotate(int reserved, int32_t angle, const DibHeader* header, const uint8_t* bits,
                  DibHeader** outHeader, uint8_t** outBits);
// Makes a new DIB of the picture the camera meant: `orientation` is the
// EXIF/TIFF value 1..8 (2, 4, 5, 7 mirror; 5 to 8 swap the sides); other
// values copy the image unchanged. 1 = success.
int DibOps_Orient(int orientation, const DibHeader* header, const uint8_t* bits, DibHeader** outHeader,
                  uint8_t** outBits);
// The largest size of the same aspect ratio inside `box`; never 0 on an axis.
int DibOps_FitSize(const PmSize* box, int reserved, PmSize* size);
// Output size of a logical screen `size` turned by `angle` and zoomed by
// `zoom` (0 none, 1 fit, any other value stretch) into `box`, and `rect`
// (clipped to the screen) turned and scaled into it; both edges of the
// rectangle map with the same rounding, so frames that meet on the screen
// still meet, and a frame keeps at least one pixel.
// Result 1 = frames must be composed on a canvas to look as on the screen:
// the screen is zoomed and the rectangle does not cover all of it (a frame
// scaled alone would blend its edges with nothing). 0 otherwise.
int DibOps_ComputeLayout(int32_t angle, int zoom, const PmSize* box, PmSize* size, PmRect* rect);
// Number of distinct colours (up to `maximum` + 1); the colours (COLORREF)
// and their pixel counts when <= maximum.
int DibOps_CountColors(const DibHeader* header, const uint8_t* bits, int maximum,
                       uint32_t* colors256, uint32_t* counts256);
// Method 4: adaptive palette of `colors` entries with error diffusion into
// the caller's destination DIB. >= 0 success.
int DibOps_ReduceColors(const DibHeader* header, const uint8_t* bits, int method, int colors, int reserved,
                        int usedCount, const uint32_t* usedColors, const uint32_t* usedCounts,
                        DibHeader* dstHeader, uint8_t* dstBits);
// Method 6: onto the first `colors` entries of `palette` with error diffusion.
// > 0 success.
int DibOps_MapToPalette(const DibHeader* header, const uint8_t* bits, int method, int colors,
                        int dstBitCount, const RgbQuad* palette, uint8_t* dstBits);
// Scaled copy of an 8-bit mask. > 0 success.
int DibOps_ResizeMask(const PmSize* size, int reserved, const DibHeader* mask, const uint8_t* maskBits,
                      DibHeader** outHeader, uint8_t** outBits);
// Tone filter `code` (1-10, 12-15, 20-22, 25, 26) on the DIB: other depths
// are widened to 24 bits first (the DIB is then replaced). Non-zero =
// success; 0 for an unknown code, with the image untouched.
int DibOps_ApplyFilter(int code, DibHeader** header, uint8_t** bits);
