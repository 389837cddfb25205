// Reduced JPEG reads: the reader decodes at 1/2, 1/4 or 1/8 when the caller
// will shrink the image anyway. What must never change: the output size and
// turn (they follow from the full size), the pixels of a progressive file
// whose unneeded scans are skipped (those of the whole file decoded at the
// same scale), and the outcome of a damaged file.
#include "codec_support.h"
#include "imaging/transform.h"
#include "makerlibs/pmimgkit.h"
#include "common/testsupport.h"
#include "makerlibs/pmdibio/dibio_stream.h"

#include <gtest/gtest.h>

#include <cstdio>  // before jpeglib.h, which needs FILE
#include <jpeglib.h>

#include <cstring>
#include <string>
#include <vector>

using namespace codectest;

namespace {

struct Settings {
    int direction = 0;
    int resize = 1;
    PmSize box{96, 96};
};

int TargetOf(void* context, const PmSize* full, PmSize* target) {
    auto* s = static_cast<const Settings*>(context);
    return ShrinkTargetSize(s->direction, s->resize, &s->box, *full, target) ? 1 : 0;
}

struct Encoding {
    int width = 64, height = 48;
    int components = 3;   // 1 = grey
    int hSamp = 2, vSamp = 2;  // of the first component; the others 1x1
    bool progressive = true;
    int restartRows = 0;
    // Colour AC terms in two bands (1-5, 6-63), as some encoders write them.
    bool splitBands = false;
    // Another scan script of the encoder's choosing.
    const jpeg_scan_info* script = nullptr;
    int scriptScans = 0;
};

std::vector<uint8_t> Encode(const Encoding& e) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = JDIMENSION(e.width);
    c.image_height = JDIMENSION(e.height);
    c.input_components = e.components;
    c.in_color_space = e.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    if (e.components == 3) {
        c.comp_info[0].h_samp_factor = e.hSamp;
        c.comp_info[0].v_samp_factor = e.vSamp;
        for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    }
    c.restart_in_rows = e.restartRows;
    if (e.progressive) jpeg_simple_progression(&c);
    jpeg_scan_info script[6] = {{3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 5, 0, 0},
                                {1, {1}, 6, 63, 0, 0},      {1, {2}, 1, 5, 0, 0},  {1, {2}, 6, 63, 0, 0}};
    if (e.progressive && e.splitBands && e.components == 3) {
        c.scan_info = script;
        c.num_scans = 6;
    }
    if (e.script) {
        c.scan_info = e.script;
        c.num_scans = e.scriptScans;
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(e.width) * size_t(e.components));
    while (c.next_scanline < c.image_height) {
        int y = int(c.next_scanline);
        for (int x = 0; x < e.width; ++x)
            for (int k = 0; k < e.components; ++k) row[size_t(x * e.components + k)] = codectest::DetailedTexture(x, y, k);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    return out;
}

// libjpeg's own decode of the whole file at 1/scale, in the DIB's channel
// order (BGR; grey as it is), rows top first.
std::vector<uint8_t> WholeFileAt(const std::vector<uint8_t>& file, int scale, int* w, int* h) {
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&c, TRUE);
    c.scale_num = 1;
    c.scale_denom = unsigned(scale);
    c.out_color_space = c.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_start_decompress(&c);
    *w = int(c.output_width);
    *h = int(c.output_height);
    size_t rowBytes = size_t(c.output_width) * size_t(c.output_components);
    std::vector<uint8_t> px(rowBytes * c.output_height);
    while (c.output_scanline < c.output_height) {
        JSAMPROW r = px.data() + rowBytes * c.output_scanline;
        jpeg_read_scanlines(&c, &r, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return px;
}

// The DIB's pixel bytes, rows top first, without row padding.
std::vector<uint8_t> Rows(const Dib& d) {
    int h = d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight;
    size_t rowBytes = size_t(d.h->biWidth) * (d.h->biBitCount / 8);
    size_t stride = size_t(DibCore_GetRowStride(d.h, 0));
    std::vector<uint8_t> out;
    for (int y = 0; y < h; ++y) {
        const uint8_t* r = d.b + stride * size_t(d.h->biHeight < 0 ? y : h - 1 - y);
        out.insert(out.end(), r, r + rowBytes);
    }
    return out;
}

class ReducedRead : public testing::Test {
protected:
    pmtest::TempDir dir_;

    std::string Store(const std::vector<uint8_t>& bytes, const char* name = "in.jpg") {
        std::string path = dir_ / name;
        EXPECT_TRUE(pmtest::WriteWholeFile(path, bytes.data(), bytes.size()));
        return path;
    }
    // A thumbnail read of `file` into `box`, which must decode at 1/`scale`
    // to exactly `expected` (libjpeg's decode of the whole file at that scale).
    void ExpectReducedRead(const std::vector<uint8_t>& file, PmSize box, unsigned scale,
                           const std::vector<uint8_t>& expected) {
        Settings s{0, 1, box};
        Dib d;
        DibReadRequest request;
        ASSERT_GT(Read(Store(file), &s, &d, &request), 0);
        ASSERT_EQ(request.Reduction, scale);
        EXPECT_TRUE(Rows(d) == expected);
    }
    // The reader's result with a request of the given settings (null: a
    // plain read), and the request as the reader left it.
    int Read(const std::string& path, const Settings* s, Dib* out, DibReadRequest* request = nullptr) {
        out->Reset();
        PmFileHandle f = PmFile_OpenRead(path.c_str());
        if (!f) return -1000;
        DibIOOptions info;
        DibIO_GetDefaultOptions(kTypeJpeg, &info);
        DibReadRequest local;
        if (!request) request = &local;
        std::memset(request, 0, sizeof *request);
        request->Size = sizeof *request;
        request->TargetSize = TargetOf;
        request->Context = const_cast<Settings*>(s);
        int r = s ? DibIO_ReadRequested(f, kTypeJpeg, request, &info, &out->h, &out->b)
                  : DibIO_Read(0, f, kTypeJpeg, 0, 0, 0, &info, &out->h, &out->b);
        PmFile_Close(f);
        return r;
    }
};

PmSize SizeOf(const Dib& d) { return PmSize{d.h->biWidth, d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight}; }

// Output size after the pipeline, as per-file conversion runs it.
PmSize Converted(Dib* d, const Settings& s, PmSize full, unsigned reduction) {
    ZoomPlan plan = PlanZoom(s.direction, s.resize, &s.box, full, SizeOf(*d), reduction);
    int depth = 24, index = -1;
    EXPECT_EQ(TransformImageFrom(plan.Extent(), 3, 0, &depth, 0, plan.angle, plan.resize, &plan.box, 0, 1, 0, -1,
                                 &index, &d->h, &d->b),
              0);
    return SizeOf(*d);
}

}  // namespace

TEST_F(ReducedRead, OutputSizeAndTurnAreThoseOfTheFullDecode) {
    // Odd sizes round differently at each scale; 17x16 becomes square at 1/8,
    // where a turn decided on the reduced image would differ.
    const PmSize sizes[] = {{1, 1}, {7, 5}, {17, 16}, {16, 17}, {4097, 3073}};
    const PmSize boxes[] = {{96, 96}, {40, 300}};
    for (PmSize size : sizes) {
        // Every full-size conversion of the large image turns 12 megapixels:
        // one box is enough there.
        const size_t boxCount = size.cx > 1000 ? 1 : 2;
        Encoding e;
        e.width = size.cx;
        e.height = size.cy;
        e.progressive = false;
        std::string path = Store(Encode(e));
        Dib full;
        ASSERT_GT(Read(path, nullptr, &full), 0);
        bool reducedOnce = false;
        for (size_t b = 0; b < boxCount; ++b) {
            PmSize box = boxes[b];
            for (int resize = 0; resize <= 2; ++resize) {
                for (int direction = 0; direction <= 7; ++direction) {
                    SCOPED_TRACE(testing::Message() << size.cx << "x" << size.cy << " box " << box.cx << "x" << box.cy
                                                    << " resize " << resize << " direction " << direction);
                    Settings s{direction, resize, box};
                    Dib reference;
                    ASSERT_TRUE(DibCore_Create(full.h, 0, &reference.h, &reference.b));
                    std::memcpy(reference.b, full.b, size_t(DibCore_GetRowStride(full.h, 0)) * size_t(size.cy));
                    PmSize expected = Converted(&reference, s, size, 1);

                    Dib reduced;
                    DibReadRequest request;
                    ASSERT_GT(Read(path, &s, &reduced, &request), 0);
                    EXPECT_EQ(request.FullSize.cx, size.cx);
                    EXPECT_EQ(request.FullSize.cy, size.cy);
                    if (resize == 0) {
                        EXPECT_EQ(request.Reduction, 1u);
                    }
                    reducedOnce |= request.Reduction > 1;
                    PmSize got = Converted(&reduced, s, request.FullSize, request.Reduction);
                    EXPECT_EQ(got.cx, expected.cx);
                    EXPECT_EQ(got.cy, expected.cy);
                }
            }
        }
        if (size.cx > 1000) {
            EXPECT_TRUE(reducedOnce) << "the large image was never read reduced";
        }
    }
}

TEST_F(ReducedRead, ShrinksOnlyWhileFourTimesTheTargetRemains) {
    Encoding e;
    e.width = 800;
    e.height = 600;
    e.progressive = false;
    std::string path = Store(Encode(e));
    struct Case {
        PmSize box;
        int resize;
        unsigned reduction;
    } cases[] = {
        {{20, 20}, 1, 8},      // 20x15
        {{40, 40}, 1, 4},      // 40x30: 1/8 (100x75) would hold less than four times that
        {{100, 100}, 1, 2},    // 100x75: 1/2 gives exactly four times
        {{96, 200}, 1, 2},     // fitted by the width
        {{200, 200}, 1, 1},
        {{1000, 50}, 2, 1},    // stretching one side larger: the full image is needed
        {{20, 20}, 0, 1},      // no zoom
    };
    for (const Case& k : cases) {
        Settings s{0, k.resize, k.box};
        Dib d;
        DibReadRequest request;
        ASSERT_GT(Read(path, &s, &d, &request), 0);
        EXPECT_EQ(request.Reduction, k.reduction) << k.box.cx << "x" << k.box.cy;
        EXPECT_EQ(SizeOf(d).cx, int(800 + k.reduction - 1) / int(k.reduction));
    }
}

TEST_F(ReducedRead, ProgressiveDcOnlyMatchesTheWholeFileAtOneEighth) {
    struct Layout {
        const char* name;
        int components, h, v;
    } layouts[] = {{"4:4:4", 3, 1, 1}, {"4:2:2", 3, 2, 1}, {"4:2:0", 3, 2, 2}, {"4:4:0", 3, 1, 2}, {"grey", 1, 1, 1}};
    for (const Layout& l : layouts) {
        for (int restart : {0, 1}) {
            SCOPED_TRACE(testing::Message() << l.name << (restart ? " with restart markers, split bands" : ""));
            Encoding e;
            e.width = 203;
            e.height = 157;
            e.components = l.components;
            e.hSamp = l.h;
            e.vSamp = l.v;
            e.restartRows = restart;
            e.splitBands = restart == 1;
            std::vector<uint8_t> file = Encode(e);
            int w = 0, h = 0;
            std::vector<uint8_t> expected = WholeFileAt(file, 8, &w, &h);

            Settings s{0, 1, {6, 6}};
            Dib d;
            DibReadRequest request;
            ASSERT_GT(Read(Store(file), &s, &d, &request), 0);
            ASSERT_EQ(request.Reduction, 8u);
            ASSERT_EQ(SizeOf(d).cx, w);
            ASSERT_EQ(SizeOf(d).cy, h);
            EXPECT_TRUE(Rows(d) == expected);
        }
    }
}

// A refinement scan's data depend on which terms of its band earlier scans
// made non-zero, read or not: a scan of terms the IDCT never reads is
// still decoded when a kept refinement scan covers them.
TEST_F(ReducedRead, ScansThatLaterRefinementsDependOnAreDecoded) {
    // Grey, read at 1/4: the 2x2 IDCT reads rows and columns 0, 1, 3, 5 and
    // 7. The band of zig-zag term 3 (row 2, column 0) alone is never read,
    // but the last scan refines every AC term.
    const jpeg_scan_info script[] = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 2, 0, 1}, {1, {0}, 3, 3, 0, 1},
                                     {1, {0}, 4, 63, 0, 1}, {1, {0}, 1, 63, 1, 0}};
    Encoding e;
    e.width = 203;
    e.height = 157;
    e.components = 1;
    e.script = script;
    e.scriptScans = 5;
    std::vector<uint8_t> file = Encode(e);
    int w = 0, h = 0;
    std::vector<uint8_t> expected = WholeFileAt(file, 4, &w, &h);
    ExpectReducedRead(file, {12, 12}, 4, expected);
}

// Several files read at once (a run's threads) into blocks kept between
// files: with sizes that take turns, each reader finds a block that fits
// instead of the larger file's reader throwing the smaller block away, so
// after the first round no block is taken fresh (a fresh one under Wine is
// a page fault per page, and with several threads a stop of them all).
TEST_F(ReducedRead, KeptReadBlocksServeFilesOfMixedSizes) {
    std::string small = Store(std::vector<uint8_t>(300 * 1024, 1), "small.bin");
    std::string large = Store(std::vector<uint8_t>(900 * 1024, 2), "large.bin");
    PmFileHandle smallFile = PmFile_OpenRead(small.c_str()), largeFile = PmFile_OpenRead(large.c_str());
    ASSERT_TRUE(smallFile && largeFile);
    auto round = [&] {
        pmio::WholeFile a(largeFile, 64u << 20);
        pmio::WholeFile b(smallFile, 64u << 20);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(a.size(), 900u * 1024);
        EXPECT_EQ(b.size(), 300u * 1024);
        EXPECT_EQ(a.data()[a.size() - 1], 2);
        EXPECT_EQ(b.data()[b.size() - 1], 1);
    };
    round();
    const unsigned long fresh = pmio::WholeFile_FreshBlocks();
    for (int i = 0; i < 5; ++i) round();
    EXPECT_EQ(pmio::WholeFile_FreshBlocks(), fresh);
    PmFile_Close(smallFile);
    PmFile_Close(largeFile);
}

// Offsets of the scans (their SOS markers) and of the end marker.
std::vector<size_t> ScanStarts(const std::vector<uint8_t>& f, size_t* eoi) {
    std::vector<size_t> at;
    for (size_t i = 2; i + 1 < f.size(); ++i) {
        if (f[i] != 0xFF) continue;
        if (f[i + 1] == 0xDA) at.push_back(i);
        if (f[i + 1] == 0xD9) *eoi = i;
    }
    return at;
}

// A 160x120 progressive 4:4:4 file, whose 1/8 decode reads DC terms only;
// its pixels at 1/8 as libjpeg decodes the whole file, and its scans.
struct DcOnlyFile {
    std::vector<uint8_t> file, eighth;
    std::vector<size_t> scans;
};
DcOnlyFile MakeDcOnlyFile() {
    Encoding e;
    e.width = 160;
    e.height = 120;
    e.hSamp = e.vSamp = 1;
    DcOnlyFile d;
    d.file = Encode(e);
    int w = 0, h = 0;
    d.eighth = WholeFileAt(d.file, 8, &w, &h);
    size_t eoi = 0;
    d.scans = ScanStarts(d.file, &eoi);
    return d;
}

// More segments between scans than the planner has room for: the read
// goes the ordinary way and gives the same pixels.
TEST_F(ReducedRead, ScanPlanBeyondItsRoomFallsBackToTheWholeFile) {
    const DcOnlyFile d = MakeDcOnlyFile();
    const std::vector<uint8_t>& file = d.file;
    const std::vector<size_t>& scans = d.scans;
    ASSERT_GT(scans.size(), 2u);
    for (size_t gap = 798; gap <= 810; ++gap) {
        std::vector<uint8_t> many(file.begin(), file.begin() + long(scans[2]));
        for (size_t k = 0; k < gap; ++k) many.insert(many.end(), {0xFF, 0xFE, 0x00, 0x02});
        many.insert(many.end(), file.begin() + long(scans[2]), file.end());
        SCOPED_TRACE(gap);
        ExpectReducedRead(many, {4, 4}, 8, d.eighth);
    }
}

TEST_F(ReducedRead, SkippedScansAreNeverDecoded) {
    // Damage every scan of AC terms of a 4:4:4 file, whose 1/8 decode reads
    // DC terms only: the reduced read still gives the intact file's pixels.
    const DcOnlyFile d = MakeDcOnlyFile();
    const std::vector<uint8_t>& file = d.file;
    const std::vector<size_t>& scans = d.scans;
    ASSERT_GT(scans.size(), 3u);
    std::vector<uint8_t> damaged = file;
    for (size_t k = 0; k < scans.size(); ++k) {
        size_t at = scans[k], len = size_t(file[at + 2] << 8 | file[at + 3]);
        int ns = file[at + 4];
        int ss = file[at + 5 + 2 * ns];
        if (ss == 0) continue;
        // The coded data ends at the first marker (tables may follow).
        for (size_t i = at + 2 + len; i + 1 < file.size(); ++i) {
            if (file[i] == 0xFF && file[i + 1] != 0x00) break;
            if (file[i] != 0xFF && file[i - 1] != 0xFF) damaged[i] = 0x5A;
        }
    }
    ExpectReducedRead(damaged, {4, 4}, 8, d.eighth);
}

TEST_F(ReducedRead, TruncatedProgressiveFileFailsAsItAlwaysDid) {
    Encoding e;
    e.width = 160;
    e.height = 120;
    std::vector<uint8_t> file = Encode(e);
    size_t eoi = 0;
    std::vector<size_t> scans = ScanStarts(file, &eoi);
    ASSERT_GT(scans.size(), 3u);
    // Cut inside a late scan (one the reduced read would skip), and just
    // before the end marker.
    for (size_t cut : {scans[scans.size() - 1] + 20, eoi}) {
        std::vector<uint8_t> part(file.begin(), file.begin() + long(cut));
        std::string path = Store(part);
        Dib plain, reduced;
        Settings s{0, 1, {10, 10}};
        EXPECT_EQ(Read(path, nullptr, &plain), 0);
        EXPECT_EQ(Read(path, &s, &reduced), 0);
        EXPECT_EQ(reduced.h, nullptr);
    }
}

TEST_F(ReducedRead, LimitsHoldForTheDecodedImage) {
    // 24000 x 6000 = 144 megapixels, above the pixel limit: refused whole,
    // read at 1/8 for a thumbnail.
    Encoding e;
    e.width = 24000;
    e.height = 6000;
    e.components = 1;
    e.progressive = false;
    std::string path = Store(Encode(e));
    Dib d;
    PmFile_SetLastError(0);
    EXPECT_EQ(Read(path, nullptr, &d), -1);
    EXPECT_EQ(PmFile_LastError(), PmFile_NoMemoryError());
    Settings thumb{0, 1, {96, 96}};
    DibReadRequest request;
    ASSERT_GT(Read(path, &thumb, &d, &request), 0);
    EXPECT_EQ(request.Reduction, 8u);
    EXPECT_EQ(SizeOf(d).cx, 3000);
    // A box that needs every pixel keeps the limit.
    Settings whole{0, 0, {96, 96}};
    PmFile_SetLastError(0);
    EXPECT_EQ(Read(path, &whole, &d), -1);
    EXPECT_EQ(PmFile_LastError(), PmFile_NoMemoryError());
}

// A progressive file read at a scale whose IDCT reads AC terms keeps every
// coefficient of the whole picture (at 1/8, where only DC terms are read,
// it keeps those alone). Declaring a size whose coefficients exceed the
// decoder's memory is refused as too large (the user is told why), not as a
// broken file, and before any of that memory is taken.
TEST_F(ReducedRead, ProgressiveCoefficientsBeyondTheDecoderMemoryAreTooLarge) {
    Encoding e;
    e.hSamp = e.vSamp = 1;
    std::vector<uint8_t> v = Encode(e);
    size_t sof = 2;
    while (sof + 1 < v.size() && !(v[sof] == 0xFF && v[sof + 1] == 0xC2)) ++sof;
    ASSERT_LT(sof + 9, v.size());
    for (size_t at : {sof + 5, sof + 7}) {  // height, then width: 60000 each
        v[at] = 60000 >> 8;
        v[at + 1] = 60000 & 0xFF;
    }
    std::string path = Store(v);
    // 60000 / 4 covers four times the box, 60000 / 8 does not: read at 1/4.
    Settings quarter{0, 1, {3000, 3000}};
    Dib d;
    PmFile_SetLastError(0);
    DibReadRequest request;
    EXPECT_EQ(Read(path, &quarter, &d, &request), -1);
    EXPECT_EQ(request.Reduction, 4u);
    EXPECT_EQ(PmFile_LastError(), PmFile_NoMemoryError());
}
