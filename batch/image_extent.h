// What a conversion will hold in memory, judged from the file's header
// before anything is decoded, so a run can tell how many conversions fit
// at once. Pure computation: the file is read through a callback.
#pragma once
#include <cstddef>
#include <cstdint>

struct ImageExtent {
    uint32_t width = 0, height = 0;
    // A JPEG: read at a reduced scale when the output is much smaller.
    bool jpeg = false;
    // What the JPEG decoder keeps whatever the scale: the coefficients of
    // the whole image, when its scans each hold only part of them
    // (progressive, or a scan per component). Two bytes a coefficient.
    uint64_t wholeCoefficientBytes = 0;
    // Read row by row (a PNG stored without Adam7, a TIFF, a BMP without
    // RLE, a GIF whose first image is not interlaced): a thumbnail holds only the picture's box reduction, a band of
    // rows and the reader's row buffers.
    bool streamed = false;
    // A GIF: its animation is converted frame by frame on the whole screen
    // when the output is a GIF too; `streamed` then does not hold.
    bool gif = false;
    // A PNG whose image data the reader inflates in one call: the inflated
    // rows it holds besides the file's bytes, whatever the scale.
    uint64_t inflatedBytes = 0;
};

// Reads up to `size` bytes at `offset`; the bytes read (fewer at the end).
using ExtentReadFn = size_t (*)(void* context, uint64_t offset, uint8_t* out, size_t size);

// The stored size of the image a BMP, JPEG, TIFF (first image), GIF (its
// screen), PNG or Photo CD file holds, by its signature; false when the
// header is not one of these or is cut short.
bool Batch_ReadImageExtent(ExtentReadFn read, void* context, ImageExtent* out);

// The bytes a conversion of an image that size holds at its peak: the
// decoded picture (its sides divided by `reduction`, rounded up) and its
// transformed copy at 4 bytes a pixel, a mask of a byte a pixel, the
// decoder's whole coefficients and the file itself (`fileBytes`), which
// the reader holds in memory, and a PNG's inflated rows. Headers that could not be read count as a
// picture of kUnknownExtentBytes. A streamed read with `reduction` above 1
// adds what it holds besides: a band of rows (kStreamedBandBytes) and row
// buffers.
inline constexpr uint64_t kStreamedBandBytes = 8ull << 20;
inline constexpr uint64_t kUnknownExtentBytes = 64ull << 20;
uint64_t Batch_ConversionBytes(const ImageExtent& extent, uint32_t reduction = 1, uint64_t fileBytes = 0);
