// pmImageOverView: shows a copy of the last image handed to it, fitted into
// the image box of its display settings, with a caption line below, on the
// settings' background colour.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmsingleops.h"
#include "makerlibs/pmwinkit.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "pmImageOverView";
constexpr int kCaptionLine = 20;  // pixels below the image area

struct OverView {
    PreviewSettings settings;
    // The image is copied: the sender frees its DIB as soon as the message
    // returns. A larger image is kept only at the size it is drawn, so that
    // a run of huge images does not hold a third copy of the largest one
    // for as long as the dialog stays open.
    std::vector<uint8_t> info;  // header and colour table
    std::vector<uint8_t> bits;
    std::string caption;
    int frameStyle = 0;
    bool neverEnlarge = true;
    bool showCaption = true;
    bool smooth = true;
};

OverView* StateOf(HWND w) { return reinterpret_cast<OverView*>(GetWindowLongPtrA(w, GWLP_USERDATA)); }

void DefaultSettings(HWND w, PreviewSettings* s) {
    std::memset(s, 0, sizeof *s);
    s->Size = kPreviewSettingsSize;
    s->Version = kPreviewSettingsVersion;
    s->FitMode = 2;
    RECT rc;
    GetClientRect(w, &rc);
    s->AreaWidth = rc.right;
    s->AreaHeight = std::max<LONG>(0, rc.bottom - kCaptionLine);
    s->BoxRight = s->BoxWidth = s->AreaWidth;
    s->BoxBottom = s->BoxHeight = s->AreaHeight;
    s->Background = GetSysColor(COLOR_BTNFACE);
    s->FrameColor = GetSysColor(COLOR_BTNFACE);
}

// Bytes of the header and colour table that a DIB's pixels need to be drawn.
size_t InfoBytes(const DibHeader* h) {
    size_t bytes = h->biSize < sizeof(DibHeader) ? sizeof(DibHeader) : h->biSize;
    if (h->biCompression == kBiBitfields) bytes += 12;
    return bytes + size_t(DibCore_ColorCount(h)) * sizeof(RgbQuad);
}

// Drops the image and gives its memory back (clear() would keep it).
void Forget(OverView* st) {
    std::vector<uint8_t>().swap(st->info);
    std::vector<uint8_t>().swap(st->bits);
}

RECT FitRect(const OverView* st, int imageW, int imageH);

// The image reduced to w x h (smaller than the image on either axis) as 24
// bits, with the scaler the control draws with.
bool ScaledCopy(OverView* st, const DibHeader* h, const uint8_t* bits, int w, int height) {
    DibHeader d{};
    d.biSize = sizeof(DibHeader);
    d.biWidth = w;
    d.biHeight = h->biHeight < 0 ? -height : height;
    d.biPlanes = 1;
    d.biBitCount = 24;
    d.biCompression = kBiRgb;
    size_t pixelBytes = 0;
    if (!DibImageBytes(d.biWidth, d.biHeight, 24, &pixelBytes)) return false;
    d.biSizeImage = uint32_t(pixelBytes);
    st->info.assign(reinterpret_cast<const uint8_t*>(&d), reinterpret_cast<const uint8_t*>(&d) + sizeof d);
    st->bits.assign(pixelBytes, 0);
    auto* dh = reinterpret_cast<DibHeader*>(st->info.data());
    int ok = st->smooth ? Geom_ShrinkSmooth(0, 0, h, bits, dh, st->bits.data())
                        : Geom_Shrink(0, h, bits, 0, 0, w, height, st->bits.data());
    if (!ok) Forget(st);
    return ok != 0;
}

bool CopyImage(OverView* st, const PreviewImage* img) {
    Forget(st);
    st->caption = img->Caption ? img->Caption : "";
    const DibHeader* h = img->Header;
    if (!h || !img->Bits || h->biWidth <= 0 || h->biHeight == 0) return false;
    size_t pixelBytes = 0;
    if (!DibImageBytes(h->biWidth, h->biHeight, h->biBitCount, &pixelBytes)) return false;
    int imageH = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    RECT drawn = FitRect(st, h->biWidth, imageH);
    int w = std::min<int>(drawn.right - drawn.left, h->biWidth);
    int height = std::min<int>(drawn.bottom - drawn.top, imageH);
    // Compressed pixels cannot be scaled here; such an image is kept whole.
    bool scalable = h->biCompression == kBiRgb || h->biCompression == kBiBitfields;
    if (scalable && (w < h->biWidth || height < imageH)) return ScaledCopy(st, h, img->Bits, w, height);
    size_t infoBytes = InfoBytes(h);
    st->info.assign(reinterpret_cast<const uint8_t*>(h), reinterpret_cast<const uint8_t*>(h) + infoBytes);
    // The copy always starts with a plain 40-byte header for StretchDIBits.
    reinterpret_cast<DibHeader*>(st->info.data())->biSize = std::max<uint32_t>(h->biSize, sizeof(DibHeader));
    st->bits.assign(img->Bits, img->Bits + pixelBytes);
    return true;
}

// The image box clipped to the area: a box larger than the area (an output
// size above the preview's size) still shows the whole image.
RECT FitRect(const OverView* st, int imageW, int imageH) {
    const PreviewSettings& s = st->settings;
    RECT area{0, 0, s.AreaWidth, s.AreaHeight};
    RECT box{s.BoxLeft, s.BoxTop, s.BoxRight, s.BoxBottom};
    RECT room;
    if (!IntersectRect(&room, &area, &box)) room = area;
    int roomW = room.right - room.left, roomH = room.bottom - room.top;
    double scale = std::min(double(roomW) / imageW, double(roomH) / imageH);
    if (st->neverEnlarge && scale > 1.0) scale = 1.0;
    int w = std::max(1, int(imageW * scale + 0.5)), h = std::max(1, int(imageH * scale + 0.5));
    int x = room.left + (roomW - w) / 2, y = room.top + (roomH - h) / 2;
    return RECT{x, y, x + w, y + h};
}

void Paint(HWND w, OverView* st) {
    PAINTSTRUCT ps;
    HDC target = BeginPaint(w, &ps);
    RECT client;
    GetClientRect(w, &client);
    // Drawn off screen first so that the image does not flicker while the
    // worker sends one frame after another.
    HDC dc = CreateCompatibleDC(target);
    HBITMAP buffer = CreateCompatibleBitmap(target, std::max<LONG>(1, client.right), std::max<LONG>(1, client.bottom));
    HGDIOBJ oldBitmap = SelectObject(dc, buffer);

    HBRUSH back = CreateSolidBrush(st->settings.Background & 0xFFFFFF);
    FillRect(dc, &client, back);
    DeleteObject(back);

    if (!st->info.empty()) {
        auto* h = reinterpret_cast<const DibHeader*>(st->info.data());
        int imageH = h->biHeight < 0 ? -h->biHeight : h->biHeight;
        RECT r = FitRect(st, h->biWidth, imageH);
        SetStretchBltMode(dc, st->smooth ? HALFTONE : COLORONCOLOR);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchDIBits(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, 0, 0, h->biWidth, imageH,
                      st->bits.data(), reinterpret_cast<const BITMAPINFO*>(st->info.data()), DIB_RGB_COLORS,
                      SRCCOPY);
    }
    if (st->showCaption && !st->caption.empty()) {
        RECT line{0, st->settings.AreaHeight, client.right, st->settings.AreaHeight + kCaptionLine};
        if (line.bottom > client.bottom) OffsetRect(&line, 0, client.bottom - line.bottom);
        HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        DrawTextA(dc, st->caption.c_str(), -1, &line,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
        SelectObject(dc, oldFont);
    }
    if (st->frameStyle) DrawEdge(dc, &client, EDGE_SUNKEN, BF_RECT);

    BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldBitmap);
    DeleteObject(buffer);
    DeleteDC(dc);
    EndPaint(w, &ps);
}

LRESULT Handle(HWND w, OverView* st, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case PVM_RESET:
        Forget(st);
        st->caption.clear();
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PVM_SETFRAME:
        st->frameStyle = int(wp);
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PVM_SETZOOMLIMIT:
        st->neverEnlarge = wp != 0;
        return 1;
    case PVM_SETCAPTION:
        st->showCaption = wp != 0;
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PVM_SETSMOOTH:
        st->smooth = wp != 0;
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    case PVM_GETSETTINGS: {
        auto* s = reinterpret_cast<PreviewSettings*>(lp);
        if (!s || s->Size < sizeof(uint32_t)) return 0;
        // A caller with an older, shorter record gets what fits.
        uint32_t n = std::min<uint32_t>(s->Size, sizeof(PreviewSettings));
        std::memcpy(reinterpret_cast<uint8_t*>(s) + 4, reinterpret_cast<const uint8_t*>(&st->settings) + 4, n - 4);
        return 1;
    }
    case PVM_SETSETTINGS: {
        auto* s = reinterpret_cast<const PreviewSettings*>(lp);
        if (!s || s->Size < sizeof(uint32_t)) return 0;
        uint32_t n = std::min<uint32_t>(s->Size, sizeof(PreviewSettings));
        std::memcpy(reinterpret_cast<uint8_t*>(&st->settings) + 4, reinterpret_cast<const uint8_t*>(s) + 4, n - 4);
        st->settings.Size = kPreviewSettingsSize;
        InvalidateRect(w, nullptr, FALSE);
        return 1;
    }
    case PVM_SHOWIMAGE: {
        auto* img = reinterpret_cast<const PreviewImage*>(lp);
        if (!img || img->Size < kPreviewImageSize) return 0;
        bool ok = CopyImage(st, img);
        InvalidateRect(w, nullptr, FALSE);
        // Painted now: the worker goes on at once and the next frame may
        // replace this one before the message loop would get to it.
        UpdateWindow(w);
        return ok ? 1 : 0;
    }
    case WM_SIZE:
        InvalidateRect(w, nullptr, FALSE);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint(w, st);
        return 0;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

LRESULT CALLBACK OverViewProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* st = new (std::nothrow) OverView;
        if (!st) return FALSE;
        DefaultSettings(w, &st->settings);
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(st));
        return DefWindowProcA(w, msg, wp, lp);
    }
    OverView* st = StateOf(w);
    if (msg == WM_NCDESTROY) {
        // The last message a window gets.
        SetWindowLongPtrA(w, GWLP_USERDATA, 0);
        delete st;
        return DefWindowProcA(w, msg, wp, lp);
    }
    if (!st) return DefWindowProcA(w, msg, wp, lp);
    try {
        return Handle(w, st, msg, wp, lp);
    } catch (...) {
        // Out of memory copying an image: show nothing rather than unwind
        // through the window manager.
        Forget(st);
        return 0;
    }
}

}  // namespace

BOOL Preview_RegisterOverView(HINSTANCE instance) {
    return WinKit_RegisterControlClass(instance, kClassName, OverViewProc);
}

size_t Preview_HeldImageBytes(HWND preview) {
    OverView* st = preview ? StateOf(preview) : nullptr;
    return st ? st->info.capacity() + st->bits.capacity() : 0;
}

LRESULT Preview_Send(HWND preview, UINT message, WPARAM wParam, LPARAM lParam) {
    return preview ? SendMessageA(preview, message, wParam, lParam) : 0;
}
