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

    std::string out = dir / "out.png";
    ASSERT_EQ(WriteMeta(out, kTypePng, &meta, r), 1);
    DibMetadata back;
    Dib r2;
    ASSERT_GT(ReadMeta(out, kTypePng, &r2, &back), 0);
    EXPECT_EQ(back.exif, exif);
    EXPECT_TRUE(back.icc.empty());
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

TEST(ReadMeta, CmykJpegMeetsItsProfileWhileDecoding) {
    pmtest::TempDir dir;
    std::string path = dir / "cmyk.jpg";
    std::vector<std::array<uint8_t, 4>> inks{{255, 0, 0, 0}, {0, 0, 255, 0}};  // cyan, yellow
    ASSERT_TRUE(phototest::WriteCmykJpeg(path, inks, 8, icctest::SwappedCmyk()));
    auto near = [](uint32_t a, uint32_t b) {
        for (int s = 0; s < 24; s += 8)
            if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > 32) return false;
        return true;
    };
    for (bool convert : {true, false}) {
        Dib r;
        DibMetadata meta;
        meta.convertCmyk = convert;
        ASSERT_EQ(ReadMeta(path, kTypeJpeg, &r, &meta), 32);
        EXPECT_EQ(meta.iccApplied, convert);
        EXPECT_FALSE(meta.icc.empty());
        // The profile exchanges red and blue: cyan ink shows yellow.
        uint32_t cyan = r.Rgb(4, 4), yellow = r.Rgb(12, 4);
        EXPECT_TRUE(near(cyan, convert ? 0xFFFF00u : 0x00FFFFu)) << std::hex << cyan;
        EXPECT_TRUE(near(yellow, convert ? 0x00FFFFu : 0xFFFF00u)) << std::hex << yellow;
    }
}

}  // namespace
