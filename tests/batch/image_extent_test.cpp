// What a conversion is judged to hold before it starts: the JPEG header's
// size, sampling and scan layout, and the bytes that follow from them.
#include "batch/image_extent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

size_t ReadVector(void* context, uint64_t offset, uint8_t* out, size_t size) {
    auto* bytes = static_cast<const std::vector<uint8_t>*>(context);
    if (offset >= bytes->size()) return 0;
    size_t n = std::min<size_t>(size, bytes->size() - size_t(offset));
    std::memcpy(out, bytes->data() + offset, n);
    return n;
}

// SOI, an APP0, the frame header `sof` with one (h, v) sampling byte per
// component, and a scan header of `scanComponents`.
std::vector<uint8_t> JpegHeader(uint8_t sof, int w, int h, const std::vector<uint8_t>& sampling, int scanComponents) {
    std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    const int n = int(sampling.size());
    const int sofLength = 8 + 3 * n;
    b.insert(b.end(), {0xFF, sof, uint8_t(sofLength >> 8), uint8_t(sofLength), 8, uint8_t(h >> 8), uint8_t(h),
                       uint8_t(w >> 8), uint8_t(w), uint8_t(n)});
    for (int i = 0; i < n; ++i) b.insert(b.end(), {uint8_t(i + 1), sampling[size_t(i)], 0});
    const int sosLength = 6 + 2 * scanComponents;
    b.insert(b.end(), {0xFF, 0xDA, uint8_t(sosLength >> 8), uint8_t(sosLength), uint8_t(scanComponents)});
    for (int i = 0; i < scanComponents; ++i) b.insert(b.end(), {uint8_t(i + 1), 0});
    b.insert(b.end(), {0, 63, 0});
    return b;
}

ImageExtent Read(const std::vector<uint8_t>& bytes) {
    ImageExtent e;
    EXPECT_TRUE(Batch_ReadImageExtent(ReadVector, const_cast<std::vector<uint8_t>*>(&bytes), &e));
    return e;
}

}  // namespace

// Whole coefficients only where the scans each hold a part of the image:
// progressive frames, and sequential ones that send a component per scan.
TEST(ImageExtent, JpegCoefficientsKeptWholeFollowTheScansAndSampling) {
    // 100 x 60 at 4:2:0: MCUs of 16 x 16, 7 x 4 of them; 4 luma blocks and
    // one of each chroma per MCU.
    ImageExtent e = Read(JpegHeader(0xC0, 100, 60, {0x22, 0x11, 0x11}, 3));
    EXPECT_EQ(e.width, 100u);
    EXPECT_EQ(e.height, 60u);
    EXPECT_TRUE(e.jpeg);
    EXPECT_EQ(e.wholeCoefficientBytes, 0u);
    EXPECT_EQ(Read(JpegHeader(0xC2, 100, 60, {0x22, 0x11, 0x11}, 1)).wholeCoefficientBytes, 7u * 4 * 6 * 128);
    EXPECT_EQ(Read(JpegHeader(0xC0, 100, 60, {0x22, 0x11, 0x11}, 1)).wholeCoefficientBytes, 7u * 4 * 6 * 128);
    // 4:4:4 and grey: a block per component per 8 x 8.
    EXPECT_EQ(Read(JpegHeader(0xC2, 100, 60, {0x11, 0x11, 0x11}, 3)).wholeCoefficientBytes, 13u * 8 * 3 * 128);
    EXPECT_EQ(Read(JpegHeader(0xC2, 100, 60, {0x11}, 1)).wholeCoefficientBytes, 13u * 8 * 128);
    // Sampling bytes hold horizontal in the high nibble, vertical in the
    // low: 4:2:2 and 4:4:0 give differently shaped MCUs.
    struct Sampled {
        uint8_t luma;
        uint64_t mcuColumns, mcuRows, lumaBlocks;
    };
    const Sampled sampled[] = {
        {0x21, 7, 8, 2},   // 4:2:2: MCUs of 16 x 8
        {0x12, 13, 4, 2},  // 4:4:0: MCUs of 8 x 16
        {0x41, 4, 8, 4},   // 4:1:1: MCUs of 32 x 8
        {0x14, 13, 2, 4},  // MCUs of 8 x 32
    };
    for (const Sampled& c : sampled)
        EXPECT_EQ(Read(JpegHeader(0xC2, 100, 60, {c.luma, 0x11, 0x11}, 1)).wholeCoefficientBytes,
                  c.mcuColumns * c.mcuRows * (c.lumaBlocks + 2) * 128)
            << std::hex << int(c.luma);
    // Arithmetic-coded progressive (SOF10) too.
    EXPECT_EQ(Read(JpegHeader(0xCA, 100, 60, {0x11}, 1)).wholeCoefficientBytes, 13u * 8 * 128);
    // Cut short before the scan: the size is still known.
    std::vector<uint8_t> cut = JpegHeader(0xC0, 100, 60, {0x22, 0x11, 0x11}, 3);
    cut.resize(cut.size() - 12);
    EXPECT_EQ(Read(cut).width, 100u);
}

// WebP: the extended layout's canvas, or the frame header of a plain lossy
// or lossless file; another RIFF file is no image.
TEST(ImageExtent, WebpSizeComesFromItsFirstChunk) {
    auto riff = [](const char* tag, std::vector<uint8_t> body) {
        std::vector<uint8_t> b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
        b.insert(b.end(), tag, tag + 4);
        b.insert(b.end(), {uint8_t(body.size()), 0, 0, 0});
        b.insert(b.end(), body.begin(), body.end());
        return b;
    };
    // Canvas 300 x 70000 (each stored minus one, in 24 bits).
    ImageExtent e = Read(riff("VP8X", {0x10, 0, 0, 0, 43, 1, 0, 0x6F, 0x11, 0x01}));
    EXPECT_EQ(e.width, 300u);
    EXPECT_EQ(e.height, 70000u);
    EXPECT_FALSE(e.jpeg);
    e = Read(riff("VP8 ", {0x50, 0x02, 0, 0x9D, 0x01, 0x2A, 0x40, 0x01, 0xF0, 0x40}));  // scale bits set
    EXPECT_EQ(e.width, 320u);
    EXPECT_EQ(e.height, 240u);
    // 16383 x 2 as w - 1 = 0x3FFE, h - 1 = 1 in 14-bit fields.
    e = Read(riff("VP8L", {0x2F, 0xFE, 0x7F, 0x00, 0x00}));
    EXPECT_EQ(e.width, 16383u);
    EXPECT_EQ(e.height, 2u);
    std::vector<uint8_t> wave = riff("fmt ", {1, 2, 3, 4});
    wave[8] = 'W', wave[9] = 'A', wave[10] = 'V', wave[11] = 'E';
    ImageExtent none;
    EXPECT_FALSE(Batch_ReadImageExtent(ReadVector, &wave, &none));
}

TEST(ImageExtent, ConversionBytesCountTheDecodedPictureTheCoefficientsAndTheFile) {
    ImageExtent e;
    e.width = 10000;
    e.height = 10000;
    EXPECT_EQ(Batch_ConversionBytes(e), 100000000ull * 9);
    // A read at 1/8: 1250 x 1250 pixels.
    EXPECT_EQ(Batch_ConversionBytes(e, 8, 1000), 1250ull * 1250 * 9 + 1000);
    e.wholeCoefficientBytes = 600000000;
    EXPECT_EQ(Batch_ConversionBytes(e, 8), 1250ull * 1250 * 9 + 600000000);
    // Sides that do not divide round up.
    e = ImageExtent{};
    e.width = 9;
    e.height = 1;
    EXPECT_EQ(Batch_ConversionBytes(e, 8), 2u * 9);
    EXPECT_EQ(Batch_ConversionBytes(ImageExtent{}, 8, 5), kUnknownExtentBytes + 5);
}

// A thumbnail of a picture read row by row holds its reduction and a band;
// Adam7 PNGs and RLE bitmaps are read whole whatever the output.
TEST(ImageExtent, FormatsReadRowByRowAreCountedReduced) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                0, 0, 0x27, 0x10, 0, 0, 0x1F, 0x40, 8, 2, 0, 0, 0};
    EXPECT_TRUE(Read(png).streamed);
    png[28] = 1;
    EXPECT_FALSE(Read(png).streamed);
    std::vector<uint8_t> bmp(54, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[14] = 40;
    bmp[18] = 100;
    bmp[22] = 100;
    EXPECT_TRUE(Read(bmp).streamed);
    bmp[30] = 1;
    EXPECT_FALSE(Read(bmp).streamed);
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0, 0, 1, 4, 0, 1, 0, 0, 0, 100, 0, 0, 0,
                                 1, 1, 4, 0, 1, 0, 0, 0, 50, 0, 0, 0};
    EXPECT_TRUE(Read(tiff).streamed);
    // A GIF streams when its first image is not interlaced; the records
    // before it (a 4-entry global table, a control block, an application
    // block of two sub-blocks) are walked to its descriptor.
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 0x10, 0x27, 0x40, 0x1F, 0x81, 0, 0};
    gif.insert(gif.end(), 12, 0);
    gif.insert(gif.end(), {0x21, 0xF9, 4, 0, 0, 0, 0, 0});
    gif.insert(gif.end(), {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
    gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, 0x10, 0x27, 0x40, 0x1F, 0});
    ImageExtent g = Read(gif);
    EXPECT_EQ(g.width, 10000u);
    EXPECT_EQ(g.height, 8000u);
    EXPECT_TRUE(g.gif);
    EXPECT_TRUE(g.streamed);
    gif.back() = 0x40;
    EXPECT_FALSE(Read(gif).streamed);
    gif.back() = 0;
    gif[10] = 0x82;  // a table of 8 entries: the walk lands inside the records
    EXPECT_FALSE(Read(gif).streamed);
    gif.resize(30);  // cut inside the control block
    gif[10] = 0x81;
    EXPECT_FALSE(Read(gif).streamed);

    // 10000 x 8000 RGB streams through zlib; a picture whose rows fit the
    // one-call inflate holds them too, read reduced or whole.
    EXPECT_EQ(Read(png).inflatedBytes, 0u);
    png[18] = 0, png[19] = 100, png[22] = 0, png[23] = 50;  // 100 x 50, Adam7
    // Passes of 13x7, 12x7, 25x6, 25x13, 50x12, 50x25 and 100x25 pixels.
    EXPECT_EQ(Read(png).inflatedBytes, 7u * (13 * 3 + 1) + 7 * (12 * 3 + 1) + 6 * (25 * 3 + 1) + 13 * (25 * 3 + 1) +
                                           12 * (50 * 3 + 1) + 25 * (50 * 3 + 1) + 25 * (100 * 3 + 1));
    png[28] = 0;
    EXPECT_EQ(Read(png).inflatedBytes, 50u * 301);
    png[24] = 16, png[25] = 6;
    ImageExtent small = Read(png);
    EXPECT_EQ(small.inflatedBytes, 50u * 801);
    EXPECT_EQ(Batch_ConversionBytes(small, 1, 7), 5000u * 9 + 7 + 50 * 801);
    png[18] = 0x27, png[19] = 0x10, png[22] = 0x1F, png[23] = 0x40, png[24] = 8, png[25] = 2;

    ImageExtent e = Read(png);
    e.streamed = true;
    EXPECT_EQ(Batch_ConversionBytes(e, 25), 400ull * 320 * 9 + kStreamedBandBytes + 10000 * 64);
    EXPECT_EQ(Batch_ConversionBytes(e, 1), 10000ull * 8000 * 9);
}
