// PMGEOM: the scalers. All three share one plan: a large reduction first
// averages whole blocks of pixels (exact area averaging by an integer
// factor: one addition per source byte, and it never aliases), then a
// separable filter in 14-bit fixed point does the remaining fractional
// step in each direction, horizontal first.
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmquant/palette_map.h"
#include "makerlibs/pmsingleops.h"

#include <atomic>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace pmpix;

namespace {

std::atomic<bool> g_portableForTest{false};

constexpr int kFracBits = 14;
constexpr int kOne = 1 << kFracBits;
constexpr double kPi = 3.14159265358979323846;

enum class Kind { Lanczos3, Mitchell, Linear };

double Sinc(double x) {
    if (x == 0) return 1;
    x *= kPi;
    return std::sin(x) / x;
}

double KernelAt(Kind k, double x) {
    x = std::fabs(x);
    switch (k) {
    case Kind::Lanczos3: return x < 3 ? Sinc(x) * Sinc(x / 3) : 0;
    case Kind::Linear: return x < 1 ? 1 - x : 0;
    case Kind::Mitchell: {
        // B = C = 1/3: smooth, without the ringing of sharper cubics.
        const double B = 1.0 / 3, C = 1.0 / 3;
        if (x < 1) return ((12 - 9 * B - 6 * C) * x * x * x + (-18 + 12 * B + 6 * C) * x * x + (6 - 2 * B)) / 6;
        if (x < 2)
            return ((-B - 6 * C) * x * x * x + (6 * B + 30 * C) * x * x + (-12 * B - 48 * C) * x + (8 * B + 24 * C)) / 6;
        return 0;
    }
    }
    return 0;
}

double SupportOf(Kind k) { return k == Kind::Lanczos3 ? 3 : k == Kind::Mitchell ? 2 : 1; }

// Filter taps of every output position along one axis.
struct Taps {
    HeapBuf<int> start;
    HeapBuf<int16_t> weights;
    // The weights two by two as the halves of one 32-bit word (the second
    // in the high half), perPair words per output: what the vector loop
    // multiplies a pair of pixels with.
    HeapBuf<uint32_t> pairs;
    int perOut = 0, perPair = 0;

    // `in` samples stand for `span` source pixels (more than `in` after
    // whole-factor averaging), so positions map through the true source
    // size: the averaged samples sit at the centres of their boxes.
    bool Build(int in, double offset, double span, int out, Kind kind, bool widen) {
        double scale = span / out;
        double fs = widen && scale > 1 ? scale : 1;
        double support = SupportOf(kind) * fs;
        perOut = int(std::ceil(support * 2)) + 1;
        if (!start.Alloc(size_t(out)) || !weights.Alloc(size_t(out) * perOut, true)) return false;
        HeapBuf<double> tmp;
        if (!tmp.Alloc(size_t(perOut))) return false;
        for (int o = 0; o < out; ++o) {
            double center = offset + (o + 0.5) * scale - 0.5;
            int first = int(std::floor(center - support)) + 1;
            // Keep every tap inside the image: taps that would fall outside
            // add their weight to the edge pixel.
            int lo = first < 0 ? 0 : first;
            int hi = first + perOut - 1;
            if (hi > in - 1) hi = in - 1;
            if (hi < 0) hi = 0;  // a window wholly before the image
            if (lo > hi) lo = hi;
            int span = hi - lo + 1;
            if (span > perOut) span = perOut;
            for (int t = 0; t < perOut; ++t) tmp[t] = 0;
            double sum = 0;
            for (int t = 0; t < perOut; ++t) {
                int i = first + t;
                double w = KernelAt(kind, (i - center) / fs);
                if (w == 0) continue;
                int c = i < lo ? lo : i > hi ? hi : i;
                tmp[c - lo] += w;
                sum += w;
            }
            if (sum == 0) {
                int c = int(std::floor(center + 0.5));
                c = c < lo ? lo : c > hi ? hi : c;
                tmp[c - lo] = 1;
                sum = 1;
            }
            int16_t* w = &weights[size_t(o) * perOut];
            int total = 0, big = 0;
            for (int t = 0; t < span; ++t) {
                w[t] = int16_t(std::lround(tmp[t] / sum * kOne));
                total += w[t];
                if (std::abs(w[t]) > std::abs(w[big])) big = t;
            }
            w[big] = int16_t(w[big] + (kOne - total));
            start[o] = lo;
        }
        return true;
    }

    // The pairs of weights, for the horizontal pass's vector loop.
    bool BuildPairs(int out) {
        perPair = (perOut + 1) / 2;
        if (!pairs.Alloc(size_t(out) * perPair)) return false;
        for (int o = 0; o < out; ++o) {
            const int16_t* w = &weights[size_t(o) * perOut];
            for (int k = 0; k < perPair; ++k) {
                uint32_t second = 2 * k + 1 < perOut ? uint16_t(w[2 * k + 1]) : 0;
                pairs[size_t(o) * perPair + k] = uint32_t(uint16_t(w[2 * k])) | second << 16;
            }
        }
        return true;
    }
};

// A 24-bit image in a plain buffer, top row first.
struct Plane {
    HeapBuf<uint8_t> px;
    int w = 0, h = 0;
    size_t stride = 0;
    bool Alloc(int width, int height) {
        w = width;
        h = height;
        stride = size_t(width) * 3;
        return px.Alloc(stride * size_t(height));
    }
    uint8_t* Row(int y) const { return px.get() + stride * size_t(y); }
};

// acc[i] += p[i]. Blocks of a fixed 16 let the compiler use vector
// additions at -O2 without a separate tail loop of its own.
void AddRow(uint32_t* __restrict acc, const uint8_t* __restrict p, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        for (int k = 0; k < 16; ++k) acc[i + k] += p[i + k];
    for (; i < n; ++i) acc[i] += p[i];
}

// sum / count, given recip = 2^40 / count rounded. sum <= 255 * count keeps
// the product below 2^48. The reciprocal's rounding error grows with the
// box: at 32 bits a box of 20 megapixels came out more than half a level
// high (white rounded to 256); at 40 bits it stays far below that for any
// image within the limits.
inline uint8_t Average(uint64_t sum, uint64_t recip) {
    uint64_t v = (sum * recip + (uint64_t(1) << 39)) >> 40;
    return uint8_t(v > 255 ? 255 : v);
}

// Area average by whole factors kx, ky; the last column and row of boxes
// take the remainder. Rows are first summed down whole (a plain loop over
// contiguous bytes that the compiler vectorises), then across per box.
bool BoxReduce(const View& s, int kx, int ky, Plane* out) {
    int bw = s.width / kx, bh = s.height / ky;
    if (!out->Alloc(bw, bh)) return false;
    size_t rowBytes = size_t(s.width) * 3;
    HeapBuf<uint32_t> colSum;
    HeapBuf<uint8_t> line;
    HeapBuf<int> colEnd;
    if (!colSum.Alloc(rowBytes) || !colEnd.Alloc(size_t(bw))) return false;
    if (s.bitCount != 24 && !line.Alloc(rowBytes)) return false;
    for (int i = 0; i < bw; ++i) colEnd[i] = i == bw - 1 ? s.width : (i + 1) * kx;
    for (int j = 0; j < bh; ++j) {
        int y0 = j * ky, y1 = j == bh - 1 ? s.height : (j + 1) * ky;
        uint32_t* acc = colSum.get();
        std::memset(acc, 0, rowBytes * sizeof(uint32_t));
        for (int y = y0; y < y1; ++y) {
            const uint8_t* p;
            if (s.bitCount == 24) {
                p = s.Row(y);
            } else {
                RowToBgr(s, y, line.get());
                p = line.get();
            }
            AddRow(acc, p, rowBytes);
        }
        uint8_t* o = out->Row(j);
        int rows = y1 - y0;
        uint64_t recip = 0;
        int lastCount = -1;
        const uint32_t* a = acc;
        for (int i = 0; i < bw; ++i) {
            int x0 = i * kx, x1 = colEnd[i];
            // A box may cover the whole image: 17 megapixels of 255 already
            // pass 32 bits. A column sum stays below 2^24 (65535 rows).
            uint64_t b = 0, g = 0, r = 0;
            for (int x = x0; x < x1; ++x, a += 3) {
                b += a[0];
                g += a[1];
                r += a[2];
            }
            int count = rows * (x1 - x0);
            if (count != lastCount) {
                recip = ((uint64_t(1) << 40) + uint64_t(count) / 2) / uint64_t(count);
                lastCount = count;
            }
            o[3 * i] = Average(b, recip);
            o[3 * i + 1] = Average(g, recip);
            o[3 * i + 2] = Average(r, recip);
        }
    }
    return true;
}

// One source row of `sw` pixels filtered horizontally into `width` pixels.
// The sums are of whole numbers, so the order they are added in cannot
// change a result: the vector loop gives the portable loop's bytes.
void FilterRow(const Taps& hx, const uint8_t* in, int sw, uint8_t* out, int width, bool vector) {
    for (int x = 0; x < width; ++x) {
        const int16_t* w = &hx.weights[size_t(x) * hx.perOut];
        const uint8_t* p = in + size_t(hx.start[x]) * 3;
        int n = hx.perOut;
        if (hx.start[x] + n > sw) n = sw - hx.start[x];
        int b = kOne / 2, g = kOne / 2, r = kOne / 2;
        int t = 0;
#if defined(__SSE2__)
        if (vector) {
            // Two taps per multiply-add: the two pixels' samples as 16-bit
            // pairs (blue, blue, green, green, red, red) against the pair of
            // weights. A pixel is loaded as four bytes, the fourth being the
            // next pixel's blue (its product lands in a lane left unused),
            // so the row's last pixel is left to the loop below.
            const int loadable = hx.start[x] + n < sw ? n : n - 1;
            const __m128i zero = _mm_setzero_si128();
            const uint32_t* pair = &hx.pairs[size_t(x) * hx.perPair];
            __m128i acc = zero;
            for (; t + 2 <= loadable; t += 2) {
                uint32_t first, second;
                std::memcpy(&first, p + 3 * t, 4);
                std::memcpy(&second, p + 3 * t + 3, 4);
                __m128i a = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(first)), zero);
                __m128i c = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(second)), zero);
                __m128i weights = _mm_set1_epi32(int(pair[t / 2]));
                acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi16(a, c), weights));
            }
            int32_t sums[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), acc);
            b += sums[0];
            g += sums[1];
            r += sums[2];
        }
#else
        (void)vector;
#endif
        for (; t < n; ++t) {
            b += w[t] * p[3 * t];
            g += w[t] * p[3 * t + 1];
            r += w[t] * p[3 * t + 2];
        }
        out[3 * x] = Clamp255(b >> kFracBits);
        out[3 * x + 1] = Clamp255(g >> kFracBits);
        out[3 * x + 2] = Clamp255(r >> kFracBits);
    }
}

bool Resize(const View& s, const View& d, Kind kind, int prefilterResidual, const PmExtent* extent = nullptr) {
    if (d.bitCount != 24) return false;
    // Whole-factor area averaging while the remaining step stays at least
    // `prefilterResidual` times; the filter then sees enough taps to do the
    // rest without aliasing.
    int kx = 1, ky = 1;
    if (s.width >= d.width * prefilterResidual * 2) kx = s.width / (d.width * prefilterResidual);
    if (s.height >= d.height * prefilterResidual * 2) ky = s.height / (d.height * prefilterResidual);
    Plane box;
    bool boxed = kx > 1 || ky > 1;
    if (boxed && !BoxReduce(s, kx, ky, &box)) return false;
    int sw = boxed ? box.w : s.width, sh = boxed ? box.h : s.height;
    HeapBuf<uint8_t> line;  // one source row of another depth, as 24 bits
    if (!boxed && s.bitCount != 24 && !line.Alloc(size_t(s.width) * 3)) return false;
    auto sourceRow = [&](int y) -> const uint8_t* {
        if (boxed) return box.Row(y);
        if (s.bitCount == 24) return s.Row(y);
        RowToBgr(s, y, line.get());
        return line.get();
    };

    PmExtent e = extent ? *extent : PmExtent{0, 0, double(s.width), double(s.height)};
    Taps hx, vy;
    const bool vector = !g_portableForTest.load(std::memory_order_relaxed);
    if (!hx.Build(sw, e.x / kx, e.width / kx, d.width, kind, true) ||
        !vy.Build(sh, e.y / ky, e.height / ky, d.height, kind, true))
        return false;
#if defined(__SSE2__)
    if (vector && !hx.BuildPairs(d.width)) return false;
#endif

    // Source rows are filtered horizontally on demand into a ring of as many
    // rows as one output row needs. The rows an output row reads only move
    // down, so each is filtered once, and the working set stays a few rows
    // instead of a whole intermediate image.
    int slots = vy.perOut;
    Plane ring;
    HeapBuf<int> slotRow;
    if (!ring.Alloc(d.width, slots) || !slotRow.Alloc(size_t(slots))) return false;
    for (int i = 0; i < slots; ++i) slotRow[i] = -1;
    auto filtered = [&](int y) -> const uint8_t* {
        int slot = y % slots;
        uint8_t* out = ring.Row(slot);
        if (slotRow[slot] == y) return out;
        slotRow[slot] = y;
        FilterRow(hx, sourceRow(y), sw, out, d.width, vector);
        return out;
    };

    // Vertical pass: whole rows at a time, so the inner loop runs along
    // memory.
    size_t rowBytes = size_t(d.width) * 3;
    HeapBuf<int32_t> acc;
    if (!acc.Alloc(rowBytes)) return false;
    for (int y = 0; y < d.height; ++y) {
        for (size_t i = 0; i < rowBytes; ++i) acc[i] = kOne / 2;
        const int16_t* w = &vy.weights[size_t(y) * vy.perOut];
        int n = vy.perOut;
        if (vy.start[y] + n > sh) n = sh - vy.start[y];
        for (int t = 0; t < n; ++t) {
            if (w[t] == 0) continue;
            const uint8_t* row = filtered(vy.start[y] + t);
            int32_t wt = w[t];
            int32_t* a = acc.get();
            for (size_t i = 0; i < rowBytes; ++i) a[i] += wt * row[i];
        }
        uint8_t* out = d.Row(y);
        for (size_t i = 0; i < rowBytes; ++i) out[i] = Clamp255(acc[i] >> kFracBits);
    }
    return true;
}

bool Views(const DibHeader* h, const uint8_t* b, const DibHeader* dh, const uint8_t* db, View* s, View* d) {
    return MakeView(h, b, s) && MakeView(dh, db, d);
}

}  // namespace

void Geom_PortableLoopsForTest(bool portable) { g_portableForTest.store(portable); }

int Geom_ShrinkSmooth(int, int, const DibHeader* header, const uint8_t* bits, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!Views(header, bits, dst, dstBits, &s, &d)) return 0;
    return Resize(s, d, Kind::Lanczos3, 8) ? 1 : 0;
}

int Geom_Resample(int, const DibHeader* header, const uint8_t* bits, int mode, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!Views(header, bits, dst, dstBits, &s, &d)) return 0;
    return Resize(s, d, Kind::Mitchell, 3) ? 1 : 0;
}

int Geom_Shrink(int, const DibHeader* header, const uint8_t* bits, int, int, int width, int height, uint8_t* dstBits) {
    View s;
    if (!dstBits || !MakeView(header, bits, &s)) return 0;
    if (width < 1 || height < 1 || width > s.width || height > s.height) return 0;
    // The destination is 24-bit, of the given size, in the source's row order.
    View d = s;
    d.width = width;
    d.height = height;
    d.bitCount = 24;
    d.stride = size_t(DibStride(uint64_t(width), 24));
    d.table = nullptr;
    d.tableCount = 0;
    d.bits = dstBits;
    // Area averaging to within twice the size, then straight interpolation:
    // crisp edges, a little grain on fine patterns, little work.
    return Resize(s, d, Kind::Linear, 1) ? 1 : 0;
}

int Geom_ZoomExtent(int method, const PmExtent* extent, const DibHeader* header, const uint8_t* bits, DibHeader* dst,
                    uint8_t* dstBits) {
    View s, d;
    if (!Views(header, bits, dst, dstBits, &s, &d)) return 0;
    if (extent && !(extent->width > 0 && extent->height > 0)) return 0;
    switch (method) {
    case 0:
        if (d.width > s.width || d.height > s.height) return 0;
        return Resize(s, d, Kind::Linear, 1, extent) ? 1 : 0;
    case 1: return Resize(s, d, Kind::Mitchell, 3, extent) ? 1 : 0;
    case 2: return Resize(s, d, Kind::Lanczos3, 8, extent) ? 1 : 0;
    default: return 0;
    }
}
