// Fuzz target of the camera-data parsing: the input is taken as an EXIF
// block (a TIFF structure) and, behind a one-byte switch, as a colour
// profile. Both come straight from files users download, so every offset,
// count and loop must be survived; a prepared output block must itself parse
// and must say what it was told; fields taken out of it must rebuild into
// a block that gives them back, and a TIFF written with it must read.
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmimgkit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void FuzzExif(const uint8_t* data, size_t size) {
    int o = Exif_OrientationFromBytes(data, size);
    Check(o >= 1 && o <= 8);
    ExifSummary s = Exif_Inspect(data, size);
    std::vector<uint8_t> out;
    if (Exif_PrepareForOutput(data, size, 1, 97, 65, &out)) {
        ExifSummary t = Exif_Inspect(out.data(), out.size());
        Check(t.valid);
        Check(!t.hasThumbnail);
        // A block that carried the tag says upright; one without stays without.
        if (s.valid && s.orientation != 0) Check(t.orientation == 1);
    }
    // As pixels converted to sRGB and turned: the block says so.
    if (Exif_PrepareForOutput(data, size, ExifOutput{3, 97, 65, true}, &out)) {
        ExifSummary t = Exif_Inspect(out.data(), out.size());
        Check(t.valid && !t.hasIfd1);
        if (s.valid && s.orientation != 0) Check(t.orientation == 3);
    }
    // As an XMP packet: only the numbers change.
    std::vector<uint8_t> xmp = Exif_XmpForOutput(data, size, ExifOutput{3, 97, 65, true});
    Check(xmp.size() <= 2 * size + 16);
    ExifFields fields;
    if (Exif_CollectFields(data, size, &fields) && !fields.empty()) {
        std::vector<uint8_t> built = Exif_BuildBlock(fields);
        ExifFields again;
        Check(Exif_CollectFields(built.data(), built.size(), &again));
        Check(again.ifd0.size() == fields.ifd0.size() && again.exif.size() == fields.exif.size() &&
              again.gps.size() == fields.gps.size());
    }
    // Kept in a TIFF: the file reads back whatever the block held.
    if (FILE* f = std::tmpfile()) {
        DibHeader h{};
        h.biSize = sizeof h;
        h.biWidth = 3;
        h.biHeight = 2;
        h.biPlanes = 1;
        h.biBitCount = 24;
        uint8_t bits[2 * 12] = {};
        DibMetadata meta;
        meta.exif.assign(data, data + size);
        meta.orientation = 1;
        Check(DibIO_WriteMeta(0, f, kTypeTiff, nullptr, &meta, &h, bits) == 1);
        std::rewind(f);
        DibHeader* back = nullptr;
        uint8_t* backBits = nullptr;
        Check(DibIO_ReadMeta(0, f, kTypeTiff, nullptr, &meta, &back, &backBits) > 0);
        DibCore_Free(back, backBits);
        std::fclose(f);
    }
    // As an APP1 payload too: only "Exif\0\0" payloads give a block.
    size_t n = 0;
    const uint8_t* tiff = Exif_TiffFromApp1(data, size, &n);
    if (tiff) Check(tiff >= data && tiff + n <= data + size);
    const uint8_t* iptc = Exif_IptcFromApp13(data, size, &n);
    if (iptc) Check(iptc >= data && iptc + n <= data + size);
}

void FuzzProfile(const uint8_t* data, size_t size) {
    if (!Color_ProfileUsable(data, size)) return;
    // A small 24-bit image and a grey-table image through the profile.
    DibHeader h{};
    h.biSize = sizeof h;
    h.biWidth = 4;
    h.biHeight = 2;
    h.biPlanes = 1;
    h.biBitCount = 24;
    uint8_t bits[2 * 12];
    for (size_t i = 0; i < sizeof bits; ++i) bits[i] = uint8_t(i * 21);
    Color_DibToSrgb(data, size, &h, bits);
    ColorCmykTransform* t = Color_OpenCmykToSrgb(data, size, (size & 1) != 0);
    if (t) {
        uint8_t cmyk[8] = {0, 64, 128, 255, 255, 128, 64, 0};
        uint8_t bgr[6];
        Color_CmykToBgr(t, cmyk, bgr, 2);
        Color_Close(t);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1)
        FuzzProfile(data + 1, size - 1);
    else
        FuzzExif(data + 1, size - 1);
    return 0;
}
