// PMPREVIEW: the preview control pmImageOverView, the animated indicator
// pmImageProgress, and the records and messages they take.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmwin.h"
#include <cstddef>
#include <cstdint>

// Messages of pmImageOverView.
constexpr UINT PVM_RESET = 0x6E63;         // set-up: forget image and caption
constexpr UINT PVM_SETFRAME = 0x6E27;      // set-up: wParam = frame style (0 none, else a sunken edge)
constexpr UINT PVM_SETSETTINGS = 0x6E02;   // lParam = PreviewSettings*: apply
constexpr UINT PVM_GETSETTINGS = 0x6E03;   // lParam = PreviewSettings*: fill (caller sets Size)
constexpr UINT PVM_SETZOOMLIMIT = 0x6E21;  // set-up: wParam 1 = never enlarge; lParam 16.16 largest zoom
constexpr UINT PVM_SETCAPTION = 0x6E60;    // set-up: wParam 1 = show the caption line
constexpr UINT PVM_SHOWIMAGE = 0x6E69;     // lParam = PreviewImage*: show (the DIB is copied)
constexpr UINT PVM_SETSMOOTH = 0x6F4A;     // set-up: wParam 1 = smooth scaling

// Messages of pmImageProgress.
constexpr UINT PPM_START = 0x8001;   // wParam 1 starts the animation, 0 stops and clears it
constexpr UINT PPM_HOLD = 0x8004;    // freezes it (nests)
constexpr UINT PPM_RESUME = 0x8005;  // undoes one hold

constexpr uint32_t kPreviewSettingsSize = 620;
constexpr uint32_t kPreviewSettingsVersion = 0x30000;

// The display settings of a preview control (620 bytes). Only the named
// fields mean something; the rest is kept as the control returned it.
struct PreviewSettings {
    uint32_t Size;       // 0: 620
    uint32_t Version;    // 4: 0x30000
    uint32_t Reserved0;  // 8
    uint32_t FitMode;    // 12: 2 = fit the image into the image box
    uint8_t Flags;       // 16
    uint8_t Reserved1[276 - 17];
    int32_t AreaWidth;   // 276: image area (the caption line lies below it)
    int32_t AreaHeight;  // 280
    int32_t BoxLeft;     // 284: image box inside the area; may reach outside it
    int32_t BoxTop;      // 288
    int32_t BoxRight;    // 292
    int32_t BoxBottom;   // 296
    int32_t BoxWidth;    // 300
    int32_t BoxHeight;   // 304
    uint8_t Reserved2[336 - 308];
    ColorRef Background;  // 336
    uint8_t Reserved3[352 - 340];
    uint8_t BorderFlags;  // 352
    uint8_t Reserved4[616 - 353];
    ColorRef FrameColor;  // 616
};
static_assert(sizeof(PreviewSettings) == 620);
static_assert(offsetof(PreviewSettings, AreaWidth) == 276);
static_assert(offsetof(PreviewSettings, BoxHeight) == 304);
static_assert(offsetof(PreviewSettings, Background) == 336);
static_assert(offsetof(PreviewSettings, BorderFlags) == 352);
static_assert(offsetof(PreviewSettings, FrameColor) == 616);

constexpr uint32_t kPreviewImageSize = 112;
constexpr uint32_t kPreviewImageMask = 0x5C;  // caption and DIB given

// An image handed to the preview (112 bytes). On 32-bit the caption is at
// 16, the header at 80 and the pixels at 84; 64-bit keeps the header at 80.
struct PreviewImage {
    uint32_t Size;  // 112
    uint32_t Mask;  // 0x5C
    uint32_t Reserved0[2];
    const char* Caption;  // 16
    uint8_t Reserved1[80 - 16 - sizeof(void*)];
    const DibHeader* Header;  // 80
    const uint8_t* Bits;
    uint8_t Reserved2[112 - 80 - 2 * sizeof(void*)];
};
static_assert(sizeof(PreviewImage) == 112);
static_assert(offsetof(PreviewImage, Caption) == 16);
static_assert(offsetof(PreviewImage, Header) == 80);

// Bytes the preview control holds for its image (header, table, pixels).
// For tests; call it on the control's thread.
size_t Preview_HeldImageBytes(HWND preview);

// Performs a preview-control message synchronously from any thread; the
// control's thread must be serving messages. No time-out: the records carry
// pointers that the caller frees as soon as the call returns, so the control
// must never see them later.
LRESULT Preview_Send(HWND preview, UINT message, WPARAM wParam, LPARAM lParam);

// Registers pmImageOverView and pmImageProgress for `instance`.
BOOL Preview_RegisterClasses(HINSTANCE instance);
