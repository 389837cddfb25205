// PMQUANT: nearest colour, adaptive palettes and error diffusion.
#include "makerlibs/pmquant/palette_map.h"
#include "makerlibs/pmquant/quantize.h"
#include "makerlibs/pmsingleops.h"

#include <cstring>

namespace pmpix {
namespace {

constexpr int kSide = 33;  // 32 levels per channel plus the zero border
constexpr int kCells = kSide * kSide * kSide;

inline int Idx(int r, int g, int b) { return (r * kSide + g) * kSide + b; }

struct Moments {
    HeapBuf<int64_t> wt, mr, mg, mb;
    HeapBuf<double> m2;
    bool Alloc() {
        return wt.Alloc(kCells, true) && mr.Alloc(kCells, true) && mg.Alloc(kCells, true) && mb.Alloc(kCells, true) &&
               m2.Alloc(kCells, true);
    }
};

struct Box {
    int r0, r1, g0, g1, b0, b1;  // lower bounds exclusive
    int vol;
};

enum Dir { kRed, kGreen, kBlue };

template <class T>
T Vol(const Box& c, const T* m) {
    return m[Idx(c.r1, c.g1, c.b1)] - m[Idx(c.r1, c.g1, c.b0)] - m[Idx(c.r1, c.g0, c.b1)] + m[Idx(c.r1, c.g0, c.b0)] -
           m[Idx(c.r0, c.g1, c.b1)] + m[Idx(c.r0, c.g1, c.b0)] + m[Idx(c.r0, c.g0, c.b1)] - m[Idx(c.r0, c.g0, c.b0)];
}

int64_t Bottom(const Box& c, Dir d, const int64_t* m) {
    switch (d) {
    case kRed:
        return -m[Idx(c.r0, c.g1, c.b1)] + m[Idx(c.r0, c.g1, c.b0)] + m[Idx(c.r0, c.g0, c.b1)] - m[Idx(c.r0, c.g0, c.b0)];
    case kGreen:
        return -m[Idx(c.r1, c.g0, c.b1)] + m[Idx(c.r1, c.g0, c.b0)] + m[Idx(c.r0, c.g0, c.b1)] - m[Idx(c.r0, c.g0, c.b0)];
    default:
        return -m[Idx(c.r1, c.g1, c.b0)] + m[Idx(c.r1, c.g0, c.b0)] + m[Idx(c.r0, c.g1, c.b0)] - m[Idx(c.r0, c.g0, c.b0)];
    }
}

int64_t Top(const Box& c, Dir d, int pos, const int64_t* m) {
    switch (d) {
    case kRed:
        return m[Idx(pos, c.g1, c.b1)] - m[Idx(pos, c.g1, c.b0)] - m[Idx(pos, c.g0, c.b1)] + m[Idx(pos, c.g0, c.b0)];
    case kGreen:
        return m[Idx(c.r1, pos, c.b1)] - m[Idx(c.r1, pos, c.b0)] - m[Idx(c.r0, pos, c.b1)] + m[Idx(c.r0, pos, c.b0)];
    default:
        return m[Idx(c.r1, c.g1, pos)] - m[Idx(c.r1, c.g0, pos)] - m[Idx(c.r0, c.g1, pos)] + m[Idx(c.r0, c.g0, pos)];
    }
}

double Var(const Box& c, const Moments& m) {
    double dr = double(Vol(c, m.mr.get())), dg = double(Vol(c, m.mg.get())), db = double(Vol(c, m.mb.get()));
    double w = double(Vol(c, m.wt.get()));
    double xx = Vol(c, m.m2.get());
    return w > 0 ? xx - (dr * dr + dg * dg + db * db) / w : 0;
}

double Maximize(const Box& c, Dir d, int first, int last, int* cut, const int64_t whole[4], const Moments& m) {
    int64_t baseR = Bottom(c, d, m.mr.get()), baseG = Bottom(c, d, m.mg.get());
    int64_t baseB = Bottom(c, d, m.mb.get()), baseW = Bottom(c, d, m.wt.get());
    double best = 0;
    *cut = -1;
    for (int i = first; i < last; ++i) {
        int64_t hr = baseR + Top(c, d, i, m.mr.get()), hg = baseG + Top(c, d, i, m.mg.get());
        int64_t hb = baseB + Top(c, d, i, m.mb.get()), hw = baseW + Top(c, d, i, m.wt.get());
        if (hw == 0) continue;
        double t = (double(hr) * hr + double(hg) * hg + double(hb) * hb) / double(hw);
        hr = whole[0] - hr;
        hg = whole[1] - hg;
        hb = whole[2] - hb;
        hw = whole[3] - hw;
        if (hw == 0) continue;
        t += (double(hr) * hr + double(hg) * hg + double(hb) * hb) / double(hw);
        if (t > best) {
            best = t;
            *cut = i;
        }
    }
    return best;
}

bool Cut(Box* a, Box* b, const Moments& m) {
    int64_t whole[4] = {Vol(*a, m.mr.get()), Vol(*a, m.mg.get()), Vol(*a, m.mb.get()), Vol(*a, m.wt.get())};
    int cr, cg, cb;
    double maxR = Maximize(*a, kRed, a->r0 + 1, a->r1, &cr, whole, m);
    double maxG = Maximize(*a, kGreen, a->g0 + 1, a->g1, &cg, whole, m);
    double maxB = Maximize(*a, kBlue, a->b0 + 1, a->b1, &cb, whole, m);
    Dir d;
    if (maxR >= maxG && maxR >= maxB) {
        d = kRed;
        if (cr < 0) return false;
    } else if (maxG >= maxR && maxG >= maxB) {
        d = kGreen;
    } else {
        d = kBlue;
    }
    b->r1 = a->r1;
    b->g1 = a->g1;
    b->b1 = a->b1;
    switch (d) {
    case kRed: b->r0 = a->r1 = cr; b->g0 = a->g0; b->b0 = a->b0; break;
    case kGreen: b->g0 = a->g1 = cg; b->r0 = a->r0; b->b0 = a->b0; break;
    case kBlue: b->b0 = a->b1 = cb; b->r0 = a->r0; b->g0 = a->g0; break;
    }
    a->vol = (a->r1 - a->r0) * (a->g1 - a->g0) * (a->b1 - a->b0);
    b->vol = (b->r1 - b->r0) * (b->g1 - b->g0) * (b->b1 - b->b0);
    return true;
}

// A non-empty histogram cell: its pixel count and colour sums.
struct Cell {
    int64_t w, r, g, b;
};

}  // namespace

int BuildAdaptivePalette(const View& src, int colors, RgbQuad* out) {
    if (colors < 1) colors = 1;
    if (colors > 256) colors = 256;
    Moments m;
    HeapBuf<uint8_t> line;
    if (!m.Alloc() || !line.Alloc(size_t(src.width) * 3)) return -1;
    for (int y = 0; y < src.height; ++y) {
        RowToBgr(src, y, line.get());
        const uint8_t* p = line.get();
        for (int x = 0; x < src.width; ++x, p += 3) {
            int b = p[0], g = p[1], r = p[2];
            int i = Idx((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
            m.wt[i] += 1;
            m.mr[i] += r;
            m.mg[i] += g;
            m.mb[i] += b;
            m.m2[i] += double(r * r + g * g + b * b);
        }
    }
    // Keep the cells for the refinement before the moments become sums.
    HeapBuf<Cell> cells;
    if (!cells.Alloc(32 * 32 * 32)) return -1;
    int cellCount = 0;
    for (int i = 0; i < kCells; ++i)
        if (m.wt[i]) cells[cellCount++] = Cell{m.wt[i], m.mr[i], m.mg[i], m.mb[i]};

    // Cumulative moments, so any box's sums take eight lookups.
    for (int r = 1; r < kSide; ++r) {
        int64_t aw[kSide] = {}, ar[kSide] = {}, ag[kSide] = {}, ab[kSide] = {};
        double a2[kSide] = {};
        for (int g = 1; g < kSide; ++g) {
            int64_t lw = 0, lr = 0, lg = 0, lb = 0;
            double l2 = 0;
            for (int b = 1; b < kSide; ++b) {
                int i1 = Idx(r, g, b), i2 = Idx(r - 1, g, b);
                lw += m.wt[i1]; lr += m.mr[i1]; lg += m.mg[i1]; lb += m.mb[i1]; l2 += m.m2[i1];
                aw[b] += lw; ar[b] += lr; ag[b] += lg; ab[b] += lb; a2[b] += l2;
                m.wt[i1] = m.wt[i2] + aw[b];
                m.mr[i1] = m.mr[i2] + ar[b];
                m.mg[i1] = m.mg[i2] + ag[b];
                m.mb[i1] = m.mb[i2] + ab[b];
                m.m2[i1] = m.m2[i2] + a2[b];
            }
        }
    }

    Box boxes[256];
    double vv[256];
    boxes[0] = Box{0, 32, 0, 32, 0, 32, 32 * 32 * 32};
    int k = colors;
    int next = 0;
    for (int i = 1; i < k; ++i) {
        if (Cut(&boxes[next], &boxes[i], m)) {
            vv[next] = boxes[next].vol > 1 ? Var(boxes[next], m) : 0;
            vv[i] = boxes[i].vol > 1 ? Var(boxes[i], m) : 0;
        } else {
            vv[next] = 0;
            --i;
        }
        next = 0;
        double t = vv[0];
        for (int j = 1; j <= i; ++j)
            if (vv[j] > t) {
                t = vv[j];
                next = j;
            }
        if (t <= 0) {
            k = i + 1;
            break;
        }
    }

    // Box means; empty boxes are dropped.
    int n = 0;
    double pr[256], pg[256], pb[256];
    for (int i = 0; i < k; ++i) {
        int64_t w = Vol(boxes[i], m.wt.get());
        if (w <= 0) continue;
        pr[n] = double(Vol(boxes[i], m.mr.get())) / double(w);
        pg[n] = double(Vol(boxes[i], m.mg.get())) / double(w);
        pb[n] = double(Vol(boxes[i], m.mb.get())) / double(w);
        ++n;
    }
    if (n == 0) {
        out[0] = RgbQuad{0, 0, 0, 0};
        return 1;
    }

    // Box cuts follow the 5-bit grid; a few weighted k-means passes over the
    // cells move each entry to the true mean of the colours it serves.
    // Few entries move far and cost little per pass: refine them longer.
    int passes = n <= 16 ? 8 : 3;
    for (int pass = 0; pass < passes; ++pass) {
        double sw[256] = {}, sr[256] = {}, sg[256] = {}, sb[256] = {};
        for (int c = 0; c < cellCount; ++c) {
            const Cell& cell = cells[c];
            double w = double(cell.w);
            double r = double(cell.r) / w, g = double(cell.g) / w, b = double(cell.b) / w;
            int best = 0;
            double bestD = 1e30;
            for (int j = 0; j < n; ++j) {
                double dr = r - pr[j];
                double d = dr * dr;
                if (d >= bestD) continue;  // most entries lose on red alone
                double dg = g - pg[j], db = b - pb[j];
                d += dg * dg + db * db;
                if (d < bestD) {
                    bestD = d;
                    best = j;
                }
            }
            sw[best] += w;
            sr[best] += double(cell.r);
            sg[best] += double(cell.g);
            sb[best] += double(cell.b);
        }
        for (int j = 0; j < n; ++j)
            if (sw[j] > 0) {
                pr[j] = sr[j] / sw[j];
                pg[j] = sg[j] / sw[j];
                pb[j] = sb[j] / sw[j];
            }
    }
    for (int j = 0; j < n; ++j)
        out[j] = RgbQuad{Clamp255(int(pb[j] + 0.5)), Clamp255(int(pg[j] + 0.5)), Clamp255(int(pr[j] + 0.5)), 0};
    return n;
}

bool DiffuseToPalette(const View& src, const RgbQuad* table, int count, const View& dst) {
    PaletteMapper mapper;
    HeapBuf<uint8_t> line;
    HeapBuf<int> errA, errB;
    size_t n = (size_t(src.width) + 2) * 3;
    if (!mapper.Init(table, count) || !line.Alloc(size_t(src.width) * 3) || !errA.Alloc(n, true) ||
        !errB.Alloc(n, true))
        return false;
    int* cur = errA.get();
    int* nxt = errB.get();
    // With very few colours the full error swings each pixel between
    // extremes; passing on most of it keeps the tones and less of the grain.
    bool damp = count <= 4;
    for (int y = 0; y < src.height; ++y) {
        RowToBgr(src, y, line.get());
        std::memset(nxt, 0, n * sizeof(int));
        uint8_t* out = dst.Row(y);
        bool ltr = (y & 1) == 0;
        int step = ltr ? 1 : -1;
        for (int i = 0; i < src.width; ++i) {
            int x = ltr ? i : src.width - 1 - i;
            const uint8_t* p = line.get() + size_t(x) * 3;
            int* e = cur + size_t(x + 1) * 3;
            // Errors are kept in sixteenths.
            int b = Clamp255(p[0] + ((e[0] + 8) >> 4));
            int g = Clamp255(p[1] + ((e[1] + 8) >> 4));
            int r = Clamp255(p[2] + ((e[2] + 8) >> 4));
            int idx = mapper.Map(r, g, b);
            SetIndex(out, x, dst.bitCount, idx);
            int eb = b - table[idx].blue, eg = g - table[idx].green, er = r - table[idx].red;
            if (damp) {
                eb = eb * 13 / 16;
                eg = eg * 13 / 16;
                er = er * 13 / 16;
            }
            int ev[3] = {eb, eg, er};
            int* ahead = cur + size_t(x + 1 + step) * 3;
            int* below = nxt + size_t(x + 1) * 3;
            int* belowAhead = nxt + size_t(x + 1 + step) * 3;
            int* belowBehind = nxt + size_t(x + 1 - step) * 3;
            for (int c = 0; c < 3; ++c) {
                ahead[c] += ev[c] * 7;
                belowBehind[c] += ev[c] * 3;
                below[c] += ev[c] * 5;
                belowAhead[c] += ev[c];
            }
        }
        int* t = cur;
        cur = nxt;
        nxt = t;
    }
    return true;
}

}  // namespace pmpix

int Quant_NearestColor(int red, int green, int blue, int count, const RgbQuad* table) {
    if (!table || count <= 0) return 0;
    return pmpix::NearestIndex(red, green, blue, count > 256 ? 256 : count, table);
}
