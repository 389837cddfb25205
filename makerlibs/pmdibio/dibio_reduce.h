// Row-by-row readers that feed their rows into an exact box reduction, so a
// thumbnail never holds the full picture. Internal to the image file
// libraries.
#pragma once
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmdibio/dibio_stream.h"
#include <cstdint>
#include <vector>

namespace pmio {

// Streamed reads hold only the reduced image, so they may pass the limits on
// what a full read holds; the decoding time still grows with the picture,
// and this bounds it for a file that only declares a huge one.
constexpr uint64_t kMaxStreamedPixels = 1024ull * 1024 * 1024;

// The factor a streamed read divides the sides by for `request` (1: read
// whole). Fills FullSize and leaves Reduction at 1; StreamReducer::Finish
// sets it. A factor above 1 keeps at least four times the target in both
// directions, the margin the JPEG reduced read keeps.
unsigned StreamFactor(DibReadRequest* request, uint32_t width, uint32_t height);

// The pixels of a w x h picture reduced by an integer factor: each output
// pixel is the mean of its k x k box, the boxes of the last column and row
// covering what is left. Takes BGR or BGRA rows in top-down or bottom-up
// order (any order within a band of k rows).
class StreamReducer {
public:
    // channels: 3, or 4 with alpha (straight, not premultiplied). False:
    // the declared size is beyond the streamed limits (too large is noted)
    // or memory ran out.
    bool Begin(uint32_t width, uint32_t height, unsigned factor, int channels);
    // y: the row's place counted from the top.
    void Row(uint32_t y, const uint8_t* row);
    // The reduced DIB, 24-bit, or 32-bit for alpha: its colour is the
    // alpha-weighted mean so that showing it over white equals the mean of
    // the pixels shown over white (a box of alpha 0 keeps the plain mean,
    // for writers that leave alpha unset). Fills request->Reduction.
    bool Finish(DibReadRequest* request, DibHolder* out);
    unsigned factor() const { return k_; }

private:
    void Flush();
    uint32_t w_ = 0, h_ = 0, outW_ = 0, outH_ = 0;
    unsigned k_ = 1;
    int channels_ = 3;
    int64_t band_ = -1;  // output row the accumulators hold
    uint32_t rowsIn_ = 0;
    // Per column of the band: the channel sums, then (alpha) the
    // alpha-weighted colour sums.
    std::vector<uint32_t> acc_;
    DibHolder dib_;
};

}  // namespace pmio
