// Row access shared by the pixel libraries. A DIB's rows are bottom-up when
// biHeight is positive and top-down when it is negative; every operation here
// addresses rows by their place on screen (0 = top), so images of either
// kind come out the right way round.
#pragma once
#include "makerlibs/pmdib.h"

#include <cstdint>
#include <cstring>

namespace pmpix {

// One colour channel of a 16- or 32-bit pixel.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int width = 0;  // 0: the channel is absent and reads as 0

    // Expanded to 8 bits by repeating the channel's bits, so that the
    // largest value of any width becomes 255 and 5-bit channels keep the
    // values they always had.
    uint8_t Value(uint32_t px) const {
        if (!width) return 0;
        uint32_t v = (px & mask) >> shift;
        if (width >= 8) return uint8_t(v >> (width - 8));
        uint32_t out = 0;
        for (int pos = 8 - width; pos > -width; pos -= width) out |= pos >= 0 ? v << pos : v >> -pos;
        return uint8_t(out);
    }
};

// Where red, green and blue lie in a 16- or 32-bit pixel. Plain DIBs store
// 5-5-5 at 16 bits and 8-8-8 (blue first) at 32; BI_BITFIELDS DIBs name
// their own masks, which a program handing us an image may well use (5-6-5
// is common).
struct Layout {
    Channel red, green, blue;
    bool plain = true;  // the layout of a plain DIB of its depth
};

inline bool MakeChannel(uint32_t mask, int bitCount, Channel* c) {
    *c = Channel{};
    c->mask = mask;
    if (!mask) return true;
    if (bitCount < 32 && (mask >> bitCount) != 0) return false;
    while (!((mask >> c->shift) & 1)) ++c->shift;
    uint32_t m = mask >> c->shift;
    while (m & 1) {
        ++c->width;
        m >>= 1;
    }
    return m == 0;  // one run of bits
}

// The masks of a BI_BITFIELDS DIB are three DWORDs at byte 40 of the header
// block: right behind a 40-byte header, or inside a larger one. False for
// masks that are not runs of bits within the pixel or that overlap.
inline bool LayoutOf(const DibHeader* h, Layout* out) {
    *out = Layout{};
    int bc = h->biBitCount;
    uint32_t m[3];
    if (bc == 16) {
        m[0] = 0x7C00, m[1] = 0x03E0, m[2] = 0x001F;
    } else if (bc == 32) {
        m[0] = 0xFF0000, m[1] = 0xFF00, m[2] = 0xFF;
    } else {
        return true;
    }
    if (h->biCompression == kBiBitfields) {
        uint32_t given[3];
        std::memcpy(given, reinterpret_cast<const uint8_t*>(h) + sizeof(DibHeader), sizeof given);
        if ((given[0] & given[1]) || (given[0] & given[2]) || (given[1] & given[2])) return false;
        out->plain = given[0] == m[0] && given[1] == m[1] && given[2] == m[2];
        std::memcpy(m, given, sizeof m);
    }
    return MakeChannel(m[0], bc, &out->red) && MakeChannel(m[1], bc, &out->green) &&
           MakeChannel(m[2], bc, &out->blue);
}

// A row of 16- or 32-bit pixels as blue, green, red triples.
inline void TrueColourToBgr(const uint8_t* row, int width, int bitCount, const Layout& l, uint8_t* out) {
    if (bitCount == 32 && l.plain) {
        for (int x = 0; x < width; ++x) {
            out[3 * x] = row[4 * x];
            out[3 * x + 1] = row[4 * x + 1];
            out[3 * x + 2] = row[4 * x + 2];
        }
        return;
    }
    for (int x = 0; x < width; ++x) {
        uint32_t p = bitCount == 16 ? uint32_t(row[2 * x]) | uint32_t(row[2 * x + 1]) << 8
                                    : uint32_t(row[4 * x]) | uint32_t(row[4 * x + 1]) << 8 |
                                          uint32_t(row[4 * x + 2]) << 16 | uint32_t(row[4 * x + 3]) << 24;
        out[3 * x] = l.blue.Value(p);
        out[3 * x + 1] = l.green.Value(p);
        out[3 * x + 2] = l.red.Value(p);
    }
}

struct View {
    int width = 0;
    int height = 0;  // always positive
    int bitCount = 0;
    size_t stride = 0;
    bool topDown = false;
    const RgbQuad* table = nullptr;
    int tableCount = 0;
    Layout layout;  // 16 and 32 bits
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
    if (!LayoutOf(h, &v->layout)) return false;
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
    case 16:
    case 32: TrueColourToBgr(row, v.width, v.bitCount, v.layout, out); return;
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
