// GIF image data decoded by our LZW decoder gives giflib's own pixels and
// verdict: hand-made code streams (valid, odd and damaged) and every GIF of
// the conformance set are read frame by frame through GifKit and through
// giflib's DGifGetLine, and the two must agree frame for frame.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmfile.h"
#include "makerlibs/pmgifkit.h"

#include <gtest/gtest.h>
#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;  // pixels of each frame read, in row order

// Packs codes with the widths a GIF decoder reads them at: one more bit once
// the count of codes read since the last clear passes a power of two.
Bytes Pack(const std::vector<int>& codes, int minCodeSize) {
    const int clear = 1 << minCodeSize;
    int running = clear + 2, bits = minCodeSize + 1, max1 = 1 << bits;
    Bytes out;
    uint32_t acc = 0;
    int have = 0;
    for (int c : codes) {
        acc |= uint32_t(c) << have;
        have += bits;
        while (have >= 8) {
            out.push_back(uint8_t(acc));
            acc >>= 8;
            have -= 8;
        }
        if (running < 4097 && ++running > max1 && bits < 12) {
            max1 <<= 1;
            ++bits;
        }
        if (c == clear) {
            running = clear + 2;
            bits = minCodeSize + 1;
            max1 = 1 << bits;
        }
    }
    if (have) out.push_back(uint8_t(acc));
    return out;
}

// A plain LZW encoder. `clearWhenFull`: clear once the table is full, else
// keep the full table (the decoder must not clear on its own).
std::vector<int> Encode(const Bytes& px, int minCodeSize, bool clearWhenFull, bool clearFirst = true) {
    const int clear = 1 << minCodeSize;
    std::map<std::pair<int, int>, int> dict;
    int next = clear + 2;
    std::vector<int> codes;
    if (clearFirst) codes.push_back(clear);
    int w = px[0];
    for (size_t i = 1; i < px.size(); ++i) {
        auto it = dict.find({w, px[i]});
        if (it != dict.end()) {
            w = it->second;
            continue;
        }
        codes.push_back(w);
        if (next < 4096) dict[{w, px[i]}] = next++;
        if (next == 4096 && clearWhenFull) {
            codes.push_back(clear);
            dict.clear();
            next = clear + 2;
        }
        w = px[i];
    }
    codes.push_back(w);
    codes.push_back(clear + 1);
    return codes;
}

struct Image {
    int width = 4, height = 1, minCodeSize = 2;
    bool interlace = false;
    Bytes data;          // packed codes
    int blockSize = 255;
    bool terminator = true;
};

// A GIF with a 256-colour table (so every index reads back as itself),
// the given images, and a trailer; `cut` bytes are taken off the end.
Bytes MakeGif(const std::vector<Image>& images, size_t cut = 0) {
    Bytes g = {'G', 'I', 'F', '8', '9', 'a'};
    int w = 0, h = 0;
    for (const Image& im : images) w = std::max(w, im.width), h = std::max(h, im.height);
    g.insert(g.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0xF7, 0, 0});
    for (int i = 0; i < 256; ++i) g.insert(g.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
    for (const Image& im : images) {
        g.insert(g.end(), {0x2C, 0, 0, 0, 0, uint8_t(im.width), uint8_t(im.width >> 8), uint8_t(im.height),
                           uint8_t(im.height >> 8), uint8_t(im.interlace ? 0x40 : 0), uint8_t(im.minCodeSize)});
        for (size_t at = 0; at < im.data.size(); at += size_t(im.blockSize)) {
            const size_t n = std::min(im.data.size() - at, size_t(im.blockSize));
            g.push_back(uint8_t(n));
            g.insert(g.end(), im.data.begin() + long(at), im.data.begin() + long(at + n));
        }
        if (im.terminator) g.push_back(0);
    }
    g.push_back(0x3B);
    g.resize(g.size() - std::min(cut, g.size()));
    return g;
}

Bytes Pixels(int n, int values, int seed) {
    std::mt19937 rng{uint32_t(seed)};
    Bytes px(static_cast<size_t>(n));
    // Runs and repeats, so long strings and self-naming codes occur.
    for (int i = 0; i < n; ++i)
        px[size_t(i)] = (i > 0 && rng() % 4 != 0) ? px[size_t(i - 1)] : uint8_t(rng() % unsigned(values));
    return px;
}

Image Valid(int w, int h, int minCodeSize, int seed, bool clearWhenFull = true, int blockSize = 255) {
    Image im;
    im.width = w;
    im.height = h;
    im.minCodeSize = minCodeSize;
    im.blockSize = blockSize;
    im.data = Pack(Encode(Pixels(w * h, 1 << minCodeSize, seed), minCodeSize, clearWhenFull), minCodeSize);
    return im;
}

Image Raw(int w, int h, int minCodeSize, const std::vector<int>& codes) {
    Image im;
    im.width = w;
    im.height = h;
    im.minCodeSize = minCodeSize;
    im.data = Pack(codes, minCodeSize);
    return im;
}

// giflib's reading: every image row by row until one fails or the file ends.
Frames ReadWithGiflib(const Bytes& file) {
    struct Mem {
        const Bytes* d;
        size_t at;
    } mem{&file, 0};
    auto read = [](GifFileType* g, GifByteType* buf, int n) -> int {
        auto* m = static_cast<Mem*>(g->UserData);
        const size_t k = std::min(size_t(n), m->d->size() - m->at);
        std::memcpy(buf, m->d->data() + m->at, k);
        m->at += k;
        return int(k);
    };
    Frames frames;
    int err = 0;
    GifFileType* gif = DGifOpen(&mem, read, &err);
    if (!gif) return frames;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE) break;
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext = nullptr;
            bool ok = DGifGetExtension(gif, &code, &ext) == GIF_OK;
            while (ok && ext) ok = DGifGetExtensionNext(gif, &ext) == GIF_OK;
            if (!ok) break;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif) == GIF_ERROR) break;
        const GifImageDesc& d = gif->Image;
        if (d.Width < 1 || d.Height < 1) break;
        Bytes px(size_t(d.Width) * size_t(d.Height));
        static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        int pass = 0, y = 0;
        bool ok = true;
        for (int n = 0; n < d.Height && ok; ++n) {
            int row = n;
            if (d.Interlace) {
                while (y >= d.Height) y = kStart[++pass];
                row = y;
                y += kStep[pass];
            }
            ok = DGifGetLine(gif, px.data() + size_t(row) * size_t(d.Width), d.Width) == GIF_OK;
        }
        if (!ok) break;
        frames.push_back(std::move(px));
    }
    DGifCloseFile(gif, &err);
    return frames;
}

// Our reading: GifKit's frames, each as indices, an index past what the
// frame's DIB holds being 0 as GifKit reads it. `limits` gets each frame's
// index bound, to treat giflib's frames alike.
Frames ReadWithGifKit(const std::string& path, std::vector<int>* limits) {
    Frames frames;
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return frames;
    for (int i = 0; i < 100000; ++i) {
        GifScreen screen;
        uint32_t loop = 0;
        GifFrame fr;
        DibPair p{};
        int tr = -1;
        const int r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &loop, &tr, &fr, &p)
                             : GifKit_ReadNextFrame(0, f, 0, 1, -1, &screen, &tr, &fr, &p);
        if (r <= 0) break;
        const DibHeader* h = p.header;
        const int w = h->biWidth, rows = h->biHeight < 0 ? -h->biHeight : h->biHeight;
        const int stride = DibCore_GetRowStride(h, 0), bpp = h->biBitCount;
        Bytes px;
        for (int y = 0; y < rows; ++y) {
            const uint8_t* row = p.bits + size_t(h->biHeight < 0 ? y : rows - 1 - y) * size_t(stride);
            for (int x = 0; x < w; ++x) {
                const int bit = x * bpp;
                px.push_back(uint8_t((row[bit / 8] >> (8 - bpp - bit % 8)) & ((1 << bpp) - 1)));
            }
        }
        limits->push_back(1 << bpp);
        frames.push_back(std::move(px));
        DibCore_Free(p.header, p.bits);
    }
    PmFile_Close(f);
    return frames;
}

// Reads `file` both ways; returns the number of frames both read.
size_t ExpectSameFrames(const Bytes& file, const std::string& label) {
    pmtest::TempDir dir;
    const std::string path = dir / "in.gif";
    EXPECT_TRUE(pmtest::WriteWholeFile(path, file.data(), file.size()));
    Frames want = ReadWithGiflib(file);
    std::vector<int> limits;
    const Frames got = ReadWithGifKit(path, &limits);
    EXPECT_EQ(got.size(), want.size()) << label;
    for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
        for (uint8_t& v : want[i])
            if (v >= limits[i]) v = 0;
        EXPECT_TRUE(got[i] == want[i]) << label << ": frame " << i << " differs";
    }
    return got.size();
}

struct Case {
    const char* name;
    std::vector<Image> images;
    size_t cut;
    size_t frames;  // what giflib reads, so a case cannot pass by both failing early
};

std::vector<Case> Cases() {
    std::vector<Case> c;
    const Image second = Valid(5, 3, 3, 99);
    // Valid data: each width of roots, both kinds of encoder at a full
    // table, interlacing, and tiny blocks that split codes between them.
    for (int m = 0; m <= 8; ++m) c.push_back({"root bits", {Valid(37, 23, m, m), second}, 0, 2});
    c.push_back({"clear when full", {Valid(300, 200, 8, 1, true)}, 0, 1});
    c.push_back({"full table kept (no clear)", {Valid(300, 200, 8, 2, false), second}, 0, 2});
    c.push_back({"full table kept, 2-bit", {Valid(200, 300, 2, 3, false)}, 0, 1});
    c.push_back({"no clear at the start", {[] {
                     Image im = Valid(30, 10, 4, 4);
                     im.data = Pack(Encode(Pixels(300, 16, 4), 4, true, false), 4);
                     return im;
                 }()},
                 0, 1});
    c.push_back({"blocks of one byte", {Valid(40, 40, 5, 5, true, 1), second}, 0, 2});
    c.push_back({"blocks of seven bytes", {Valid(40, 40, 7, 6, true, 7), second}, 0, 2});
    c.push_back({"interlaced", {[] {
                     Image im = Valid(9, 19, 3, 7);
                     im.interlace = true;
                     return im;
                 }(),
                                second},
                 0, 2});
    // KwKwK: a run makes each new code name itself; one code per string
    // that spans rows of width 1.
    c.push_back({"entry naming itself", {Raw(8, 1, 2, {1, 7, 3, 7, 5})}, 0, 0});
    c.push_back({"self-naming codes", {Raw(6, 1, 2, {4, 1, 6, 7, 5})}, 0, 1});
    c.push_back({"string across rows", {Raw(1, 6, 2, {4, 1, 6, 7, 5})}, 0, 1});
    c.push_back({"clear mid-image", {Raw(6, 1, 2, {4, 1, 2, 4, 3, 3, 6, 5}), second}, 0, 2});
    // Accepted damage: codes after the last pixel are skipped with the
    // rest of the data, and the next image reads.
    c.push_back({"leftover codes", {Raw(2, 1, 2, {4, 1, 2, 3, 6, 7, 5}), second}, 0, 2});
    c.push_back({"no end code", {Raw(2, 1, 2, {1, 2}), second}, 0, 2});
    // A code past the table after another: giflib reads on (the previous
    // string and index 2), and later codes lean on the undefined one.
    c.push_back({"code past the table", {Raw(4, 1, 2, {4, 1, 7, 0, 5}), second}, 0, 2});
    c.push_back({"entries lean on an undefined code", {Raw(12, 1, 2, {1, 2, 3, 10, 1, 2, 9, 11, 5}), second},
                 0, 2});
    c.push_back({"undefined, then clear", {Raw(7, 1, 2, {1, 7, 4, 3, 3, 6, 5}), second}, 0, 2});
    // Failures.
    c.push_back({"first code past the table", {Raw(4, 1, 2, {4, 7, 1, 1, 5}), second}, 0, 0});
    c.push_back({"end code too soon", {Raw(4, 1, 2, {4, 1, 2, 5, 1}), second}, 0, 0});
    c.push_back({"empty block too soon", {Raw(40, 1, 2, {4, 1, 2})}, 0, 0});
    c.push_back({"no data at all", {Raw(4, 1, 2, {})}, 0, 0});
    c.push_back({"cut off in the data", {Valid(50, 50, 8, 8)}, 200, 0});
    c.push_back({"cut off before the empty block", {[] {
                     Image im = Raw(2, 1, 2, {4, 1, 2, 5});
                     im.terminator = false;
                     return im;
                 }()},
                 1, 0});
    c.push_back({"root bits over 8", {Raw(4, 1, 9, {1, 1, 1, 1})}, 0, 0});
    return c;
}

TEST(GifLzw, ReadsAsGiflibReads) {
    for (const Case& k : Cases()) {
        const Bytes file = MakeGif(k.images, k.cut);
        EXPECT_EQ(ReadWithGiflib(file).size(), k.frames) << k.name << " (giflib)";
        ExpectSameFrames(file, k.name);
    }
}

// Streams of random codes, mostly in range, with clears, end codes and
// codes past the table mixed in: whatever giflib makes of them, so must we.
TEST(GifLzw, RandomCodesReadAsGiflibReads) {
    std::mt19937 rng(20261209);
    size_t read = 0;
    for (int round = 0; round < 400; ++round) {
        const int m = int(rng() % 9), clear = 1 << m;
        std::vector<int> codes;
        int running = clear + 2, bits = m + 1, max1 = 1 << bits;
        const int n = 20 + int(rng() % 3000);
        for (int i = 0; i < n; ++i) {
            int code = int(rng() % unsigned(std::min(running + 1, 1 << bits)));
            for (int tries = 0; tries < 8 && (code == clear + 1 || code == clear); ++tries)
                code = int(rng() % unsigned(std::min(running + 1, 1 << bits)));
            if (rng() % 500 == 0) code = int(rng() % unsigned(1 << bits));
            codes.push_back(code);
            if (running < 4097 && ++running > max1 && bits < 12) {
                max1 <<= 1;
                ++bits;
            }
            if (code == clear) {
                running = clear + 2;
                bits = m + 1;
                max1 = 1 << bits;
            }
        }
        const int w = 1 + int(rng() % 64);
        Image im = Raw(w, 1 + int(rng() % 64), m, codes);
        im.blockSize = 1 + int(rng() % 255);
        read += ExpectSameFrames(MakeGif({im, Valid(3, 3, 2, round)}), "round " + std::to_string(round));
        if (HasFailure()) break;
    }
    EXPECT_GT(read, 100u);  // most streams read, so pixels were compared
}

TEST(GifLzw, ConformanceGifsReadAsGiflibReads) {
    PM_SKIP_WITHOUT_SHARED();
    const std::string root = pmtest::Join(pmtest::SharedDir(), "testimages");
    Bytes manifest;
    ASSERT_TRUE(pmtest::ReadWholeFile(pmtest::Join(root, "MANIFEST.tsv"), &manifest));
    std::string text(manifest.begin(), manifest.end());
    int files = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
        if (c == std::string::npos || line.compare(b + 1, c - b - 1, "gif") != 0) continue;
        std::string path = root;
        const std::string rel = line.substr(a + 1, b - a - 1);
        for (size_t p = 0; p <= rel.size();) {
            size_t q = rel.find('/', p);
            if (q == std::string::npos) q = rel.size();
            path = pmtest::Join(path, rel.substr(p, q - p));
            p = q + 1;
        }
        Bytes file;
        if (!pmtest::ReadWholeFile(path, &file)) continue;
        ++files;
        ExpectSameFrames(file, rel);
    }
    EXPECT_GT(files, 50);
}

}  // namespace
