// PMDIBOPS: turning by quarter turns and by the orientation a camera stored.
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

// Where destination pixel (x, y) comes from, both counted from the top left:
// the destination's axes are the source's, swapped or not, each read
// forwards or backwards. Quarter turns and the camera orientations are all
// of this shape.
struct Mapper {
    bool swap, flipX, flipY;
    int sw, sh;
    void Src(int x, int y, int* sx, int* sy) const {
        int u = swap ? y : x, v = swap ? x : y;
        *sx = flipX ? sw - 1 - u : u;
        *sy = flipY ? sh - 1 - v : v;
    }
};

// A counter-clockwise quarter turn brings the source's right column to the
// destination's top row.
Mapper ForTurns(int turns, int sw, int sh) {
    switch (turns) {
    case 1: return Mapper{true, true, false, sw, sh};
    case 2: return Mapper{false, true, true, sw, sh};
    case 3: return Mapper{true, false, true, sw, sh};
    default: return Mapper{false, false, false, sw, sh};
    }
}

// The camera's orientation value says where the stored first row and
// column belong in the upright picture (2 and 4 mirror, 5 and 7 mirror
// across a diagonal, 6 and 8 are quarter turns).
Mapper ForOrientation(int orientation, int sw, int sh) {
    static const bool kShape[9][3] = {
        {false, false, false}, {false, false, false}, {false, true, false}, {false, true, true},
        {false, false, true},  {true, false, false},  {true, false, true},  {true, true, true},
        {true, true, false},
    };
    const bool* k = kShape[orientation >= 1 && orientation <= 8 ? orientation : 1];
    return Mapper{k[0], k[1], k[2], sw, sh};
}

void MapBytes(const View& s, const View& d, const Mapper& m, int bpp) {
    if (!m.swap) {
        for (int y = 0; y < d.height; ++y) {
            const uint8_t* in = s.Row(m.flipY ? s.height - 1 - y : y);
            uint8_t* out = d.Row(y);
            if (!m.flipX) {
                std::memcpy(out, in, size_t(s.width) * bpp);
                continue;
            }
            for (int x = 0; x < d.width; ++x)
                std::memcpy(out + size_t(x) * bpp, in + size_t(s.width - 1 - x) * bpp, size_t(bpp));
        }
        return;
    }
    // Swapped axes walk the source down its columns; tiles keep both the
    // rows read and the rows written in cache.
    constexpr int kTile = 64;
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

int MapInto(const Mapper& m, const View& s, const DibHeader* header, DibHeader** outHeader, uint8_t** outBits) {
    DibHeader templ = *header;
    templ.biSize = sizeof(DibHeader);
    templ.biCompression = kBiRgb;
    templ.biClrUsed = uint32_t(s.tableCount);
    // A created DIB has no channel masks of its own: an image with masks of
    // its own comes out as plain 24 bits rather than with misread colours.
    const bool repack = s.bitCount >= 16 && !s.layout.plain;
    if (repack) templ.biBitCount = 24;
    if (m.swap) {
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
        MapBytes(s, d, m, s.bitCount / 8);
    } else {
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

}  // namespace

int DibOps_Rotate(int, int32_t angle, const DibHeader* header, const uint8_t* bits, DibHeader** outHeader,
                  uint8_t** outBits) {
    if (!outHeader || !outBits) return 0;
    *outHeader = nullptr;
    *outBits = nullptr;
    View s;
    int turns = QuarterTurns(angle);
    if (turns < 0 || !MakeView(header, bits, &s)) return 0;
    return MapInto(ForTurns(turns, s.width, s.height), s, header, outHeader, outBits);
}

int DibOps_Orient(int orientation, const DibHeader* header, const uint8_t* bits, DibHeader** outHeader,
                  uint8_t** outBits) {
    if (!outHeader || !outBits) return 0;
    *outHeader = nullptr;
    *outBits = nullptr;
    View s;
    if (!MakeView(header, bits, &s)) return 0;
    return MapInto(ForOrientation(orientation, s.width, s.height), s, header, outHeader, outBits);
}
