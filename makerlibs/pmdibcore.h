// PMDIBCORE: DIB records. A DIB is two blocks from the library heap
// (pmheap.h; on Windows the process heap): the info header with its colour
// table, and the pixel rows (bottom-up, rows padded to 4 bytes). A program
// that hands a DIB to this system allocates both blocks with HeapAlloc on
// GetProcessHeap(), and frees what it gets back with HeapFree.
//
// Transparency of a palette DIB: the colour-table entry whose fourth byte is
// 255 (kTransparentMark) is the transparent colour; at most one entry is so
// marked. 32-bit DIBs carry alpha in the fourth byte of each pixel.
#pragma once
#include "makerlibs/pmdib.h"
#include <cstdint>

// Copies the 40-byte info header. Non-zero = done.
int DibCore_GetHeader(const DibHeader* dib, DibHeader* out);
// Creates a DIB shaped like `templ` (width, height, bit count; biClrUsed
// entries when it is set and fits, else the full table for <= 8 bits) with a
// zeroed colour table and zeroed pixels. Non-zero = success.
int DibCore_Create(const DibHeader* templ, int reserved, DibHeader** header, uint8_t** bits);
void DibCore_Free(DibHeader* header, uint8_t* bits);
int DibCore_GetRowStride(const DibHeader* dib, int reserved);
// Number of colour-table entries a DIB holds.
int DibCore_ColorCount(const DibHeader* dib);
RgbQuad* DibCore_GetColorTable(DibHeader* dib, int* count, int* entrySize);
RgbQuad* DibCore_GetPalette(DibHeader* dib, int reserved, int reserved2);
// COLORREF of entry `index`; kNoColor when out of range.
ColorRef DibCore_GetPaletteColor(const DibHeader* dib, int index);
// Converts the pixels into `dst` (created by the caller with its own bit
// count); fewer bits map to the nearest colour of dst's table, which is
// filled with a suitable palette first when it is all zero. Non-zero = success.
int DibCore_ConvertDepth(const DibHeader* src, const uint8_t* srcBits, DibHeader* dst, uint8_t* dstBits);
// The transparent index or -1.
int DibCore_GetTransparentIndex(const DibHeader* dib);
// Fills an 8-bit mask DIB of the image's size (created by the caller): > 0
// when transparent pixels exist; their mask entries index a white table
// entry with fourth byte 255, the others a black entry with fourth byte 0.
int DibCore_MakeTransparencyMask(const DibHeader* dib, const uint8_t* bits, DibHeader* mask, uint8_t* maskBits);
// Gives the transparent entry of a palette DIB the colour `color`.
void DibCore_SetTransparentColor(ColorRef color, DibHeader* dib, uint8_t* bits);
// Non-zero when the first `count` entries are equal.
int DibCore_EqualTables(int count, int sizeA, const void* tableA, int sizeB, const void* tableB);
