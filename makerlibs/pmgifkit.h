// PMGIFKIT: GIF images and animations, frame by frame.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfile.h"
#include <cstddef>
#include <cstdint>

// The logical screen (1064 bytes).
struct GifScreen {
    int32_t HeaderFlag;        // 0: one-image output: 1 = has a transparent index
    int32_t Width;             // 4
    int32_t Height;            // 8
    int32_t ColorResolution;   // 12
    int32_t Unnamed;           // 16: set to 0 before writing
    int32_t GlobalTableBits;   // 20
    int32_t GlobalTableCount;  // 24: 0 = no global table
    int32_t BackgroundIndex;   // 28: negative = none
    ColorRef BackgroundColor;  // 32: 0xFFFFFFFF once the index was re-found
    uint32_t Reserved;         // 36: the library's own
    RgbQuad GlobalTable[256];  // 40
};
static_assert(sizeof(GifScreen) == 1064);
static_assert(offsetof(GifScreen, GlobalTable) == 40);

// One image of the file (32 bytes).
struct GifFrame {
    int32_t Left;
    int32_t Top;
    int32_t Width;
    int32_t Height;
    int32_t Interlace;
    int32_t Unnamed;  // set to 0 before writing
    int32_t LocalTableBits;
    int32_t LocalTableCount;  // 0 = none
};
static_assert(sizeof(GifFrame) == 32);

// A DIB handed between the GIF library and its caller.
struct DibPair {
    DibHeader* header;
    uint8_t* bits;
};

// All operations: > 0 success; < 0 failed system call (last error set);
// 0 other failure, unless noted.
int GifKit_CountFrames(PmFileHandle file);
int GifKit_ReadFirstFrame(int reserved, PmFileHandle file, int r1, int r2, int r3, GifScreen* screen,
                          uint32_t* animation, int* transparentIndex, GifFrame* frame, DibPair* image);
int GifKit_ReadNextFrame(int reserved, PmFileHandle file, int r1, int r2, int r3, GifScreen* screen,
                         int* transparentIndex, GifFrame* frame, DibPair* image);
// The GIF as one still image of `bitCount` bits (24); result as DibIO_Read.
int GifKit_ReadImage(int reserved, PmFileHandle file, int r1, int bitCount, int r2, int r3,
                     DibHeader** header, uint8_t** bits);
int GifKit_CreateCanvas(const GifScreen* screen, int bitCount, int reserved, DibHeader** header, uint8_t** bits);
int GifKit_DrawFrame(const GifFrame* frame, const DibHeader* header, const uint8_t* bits,
                     DibHeader* canvasHeader, uint8_t* canvasBits);
int GifKit_CopyFrameFromCanvas(const GifFrame* frame, const DibHeader* canvasHeader, const uint8_t* canvasBits,
                               int bitCount, DibHeader** header, uint8_t** bits);
// Builds a colour table of at most 1 << colorBits entries from the DIB;
// returns the entry count.
int GifKit_BuildColorTable(int colorBits, const DibHeader* header, int transparentIndex,
                           ColorRef transparentColor, RgbQuad* table256);
int GifKit_WriteSingleImage(int reserved, PmFileHandle file, const GifScreen* screen, int transparentIndex,
                            const GifFrame* frame, const DibPair* image);
int GifKit_WriteHeader(int reserved, PmFileHandle file, const GifScreen* screen, uint32_t animation);
int GifKit_WriteFrame(int reserved, PmFileHandle file, const GifScreen* screen, int transparentIndex,
                      const GifFrame* frame, const DibPair* image);
int GifKit_WriteTrailer(int reserved, PmFileHandle file);
