// Portable mirrors of the Windows records that images travel in. Pure image
// code includes this instead of windows.h; base/layout_check_win.cpp proves
// the layouts equal to the system's.
#pragma once
#include <cstddef>
#include <cstdint>

// BITMAPINFOHEADER. A DIB is this header with its colour table directly
// behind it in one block, and the pixel rows in a second block: bottom-up,
// each row padded to 4 bytes.
struct DibHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(DibHeader) == 40);

// RGBQUAD. In a DIB colour table of this system the fourth byte marks
// transparency: an entry whose `reserved` is 255 is the transparent colour.
// The transparency mask made by DibCore_MakeTransparencyMask follows the same
// rule, so one test serves both.
struct RgbQuad {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
    uint8_t reserved;
};
static_assert(sizeof(RgbQuad) == 4);

constexpr uint8_t kTransparentMark = 255;

// A single colour as COLORREF: 0x00BBGGRR.
using ColorRef = uint32_t;
constexpr ColorRef kNoColor = 0xFFFFFFFFu;
constexpr ColorRef MakeColorRef(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}
constexpr uint8_t ColorRefRed(ColorRef c) { return uint8_t(c & 0xFF); }
constexpr uint8_t ColorRefGreen(ColorRef c) { return uint8_t((c >> 8) & 0xFF); }
constexpr uint8_t ColorRefBlue(ColorRef c) { return uint8_t((c >> 16) & 0xFF); }

// SIZE and RECT.
struct PmSize {
    int32_t cx;
    int32_t cy;
};
struct PmRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// BI_RGB and friends, as the DIB header's biCompression.
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;

// Angles given to the image libraries: counter-clockwise degrees * 65536.
constexpr int32_t kAngle90 = 0x5A0000;
constexpr int32_t kAngle180 = 0xB40000;
constexpr int32_t kAngle270 = 0x10E0000;

// Limits every decoder enforces before it allocates. 100 megapixels must still
// read in a 32-bit process; a 24-bit image of that size is 300 MB.
constexpr uint32_t kMaxImageSide = 65535;
constexpr uint64_t kMaxImagePixels = 120ull * 1000 * 1000;
constexpr uint64_t kMaxImageBytes = 512ull * 1024 * 1024;

// Bytes of one pixel row of a DIB, padded to 4 bytes.
constexpr uint64_t DibStride(uint64_t width, uint32_t bitCount) {
    return (width * bitCount + 31) / 32 * 4;
}

// Checks a DIB geometry against the limits; on success gives the pixel
// block size. Never lets 32-bit size_t arithmetic wrap.
inline bool DibImageBytes(int64_t width, int64_t height, uint32_t bitCount, size_t* out) {
    if (width <= 0 || height == 0) return false;
    uint64_t h = height < 0 ? uint64_t(-height) : uint64_t(height);
    if (uint64_t(width) > kMaxImageSide || h > kMaxImageSide) return false;
    if (uint64_t(width) * h > kMaxImagePixels) return false;
    uint64_t bytes = DibStride(uint64_t(width), bitCount) * h;
    if (bytes > kMaxImageBytes || bytes > SIZE_MAX) return false;
    *out = size_t(bytes);
    return true;
}
