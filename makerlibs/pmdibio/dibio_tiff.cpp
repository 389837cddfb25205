// TIFF through libtiff: the first image of the file. libtiff's RGBA reader
// covers every photometric, depth, compression and tiling it supports; it
// is run in bands of whole strips or tiles so that a big image never needs
// a second full-size raster. Palette and grey images come back as palette
// DIBs by mapping the RGBA values back onto their table.
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_reduce.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmheap.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <tiffio.h>

namespace pmio {
namespace {

// libtiff refuses any single allocation above this (strip buffers,
// directories, tag arrays of hostile files).
constexpr tmsize_t kTiffMaxAlloc = 256 * 1024 * 1024;
// A band of the RGBA raster stays below this many bytes.
constexpr uint64_t kBandBytes = 64ull * 1024 * 1024;
constexpr uint64_t kStreamBandBytes = 8ull * 1024 * 1024;

int Quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

tmsize_t InRead(thandle_t h, void* buf, tmsize_t n) {
    return n > 0 ? tmsize_t(static_cast<InStream*>(h)->Read(buf, size_t(n))) : 0;
}
tmsize_t NoWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t InSeek(thandle_t h, toff_t off, int whence) {
    auto* in = static_cast<InStream*>(h);
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? in->Tell() : uint64_t(in->Size());
    if (whence == SEEK_END && in->Size() < 0) return toff_t(-1);
    uint64_t pos = base + off;
    return in->Seek(pos) ? toff_t(pos) : toff_t(-1);
}
int NoClose(thandle_t) { return 0; }
toff_t InSize(thandle_t h) {
    int64_t s = static_cast<InStream*>(h)->Size();
    return s < 0 ? 0 : toff_t(s);
}
int NoMap(thandle_t, void**, toff_t*) { return 0; }
void NoUnmap(thandle_t, void*, toff_t) {}

struct OutFile {
    PmFileHandle file;
    unsigned error;
};
tmsize_t OutRead(thandle_t h, void* buf, tmsize_t n) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Read(o->file, buf, size_t(n));
    if (r < 0) o->error = PmFile_LastError();
    return tmsize_t(r);
}
tmsize_t OutWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Write(o->file, buf, size_t(n));
    if (r < 0) o->error = PmFile_LastError();
    return tmsize_t(r);
}
toff_t OutSeek(thandle_t h, toff_t off, int whence) {
    auto* o = static_cast<OutFile*>(h);
    int64_t r = PmFile_Seek(o->file, int64_t(off), whence == SEEK_SET ? 0 : whence == SEEK_CUR ? 1 : 2);
    if (r < 0) o->error = PmFile_LastError();
    return toff_t(r);
}
toff_t OutSize(thandle_t h) {
    int64_t r = PmFile_Size(static_cast<OutFile*>(h)->file);
    return r < 0 ? 0 : toff_t(r);
}

TIFFOpenOptions* Options() {
    TIFFOpenOptions* o = TIFFOpenOptionsAlloc();
    if (!o) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(o, kTiffMaxAlloc);
    TIFFOpenOptionsSetErrorHandlerExtR(o, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(o, Quiet, nullptr);
    return o;
}

struct Closer {
    TIFF* tif = nullptr;
    TIFFOpenOptions* opts = nullptr;
    TIFFRGBAImage* img = nullptr;
    uint32_t* raster = nullptr;
    ~Closer() {
        if (img) TIFFRGBAImageEnd(img);
        PmHeap_Free(raster);
        if (tif) TIFFClose(tif);
        if (opts) TIFFOpenOptionsFree(opts);
    }
};

// The file itself as the source of its camera data (its IFD0 and the Exif
// and GPS IFDs it links), read apart from libtiff: libtiff hands rationals
// out as floats and knows only the tags it has tables for.
class StreamSource : public ExifSource {
public:
    explicit StreamSource(InStream& in) : in_(in) {}
    uint64_t Size() override {
        int64_t s = in_.Size();
        return s < 0 ? 0 : uint64_t(s);
    }
    bool Read(uint64_t offset, void* out, size_t n) override { return in_.Seek(offset) && in_.ReadExact(out, n); }

private:
    InStream& in_;
};

// The largest XMP packet or IPTC record taken from a TIFF file.
constexpr uint32_t kMaxPacketBytes = 16u << 20;

// Where an IPTC record's data sets end: a record stored as whole LONGs is
// padded with zeros that belong to no data set. The whole length when
// anything but padding follows.
size_t IptcEnd(const std::vector<uint8_t>& r) {
    size_t at = 0;
    while (at + 5 <= r.size() && r[at] == 0x1C) {
        size_t length = size_t(r[at + 3]) << 8 | r[at + 4];
        if (length & 0x8000) return r.size();  // extended lengths: taken whole
        if (length > r.size() - at - 5) return r.size();
        at += 5 + length;
    }
    for (size_t i = at; i < r.size(); ++i)
        if (r[i] != 0) return r.size();
    return at;
}

// Fills the camera data of `meta` the way a JPEG carries it: one EXIF block,
// XMP and IPTC as their APP segments. Out of memory loses only these.
void CollectMeta(InStream& in, TIFF* tif, DibMetadata* meta) noexcept {
    try {
        StreamSource source(in);
        ExifFields fields;
        // Every TIFF has an orientation and most a resolution and the name
        // of the program that wrote it; only the camera's own data makes a
        // block worth passing on.
        if (Exif_CollectFields(source, &fields) &&
            (!fields.exif.empty() || !fields.gps.empty() ||
             std::any_of(fields.ifd0.begin(), fields.ifd0.end(), [](const ExifField& f) {
                 return f.type == kExifTypeAscii && f.tag != TIFFTAG_SOFTWARE;
             })))
            meta->exif = Exif_BuildBlock(fields);
        uint32_t n = 0;
        void* data = nullptr;
        if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &n, &data) && data && n > 0 && n <= kMaxPacketBytes)
            meta->segments.push_back(DibSegment{0xE1, Exif_XmpApp1(static_cast<const uint8_t*>(data), n)});
        n = 0;
        data = nullptr;
        if (TIFFGetField(tif, TIFFTAG_RICHTIFFIPTC, &n, &data) && data && n > 0 && n <= kMaxPacketBytes) {
            std::vector<uint8_t> record(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
            // libtiff reads a record stored as LONGs as numbers, so in a
            // file of the other byte order each group of four comes back
            // reversed; a record starts with its 0x1C marker.
            if (TIFFIsByteSwapped(tif) && n % 4 == 0 && record[0] != 0x1C && record[3] == 0x1C)
                for (size_t i = 0; i < n; i += 4) std::reverse(record.begin() + long(i), record.begin() + long(i + 4));
            record.resize(IptcEnd(record));
            if (!record.empty()) meta->segments.push_back(DibSegment{0xED, Exif_IptcApp13(record.data(), record.size())});
        }
    } catch (const std::bad_alloc&) {
        meta->exif.clear();
        meta->segments.clear();
    }
}

// IFD0 strings of the camera block that TIFF keeps in its own main IFD.
constexpr uint16_t kMainIfdText[] = {
    TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
    TIFFTAG_COPYRIGHT,
};

// What the writer stores of `meta` in the main IFD, and the camera's Exif
// and GPS IFDs, which are appended after libtiff has finished the file: they
// are laid out here from checked fields, byte for byte and with every tag,
// where libtiff would round rationals through floats and drop tags it has no
// table for. libtiff writes their links as placeholders.
struct TiffMeta {
    ExifFields fields;
    bool linked = false;
    bool iptc = false;          // the IPTC tag was set, padded to whole LONGs
    std::vector<uint8_t> iptcPadded;
};

// The camera's resolution, for pixels that bring none of their own.
void SetCameraResolution(TIFF* tif, const ExifFields& fields) {
    auto rational = [&](uint16_t tag, float* v) {
        for (const ExifField& f : fields.ifd0) {
            if (f.tag != tag || f.type != TIFF_RATIONAL || f.count != 1 || f.value.size() != 8) continue;
            const uint32_t num = uint32_t(f.value[0] | f.value[1] << 8 | f.value[2] << 16) | uint32_t(f.value[3]) << 24;
            const uint32_t den = uint32_t(f.value[4] | f.value[5] << 8 | f.value[6] << 16) | uint32_t(f.value[7]) << 24;
            if (num == 0 || den == 0) return false;
            *v = float(double(num) / den);
            return true;
        }
        return false;
    };
    float x = 0, y = 0;
    if (!rational(TIFFTAG_XRESOLUTION, &x) || !rational(TIFFTAG_YRESOLUTION, &y)) return;
    uint16_t unit = RESUNIT_INCH;  // the EXIF default
    for (const ExifField& f : fields.ifd0)
        if (f.tag == TIFFTAG_RESOLUTIONUNIT && f.type == TIFF_SHORT && f.count == 1 && f.value.size() == 2)
            unit = uint16_t(f.value[0] | f.value[1] << 8);
    if (unit < RESUNIT_NONE || unit > RESUNIT_CENTIMETER) return;
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, unit);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, x);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, y);
}

void SetMainIfdMeta(TIFF* tif, const DibMetadata& meta, bool hasResolution, TiffMeta* out) {
    if (!meta.exif.empty() && Exif_CollectFields(meta.exif.data(), meta.exif.size(), &out->fields)) {
        if (!hasResolution) SetCameraResolution(tif, out->fields);
        for (const ExifField& f : out->fields.ifd0) {
            if (f.type != kExifTypeAscii ||
                std::find(std::begin(kMainIfdText), std::end(kMainIfdText), f.tag) == std::end(kMainIfdText))
                continue;
            std::string text(f.value.begin(), std::find(f.value.begin(), f.value.end(), uint8_t(0)));
            if (!text.empty()) TIFFSetField(tif, f.tag, text.c_str());
        }
        // EXIF allows SHORT or LONG for the pixel sizes, libtiff's reader
        // only LONG (it drops a SHORT with a warning).
        for (ExifField& f : out->fields.exif) {
            if ((f.tag == EXIFTAG_PIXELXDIMENSION || f.tag == EXIFTAG_PIXELYDIMENSION) && f.type == TIFF_SHORT &&
                f.count == 1) {
                f.type = TIFF_LONG;
                f.value.resize(4, 0);  // little-endian: the high half is zero
            }
        }
        if (!out->fields.exif.empty()) TIFFSetField(tif, TIFFTAG_EXIFIFD, uint64_t(0));
        if (!out->fields.gps.empty()) TIFFSetField(tif, TIFFTAG_GPSIFD, uint64_t(0));
        out->linked = !out->fields.exif.empty() || !out->fields.gps.empty();
    }
    bool xmp = false, iptc = false;
    for (const DibSegment& s : meta.segments) {
        size_t n = 0;
        const uint8_t* p = nullptr;
        if (!xmp && s.marker == 0xE1 && (p = Exif_XmpFromApp1(s.data.data(), s.data.size(), &n)) && n <= kMaxPacketBytes) {
            TIFFSetField(tif, TIFFTAG_XMLPACKET, uint32_t(n), p);
            xmp = true;
        } else if (!iptc && s.marker == 0xED && (p = Exif_IptcFromApp13(s.data.data(), s.data.size(), &n)) &&
                   n <= kMaxPacketBytes) {
            // Readers take the record as whole LONGs (as Photoshop writes
            // it); zeros after its last data set are no data set.
            out->iptcPadded.assign(p, p + n);
            out->iptcPadded.resize((n + 3) & ~size_t(3), 0);
            TIFFSetField(tif, TIFFTAG_RICHTIFFIPTC, uint32_t(out->iptcPadded.size()), out->iptcPadded.data());
            iptc = out->iptc = true;
        }
    }
}

bool ReadAt(PmFileHandle f, int64_t at, void* buf, size_t n) {
    return PmFile_Seek(f, at, 0) == at && PmFile_Read(f, buf, n) == int64_t(n);
}
bool WriteAt(PmFileHandle f, int64_t at, const void* buf, size_t n) {
    return PmFile_Seek(f, at, 0) == at && PmFile_Write(f, buf, n) == int64_t(n);
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// The entries of the first IFD of a file we just wrote, for patching in
// place. libtiff writes classic TIFF in the machine's order, little-endian
// on every machine this runs on; for any other file `*table` stays empty
// and nothing is patched. False: the file could not be read.
bool ReadFirstIfd(PmFileHandle file, uint32_t* ifd0, std::vector<uint8_t>* table) {
    table->clear();
    uint8_t head[8];
    if (!ReadAt(file, 0, head, sizeof head)) return false;
    if (head[0] != 'I' || Le16(head + 2) != 42) return true;
    *ifd0 = Le32(head + 4);
    uint8_t c[2];
    if (!ReadAt(file, *ifd0, c, 2)) return false;
    table->resize(size_t(Le16(c)) * 12);
    return ReadAt(file, int64_t(*ifd0) + 2, table->data(), table->size());
}

// Appends the Exif and GPS IFDs to the finished file and points the main
// IFD's placeholder links at them. A link that is not found stays 0, which
// readers take for no IFD.
bool AppendSubIfds(PmFileHandle file, const ExifFields& fields) {
    uint32_t ifd0 = 0;
    std::vector<uint8_t> table;
    if (!ReadFirstIfd(file, &ifd0, &table)) return false;
    if (table.empty()) return true;
    auto u16 = Le16;
    auto u32 = Le32;

    int64_t end = PmFile_Seek(file, 0, 2);
    if (end < 0) return false;
    if (end & 1) {
        const uint8_t pad = 0;
        if (PmFile_Write(file, &pad, 1) != 1) return false;
        ++end;
    }
    std::vector<uint8_t> ifds;
    uint32_t exifAt = 0, gpsAt = 0;
    if (!Exif_BuildSubIfds(fields, uint64_t(end), &ifds, &exifAt, &gpsAt)) return true;
    if (PmFile_Write(file, ifds.data(), ifds.size()) != int64_t(ifds.size())) return false;
    for (size_t at = 0; at < table.size(); at += 12) {
        uint16_t tag = u16(&table[at]), type = u16(&table[at + 2]);
        uint32_t target = tag == TIFFTAG_EXIFIFD ? exifAt : tag == TIFFTAG_GPSIFD ? gpsAt : 0;
        if (!target || (type != TIFF_LONG && type != TIFF_IFD) || u32(&table[at + 4]) != 1) continue;
        uint8_t v[4];
        for (int i = 0; i < 4; ++i) v[i] = uint8_t(target >> (8 * i));
        if (!WriteAt(file, int64_t(ifd0) + 2 + int64_t(at) + 8, v, 4)) return false;
    }
    return true;
}

// A CMYK file with a CMYK profile: the RGBA reader would turn the inks into
// RGB by the naive formula, so the stored rows meet the profile instead.
// 0 when the file is not of the kind this takes (the RGBA reader does), -1
// when it is and fails, else the source depth. Strips of 8-bit contiguous
// CMYK only; tiled files take the naive way.
int ReadCmykThroughProfile(TIFF* tif, uint32_t w, uint32_t h, DibMetadata* meta, DibHolder* out) {
    uint16_t spp = 1, bps = 1, planar = PLANARCONFIG_CONTIG, inkset = INKSET_CMYK;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
    if (spp != 4 || bps != 8 || planar != PLANARCONFIG_CONTIG || inkset != INKSET_CMYK || TIFFIsTiled(tif)) return 0;
    // TIFF stores ink amounts as they are (0 = no ink).
    ColorCmykTransform* t = Color_OpenCmykToSrgb(meta->icc.data(), meta->icc.size(), false);
    if (!t) return 0;
    const tmsize_t lineBytes = TIFFScanlineSize(tif);
    auto* line = lineBytes >= tmsize_t(w) * 4 ? static_cast<uint8_t*>(PmHeap_Alloc(size_t(lineBytes))) : nullptr;
    bool ok = line && NewDib(w, h, 24, out);
    for (uint32_t y = 0; ok && y < h; ++y) {
        ok = TIFFReadScanline(tif, line, y, 0) == 1;
        if (ok) Color_CmykToBgr(t, line, TopRow(out->header, out->bits, y), w);
    }
    PmHeap_Free(line);
    Color_Close(t);
    if (!ok) return -1;
    meta->iccApplied = true;
    return 32;
}

// libtiff writes the IPTC record as UNDEFINED bytes; the main IFD's entry
// is made LONG (same bytes, a quarter of the count) once the file is done.
bool MarkIptcLong(PmFileHandle file) {
    uint32_t ifd0 = 0;
    std::vector<uint8_t> table;
    if (!ReadFirstIfd(file, &ifd0, &table)) return false;
    auto u16 = Le16;
    auto u32 = Le32;
    for (size_t at = 0; at < table.size(); at += 12) {
        const uint32_t count = u32(&table[at + 4]);
        if (u16(&table[at]) != TIFFTAG_RICHTIFFIPTC || u16(&table[at + 2]) != TIFF_UNDEFINED || count % 4) continue;
        const uint8_t entry[6] = {uint8_t(TIFF_LONG), 0, uint8_t(count / 4), uint8_t(count / 4 >> 8),
                                  uint8_t(count / 4 >> 16), uint8_t(count / 4 >> 24)};
        return WriteAt(file, int64_t(ifd0) + 2 + int64_t(at) + 2, entry, sizeof entry);
    }
    return true;
}

// The layouts most scanners and editors write: strips or tiles of 8- or
// 16-bit unsigned samples, interleaved, RGB (with or without alpha), grey or
// an 8-bit palette. Strips are decoded a row at a time, tiles a row of tiles
// at a time, without libtiff's RGBA reader, which would hold a band of whole
// strips and pack each pixel twice (and decode a tile again for each band
// that cuts through it). The colours are those the RGBA reader gives.
class DirectRows {
public:
    // False: a layout for the RGBA reader.
    bool Accepts(TIFF* tif, bool asStored) {
        uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT, orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps_);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp_);
        TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
        if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric_)) return false;
        if (planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT || (bps_ != 8 && bps_ != 16) ||
            (!asStored && orientation != ORIENTATION_TOPLEFT))
            return false;
        if (TIFFIsTiled(tif)) {
            uint32_t w = 0;
            if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileW_) ||
                !TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileH_) || tileW_ == 0 || tileH_ == 0 ||
                uint64_t(TIFFTileSize64(tif)) != uint64_t(tileW_) * tileH_ * spp_ * (bps_ / 8))
                return false;
            // A row of tiles is held converted, plus one tile as stored.
            const uint64_t across = (uint64_t(w) + tileW_ - 1) / tileW_;
            if (across * tileW_ * tileH_ * 4 + uint64_t(TIFFTileSize64(tif)) > kBandBytes) return false;
        }
        uint16_t extra = 0;
        uint16_t* kinds = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra, &kinds);
        switch (photometric_) {
        case PHOTOMETRIC_RGB:
            if (spp_ == 3 && extra == 0) return true;
            // libtiff takes an unnamed fourth sample for premultiplied alpha.
            if (spp_ == 4 && extra == 1 && kinds) {
                premultiplied_ = kinds[0] != EXTRASAMPLE_UNASSALPHA;
                return true;
            }
            return false;
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE: return spp_ == 1;
        case PHOTOMETRIC_PALETTE: {
            uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
            if (spp_ != 1 || bps_ != 8 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return false;
            bool eight = true;
            for (int i = 0; i < 256; ++i)
                if (r[i] >= 256 || g[i] >= 256 || b[i] >= 256) eight = false;
            for (int i = 0; i < 256; ++i)
                map_[i] = RgbQuad{uint8_t(eight ? b[i] : b[i] >> 8), uint8_t(eight ? g[i] : g[i] >> 8),
                                  uint8_t(eight ? r[i] : r[i] >> 8), 0};
            return true;
        }
        default: return false;
        }
    }
    int channels() const { return photometric_ == PHOTOMETRIC_RGB && spp_ == 4 ? 4 : 3; }

    bool Read(TIFF* tif, uint32_t w, uint32_t h, StreamReducer* reducer) {
        if (TIFFIsTiled(tif)) return ReadTiles(tif, w, h, reducer);
        const uint64_t bytes = uint64_t(TIFFScanlineSize64(tif));
        if (bytes != uint64_t(w) * spp_ * (bps_ / 8)) return false;
        std::vector<uint8_t> raw, line;
        try {
            raw.resize(size_t(bytes));
            line.resize(size_t(w) * channels());
        } catch (const std::bad_alloc&) {
            NoteTooLarge();
            return false;
        }
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tif, raw.data(), y, 0) < 0) return false;
            Convert(raw.data(), w, line.data());
            reducer->Row(y, line.data());
        }
        return true;
    }

private:
    bool ReadTiles(TIFF* tif, uint32_t w, uint32_t h, StreamReducer* reducer) {
        const size_t pixelBytes = size_t(spp_) * (bps_ / 8), ch = size_t(channels());
        const size_t tileBytes = size_t(tileW_) * tileH_ * pixelBytes;
        std::vector<uint8_t> tile, band;
        try {
            tile.resize(tileBytes);
            band.resize(size_t(w) * tileH_ * ch);
        } catch (const std::bad_alloc&) {
            NoteTooLarge();
            return false;
        }
        for (uint32_t y0 = 0; y0 < h; y0 += tileH_) {
            const uint32_t rows = std::min(tileH_, h - y0);
            for (uint32_t x0 = 0; x0 < w; x0 += tileW_) {
                // A tile that fails to decode keeps what was decoded of it
                // and zeros, and the picture goes on, as in the RGBA reader.
                std::memset(tile.data(), 0, tile.size());
                TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, 0), tile.data(), tmsize_t(tileBytes));
                const uint32_t cols = std::min(tileW_, w - x0);
                for (uint32_t r = 0; r < rows; ++r)
                    Convert(tile.data() + size_t(r) * tileW_ * pixelBytes, cols, band.data() + (size_t(r) * w + x0) * ch);
            }
            for (uint32_t r = 0; r < rows; ++r) reducer->Row(y0 + r, band.data() + size_t(r) * w * ch);
        }
        return true;
    }

    // Samples as 8 bits, rounded as the RGBA reader rounds 16-bit ones.
    uint8_t Sample(const uint8_t* p, size_t i) const {
        if (bps_ == 8) return p[i];
        uint16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        return uint8_t((unsigned(v) + 128) / 257);
    }
    void Convert(const uint8_t* p, uint32_t w, uint8_t* d) const {
        switch (photometric_) {
        case PHOTOMETRIC_RGB:
            if (spp_ == 3 && bps_ == 8) {
                // The common case, a plain swap the compiler keeps tight.
                for (uint32_t x = 0; x < w; ++x, d += 3, p += 3) {
                    d[0] = p[2];
                    d[1] = p[1];
                    d[2] = p[0];
                }
            } else if (spp_ == 3) {
                for (uint32_t x = 0; x < w; ++x, d += 3) {
                    d[0] = Sample(p, 3 * size_t(x) + 2);
                    d[1] = Sample(p, 3 * size_t(x) + 1);
                    d[2] = Sample(p, 3 * size_t(x));
                }
            } else {
                for (uint32_t x = 0; x < w; ++x, d += 4) {
                    const unsigned a = Sample(p, 4 * size_t(x) + 3);
                    for (int c = 0; c < 3; ++c) {
                        unsigned v = Sample(p, 4 * size_t(x) + 2 - c);
                        if (premultiplied_) v = a == 0 ? 0 : v >= a ? 255 : (v * 255 + a / 2) / a;
                        d[c] = uint8_t(v);
                    }
                    d[3] = uint8_t(a);
                }
            }
            break;
        case PHOTOMETRIC_PALETTE:
            for (uint32_t x = 0; x < w; ++x, d += 3) {
                const RgbQuad& q = map_[p[x]];
                d[0] = q.blue;
                d[1] = q.green;
                d[2] = q.red;
            }
            break;
        default: {
            const uint8_t flip = photometric_ == PHOTOMETRIC_MINISWHITE ? 255 : 0;
            for (uint32_t x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = uint8_t(Sample(p, x) ^ flip);
        }
        }
    }

    uint16_t bps_ = 1, spp_ = 1, photometric_ = 0;
    uint32_t tileW_ = 0, tileH_ = 0;
    bool premultiplied_ = false;
    RgbQuad map_[256] = {};
};

}  // namespace

int TiffRead(InStream& in, DibIOOptions*, DibHolder* out, DibMetadata* meta, DibReadRequest* request) {
    Closer c;
    c.opts = Options();
    if (!c.opts) return 0;
    c.tif = TIFFClientOpenExt("image", "rm", &in, InRead, NoWrite, InSeek, NoClose, InSize, NoMap, NoUnmap, c.opts);
    if (!c.tif) return 0;
    TIFF* tif = c.tif;
    uint32_t w = 0, h = 0;
    uint16_t bps = 1, spp = 1, photometric = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h)) return 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = spp == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    char msg[1024];
    if (!TIFFRGBAImageOK(tif, msg)) return 0;
    static_assert(sizeof(TIFFRGBAImage) < 4096);
    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 0, msg)) return 0;
    c.img = &img;
    img.req_orientation = ORIENTATION_TOPLEFT;
    if (meta) {
        // The caller turns the picture itself (all eight values, and only
        // when asked), so the rows are taken as stored.
        uint16_t orientation = 0;
        if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8) {
            meta->orientation = orientation;
            img.req_orientation = orientation;
        }
        uint32_t iccSize = 0;
        void* icc = nullptr;
        if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize > 0 && iccSize <= kMaxIccBytes) {
            try {
                meta->icc.assign(static_cast<const uint8_t*>(icc), static_cast<const uint8_t*>(icc) + iccSize);
            } catch (...) {
                meta->icc.clear();
            }
        }
        CollectMeta(in, tif, meta);
        if (meta->convertCmyk && photometric == PHOTOMETRIC_SEPARATED && !meta->icc.empty()) {
            const int r = ReadCmykThroughProfile(tif, w, h, meta, out);
            if (r != 0) return r > 0 ? r : 0;
        }
    }

    // The target is asked once the stored orientation is known.
    const unsigned factor = request ? StreamFactor(request, w, h) : 1;
    size_t bytes;
    if (factor == 1 && !DibImageBytes(w, h, 32, &bytes)) {
        NoteTooLarge();
        return 0;
    }
    StreamReducer reducer;
    if (factor > 1) {
        DirectRows direct;
        if (direct.Accepts(tif, meta != nullptr)) {
            if (!reducer.Begin(w, h, factor, direct.channels()) || !direct.Read(tif, w, h, &reducer) ||
                !reducer.Finish(request, out))
                return 0;
            return bps * spp;
        }
        if (!reducer.Begin(w, h, factor, img.alpha ? 4 : 3)) return 0;
    }

    const bool palette = spp == 1 && photometric == PHOTOMETRIC_PALETTE && bps <= 8;
    const bool grey = spp == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) &&
                      bps <= 16;
    int dibBits = img.alpha ? 32 : 24;
    int levels = 0;
    if (palette || grey) {
        int b = bps > 8 ? 8 : bps;
        dibBits = b == 1 ? 1 : b <= 4 ? 4 : 8;
        levels = 1 << b;
    }
    if (factor == 1 && !NewDib(w, h, dibBits, out)) return 0;
    std::unordered_map<uint32_t, int> reverse;
    if (palette) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return 0;
        // Old writers stored 8-bit maps; libtiff's RGBA reader detects them
        // the same way.
        bool eight = true;
        for (int i = 0; i < levels; ++i)
            if (r[i] >= 256 || g[i] >= 256 || b[i] >= 256) eight = false;
        RgbQuad* t = factor == 1 ? Table(out->header) : nullptr;
        for (int i = 0; i < levels; ++i) {
            uint8_t rr = uint8_t(eight ? r[i] : r[i] >> 8), gg = uint8_t(eight ? g[i] : g[i] >> 8),
                    bb = uint8_t(eight ? b[i] : b[i] >> 8);
            if (t) t[i] = RgbQuad{bb, gg, rr, 0};
            reverse.emplace(uint32_t(rr) | uint32_t(gg) << 8 | uint32_t(bb) << 16, i);
        }
    } else if (grey && factor == 1) {
        GreyRamp(out->header, levels);
    }

    uint32_t band = h;
    uint32_t unit = 0;
    if (TIFFIsTiled(tif))
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &unit);
    else
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &unit);
    if (unit > 0 && unit < band) band = unit;
    // A streamed read keeps its band small: the reduced image is all it
    // otherwise holds.
    const uint64_t bandBytes = factor > 1 ? kStreamBandBytes : kBandBytes;
    if (uint64_t(band) * w * 4 > bandBytes) band = uint32_t(bandBytes / (uint64_t(w) * 4)) ? uint32_t(bandBytes / (uint64_t(w) * 4)) : 1;
    else if (band < h) band = uint32_t((bandBytes / (uint64_t(w) * 4)) / band * band);
    if (band > h) band = h;
    if (band == 0) band = 1;
    c.raster = static_cast<uint32_t*>(PmHeap_Alloc(size_t(band) * w * 4));
    if (!c.raster) return 0;
    std::vector<uint8_t> line;
    if (factor > 1) {
        try {
            line.resize(size_t(w) * (img.alpha ? 4 : 3));
        } catch (const std::bad_alloc&) {
            NoteTooLarge();
            return 0;
        }
    }
    const int step = levels > 1 ? 255 / (levels - 1) : 1;
    for (uint32_t y0 = 0; y0 < h; y0 += band) {
        uint32_t n = h - y0 < band ? h - y0 : band;
        img.row_offset = int(y0);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, c.raster, w, n)) return 0;
        for (uint32_t r = 0; r < n && factor > 1; ++r) {
            const uint32_t* src = c.raster + size_t(r) * w;
            uint8_t* d = line.data();
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t p = src[x];
                if (img.alpha) {
                    unsigned a = TIFFGetA(p);
                    auto straight = [a](unsigned v) { return uint8_t(a == 0 ? 0 : v >= a ? 255 : (v * 255 + a / 2) / a); };
                    *d++ = straight(TIFFGetB(p));
                    *d++ = straight(TIFFGetG(p));
                    *d++ = straight(TIFFGetR(p));
                    *d++ = uint8_t(a);
                } else {
                    *d++ = uint8_t(TIFFGetB(p));
                    *d++ = uint8_t(TIFFGetG(p));
                    *d++ = uint8_t(TIFFGetR(p));
                }
            }
            reducer.Row(y0 + r, line.data());
        }
        for (uint32_t r = 0; r < n && factor == 1; ++r) {
            const uint32_t* src = c.raster + size_t(r) * w;
            uint8_t* dst = TopRow(out->header, out->bits, y0 + r);
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t p = src[x];
                if (palette) {
                    auto it = reverse.find(p & 0xFFFFFF);
                    SetIndex(dst, dibBits, x, it == reverse.end() ? 0 : it->second);
                } else if (grey) {
                    SetIndex(dst, dibBits, x, (int(TIFFGetR(p)) + step / 2) / step);
                } else if (dibBits == 32) {
                    // libtiff hands out premultiplied colour; a DIB keeps
                    // colour and alpha apart.
                    unsigned a = TIFFGetA(p);
                    auto straight = [a](unsigned v) { return uint8_t(a == 0 ? 0 : v >= a ? 255 : (v * 255 + a / 2) / a); };
                    dst[x * 4] = straight(TIFFGetB(p));
                    dst[x * 4 + 1] = straight(TIFFGetG(p));
                    dst[x * 4 + 2] = straight(TIFFGetR(p));
                    dst[x * 4 + 3] = uint8_t(a);
                } else {
                    dst[x * 3] = uint8_t(TIFFGetB(p));
                    dst[x * 3 + 1] = uint8_t(TIFFGetG(p));
                    dst[x * 3 + 2] = uint8_t(TIFFGetR(p));
                }
            }
        }
    }
    if (factor > 1 && !reducer.Finish(request, out)) return 0;
    return bps * spp;
}

int TiffWrite(PmFileHandle file, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta, unsigned* sysError) {
    OutFile of{file, 0};
    Closer c;
    c.opts = Options();
    if (!c.opts) return 0;
    c.tif = TIFFClientOpenExt("image", "w", &of, OutRead, OutWrite, OutSeek, NoClose, OutSize, NoMap, NoUnmap, c.opts);
    if (!c.tif) {
        *sysError = of.error;
        return 0;
    }
    TIFF* tif = c.tif;
    const uint32_t w = uint32_t(h->biWidth), rows = uint32_t(DibRows(h));
    const int bc = h->biBitCount;
    const bool indexed = bc <= 8;
    bool ramp = false;
    if (indexed && GreyTable(h) && TableCount(h) == (1 << bc)) {
        ramp = true;
        const RgbQuad* t = Table(h);
        for (int i = 0; i < (1 << bc); ++i)
            if (t[i].red != i * 255 / ((1 << bc) - 1)) ramp = false;
    }
    const int spp = indexed ? 1 : bc == 32 ? 4 : 3;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, indexed ? bc : 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    // The stored orientation goes along only with the camera's data (the
    // caller gives 1 once it turned the pixels upright).
    const bool stored = meta && meta->orientation >= 2 && meta->orientation <= 8;
    TIFFSetField(tif, TIFFTAG_ORIENTATION, stored ? uint16_t(meta->orientation) : uint16_t(ORIENTATION_TOPLEFT));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                 indexed ? (ramp ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE) : PHOTOMETRIC_RGB);
    if (spp == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    uint16_t map[3][256] = {};
    if (indexed && !ramp) {
        const RgbQuad* t = Table(h);
        int n = TableCount(h);
        for (int i = 0; i < n && i < 256; ++i) {
            map[0][i] = uint16_t(t[i].red * 257);
            map[1][i] = uint16_t(t[i].green * 257);
            map[2][i] = uint16_t(t[i].blue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
    }
    // Compression: 0 none, 1 LZW (the default), 2 Deflate, 3 PackBits.
    uint16_t comp = COMPRESSION_LZW;
    switch (opt.Raw[0]) {
    case 0: comp = COMPRESSION_NONE; break;
    case 2: comp = COMPRESSION_ADOBE_DEFLATE; break;
    case 3: comp = COMPRESSION_PACKBITS; break;
    default: break;
    }
    TIFFSetField(tif, TIFFTAG_COMPRESSION, comp);
    if ((comp == COMPRESSION_LZW || comp == COMPRESSION_ADOBE_DEFLATE) && !indexed)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0) {
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(h->biXPelsPerMeter) / 100.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(h->biYPelsPerMeter) / 100.0f);
    }
    if (meta && IccFitsChannels(meta->icc, indexed && ramp ? 1 : 3) && meta->icc.size() <= kMaxIccBytes)
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(meta->icc.size()), meta->icc.data());
    // Out of memory here only loses the metadata, never the image (a link
    // set before stays 0, which readers take for no IFD).
    TiffMeta kept;
    if (meta) {
        try {
            SetMainIfdMeta(tif, *meta, h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0, &kept);
        } catch (const std::bad_alloc&) {
            kept.linked = false;
        }
    }
    const size_t rowBytes = indexed ? (size_t(w) * bc + 7) / 8 : size_t(w) * spp;
    auto* row = static_cast<uint8_t*>(PmHeap_Alloc(rowBytes > size_t(w) * 3 ? rowBytes : size_t(w) * 3));
    if (!row) return 0;
    bool ok = true;
    for (uint32_t y = 0; y < rows && ok; ++y) {
        const uint8_t* src = TopRow(h, bits, y);
        if (indexed) {
            std::memcpy(row, src, rowBytes);
        } else if (bc == 32) {
            for (uint32_t x = 0; x < w; ++x) {
                row[x * 4] = src[x * 4 + 2];
                row[x * 4 + 1] = src[x * 4 + 1];
                row[x * 4 + 2] = src[x * 4];
                row[x * 4 + 3] = src[x * 4 + 3];
            }
        } else {
            RowToBgr(h, src, row);
            for (uint32_t x = 0; x < w; ++x) std::swap(row[x * 3], row[x * 3 + 2]);
        }
        ok = TIFFWriteScanline(tif, row, y, 0) == 1;
    }
    PmHeap_Free(row);
    // Closing writes the directory; its failure is the write's failure.
    ok = TIFFWriteDirectory(tif) == 1 && ok;
    TIFFClose(tif);
    c.tif = nullptr;
    if (ok && !of.error && kept.iptc) {
        ok = MarkIptcLong(file);
        if (!ok) of.error = PmFile_LastError();
    }
    if (ok && !of.error && kept.linked) {
        try {
            ok = AppendSubIfds(file, kept.fields);
            if (!ok) of.error = PmFile_LastError();
        } catch (const std::bad_alloc&) {
            ok = false;
            of.error = PmFile_NoMemoryError();
        }
    }
    if (!ok || of.error) {
        *sysError = of.error;
        return 0;
    }
    return 1;
}

}  // namespace pmio
