// PMDIBIO: reading and writing a DIB in each file format.
//
// Readers (the first image of the file):
//   BMP   1/2/4/8-bit as palette DIBs (2 bits widened to 4), RLE4/RLE8,
//         16/24/32-bit and bit fields as 24-bit, or 32-bit when the file
//         carries alpha (V4/V5 headers, alpha bit fields); OS/2 headers.
//   JPEG  grey as an 8-bit DIB with a grey table; colour and CMYK/YCCK as
//         24-bit. ReadInfo byte 3: 1 sequential, 0 progressive.
//   PNG   palette at 1/4/8 bits (2 widened to 4) with its table, grey as a
//         grey table, one fully transparent palette entry or grey value as
//         the DIB's transparent index, other alpha as 32-bit, 16 bits
//         reduced to 8. ReadInfo u32 at 0: 1 = Adam7.
//   TIFF  palette and grey (up to 8 bits) as palette DIBs, all else 24-bit
//         or 32-bit with alpha.
//   GIF   the first frame placed on the logical screen, 1/4/8 bits by its
//         colour table; ReadInfo: interlace (32), transparent index (46),
//         table depth (54).
//   Photo CD  the largest of the Base, Base/4 and Base/16 packs the file
//         holds whole, 24-bit, turned upright by its orientation.
//   WebP  lossy and lossless as 24-bit, or 32-bit with alpha; an animation
//         gives its first frame on its canvas (32-bit where the frame
//         leaves the canvas transparent). Profile, EXIF and XMP chunks.
// Palette DIBs from a reader always carry the full table of their depth
// (entries the file lacks are black), so pixel values a file leaves
// unchecked stay inside the table. The result is the file's own colour
// depth (bits per pixel), e.g. 48 for a 16-bit RGB PNG.
//
// Writers take 1/4/8/16/24/32-bit DIBs:
//   BMP   Windows 3 info header (32-bit: V4 header with an alpha mask);
//         Bmp.Compression 1 writes RLE8/RLE4 for 8/4-bit DIBs.
//   JPEG  quality, smoothing, optimised coding, Progressive 0 = progressive;
//         grey-table DIBs as one-channel JPEGs, alpha dropped.
//   PNG   palette DIBs at their own depth with tRNS for the transparent
//         entry, 24-bit RGB, 32-bit RGBA; Interlace non-zero = Adam7.
//   TIFF  palette (grey ramps as min-is-black), RGB, RGBA; byte 0 picks
//         the compression: 0 none, 1 LZW (default), 2 Deflate, 3 PackBits.
//   GIF   one image; Gif.BitDepth caps the table (never above the DIB's
//         depth), Gif.TransparentIndex (or the DIB's marked entry),
//         Gif.Interlace; full-colour DIBs get an adaptive 256-colour table.
//   WebP  Webp.Quality (lossy) or Webp.Lossless; alpha from 32-bit DIBs and
//         from a palette's transparent entry.
// Images above the limits of pmdib.h (120 megapixels, 512 MB of pixels)
// are refused before anything is allocated.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfile.h"
#include <cstddef>
#include <cstdint>
#include <vector>

// The per-format option record: WriteOptions when writing, ReadInfo when
// reading. Offsets of the named fields are fixed; the rest is free.
union DibIOOptions {
    uint8_t Raw[64];
    struct {
        uint16_t Format;       // 0: the Windows header (the only one written)
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
    struct {
        uint8_t Quality;   // 0: 0..100, lossy only
        uint8_t Lossless;  // 1: non-zero = lossless
    } Webp;
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
// A read request of this system's own callers, kept apart from the option
// record above (whose layout is fixed): what the caller will make of the
// image, so that a reader may decode fewer pixels than the file holds. New
// fields are appended; `Size` tells a reader how many the caller knows.
struct DibMetadata;
struct DibReadRequest {
    uint32_t Size;  // sizeof(DibReadRequest)
    // Asked once, when the reader knows the image's full size: non-zero when
    // the caller will shrink it to `*target` (same orientation) or smaller.
    // Readers that can decode at a reduced scale then keep at least four
    // times the target in each direction.
    int (*TargetSize)(void* context, const PmSize* full, PmSize* target);
    void* Context;
    // Set by the reader: the image's full size, and the factor its sides were
    // divided by (rounded up) when decoding; 1 = every pixel.
    PmSize FullSize;
    uint32_t Reduction;
    // Null, or a record the reader fills as DibIO_ReadMeta does. It is
    // filled before TargetSize is asked, so the stored orientation is known
    // there (the upright picture may be the other way round).
    DibMetadata* Meta;
    // Set by the reader: non-zero when the decoded image is the whole
    // picture at a smaller size (a thumbnail the file stores) rather than
    // a decode at 1/Reduction whose last row and column stand for a part.
    uint32_t WholePicture;
};

// DibIO_Read with a request. The limits on image size apply to the image
// as decoded, so a reduced read accepts files whose full size is refused;
// a streamed one (above) up to 2^30 pixels as declared.
int DibIO_ReadRequested(PmFileHandle file, int type, DibReadRequest* request, DibIOOptions* info,
                        DibHeader** header, uint8_t** bits);
// The factor (1, 2, 4 or 8) a requested JPEG read divides the sides of a
// `full` image by for a caller that shrinks it to `target`.
unsigned DibIO_JpegReduction(PmSize full, PmSize target);
// The factor a requested read of a picture stored row by row (PNG without
// Adam7, TIFF, BMP without RLE) divides the sides of a `full` image by for
// a caller that shrinks it to `target`: rows stream through a box of that
// many pixels a side and only the reduced picture is held. 1 = read whole.
unsigned DibIO_StreamReduction(PmSize full, PmSize target);
// The bytes a PNG read holds besides its rows, its output and the file's
// compressed image data: the image data of a `width` x `height` picture of
// `bitsPerPixel` (bit depth times channels), when the reader inflates it in
// one call; 0 when it streams through zlib.
uint64_t DibIO_PngInflatedBytes(uint32_t width, uint32_t height, unsigned bitsPerPixel, bool interlaced);
// Writes the DIB. > 0 written; < 0 failed system call; 0 other failure.
int DibIO_Write(int reserved, PmFileHandle file, int type, int r1, int r2,
                const DibIOOptions* options, const DibHeader* header, const uint8_t* bits);

// One JPEG APP segment kept byte for byte (XMP, extended XMP, IPTC).
struct DibSegment {
    int marker;  // 0xE1, 0xED
    std::vector<uint8_t> data;  // the payload after the length field
};

// What a reader found beside the pixels (DibIO_ReadMeta), and what a writer
// stores with them (DibIO_WriteMeta).
struct DibMetadata {
    // Reading, in: a CMYK JPEG with a CMYK profile is converted to sRGB
    // while it is decoded (the samples are gone afterwards).
    bool convertCmyk = false;
    // Reading, out; writing, in.
    int orientation = 0;        // 1..8 as the file stores it; 0 = none (upright)
    std::vector<uint8_t> exif;  // EXIF as a TIFF structure (JPEG APP1, PNG eXIf, TIFF IFDs)
    std::vector<uint8_t> icc;   // the embedded colour profile, whole
    bool iccApplied = false;    // the reader already converted with it
    std::vector<DibSegment> segments;  // XMP and IPTC as JPEG payloads, in file order
};

// DibIO_Read that also fills `meta`: the orientation, EXIF, profile and the
// segments named above. A TIFF is then read as stored, without libtiff's
// own flips, so that `orientation` describes the pixels handed back; its
// camera data comes as a JPEG carries it: an EXIF block built from its IFD0
// texts and its Exif and GPS IFDs, XMP and IPTC as APP1 and APP13 payloads.
int DibIO_ReadMeta(int reserved, PmFileHandle file, int type, DibIOOptions* info, DibMetadata* meta,
                   DibHeader** header, uint8_t** bits);
// DibIO_Write that stores `meta` where the format has room: JPEG the EXIF
// (APP1) and the segments, PNG the EXIF (eXIf), JPEG, PNG and TIFF the
// profile where its colour space fits the channels written (RGB for colour
// and palettes, grey for one channel), TIFF `orientation` in its
// main IFD, the camera's Make, Model, DateTime and other IFD0 texts there
// too, the Exif and GPS IFDs rebuilt from the fields that parse, and the
// XMP packet and IPTC record in their tags, WebP the EXIF and the XMP
// packet in their chunks. Other formats, and blocks too large for their
// place, are written without it.
int DibIO_WriteMeta(int reserved, PmFileHandle file, int type, const DibIOOptions* options, const DibMetadata* meta,
                    const DibHeader* header, const uint8_t* bits);
