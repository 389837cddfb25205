// Shared by the libraries that put true-colour pixels onto a palette: a
// nearest-colour lookup with a lazily filled cache, and a scratch buffer
// from the library heap (so allocation-failure tests reach it).
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmheap.h"

#include <cstdint>
#include <cstring>

namespace pmpix {

template <class T>
class HeapBuf {
    T* p_ = nullptr;
public:
    HeapBuf() = default;
    HeapBuf(const HeapBuf&) = delete;
    HeapBuf& operator=(const HeapBuf&) = delete;
    ~HeapBuf() { PmHeap_Free(p_); }
    bool Alloc(size_t count, bool zero = false) {
        PmHeap_Free(p_);
        p_ = nullptr;
        if (count > SIZE_MAX / sizeof(T)) return false;
        p_ = static_cast<T*>(zero ? PmHeap_AllocZero(count * sizeof(T)) : PmHeap_Alloc(count * sizeof(T)));
        return p_ != nullptr;
    }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
};

// Nearest palette entry by squared RGB distance; the first of equal
// distance wins, so an exact colour always finds its own entry.
inline int NearestIndex(int r, int g, int b, int count, const RgbQuad* table) {
    int best = 0;
    int bestD = 1 << 30;
    for (int i = 0; i < count; ++i) {
        int dr = r - table[i].red, dg = g - table[i].green, db = b - table[i].blue;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestD) {
            bestD = d;
            best = i;
            if (d == 0) break;
        }
    }
    return best;
}

// Answers nearest-colour questions for a fixed palette. Colours are keyed by
// their top 6 bits per channel and the answer for the cell is computed once;
// error diffusion works against the true entry colour, so the coarse key
// costs little.
class PaletteMapper {
public:
    bool Init(const RgbQuad* table, int count) {
        table_ = table;
        count_ = count < 1 ? 1 : count > 256 ? 256 : count;
        if (!cache_.Alloc(size_t(1) << 18)) return false;
        std::memset(cache_.get(), 0xFF, (size_t(1) << 18) * sizeof(int16_t));
        return true;
    }
    int Map(int r, int g, int b) {
        unsigned key = (unsigned(r >> 2) << 12) | (unsigned(g >> 2) << 6) | unsigned(b >> 2);
        int16_t v = cache_[key];
        if (v >= 0) return v;
        v = int16_t(NearestIndex((r & ~3) | 2, (g & ~3) | 2, (b & ~3) | 2, count_, table_));
        cache_[key] = v;
        return v;
    }
    const RgbQuad* table() const { return table_; }
private:
    const RgbQuad* table_ = nullptr;
    int count_ = 1;
    HeapBuf<int16_t> cache_;
};

}  // namespace pmpix
