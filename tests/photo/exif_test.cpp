#include "makerlibs/pmexif.h"
#include "photo/exif_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

using exiftest::Builder;
using exiftest::Field;

namespace {

class ExifBothOrders : public ::testing::TestWithParam<bool> {};

TEST_P(ExifBothOrders, ReadsEveryStoredOrientation) {
    Builder b(GetParam());
    for (int o = 1; o <= 8; ++o) {
        std::vector<uint8_t> block = b.Camera(o, 4000, 3000);
        EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), o) << "orientation " << o;
    }
}

TEST_P(ExifBothOrders, MissingZeroAndOutOfRangeReadUpright) {
    Builder b(GetParam());
    for (int o : {0, 9, 0x0600, 0xFFFF}) {
        std::vector<uint8_t> block = b.Camera(o, 10, 10);
        EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1) << "stored " << o;
    }
}

TEST_P(ExifBothOrders, EveryTruncationReadsWithoutHarm) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 10, 10);
    for (size_t n = 0; n <= block.size(); ++n) {
        std::vector<uint8_t> cut(block.begin(), block.begin() + n);
        int o = Exif_OrientationFromBytes(cut.empty() ? nullptr : cut.data(), cut.size());
        // The IFD's entry count promises three entries: a table cut short is
        // unreadable as a whole.
        int expected = n >= 8 + 2 + 3 * 12 ? 6 : 1;
        EXPECT_EQ(o, expected) << "cut at " << n;
        EXPECT_EQ(Exif_Inspect(cut.data(), cut.size()).valid, n >= 8 + 2 + 3 * 12) << "cut at " << n;
        std::vector<uint8_t> prepared;
        Exif_PrepareForOutput(cut.data(), cut.size(), 1, 5, 5, &prepared);
        EXPECT_LE(prepared.size(), cut.size());
    }
}

TEST_P(ExifBothOrders, OffsetsOutsideTheBlockAreIgnored) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Header();
    // IFD0 beyond the end.
    std::vector<uint8_t> far = b.Long(0x7FFFFFF0);
    std::copy(far.begin(), far.end(), block.begin() + 4);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);

    // An orientation stored out of line (count 3) at an offset past the end.
    block = b.Header();
    b.Put(&block, {Field{0x0112, 3, 3, {}}}, 0);
    std::vector<uint8_t> off = b.Long(0xFFFFFFF0);
    std::copy(off.begin(), off.end(), block.begin() + 8 + 2 + 8);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);

    // IFD0 pointing into the header.
    block = b.Camera(6, 10, 10);
    std::vector<uint8_t> four = b.Long(4);
    std::copy(four.begin(), four.end(), block.begin() + 4);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
}

TEST_P(ExifBothOrders, WrongTypeOrEmptyCountReadsUpright) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Header();
    b.Put(&block, {Field{0x0112, 2, 2, {'6', 0}}}, 0);  // ASCII "6"
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
    block = b.Header();
    b.Put(&block, {Field{0x0112, 3, 0, b.Short(6)}}, 0);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
    block = b.Header();
    b.Put(&block, {Field{0x0112, 4, 1, b.Long(8)}}, 0);  // LONG is read too
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 8);
}

TEST_P(ExifBothOrders, PreparedBlockIsUprightWithNewSizeAndNoThumbnail) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 4000, 3000, 200);
    ExifSummary before = Exif_Inspect(block.data(), block.size());
    ASSERT_TRUE(before.valid);
    EXPECT_TRUE(before.hasThumbnail);
    EXPECT_EQ(before.pixelWidth, 4000);

    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 72, 96, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 1);
    EXPECT_FALSE(s.hasIfd1);
    EXPECT_FALSE(s.hasThumbnail);
    EXPECT_EQ(s.pixelWidth, 72);
    EXPECT_EQ(s.pixelHeight, 96);
    // IFD1 and the thumbnail were the block's end: it ends where IFD1 began.
    EXPECT_LT(out.size(), b.thumbAt());
    // Everything before IFD1 kept its place (maker notes may point there),
    // apart from the patched values.
    const char kNote[] = "MAKERNOTE!!!";
    auto at = std::search(out.begin(), out.end(), kNote, kNote + 12);
    auto was = std::search(block.begin(), block.end(), kNote, kNote + 12);
    ASSERT_NE(at, out.end());
    EXPECT_EQ(at - out.begin(), was - block.begin());
}

TEST_P(ExifBothOrders, PreparedBlockKeepsAStoredOrientationWhenAsked) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(8, 10, 10, 0);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 8, 10, 10, &out));
    EXPECT_EQ(Exif_OrientationFromBytes(out.data(), out.size()), 8);
    // A block without the tag does not gain one.
    block = b.Camera(0, 10, 10, 0);
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out));
    EXPECT_EQ(Exif_Inspect(out.data(), out.size()).orientation, 0);
}

TEST_P(ExifBothOrders, SizesBeyondAShortBecomeLongs) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(1, 10, 10, 0);  // PixelYDimension is a SHORT
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 70000, 80000, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    EXPECT_EQ(s.pixelWidth, 70000);
    EXPECT_EQ(s.pixelHeight, 80000);
}

TEST_P(ExifBothOrders, IfdLoopNeverClearsTheKeptData) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 10, 10, 0);
    // IFD0's next-IFD link points back at IFD0 itself.
    size_t linkAt = 8 + 2 + 3 * 12;
    std::vector<uint8_t> self = b.Long(8);
    std::copy(self.begin(), self.end(), block.begin() + long(linkAt));
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 6);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 1);
    EXPECT_FALSE(s.hasIfd1);
    EXPECT_EQ(s.pixelWidth, 10);
    EXPECT_EQ(out.size(), block.size());
}

INSTANTIATE_TEST_SUITE_P(Exif, ExifBothOrders, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "BigEndian" : "LittleEndian"; });

TEST(ExifBlock, NotATiffStructureIsRefused) {
    const uint8_t junk[] = {'I', 'M', 42, 0, 8, 0, 0, 0, 0, 0};
    EXPECT_EQ(Exif_OrientationFromBytes(junk, sizeof junk), 1);
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(Exif_PrepareForOutput(junk, sizeof junk, 1, 1, 1, &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(Exif_Inspect(junk, sizeof junk).valid);
    EXPECT_EQ(Exif_OrientationFromBytes(nullptr, 100), 1);
}

TEST(ExifBlock, App1PayloadNeedsTheExifSignature) {
    const uint8_t exif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    size_t n = 0;
    const uint8_t* t = Exif_TiffFromApp1(exif, sizeof exif, &n);
    ASSERT_EQ(t, exif + 6);
    EXPECT_EQ(n, 4u);
    const uint8_t xmp[] = "http://ns.adobe.com/xap/1.0/";
    EXPECT_EQ(Exif_TiffFromApp1(xmp, sizeof xmp, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Exif_TiffFromApp1(exif, 6, &n), nullptr);
}

}  // namespace
