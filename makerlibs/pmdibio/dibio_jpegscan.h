// Entropy decoders of their own for JPEG reads: one for the reduced reads
// of sequential Huffman-coded files, one for the scans of progressive ones.
// At 1/8 and 1/4 libjpeg's scaled IDCTs read the DC term alone or 25 of
// the 64 terms of a block, yet its entropy decoder still decodes, extends
// and stores every coefficient; the sequential one takes each skipped run
// of codes a table lookup at a time and stores only what the IDCT reads.
// The progressive one stores every term, as libjpeg does, but walks a
// refinement from one non-zero term to the next. Both replace libjpeg's
// decode_mcu and nothing else, so the IDCT, upsampling and colour
// conversion, and therefore the pixels, stay libjpeg's own.
//
// They take only data they are sure of: anything unusual (a bad code, a
// marker or the end of the data where none belongs, an unexpected restart
// marker) abandons the decode, and the caller starts over without them,
// so such files end exactly as libjpeg alone would end them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>  // before jpeglib.h, which needs FILE

#include <jpeglib.h>

// The size of the IDCT libjpeg runs on a component at the scale of the
// read; components are scaled square (libjpeg-turbo never scales h and v
// apart). Which coefficients a block needs follows from it: the 1x1 IDCT
// reads the DC term alone, the 2x2 one rows and columns 0, 1, 3, 5 and 7
// (it folds the odd terms in), larger ones (nearly) all of them.
inline int ScaledIdctSize(const jpeg_component_info& comp) {
#if JPEG_LIB_VERSION >= 70
    return comp.DCT_h_scaled_size;
#else
    return comp.DCT_scaled_size;
#endif
}

namespace pmio {

struct JpegScan;

// After jpeg_start_decompress: takes over the scan of `c` when it is one
// Huffman-coded scan of 8-bit grey or 3-component YCbCr with a common
// sampling, read from `data`, the whole file in memory, which must outlive
// the decode. Null (and `c` untouched) otherwise. It uses c->client_data;
// free it with JpegScan_Free once `c` is destroyed.
JpegScan* JpegScan_Take(j_decompress_ptr c, const uint8_t* data, size_t size);
// Before jpeg_start_decompress of a progressive Huffman-coded file: decodes
// each of its scans whose data libjpeg's source holds in memory that stays
// valid for the decode, in libjpeg's place; libjpeg still reads the markers
// and tables between them. It takes c->progress over and calls the
// caller's monitor from its own. A scan it gives back makes
// jpeg_start_decompress return FALSE (suspended), and JpegScan_Abandoned
// true. Null (and `c` untouched) for other files.
JpegScan* JpegScan_TakeProgressive(j_decompress_ptr c);
void JpegScan_Free(JpegScan* scan);
// True when the decode stopped because the scan decoder left the data to
// libjpeg; the caller then reads the file again without it.
bool JpegScan_Abandoned(const JpegScan* scan);

// Whether libjpeg's scaled IDCT of size `idctSize` (1, 2, 4 or 8) reads the
// coefficient at zig-zag position `zigzag`.
bool JpegIdctReads(int idctSize, int zigzag);

// Whether readers may use it (by default they may). Tests and the fuzz
// target compare reads with and without it.
void JpegScan_Allow(bool allow);
bool JpegScan_Allowed();

// Files taken and abandoned since the program started, and the scans of
// progressive ones decoded, for the tests.
struct JpegScanCounts {
    unsigned long taken, abandoned, progressiveScans;
};
JpegScanCounts JpegScan_Counts();

}  // namespace pmio
