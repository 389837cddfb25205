#include "makerlibs/pmdibio/dibio_reduce.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pmio {

namespace {

// Column sums (alpha-weighted ones too) stay in 32 bits up to this factor;
// beyond it the reduced image is already far below any target anyway.
constexpr unsigned kMaxFactor = 1024;
// Reduced sides keep this many times the target, as the JPEG reduced read.
constexpr uint64_t kCoverage = 4;

// The loop that every byte of a streamed picture passes through; the
// build's -O2 leaves it scalar, at a third of the speed.
#if defined(__GNUC__) && !defined(__clang__)
#define PM_VECTORIZE __attribute__((optimize("tree-vectorize")))
#else
#define PM_VECTORIZE
#endif

inline __attribute__((always_inline)) void AddColumnsBody(uint32_t* __restrict sums, const uint8_t* __restrict row,
                                                           size_t n) {
    for (size_t i = 0; i < n; ++i) sums[i] += row[i];
}

PM_VECTORIZE void AddColumnsPlain(uint32_t* __restrict sums, const uint8_t* __restrict row, size_t n) {
    AddColumnsBody(sums, row, n);
}

using AddColumnsFn = void (*)(uint32_t*, const uint8_t*, size_t);

#if defined(__i386__) && defined(__GNUC__) && !defined(__clang__)
// The 32-bit build's baseline is the i686, without vector units; the
// processors that run it today all have SSE2, which adds 16 columns at once.
// The loop is built a second time for SSE2 and picked once, at run time.
__attribute__((target("sse2"))) PM_VECTORIZE void AddColumnsSse2(uint32_t* __restrict sums,
                                                                 const uint8_t* __restrict row, size_t n) {
    AddColumnsBody(sums, row, n);
}

AddColumnsFn PickAddColumns() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2") ? AddColumnsSse2 : AddColumnsPlain;
}
#else
AddColumnsFn PickAddColumns() { return AddColumnsPlain; }
#endif

const AddColumnsFn AddColumns = PickAddColumns();

}  // namespace

unsigned StreamFactor(DibReadRequest* r, uint32_t width, uint32_t height) {
    if (!r) return 1;
    r->Reduction = 1;
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) return 1;
    r->FullSize = PmSize{int32_t(width), int32_t(height)};
    PmSize target{0, 0};
    if (!r->TargetSize || !r->TargetSize(r->Context, &r->FullSize, &target)) return 1;
    return DibIO_StreamReduction(r->FullSize, target);
}

bool StreamReducer::Begin(uint32_t width, uint32_t height, unsigned factor, int channels) {
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide ||
        uint64_t(width) * height > kMaxStreamedPixels || factor < 1 || factor > kMaxFactor) {
        NoteTooLarge();
        return false;
    }
    w_ = width;
    h_ = height;
    k_ = factor;
    channels_ = channels == 4 ? 4 : 3;
    outW_ = (width + factor - 1) / factor;
    outH_ = (height + factor - 1) / factor;
    band_ = -1;
    rowsIn_ = 0;
    if (!NewDib(outW_, outH_, channels_ * 8, &dib_)) {
        NoteTooLarge();
        return false;
    }
    try {
        acc_.assign(size_t(width) * (channels_ == 4 ? 7 : 3), 0);
    } catch (const std::bad_alloc&) {
        NoteTooLarge();
        return false;
    }
    return true;
}

void StreamReducer::Row(uint32_t y, const uint8_t* row) {
    if (y >= h_) return;
    const int64_t band = y / k_;
    if (band != band_) {
        if (band_ >= 0) Flush();
        band_ = band;
    }
    ++rowsIn_;
    // Columns first: a straight run over the row that the compiler turns
    // into vector adds; the boxes across are summed once a band.
    uint32_t* __restrict a = acc_.data();
    const size_t n = size_t(w_) * channels_;
    AddColumns(a, row, n);
    if (channels_ == 4) {
        uint32_t* __restrict wa = a + n;
        for (size_t x = 0; x < w_; ++x) {
            const uint32_t alpha = row[4 * x + 3];
            wa[3 * x] += row[4 * x] * alpha;
            wa[3 * x + 1] += row[4 * x + 1] * alpha;
            wa[3 * x + 2] += row[4 * x + 2] * alpha;
        }
    }
}

void StreamReducer::Flush() {
    const uint64_t top = uint64_t(band_) * k_;
    const uint64_t ny = std::min<uint64_t>(k_, h_ - top);
    uint8_t* out = TopRow(dib_.header, dib_.bits, band_);
    const uint32_t* a = acc_.data();
    const uint32_t* wa = a + size_t(w_) * channels_;
    const int ch = channels_;
    for (uint32_t ox = 0; ox < outW_; ++ox) {
        const uint32_t x0 = ox * k_;
        const uint32_t nx = std::min<uint32_t>(k_, w_ - x0);
        const uint64_t n = nx * ny;
        uint64_t sum[4] = {0, 0, 0, 0}, weighted[3] = {0, 0, 0};
        for (uint32_t x = x0; x < x0 + nx; ++x) {
            for (int c = 0; c < ch; ++c) sum[c] += a[size_t(x) * ch + c];
            if (ch == 4)
                for (int c = 0; c < 3; ++c) weighted[c] += wa[size_t(x) * 3 + c];
        }
        if (ch == 3) {
            for (int c = 0; c < 3; ++c) out[ox * 3 + c] = uint8_t((sum[c] + n / 2) / n);
        } else {
            const uint64_t alpha = sum[3];
            for (int c = 0; c < 3; ++c)
                out[ox * 4 + c] = uint8_t(alpha ? (weighted[c] + alpha / 2) / alpha : (sum[c] + n / 2) / n);
            out[ox * 4 + 3] = uint8_t((alpha + n / 2) / n);
        }
    }
    std::fill(acc_.begin(), acc_.end(), 0);
}

bool StreamReducer::Finish(DibReadRequest* request, DibHolder* out) {
    if (band_ >= 0) Flush();
    band_ = -1;
    if (!dib_.header || rowsIn_ < h_) return false;
    out->Reset();
    out->header = dib_.header;
    out->bits = dib_.bits;
    dib_.header = nullptr;
    dib_.bits = nullptr;
    if (request) request->Reduction = k_;
    return true;
}

}  // namespace pmio

unsigned DibIO_StreamReduction(PmSize full, PmSize target) {
    if (full.cx < 1 || full.cy < 1 || target.cx < 1 || target.cy < 1) return 1;
    uint64_t k = std::min(uint64_t(full.cx) / (pmio::kCoverage * uint64_t(target.cx)),
                          uint64_t(full.cy) / (pmio::kCoverage * uint64_t(target.cy)));
    if (k < 2) return 1;
    return unsigned(std::min<uint64_t>(k, pmio::kMaxFactor));
}
