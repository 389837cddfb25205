// PMDIBCORE: depth conversion and the transparency mask.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmquant/palette_map.h"

#include <cstring>

using namespace pmpix;

namespace {

bool TableIsZero(const View& v) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(v.table);
    for (size_t i = 0; i < size_t(v.tableCount) * sizeof(RgbQuad); ++i)
        if (p[i]) return false;
    return true;
}

// A palette for a destination whose table the caller left empty: black and
// white for 1 bit, the sixteen standard display colours for 4 bits, a
// 6x6x6 cube plus greys for 8 bits.
void FillDefaultTable(RgbQuad* t, int count) {
    static const uint8_t kVga[16][3] = {
        {0, 0, 0}, {128, 0, 0}, {0, 128, 0}, {128, 128, 0}, {0, 0, 128}, {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
        {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0}, {0, 0, 255}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    auto set = [&](int i, int r, int g, int b) {
        if (i < count) t[i] = RgbQuad{uint8_t(b), uint8_t(g), uint8_t(r), 0};
    };
    if (count <= 2) {
        set(0, 0, 0, 0);
        set(1, 255, 255, 255);
    } else if (count <= 16) {
        for (int i = 0; i < 16; ++i) set(i, kVga[i][0], kVga[i][1], kVga[i][2]);
    } else {
        for (int i = 0; i < 216; ++i) set(i, (i / 36) * 51, (i / 6 % 6) * 51, (i % 6) * 51);
        // Greys between the cube's levels.
        for (int i = 216; i < 256; ++i) {
            int v = (i - 215) * 255 / 41;
            set(i, v, v, v);
        }
    }
}

// Whether a 32-bit image uses its fourth byte as alpha. Plain 32-bit bitmaps
// leave it zero everywhere; such an image is opaque.
bool AlphaInUse(const View& s) {
    if (s.bitCount != 32) return false;
    for (int y = 0; y < s.height; ++y) {
        const uint8_t* in = s.Row(y);
        for (int x = 0; x < s.width; ++x)
            if (in[4 * x + 3]) return true;
    }
    return false;
}

// One row as BGR. When alpha is dropped, translucent pixels are shown over
// white, as a viewer shows them on a page: the colour values under a fully
// transparent pixel are arbitrary (often black) and must not surface.
void RowToOpaqueBgr(const View& s, int y, bool blend, uint8_t* line) {
    RowToBgr(s, y, line);
    if (!blend) return;
    const uint8_t* in = s.Row(y);
    for (int x = 0; x < s.width; ++x) {
        unsigned a = in[4 * x + 3];
        if (a == 255) continue;
        for (int c = 0; c < 3; ++c)
            line[3 * x + c] = uint8_t((line[3 * x + c] * a + 255u * (255u - a) + 127u) / 255u);
    }
}

bool ConvertToTrueColor(const View& s, const View& d, uint8_t* line) {
    // Written below in the plain layout only.
    if (!d.layout.plain) return false;
    // Alpha survives only into 32 bits; anything narrower is made opaque.
    bool blend = d.bitCount != 32 && AlphaInUse(s);
    for (int y = 0; y < s.height; ++y) {
        uint8_t* out = d.Row(y);
        const uint8_t* in = s.Row(y);
        RowToOpaqueBgr(s, y, blend, line);
        switch (d.bitCount) {
        case 24: std::memcpy(out, line, size_t(s.width) * 3); break;
        case 32:
            for (int x = 0; x < s.width; ++x) {
                out[4 * x] = line[3 * x];
                out[4 * x + 1] = line[3 * x + 1];
                out[4 * x + 2] = line[3 * x + 2];
                uint8_t a = 255;
                if (s.bitCount == 32) {
                    a = in[4 * x + 3];
                } else if (s.bitCount <= 8) {
                    int i = IndexAt(in, x, s.bitCount);
                    if (i < s.tableCount && s.table[i].reserved == kTransparentMark) a = 0;
                }
                out[4 * x + 3] = a;
            }
            break;
        case 16:
            for (int x = 0; x < s.width; ++x) {
                unsigned p = (unsigned(line[3 * x + 2] >> 3) << 10) | (unsigned(line[3 * x + 1] >> 3) << 5) |
                             unsigned(line[3 * x] >> 3);
                out[2 * x] = uint8_t(p);
                out[2 * x + 1] = uint8_t(p >> 8);
            }
            break;
        default: return false;
        }
    }
    return true;
}

}  // namespace

int DibCore_ConvertDepth(const DibHeader* src, const uint8_t* srcBits, DibHeader* dst, uint8_t* dstBits) {
    View s, d;
    if (!MakeView(src, srcBits, &s) || !MakeView(dst, dstBits, &d)) return 0;
    if (s.width != d.width || s.height != d.height) return 0;
    HeapBuf<uint8_t> line;
    if (!line.Alloc(size_t(s.width) * 3)) return 0;

    if (d.bitCount > 8) return ConvertToTrueColor(s, d, line.get()) ? 1 : 0;

    RgbQuad* dTable = TableOf(dst);
    if (d.tableCount == 0) return 0;
    if (s.bitCount <= 8) {
        // Palette to palette: keep the indices (and the transparency mark)
        // when the source table fits into an empty destination table.
        int entryMap[256];
        if (TableIsZero(d) && s.tableCount <= d.tableCount) {
            std::memcpy(dTable, s.table, size_t(s.tableCount) * sizeof(RgbQuad));
            for (int i = 0; i < 256; ++i) entryMap[i] = i < s.tableCount ? i : 0;
        } else {
            if (TableIsZero(d)) FillDefaultTable(dTable, d.tableCount);
            for (int i = 0; i < 256; ++i)
                entryMap[i] = i < s.tableCount
                                  ? NearestIndex(s.table[i].red, s.table[i].green, s.table[i].blue, d.tableCount, dTable)
                                  : 0;
        }
        for (int y = 0; y < s.height; ++y) {
            const uint8_t* in = s.Row(y);
            uint8_t* out = d.Row(y);
            for (int x = 0; x < s.width; ++x) SetIndex(out, x, d.bitCount, entryMap[IndexAt(in, x, s.bitCount)]);
        }
        return 1;
    }

    if (TableIsZero(d)) FillDefaultTable(dTable, d.tableCount);
    PaletteMapper mapper;
    if (!mapper.Init(dTable, d.tableCount)) return 0;
    bool blend = AlphaInUse(s);
    for (int y = 0; y < s.height; ++y) {
        RowToOpaqueBgr(s, y, blend, line.get());
        uint8_t* out = d.Row(y);
        const uint8_t* p = line.get();
        for (int x = 0; x < s.width; ++x, p += 3) SetIndex(out, x, d.bitCount, mapper.Map(p[2], p[1], p[0]));
    }
    return 1;
}

int DibCore_MakeTransparencyMask(const DibHeader* dib, const uint8_t* bits, DibHeader* mask, uint8_t* maskBits) {
    View s, m;
    if (!MakeView(dib, bits, &s) || !MakeView(mask, maskBits, &m)) return -1;
    if (m.bitCount != 8 || m.tableCount < 2 || s.width != m.width || s.height != m.height) return -1;
    RgbQuad* mt = TableOf(mask);
    mt[0] = RgbQuad{0, 0, 0, 0};
    mt[1] = RgbQuad{255, 255, 255, kTransparentMark};

    // Palette images: the marked entry. 32-bit images: alpha below half.
    int transparent = -1;
    if (s.bitCount <= 8) {
        for (int i = 0; i < s.tableCount; ++i)
            if (s.table[i].reserved == kTransparentMark) {
                transparent = i;
                break;
            }
    }
    // A 32-bit image whose alpha is zero everywhere never set its alpha
    // (plain 32-bit bitmaps leave it so); it is opaque, not invisible.
    bool alphaUsed = false;
    if (s.bitCount == 32) {
        for (int y = 0; y < s.height && !alphaUsed; ++y) {
            const uint8_t* in = s.Row(y);
            for (int x = 0; x < s.width; ++x)
                if (in[4 * x + 3]) {
                    alphaUsed = true;
                    break;
                }
        }
    }
    long found = 0;
    for (int y = 0; y < s.height; ++y) {
        const uint8_t* in = s.Row(y);
        uint8_t* out = m.Row(y);
        for (int x = 0; x < s.width; ++x) {
            bool t = false;
            if (s.bitCount <= 8) t = transparent >= 0 && IndexAt(in, x, s.bitCount) == transparent;
            else if (alphaUsed) t = in[4 * x + 3] < 128;
            out[x] = t ? 1 : 0;
            found += t;
        }
    }
    return found > 0 ? 1 : 0;
}
