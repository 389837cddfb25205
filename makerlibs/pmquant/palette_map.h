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
// costs little. A cell's search walks the entries in order of green outward
// from the cell's green and stops once green alone is farther than the best
// match: the same answer as a full scan (ties go to the lower index) for a
// fraction of the work.
class PaletteMapper {
public:
    bool Init(const RgbQuad* table, int count) {
        table_ = table;
        count_ = count < 1 ? 1 : count > 256 ? 256 : count;
        if (!cache_.Alloc(size_t(1) << 18)) return false;
        std::memset(cache_.get(), 0xFF, (size_t(1) << 18) * sizeof(int16_t));
        for (int i = 0; i < count_; ++i) order_[i] = uint8_t(i);
        // Insertion sort by green; at most 256 entries.
        for (int i = 1; i < count_; ++i) {
            uint8_t v = order_[i];
            int j = i;
            while (j > 0 && table_[order_[j - 1]].green > table_[v].green) {
                order_[j] = order_[j - 1];
                --j;
            }
            order_[j] = v;
        }
        return true;
    }
    int Map(int r, int g, int b) {
        unsigned key = (unsigned(r >> 2) << 12) | (unsigned(g >> 2) << 6) | unsigned(b >> 2);
        int16_t v = cache_[key];
        if (v >= 0) return v;
        v = int16_t(Search((r & ~3) | 2, (g & ~3) | 2, (b & ~3) | 2));
        cache_[key] = v;
        return v;
    }
    const RgbQuad* table() const { return table_; }

private:
    int Search(int r, int g, int b) const {
        int lo = 0, hi = count_;
        while (lo < hi) {  // first entry with green >= g
            int mid = (lo + hi) / 2;
            if (table_[order_[mid]].green < g) lo = mid + 1;
            else hi = mid;
        }
        int best = -1, bestD = 1 << 30;
        auto consider = [&](int i) {
            const RgbQuad& q = table_[i];
            int dr = r - q.red, dg = g - q.green, db = b - q.blue;
            int d = dr * dr + dg * dg + db * db;
            if (d < bestD || (d == bestD && i < best)) {
                bestD = d;
                best = i;
            }
        };
        int up = lo, down = lo - 1;
        while (up < count_ || down >= 0) {
            if (up < count_) {
                int dg = table_[order_[up]].green - g;
                if (dg * dg > bestD) up = count_;
                else consider(order_[up++]);
            }
            if (down >= 0) {
                int dg = g - table_[order_[down]].green;
                if (dg * dg > bestD) down = -1;
                else consider(order_[down--]);
            }
        }
        return best < 0 ? 0 : best;
    }

    const RgbQuad* table_ = nullptr;
    int count_ = 1;
    uint8_t order_[256] = {};
    HeapBuf<int16_t> cache_;
};

}  // namespace pmpix
