#include "imaging/transform.h"

#include "imaging/palettes.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmsingleops.h"

#include <cstring>

namespace {

constexpr int kGifType = 5;

struct Dib {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
};

int Height(const DibHeader* h) { return h->biHeight < 0 ? -h->biHeight : h->biHeight; }

// A new DIB shaped like `cur` with another depth (and size when given). The
// copied header's colour-count field is cleared: a source that used only
// part of its table must not leave the new image with a table too small for
// the colours it is made to hold.
bool CreateLike(const DibHeader* cur, int depth, int width, int height, Dib* out) {
    DibHeader t;
    DibCore_GetHeader(cur, &t);
    t.biSize = sizeof(DibHeader);
    t.biBitCount = uint16_t(depth);
    t.biCompression = kBiRgb;
    t.biClrUsed = 0;
    t.biClrImportant = 0;
    if (width > 0) {
        t.biWidth = width;
        t.biHeight = cur->biHeight < 0 ? -height : height;
    }
    return DibCore_Create(&t, 0, &out->h, &out->b) != 0;
}

void Adopt(Dib* cur, Dib* made) {
    DibCore_Free(cur->h, cur->b);
    *cur = *made;
    *made = Dib{};
}

int32_t ClampBox(int32_t v) {
    if (v < 1) return 1;
    if (v > int32_t(kMaxImageSide)) return int32_t(kMaxImageSide);
    return v;
}

bool MaskEntryTransparent(const RgbQuad* table, int count, int value) {
    return value < count && table[value].reserved == kTransparentMark;
}

bool MaskEntryWhite(const RgbQuad* table, int count, int value) {
    return value < count && table[value].red == 255 && table[value].green == 255 && table[value].blue == 255;
}

// Transparent pixels are painted white before colour reduction, so that the
// colours hidden under them do not pull the palette.
void PaintMaskedWhite(DibHeader* img, uint8_t* bits, DibHeader* mask, uint8_t* maskBits) {
    int imgStride = DibCore_GetRowStride(img, 0), maskStride = DibCore_GetRowStride(mask, 0);
    int count = 0;
    const RgbQuad* table = DibCore_GetColorTable(mask, &count, nullptr);
    int w = img->biWidth < mask->biWidth ? img->biWidth : mask->biWidth;
    int h = Height(img) < Height(mask) ? Height(img) : Height(mask);
    for (int y = 0; y < h; ++y) {
        uint8_t* p = bits + size_t(y) * size_t(imgStride);
        const uint8_t* m = maskBits + size_t(y) * size_t(maskStride);
        for (int x = 0; x < w; ++x)
            if (MaskEntryWhite(table, count, m[x])) p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = 255;
    }
}

int PixelIndex(const uint8_t* row, int x, int bitCount) {
    return bitCount == 4 ? ((x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4) : row[x];
}

void SetPixelIndex(uint8_t* row, int x, int bitCount, int index) {
    if (bitCount == 4) {
        uint8_t& b = row[x >> 1];
        b = (x & 1) ? uint8_t((b & 0xF0) | (index & 0x0F)) : uint8_t((b & 0x0F) | ((index & 0x0F) << 4));
    } else {
        row[x] = uint8_t(index);
    }
}

bool IsBlackOrWhite(const RgbQuad& c) {
    return (c.red == 0 && c.green == 0 && c.blue == 0) || (c.red == 255 && c.green == 255 && c.blue == 255);
}

// The two colours of a one-bit picture that are not plain black and white
// (a blue and yellow drawing): such a picture reduced back to one bit keeps
// them, where the dithered black and white would lose what it shows.
bool OwnTwoColors(DibHeader* img, RgbQuad pair[2]) {
    if (img->biBitCount != 1) return false;
    int count = 0;
    const RgbQuad* table = DibCore_GetColorTable(img, &count, nullptr);
    if (!table || count < 1) return false;
    pair[0] = table[0];
    pair[1] = table[count > 1 ? 1 : 0];
    if (IsBlackOrWhite(pair[0]) && IsBlackOrWhite(pair[1])) return false;
    pair[0].reserved = pair[1].reserved = 0;
    return true;
}

class Pipeline {
public:
    Pipeline(DibHeader* h, uint8_t* b) { cur_.h = h; cur_.b = b; }
    ~Pipeline() {
        DibCore_Free(mask_.h, mask_.b);
        DibCore_Free(made_.h, made_.b);
    }
    Dib cur_;
    Dib made_;  // a DIB being made; freed if a step fails before adopting it
    Dib mask_;

    int To24() { return ConvertTo24Bit(&cur_.h, &cur_.b); }
    void DropMade() {
        DibCore_Free(made_.h, made_.b);
        made_ = Dib{};
    }
};

}  // namespace

extern "C" int32_t PM_API AngleForDirection(int direction, int width, int height) {
    bool landscape = width > height, portrait = height > width;
    switch (direction) {
    case 1: return landscape ? kAngle270 : 0;
    case 2: return landscape ? kAngle90 : 0;
    case 3: return portrait ? kAngle270 : 0;
    case 4: return portrait ? kAngle90 : 0;
    case 5: return kAngle90;
    case 6: return kAngle180;
    case 7: return kAngle270;
    default: return 0;
    }
}

PmSize ZoomTargetSize(int resize, const PmSize* boxSize, PmSize turned) {
    PmSize target = turned;
    if (boxSize && resize == 1) {
        DibOps_FitSize(boxSize, 0, &target);
    } else if (boxSize && resize != 0) {
        target = PmSize{ClampBox(boxSize->cx), ClampBox(boxSize->cy)};
    }
    return target;
}

namespace {

bool OddTurn(int32_t angle) { return angle == kAngle90 || angle == kAngle270; }
PmSize Swapped(PmSize s, bool swap) { return swap ? PmSize{s.cy, s.cx} : s; }

}  // namespace

ZoomPlan PlanZoom(int direction, int resize, const PmSize* boxSize, PmSize full, PmSize decoded, unsigned reduction) {
    ZoomPlan plan;
    plan.angle = AngleForDirection(direction, full.cx, full.cy);
    plan.resize = resize;
    if (boxSize) plan.box = *boxSize;
    if (reduction <= 1 || (full.cx == decoded.cx && full.cy == decoded.cy)) return plan;
    // The last column and row of a reduced decode stand for what is left of
    // the file's width and height: the picture spans full / reduction.
    plan.reduced = true;
    plan.extent = PmExtent{0, 0, double(full.cx) / reduction, double(full.cy) / reduction};
    // Stretching to the full image's own output size reproduces it exactly
    // (the target is taken as given, clamped the same way).
    plan.box = ZoomTargetSize(resize, boxSize, Swapped(full, OddTurn(plan.angle)));
    plan.resize = 2;
    return plan;
}

bool ShrinkTargetSize(int direction, int resize, const PmSize* boxSize, PmSize full, PmSize* target) {
    if (resize == 0 || !boxSize || !target || full.cx < 1 || full.cy < 1) return false;
    bool odd = OddTurn(AngleForDirection(direction, full.cx, full.cy));
    PmSize t = Swapped(ZoomTargetSize(resize, boxSize, Swapped(full, odd)), odd);
    if (t.cx >= full.cx || t.cy >= full.cy) return false;
    *target = t;
    return true;
}

extern "C" int PM_API ConvertTo24Bit(DibHeader** header, uint8_t** bits) {
    if (!header || !bits || !*header || !*bits) return kTransformLibFailed;
    if ((*header)->biBitCount == 24) return kTransformOk;
    Dib made;
    if (!CreateLike(*header, 24, 0, 0, &made)) return kTransformNoMemory;
    if (!DibCore_ConvertDepth(*header, *bits, made.h, made.b)) {
        DibCore_Free(made.h, made.b);
        return kTransformLibFailed;
    }
    DibCore_Free(*header, *bits);
    *header = made.h;
    *bits = made.b;
    return kTransformOk;
}

namespace {

// The picture's extent after the turn (see DibOps_Rotate: a counter-
// clockwise quarter turn brings the right column to the top row).
PmExtent Turned(const PmExtent& e, int32_t angle, int width, int height) {
    double right = width - (e.x + e.width), bottom = height - (e.y + e.height);
    switch (angle) {
    case kAngle90: return PmExtent{e.y, right, e.height, e.width};
    case kAngle180: return PmExtent{right, bottom, e.width, e.height};
    case kAngle270: return PmExtent{bottom, e.x, e.height, e.width};
    default: return e;
    }
}

int Run(Pipeline& p, int outputType, int keepTransparency, int& T, int bitCount, int32_t angle, int resize,
        const PmSize* boxSize, int filterCode, int zoomFilter, int palette, int transparentColor,
        int* transparentIndex, const PmExtent* sourceExtent) {
    PmExtent extent{};
    if (sourceExtent) extent = Turned(*sourceExtent, angle, p.cur_.h->biWidth, Height(p.cur_.h));
    int rc;
    // 1. Target depth.
    if (T < 1) T = p.cur_.h->biBitCount;
    if (T == 1 && p.cur_.h->biBitCount != 1) T = 2;
    if (T > 8) T = 24;
    if (bitCount > 8) bitCount = 24;
    if (bitCount > 0) T = bitCount;
    if (outputType == kGifType && T > 8) T = 8;
    // Only a depth that follows the input keeps the input's colours: a
    // chosen one bit, or a tone filter that recolours, means black and white.
    RgbQuad pair[2];
    const bool keepPair = bitCount <= 0 && T == 1 && filterCode == 0 && OwnTwoColors(p.cur_.h, pair);

    // 2. Turn.
    if (angle != 0) {
        if (DibOps_Rotate(0, angle, p.cur_.h, p.cur_.b, &p.made_.h, &p.made_.b) != 1) return kTransformLibFailed;
        Adopt(&p.cur_, &p.made_);
    }

    // 3. Target size.
    PmSize target = ZoomTargetSize(resize, boxSize, PmSize{p.cur_.h->biWidth, Height(p.cur_.h)});
    auto sizeDiffers = [&] { return p.cur_.h->biWidth != target.cx || Height(p.cur_.h) != target.cy; };

    // 4. Transparency mask.
    int S = -1;
    if (keepTransparency && T <= 8) {
        if (!CreateLike(p.cur_.h, 8, 0, 0, &p.mask_)) return kTransformNoMemory;
        if (DibCore_MakeTransparencyMask(p.cur_.h, p.cur_.b, p.mask_.h, p.mask_.b) <= 0) {
            DibCore_Free(p.mask_.h, p.mask_.b);
            p.mask_ = Dib{};
        } else if (p.cur_.h->biBitCount <= 8) {
            S = DibCore_GetTransparentIndex(p.cur_.h);
            if (S >= 0 && transparentColor != -1) DibCore_SetTransparentColor(ColorRef(transparentColor), p.cur_.h, p.cur_.b);
            if (S >= 0 && transparentColor == -1) transparentColor = int(DibCore_GetPaletteColor(p.cur_.h, S));
        }
    }

    // 5. 32-bit input.
    if (p.cur_.h->biBitCount == 32 && (rc = p.To24()) != 0) return rc;

    // 6. Monochrome preparation.
    if (sizeDiffers() && T == 1 && p.cur_.h->biBitCount > 1) {
        if (!CreateLike(p.cur_.h, 24, 0, 0, &p.made_)) return kTransformNoMemory;
        int r = Effects_MonoPrepare(0, p.cur_.h, p.cur_.b, 1, p.made_.h, p.made_.b);
        Adopt(&p.cur_, &p.made_);
        if (r != 1) return kTransformLibFailed;
    }

    // 7. Zoom.
    if (sizeDiffers()) {
        if ((rc = p.To24()) != 0) return rc;
        if (!CreateLike(p.cur_.h, 24, target.cx, target.cy, &p.made_)) return kTransformNoMemory;
        int w = p.cur_.h->biWidth, h = Height(p.cur_.h);
        int r;
        if (sourceExtent) {
            int method = (w > target.cx || h > target.cy) ? (zoomFilter != 0 ? 2 : (w > target.cx && h > target.cy) ? 0 : 1) : 1;
            r = Geom_ZoomExtent(method, &extent, p.cur_.h, p.cur_.b, p.made_.h, p.made_.b);
        } else if (w > target.cx || h > target.cy) {
            if (zoomFilter != 0)
                r = Geom_ShrinkSmooth(0, 0, p.cur_.h, p.cur_.b, p.made_.h, p.made_.b);
            else if (w > target.cx && h > target.cy)
                r = Geom_Shrink(0, p.cur_.h, p.cur_.b, 0, 0, target.cx, target.cy, p.made_.b);
            else
                r = Geom_Resample(0, p.cur_.h, p.cur_.b, 1, p.made_.h, p.made_.b);
        } else {
            r = Geom_Resample(0, p.cur_.h, p.cur_.b, 1, p.made_.h, p.made_.b);
        }
        if (r == 0) {
            p.DropMade();
            return kTransformLibFailed;
        }
        Adopt(&p.cur_, &p.made_);
    }

    // 8. Mask size.
    if (p.mask_.h) {
        Dib scaled;
        if (DibOps_ResizeMask(&target, -1, p.mask_.h, p.mask_.b, &scaled.h, &scaled.b) <= 0) return kTransformLibFailed;
        Adopt(&p.mask_, &scaled);
    }

    // 9. Tone filter.
    if (filterCode != 0) {
        if ((rc = p.To24()) != 0) return rc;
        if (DibOps_ApplyFilter(filterCode, &p.cur_.h, &p.cur_.b) == 0) return kTransformLibFailed;
    }

    // 10. Colour reduction.
    if (p.cur_.h->biBitCount != T || palette != 0) {
        if (p.mask_.h) {
            if ((rc = p.To24()) != 0) return rc;
            PaintMaskedWhite(p.cur_.h, p.cur_.b, p.mask_.h, p.mask_.b);
        }
        int D = (T >= 2 && T <= 4) ? 4 : (T >= 5 && T <= 8) ? 8 : T;
        if (!CreateLike(p.cur_.h, D, 0, 0, &p.made_)) return kTransformNoMemory;
        int entries = 0, entrySize = 0;
        RgbQuad* table = DibCore_GetColorTable(p.made_.h, &entries, &entrySize);
        if (table) std::memset(table, 0, size_t(entries) * size_t(entrySize));
        int64_t N = int64_t(1) << T;
        int w = p.cur_.h->biWidth, h = Height(p.cur_.h);
        if (D == 1 && keepPair) {
            // Nearest of the two, undithered: the zoom's blended edge pixels
            // go to one side instead of speckling in a third colour.
            table[0] = pair[0];
            table[1] = pair[1];
            if (DibCore_ConvertDepth(p.cur_.h, p.cur_.b, p.made_.h, p.made_.b) == 0) {
                p.DropMade();
                return kTransformLibFailed;
            }
        } else if (D == 1) {
            int r = (w < 4 || h < 3) ? Tone_ToMonochromeSmall(p.cur_.h, p.cur_.b, 0, 0, p.made_.h, p.made_.b)
                                     : Tone_ToMonochrome(p.cur_.h, p.cur_.b, 0, p.made_.h, p.made_.b);
            if (r <= 0) {
                p.DropMade();
                return kTransformLibFailed;
            }
        } else {
            if (p.mask_.h && T < 24) N -= 1;
            if (T == 8 && palette != 0) {
                const RgbQuad* fixed = FixedPaletteFor(palette);
                size_t bytes = size_t(entries) * size_t(entrySize);
                if (bytes > sizeof(RgbQuad) * kFixedPaletteEntries) bytes = sizeof(RgbQuad) * kFixedPaletteEntries;
                std::memcpy(table, fixed, bytes);
                if (DibOps_MapToPalette(p.cur_.h, p.cur_.b, 6, int(N), D, fixed, p.made_.b) <= 0) {
                    p.DropMade();
                    return kTransformLibFailed;
                }
            } else {
                uint32_t colors[256], counts[256];
                int U = 0;
                if (N <= 256) {
                    U = DibOps_CountColors(p.cur_.h, p.cur_.b, int(N), colors, counts);
                    if (U > N) U = 0;
                }
                if (DibOps_ReduceColors(p.cur_.h, p.cur_.b, 4, int(N), 0, U, colors, counts, p.made_.h, p.made_.b) < 0) {
                    p.DropMade();
                    return kTransformLibFailed;
                }
            }
        }
        Adopt(&p.cur_, &p.made_);
    }

    // 11. Transparent index.
    if (p.mask_.h && p.cur_.h->biBitCount <= 8) {
        if (p.cur_.h->biBitCount == 1) {
            T = 2;
            if (!CreateLike(p.cur_.h, 4, 0, 0, &p.made_)) return kTransformNoMemory;
            if (DibCore_ConvertDepth(p.cur_.h, p.cur_.b, p.made_.h, p.made_.b) == 0) {
                p.DropMade();
                return kTransformLibFailed;
            }
            Adopt(&p.cur_, &p.made_);
        }
        int bc = p.cur_.h->biBitCount;
        int N = 1 << (T > 8 ? 8 : T);
        int maskEntries = DibCore_ColorCount(p.mask_.h);
        const RgbQuad* maskTable = DibCore_GetPalette(p.mask_.h, 0, 0);
        int stride = DibCore_GetRowStride(p.cur_.h, 0), maskStride = DibCore_GetRowStride(p.mask_.h, 0);
        int w = p.cur_.h->biWidth < p.mask_.h->biWidth ? p.cur_.h->biWidth : p.mask_.h->biWidth;
        int h = Height(p.cur_.h) < Height(p.mask_.h) ? Height(p.cur_.h) : Height(p.mask_.h);
        uint32_t opaqueUse[256] = {};
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = p.cur_.b + size_t(y) * size_t(stride);
            const uint8_t* m = p.mask_.b + size_t(y) * size_t(maskStride);
            for (int x = 0; x < w; ++x)
                if (!MaskEntryTransparent(maskTable, maskEntries, m[x])) ++opaqueUse[PixelIndex(row, x, bc)];
        }
        int index = -1;
        if (palette == 0 && S >= 0 && S < N && opaqueUse[S] == 0) {
            index = S;
        } else {
            for (int i = 0; i < N; ++i)
                if (opaqueUse[i] == 0) {
                    index = i;
                    break;
                }
        }
        // With masks made from the marked palette entry (or alpha) an index
        // is always free here: the marked entry's pixels are all transparent,
        // and every colour step leaves one index unused. The fallback to the
        // caller's index and the 108 below guard masks of other origins.
        if (index >= 0) *transparentIndex = index;
        else index = *transparentIndex;
        if (index >= N) {
            T = DibMisc_BitsForIndex(index);
            return kTransformIndexTooBig;
        }
        if (index >= 0) {
            int entries = 0;
            RgbQuad* table = DibCore_GetColorTable(p.cur_.h, &entries, nullptr);
            if (palette == 0 && transparentColor != -1 && index < entries) {
                ColorRef c = ColorRef(transparentColor);
                table[index].red = ColorRefRed(c);
                table[index].green = ColorRefGreen(c);
                table[index].blue = ColorRefBlue(c);
            }
            for (int y = 0; y < h; ++y) {
                uint8_t* row = p.cur_.b + size_t(y) * size_t(stride);
                const uint8_t* m = p.mask_.b + size_t(y) * size_t(maskStride);
                for (int x = 0; x < w; ++x)
                    if (MaskEntryTransparent(maskTable, maskEntries, m[x])) SetPixelIndex(row, x, bc, index);
            }
        }
    }
    return kTransformOk;
}

}  // namespace

extern "C" int PM_API TransformImage(int outputType, int keepTransparency, int* bitDepth, int bitCount, int32_t angle,
                                     int resize, const PmSize* boxSize, int filterCode, int zoomFilter, int palette,
                                     int transparentColor, int* transparentIndex, DibHeader** header, uint8_t** bits) {
    return TransformImageFrom(nullptr, outputType, keepTransparency, bitDepth, bitCount, angle, resize, boxSize,
                              filterCode, zoomFilter, palette, transparentColor, transparentIndex, header, bits);
}

int TransformImageFrom(const PmExtent* sourceExtent, int outputType, int keepTransparency, int* bitDepth,
                       int bitCount, int32_t angle, int resize, const PmSize* boxSize, int filterCode, int zoomFilter,
                       int palette, int transparentColor, int* transparentIndex, DibHeader** header, uint8_t** bits) {
    if (!bitDepth || !transparentIndex || !header || !bits || !*header || !*bits) return kTransformLibFailed;
    int T = *bitDepth;
    Pipeline p(*header, *bits);
    int rc = Run(p, outputType, keepTransparency, T, bitCount, angle, resize, boxSize, filterCode, zoomFilter,
                 palette, transparentColor, transparentIndex, sourceExtent);
    *header = p.cur_.h;
    *bits = p.cur_.b;
    *bitDepth = T;
    return rc;
}
