// Row access shared by the pixel libraries. A DIB's rows are bottom-up when
// biHeight is positive and top-down when it is negative; every operation here
// addresses rows by their place on screen (0 = top), so images of either
// kind come out the right way round.
#pragma once
#include "makerlibs/pmdib.h"

#include <cstdint>
#include <cstring>

namespace pmpix {

struct View {
    int width = 0;
    int height = 0;  // always positive
    int bitCount = 0;
    size_t stride = 0;
    bool topDown = false;
    const RgbQuad* table = nullptr;
    int tableCount = 0;
    uint8_t* bits = nullptr;

    uint8_t* Row(int y) const {
        size_t r = topDown ? size_t(y) : size_t(height - 1 - y);
        return bits + r * stride;
    }
};

inline int TableCountOf(const DibHeader* h) {
    if (h->biBitCount > 8) return 0;
    int full = 1 << h->biBitCount;
    if (h->biClrUsed > 0 && h->biClrUsed <= uint32_t(full)) return int(h->biClrUsed);
    return full;
}

inline const RgbQuad* TableOf(const DibHeader* h) {
    return reinterpret_cast<const RgbQuad*>(reinterpret_cast<const uint8_t*>(h) + h->biSize);
}
inline RgbQuad* TableOf(DibHeader* h) {
    return reinterpret_cast<RgbQuad*>(reinterpret_cast<uint8_t*>(h) + h->biSize);
}

// False for anything the pixel code cannot walk safely: compressed data,
// odd depths, sizes beyond the limits (so strides never overflow).
inline bool MakeView(const DibHeader* h, const uint8_t* bits, View* v) {
    if (!h || !bits) return false;
    if (h->biSize < sizeof(DibHeader) || h->biSize > 4096) return false;
    if (h->biCompression != kBiRgb && !(h->biCompression == kBiBitfields && h->biBitCount >= 16)) return false;
    int bc = h->biBitCount;
    if (bc != 1 && bc != 4 && bc != 8 && bc != 16 && bc != 24 && bc != 32) return false;
    size_t bytes = 0;
    if (!DibImageBytes(h->biWidth, h->biHeight, uint32_t(bc), &bytes)) return false;
    v->width = h->biWidth;
    v->height = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    v->bitCount = bc;
    v->stride = size_t(DibStride(uint64_t(h->biWidth), uint32_t(bc)));
    v->topDown = h->biHeight < 0;
    v->tableCount = TableCountOf(h);
    v->table = v->tableCount ? TableOf(h) : nullptr;
    v->bits = const_cast<uint8_t*>(bits);
    return true;
}

// Index of pixel x in a row of a palette image.
inline int IndexAt(const uint8_t* row, int x, int bitCount) {
    switch (bitCount) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    default: return row[x];
    }
}

inline void SetIndex(uint8_t* row, int x, int bitCount, int index) {
    switch (bitCount) {
    case 1: {
        uint8_t m = uint8_t(0x80 >> (x & 7));
        if (index & 1) row[x >> 3] |= m;
        else row[x >> 3] &= uint8_t(~m);
        break;
    }
    case 4:
        if (x & 1) row[x >> 1] = uint8_t((row[x >> 1] & 0xF0) | (index & 0x0F));
        else row[x >> 1] = uint8_t((row[x >> 1] & 0x0F) | ((index & 0x0F) << 4));
        break;
    default: row[x] = uint8_t(index); break;
    }
}

// One row of any depth as blue, green, red triples. Indices past the colour
// table read as black rather than past its end.
inline void RowToBgr(const View& v, int y, uint8_t* out) {
    const uint8_t* row = v.Row(y);
    switch (v.bitCount) {
    case 24: std::memcpy(out, row, size_t(v.width) * 3); return;
    case 32:
        for (int x = 0; x < v.width; ++x) {
            out[3 * x] = row[4 * x];
            out[3 * x + 1] = row[4 * x + 1];
            out[3 * x + 2] = row[4 * x + 2];
        }
        return;
    case 16:
        // 5-5-5, the only 16-bit layout the readers produce.
        for (int x = 0; x < v.width; ++x) {
            unsigned p = unsigned(row[2 * x]) | (unsigned(row[2 * x + 1]) << 8);
            unsigned b = p & 31, g = (p >> 5) & 31, r = (p >> 10) & 31;
            out[3 * x] = uint8_t((b << 3) | (b >> 2));
            out[3 * x + 1] = uint8_t((g << 3) | (g >> 2));
            out[3 * x + 2] = uint8_t((r << 3) | (r >> 2));
        }
        return;
    default:
        for (int x = 0; x < v.width; ++x) {
            int i = IndexAt(row, x, v.bitCount);
            if (i < v.tableCount) {
                out[3 * x] = v.table[i].blue;
                out[3 * x + 1] = v.table[i].green;
                out[3 * x + 2] = v.table[i].red;
            } else {
                out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = 0;
            }
        }
        return;
    }
}

inline int Luma(int r, int g, int b) { return (r * 77 + g * 150 + b * 29 + 128) >> 8; }

inline uint8_t Clamp255(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace pmpix
