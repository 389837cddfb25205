// Small DIB builders and readers for the pixel tests.
#pragma once
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmheap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

namespace dibtest {

// Owns a DIB; pointers may be handed to functions that replace it.
struct Dib {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    Dib() = default;
    Dib(const Dib&) = delete;
    Dib& operator=(const Dib&) = delete;
    ~Dib() { DibCore_Free(h, b); }
    int width() const { return h->biWidth; }
    int height() const { return h->biHeight < 0 ? -h->biHeight : h->biHeight; }
    int depth() const { return h->biBitCount; }
    RgbQuad* table() const { return DibCore_GetPalette(h, 0, 0); }
    // Row y counted from the top.
    uint8_t* Row(int y) const {
        int stride = DibCore_GetRowStride(h, 0);
        int r = h->biHeight < 0 ? y : height() - 1 - y;
        return b + size_t(r) * size_t(stride);
    }
    int Index(int x, int y) const {
        const uint8_t* row = Row(y);
        switch (depth()) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 4: return (x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4;
        default: return row[x];
        }
    }
    void SetIndex(int x, int y, int v) {
        uint8_t* row = Row(y);
        switch (depth()) {
        case 1:
            if (v) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
            else row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
            break;
        case 4:
            row[x >> 1] = (x & 1) ? uint8_t((row[x >> 1] & 0xF0) | v) : uint8_t((row[x >> 1] & 0x0F) | (v << 4));
            break;
        default: row[x] = uint8_t(v); break;
        }
    }
    // Colour as 0x00RRGGBB (readable in failures), any depth.
    uint32_t Rgb(int x, int y) const {
        if (depth() <= 8) {
            const RgbQuad& q = table()[Index(x, y)];
            return (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
        }
        const uint8_t* p = Row(y) + x * (depth() / 8);
        if (depth() == 16) return uint32_t(p[0]) | uint32_t(p[1]) << 8;
        return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    }
    void SetRgb(int x, int y, uint32_t rgb) {
        uint8_t* p = Row(y) + x * (depth() / 8);
        if (depth() == 16) {  // 5-5-5 as stored; callers give the raw value
            p[0] = uint8_t(rgb);
            p[1] = uint8_t((rgb >> 8) & 0x7F);
            return;
        }
        p[0] = uint8_t(rgb);
        p[1] = uint8_t(rgb >> 8);
        p[2] = uint8_t(rgb >> 16);
        if (depth() == 32) p[3] = 255;
    }
};

inline bool Make(Dib* d, int w, int h, int depth, int clrUsed = 0) {
    DibHeader t{};
    t.biSize = sizeof(DibHeader);
    t.biWidth = w;
    t.biHeight = h;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(depth);
    t.biClrUsed = uint32_t(clrUsed);
    return DibCore_Create(&t, 0, &d->h, &d->b) != 0;
}

// A 16- or 32-bit BI_BITFIELDS DIB with the red, green and blue masks
// behind a 40-byte header, as another program may hand one over.
inline bool MakeMasked(Dib* d, int w, int h, int depth, uint32_t red, uint32_t green, uint32_t blue) {
    size_t bytes = size_t(DibStride(uint64_t(w), uint32_t(depth))) * size_t(h);
    d->h = static_cast<DibHeader*>(PmHeap_AllocZero(sizeof(DibHeader) + 12));
    d->b = static_cast<uint8_t*>(PmHeap_AllocZero(bytes));
    if (!d->h || !d->b) return false;
    *d->h = DibHeader{sizeof(DibHeader), w, h, 1, uint16_t(depth), kBiBitfields, uint32_t(bytes), 0, 0, 0, 0};
    uint32_t masks[3] = {red, green, blue};
    std::memcpy(d->h + 1, masks, sizeof masks);
    return true;
}

// A packed DIB: header, full colour table and pixels in one heap block,
// the pixel pointer pointing into it.
inline bool MakePacked(Dib* d, int w, int h, int depth) {
    size_t table = depth <= 8 ? (size_t(1) << depth) * sizeof(RgbQuad) : 0;
    size_t bytes = size_t(DibStride(uint64_t(w), uint32_t(depth))) * size_t(h);
    auto* block = static_cast<uint8_t*>(PmHeap_AllocZero(sizeof(DibHeader) + table + bytes));
    if (!block) return false;
    d->h = reinterpret_cast<DibHeader*>(block);
    *d->h = DibHeader{sizeof(DibHeader), w, h, 1, uint16_t(depth), kBiRgb, uint32_t(bytes), 0, 0, 0, 0};
    d->b = block + sizeof(DibHeader) + table;
    return true;
}

// A 24-bit image whose pixels come from f(x, y) -> 0x00RRGGBB.
inline void Fill(Dib* d, const std::function<uint32_t(int, int)>& f) {
    for (int y = 0; y < d->height(); ++y)
        for (int x = 0; x < d->width(); ++x) d->SetRgb(x, y, f(x, y));
}

inline void SetEntry(Dib* d, int i, uint32_t rgb, uint8_t reserved = 0) {
    d->table()[i] = RgbQuad{uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16), reserved};
}

// Checks that a block of code frees everything it allocates.
class LeakCheck {
public:
    LeakCheck() : start_(PmHeap_LiveBlocks()) {}
    long Leaked() const { return PmHeap_LiveBlocks() - start_; }
private:
    long start_;
};

}  // namespace dibtest
