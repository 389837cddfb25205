// The preview control and the progress indicator on their own: settings
// records in and out, the image copied and drawn into its box on the
// background colour, the set-up and indicator messages accepted.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmpreview.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class PreviewWindow : public ::testing::Test {
protected:
    void SetUp() override {
        Preview_RegisterClasses(GetModuleHandleA(nullptr));
        w_ = CreateWindowExA(WS_EX_TOPMOST, "pmImageOverView", "", WS_POPUP | WS_VISIBLE, 0, 0, 120, 140, nullptr,
                             nullptr, GetModuleHandleA(nullptr), nullptr);
        if (!w_) GTEST_SKIP() << "no display";
    }
    void TearDown() override {
        if (w_) DestroyWindow(w_);
    }
    PreviewSettings Get(uint32_t size = kPreviewSettingsSize) {
        PreviewSettings s;
        std::memset(&s, 0xAB, sizeof s);
        s.Size = size;
        EXPECT_EQ(SendMessageA(w_, PVM_GETSETTINGS, 0, reinterpret_cast<LPARAM>(&s)), 1);
        return s;
    }
    COLORREF PixelAt(int x, int y) {
        RedrawWindow(w_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        HDC dc = GetDC(w_);
        COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(w_, dc);
        return c;
    }
    HWND w_ = nullptr;
};

// A solid 24-bit DIB of w x h.
void SolidDib(int w, int h, uint8_t r, uint8_t g, uint8_t b, DibHeader** header, uint8_t** bits) {
    DibHeader t{};
    t.biSize = 40;
    t.biWidth = w;
    t.biHeight = h;
    t.biPlanes = 1;
    t.biBitCount = 24;
    ASSERT_TRUE(DibCore_Create(&t, 0, header, bits));
    int stride = DibCore_GetRowStride(*header, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = *bits + y * stride + x * 3;
            px[0] = b;
            px[1] = g;
            px[2] = r;
        }
}

}  // namespace

TEST_F(PreviewWindow, SettingsComeBackAsAppliedAndShortRecordsGetWhatFits) {
    PreviewSettings s = Get();
    EXPECT_EQ(s.Size, kPreviewSettingsSize);
    EXPECT_EQ(s.AreaWidth, 120);
    EXPECT_EQ(s.AreaHeight, 120);  // 20 pixels stay for the caption
    s.AreaWidth = 100;
    s.AreaHeight = 90;
    s.BoxLeft = 10;
    s.BoxTop = 5;
    s.BoxRight = 60;
    s.BoxBottom = 45;
    s.Background = RGB(1, 2, 3);
    s.FrameColor = RGB(4, 5, 6);
    EXPECT_EQ(SendMessageA(w_, PVM_SETSETTINGS, 0, reinterpret_cast<LPARAM>(&s)), 1);
    PreviewSettings back = Get();
    EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0);

    PreviewSettings shorter = Get(310);
    EXPECT_EQ(shorter.BoxHeight, s.BoxHeight);
    EXPECT_EQ(shorter.Background, 0xABABABABu) << "bytes past the caller's size stay untouched";
    EXPECT_EQ(SendMessageA(w_, PVM_GETSETTINGS, 0, 0), 0);
}

TEST_F(PreviewWindow, ImageIsCopiedAndDrawnInItsBoxOnTheBackground) {
    PreviewSettings s = Get();
    s.Background = RGB(0, 0, 255);
    s.BoxLeft = 20;
    s.BoxTop = 20;
    s.BoxRight = 100;
    s.BoxBottom = 100;
    SendMessageA(w_, PVM_SETSETTINGS, 0, reinterpret_cast<LPARAM>(&s));
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    SolidDib(40, 20, 255, 0, 0, &h, &bits);
    PreviewImage img;
    std::memset(&img, 0, sizeof img);
    img.Size = kPreviewImageSize;
    img.Mask = kPreviewImageMask;
    img.Caption = "red.gif";
    img.Header = h;
    img.Bits = bits;
    EXPECT_EQ(SendMessageA(w_, PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&img)), 1);
    // The sender frees its image as soon as the call returns.
    DibCore_Free(h, bits);

    // Not enlarged: 40 x 20 centred in the 80 x 80 box at (20, 20).
    EXPECT_EQ(PixelAt(60, 60), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(41, 51), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(60, 45), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(5, 5), RGB(0, 0, 255));

    // A larger image is fitted into the box, keeping its shape.
    SolidDib(400, 100, 0, 255, 0, &h, &bits);
    img.Header = h;
    img.Bits = bits;
    SendMessageA(w_, PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&img));
    DibCore_Free(h, bits);
    EXPECT_EQ(PixelAt(22, 60), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(98, 60), RGB(0, 255, 0));
    EXPECT_EQ(PixelAt(60, 40), RGB(0, 0, 255));

    // A broken record is refused and shows nothing.
    img.Header = nullptr;
    EXPECT_EQ(SendMessageA(w_, PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&img)), 0);
    EXPECT_EQ(PixelAt(60, 60), RGB(0, 0, 255));
}

TEST_F(PreviewWindow, SetUpAndIndicatorMessagesAreAccepted) {
    for (UINT msg : {PVM_RESET, PVM_SETFRAME, PVM_SETZOOMLIMIT, PVM_SETCAPTION, PVM_SETSMOOTH})
        EXPECT_EQ(SendMessageA(w_, msg, 1, 0x20000), 1) << std::hex << msg;
    HWND bar = CreateWindowExA(0, "pmImageProgress", "", WS_POPUP | WS_VISIBLE | WS_BORDER, 0, 150, 128, 12,
                               nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SendMessageA(bar, PPM_START, 1, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PPM_HOLD, 0, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PPM_HOLD, 0, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PPM_RESUME, 0, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PPM_RESUME, 0, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PPM_RESUME, 0, 0), 1) << "an unpaired resume is harmless";
    MSG m;
    for (int i = 0; i < 5; ++i) {
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        Sleep(30);
    }
    DestroyWindow(bar);
}

TEST_F(PreviewWindow, LargeImagesAreKeptAtTheSizeTheyAreDrawn) {
    // A 3000 x 2000 image shown in the 120 x 120 area: the control keeps
    // what it draws (120 x 80), not a copy of the whole image, and gives
    // back the memory of a larger image when a smaller one follows.
    PreviewSettings s = Get();
    s.Background = RGB(0, 0, 0);
    SendMessageA(w_, PVM_SETSETTINGS, 0, reinterpret_cast<LPARAM>(&s));
    PreviewImage img;
    std::memset(&img, 0, sizeof img);
    img.Size = kPreviewImageSize;
    img.Mask = kPreviewImageMask;
    img.Caption = "big.jpg";
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    SolidDib(3000, 2000, 0, 0, 255, &h, &bits);
    // The left half red: the halves must land where they belong.
    int stride = DibCore_GetRowStride(h, 0);
    for (int y = 0; y < 2000; ++y)
        for (int x = 0; x < 1500; ++x) {
            uint8_t* px = bits + size_t(y) * stride + x * 3;
            px[0] = 0;
            px[2] = 255;
        }
    img.Header = h;
    img.Bits = bits;
    EXPECT_EQ(SendMessageA(w_, PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&img)), 1);
    DibCore_Free(h, bits);
    const size_t drawn = 40 + 120 * 3 * 80;
    EXPECT_LE(Preview_HeldImageBytes(w_), drawn);
    EXPECT_GE(Preview_HeldImageBytes(w_), drawn / 2) << "the drawn size, not less";
    EXPECT_EQ(PixelAt(10, 60), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(110, 60), RGB(0, 0, 255));
    EXPECT_EQ(PixelAt(60, 10), RGB(0, 0, 0));  // above the 120 x 80 image

    // An image smaller than its drawn size is kept as it is.
    SolidDib(30, 20, 0, 255, 0, &h, &bits);
    img.Header = h;
    img.Bits = bits;
    EXPECT_EQ(SendMessageA(w_, PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&img)), 1);
    DibCore_Free(h, bits);
    EXPECT_LE(Preview_HeldImageBytes(w_), size_t(40 + 92 * 20));
    EXPECT_EQ(PixelAt(60, 60), RGB(0, 255, 0));
    SendMessageA(w_, PVM_RESET, 0, 0);
    EXPECT_EQ(Preview_HeldImageBytes(w_), 0u);
}
