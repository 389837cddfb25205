// What the readers find beside the pixels and what the writers store.
#include "common/testsupport.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmfile.h"
#include "makerlibs/pmimgkit.h"
#include "photo/exif_builder.h"
#include "photo/icc_fixture.h"
#include "photo/photo_files.h"
#include "pixels/dibtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using dibtest::Dib;

namespace {

void Picture(Dib* d, int w = 6, int h = 4) {
    ASSERT_TRUE(dibtest::Make(d, w, h, 24));
    dibtest::Fill(d, [](int x, int y) { return uint32_t(x * 40) << 16 | uint32_t(y * 60) << 8 | 0x30; });
}

int ReadMeta(const std::string& path, int type, Dib* out, DibMetadata* meta) {
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return -1000;
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    int r = DibIO_ReadMeta(0, f, type, &info, meta, &out->h, &out->b);
    PmFile_Close(f);
    return r;
}

int WriteMeta(const std::string& path, int type, const DibMetadata* meta, const Dib& d) {
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    if (!f) return -1000;
    DibIOOptions options;
    DibIO_GetDefaultOptions(type, &options);
    int r = DibIO_WriteMeta(0, f, type, &options, meta, d.h, d.b);
    PmFile_Close(f);
    return r;
}

TEST(ReadMeta, JpegGivesExifProfileXmpAndIptc) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    exiftest::Builder b(true);
    std::vector<uint8_t> exif = b.Camera(6, 6, 4);
    // A profile larger than one APP2 segment arrives joined, in order.
    std::vector<uint8_t> icc(150000);
    for (size_t i = 0; i < icc.size(); ++i) icc[i] = uint8_t(i * 7 + i / 251);
    std::vector<phototest::Segment> segs{phototest::Xmp(), phototest::Iptc()};
    std::string path = dir / "camera.jpg";
    ASSERT_TRUE(phototest::WriteJpeg(path, d.h, d.b, exif, icc, segs));

    Dib r;
    DibMetadata meta;
    ASSERT_EQ(ReadMeta(path, kTypeJpeg, &r, &meta), 24);
    EXPECT_EQ(meta.orientation, 6);
    EXPECT_EQ(meta.exif, exif);
    EXPECT_EQ(meta.icc, icc);
    EXPECT_FALSE(meta.iccApplied);
    ASSERT_EQ(meta.segments.size(), 2u);
    EXPECT_EQ(meta.segments[0].marker, 0xE1);
    EXPECT_EQ(meta.segments[0].data, segs[0].data);
    EXPECT_EQ(meta.segments[1].marker, 0xED);
    EXPECT_EQ(meta.segments[1].data, segs[1].data);
    // The pixels are those the plain reader gives: nothing is turned here.
    EXPECT_EQ(r.width(), 6);
    EXPECT_EQ(r.height(), 4);
}

TEST(ReadMeta, BrokenExifReadsUprightAndTheImageStillReads) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    exiftest::Builder b(false);
    std::vector<uint8_t> exif = b.Camera(6, 6, 4);
    // IFD0 pointing far beyond the segment.
    exif[4] = 0xF0;
    exif[7] = 0x7F;
    std::string path = dir / "broken.jpg";
    ASSERT_TRUE(phototest::WriteJpeg(path, d.h, d.b, exif, {}, {}));
    Dib r;
    DibMetadata meta;
    ASSERT_EQ(ReadMeta(path, kTypeJpeg, &r, &meta), 24);
    EXPECT_EQ(meta.orientation, 1);
    EXPECT_EQ(r.width(), 6);
}

TEST(WriteMeta, JpegKeepsExifAndSegmentsByteForByte) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    DibMetadata meta;
    exiftest::Builder b(false);
    meta.exif = b.Camera(1, 6, 4, 0);
    meta.segments = {DibSegment{0xE1, phototest::Xmp().data}, DibSegment{0xED, phototest::Iptc().data}};
    std::string path = dir / "out.jpg";
    ASSERT_EQ(WriteMeta(path, kTypeJpeg, &meta, d), 1);
    Dib r;
    DibMetadata back;
    ASSERT_GT(ReadMeta(path, kTypeJpeg, &r, &back), 0);
    EXPECT_EQ(back.exif, meta.exif);
    ASSERT_EQ(back.segments.size(), 2u);
    EXPECT_EQ(back.segments[0].data, meta.segments[0].data);
    EXPECT_EQ(back.segments[1].data, meta.segments[1].data);

    // Without metadata nothing of the kind is written.
    ASSERT_EQ(WriteMeta(path, kTypeJpeg, nullptr, d), 1);
    ASSERT_GT(ReadMeta(path, kTypeJpeg, &r, &back), 0);
    EXPECT_TRUE(back.exif.empty());
    EXPECT_TRUE(back.segments.empty());
}

TEST(WriteMeta, SegmentsTooLargeForJpegAreLeftOutNotTruncated) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    DibMetadata meta;
    meta.exif.assign(70000, 0);
    meta.exif[0] = 'I';
    meta.segments = {DibSegment{0xE1, std::vector<uint8_t>(65534, 'x')}, DibSegment{0xED, phototest::Iptc().data}};
    std::string path = dir / "big.jpg";
    ASSERT_EQ(WriteMeta(path, kTypeJpeg, &meta, d), 1);
    Dib r;
    DibMetadata back;
    ASSERT_GT(ReadMeta(path, kTypeJpeg, &r, &back), 0);
    EXPECT_TRUE(back.exif.empty());
    ASSERT_EQ(back.segments.size(), 1u);
    EXPECT_EQ(back.segments[0].marker, 0xED);
}

TEST(ReadMeta, PngGivesExifAndProfileAndKeepsExifOnWrite) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    exiftest::Builder b(true);
    std::vector<uint8_t> exif = b.Camera(8, 6, 4);
    std::vector<uint8_t> icc = icctest::AdobeRgb();
    std::string path = dir / "camera.png";
    ASSERT_TRUE(phototest::WritePng(path, d.h, d.b, exif, icc));
    Dib r;
    DibMetadata meta;
    ASSERT_GT(ReadMeta(path, kTypePng, &r, &meta), 0);
    EXPECT_EQ(meta.orientation, 8);
    EXPECT_EQ(meta.exif, exif);
    EXPECT_EQ(meta.icc, icc);

    // Written after the image data, the block is read all the same.
    std::string last = dir / "last.png";
    ASSERT_TRUE(phototest::WritePng(last, d.h, d.b, exif, {}, true));
    {
        Dib l;
        DibMetadata lastMeta;
        ASSERT_GT(ReadMeta(last, kTypePng, &l, &lastMeta), 0);
        EXPECT_EQ(lastMeta.orientation, 8);
        EXPECT_EQ(lastMeta.exif, exif);
        std::vector<uint8_t> file;
        ASSERT_TRUE(pmtest::ReadWholeFile(last, &file));
        const uint8_t idat[] = {'I', 'D', 'A', 'T'}, exifTag[] = {'e', 'X', 'I', 'f'};
        ASSERT_LT(std::search(file.begin(), file.end(), idat, idat + 4) - file.begin(),
                  std::search(file.begin(), file.end(), exifTag, exifTag + 4) - file.begin())
            << "the fixture must put eXIf last";
    }

    std::string out = dir / "out.png";
    ASSERT_EQ(WriteMeta(out, kTypePng, &meta, r), 1);
    DibMetadata back;
    Dib r2;
    ASSERT_GT(ReadMeta(out, kTypePng, &r2, &back), 0);
    EXPECT_EQ(back.exif, exif);
    EXPECT_EQ(back.icc, icc);
}

TEST(WriteMeta, ProfilesGoWhereTheyDescribeTheChannels) {
    pmtest::TempDir dir;
    Dib colour, grey;
    Picture(&colour);
    ASSERT_TRUE(dibtest::Make(&grey, 6, 4, 8));
    for (int i = 0; i < 256; ++i) dibtest::SetEntry(&grey, i, uint32_t(i) * 0x010101);
    const std::vector<uint8_t> rgb = icctest::AdobeRgb(), gray = icctest::LinearGrey();
    struct Case {
        int type;
        const Dib* pixels;
        const std::vector<uint8_t>* icc;
        bool kept;
    };
    const Case cases[] = {
        {kTypeJpeg, &colour, &rgb, true},  {kTypeJpeg, &colour, &gray, false}, {kTypeJpeg, &grey, &gray, true},
        {kTypeJpeg, &grey, &rgb, false},   {kTypePng, &colour, &rgb, true},    {kTypePng, &grey, &gray, false},
        {kTypePng, &grey, &rgb, true},  // a PNG of a grey table is a palette: RGB
        {kTypeTiff, &colour, &rgb, true},  {kTypeTiff, &colour, &gray, false}, {kTypeTiff, &grey, &gray, true},
        {kTypeTiff, &grey, &rgb, false},
    };
    for (const Case& c : cases) {
        std::string what = "type " + std::to_string(c.type) + (c.pixels == &grey ? " grey" : " colour") +
                           (c.icc == &rgb ? " RGB profile" : " grey profile");
        DibMetadata meta;
        meta.icc = *c.icc;
        std::string path = dir / "p";
        ASSERT_EQ(WriteMeta(path, c.type, &meta, *c.pixels), 1) << what;
        Dib r;
        DibMetadata back;
        ASSERT_GT(ReadMeta(path, c.type, &r, &back), 0) << what;
        EXPECT_EQ(back.icc, c.kept ? *c.icc : std::vector<uint8_t>{}) << what;
    }
    // A profile PNG's own checks refuse (its header claims more bytes than
    // it has) is left out; the picture is written all the same.
    DibMetadata bad;
    bad.icc = rgb;
    bad.icc[3] = uint8_t(bad.icc[3] + 4);
    ASSERT_EQ(WriteMeta(dir / "bad.png", kTypePng, &bad, colour), 1);
    Dib r;
    DibMetadata back;
    ASSERT_GT(ReadMeta(dir / "bad.png", kTypePng, &r, &back), 0);
    EXPECT_TRUE(back.icc.empty());
    EXPECT_EQ(r.Rgb(5, 3), colour.Rgb(5, 3));
}

TEST(ReadMeta, TiffIsReadAsStoredWithItsOrientation) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d, 6, 4);
    std::vector<uint8_t> icc = icctest::AdobeRgb();
    for (int o : {3, 6}) {
        std::string path = dir / ("o" + std::to_string(o) + ".tif");
        ASSERT_TRUE(phototest::WriteTiff(path, d.h, d.b, o, icc));
        Dib r;
        DibMetadata meta;
        ASSERT_GT(ReadMeta(path, kTypeTiff, &r, &meta), 0);
        EXPECT_EQ(meta.orientation, o);
        EXPECT_EQ(meta.icc, icc);
        ASSERT_EQ(r.width(), 6);
        // Rows as stored: the top left pixel is the one written first.
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) EXPECT_EQ(r.Rgb(x, y), d.Rgb(x, y)) << "orientation " << o;
    }
}

TEST(ReadMeta, CmykJpegAndTiffMeetTheirProfileWhileDecoding) {
    pmtest::TempDir dir;
    std::vector<std::array<uint8_t, 4>> inks{{255, 0, 0, 0}, {0, 0, 255, 0}};  // cyan, yellow
    ASSERT_TRUE(phototest::WriteCmykJpeg(dir / "cmyk.jpg", inks, 8, icctest::SwappedCmyk()));
    ASSERT_TRUE(phototest::WriteCmykTiff(dir / "cmyk.tif", inks, 8, icctest::SwappedCmyk()));
    auto near = [](uint32_t a, uint32_t b) {
        for (int s = 0; s < 24; s += 8)
            if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > 32) return false;
        return true;
    };
    for (int type : {kTypeJpeg, kTypeTiff}) {
        for (bool convert : {true, false}) {
            std::string what = std::string(type == kTypeJpeg ? "JPEG" : "TIFF") + (convert ? " converted" : " naive");
            Dib r;
            DibMetadata meta;
            meta.convertCmyk = convert;
            ASSERT_EQ(ReadMeta(dir / (type == kTypeJpeg ? "cmyk.jpg" : "cmyk.tif"), type, &r, &meta), 32) << what;
            EXPECT_EQ(meta.iccApplied, convert) << what;
            EXPECT_FALSE(meta.icc.empty()) << what;
            ASSERT_EQ(r.height(), 8) << what;
            // The profile exchanges red and blue: cyan ink shows yellow, on
            // every row.
            for (int y : {0, 3, 7}) {
                uint32_t cyan = r.Rgb(4, y), yellow = r.Rgb(12, y);
                EXPECT_TRUE(near(cyan, convert ? 0xFFFF00u : 0x00FFFFu)) << what << std::hex << " " << cyan;
                EXPECT_TRUE(near(yellow, convert ? 0x00FFFFu : 0xFFFF00u)) << what << std::hex << " " << yellow;
            }
        }
    }
}

// --- TIFF: the camera's data in the file's own IFDs --------------------------

// What libtiff (a reader apart from ours) finds in a written TIFF.
struct TiffSeen {
    bool opened = false, pixels = false, exifIfd = false;
    uint16_t orientation = 0;
    uint16_t iptcType = 0;  // as stored in the main IFD
    float xResolution = 0;
    std::string make, model;
    float exposure = 0;
    uint32_t pixelWidth = 0;
    std::vector<uint8_t> xmp, iptc;
};

int Quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TiffSeen SeeTiff(const std::string& path) {
    TiffSeen s;
    TIFFOpenOptions* o = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(o, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(o, Quiet, nullptr);
    TIFF* t = TIFFOpenExt(path.c_str(), "r", o);
    TIFFOpenOptionsFree(o);
    if (!t) return s;
    s.opened = true;
    uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(size_t(w) * h);
    s.pixels = w && h && TIFFReadRGBAImage(t, w, h, raster.data(), 0);
    TIFFGetField(t, TIFFTAG_ORIENTATION, &s.orientation);
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &s.xResolution);
    char* text = nullptr;
    if (TIFFGetField(t, TIFFTAG_MAKE, &text)) s.make = text;
    if (TIFFGetField(t, TIFFTAG_MODEL, &text)) s.model = text;
    uint32_t n = 0;
    uint8_t* data = nullptr;
    if (TIFFGetField(t, TIFFTAG_XMLPACKET, &n, &data)) s.xmp.assign(data, data + n);
    if (TIFFGetField(t, TIFFTAG_RICHTIFFIPTC, &n, &data)) s.iptc.assign(data, data + n);
    uint64_t exifAt = 0;
    if (TIFFGetField(t, TIFFTAG_EXIFIFD, &exifAt) && exifAt && TIFFReadEXIFDirectory(t, exifAt)) {
        s.exifIfd = true;
        TIFFGetField(t, EXIFTAG_EXPOSURETIME, &s.exposure);
        TIFFGetField(t, EXIFTAG_PIXELXDIMENSION, &s.pixelWidth);
    }
    TIFFClose(t);
    std::vector<uint8_t> file;
    if (pmtest::ReadWholeFile(path, &file) && file.size() >= 8 && file[0] == 'I') {
        auto u16 = [&](size_t at) { return at + 2 <= file.size() ? uint16_t(file[at] | file[at + 1] << 8) : uint16_t(0); };
        const size_t ifd0 = size_t(file[4] | file[5] << 8 | file[6] << 16) | size_t(file[7]) << 24;
        for (size_t i = 0; i < u16(ifd0); ++i)
            if (u16(ifd0 + 2 + 12 * i) == TIFFTAG_RICHTIFFIPTC) s.iptcType = u16(ifd0 + 2 + 12 * i + 2);
    }
    return s;
}

std::vector<uint8_t> Bare(const std::vector<uint8_t>& segment, bool xmp) {
    size_t n = 0;
    const uint8_t* p = xmp ? Exif_XmpFromApp1(segment.data(), segment.size(), &n)
                           : Exif_IptcFromApp13(segment.data(), segment.size(), &n);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>{};
}

TEST(WriteMeta, TiffKeepsExifXmpAndIptcInItsOwnTags) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    for (bool big : {false, true}) {
        DibMetadata meta;
        exiftest::Builder b(big);
        std::vector<uint8_t> camera = b.Photo(6, 4000, 3000);
        ASSERT_TRUE(Exif_PrepareForOutput(camera.data(), camera.size(), 1, 6, 4, &meta.exif));
        meta.orientation = 1;
        meta.segments = {DibSegment{0xE1, phototest::Xmp().data}, DibSegment{0xED, phototest::Iptc().data}};
        std::string path = dir / "out.tif";
        ASSERT_EQ(WriteMeta(path, kTypeTiff, &meta, d), 1);

        TiffSeen seen = SeeTiff(path);
        ASSERT_TRUE(seen.opened);
        EXPECT_TRUE(seen.pixels);
        EXPECT_EQ(seen.orientation, 1);
        EXPECT_EQ(seen.make, "Canon");
        EXPECT_EQ(seen.model, "EOS 5D Mk IV");
        ASSERT_TRUE(seen.exifIfd);
        EXPECT_FLOAT_EQ(seen.exposure, 1.0f / 250);
        EXPECT_EQ(seen.pixelWidth, 6u);
        EXPECT_EQ(seen.xmp, Bare(phototest::Xmp().data, true));
        // IPTC as whole LONGs, as Photoshop writes and readers expect it.
        std::vector<uint8_t> padded = Bare(phototest::Iptc().data, false);
        padded.resize((padded.size() + 3) & ~size_t(3), 0);
        EXPECT_EQ(seen.iptc, padded);
        EXPECT_EQ(seen.iptcType, TIFF_LONG);
        // Pixels without a resolution take the camera's (72 dpi here).
        EXPECT_FLOAT_EQ(seen.xResolution, 72.0f);

        // Our own reader gives it back as a JPEG would carry it.
        Dib r;
        DibMetadata back;
        ASSERT_GT(ReadMeta(path, kTypeTiff, &r, &back), 0);
        // Every field the camera block gave, exact rationals and tags libtiff
        // has no table for included, but the pixel sizes (now LONGs).
        ExifFields f, sent;
        ASSERT_TRUE(Exif_CollectFields(back.exif.data(), back.exif.size(), &f));
        ASSERT_TRUE(Exif_CollectFields(meta.exif.data(), meta.exif.size(), &sent));
        ASSERT_EQ(f.exif.size(), sent.exif.size());
        for (size_t i = 0; i < f.exif.size(); ++i)
            if (f.exif[i].tag < 0xA002 || f.exif[i].tag > 0xA003) EXPECT_EQ(f.exif[i].value, sent.exif[i].value) << f.exif[i].tag;
        EXPECT_EQ(f.gps.size(), 3u);
        EXPECT_EQ(Exif_Inspect(back.exif.data(), back.exif.size()).orientation, 1);
        ASSERT_EQ(back.segments.size(), 2u);
        EXPECT_EQ(back.segments[0].data, phototest::Xmp().data);
        EXPECT_EQ(back.segments[1].data, phototest::Iptc().data);

        // Pixels left as stored keep their stored orientation, as in JPEG.
        meta.orientation = 6;
        ASSERT_EQ(WriteMeta(path, kTypeTiff, &meta, d), 1);
        EXPECT_EQ(SeeTiff(path).orientation, 6);

        // Without metadata none of it is written.
        ASSERT_EQ(WriteMeta(path, kTypeTiff, nullptr, d), 1);
        seen = SeeTiff(path);
        EXPECT_TRUE(seen.make.empty());
        EXPECT_FALSE(seen.exifIfd);
        EXPECT_TRUE(seen.xmp.empty());
        EXPECT_TRUE(seen.iptc.empty());
        // Orientation and resolution alone make no camera block.
        ASSERT_GT(ReadMeta(path, kTypeTiff, &r, &back), 0);
        EXPECT_TRUE(back.exif.empty());
        EXPECT_TRUE(back.segments.empty());
    }
}

TEST(WriteMeta, DamagedExifNeverSpoilsTheTiff) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    exiftest::Builder b(false);
    std::vector<uint8_t> camera = b.Photo(1, 6, 4);
    std::vector<std::vector<uint8_t>> damaged;
    for (size_t n : {size_t(9), size_t(40), size_t(90), camera.size() / 2}) damaged.emplace_back(camera.begin(), camera.begin() + long(n));
    for (size_t i = 8; i < camera.size(); i += 7) {
        damaged.push_back(camera);
        damaged.back()[i] ^= 0xFF;
    }
    std::vector<uint8_t> loop = camera;  // the Exif IFD link points at IFD0
    std::vector<uint8_t> eight = b.Long(8);
    std::copy(eight.begin(), eight.end(), loop.begin() + 8 + 2 + 4 * 12 + 8);
    damaged.push_back(loop);
    std::string path = dir / "out.tif";
    for (size_t k = 0; k < damaged.size(); ++k) {
        DibMetadata meta;
        meta.exif = damaged[k];
        ASSERT_EQ(WriteMeta(path, kTypeTiff, &meta, d), 1) << "case " << k;
        TiffSeen seen = SeeTiff(path);
        ASSERT_TRUE(seen.opened) << "case " << k;
        EXPECT_TRUE(seen.pixels) << "case " << k;
        Dib r;
        DibMetadata back;
        ASSERT_GT(ReadMeta(path, kTypeTiff, &r, &back), 0) << "case " << k;
        EXPECT_EQ(r.Rgb(5, 3), d.Rgb(5, 3));
    }
}

TEST(ReadMeta, TiffFromAnotherWriterGivesItsExifXmpAndIptc) {
    pmtest::TempDir dir;
    Dib d;
    Picture(&d);
    std::vector<uint8_t> xmp = Bare(phototest::Xmp().data, true), iptc = Bare(phototest::Iptc().data, false);
    std::string path = dir / "camera.tif";
    ASSERT_TRUE(phototest::WriteCameraTiff(path, d.h, d.b, 8, xmp, iptc));
    Dib r;
    DibMetadata meta;
    ASSERT_GT(ReadMeta(path, kTypeTiff, &r, &meta), 0);
    EXPECT_EQ(meta.orientation, 8);
    ExifSummary s = Exif_Inspect(meta.exif.data(), meta.exif.size());
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 8);
    ExifFields f;
    ASSERT_TRUE(Exif_CollectFields(meta.exif.data(), meta.exif.size(), &f));
    ASSERT_EQ(f.ifd0.size(), 3u);  // Make, Model, Orientation: no strip layout
    EXPECT_EQ(f.ifd0[0].tag, kExifTagMake);
    EXPECT_EQ(f.exif.size(), 4u);
    ASSERT_EQ(meta.segments.size(), 2u);
    EXPECT_EQ(meta.segments[0].data, phototest::Xmp().data);
    EXPECT_EQ(meta.segments[1].data, phototest::Iptc().data);
    EXPECT_EQ(r.width(), 6);
}

}  // namespace
