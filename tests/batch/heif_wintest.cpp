// HEIF and AVIF files through whole runs: every conformance file the
// manifest says decodes converts with the listed size, every one it says to
// refuse is one read error, the others end one way or the other; thumbnails
// look like thumbnails of the reference decodes; a profile's colours and
// the camera's data reach the outputs.
#include "batch_images.h"
#include "batch_support.h"

#include "entry/extras.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmfile.h"
#include "records/run_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using batchtest::Image;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::Read;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::TempDir;

namespace {

std::string TestImage(const std::string& rel) { return Join(Join(pmtest::SharedDir(), "testimages"), rel); }

RunResult RunWith(ImageConvertParams* p, ImageConvertExtras extras, const std::vector<std::string>& entries) {
    ScopedExtras bind(p, &extras);
    return RunWalk(p, entries);
}

struct Row {
    std::string name, expect;
    int width = 0, height = 0;
};

TEST(BatchHeif, ConformanceFilesConvertAtTheirSizeOrEndInOneError) {
    const std::string shared = pmtest::SharedDir();
    std::vector<uint8_t> manifest;
    if (shared.empty() || !pmtest::ReadWholeFile(Join(Join(shared, "testimages"), "MANIFEST.tsv"), &manifest))
        GTEST_SKIP() << "no shared test images";
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "in"));
    std::istringstream lines(std::string(manifest.begin(), manifest.end()));
    std::string line;
    std::getline(lines, line);
    std::map<std::string, Row> rows;  // by output base name
    int index = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> c;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');) c.push_back(f);
        if (c.size() < 7 || c[3] != "test" || (c[2] != "heif" && c[2] != "avif")) continue;
        std::string rel = c[1];
        for (char& ch : rel)
            if (ch == '/') ch = '\\';
        std::vector<uint8_t> data;
        if (!pmtest::ReadWholeFile(Join(Join(shared, "testimages"), rel), &data)) continue;
        // The file's own extension (.heic, .avif, .avifs) picks its type.
        std::string ext = c[1].substr(c[1].rfind('.'));
        char base[32];
        std::snprintf(base, sizeof base, "f%04d", ++index);
        ASSERT_TRUE(pmtest::WriteWholeFile(Join(dir / "in", base + ext), data.data(), data.size()));
        rows[base] = Row{c[1], c[4], std::atoi(c[5].c_str()), std::atoi(c[6].c_str())};
    }
    ASSERT_GT(rows.size(), 100u);

    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.Resize = 0;
    p.Direction = 0;  // as the file shows it, portrait or landscape
    RunResult r = RunWalk(&p, {dir / "in"});
    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, LONG(rows.size()));
    std::set<std::string> failed;
    for (const auto& e : r.errors) {
        EXPECT_EQ(e.id, kErrRead) << e.name;
        std::string base = e.name.substr(e.name.find_last_of("\\/") + 1);
        base = base.substr(0, base.find('.'));
        EXPECT_TRUE(failed.insert(base).second) << "two entries for " << e.name;
    }
    std::map<std::string, std::string> outputs;  // base name -> path below out
    for (const std::string& f : batchtest::FilesBelow(dir / "out")) {
        std::string base = f.substr(f.find_last_of("\\/") + 1);
        outputs[base.substr(0, base.find('.'))] = f;
    }
    for (const auto& [base, row] : rows) {
        const bool converted = failed.count(base) == 0;
        if (row.expect == "reject") {
            EXPECT_FALSE(converted) << row.name;
        } else if (row.expect == "decode") {
            ASSERT_TRUE(converted) << row.name;
            int w = 0, h = 0;
            ASSERT_TRUE(outputs.count(base)) << row.name;
            ASSERT_TRUE(batchtest::ImageSize(Join(dir / "out", outputs[base]), kTypePng, &w, &h)) << row.name;
            EXPECT_EQ(w, row.width) << row.name;
            EXPECT_EQ(h, row.height) << row.name;
        }
    }
    std::printf("[heif] %zu files, %ld converted, %zu errors\n", rows.size(), long(r.succeeded), r.errors.size());
}

// Each file and the reference decode the manifest gives for it go through
// one run as 96-pixel thumbnails; the two must look alike. The rows cover
// what a reader can get wrong on its own: the crop, turn and mirror of the
// transform properties (also where the stored thumbnail serves the box),
// 10- and 12-bit samples, alpha, video-range samples, the first frame of a
// sequence.
TEST(BatchHeif, ThumbnailsMatchTheReferenceDecodes) {
    const char* files[] = {
        "heif-nokia/MIAF007.heic",  // clap, irot and imir, a stored 128x72 thumbnail
        "heif-nokia/C013.heic",     // clap
        "heif-nokia/multilayer001.heic",
        "avif-linku/kimono.mirror-vertical.rotate270.crop.avif",
        "avif-linku/plum-blossom-small.profile0.10bpc.yuv420.alpha-full.avif",
        "avif-linku/plum-blossom-large.profile2.12bpc.yuv444.alpha-full.avif",
        "avif-linku/star-10bpc-with-alpha.avifs",  // limited range, first of 5 frames
        "avif-linku/star-12bpc.avifs",
    };
    if (pmtest::SharedDir().empty()) GTEST_SKIP() << "no shared test images";
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "in"));
    int index = 0;
    for (const char* f : files) {
        std::string rel = f, ref = rel.substr(0, rel.rfind('.')) + ".ref.png";
        std::vector<uint8_t> data, refData;
        if (!pmtest::ReadWholeFile(TestImage(rel), &data) || !pmtest::ReadWholeFile(TestImage(ref), &refData))
            GTEST_SKIP() << "missing " << rel;
        std::string base = "f" + std::to_string(++index);
        ASSERT_TRUE(pmtest::WriteWholeFile(Join(dir / "in", base + rel.substr(rel.rfind('.'))), data.data(),
                                           data.size()));
        ASSERT_TRUE(pmtest::WriteWholeFile(Join(dir / "in", base + "r.png"), refData.data(), refData.size()));
    }
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.Size = SIZE{96, 96};
    p.Direction = 0;
    RunResult r = RunWith(&p, kDefaultExtras, {dir / "in"});
    ASSERT_EQ(r.succeeded, LONG(2 * std::size(files)));
    for (int i = 1; i <= int(std::size(files)); ++i) {
        const std::string what = files[i - 1], base = Join(Join(r.outputFolder, "in"), "f" + std::to_string(i));
        Image got, want;
        ASSERT_GT(Read(base + ".png", kTypePng, &got), 0) << what;
        ASSERT_GT(Read(base + "r.png", kTypePng, &want), 0) << what;
        ASSERT_EQ(got.width(), want.width()) << what;
        ASSERT_EQ(got.height(), want.height()) << what;
        ASSERT_EQ(got.h->biBitCount, want.h->biBitCount) << what;
        ASSERT_GE(got.h->biBitCount, 24) << what;
        const int bytes = got.width() * got.h->biBitCount / 8;
        int worst = 0;
        double total = 0;
        for (int y = 0; y < got.height(); ++y) {
            for (int x = 0; x < bytes; ++x) {
                int d = std::abs(int(got.Row(y)[x]) - int(want.Row(y)[x]));
                worst = std::max(worst, d);
                total += d;
            }
        }
        const double mean = total / (double(bytes) * got.height());
        EXPECT_LE(mean, 1.0) << what;
        EXPECT_LE(worst, 16) << what;  // an alpha edge, 10 bits to 8 before the zoom or after
        std::printf("[heif-ref] %s %dx%d mean %.3f worst %d\n", what.c_str(), got.width(), got.height(), mean, worst);
    }
}

// The file's ICC profile turns its colour wheel so that red is at twelve
// o'clock; the raw samples have blue there. Converting by the profile is
// the one way to get it right, and switching colour management off must show
// the raw samples (or the check would pass without the profile).
TEST(BatchHeif, IccProfileBringsTheColoursToSrgb) {
    const std::string rel = "avif-linku/red-at-12-oclock-with-color-profile-8bpc.avif";
    std::vector<uint8_t> data;
    if (pmtest::SharedDir().empty() || !pmtest::ReadWholeFile(TestImage(rel), &data))
        GTEST_SKIP() << "no shared test images";
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "in"));
    ASSERT_TRUE(pmtest::WriteWholeFile(Join(dir / "in", "wheel.avif"), data.data(), data.size()));
    for (int manage : {1, 0}) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(manage)), kQuietMode, kTypePng);
        p.Size = SIZE{100, 100};
        ImageConvertExtras x = kDefaultExtras;
        x.ColorManage = manage;
        RunResult r = RunWith(&p, x, {dir / "in"});
        ASSERT_EQ(r.succeeded, 1);
        Image img;
        ASSERT_GT(Read(Join(Join(r.outputFolder, "in"), "wheel.png"), kTypePng, &img), 0);
        ASSERT_EQ(img.width(), 100);
        const uint8_t* top = img.Pixel(50, 9);  // on the ring, at twelve o'clock
        const bool red = top[2] > 200 && top[1] < 80 && top[0] < 140;
        const bool blue = top[0] > 200 && top[2] < 100;
        EXPECT_TRUE(manage ? red : blue) << "colour management " << manage << ": B" << int(top[0]) << " G"
                                          << int(top[1]) << " R" << int(top[2]);
    }
}

// A phone's photo: its pixels are upright as coded, while its EXIF and XMP
// still say orientation 6. Turning by them would turn the picture twice.
// The camera's data reaches every output that keeps it, saying orientation
// 1, the Make intact.
TEST(BatchHeif, CameraDataReachesTheOutputsWithoutTurningThePictureTwice) {
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "in"));
    const std::string fixture = Join(Join(Join(pmtest::SourceDir(), "tests"), "fixtures"), "phone-exif-xmp.heic");
    ASSERT_TRUE(CopyFileA(fixture.c_str(), Join(dir / "in", "phone.heic").c_str(), FALSE)) << fixture;
    struct { int type; const char* ext; bool segments; } outputs[] = {
        {kTypeJpeg, ".jpg", true}, {kTypeTiff, ".tif", true}, {kTypePng, ".png", false}, {kTypeWebp, ".webp", true}};
    for (const auto& o : outputs) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::string(o.ext + 1)), kQuietMode, o.type);
        p.Size = SIZE{48, 48};
        p.Direction = 0;
        ImageConvertExtras x = kDefaultExtras;
        x.KeepMetadata = 1;
        RunResult r = RunWith(&p, x, {dir / "in"});
        ASSERT_EQ(r.succeeded, 1) << o.ext;
        Image img;
        DibMetadata meta;
        ASSERT_GT(Read(Join(Join(r.outputFolder, "in"), std::string("phone") + o.ext), o.type, &img, &meta), 0) << o.ext;
        EXPECT_EQ(img.width(), 48) << o.ext;
        EXPECT_EQ(img.height(), 32) << o.ext;
        const uint8_t* top = img.Pixel(24, 1);
        EXPECT_GT(top[2], 200) << o.ext << ": red stays at the top";
        ExifSummary s = Exif_Inspect(meta.exif.data(), meta.exif.size());
        ASSERT_TRUE(s.valid) << o.ext;
        EXPECT_EQ(s.orientation, 1) << o.ext;
        ExifFields f;
        ASSERT_TRUE(Exif_CollectFields(meta.exif.data(), meta.exif.size(), &f)) << o.ext;
        bool make = false;
        for (const ExifField& e : f.ifd0)
            make |= e.tag == kExifTagMake && std::string(e.value.begin(), e.value.end()).find("Phone") == 0;
        EXPECT_TRUE(make) << o.ext;
        if (!o.segments) continue;
        std::string xmp;
        for (const DibSegment& seg : meta.segments) {
            size_t n = 0;
            if (const uint8_t* packet = Exif_XmpFromApp1(seg.data.data(), seg.data.size(), &n))
                xmp.assign(reinterpret_cast<const char*>(packet), n);
        }
        ASSERT_FALSE(xmp.empty()) << o.ext;
        EXPECT_EQ(xmp.find("Orientation=\"6\""), std::string::npos) << o.ext << ": " << xmp;
    }
}

}  // namespace
