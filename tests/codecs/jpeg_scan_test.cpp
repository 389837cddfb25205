// The scan decoder of reduced JPEG reads: every file it takes decodes to
// libjpeg's own pixels at the same scale, and every file it gives back ends
// as libjpeg alone ends it (failed, or decoded with its guesses).
#include "codec_support.h"
#include "common/testsupport.h"
#include "makerlibs/pmdibio/dibio_jpegscan.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <jpeglib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace codectest;

namespace {

struct Encoding {
    int width = 64, height = 48;
    int components = 3;  // 1 = grey, 4 = CMYK
    int hSamp = 2, vSamp = 2;  // of the first component; the others 1x1
    int quality = 90;
    int restartMcus = 0;
    bool optimize = false;  // tables of the image's own statistics
    bool progressive = false, arithmetic = false, rgb = false, scanPerComponent = false;
    const jpeg_scan_info* script = nullptr;  // progressive: scans of its own
    int scriptScans = 0;
    // Grey with a little noise: most DC differences are 0, and the AC terms
    // vary the codes' lengths (and so where the bits stand at each code).
    bool nearlyFlat = false;
    // A DC table whose code for a difference of 0 is 14 bits long, longer
    // than the decoder's window (legal; hand-made tables have such codes).
    bool longDcZero = false;
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
    c.in_color_space = e.components == 1 ? JCS_GRAYSCALE : e.components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    if (e.rgb) jpeg_set_colorspace(&c, JCS_RGB);
    jpeg_set_quality(&c, e.quality, TRUE);
    if (e.components == 3) {
        c.comp_info[0].h_samp_factor = e.hSamp;
        c.comp_info[0].v_samp_factor = e.vSamp;
        for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    }
    c.restart_interval = unsigned(e.restartMcus);
    c.optimize_coding = e.optimize ? TRUE : FALSE;
    c.arith_code = e.arithmetic ? TRUE : FALSE;
    if (e.progressive) jpeg_simple_progression(&c);
    jpeg_scan_info perComponent[3] = {{1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
    if (e.scanPerComponent) {
        c.scan_info = perComponent;
        c.num_scans = 3;
    }
    if (e.script) {
        c.scan_info = e.script;
        c.num_scans = e.scriptScans;
    }
    if (e.longDcZero) {
        // Differences of 1-11 bits on codes of 2-12 bits, 0 on 14 bits.
        JHUFF_TBL* t = c.dc_huff_tbl_ptrs[0];
        std::memset(t->bits, 0, sizeof t->bits);
        for (int l = 2; l <= 12; ++l) t->bits[l] = 1;
        t->bits[14] = 1;
        for (int i = 0; i < 11; ++i) t->huffval[i] = UINT8(i + 1);
        t->huffval[11] = 0;
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(e.width) * size_t(e.components));
    while (c.next_scanline < c.image_height) {
        int y = int(c.next_scanline);
        for (int x = 0; x < e.width; ++x)
            for (int k = 0; k < e.components; ++k)
                row[size_t(x * e.components + k)] =
                    e.nearlyFlat ? uint8_t(125 + ((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) >> 13 & 7))
                                 : codectest::DetailedTexture(x, y, k);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    return out;
}

struct JumpErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};
void JumpOut(j_common_ptr c) { longjmp(reinterpret_cast<JumpErrors*>(c->err)->jump, 1); }
void Silent(j_common_ptr) {}

struct Decoded {
    bool ok = false, taken = false, abandoned = false;
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // BGR or grey, rows top first
};

// libjpeg's decode of `file` at 1/scale with the reader's output colours,
// its entropy decoding done by the scan decoder when `scan` (and it takes
// the scan). No C++ object lives in the frames the error jump leaves.
void DecodeAt(const std::vector<uint8_t>& file, int scale, bool scan, Decoded* out) {
    *out = Decoded{};
    jpeg_decompress_struct c;
    JumpErrors err;
    c.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOut;
    err.pub.output_message = Silent;
    jpeg_create_decompress(&c);
    pmio::JpegScan* volatile taken = nullptr;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&c);
        pmio::JpegScan_Free(taken);
        return;
    }
    jpeg_mem_src(&c, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&c, TRUE);
    c.scale_num = 1;
    c.scale_denom = unsigned(scale);
    c.out_color_space = c.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE
                        : c.num_components == 4             ? JCS_CMYK
                                                            : JCS_EXT_BGR;
    if (scan && c.progressive_mode) taken = pmio::JpegScan_TakeProgressive(&c);
    if (!jpeg_start_decompress(&c)) {
        out->taken = taken != nullptr;
        out->abandoned = pmio::JpegScan_Abandoned(taken);
        jpeg_destroy_decompress(&c);
        pmio::JpegScan_Free(taken);
        return;
    }
    if (scan && !c.progressive_mode) taken = pmio::JpegScan_Take(&c, file.data(), file.size());
    out->taken = taken != nullptr;
    out->width = int(c.output_width);
    out->height = int(c.output_height);
    const size_t rowBytes = size_t(c.output_width) * size_t(c.output_components);
    out->pixels.assign(rowBytes * c.output_height, 0);
    bool complete = true;
    while (c.output_scanline < c.output_height) {
        JSAMPROW r = out->pixels.data() + rowBytes * c.output_scanline;
        if (jpeg_read_scanlines(&c, &r, 1) != 1) {
            complete = false;
            break;
        }
    }
    out->abandoned = pmio::JpegScan_Abandoned(taken);
    out->ok = complete;
    jpeg_destroy_decompress(&c);
    pmio::JpegScan_Free(taken);
}

// Takes the scan and gives libjpeg's pixels.
void ExpectTakenAndEqual(const std::vector<uint8_t>& file, int scale) {
    Decoded plain, fast;
    DecodeAt(file, scale, false, &plain);
    DecodeAt(file, scale, true, &fast);
    ASSERT_TRUE(plain.ok);
    EXPECT_TRUE(fast.taken);
    EXPECT_FALSE(fast.abandoned);
    ASSERT_TRUE(fast.ok);
    ASSERT_EQ(fast.width, plain.width);
    ASSERT_EQ(fast.height, plain.height);
    EXPECT_TRUE(fast.pixels == plain.pixels);
}

struct Layout {
    const char* name;
    int components, h, v;
};
constexpr Layout kLayouts[] = {
    {"4:4:4", 3, 1, 1}, {"4:2:2", 3, 2, 1}, {"4:2:0", 3, 2, 2}, {"4:4:0", 3, 1, 2}, {"grey", 1, 1, 1}};

// The encoding of a test image of `l` at the given size, restart interval
// and quality; at quality 100 with tables of the image's own statistics,
// which have long codes for what is rare, no code for what is absent, and
// in progressive scans code runs of blocks that end their band early.
Encoding LayoutEncoding(const Layout& l, int width, int height, int restart, int quality) {
    Encoding e;
    e.width = width;
    e.height = height;
    e.components = l.components;
    e.hSamp = l.h;
    e.vSamp = l.v;
    e.restartMcus = restart;
    e.quality = quality;
    e.optimize = quality == 100;
    return e;
}

// Offsets of the first bytes of the scans' coded data.
std::vector<size_t> ScanDataStarts(const std::vector<uint8_t>& f) {
    std::vector<size_t> at;
    for (size_t i = 2; i + 3 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xDA) at.push_back(i + 2 + size_t(f[i + 2] << 8 | f[i + 3]));
    return at;
}

}  // namespace

TEST(JpegScan, MatchesLibjpegForEverySamplingSizeAndRestartInterval) {
    // Sizes of one pixel, of partial MCUs each way and of whole ones; 1/8
    // reads the DC terms of the luma (and of chroma but at 4:2:0, whose
    // 2x2 IDCT reads some AC terms), 1/4 reads some or nearly all.
    const int sizes[][2] = {{1, 1}, {7, 5}, {17, 9}, {32, 32}, {203, 157}};
    for (const Layout& l : kLayouts) {
        for (const auto& size : sizes) {
            for (int restart : {0, 1, 3}) {
                for (int quality : {75, 100}) {
                    std::vector<uint8_t> file = Encode(LayoutEncoding(l, size[0], size[1], restart, quality));
                    for (int scale : {8, 4}) {
                        SCOPED_TRACE(testing::Message() << l.name << " " << size[0] << "x" << size[1] << " restart "
                                                        << restart << " quality " << quality << " 1/" << scale);
                        ExpectTakenAndEqual(file, scale);
                    }
                }
            }
        }
    }
}

// DC codes longer than the window take the slow lookup, which refills
// twice around the code; with stuffed bytes in the data nearby a refill
// once came to hold a whole word of bits, and the next one shifted by the
// word's width and read backwards. Nearly flat images code most blocks'
// DC difference of 0 with the long code.
TEST(JpegScan, LongDcCodesNearStuffedBytesMatchLibjpeg) {
    for (bool progressive : {false, true}) {
        for (int components : {1, 3}) {
            Encoding e;
            e.width = 203;
            e.height = 157;
            e.components = components;
            e.nearlyFlat = true;
            e.longDcZero = true;
            e.progressive = progressive;
            const std::vector<uint8_t> file = Encode(e);
            for (int scale : {8, 4}) {
                SCOPED_TRACE(testing::Message() << (progressive ? "progressive " : "sequential ") << components
                                                << " components 1/" << scale);
                ExpectTakenAndEqual(file, scale);
            }
        }
    }
}

TEST(JpegScan, ProgressiveScansMatchLibjpegAtEveryScale) {
    // Besides the usual script: bands split three ways, three refinements
    // of the AC terms (one of them in two bands), and the DC terms refined
    // twice, one component at a time.
    const jpeg_scan_info grey[] = {{1, {0}, 0, 0, 0, 2},  {1, {0}, 1, 2, 0, 3},  {1, {0}, 3, 20, 0, 3},
                                   {1, {0}, 21, 63, 0, 3}, {1, {0}, 1, 63, 3, 2}, {1, {0}, 0, 0, 2, 1},
                                   {1, {0}, 1, 30, 2, 1},  {1, {0}, 31, 63, 2, 1}, {1, {0}, 0, 0, 1, 0},
                                   {1, {0}, 1, 63, 1, 0}};
    const jpeg_scan_info colour[] = {{1, {0}, 0, 0, 0, 1},  {2, {1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 9, 0, 2},
                                     {1, {2}, 1, 63, 0, 1}, {1, {1}, 1, 63, 0, 0},   {1, {0}, 10, 63, 0, 2},
                                     {1, {0}, 1, 63, 2, 1}, {3, {0, 1, 2}, 0, 0, 1, 0}, {1, {2}, 1, 63, 1, 0},
                                     {1, {0}, 1, 63, 1, 0}};
    const int sizes[][2] = {{1, 1}, {7, 5}, {17, 9}, {203, 157}};
    const unsigned long scansBefore = pmio::JpegScan_Counts().progressiveScans;
    unsigned long scansRead = 0;
    for (const Layout& l : kLayouts) {
        for (bool ownScript : {false, true}) {
            for (const auto& size : sizes) {
                for (int restart : {0, 2}) {
                    for (int quality : {75, 100}) {
                        Encoding e = LayoutEncoding(l, size[0], size[1], restart, quality);
                        e.progressive = true;
                        if (ownScript) {
                            e.script = l.components == 1 ? grey : colour;
                            e.scriptScans = 10;
                        }
                        std::vector<uint8_t> file = Encode(e);
                        scansRead += 4 * ScanDataStarts(file).size();
                        for (int scale : {8, 4, 2, 1}) {
                            SCOPED_TRACE(testing::Message() << l.name << (ownScript ? " own" : " usual") << " script "
                                                            << size[0] << "x" << size[1] << " restart " << restart
                                                            << " quality " << quality << " 1/" << scale);
                            ExpectTakenAndEqual(file, scale);
                        }
                    }
                }
            }
        }
    }
    // Every scan of every read went through it.
    EXPECT_EQ(pmio::JpegScan_Counts().progressiveScans - scansBefore, scansRead);
}

TEST(JpegScan, LeavesOtherCodingsToLibjpeg) {
    struct Case {
        const char* name;
        Encoding e;
    };
    Encoding progressive, arithmetic, cmyk, rgb, perComponent, wide;
    progressive.progressive = true;
    progressive.arithmetic = true;
    arithmetic.arithmetic = true;
    cmyk.components = 4;
    rgb.rgb = true;
    perComponent.scanPerComponent = true;
    wide.hSamp = 4;
    wide.vSamp = 1;
    const Case cases[] = {{"arithmetic progressive", progressive}, {"arithmetic", arithmetic}, {"CMYK", cmyk},
                          {"RGB", rgb},                 {"one scan per component", perComponent},
                          {"4:1:1", wide}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<uint8_t> file = Encode(k.e);
        Decoded d;
        DecodeAt(file, 8, true, &d);
        EXPECT_TRUE(d.ok);
        EXPECT_FALSE(d.taken);
    }
}

namespace {

int TargetOf(void* context, const PmSize* full, PmSize* target) {
    const PmSize* box = static_cast<const PmSize*>(context);
    // Fit into the box, as a thumbnail does.
    if (int64_t(full->cx) * box->cy >= int64_t(full->cy) * box->cx) {
        target->cx = box->cx;
        target->cy = int32_t(std::max<int64_t>(1, int64_t(full->cy) * box->cx / full->cx));
    } else {
        target->cy = box->cy;
        target->cx = int32_t(std::max<int64_t>(1, int64_t(full->cx) * box->cy / full->cy));
    }
    return 1;
}

struct ReadResult {
    int depth = 0;
    unsigned reduction = 0;
    std::vector<uint8_t> bits;
};

// The reader's outcome for `file` with a thumbnail request for `box`.
ReadResult ReadThumb(const pmtest::TempDir& dir, const std::vector<uint8_t>& file, PmSize box, bool scan) {
    std::string path = dir / "in.jpg";
    EXPECT_TRUE(pmtest::WriteWholeFile(path, file.data(), file.size()));
    ReadResult r;
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return r;
    DibIOOptions info;
    DibIO_GetDefaultOptions(kTypeJpeg, &info);
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = TargetOf;
    request.Context = &box;
    Dib d;
    pmio::JpegScan_Allow(scan);
    r.depth = DibIO_ReadRequested(f, kTypeJpeg, &request, &info, &d.h, &d.b);
    pmio::JpegScan_Allow(true);
    PmFile_Close(f);
    r.reduction = request.Reduction;
    if (r.depth > 0 && d.h) {
        size_t rows = size_t(d.h->biHeight < 0 ? -d.h->biHeight : d.h->biHeight);
        r.bits.assign(d.b, d.b + size_t(DibCore_GetRowStride(d.h, 0)) * rows);
    }
    return r;
}


}  // namespace

TEST(JpegScan, DamagedFilesEndAsThroughLibjpegAlone) {
    pmtest::TempDir dir;
    Encoding e;
    e.width = 320;
    e.height = 240;
    for (int restart : {0, 1}) {
        e.restartMcus = restart;
        const std::vector<uint8_t> file = Encode(e);
        const std::vector<size_t> starts = ScanDataStarts(file);
        ASSERT_FALSE(starts.empty());
        const size_t start = starts[0], eoi = file.size() - 2;
        ASSERT_LT(start, eoi);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
        for (size_t cut : {start + 1, start + (eoi - start) / 3, eoi - 3, eoi, eoi + 1}) {
            damaged.emplace_back("cut at " + std::to_string(cut), std::vector<uint8_t>(file.begin(), file.begin() + long(cut)));
        }
        // A code no table holds (ones throughout), an end marker in the
        // middle, and garbage before the end marker.
        std::vector<uint8_t> bad = file;
        for (size_t i = start + 100; i < start + 110; ++i) bad[i] = 0xFE;
        damaged.emplace_back("bad code", bad);
        std::vector<uint8_t> early = file;
        early[start + 200] = 0xFF;
        early[start + 201] = 0xD9;
        damaged.emplace_back("early end marker", early);
        // A fill byte before a stuffed zero, which libjpeg decodes its own
        // way when it has no restart markers to mind.
        std::vector<uint8_t> fill = file;
        for (size_t i = start + 100; i + 1 < eoi; ++i) {
            if (file[i] == 0xFF && file[i + 1] == 0) {
                fill.insert(fill.begin() + long(i), 0xFF);
                break;
            }
        }
        damaged.emplace_back("fill byte before a stuffed zero", fill);
        std::vector<uint8_t> trailing(file.begin(), file.end() - 2);
        trailing.insert(trailing.end(), {0x12, 0x34, 0xFF, 0xD9});
        damaged.emplace_back("bytes before the end marker", trailing);
        if (restart) {
            // Restart markers out of order, and one lost.
            std::vector<uint8_t> swapped = file, lost = file;
            for (size_t i = start, seen = 0; i + 1 < eoi; ++i) {
                if (file[i] != 0xFF || file[i + 1] < 0xD0 || file[i + 1] > 0xD7) continue;
                if (++seen == 5) swapped[i + 1] = uint8_t(0xD0 + (file[i + 1] - 0xD0 + 1) % 8);
                if (seen == 9) {
                    lost.erase(lost.begin() + long(i), lost.begin() + long(i) + 2);
                    break;
                }
            }
            damaged.emplace_back("restart marker out of order", swapped);
            damaged.emplace_back("restart marker lost", lost);
        }
        const unsigned long abandonedBefore = pmio::JpegScan_Counts().abandoned;
        for (const auto& [name, bytes] : damaged) {
            for (PmSize box : {PmSize{8, 8}, PmSize{16, 16}}) {
                SCOPED_TRACE(testing::Message() << name << (restart ? ", restart markers" : "") << ", box " << box.cx);
                ReadResult alone = ReadThumb(dir, bytes, box, false);
                ReadResult with = ReadThumb(dir, bytes, box, true);
                EXPECT_EQ(with.depth, alone.depth);
                EXPECT_EQ(with.reduction, alone.reduction);
                EXPECT_TRUE(with.bits == alone.bits);
            }
        }
        EXPECT_GT(pmio::JpegScan_Counts().abandoned, abandonedBefore);
        // The sound file is taken at both scales and read alike.
        for (PmSize box : {PmSize{8, 8}, PmSize{16, 16}}) {
            const unsigned long takenBefore = pmio::JpegScan_Counts().taken;
            ReadResult with = ReadThumb(dir, file, box, true);
            ReadResult alone = ReadThumb(dir, file, box, false);
            EXPECT_EQ(pmio::JpegScan_Counts().taken, takenBefore + 1);
            EXPECT_EQ(with.reduction, box.cx == 8 ? 8u : 4u);
            EXPECT_GT(with.depth, 0);
            EXPECT_TRUE(with.bits == alone.bits);
        }
    }
}

TEST(JpegScan, DamagedProgressiveFilesEndAsThroughLibjpegAlone) {
    pmtest::TempDir dir;
    Encoding e;
    e.width = 160;
    e.height = 120;
    e.progressive = true;
    e.quality = 95;
    e.optimize = true;  // end-of-band runs
    for (int restart : {0, 1}) {
        e.restartMcus = restart;
        const std::vector<uint8_t> file = Encode(e);
        // Where each scan's coded data start.
        const std::vector<size_t> scans = ScanDataStarts(file);
        ASSERT_GE(scans.size(), 6u);
        const size_t eoi = file.size() - 2;
        std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
        // Cuts inside the first scans (DC), an AC scan, and refinements.
        for (size_t k : {size_t(0), size_t(2), scans.size() - 3, scans.size() - 1}) {
            const size_t from = scans[k], to = k + 1 < scans.size() ? scans[k + 1] : eoi;
            damaged.emplace_back("cut in scan " + std::to_string(k),
                                 std::vector<uint8_t>(file.begin(), file.begin() + long(from + (to - from) / 2)));
            // Ones throughout: a code no table holds, or in a refinement
            // nothing but correction bits and new terms of one bit.
            std::vector<uint8_t> bad = file;
            for (size_t i = from + 4; i < from + 12 && i + 2 < to; ++i) bad[i] = 0xFE;
            damaged.emplace_back("bad data in scan " + std::to_string(k), bad);
            // The scan ends early: the next marker comes in its middle.
            std::vector<uint8_t> early = file;
            early[from + (to - from) / 2] = 0xFF;
            early[from + (to - from) / 2 + 1] = 0xD9;
            damaged.emplace_back("end marker in scan " + std::to_string(k), early);
            // Bytes between a scan's data and the next marker, which
            // libjpeg warns of.
            std::vector<uint8_t> extra = file;
            size_t at = to;
            while (at > from && !(extra[at] == 0xFF && extra[at + 1] != 0)) --at;
            extra.insert(extra.begin() + long(at), {0x12, 0x34, 0x56});
            damaged.emplace_back("bytes before the marker after scan " + std::to_string(k), extra);
        }
        if (restart) {
            std::vector<uint8_t> swapped = file;
            for (size_t i = scans.back(), seen = 0; i + 1 < eoi; ++i) {
                if (file[i] != 0xFF || file[i + 1] < 0xD0 || file[i + 1] > 0xD7) continue;
                if (++seen == 3) {
                    swapped[i + 1] = uint8_t(0xD0 + (file[i + 1] - 0xD0 + 1) % 8);
                    break;
                }
            }
            damaged.emplace_back("restart marker out of order in the last scan", swapped);
        }
        const unsigned long abandonedBefore = pmio::JpegScan_Counts().abandoned;
        for (const auto& [name, bytes] : damaged) {
            // 1/8, 1/4 and the whole image.
            for (PmSize box : {PmSize{8, 8}, PmSize{16, 16}, PmSize{400, 400}}) {
                SCOPED_TRACE(testing::Message() << name << (restart ? ", restart markers" : "") << ", box " << box.cx);
                ReadResult alone = ReadThumb(dir, bytes, box, false);
                ReadResult with = ReadThumb(dir, bytes, box, true);
                EXPECT_EQ(with.depth, alone.depth);
                EXPECT_EQ(with.reduction, alone.reduction);
                EXPECT_TRUE(with.bits == alone.bits);
            }
        }
        EXPECT_GT(pmio::JpegScan_Counts().abandoned, abandonedBefore);
        // The sound file: every scan of the whole-image read goes through
        // the scan decoders, and the pixels are libjpeg's.
        const unsigned long scansBefore = pmio::JpegScan_Counts().progressiveScans;
        ReadResult with = ReadThumb(dir, file, PmSize{400, 400}, true);
        EXPECT_EQ(pmio::JpegScan_Counts().progressiveScans - scansBefore, scans.size());
        ReadResult alone = ReadThumb(dir, file, PmSize{400, 400}, false);
        EXPECT_GT(with.depth, 0);
        EXPECT_TRUE(with.bits == alone.bits);
    }
}

namespace {

// JPEGs among the shared test images and the bench photos.
std::vector<std::string> SharedJpegs() {
    std::vector<std::string> out;
    std::string images = pmtest::Join(pmtest::SharedDir(), "testimages");
    std::vector<uint8_t> manifest;
    if (pmtest::ReadWholeFile(pmtest::Join(images, "MANIFEST.tsv"), &manifest)) {
        std::istringstream in(std::string(manifest.begin(), manifest.end()));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string suite, path, format;
            std::getline(fields, suite, '\t');
            std::getline(fields, path, '\t');
            std::getline(fields, format, '\t');
            if (format != "jpeg") continue;
            std::string p = images;
            std::istringstream parts(path);
            for (std::string part; std::getline(parts, part, '/');) p = pmtest::Join(p, part);
            out.push_back(p);
        }
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(pmtest::Join(pmtest::SharedDir(), "bench-photos"), ec))
        if (entry.path().extension() == ".jpg") out.push_back(entry.path().string());
    return out;
}

}  // namespace

TEST(JpegScan, SharedImagesMatchLibjpeg) {
    PM_SKIP_WITHOUT_SHARED();
    int taken = 0;
    for (const std::string& path : SharedJpegs()) {
        std::vector<uint8_t> file;
        ASSERT_TRUE(pmtest::ReadWholeFile(path, &file)) << path;
        for (int scale : {8, 4}) {
            SCOPED_TRACE(testing::Message() << path << " 1/" << scale);
            Decoded fast;
            DecodeAt(file, scale, true, &fast);
            if (!fast.taken || fast.abandoned) continue;
            ++taken;
            Decoded plain;
            DecodeAt(file, scale, false, &plain);
            EXPECT_TRUE(fast.ok);
            EXPECT_TRUE(plain.ok);
            EXPECT_EQ(fast.width, plain.width);
            EXPECT_TRUE(fast.pixels == plain.pixels);
        }
    }
    EXPECT_GT(taken, 0);
}
