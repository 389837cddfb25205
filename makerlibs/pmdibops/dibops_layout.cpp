// PMDIBOPS: fitting and the layout of turned, zoomed logical screens.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmheap.h"

#include <cstring>

using namespace pmpix;

namespace {

// Sizes stay within what a DIB may have: at least 1, at most the side limit.
int32_t ClampSide(int64_t v) {
    if (v < 1) return 1;
    if (v > int64_t(kMaxImageSide)) return int32_t(kMaxImageSide);
    return int32_t(v);
}

// Rounded a * b / c for non-negative values without overflow.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c) { return (a * b * 2 + c) / (c * 2); }

bool IsQuarterTurnOdd(int32_t angle) {
    int64_t deg = ((int64_t(angle) / 65536) % 360 + 360) % 360;
    return deg == 90 || deg == 270;
}

int QuarterTurns(int32_t angle) {
    int64_t deg = ((int64_t(angle) / 65536) % 360 + 360) % 360;
    return int(deg / 90) & 3;
}

}  // namespace

int DibOps_FitSize(const PmSize* box, int, PmSize* size) {
    if (!box || !size) return 0;
    int64_t bw = ClampSide(box->cx), bh = ClampSide(box->cy);
    int64_t w = ClampSide(size->cx), h = ClampSide(size->cy);
    // Width-limited when w/h >= bw/bh.
    if (w * bh >= h * bw) {
        size->cx = int32_t(bw);
        size->cy = ClampSide(MulDivRound(h, bw, w));
        if (size->cy > bh) size->cy = int32_t(bh);
    } else {
        size->cy = int32_t(bh);
        size->cx = ClampSide(MulDivRound(w, bh, h));
        if (size->cx > bw) size->cx = int32_t(bw);
    }
    return 1;
}

// Frames are composed on a canvas when the screen is zoomed and the frame
// does not cover the whole screen: a frame scaled on its own has edges that
// the scaler blends with nothing and that round independently of its
// neighbours, so it would no longer meet the pixels of the frames below it.
// Whole-screen frames, and any frame of an unzoomed screen (turning moves
// pixels without changing them), keep their own pixels.
int DibOps_ComputeLayout(int32_t angle, int zoom, const PmSize* box, PmSize* size, PmRect* rect) {
    if (!size) return 0;
    int64_t sw = ClampSide(size->cx), sh = ClampSide(size->cy);
    int turns = QuarterTurns(angle);
    int64_t tw = IsQuarterTurnOdd(angle) ? sh : sw;
    int64_t th = IsQuarterTurnOdd(angle) ? sw : sh;

    PmSize out{int32_t(tw), int32_t(th)};
    if (zoom == 1 && box) {
        DibOps_FitSize(box, 0, &out);
    } else if (zoom != 0) {
        out.cx = box ? ClampSide(box->cx) : int32_t(tw);
        out.cy = box ? ClampSide(box->cy) : int32_t(th);
    }
    size->cx = out.cx;
    size->cy = out.cy;
    bool zoomed = out.cx != tw || out.cy != th;
    if (!rect) return 0;

    // The rectangle clipped to the screen, then turned with it.
    auto clip = [](int64_t v, int64_t hi) { return v < 0 ? 0 : v > hi ? hi : v; };
    int64_t l = clip(rect->left, sw), t = clip(rect->top, sh);
    int64_t r = clip(rect->right, sw), b = clip(rect->bottom, sh);
    if (r < l) r = l;
    if (b < t) b = t;
    bool whole = l == 0 && t == 0 && r == sw && b == sh;
    int64_t L, T, R, B;
    switch (turns) {
    case 1: L = t; T = sw - r; R = b; B = sw - l; break;        // counter-clockwise
    case 2: L = sw - r; T = sh - b; R = sw - l; B = sh - t; break;
    case 3: L = sh - b; T = l; R = sh - t; B = r; break;
    default: L = l; T = t; R = r; B = b; break;
    }
    // Edges map with one rounding rule, so neighbouring frames stay joined.
    L = MulDivRound(L, out.cx, tw);
    R = MulDivRound(R, out.cx, tw);
    T = MulDivRound(T, out.cy, th);
    B = MulDivRound(B, out.cy, th);
    // A frame never vanishes: it keeps at least one pixel inside the screen.
    if (R <= L) {
        if (L >= out.cx) L = out.cx - 1;
        R = L + 1;
    }
    if (B <= T) {
        if (T >= out.cy) T = out.cy - 1;
        B = T + 1;
    }
    rect->left = int32_t(L);
    rect->top = int32_t(T);
    rect->right = int32_t(R);
    rect->bottom = int32_t(B);
    return zoomed && !whole ? 1 : 0;
}

// The mask scaled by nearest pixel centres: a mask holds two kinds of entry,
// and any blend between them would be a third.
int DibOps_ResizeMask(const PmSize* size, int, const DibHeader* mask, const uint8_t* maskBits, DibHeader** outHeader,
                      uint8_t** outBits) {
    if (!outHeader || !outBits) return 0;
    *outHeader = nullptr;
    *outBits = nullptr;
    View s;
    if (!size || !MakeView(mask, maskBits, &s) || s.bitCount != 8) return 0;
    DibHeader templ = *mask;
    templ.biSize = sizeof(DibHeader);
    templ.biWidth = ClampSide(size->cx);
    int32_t h = ClampSide(size->cy);
    templ.biHeight = s.topDown ? -h : h;
    templ.biClrUsed = uint32_t(s.tableCount);
    DibHeader* dh = nullptr;
    uint8_t* db = nullptr;
    if (!DibCore_Create(&templ, 0, &dh, &db)) return 0;
    std::memcpy(TableOf(dh), s.table, size_t(s.tableCount) * sizeof(RgbQuad));
    View d;
    MakeView(dh, db, &d);
    // Source column of each destination column, computed once.
    int* cols = static_cast<int*>(PmHeap_Alloc(size_t(d.width) * sizeof(int)));
    if (!cols) {
        DibCore_Free(dh, db);
        return 0;
    }
    for (int x = 0; x < d.width; ++x) cols[x] = int((int64_t(x) * 2 + 1) * s.width / (int64_t(d.width) * 2));
    for (int y = 0; y < d.height; ++y) {
        int sy = int((int64_t(y) * 2 + 1) * s.height / (int64_t(d.height) * 2));
        const uint8_t* in = s.Row(sy);
        uint8_t* out = d.Row(y);
        for (int x = 0; x < d.width; ++x) out[x] = in[cols[x]];
    }
    PmHeap_Free(cols);
    *outHeader = dh;
    *outBits = db;
    return 1;
}
