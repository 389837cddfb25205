// pmImageProgress: an indicator that shows a run is alive without knowing
// how far it is: a band of blocks sweeping back and forth.
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmwinkit.h"

#include <algorithm>
#include <new>

namespace {

constexpr char kClassName[] = "pmImageProgress";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTickMs = 80;
constexpr int kBlockWidth = 8;
constexpr int kBlockGap = 2;
constexpr int kBandBlocks = 5;

struct Indicator {
    bool started = false;
    int holds = 0;  // 0x8004 and 0x8005 come in pairs and may nest
    int position = 0;
    int step = 1;
};

Indicator* StateOf(HWND w) { return reinterpret_cast<Indicator*>(GetWindowLongPtrA(w, GWLP_USERDATA)); }

void UpdateTimer(HWND w, const Indicator* st) {
    if (st->started && st->holds == 0)
        SetTimer(w, kTimerId, kTickMs, nullptr);
    else
        KillTimer(w, kTimerId);
}

void Advance(HWND w, Indicator* st) {
    RECT rc;
    GetClientRect(w, &rc);
    int pitch = kBlockWidth + kBlockGap;
    int slots = std::max(1, int(rc.right) / pitch);
    int last = std::max(0, slots - kBandBlocks);
    st->position += st->step;
    if (st->position >= last) {
        st->position = last;
        st->step = -1;
    } else if (st->position <= 0) {
        st->position = 0;
        st->step = 1;
    }
    InvalidateRect(w, nullptr, FALSE);
}

void Paint(HWND w, const Indicator* st) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    RECT rc;
    GetClientRect(w, &rc);
    FillRect(dc, &rc, GetSysColorBrush(COLOR_WINDOW));
    if (st->started) {
        HBRUSH bar = GetSysColorBrush(st->holds ? COLOR_GRAYTEXT : COLOR_HIGHLIGHT);
        int pitch = kBlockWidth + kBlockGap;
        for (int i = 0; i < kBandBlocks; ++i) {
            int x = 2 + (st->position + i) * pitch;
            if (x + kBlockWidth > rc.right - 1) break;
            RECT block{x, std::min<LONG>(2, rc.bottom), x + kBlockWidth, std::max<LONG>(0, rc.bottom - 2)};
            FillRect(dc, &block, bar);
        }
    }
    EndPaint(w, &ps);
}

LRESULT CALLBACK IndicatorProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* st = new (std::nothrow) Indicator;
        if (!st) return FALSE;
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(st));
        return DefWindowProcA(w, msg, wp, lp);
    }
    Indicator* st = StateOf(w);
    if (!st) return DefWindowProcA(w, msg, wp, lp);
    switch (msg) {
    case PPM_START:
        st->started = wp != 0;
        st->holds = 0;
        st->position = 0;
        st->step = 1;
        UpdateTimer(w, st);
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PPM_HOLD:
        ++st->holds;
        UpdateTimer(w, st);
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PPM_RESUME:
        if (st->holds > 0) --st->holds;
        UpdateTimer(w, st);
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case WM_TIMER:
        if (wp == kTimerId) Advance(w, st);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint(w, st);
        return 0;
    case WM_NCDESTROY:
        KillTimer(w, kTimerId);
        SetWindowLongPtrA(w, GWLP_USERDATA, 0);
        delete st;
        break;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

}  // namespace

BOOL Preview_RegisterIndicator(HINSTANCE instance) {
    return WinKit_RegisterControlClass(instance, kClassName, IndicatorProc);
}

BOOL Preview_RegisterOverView(HINSTANCE instance);

BOOL Preview_RegisterClasses(HINSTANCE instance) {
    BOOL a = Preview_RegisterOverView(instance);
    BOOL b = Preview_RegisterIndicator(instance);
    return a && b;
}
