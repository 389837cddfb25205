// The transform pipeline: one decoded image, turned, zoomed into the output
// box, tone-filtered, reduced to the output depth and, for GIF output, given
// a colour index of its own for transparent pixels. Pure code: the pixel
// work is done by the maker libraries.
#pragma once
#include "makerlibs/pmapi.h"
#include "makerlibs/pmdib.h"
#include "makerlibs/pmsingleops.h"
#include <cstdint>

// Result codes (also the message ids of the string table).
constexpr int kTransformOk = 0;
constexpr int kTransformNoMemory = 105;     // a new DIB could not be created
constexpr int kTransformLibFailed = 106;    // an image operation failed
constexpr int kTransformIndexTooBig = 108;  // transparent index outside the depth

// Tone filter codes in the order the settings dialog lists them.
constexpr int kToneFilterCodes[19] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 21, 22, 12, 13, 14, 15, 25, 26};

// Turns, zooms, filters and reduces the DIB held in *header / *bits.
//
// *bitDepth: in, the source depth as the reader reported it; out, the depth
// T the image now has (with result 108: the depth the transparent index
// would need). bitCount: 0 = as the input, 1..8, or 24; values above 8 mean
// full colour (24), values below 1 mean "as the input". resize: 0 keep,
// 1 fit keeping the aspect ratio, other stretch to *boxSize (box sides are
// taken as at least 1; a null box keeps the size). filterCode 0 = none,
// otherwise one of kToneFilterCodes; any other code fails with 106 and
// leaves the image unfiltered.
//
// On every return the caller's pointers hold the current image (the one
// given, or the latest one a step made) and the caller keeps owning it.
extern "C" int PM_API TransformImage(int outputType, int keepTransparency, int* bitDepth, int bitCount, int32_t angle,
                                     int resize, const PmSize* boxSize, int filterCode, int zoomFilter, int palette,
                                     int transparentColor, int* transparentIndex, DibHeader** header, uint8_t** bits);

// Makes the image 24-bit in place (0 at once when it already is); 105 or
// 106 on failure with the image unchanged.
extern "C" int PM_API ConvertTo24Bit(DibHeader** header, uint8_t** bits);

// The turn that the `Direction` setting asks for an image of this size.
extern "C" int32_t PM_API AngleForDirection(int direction, int width, int height);

// The size TransformImage zooms an image of size `turned` (already turned)
// to, for its `resize` and box arguments.
PmSize ZoomTargetSize(int resize, const PmSize* boxSize, PmSize turned);

// A read that may decode fewer pixels than the file holds: the turn and
// zoom that the settings give the image's full size, so that dimensions and
// orientation never depend on how much the reader reduced it.
struct ZoomPlan {
    int32_t angle = 0;
    int resize = 0;
    PmSize box{0, 0};
    bool reduced = false;
    PmExtent extent{0, 0, 0, 0};  // of the picture in the decoded image, when reduced
    const PmExtent* Extent() const { return reduced ? &extent : nullptr; }
};
// The arguments for TransformImageFrom of an image whose full size is
// `full`, decoded at 1/reduction as `decoded`. Unreduced images keep the
// settings' own arguments; reduced ones get the full image's output size as
// a box to stretch to, which is exactly the size the full image would get.
ZoomPlan PlanZoom(int direction, int resize, const PmSize* boxSize, PmSize full, PmSize decoded,
                  unsigned reduction);

// TransformImage of a source whose picture fills only `sourceExtent` of it
// (null: all of it), for reduced decodes.
int TransformImageFrom(const PmExtent* sourceExtent, int outputType, int keepTransparency, int* bitDepth,
                       int bitCount, int32_t angle, int resize, const PmSize* boxSize, int filterCode, int zoomFilter,
                       int palette, int transparentColor, int* transparentIndex, DibHeader** header, uint8_t** bits);
// The output size in the image's own (unturned) orientation, when the
// settings shrink an image of size `full` in both directions; false when
// the image keeps or grows a side, or is not zoomed at all.
bool ShrinkTargetSize(int direction, int resize, const PmSize* boxSize, PmSize full, PmSize* target);
