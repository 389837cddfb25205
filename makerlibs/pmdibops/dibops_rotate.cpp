// PMDIBOPS: turning by quarter turns.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmdibops.h"

#include <cstring>
#include <utility>

using namespace pmpix;

namespace {

// Quarter turns counter-clockwise (0..3), or -1 when the angle is not a
// multiple of 90 degrees.
int QuarterTurns(int32_t angle) {
    int64_t a = angle;
    if (a % 65536 != 0) return -1;
    int64_t deg = ((a / 65536) % 360 + 360) % 360;
    if (deg % 90 != 0) return -1;
    return int(deg / 90);
}

// Where destination pixel (x, y) comes from, both counted from the top left.
// A counter-clockwise quarter turn brings the source's right column to the
// destination's top row.
struct Mapper {
    int turns, sw, sh;
    void Src(int x, int y, int* sx, int* sy) const {
        switch (turns) {
        case 1: *sx = sw - 1 - y; *sy = x; break;
        case 2: *sx = sw - 1 - x; *sy = sh - 1 - y; break;
        case 3: *sx = y; *sy = sh - 1 - x; break;
        default: *sx = x; *sy = y; break;
        }
    }
};

void RotateBytes(const View& s, const View& d, int turns, int bpp) {
    if (turns == 0) {
        for (int y = 0; y < s.height; ++y) std::memcpy(d.Row(y), s.Row(y), size_t(s.width) * bpp);
        return;
    }
    if (turns == 2) {
        for (int y = 0; y < d.height; ++y) {
            const uint8_t* in = s.Row(s.height - 1 - y);
            uint8_t* out = d.Row(y);
            for (int x = 0; x < d.width; ++x) std::memcpy(out + size_t(x) * bpp, in + size_t(s.width - 1 - x) * bpp, size_t(bpp));
        }
        return;
    }
    // Quarter turns walk the source down its columns; tiles keep both the
    // rows read and the rows written in cache.
    constexpr int kTile = 64;
    Mapper m{turns, s.width, s.height};
    for (int ty = 0; ty < d.height; ty += kTile) {
        int ey = ty + kTile < d.height ? ty + kTile : d.height;
        for (int tx = 0; tx < d.width; tx += kTile) {
            int ex = tx + kTile < d.width ? tx + kTile : d.width;
            for (int y = ty; y < ey; ++y) {
                uint8_t* out = d.Row(y);
                for (int x = tx; x < ex; ++x) {
                    int sx, sy;
                    m.Src(x, y, &sx, &sy);
                    const uint8_t* p = s.Row(sy) + size_t(sx) * bpp;
                    uint8_t* q = out + size_t(x) * bpp;
                    for (int k = 0; k < bpp; ++k) q[k] = p[k];
                }
            }
        }
    }
}

}  // namespace

int DibOps_Rotate(int, int32_t angle, const DibHeader* header, const uint8_t* bits, DibHeader** outHeader,
                  uint8_t** outBits) {
    if (!outHeader || !outBits) return 0;
    *outHeader = nullptr;
    *outBits = nullptr;
    View s;
    int turns = QuarterTurns(angle);
    if (turns < 0 || !MakeView(header, bits, &s)) return 0;

    DibHeader templ = *header;
    templ.biSize = sizeof(DibHeader);
    templ.biCompression = kBiRgb;
    templ.biClrUsed = uint32_t(s.tableCount);
    // A created DIB has no channel masks of its own: an image with masks of
    // its own comes out as plain 24 bits rather than with misread colours.
    const bool repack = s.bitCount >= 16 && !s.layout.plain;
    if (repack) templ.biBitCount = 24;
    if (turns & 1) {
        templ.biWidth = s.height;
        templ.biHeight = s.topDown ? -s.width : s.width;
        std::swap(templ.biXPelsPerMeter, templ.biYPelsPerMeter);
    }
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    if (!DibCore_Create(&templ, 0, &h, &b)) return 0;
    if (s.tableCount) std::memcpy(TableOf(h), s.table, size_t(s.tableCount) * sizeof(RgbQuad));
    View d;
    MakeView(h, b, &d);

    if (repack) {
        Mapper m{turns, s.width, s.height};
        const int bpp = s.bitCount / 8;
        for (int y = 0; y < d.height; ++y) {
            uint8_t* out = d.Row(y);
            for (int x = 0; x < d.width; ++x) {
                int sx, sy;
                m.Src(x, y, &sx, &sy);
                TrueColourToBgr(s.Row(sy) + size_t(sx) * bpp, 1, s.bitCount, s.layout, out + size_t(x) * 3);
            }
        }
    } else if (s.bitCount >= 8) {
        RotateBytes(s, d, turns, s.bitCount / 8);
    } else {
        Mapper m{turns, s.width, s.height};
        for (int y = 0; y < d.height; ++y) {
            uint8_t* out = d.Row(y);
            for (int x = 0; x < d.width; ++x) {
                int sx, sy;
                m.Src(x, y, &sx, &sy);
                SetIndex(out, x, s.bitCount, IndexAt(s.Row(sy), sx, s.bitCount));
            }
        }
    }
    *outHeader = h;
    *outBits = b;
    return 1;
}
