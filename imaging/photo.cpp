#include "imaging/photo.h"

#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmimgkit.h"

#include <new>

int Photo_Upright(int orientation, DibHeader** header, uint8_t** bits) {
    if (orientation < 2 || orientation > 8 || !header || !*header) return 0;
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    if (DibOps_Orient(orientation, *header, *bits, &h, &b) != 1) return 106;
    DibCore_Free(*header, *bits);
    *header = h;
    *bits = b;
    return 0;
}

PmExtent Photo_OrientExtent(int orientation, PmExtent e, PmSize stored) {
    const double sw = stored.cx, sh = stored.cy;
    // Two opposite corners of the extent, carried to the upright image.
    auto map = [&](double sx, double sy, double* ux, double* uy) {
        switch (orientation) {
        case 2: *ux = sw - sx; *uy = sy; break;
        case 3: *ux = sw - sx; *uy = sh - sy; break;
        case 4: *ux = sx; *uy = sh - sy; break;
        case 5: *ux = sy; *uy = sx; break;
        case 6: *ux = sh - sy; *uy = sx; break;
        case 7: *ux = sh - sy; *uy = sw - sx; break;
        case 8: *ux = sy; *uy = sw - sx; break;
        default: *ux = sx; *uy = sy; break;
        }
    };
    double x0, y0, x1, y1;
    map(e.x, e.y, &x0, &y0);
    map(e.x + e.width, e.y + e.height, &x1, &y1);
    return PmExtent{x0 < x1 ? x0 : x1, y0 < y1 ? y0 : y1, x0 < x1 ? x1 - x0 : x0 - x1, y0 < y1 ? y1 - y0 : y0 - y1};
}

bool Photo_ToSrgb(const DibMetadata& meta, DibHeader* header, uint8_t* bits) {
    if (meta.iccApplied || meta.icc.empty()) return false;
    return Color_DibToSrgb(meta.icc.data(), meta.icc.size(), header, bits) == IccOutcome::Converted;
}

void ApplyNoEnlarge(int32_t angle, int* resize, PmSize* box, int width, int height) {
    if (!resize || !box || *resize == 0) return;
    int64_t a = ((int64_t(angle) / 65536) % 360 + 360) % 360;
    if (a == 90 || a == 270) {
        int t = width;
        width = height;
        height = t;
    }
    // The pipeline takes box sides below 1 as 1.
    int bw = box->cx < 1 ? 1 : box->cx, bh = box->cy < 1 ? 1 : box->cy;
    if (*resize == 1) {
        if (width <= bw && height <= bh) *resize = 0;
        return;
    }
    PmSize clamped{bw < width ? bw : width, bh < height ? bh : height};
    if (clamped.cx == width && clamped.cy == height) *resize = 0;
    else *box = clamped;
}

bool Photo_OutputMeta(const DibMetadata& in, int outputType, int orientation, uint32_t width, uint32_t height,
                      DibMetadata* out) {
    *out = DibMetadata{};
    if (outputType != kTypeJpeg && outputType != kTypePng && outputType != kTypeTiff && outputType != kTypeWebp)
        return false;
    try {
        if (!in.exif.empty()) {
            std::vector<uint8_t> exif;
            if (Exif_PrepareForOutput(in.exif.data(), in.exif.size(), uint32_t(orientation), width, height, &exif))
                out->exif = std::move(exif);
        }
        // XMP and IPTC travel as JPEG segments; TIFF has tags for them, WebP
        // a chunk for XMP, PNG would need other chunks.
        if (outputType != kTypePng) out->segments = in.segments;
    } catch (const std::bad_alloc&) {
        *out = DibMetadata{};
    }
    if (out->exif.empty() && out->segments.empty()) return false;
    // TIFF states the orientation in its main IFD rather than in the block.
    out->orientation = orientation;
    return true;
}
