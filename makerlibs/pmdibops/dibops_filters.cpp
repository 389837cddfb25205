// PMDIBOPS: the tone filters. Each works on a 24-bit image in place; other
// depths are widened to 24 bits first (the DIB is then replaced).
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmquant/palette_map.h"

#include <cmath>
#include <cstring>

using namespace pmpix;

namespace {

struct Rgb {
    int r, g, b;
};

// Per-channel curves indexed by a grey level.
struct Lut {
    uint8_t r[256], g[256], b[256];
};

// Black, through `mid` at middle grey, to white: a monochrome print toned
// with one colour.
Lut Toned(Rgb mid) {
    Lut l;
    auto ch = [](int v, int m) { return v <= 128 ? v * m / 128 : m + (v - 128) * (255 - m) / 127; };
    for (int v = 0; v < 256; ++v) {
        l.r[v] = Clamp255(ch(v, mid.r));
        l.g[v] = Clamp255(ch(v, mid.g));
        l.b[v] = Clamp255(ch(v, mid.b));
    }
    return l;
}

// A gradient through evenly spaced colour stops.
Lut Gradient(const Rgb* stops, int n) {
    Lut l;
    for (int v = 0; v < 256; ++v) {
        int seg = v * (n - 1);
        int i = seg / 255, f = seg % 255;
        if (i >= n - 1) {
            i = n - 2;
            f = 255;
        }
        l.r[v] = Clamp255((stops[i].r * (255 - f) + stops[i + 1].r * f + 127) / 255);
        l.g[v] = Clamp255((stops[i].g * (255 - f) + stops[i + 1].g * f + 127) / 255);
        l.b[v] = Clamp255((stops[i].b * (255 - f) + stops[i + 1].b * f + 127) / 255);
    }
    return l;
}

void ApplyLumaLut(const View& v, const Lut& l) {
    for (int y = 0; y < v.height; ++y) {
        uint8_t* p = v.Row(y);
        for (int x = 0; x < v.width; ++x, p += 3) {
            int g = Luma(p[2], p[1], p[0]);
            p[0] = l.b[g];
            p[1] = l.g[g];
            p[2] = l.r[g];
        }
    }
}

// Posterised, over-saturated, hard contrast: poster colours.
void Punk(const View& v) {
    uint8_t curve[256];
    for (int i = 0; i < 256; ++i) {
        // S-curve, then four levels per channel.
        double t = i / 255.0;
        double s = t < 0.5 ? 2 * t * t : 1 - 2 * (1 - t) * (1 - t);
        int q = int(s * 3.999);
        curve[i] = uint8_t(q * 85);
    }
    for (int y = 0; y < v.height; ++y) {
        uint8_t* p = v.Row(y);
        for (int x = 0; x < v.width; ++x, p += 3) {
            int l = Luma(p[2], p[1], p[0]);
            for (int c = 0; c < 3; ++c) p[c] = curve[Clamp255(l + (p[c] - l) * 9 / 4)];
        }
    }
}

// Brightness folded into bands, as light runs across polished steel.
void Metal(const View& v) {
    Lut l;
    for (int i = 0; i < 256; ++i) {
        double t = 0.5 - 0.5 * std::cos(i / 255.0 * 3 * 3.14159265358979);
        int g = int(t * 235 + 10);
        l.r[i] = Clamp255(g * 92 / 100 + 6);
        l.g[i] = Clamp255(g * 97 / 100 + 4);
        l.b[i] = Clamp255(g * 106 / 100 + 2);
    }
    ApplyLumaLut(v, l);
}

// Relief lit from the top left, as grey (light from one side, the flat parts
// middle grey), then optionally toned like a metal.
bool Emboss(const View& v, const Lut* tone) {
    HeapBuf<uint8_t> luma;
    if (!luma.Alloc(size_t(v.width) * size_t(v.height))) return false;
    for (int y = 0; y < v.height; ++y) {
        const uint8_t* p = v.Row(y);
        uint8_t* l = luma.get() + size_t(y) * size_t(v.width);
        for (int x = 0; x < v.width; ++x, p += 3) l[x] = uint8_t(Luma(p[2], p[1], p[0]));
    }
    auto at = [&](int x, int y) {
        x = x < 0 ? 0 : x >= v.width ? v.width - 1 : x;
        y = y < 0 ? 0 : y >= v.height ? v.height - 1 : y;
        return int(luma[size_t(y) * size_t(v.width) + size_t(x)]);
    };
    for (int y = 0; y < v.height; ++y) {
        uint8_t* p = v.Row(y);
        for (int x = 0; x < v.width; ++x, p += 3) {
            int d = (at(x - 1, y - 1) * 2 + at(x - 1, y) + at(x, y - 1)) - (at(x + 1, y + 1) * 2 + at(x + 1, y) + at(x, y + 1));
            int e = Clamp255(128 + d);
            if (tone) {
                p[0] = tone->b[e];
                p[1] = tone->g[e];
                p[2] = tone->r[e];
            } else {
                p[0] = p[1] = p[2] = uint8_t(e);
            }
        }
    }
    return true;
}

// Woven canvas under the paint: alternating over-and-under threads, each
// rounded across its width, plus irregular fibre. `period` is the thread
// width in pixels.
bool Canvas(const View& v, int period, int depth, int fibre) {
    auto hash = [](uint32_t x, uint32_t y) {
        uint32_t h = x * 374761393u + y * 668265263u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return int((h ^ (h >> 16)) & 255) - 128;
    };
    HeapBuf<int16_t> profile;
    if (!profile.Alloc(size_t(period))) return false;
    for (int i = 0; i < period; ++i)
        profile[i] = int16_t(std::lround(std::sin((i + 0.5) / period * 3.14159265358979) * 256));
    for (int y = 0; y < v.height; ++y) {
        uint8_t* p = v.Row(y);
        for (int x = 0; x < v.width; ++x, p += 3) {
            bool horizontalOnTop = (((x / period) + (y / period)) & 1) != 0;
            int hump = horizontalOnTop ? profile[y % period] : profile[x % period];
            // Each thread is lit from above: its upper edge light, its
            // lower edge in shade.
            int slope = horizontalOnTop ? ((y % period) * 2 < period ? 1 : -1) : ((x % period) * 2 < period ? 1 : -1);
            int f = 256 + ((hump - 160) * depth) / 256 + slope * depth / 12 + hash(uint32_t(x / 2), uint32_t(y)) * fibre / 256;
            for (int c = 0; c < 3; ++c) p[c] = Clamp255((p[c] * f + 128) >> 8);
        }
    }
    return true;
}

bool Widen(DibHeader** header, uint8_t** bits) {
    if ((*header)->biBitCount == 24) return true;
    DibHeader templ = **header;
    templ.biSize = sizeof(DibHeader);
    templ.biBitCount = 24;
    templ.biClrUsed = 0;
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    if (!DibCore_Create(&templ, 0, &h, &b)) return false;
    if (!DibCore_ConvertDepth(*header, *bits, h, b)) {
        DibCore_Free(h, b);
        return false;
    }
    DibCore_Free(*header, *bits);
    *header = h;
    *bits = b;
    return true;
}

}  // namespace

int DibOps_ApplyFilter(int code, DibHeader** header, uint8_t** bits) {
    if (!header || !bits) return 0;
    View v;
    if (!MakeView(*header, *bits, &v)) return 0;
    switch (code) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10:
    case 12: case 13: case 14: case 15: case 20: case 21: case 22: case 25: case 26: break;
    default: return 0;  // not a filter: fail before touching the image
    }
    if (!Widen(header, bits) || !MakeView(*header, *bits, &v)) return 0;

    switch (code) {
    case 1: ApplyLumaLut(v, Toned({128, 128, 128})); break;
    case 2: ApplyLumaLut(v, Toned({108, 126, 156})); break;  // cold
    case 3: ApplyLumaLut(v, Toned({156, 128, 100})); break;  // warm
    case 4: ApplyLumaLut(v, Toned({168, 124, 78})); break;   // sepia
    case 5: ApplyLumaLut(v, Toned({212, 36, 36})); break;    // red
    case 6: ApplyLumaLut(v, Toned({36, 168, 48})); break;    // green
    case 7: ApplyLumaLut(v, Toned({40, 72, 212})); break;    // blue
    case 8: ApplyLumaLut(v, Toned({24, 176, 196})); break;   // cyan
    case 9: ApplyLumaLut(v, Toned({200, 36, 176})); break;   // magenta
    case 10: ApplyLumaLut(v, Toned({224, 200, 24})); break;  // yellow
    case 20: Punk(v); break;
    case 21: Metal(v); break;
    case 22: {
        static const Rgb kEarth[] = {{34, 22, 12}, {98, 60, 28}, {150, 112, 52}, {196, 170, 104}, {238, 226, 196}};
        ApplyLumaLut(v, Gradient(kEarth, 5));
        break;
    }
    case 12: return Emboss(v, nullptr) ? 1 : 0;
    case 13: {
        static const Rgb kGold[] = {{40, 24, 0}, {150, 110, 20}, {218, 176, 56}, {255, 236, 150}};
        Lut l = Gradient(kGold, 4);
        return Emboss(v, &l) ? 1 : 0;
    }
    case 14: {
        static const Rgb kSilver[] = {{30, 32, 36}, {120, 124, 132}, {188, 190, 198}, {250, 250, 255}};
        Lut l = Gradient(kSilver, 4);
        return Emboss(v, &l) ? 1 : 0;
    }
    case 15: {
        static const Rgb kCopper[] = {{36, 14, 4}, {128, 64, 28}, {190, 112, 62}, {250, 200, 160}};
        Lut l = Gradient(kCopper, 4);
        return Emboss(v, &l) ? 1 : 0;
    }
    case 25: return Canvas(v, 3, 40, 10) ? 1 : 0;
    case 26: return Canvas(v, 6, 90, 40) ? 1 : 0;
    }
    return 1;
}
