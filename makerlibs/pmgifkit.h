// PMGIFKIT: GIF images and animations, frame by frame.
//
// Reading. GifKit_ReadFirstFrame opens the file for frame-by-frame reading
// on the calling thread; GifKit_ReadNextFrame continues with the same file.
// Each frame comes back as a DIB of the frame's own rectangle, 1, 4 or 8 bits
// by the depth of the colour table in effect, with that table (the full
// table of the DIB's depth; entries the file lacks are black). The frame's
// transparent index is handed back and marked in the DIB's table (fourth
// byte 255).
//
// Frame timing. GifFrame has no room for the delay, the disposal method and
// the user-input flag, and the caller copies the reader's screen only once,
// so they travel beside the records: every frame read sets the thread's
// current frame control (GifKit_GetFrameControl), and GifKit_WriteFrame
// writes the current frame control with the frame. Reading frame i and
// writing it before frame i + 1 is read, as the animation conversion does,
// keeps each frame's timing; a caller that reorders frames sets the control
// itself with GifKit_SetFrameControl before each write. GifKit_DrawFrame
// takes the disposal method of the frame it draws from there too.
//
// The animation value is the loop count of the file's looping application
// extension ("NETSCAPE2.0"): 0 = loop forever, n = n further repetitions;
// 0xFFFFFFFF = the file has no such extension (play once). GifKit_WriteHeader
// writes the extension unless the value is 0xFFFFFFFF.
//
// Canvas. GifKit_CreateCanvas makes a 32-bit DIB of the logical screen,
// fully transparent (alpha 0). GifKit_DrawFrame first disposes of the frame
// drawn before on that canvas (method 2 clears its rectangle to transparent,
// method 3 restores what it covered), then draws the frame's opaque pixels.
// GifKit_CopyFrameFromCanvas copies the frame's rectangle out as a 32-bit DIB
// whose alpha marks transparent pixels.
//
// Writing. GifKit_WriteHeader starts a file on the calling thread,
// GifKit_WriteFrame adds frames to it and GifKit_WriteTrailer ends it; one
// animation is read and one written per thread at a time. A frame gets a
// local colour table (the DIB's table, LocalTableCount entries rounded up
// to a power of two) when LocalTableCount is above 0 or the file has no
// global table; otherwise its indices refer to the global table. Starting
// another file drops a writer left behind by a failure without writing to
// its file again, so a file closed by the caller is never touched.
//
// Limits: a frame or screen above the DIB limits of pmdib.h is refused
// before anything is allocated.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfile.h"
#include <cstddef>
#include <cstdint>

struct DibReadRequest;

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

// Delay, disposal method and user-input flag of a frame's graphic control.
struct GifFrameControl {
    int32_t DelayTime;  // hundredths of a second
    int32_t Disposal;   // 0 none, 1 keep, 2 restore to background, 3 restore previous
    int32_t UserInput;  // non-zero: wait for user input
};
void GifKit_GetFrameControl(GifFrameControl* control);
void GifKit_SetFrameControl(const GifFrameControl* control);
constexpr uint32_t kGifNoLoopExtension = 0xFFFFFFFFu;

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
// The same 24-bit still for a caller that shrinks it: with `request` (see
// DibIO_ReadRequested) a first frame stored row by row streams through a box
// reduction, so a thumbnail never holds the screen; FullSize and Reduction
// say what was read.
int GifKit_ReadImageRequested(PmFileHandle file, DibReadRequest* request, DibHeader** header, uint8_t** bits);
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
