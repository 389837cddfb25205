// Reduced JPEG reads: the reader decodes at 1/2, 1/4 or 1/8 when the caller
// will shrink the image anyway. What must never change: the output size and
// turn (they follow from the full size), the pixels of a progressive file
// whose unneeded scans are skipped (those of the whole file decoded at the
// same scale), and the outcome of a damaged file.
#include "codec_support.h"
#include "imaging/transform.h"
#include "makerlibs/pmheap.h"
#include "makerlibs/pmimgkit.h"
#include "common/testsupport.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_jpegscan.h"
#include "makerlibs/pmdibio/dibio_stream.h"

#include <gtest/gtest.h>

#include <cstdio>  // before jpeglib.h, which needs FILE
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

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
    int lastSamp = 1;          // but the third component's, both ways
    bool progressive = true;
    int restartRows = 0;
    // Colour AC terms in two bands (1-5, 6-63), as some encoders write them.
    bool splitBands = false;
    // Another scan script of the encoder's choosing.
    const jpeg_scan_info* script = nullptr;
    int scriptScans = 0;
    // Component ids of a colour image (null: 1, 2, 3).
    const int* ids = nullptr;
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
        c.comp_info[2].h_samp_factor = c.comp_info[2].v_samp_factor = e.lastSamp;
        for (int i = 0; i < 3 && e.ids; ++i) c.comp_info[i].component_id = e.ids[i];
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

// Progressions after which libjpeg smooths the blocks (terms 1-9 of some
// component unknown or not refined to their last bit) and, where a
// component has no AC terms at all, rebuilds its DC terms: a reduced read
// gives libjpeg's smoothed pixels at every scale.
TEST_F(ReducedRead, ProgressionsLibjpegSmoothsReadAsTheWholeFile) {
    const jpeg_scan_info dcOnly[] = {{3, {0, 1, 2}, 0, 0, 0, 0}};
    const jpeg_scan_info dcRefined[] = {{3, {0, 1, 2}, 0, 0, 0, 1}, {3, {0, 1, 2}, 0, 0, 1, 0}};
    const jpeg_scan_info lastBitMissing[] = {{3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1},
                                             {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    const jpeg_scan_info chromaWithoutAc[] = {{3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
    const jpeg_scan_info lowTermsOnly[] = {{3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 5, 0, 0},
                                           {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    const struct {
        const char* name;
        const jpeg_scan_info* script;
        int scans;
    } progressions[] = {{"DC only", dcOnly, 1},
                        {"DC only, refined", dcRefined, 2},
                        {"luma AC without its last bit", lastBitMissing, 4},
                        {"chroma without AC", chromaWithoutAc, 2},
                        {"luma terms 6-9 never sent", lowTermsOnly, 4}};
    for (const auto& p : progressions) {
        for (int samp : {2, 1}) {
            Encoding e;
            e.width = 203;
            e.height = 157;
            e.hSamp = e.vSamp = samp;
            e.script = p.script;
            e.scriptScans = p.scans;
            const std::vector<uint8_t> file = Encode(e);
            for (int scale : {8, 4, 2}) {
                SCOPED_TRACE(testing::Message() << p.name << (samp == 2 ? " 4:2:0" : " 4:4:4") << " 1/" << scale);
                int w = 0, h = 0;
                const std::vector<uint8_t> expected = WholeFileAt(file, scale, &w, &h);
                ExpectReducedRead(file, {std::max(1, w / 4), std::max(1, h / 4)}, unsigned(scale), expected);
            }
        }
    }
}

// Component ids libjpeg matches in its own way: of ids 1, 2, 2 a scan of
// one component with id 2 is always the second component's (here sampled
// once, so its IDCT at 1/8 reads AC terms; the third, sampled twice, reads
// its DC term alone). Read as libjpeg reads the whole file, with its
// smoothing (the third component gets no AC terms) and without it (a zero
// quantiser among terms 0-9 turns smoothing off, so the scans are planned).
TEST_F(ReducedRead, RepeatedComponentIdsReadAsTheWholeFile) {
    const int ids[3] = {1, 2, 2};
    Encoding e;
    e.width = 203;
    e.height = 157;
    e.ids = ids;
    e.lastSamp = 2;
    const std::vector<uint8_t> file = Encode(e);
    std::vector<uint8_t> unsmoothed = file;
    // The second table's term at zig-zag position 9, in the first DQT.
    size_t dqt = 2;
    while (dqt + 1 < file.size() && !(file[dqt] == 0xFF && file[dqt + 1] == 0xDB)) ++dqt;
    size_t at = dqt + 4;
    ASSERT_EQ(file[at] & 15, 0);
    at += 65;
    if (at >= dqt + 2 + size_t(file[dqt + 2] << 8 | file[dqt + 3])) {
        // One table per segment: the next DQT.
        at = dqt + 2 + size_t(file[dqt + 2] << 8 | file[dqt + 3]) + 4;
    }
    ASSERT_EQ(file[at] & 15, 1);
    unsmoothed[at + 1 + 9] = 0;
    for (const std::vector<uint8_t>* f : {&file, const_cast<const std::vector<uint8_t>*>(&unsmoothed)}) {
        for (int scale : {8, 4, 2}) {
            SCOPED_TRACE(testing::Message() << (f == &file ? "smoothed" : "unsmoothed") << " 1/" << scale);
            int w = 0, h = 0;
            const std::vector<uint8_t> expected = WholeFileAt(*f, scale, &w, &h);
            ExpectReducedRead(*f, {std::max(1, w / 4), std::max(1, h / 4)}, unsigned(scale), expected);
        }
    }
}

// A scan left out of a reduced read is still one libjpeg must accept: a
// file with a scan it refuses fails, reduced or not.
TEST_F(ReducedRead, ScansLibjpegRefusesFailTheReadThoughLeftOut) {
    const DcOnlyFile d = MakeDcOnlyFile();
    // The last scan, of luma AC terms, which the 1/8 read leaves out.
    const size_t sos = d.scans.back();
    ASSERT_EQ(d.file[sos + 4], 1);
    const size_t id = sos + 5, tables = sos + 6, ss = sos + 7, se = sos + 8, bits = sos + 9;
    const struct {
        const char* name;
        size_t at;
        uint8_t value;
    } faults[] = {{"Al 14", bits, 0x0E},       {"Se 64", se, 64},       {"Ss after Se", ss, 9},
                  {"Ah without Al = Ah - 1", bits, 0x30}, {"unknown component", id, 9}, {"no such AC table", tables, 0x03}};
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        std::vector<uint8_t> bad = d.file;
        bad[f.at] = f.value;
        if (f.at == ss) bad[se] = 5;
        const std::string path = Store(bad);
        Dib plain, reduced;
        Settings s{0, 1, {4, 4}};
        EXPECT_EQ(Read(path, nullptr, &plain), 0);
        EXPECT_EQ(Read(path, &s, &reduced), 0);
        EXPECT_EQ(reduced.h, nullptr);
    }
}

// libjpeg takes a component's quantiser at the first scan of it, which a
// reduced read may leave out: a quantiser redefined between scans must not
// change what that first scan took.
TEST_F(ReducedRead, QuantisersChangedBetweenScansAreThoseOfTheWholeFile) {
    const jpeg_scan_info script[] = {{1, {0}, 0, 0, 0, 0},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0},
                                     {1, {1}, 1, 63, 0, 0}, {1, {0}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    Encoding e;
    e.width = 160;
    e.height = 120;
    e.hSamp = e.vSamp = 1;
    e.script = script;
    e.scriptScans = 6;
    const std::vector<uint8_t> file = Encode(e);
    size_t eoi = 0;
    const std::vector<size_t> scans = ScanStarts(file, &eoi);
    ASSERT_EQ(scans.size(), 6u);
    // A scan's piece: its tables (the encoder writes each scan's own before
    // it), its header and its data.
    auto dataEnd = [&](size_t k) {
        size_t i = scans[k] + 2 + size_t(file[scans[k] + 2] << 8 | file[scans[k] + 3]);
        while (!(file[i] == 0xFF && file[i + 1] != 0 && (file[i + 1] < 0xD0 || file[i + 1] > 0xD7))) ++i;
        return i;
    };
    auto part = [&](size_t k) {
        return std::vector<uint8_t>(file.begin() + long(k == 0 ? scans[0] : dataEnd(k - 1)),
                                    file.begin() + long(dataEnd(k)));
    };
    // Luma DC, then the blue chroma's AC terms before its DC term (libjpeg
    // warns and decodes), then a new second quantiser, then the rest.
    std::vector<uint8_t> moved(file.begin(), file.begin() + long(scans[0]));
    std::vector<uint8_t> dqt = {0xFF, 0xDB, 0x00, 67, 0x01};
    for (int k = 0; k < 64; ++k) dqt.push_back(uint8_t(50 + k));
    for (const std::vector<uint8_t>& piece : {part(0), part(3), dqt, part(1), part(2), part(4), part(5)})
        moved.insert(moved.end(), piece.begin(), piece.end());
    moved.insert(moved.end(), {0xFF, 0xD9});
    int w = 0, h = 0;
    const std::vector<uint8_t> expected = WholeFileAt(moved, 8, &w, &h);
    ExpectReducedRead(moved, {4, 4}, 8, expected);
}

// The DC terms kept alone count against the decoder's memory: a file that
// declares a huge picture is too large for a memory the store exceeds,
// before any scan is decoded (not a cut file once the data run out).
TEST_F(ReducedRead, DcTermsKeptAloneCountAgainstTheDecoderMemory) {
    Encoding e;
    e.components = 1;
    std::vector<uint8_t> v = Encode(e);
    size_t sof = 2;
    while (sof + 1 < v.size() && !(v[sof] == 0xFF && v[sof + 1] == 0xC2)) ++sof;
    ASSERT_LT(sof + 9, v.size());
    for (size_t at : {sof + 5, sof + 7}) {  // 16000 x 16000: 8 MB of DC terms, a 4 MB image at 1/8
        v[at] = 16000 >> 8;
        v[at + 1] = 16000 & 0xFF;
    }
    const std::string path = Store(v);
    Settings thumb{0, 1, {100, 100}};
    Dib d;
    DibReadRequest request;
    PmFile_SetLastError(0);
    const pmio::JpegScanCounts before = pmio::JpegScan_Counts();
    PmHeap_FailAbove(6u << 20);
    const int r = Read(path, &thumb, &d, &request);
    PmHeap_FailAbove(0);
    const pmio::JpegScanCounts after = pmio::JpegScan_Counts();
    EXPECT_EQ(request.Reduction, 8u);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(PmFile_LastError(), PmFile_NoMemoryError());
    EXPECT_EQ(after.progressiveScans, before.progressiveScans);
    EXPECT_EQ(after.abandoned, before.abandoned);
}

namespace {

// Every JPEG under the shared test images and bench photos, by extension.
std::vector<std::string> SharedJpegFiles() {
    std::vector<std::string> out;
    for (const char* folder : {"testimages", "bench-photos"}) {
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(pmtest::Join(pmtest::SharedDir(), folder), ec)) {
            std::string ext = entry.path().extension().string();
            for (char& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            if (entry.is_regular_file(ec) && (ext == ".jpg" || ext == ".jpeg")) out.push_back(entry.path().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

#ifndef _WIN32
std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

// The exit code of a shell command, -1 when it did not end normally.
int RunShell(const std::string& command) {
    int status = std::system((command + " 2>/dev/null").c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

// The public check of reduced reads: pmimg's read at 1/N is djpeg's at
// -scale 1/N with its default options, byte for byte, on every JPEG at
// hand. A file djpeg refuses fails; one it decodes with a warning (cut or
// damaged data) either fails or gives djpeg's pixels.
TEST(ReducedReadCheck, EveryJpegReadsAsDjpegAtEachScale) {
#ifdef _WIN32
    GTEST_SKIP() << "djpeg and pmimg run natively";
#else
    PM_SKIP_WITHOUT_SHARED();
    const std::string pmimg = pmtest::Join(pmtest::BinaryDir(), "tools/pmimg");
    if (!pmtest::FileExists(pmimg) || RunShell("command -v djpeg >/dev/null") != 0) GTEST_SKIP() << "no djpeg or pmimg";
    pmtest::TempDir dir;
    const std::string ours = dir / "pmimg.pnm", theirs = dir / "djpeg.pnm";
    int same = 0, failed = 0;
    for (const std::string& path : SharedJpegFiles()) {
        for (int n : {2, 4, 8}) {
            SCOPED_TRACE(testing::Message() << path << " 1/" << n);
            std::remove(ours.c_str());
            const int reference = RunShell("djpeg -scale 1/" + std::to_string(n) + " " + Quoted(path) + " >" + Quoted(theirs));
            const int read =
                RunShell(Quoted(pmimg) + " convert " + Quoted(path) + " " + Quoted(ours) + " --scale " + std::to_string(n));
            if (reference == 1 || read != 0) {
                EXPECT_NE(reference, 0) << "djpeg decodes it without a warning";
                EXPECT_NE(read, 0) << "djpeg refuses it";
                ++failed;
                continue;
            }
            std::vector<uint8_t> a, b;
            ASSERT_TRUE(pmtest::ReadWholeFile(ours, &a));
            ASSERT_TRUE(pmtest::ReadWholeFile(theirs, &b));
            EXPECT_TRUE(a == b) << "pixels differ";
            same += a == b;
        }
    }
    EXPECT_GT(same, 0);
    std::printf("%d reads as djpeg's, %d failed as djpeg's\n", same, failed);
#endif
}

// The bench photos are what thumbnails are mostly made of: at 1/8 each one
// goes through the scan decoder whole, and a progressive one decodes fewer
// scans than it holds (those of terms the IDCT never reads are left out).
TEST(ReducedReadCheck, BenchPhotosTakeTheFastPath) {
    PM_SKIP_WITHOUT_SHARED();
    int photos = 0;
    for (const std::string& path : SharedJpegFiles()) {
        if (path.find("bench-photos") == std::string::npos) continue;
        SCOPED_TRACE(path);
        std::vector<uint8_t> file;
        ASSERT_TRUE(pmtest::ReadWholeFile(path, &file));
        size_t eoi = 0;
        const size_t scans = ScanStarts(file, &eoi).size();
        const pmio::JpegScanCounts before = pmio::JpegScan_Counts();
        DibIOOptions info;
        DibIO_GetDefaultOptions(kTypeJpeg, &info);
        pmio::DibHolder dib;
        ASSERT_GT(pmio::JpegReadMemoryAt(file.data(), file.size(), 8, &info, &dib), 0);
        const pmio::JpegScanCounts after = pmio::JpegScan_Counts();
        EXPECT_EQ(after.taken, before.taken + 1);
        EXPECT_EQ(after.abandoned, before.abandoned);
        if (info.Jpeg.Progressive == 0) {
            EXPECT_LT(after.progressiveScans - before.progressiveScans, scans);
        }
        ++photos;
    }
    EXPECT_GT(photos, 0);
}
