// PMDIBOPS: colour counting, adaptive reduction and fixed-palette mapping.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmquant/palette_map.h"
#include "makerlibs/pmquant/quantize.h"

#include <cstring>
#include <new>

using namespace pmpix;

namespace {

// Open-addressing set of up to 257 colours (0x00RRGGBB keys) with counts.
class ColorSet {
public:
    static constexpr int kSlots = 1024;
    ColorSet() { std::memset(keys_, 0xFF, sizeof(keys_)); }
    // Slot of the colour, inserting it; -1 when the set is full.
    int Add(uint32_t key, int limit) {
        uint32_t h = (key * 2654435761u) >> 22;
        for (;;) {
            if (keys_[h] == key) return int(h);
            if (keys_[h] == kEmpty) {
                if (size_ >= limit) return -1;
                keys_[h] = key;
                order_[size_] = int(h);
                index_[h] = size_++;
                counts_[h] = 0;
                return int(h);
            }
            h = (h + 1) & (kSlots - 1);
        }
    }
    int Find(uint32_t key) const {
        uint32_t h = (key * 2654435761u) >> 22;
        for (;;) {
            if (keys_[h] == key) return index_[h];
            if (keys_[h] == kEmpty) return -1;
            h = (h + 1) & (kSlots - 1);
        }
    }
    void Count(int slot, uint32_t n) { counts_[slot] += n; }
    int size() const { return size_; }
    uint32_t KeyAt(int i) const { return keys_[order_[i]]; }
    uint32_t CountAt(int i) const { return counts_[order_[i]]; }
private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    uint32_t keys_[kSlots];
    uint32_t counts_[kSlots] = {};
    int index_[kSlots] = {};
    int order_[kSlots] = {};
    int size_ = 0;
};

inline uint32_t KeyOf(const uint8_t* bgr) { return (uint32_t(bgr[2]) << 16) | (uint32_t(bgr[1]) << 8) | bgr[0]; }

// Distinct colours, stopping once there are more than `limit`. Returns the
// count (limit + 1 meaning "too many"), or -1 without working memory.
int Collect(const View& v, int limit, ColorSet* set) {
    if (v.bitCount <= 8) {
        // Palette images: the colours of the entries in use.
        uint32_t used[256] = {};
        for (int y = 0; y < v.height; ++y) {
            const uint8_t* row = v.Row(y);
            for (int x = 0; x < v.width; ++x) ++used[IndexAt(row, x, v.bitCount)];
        }
        for (int i = 0; i < 256; ++i) {
            if (!used[i]) continue;
            uint8_t bgr[3] = {0, 0, 0};
            if (i < v.tableCount) {
                bgr[0] = v.table[i].blue;
                bgr[1] = v.table[i].green;
                bgr[2] = v.table[i].red;
            }
            int slot = set->Add(KeyOf(bgr), limit);
            if (slot < 0) return limit + 1;
            set->Count(slot, used[i]);
        }
        return set->size();
    }
    HeapBuf<uint8_t> line;
    if (!line.Alloc(size_t(v.width) * 3)) return -1;
    for (int y = 0; y < v.height; ++y) {
        RowToBgr(v, y, line.get());
        const uint8_t* p = line.get();
        // Runs of one colour are common; count them in one go.
        uint32_t runKey = KeyOf(p);
        uint32_t run = 0;
        for (int x = 0; x < v.width; ++x, p += 3) {
            uint32_t k = KeyOf(p);
            if (k == runKey) {
                ++run;
                continue;
            }
            int slot = set->Add(runKey, limit);
            if (slot < 0) return limit + 1;
            set->Count(slot, run);
            runKey = k;
            run = 1;
        }
        int slot = set->Add(runKey, limit);
        if (slot < 0) return limit + 1;
        set->Count(slot, run);
    }
    return set->size();
}

}  // namespace

int DibOps_CountColors(const DibHeader* header, const uint8_t* bits, int maximum, uint32_t* colors256,
                       uint32_t* counts256) {
    View v;
    if (!MakeView(header, bits, &v)) return 0;
    if (maximum > 256) maximum = 256;
    if (maximum < 0) maximum = 0;
    auto* set = new (std::nothrow) ColorSet;
    if (!set) return 0;
    int n = Collect(v, maximum, set);
    if (n >= 0 && n <= maximum) {
        for (int i = 0; i < n; ++i) {
            uint32_t k = set->KeyAt(i);  // 0x00RRGGBB
            if (colors256) colors256[i] = MakeColorRef(uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k));
            if (counts256) counts256[i] = set->CountAt(i);
        }
    }
    delete set;
    return n < 0 ? 0 : n;
}

int DibOps_ReduceColors(const DibHeader* header, const uint8_t* bits, int method, int colors, int,
                        int usedCount, const uint32_t* usedColors, const uint32_t*, DibHeader* dstHeader,
                        uint8_t* dstBits) {
    View s, d;
    if (!MakeView(header, bits, &s) || !MakeView(dstHeader, dstBits, &d)) return -1;
    if (s.width != d.width || s.height != d.height) return -1;
    if (d.bitCount > 8) return DibCore_ConvertDepth(header, bits, dstHeader, dstBits) ? 0 : -1;
    if (d.tableCount == 0) return -1;
    int n = colors < 1 ? 1 : colors;
    if (n > d.tableCount) n = d.tableCount;
    RgbQuad* table = TableOf(dstHeader);

    // No more colours than asked for: each keeps its exact value.
    if (usedCount > 0 && usedCount <= n && usedColors) {
        auto* set = new (std::nothrow) ColorSet;
        HeapBuf<uint8_t> line;
        if (!set || !line.Alloc(size_t(s.width) * 3)) {
            delete set;
            return -1;
        }
        for (int i = 0; i < usedCount; ++i) {
            ColorRef c = usedColors[i];
            table[i] = RgbQuad{ColorRefBlue(c), ColorRefGreen(c), ColorRefRed(c), 0};
            uint8_t bgr[3] = {table[i].blue, table[i].green, table[i].red};
            set->Add(KeyOf(bgr), 256);
        }
        for (int y = 0; y < s.height; ++y) {
            RowToBgr(s, y, line.get());
            uint8_t* out = d.Row(y);
            const uint8_t* p = line.get();
            for (int x = 0; x < s.width; ++x, p += 3) {
                int i = set->Find(KeyOf(p));
                if (i < 0) i = NearestIndex(p[2], p[1], p[0], usedCount, table);
                SetIndex(out, x, d.bitCount, i);
            }
        }
        delete set;
        return usedCount;
    }

    RgbQuad pal[256];
    int got = BuildAdaptivePalette(s, n, pal);
    if (got < 0) return -1;
    std::memcpy(table, pal, size_t(got) * sizeof(RgbQuad));
    if (!DiffuseToPalette(s, table, got, d)) return -1;
    return got;
}

int DibOps_MapToPalette(const DibHeader* header, const uint8_t* bits, int method, int colors, int dstBitCount,
                        const RgbQuad* palette, uint8_t* dstBits) {
    View s;
    if (!palette || !dstBits || !MakeView(header, bits, &s)) return 0;
    if (dstBitCount != 1 && dstBitCount != 4 && dstBitCount != 8) return 0;
    int cap = 1 << dstBitCount;
    int n = colors < 1 ? 1 : colors > cap ? cap : colors;
    // The destination has the source's size and row order.
    View d = s;
    d.bitCount = dstBitCount;
    d.stride = size_t(DibStride(uint64_t(s.width), uint32_t(dstBitCount)));
    d.bits = dstBits;
    d.table = palette;
    d.tableCount = n;
    return DiffuseToPalette(s, palette, n, d) ? 1 : 0;
}
