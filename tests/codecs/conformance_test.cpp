// Every test image of ../shared/testimages/MANIFEST.tsv: "decode" files
// decode with the listed size (and number of shown frames for GIFs),
// "reject" files fail cleanly, "either" files may do both but never harm.
// Lossless formats are compared pixel by pixel with the suite's reference
// renderings; GIF frames are composed on the canvas as a viewer shows them.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>

using namespace codectest;

namespace {

struct Entry {
    std::string path, format, expect, notes;
    int width = 0, height = 0, frames = 0;
    std::vector<std::string> references;
    friend void PrintTo(const Entry& e, std::ostream* os) { *os << e.path; }
};

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    if (!s.empty() && s.back() == sep) out.push_back("");
    return out;
}

int TypeOf(const std::string& format) {
    if (format == "bmp") return kTypeBmp;
    if (format == "jpeg") return kTypeJpeg;
    if (format == "tiff") return kTypeTiff;
    if (format == "gif") return kTypeGif;
    if (format == "png") return kTypePng;
    if (format == "pcd") return kTypePhotoCd;
    if (format == "heif") return kTypeHeif;
    if (format == "avif") return kTypeAvif;
    if (format == "webp") return kTypeWebp;
    return kTypeNone;
}

std::string Native(const std::string& relative) {
    std::string p = pmtest::Join(pmtest::SharedDir(), "testimages");
    for (const std::string& part : Split(relative, '/')) p = pmtest::Join(p, part);
    return p;
}

std::vector<Entry> LoadManifest() {
    std::vector<Entry> out;
    if (pmtest::SharedDir().empty()) return out;
    std::vector<uint8_t> data;
    if (!pmtest::ReadWholeFile(Native("MANIFEST.tsv"), &data)) return out;
    std::istringstream in(std::string(data.begin(), data.end()));
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        auto f = Split(line, '\t');
        if (f.size() < 10 || f[3] != "test" || TypeOf(f[2]) == kTypeNone) continue;
        Entry e;
        e.path = f[1];
        e.format = f[2];
        e.expect = f[4];
        e.width = std::atoi(f[5].c_str());
        e.height = std::atoi(f[6].c_str());
        e.frames = std::atoi(f[7].c_str());
        if (f.size() > 10) e.notes = f[10];
        if (!f[9].empty()) e.references = Split(f[9], ';');
        out.push_back(e);
    }
    return out;
}

// A reference rendering as colours: PNG through our reader, or raw RGBA.
bool LoadReference(const std::string& rel, int width, int height, std::vector<uint32_t>* out) {
    if (rel.size() > 5 && rel.compare(rel.size() - 5, 5, ".rgba") == 0) {
        std::vector<uint8_t> raw;
        if (!pmtest::ReadWholeFile(Native(rel), &raw) || raw.size() != size_t(width) * height * 4) return false;
        out->clear();
        for (size_t i = 0; i < raw.size(); i += 4)
            out->push_back(uint32_t(raw[i + 3]) << 24 | uint32_t(raw[i]) << 16 | uint32_t(raw[i + 1]) << 8 | raw[i + 2]);
        return true;
    }
    Dib d;
    if (ReadImage(Native(rel), kTypePng, &d) <= 0) return false;
    if (d.h->biWidth != width || d.h->biHeight != height) return false;
    *out = Colours(d.h, d.b);
    return true;
}

// Reads every frame, composing them; checks each shown frame against its
// reference. Returns the number of shown frames, or -1 when a frame fails.
int WalkGif(const Entry& e, bool compare) {
    PmFileHandle f = PmFile_OpenRead(Native(e.path).c_str());
    if (!f) return -1;
    int images = GifKit_CountFrames(f);
    // Suites count shown frames two ways: every image (most tools), or
    // images joined until one with a delay (browsers). Both come from the
    // same records; the listed count says which one the references follow.
    const bool perImage = e.frames == images;
    GifScreen screen;
    uint32_t loop;
    Dib canvas;
    int shown = 0;
    for (int i = 0; i < images; ++i) {
        GifFrame fr;
        DibPair p{};
        int tr;
        int r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &loop, &tr, &fr, &p)
                       : GifKit_ReadNextFrame(0, f, 0, 1, -1, &screen, &tr, &fr, &p);
        if (r <= 0) {
            PmFile_Close(f);
            return -1;
        }
        Dib frame;
        frame.h = p.header;
        frame.b = p.bits;
        GifFrameControl c;
        GifKit_GetFrameControl(&c);
        if (i == 0 && GifKit_CreateCanvas(&screen, 32, 0, &canvas.h, &canvas.b) <= 0) canvas.Reset();
        if (canvas.h) {
            EXPECT_EQ(GifKit_DrawFrame(&fr, frame.h, frame.b, canvas.h, canvas.b), 1);
        }
        if (perImage || c.DelayTime > 0 || i == images - 1) {
            if (compare && canvas.h && size_t(shown) < e.references.size()) {
                std::vector<uint32_t> ref;
                if (LoadReference(e.references[size_t(shown)], screen.Width, screen.Height, &ref)) {
                    size_t diffs = CountDiffs(Colours(canvas.h, canvas.b), ref);
                    EXPECT_EQ(diffs, 0u) << "shown frame " << shown;
                }
            }
            ++shown;
        }
    }
    PmFile_Close(f);
    return shown;
}

class Conformance : public testing::TestWithParam<Entry> {};

TEST_P(Conformance, DecodesOrRefusesAsListed) {
    const Entry& e = GetParam();
    const std::string path = Native(e.path);
    const int type = TypeOf(e.format);
    const int identified = ImgRead_IdentifyFile(path.c_str(), 0, 0, 0);
    if (e.expect == "decode") {
        EXPECT_EQ(identified, type);
    }
    Dib d;
    int r = ReadImage(path, type, &d);
    if (r > 0) {
        ASSERT_NE(d.h, nullptr);
        // Decoded pixels are read, so a wrong size shows under the sanitizers.
        (void)Colours(d.h, d.b);
        EXPECT_GT(d.h->biWidth, 0);
    } else {
        EXPECT_EQ(d.h, nullptr);
    }
    int shown = 0;
    if (type == kTypeGif && r > 0) shown = WalkGif(e, e.expect == "decode");
    if (e.expect == "reject") {
        EXPECT_TRUE(r <= 0 || shown < 0) << "a file to refuse decoded";
        return;
    }
    if (e.expect != "decode") return;
    ASSERT_GT(r, 0) << "a valid file did not decode";
    if (e.width > 0) {
        EXPECT_EQ(d.h->biWidth, e.width);
        EXPECT_EQ(d.h->biHeight, e.height);
    }
    if (type == kTypeGif && e.frames > 0) {
        EXPECT_EQ(shown, e.frames);
    }
    // Photo CD: the references come from a writer whose luma scale is not
    // the film's, so colours differ by design; the picture and its turn
    // must match (a wrong turn scores below 10 dB).
    if (type == kTypePhotoCd && !e.references.empty()) {
        std::vector<uint32_t> want;
        if (LoadReference(e.references[0], d.h->biWidth, d.h->biHeight, &want)) {
            auto got = Colours(d.h, d.b);
            double se = 0;
            for (size_t i = 0; i < got.size(); ++i)
                for (int sh = 0; sh < 24; sh += 8) {
                    double diff = double((got[i] >> sh) & 255) - double((want[i] >> sh) & 255);
                    se += diff * diff;
                }
            double psnr = 10 * std::log10(255.0 * 255.0 * 3 * double(got.size()) / (se + 1));
            EXPECT_GT(psnr, 14.0);
        }
    }
    // HEIF and AVIF: references are another decoder's 8-bit rendering (deeper
    // samples rounded, grey limited range expanded): within a small
    // difference everywhere, alpha included. Decoders differ on saturated
    // 4:2:0 edges by about 37 dB; a wrong turn, crop, range or channel order
    // scores far below.
    if ((type == kTypeHeif || type == kTypeAvif) && !e.references.empty()) {
        std::vector<uint32_t> want;
        ASSERT_TRUE(LoadReference(e.references[0], d.h->biWidth, d.h->biHeight, &want)) << e.references[0];
        auto got = Colours(d.h, d.b);
        double se = 0;
        int worst = 0;
        const int channels = 4;
        for (size_t i = 0; i < got.size(); ++i)
            for (int sh = 0; sh < channels * 8; sh += 8) {
                int diff = int((got[i] >> sh) & 255) - int((want[i] >> sh) & 255);
                se += double(diff) * diff;
                worst = std::max(worst, std::abs(diff));
            }
        double psnr = 10 * std::log10(255.0 * 255.0 * channels * double(got.size()) / (se + 1));
        EXPECT_GT(psnr, 35.0) << "largest difference " << worst;
    }
    // Lossless formats against the first reference of the decoded size;
    // WebP's references are libwebp's own decodes, lossy ones included.
    if (type == kTypeBmp || type == kTypePng || type == kTypeTiff || type == kTypeWebp) {
        for (const std::string& ref : e.references) {
            std::vector<uint32_t> want;
            if (!LoadReference(ref, d.h->biWidth, d.h->biHeight, &want)) continue;
            EXPECT_EQ(CountDiffs(Colours(d.h, d.b), want), 0u) << ref;
            break;
        }
    }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Conformance);
INSTANTIATE_TEST_SUITE_P(Manifest, Conformance, testing::ValuesIn(LoadManifest()),
                         [](const testing::TestParamInfo<Entry>& i) {
                             std::string n = i.param.path;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n + "_" + std::to_string(i.index);
                         });

}  // namespace
