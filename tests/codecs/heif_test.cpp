// The HEIF/AVIF reader's own decisions: identification by brand, the limits
// read from the box structure, the stored thumbnail for small outputs, the
// profile made from nclx colours, and the camera data it hands on. Files are
// made with Debian's encoders at test time (skipped without them).
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibio/dibio_heif.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace codectest;

namespace {

std::vector<uint8_t> Box(const char* type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> v;
    uint32_t n = uint32_t(8 + body.size());
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(n >> s));
    v.insert(v.end(), type, type + 4);
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

std::vector<uint8_t> Ftyp(const char* major, std::vector<const char*> compatible) {
    std::vector<uint8_t> body(major, major + 4);
    body.insert(body.end(), 4, 0);
    for (const char* c : compatible) body.insert(body.end(), c, c + 4);
    return Box("ftyp", body);
}

int Identify(const std::vector<uint8_t>& head) {
    std::vector<uint8_t> padded = head;
    padded.resize(kIdentifyHeadBytes, 0);
    return ImgRead_IdentifyBytes(padded.data(), static_cast<unsigned long>(padded.size()));
}

TEST(HeifTypes, ListedNamedAndFoundByExtensionAndBrand) {
    int types[32];
    int n = ImgKit_ListImageTypes(16, 32, types);
    ASSERT_GE(n, 8);
    EXPECT_EQ(types[6], kTypeHeif);
    EXPECT_EQ(types[7], kTypeAvif);
    EXPECT_STREQ(ImgKit_GetTypeName(kTypeHeif, 2), ".heic");
    EXPECT_STREQ(ImgKit_GetTypeName(kTypeAvif, 2), ".avif");
    int written[32];
    int w = ImgKit_ListImageTypes(17, 32, written);
    for (int i = 0; i < w; ++i) EXPECT_TRUE(written[i] != kTypeHeif && written[i] != kTypeAvif);

    struct { const char* name; int type; } names[] = {
        {"a.heic", kTypeHeif}, {"A.HEIF", kTypeHeif}, {"x\\b.hif", kTypeHeif}, {"c.avif", kTypeAvif},
        {"d.AVIFS", kTypeAvif}, {"e.heics", kTypeNone}, {"heic", kTypeNone},
    };
    for (const auto& r : names) EXPECT_EQ(ImgRead_IdentifyFile(r.name, 0, 2, 0), r.type) << r.name;

    struct { std::vector<uint8_t> head; int type; const char* what; } brands[] = {
        {Ftyp("heic", {"mif1", "heic"}), kTypeHeif, "phone HEIC"},
        {Ftyp("mif1", {"mif1", "heic"}), kTypeHeif, "mif1 major, heic compatible"},
        {Ftyp("avif", {"mif1", "avif", "miaf"}), kTypeAvif, "AVIF"},
        {Ftyp("mif1", {"mif1", "miaf", "avif"}), kTypeAvif, "mif1 major, avif compatible"},
        {Ftyp("avis", {"avis", "msf1"}), kTypeAvif, "AVIF sequence"},
        {Ftyp("msf1", {"msf1", "iso8"}), kTypeHeif, "sequence without codec brand"},
        {Ftyp("heic", {"avif"}), kTypeHeif, "major brand decides"},
        {Ftyp("isom", {"isom", "mp41"}), kTypeNone, "MP4 video"},
        {Ftyp("qt  ", {"qt  "}), kTypeNone, "QuickTime"},
    };
    for (const auto& r : brands) EXPECT_EQ(Identify(r.head), r.type) << r.what;
    // A brand in the minor-version field, or past the ftyp box, is no brand.
    std::vector<uint8_t> minor = Ftyp("isom", {"isom"});
    std::memcpy(minor.data() + 12, "heic", 4);
    EXPECT_EQ(Identify(minor), kTypeNone);
    std::vector<uint8_t> after = Ftyp("isom", {"isom"});
    std::vector<uint8_t> next = Box("free", {'h', 'e', 'i', 'c'});
    after.insert(after.end(), next.begin(), next.end());
    EXPECT_EQ(Identify(after), kTypeNone);
}

std::vector<uint8_t> U16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> v;
    for (auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// A meta box declaring `items` items and a primary grid of `tiles` inputs.
std::vector<uint8_t> DeclaringMeta(uint16_t items, uint16_t tiles) {
    std::vector<uint8_t> full{0, 0, 0, 0};
    auto pitm = Box("pitm", Cat({full, U16(1)}));
    auto iinf = Box("iinf", Cat({full, U16(items)}));
    std::vector<uint8_t> dimg = Cat({U16(1), U16(tiles)});
    for (uint16_t i = 0; i < tiles; ++i) dimg = Cat({dimg, U16(uint16_t(2 + i))});
    auto iref = Box("iref", Cat({full, Box("dimg", dimg)}));
    return Cat({Ftyp("heic", {"mif1"}), Box("meta", Cat({full, pitm, iinf, iref}))});
}

TEST(HeifScan, DeclaredItemsAndTilesBeyondTheLimitsAreRefused) {
    struct { uint16_t items, tiles; bool ok; } rows[] = {
        {49, 48, true},
        {uint16_t(pmio::kHeifMaxItems), 48, true},
        {uint16_t(pmio::kHeifMaxItems + 1), 48, false},
        {100, uint16_t(pmio::kHeifMaxTiles), true},
        {100, uint16_t(pmio::kHeifMaxTiles + 1), false},
    };
    for (const auto& r : rows) {
        auto file = DeclaringMeta(r.items, r.tiles);
        pmio::HeifScan scan;
        EXPECT_EQ(pmio::HeifScanLimits(file.data(), file.size(), &scan), r.ok) << r.items << " " << r.tiles;
        EXPECT_EQ(scan.tiles, r.tiles);
        // Cut anywhere, the scan stays inside the bytes (sanitizer build).
        for (size_t cut = 0; cut < file.size(); cut += 7) pmio::HeifScanLimits(file.data(), cut, &scan);
    }
}

std::vector<uint8_t> U32(uint32_t v) { return Cat({U16(uint16_t(v >> 16)), U16(uint16_t(v))}); }

// Bits written most significant first, as AV1 headers are.
std::vector<uint8_t> BitsOf(std::vector<std::pair<uint32_t, int>> fields) {
    std::vector<uint8_t> out;
    int used = 8;
    for (auto [value, count] : fields)
        for (int i = count - 1; i >= 0; --i) {
            if (used == 8) out.push_back(0), used = 0;
            out.back() |= uint8_t(((value >> i) & 1) << (7 - used++));
        }
    return out;
}

// An AV1 sequence header OBU with a reduced (still picture) header.
std::vector<uint8_t> Av1Sequence(uint32_t width, uint32_t height) {
    auto payload = BitsOf({{0, 3}, {1, 1}, {1, 1}, {0, 5}, {15, 4}, {15, 4}, {width - 1, 16}, {height - 1, 16}});
    return Cat({{0x0A, uint8_t(payload.size())}, payload});
}

// A file whose item 1 (of `type`) holds `data`, placed by iloc in mdat.
std::vector<uint8_t> OneItem(const char* type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> full{0, 0, 0, 0};
    auto infe = Box("infe", Cat({{2, 0, 0, 0}, U16(1), U16(0), std::vector<uint8_t>(type, type + 4), {0}}));
    auto iinf = Box("iinf", Cat({full, U16(1), infe}));
    auto head = Cat({Ftyp("avif", {"mif1"}), Box("meta", Cat({full, Box("pitm", Cat({full, U16(1)})), iinf,
                                                               Box("iloc", Cat({full, {0x44, 0x00}, U16(1), U16(1),
                                                                                U16(0), U16(1), U32(0), U32(0)}))}))});
    const uint32_t at = uint32_t(head.size() + 8);
    // The iloc extent is the last eight bytes before mdat: patch offset and length.
    for (int i = 0; i < 4; ++i) head[head.size() - 8 + i] = uint8_t(at >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) head[head.size() - 4 + i] = uint8_t(uint32_t(data.size()) >> (24 - 8 * i));
    return Cat({head, Box("mdat", data)});
}

// A few bytes can make libheif or the AV1 decoder build a picture of a
// gigapixel whatever size the item declares: the scan reads what they will
// make (an 858-byte file with a 29298x29298 grid took 5 GB).
TEST(HeifScan, PicturesTheItemsWillMakeAreRead) {
    struct { const char* type; std::vector<uint8_t> data; uint32_t width, height; } rows[] = {
        {"grid", {0, 0, 1, 1, 0x72, 0x72, 0x72, 0x73}, 0x7272, 0x7273},
        {"grid", Cat({{0, 1, 0, 0}, U32(70000), U32(3)}), 70000, 3},
        {"grid", {0, 1, 0, 0, 1, 1}, 0, 0},  // wide sizes cut short
        {"av01", Av1Sequence(32768, 20000), 32768, 20000},
        {"av01", Cat({{0x12, 0x00}, Av1Sequence(640, 480)}), 640, 480},  // after a temporal delimiter
        {"av01", {0x32, 0x02, 0xAA, 0xBB}, 0, 0},                          // a frame, no sequence header
        {"hvc1", Av1Sequence(32768, 20000), 0, 0},                          // not AV1
    };
    for (const auto& r : rows) {
        auto file = OneItem(r.type, r.data);
        pmio::HeifScan scan;
        EXPECT_TRUE(pmio::HeifScanLimits(file.data(), file.size(), &scan)) << r.type;
        EXPECT_EQ(scan.codedWidth, r.width) << r.type;
        EXPECT_EQ(scan.codedHeight, r.height) << r.type;
        for (size_t cut = 0; cut < file.size(); ++cut) pmio::HeifScanLimits(file.data(), cut, &scan);
    }
    // Files of real encoders: the HEVC parameter sets and the AV1 sequence
    // headers say the sizes that were coded.
    struct { const char* file; uint32_t width, height; } files[] = {
        {"heif-nokia/C002.heic", 1280, 720},
        {"heif-nokia/C007.heic", 2560, 1440},  // a grid (in idat) of four 1280x720 tiles
        {"avif-linku/fox.profile0.10bpc.yuv420.odd-width.avif", 1203, 800},
        {"avif-linku/fox.profile2.12bpc.yuv444.monochrome.avif", 1204, 800},
    };
    for (const auto& f : files) {
        std::vector<uint8_t> data;
        if (pmtest::SharedDir().empty() ||
            !pmtest::ReadWholeFile(pmtest::Join(pmtest::Join(pmtest::SharedDir(), "testimages"), f.file), &data))
            GTEST_SKIP() << "no shared test images";
        pmio::HeifScan scan;
        EXPECT_TRUE(pmio::HeifScanLimits(data.data(), data.size(), &scan)) << f.file;
        EXPECT_EQ(scan.codedWidth, f.width) << f.file;
        EXPECT_EQ(scan.codedHeight, f.height) << f.file;
    }
}

TEST(HeifThumbnail, ServesOnlyTheWholePictureAtLeastTheOutputsSize) {
    struct { PmSize full, thumb, target; bool serves; const char* what; } rows[] = {
        {{4032, 3024}, {320, 240}, {160, 120}, true, "phone thumbnail, small output"},
        {{4032, 3024}, {320, 240}, {320, 240}, false, "exactly the output: coded too coarsely"},
        {{4032, 3024}, {320, 240}, {319, 239}, true, "a little smaller"},
        {{4032, 3024}, {320, 240}, {321, 241}, false, "output larger"},
        {{4032, 3024}, {240, 320}, {100, 75}, false, "turned the other way"},
        {{4032, 3024}, {320, 180}, {100, 56}, false, "cropped to another ratio"},
        {{1203, 799}, {320, 213}, {100, 66}, true, "odd sides, rounded"},
        {{4608, 1976}, {320, 136}, {160, 68}, true, "rounded to even sides"},
        {{4608, 1976}, {320, 134}, {160, 68}, false, "three pixels short: another crop"},
        {{4032, 3024}, {0, 0}, {10, 10}, false, "empty"},
    };
    for (const auto& r : rows) EXPECT_EQ(pmio::HeifThumbnailServes(r.full, r.thumb, r.target), r.serves) << r.what;
}

// The full size a reader reports is the picture's, after the transform
// properties: the batch sizes and turns its output by it.
TEST(HeifRead, FullSizeIsThePicturesAfterCropAndTurn) {
    struct { const char* file; int width, height; } rows[] = {
        {"kimono.rotate90.avif", 722, 1024},
        {"kimono.crop.avif", 385, 330},
        {"kimono.mirror-vertical.rotate270.crop.avif", 385, 330},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> data;
        std::string path = pmtest::Join(pmtest::Join(pmtest::Join(pmtest::SharedDir(), "testimages"), "avif-linku"), r.file);
        if (pmtest::SharedDir().empty() || !pmtest::ReadWholeFile(path, &data)) GTEST_SKIP() << "no shared test images";
        DibReadRequest req;
        std::memset(&req, 0, sizeof req);
        req.Size = sizeof req;
        pmio::DibHolder dib;
        ASSERT_GT(pmio::HeifReadMemory(data.data(), data.size(), &req, nullptr, &dib, nullptr), 0) << r.file;
        EXPECT_EQ(req.FullSize.cx, r.width) << r.file;
        EXPECT_EQ(req.FullSize.cy, r.height) << r.file;
    }
}

// Grid images put together from their tiles, and a picture cropped, turned
// and mirrored, against libheif's own tool's decode of the same file.
TEST(HeifRead, GridsAndTransformsMatchTheReferenceTool) {
    if (pmtest::SharedDir().empty()) GTEST_SKIP() << "no shared test images";
    if (RunTool("command -v heif-convert").empty()) GTEST_SKIP() << "heif-convert missing";
    const std::string dir = pmtest::Join(pmtest::BinaryDir(), "heif_reference_files");
    pmtest::RemoveTree(dir);
    ASSERT_TRUE(pmtest::MakeDir(dir));
    const char* files[] = {"C007.heic", "C022.heic", "MIAF007.heic"};  // 2x2 grid, grid cut to size, clap+irot+imir
    for (const char* f : files) {
        const std::string path = pmtest::Join(pmtest::Join(pmtest::Join(pmtest::SharedDir(), "testimages"), "heif-nokia"), f);
        const std::string ref = pmtest::Join(dir, std::string(f) + ".png");
        std::vector<uint8_t> data;
        ASSERT_TRUE(pmtest::ReadWholeFile(path, &data)) << f;
        ASSERT_FALSE(RunTool("heif-convert " + path + " " + ref + " >/dev/null && echo ok").empty()) << f;
        pmio::DibHolder dib;
        ASSERT_GT(pmio::HeifReadMemory(data.data(), data.size(), nullptr, nullptr, &dib, nullptr), 0) << f;
        Dib got, want;
        dib.Release(&got.h, &got.b);
        // With more than one image in the file the tool writes them all,
        // numbered; the primary is the one of the picture's size.
        for (int i = 0; i <= 9 && !want.h; ++i) {
            Dib candidate;
            const std::string name = i == 0 ? ref : pmtest::Join(dir, std::string(f) + "-" + std::to_string(i) + ".png");
            if (ReadImage(name, kTypePng, &candidate) > 0 && candidate.h->biWidth == got.h->biWidth &&
                candidate.h->biHeight == got.h->biHeight)
                std::swap(want.h, candidate.h), std::swap(want.b, candidate.b);
        }
        ASSERT_NE(want.h, nullptr) << f << ": no reference of the picture's size";
        const std::vector<uint32_t> a = Colours(got.h, got.b), b = Colours(want.h, want.b);
        ASSERT_EQ(got.h->biWidth, want.h->biWidth) << f;
        ASSERT_EQ(a.size(), b.size()) << f;
        int worst = 0;
        double total = 0;
        for (size_t k = 0; k < a.size(); ++k) {
            for (int s = 0; s < 24; s += 8) {
                int d = std::abs(int((a[k] >> s) & 255) - int((b[k] >> s) & 255));
                worst = std::max(worst, d);
                total += d;
            }
        }
        EXPECT_LE(total / (3.0 * double(a.size())), 0.5) << f;
        EXPECT_LE(worst, 4) << f;
    }
    pmtest::RemoveTree(dir);
}

// Files made with Debian's encoders in a folder of the test's own.
class HeifFiles : public testing::Test {
protected:
    void SetUp() override {
        if (RunTool("command -v heif-enc && command -v avifenc && command -v convert-im6.q16").empty())
            GTEST_SKIP() << "heif-enc, avifenc or ImageMagick missing";
        // One folder a test: ctest runs the tests of this fixture side by side.
        dir_ = pmtest::Join(pmtest::BinaryDir(),
                            std::string("heif_test_files_") + testing::UnitTest::GetInstance()->current_test_info()->name());
        pmtest::RemoveTree(dir_);
        ASSERT_TRUE(pmtest::MakeDir(dir_));
        png_ = pmtest::Join(dir_, "in.png");
        ASSERT_FALSE(RunTool("convert-im6.q16 -size 640x480 gradient:orange-navy -swirl 90 " + png_ + " && echo ok")
                         .empty());
    }
    void TearDown() override {
        if (!dir_.empty()) pmtest::RemoveTree(dir_);
    }
    std::string Make(const std::string& name, const std::string& command) {
        std::string out = pmtest::Join(dir_, name);
        EXPECT_FALSE(RunTool(command + " " + out + " >/dev/null && echo ok").empty()) << command;
        return out;
    }
    int Read(const std::string& path, DibReadRequest* request, DibMetadata* meta, Dib* d) {
        std::vector<uint8_t> data;
        if (!pmtest::ReadWholeFile(path, &data)) return -1;
        pmio::DibHolder dib;
        int r = pmio::HeifReadMemory(data.data(), data.size(), request, nullptr, &dib, meta);
        if (r > 0) dib.Release(&d->h, &d->b);
        return r;
    }
    std::string dir_, png_;
};

PmSize g_target;
int FixedTarget(void*, const PmSize*, PmSize* target) {
    *target = g_target;
    return 1;
}

TEST_F(HeifFiles, StoredThumbnailServesSmallOutputsOnly) {
    std::string heic = Make("t.heic", "heif-enc -q 80 -t 96 " + png_ + " -o");
    struct { PmSize target; int width; bool whole; } rows[] = {
        {{80, 60}, 96, true},
        {{95, 71}, 96, true},
        {{96, 72}, 640, false},
        {{200, 150}, 640, false},
    };
    for (const auto& r : rows) {
        g_target = r.target;
        DibReadRequest req;
        std::memset(&req, 0, sizeof req);
        req.Size = sizeof req;
        req.TargetSize = FixedTarget;
        Dib d;
        ASSERT_GT(Read(heic, &req, nullptr, &d), 0);
        EXPECT_EQ(d.h->biWidth, r.width);
        EXPECT_EQ(req.FullSize.cx, 640);
        EXPECT_EQ(req.FullSize.cy, 480);
        EXPECT_EQ(req.WholePicture != 0, r.whole);
        EXPECT_EQ(req.Reduction > 1, r.whole);
    }
}

TEST_F(HeifFiles, NclxColoursOtherThanSrgbBecomeAProfile) {
    struct { const char* cicp; bool profile; } rows[] = {
        {"1/13/6", false},  // sRGB
        {"2/2/6", false},   // unspecified
        {"12/13/6", true},  // Display P3
        {"9/13/9", true},   // BT.2020 primaries
        {"1/16/9", false},  // PQ: no SDR profile for it
    };
    int i = 0;
    for (const auto& r : rows) {
        std::string avif = Make("c" + std::to_string(i++) + ".avif",
                                std::string("avifenc -s 10 --cicp ") + r.cicp + " " + png_);
        DibMetadata meta;
        Dib d;
        ASSERT_GT(Read(avif, nullptr, &meta, &d), 0) << r.cicp;
        EXPECT_EQ(!meta.icc.empty(), r.profile) << r.cicp;
        if (r.profile) {
            EXPECT_TRUE(Color_ProfileUsable(meta.icc.data(), meta.icc.size())) << r.cicp;
        }
    }
}

// libheif hands on the luma of a grey image as coded; a limited-range one
// would show 16 for black and 235 for white.
TEST_F(HeifFiles, GreyInLimitedRangeIsExpandedToFullRange) {
    std::string grey = pmtest::Join(dir_, "grey.png");
    ASSERT_FALSE(RunTool("convert-im6.q16 -size 256x64 gradient:black-white -rotate 90 -depth 8 " + grey + " && echo ok")
                     .empty());
    Dib src;
    ASSERT_GT(ReadImage(grey, kTypePng, &src), 0);
    const std::vector<uint32_t> want = Colours(src.h, src.b);
    struct { const char* range; int depth; } rows[] = {{"limited", 8}, {"limited", 10}, {"full", 8}, {"full", 12}};
    int i = 0;
    for (const auto& r : rows) {
        std::string avif = Make("g" + std::to_string(i++) + ".avif",
                                std::string("avifenc -s 10 --min 0 --max 0 -y 400 -r ") + r.range + " -d " +
                                    std::to_string(r.depth) + " " + grey);
        Dib d;
        ASSERT_GT(Read(avif, nullptr, nullptr, &d), 0) << r.range << r.depth;
        ASSERT_EQ(d.h->biBitCount, 8);
        const std::vector<uint32_t> got = Colours(d.h, d.b);
        ASSERT_EQ(got.size(), want.size());
        int worst = 0;
        for (size_t k = 0; k < got.size(); ++k)
            worst = std::max(worst, std::abs(int(got[k] & 255) - int(want[k] & 255)));
        EXPECT_LE(worst, 3) << r.range << " " << r.depth;
    }
}

TEST_F(HeifFiles, ExifKeptButItsOrientationNotReportedAgain) {
    // A JPEG turned by EXIF orientation 6, made by our own writer.
    const uint8_t exif[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    Dib src;
    MakePattern(64, 48, 24, &src);
    DibMetadata in;
    in.exif.assign(exif, exif + sizeof exif);
    std::string jpg = pmtest::Join(dir_, "turned.jpg");
    PmFileHandle f = PmFile_CreateWrite(jpg.c_str());
    ASSERT_NE(f, nullptr);
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeJpeg, &opt);
    EXPECT_GT(DibIO_WriteMeta(0, f, kTypeJpeg, &opt, &in, src.h, src.b), 0);
    PmFile_Close(f);
    std::string heic = Make("turned.heic", "heif-enc -q 80 " + jpg + " -o");
    DibMetadata meta;
    meta.orientation = 5;
    Dib d;
    ASSERT_GT(Read(heic, nullptr, &meta, &d), 0);
    ASSERT_FALSE(meta.exif.empty());
    EXPECT_EQ(std::memcmp(meta.exif.data(), "II*", 3), 0);
    EXPECT_EQ(meta.orientation, 0);
}

}  // namespace
