// PMDIBIO: reading and writing a DIB in each file format.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfile.h"
#include <cstddef>
#include <cstdint>

// The per-format option record: WriteOptions when writing, ReadInfo when
// reading. Offsets of the named fields are fixed; the rest is free.
union DibIOOptions {
    uint8_t Raw[64];
    struct {
        uint16_t Format;       // 0
        uint16_t Compression;  // 2: 0 none, 1 RLE
    } Bmp;
    struct {
        uint8_t Quality;         // 0: 0..100
        uint8_t Smoothing;       // 1: libjpeg smoothing factor 0..100
        uint8_t OptimizeCoding;  // 2
        // 3: the system's scan vocabulary: 1 = sequential (baseline),
        // 0 = progressive (shown gradually, "interlaced").
        uint8_t Progressive;
    } Jpeg;
    struct {
        uint32_t Interlace;  // 0: non-zero = Adam7
    } Png;
    struct {
        uint8_t Unused[32];
        int16_t Interlace;         // 32
        uint8_t Unused2[12];
        int16_t TransparentIndex;  // 46: -1 = none
        uint8_t Unused3[6];
        uint16_t BitDepth;         // 54
    } Gif;
};
static_assert(sizeof(DibIOOptions) == 64);
static_assert(offsetof(DibIOOptions, Gif.Interlace) == 32);
static_assert(offsetof(DibIOOptions, Gif.TransparentIndex) == 46);
static_assert(offsetof(DibIOOptions, Gif.BitDepth) == 54);

// Fills `options` with the defaults of the format. Non-zero = known type.
int DibIO_GetDefaultOptions(int type, DibIOOptions* options);

// Reads the image of an open file. > 0: success, the source colour depth in
// bits; < 0: a failed system call (last error set); 0: any other failure.
// The DIB is created on the library heap and released with DibCore_Free.
int DibIO_Read(int reserved, PmFileHandle file, int type, int r1, int r2, int r3,
               DibIOOptions* info, DibHeader** header, uint8_t** bits);
// Writes the DIB. > 0 written; < 0 failed system call; 0 other failure.
int DibIO_Write(int reserved, PmFileHandle file, int type, int r1, int r2,
                const DibIOOptions* options, const DibHeader* header, const uint8_t* bits);
