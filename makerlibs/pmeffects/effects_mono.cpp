// PMEFFECTS: preparing an image for one-bit output.
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmquant/palette_map.h"
#include "makerlibs/pmsingleops.h"

using namespace pmpix;

// Mode 1: grey with its levels stretched so that the darkest and lightest
// half percent reach black and white. Dithering to two levels then spends
// its dots on the picture's own range instead of on a washed-out middle.
int Effects_MonoPrepare(int, const DibHeader* header, const uint8_t* bits, int mode, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!MakeView(header, bits, &s) || !MakeView(dst, dstBits, &d)) return 0;
    if (d.bitCount != 24 || s.width != d.width || s.height != d.height) return 0;
    HeapBuf<uint8_t> line;
    if (!line.Alloc(size_t(s.width) * 3)) return 0;
    uint64_t hist[256] = {};
    for (int y = 0; y < s.height; ++y) {
        RowToBgr(s, y, line.get());
        uint8_t* out = d.Row(y);
        for (int x = 0; x < s.width; ++x) {
            const uint8_t* p = line.get() + 3 * x;
            uint8_t v = uint8_t(Luma(p[2], p[1], p[0]));
            out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = v;
            ++hist[v];
        }
    }
    uint64_t total = uint64_t(s.width) * uint64_t(s.height);
    uint64_t cut = total / 200;
    int lo = 0, hi = 255;
    for (uint64_t acc = 0; lo < 255 && (acc += hist[lo]) <= cut;) ++lo;
    for (uint64_t acc = 0; hi > 0 && (acc += hist[hi]) <= cut;) --hi;
    if (mode != 1 || hi - lo < 16) return 1;  // flat images keep their grey
    uint8_t lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = Clamp255((v - lo) * 255 / (hi - lo));
    for (int y = 0; y < d.height; ++y) {
        uint8_t* out = d.Row(y);
        for (size_t i = 0; i < size_t(d.width) * 3; ++i) out[i] = lut[out[i]];
    }
    return 1;
}
