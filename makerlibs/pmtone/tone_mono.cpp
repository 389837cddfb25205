// PMTONE: one-bit output.
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmquant/palette_map.h"
#include "makerlibs/pmsingleops.h"

#include <cstring>

using namespace pmpix;

namespace {

bool Prepare(const DibHeader* header, const uint8_t* bits, DibHeader* dst, uint8_t* dstBits, View* s, View* d) {
    if (!MakeView(header, bits, s) || !MakeView(dst, dstBits, d)) return false;
    if (d->bitCount != 1 || d->tableCount < 2 || s->width != d->width || s->height != d->height) return false;
    RgbQuad* t = TableOf(dst);
    t[0] = RgbQuad{0, 0, 0, 0};
    t[1] = RgbQuad{255, 255, 255, 0};
    return true;
}

void LumaRow(const View& s, int y, uint8_t* bgr, int16_t* luma) {
    RowToBgr(s, y, bgr);
    for (int x = 0; x < s.width; ++x) luma[x] = int16_t(Luma(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]));
}

}  // namespace

// Floyd-Steinberg on the luminance, serpentine so that the error does not
// drift to one side.
int Tone_ToMonochrome(const DibHeader* header, const uint8_t* bits, int, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!Prepare(header, bits, dst, dstBits, &s, &d)) return 0;
    HeapBuf<uint8_t> bgr;
    HeapBuf<int16_t> luma;
    HeapBuf<int> errA, errB;
    size_t n = size_t(s.width) + 2;
    if (!bgr.Alloc(size_t(s.width) * 3) || !luma.Alloc(size_t(s.width)) || !errA.Alloc(n, true) || !errB.Alloc(n, true))
        return 0;
    int* cur = errA.get();
    int* nxt = errB.get();
    for (int y = 0; y < s.height; ++y) {
        LumaRow(s, y, bgr.get(), luma.get());
        std::memset(nxt, 0, n * sizeof(int));
        uint8_t* out = d.Row(y);
        std::memset(out, 0, d.stride);
        bool ltr = (y & 1) == 0;
        int step = ltr ? 1 : -1;
        for (int i = 0; i < s.width; ++i) {
            int x = ltr ? i : s.width - 1 - i;
            int v = luma[x] + ((cur[x + 1] + 8) >> 4);
            int o = v >= 128 ? 255 : 0;
            if (o) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
            int e = v - o;
            cur[x + 1 + step] += e * 7;
            nxt[x + 1 - step] += e * 3;
            nxt[x + 1] += e * 5;
            nxt[x + 1 + step] += e;
        }
        int* t = cur;
        cur = nxt;
        nxt = t;
    }
    return 1;
}

// A few pixels carry too little area for dithering to mean anything; each
// is black or white by its own brightness.
int Tone_ToMonochromeSmall(const DibHeader* header, const uint8_t* bits, int, int, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!Prepare(header, bits, dst, dstBits, &s, &d)) return 0;
    HeapBuf<uint8_t> bgr;
    HeapBuf<int16_t> luma;
    if (!bgr.Alloc(size_t(s.width) * 3) || !luma.Alloc(size_t(s.width))) return 0;
    for (int y = 0; y < s.height; ++y) {
        LumaRow(s, y, bgr.get(), luma.get());
        uint8_t* out = d.Row(y);
        for (int x = 0; x < s.width; ++x) SetIndex(out, x, 1, luma[x] >= 128 ? 1 : 0);
    }
    return 1;
}
