#include "imaging/photo.h"

#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmimgkit.h"

#include <cstring>
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

namespace {

// An orientation as the matrix that carries a stored pixel's offset from
// the centre (x right, y down) to its offset in the upright picture.
struct Turn {
    int a, b, c, d;  // ux = a x + b y, uy = c x + d y
    bool operator==(const Turn&) const = default;
    Turn Then(const Turn& next) const {  // this first, then `next`
        return Turn{next.a * a + next.b * c, next.a * b + next.b * d, next.c * a + next.d * c, next.c * b + next.d * d};
    }
};

constexpr Turn kOrientations[9] = {
    {1, 0, 0, 1},
    {1, 0, 0, 1},    // 1 as is
    {-1, 0, 0, 1},   // 2 mirrored left to right
    {-1, 0, 0, -1},  // 3 upside down
    {1, 0, 0, -1},   // 4 mirrored top to bottom
    {0, 1, 1, 0},    // 5 across the main diagonal
    {0, -1, 1, 0},   // 6 shown after a clockwise quarter turn
    {0, -1, -1, 0},  // 7 across the other diagonal
    {0, 1, -1, 0},   // 8 shown after an anticlockwise quarter turn
};
constexpr Turn kClockwiseQuarter = kOrientations[6];

}  // namespace

int Orientation_AfterTurn(int orientation, int32_t angle) {
    if (orientation < 1 || orientation > 8) orientation = 1;
    if (angle % (90 * 65536) != 0) return orientation;
    // Pixels turned anticlockwise by `angle` come back to the stored ones by
    // as many clockwise quarter turns; the stored orientation follows.
    const int quarters = int(((int64_t(angle) / (90 * 65536)) % 4 + 4) % 4);
    Turn t = kOrientations[1];
    for (int i = 0; i < quarters; ++i) t = t.Then(kClockwiseQuarter);
    t = t.Then(kOrientations[orientation]);
    for (int o = 1; o <= 8; ++o)
        if (kOrientations[o] == t) return o;
    return orientation;
}

PictureGeometry::PictureGeometry(PmSize decoded, PmSize full, uint32_t reduction, int orientation)
    : decoded_(decoded),
      full_(full.cx > 0 && full.cy > 0 ? full : decoded),
      reduction_(reduction < 1 ? 1 : reduction),
      orientation_(orientation >= 1 && orientation <= 8 ? orientation : 1) {}

PmExtent PictureGeometry::PictureExtent() const {
    const PmExtent asStored{0, 0, double(full_.cx) / reduction_, double(full_.cy) / reduction_};
    return turned_ ? Photo_OrientExtent(orientation_, asStored, decoded_) : asStored;
}

int PictureGeometry::OutputOrientation(int32_t angle) const {
    return turned_ ? 1 : Orientation_AfterTurn(orientation_, angle);
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

namespace {

// The colour space an ICC header names (bytes 16 to 19).
bool IccSpaceIs(const std::vector<uint8_t>& icc, const char* space) {
    return icc.size() >= 20 && std::memcmp(icc.data() + 16, space, 4) == 0;
}

}  // namespace

bool Photo_OutputMeta(const DibMetadata& in, const PhotoOutput& o, DibMetadata* out) {
    *out = DibMetadata{};
    if (o.type != kTypeJpeg && o.type != kTypePng && o.type != kTypeTiff && o.type != kTypeWebp) return false;
    try {
        const ExifOutput facts{uint32_t(o.orientation), o.width, o.height, o.srgb};
        if (o.keepCamera && !in.exif.empty()) {
            std::vector<uint8_t> exif;
            if (Exif_PrepareForOutput(in.exif.data(), in.exif.size(), facts, &exif))
                out->exif = std::move(exif);
        }
        // XMP and IPTC travel as JPEG segments; TIFF has tags for them, WebP
        // a chunk for XMP, PNG would need other chunks.
        if (o.keepCamera && o.type != kTypePng) {
            for (const DibSegment& seg : in.segments) {
                size_t n = 0;
                if (const uint8_t* xmp = seg.marker == 0xE1 ? Exif_XmpFromApp1(seg.data.data(), seg.data.size(), &n)
                                                            : nullptr) {
                    std::vector<uint8_t> packet = Exif_XmpForOutput(xmp, n, facts);
                    out->segments.push_back(DibSegment{seg.marker, Exif_XmpApp1(packet.data(), packet.size())});
                    continue;
                }
                if (seg.marker != 0xED) {
                    out->segments.push_back(seg);
                    continue;
                }
                const uint8_t* iptc = Exif_IptcFromApp13(seg.data.data(), seg.data.size(), &n);
                if (iptc) out->segments.push_back(DibSegment{seg.marker, Exif_IptcApp13(iptc, n)});
            }
        }
        const bool ownColours = !o.srgb && !in.iccApplied;
        if (ownColours && (IccSpaceIs(in.icc, "RGB ") || IccSpaceIs(in.icc, "GRAY")) &&
            Color_ProfileUsable(in.icc.data(), in.icc.size()))
            out->icc = in.icc;
    } catch (const std::bad_alloc&) {
        *out = DibMetadata{};
    }
    if (out->exif.empty() && out->segments.empty() && out->icc.empty()) return false;
    // TIFF states the orientation in its main IFD rather than in the block;
    // it goes along with the camera's data only.
    if (o.keepCamera) out->orientation = o.orientation;
    return true;
}

bool Photo_OutputMeta(const DibMetadata& in, int outputType, int orientation, uint32_t width, uint32_t height,
                      DibMetadata* out) {
    return Photo_OutputMeta(in, PhotoOutput{outputType, orientation, width, height, false, true}, out);
}
