// GIF frame records: an animation written frame by frame reads back with
// its frames, timing, disposal, transparency and loop count; the canvas
// composes frames as they look on the screen; full-colour images written on
// several threads at once come out as written alone.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace codectest;

namespace {

struct FrameSpec {
    int left, top, width, height;
    int delay, disposal, transparent, interlace;
};

// Writes an animation of 4-bit frames, frame i filled with index i + 1 and
// a hole of the transparent index in its middle; without the trailer the
// file is closed as a failed conversion leaves it.
void WriteAnimation(const std::string& path, const std::vector<FrameSpec>& frames, uint32_t loop, bool localTables,
                    bool trailer = true) {
    GifScreen screen{};
    screen.Width = 20;
    screen.Height = 10;
    screen.ColorResolution = 4;
    screen.GlobalTableBits = 4;
    screen.GlobalTableCount = 16;
    screen.BackgroundIndex = 0;
    for (int i = 0; i < 16; ++i) screen.GlobalTable[i] = RgbQuad{uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 5), 0};
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(GifKit_WriteHeader(0, f, &screen, loop), 1);
    for (size_t i = 0; i < frames.size(); ++i) {
        const FrameSpec& s = frames[i];
        Dib d;
        DibHeader t{};
        t.biSize = 40;
        t.biWidth = s.width;
        t.biHeight = s.height;
        t.biPlanes = 1;
        t.biBitCount = 4;
        ASSERT_TRUE(DibCore_Create(&t, 0, &d.h, &d.b));
        std::memcpy(DibCore_GetPalette(d.h, 0, 0), screen.GlobalTable, 16 * 4);
        int stride = DibCore_GetRowStride(d.h, 0);
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x) {
                int v = (x == s.width / 2 && y == s.height / 2 && s.transparent >= 0) ? s.transparent : int(i) + 1;
                uint8_t& b = d.b[y * stride + x / 2];
                b = uint8_t(x & 1 ? (b & 0xF0) | v : (b & 0x0F) | v << 4);
            }
        GifFrame fr{s.left, s.top, s.width, s.height, s.interlace, 0, localTables ? 4 : 0, localTables ? 16 : 0};
        GifFrameControl c{s.delay, s.disposal, 0};
        GifKit_SetFrameControl(&c);
        DibPair p{d.h, d.b};
        ASSERT_EQ(GifKit_WriteFrame(0, f, &screen, s.transparent, &fr, &p), 1);
    }
    if (trailer) {
        ASSERT_EQ(GifKit_WriteTrailer(0, f), 1);
    }
    PmFile_Close(f);
}

const std::vector<FrameSpec> kFrames = {
    {0, 0, 20, 10, 10, 1, -1, 0},
    {2, 1, 6, 5, 25, 2, 9, 1},
    {5, 3, 7, 4, 0, 3, 12, 0},
    {1, 1, 3, 3, 100, 0, 15, 0},
};

void CheckAnimation(const std::string& path, uint32_t loop, bool localTables) {
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(GifKit_CountFrames(f), int(kFrames.size()));
    GifScreen screen;
    uint32_t anim = 1234;
    for (size_t i = 0; i < kFrames.size(); ++i) {
        GifFrame fr;
        DibPair p{};
        int tr = -7;
        int r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &anim, &tr, &fr, &p)
                       : GifKit_ReadNextFrame(0, f, 0, 1, -1, &screen, &tr, &fr, &p);
        ASSERT_EQ(r, 1) << i;
        Dib d;
        d.h = p.header;
        d.b = p.bits;
        const FrameSpec& s = kFrames[i];
        EXPECT_EQ(fr.Left, s.left);
        EXPECT_EQ(fr.Top, s.top);
        EXPECT_EQ(fr.Width, s.width);
        EXPECT_EQ(fr.Height, s.height);
        EXPECT_EQ(fr.Interlace, s.interlace);
        EXPECT_EQ(fr.LocalTableCount, localTables ? 16 : 0);
        EXPECT_EQ(tr, s.transparent);
        EXPECT_EQ(DibCore_GetTransparentIndex(d.h), s.transparent);
        GifFrameControl c;
        GifKit_GetFrameControl(&c);
        EXPECT_EQ(c.DelayTime, s.delay) << i;
        EXPECT_EQ(c.Disposal, s.disposal) << i;
        auto px = Colours(d.h, d.b);
        ASSERT_EQ(px.size(), size_t(s.width * s.height));
        EXPECT_EQ(px[0] & 0xFFFFFF, uint32_t(DibCore_GetPaletteColor(d.h, int(i) + 1) & 0xFF) << 16 |
                                        (DibCore_GetPaletteColor(d.h, int(i) + 1) & 0xFF00) |
                                        (DibCore_GetPaletteColor(d.h, int(i) + 1) >> 16 & 0xFF));
    }
    EXPECT_EQ(anim, loop);
    EXPECT_EQ(screen.Width, 20);
    EXPECT_EQ(screen.GlobalTableCount, 16);
    PmFile_Close(f);
}

TEST(GifAnimation, RoundTripKeepsFramesTimingDisposalTransparencyAndLoop) {
    pmtest::TempDir dir;
    for (uint32_t loop : {0u, 3u, kGifNoLoopExtension}) {
        for (bool local : {false, true}) {
            std::string p = dir / "a.gif";
            WriteAnimation(p, kFrames, loop, local);
            CheckAnimation(p, loop, local);
        }
    }
}

TEST(GifAnimation, ReadingThenWritingEachFrameCarriesItsTiming) {
    pmtest::TempDir dir;
    std::string src = dir / "src.gif", copy = dir / "copy.gif";
    WriteAnimation(src, kFrames, 5, false);
    PmFileHandle in = PmFile_OpenRead(src.c_str());
    PmFileHandle out = PmFile_CreateWrite(copy.c_str());
    GifScreen rs, ws;
    uint32_t anim = 0;
    for (size_t i = 0; i < kFrames.size(); ++i) {
        GifFrame fr;
        DibPair p{};
        int tr = -1;
        ASSERT_EQ(i == 0 ? GifKit_ReadFirstFrame(0, in, 0, 1, -1, &rs, &anim, &tr, &fr, &p)
                         : GifKit_ReadNextFrame(0, in, 0, 1, -1, &rs, &tr, &fr, &p),
                  1);
        if (i == 0) {
            ws = rs;
            ASSERT_EQ(GifKit_WriteHeader(0, out, &ws, anim), 1);
        }
        fr.Unnamed = 0;
        EXPECT_EQ(GifKit_WriteFrame(0, out, &ws, tr, &fr, &p), 1);
        DibCore_Free(p.header, p.bits);
    }
    ASSERT_EQ(GifKit_WriteTrailer(0, out), 1);
    PmFile_Close(in);
    PmFile_Close(out);
    CheckAnimation(copy, 5, false);
}

TEST(GifAnimation, AnimationEndedWithoutTrailerKeepsEveryWrittenFrame) {
    pmtest::TempDir dir;
    std::string p = dir / "cut.gif";
    WriteAnimation(p, kFrames, 0, false, false);
    // The next file's writer drops the unfinished one.
    WriteAnimation(dir / "next.gif", kFrames, 0, false);
    PmFileHandle f = PmFile_OpenRead(p.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(GifKit_CountFrames(f), int(kFrames.size()));
    PmFile_Close(f);
    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(p, &data));
    ASSERT_GT(data.size(), 6u);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 6), "GIF89a");
    EXPECT_NE(data.back(), 0x3B);  // no trailer: the conversion did not end
}

TEST(GifAnimation, NextFrameOfAnotherFileFails) {
    pmtest::TempDir dir;
    std::string p = dir / "a.gif";
    WriteAnimation(p, kFrames, 0, false);
    PmFileHandle a = PmFile_OpenRead(p.c_str());
    PmFileHandle b = PmFile_OpenRead(p.c_str());
    GifScreen s;
    GifFrame fr;
    DibPair d{};
    uint32_t anim;
    int tr;
    ASSERT_EQ(GifKit_ReadFirstFrame(0, a, 0, 1, -1, &s, &anim, &tr, &fr, &d), 1);
    DibCore_Free(d.header, d.bits);
    EXPECT_EQ(GifKit_ReadNextFrame(0, b, 0, 1, -1, &s, &tr, &fr, &d), 0);
    EXPECT_EQ(d.header, nullptr);
    PmFile_Close(a);
    PmFile_Close(b);
}

// Canvas pixels as colours, frame by frame, against what the disposal
// methods leave on the screen.
TEST(GifCanvas, DisposalMethodsShapeTheNextFrame) {
    pmtest::TempDir dir;
    std::string p = dir / "c.gif";
    WriteAnimation(p, kFrames, 0, false);
    PmFileHandle f = PmFile_OpenRead(p.c_str());
    GifScreen s;
    uint32_t anim;
    Dib canvas;
    std::vector<std::vector<uint32_t>> shots;
    for (size_t i = 0; i < kFrames.size(); ++i) {
        GifFrame fr;
        DibPair d{};
        int tr;
        ASSERT_EQ(i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &s, &anim, &tr, &fr, &d)
                         : GifKit_ReadNextFrame(0, f, 0, 1, -1, &s, &tr, &fr, &d),
                  1);
        if (i == 0) {
            ASSERT_EQ(GifKit_CreateCanvas(&s, 32, 0, &canvas.h, &canvas.b), 1);
        }
        ASSERT_EQ(GifKit_DrawFrame(&fr, d.header, d.bits, canvas.h, canvas.b), 1);
        Dib copy;
        ASSERT_EQ(GifKit_CopyFrameFromCanvas(&fr, canvas.h, canvas.b, 32, &copy.h, &copy.b), 1);
        EXPECT_EQ(copy.h->biWidth, fr.Width);
        shots.push_back(Colours(canvas.h, canvas.b));
        DibCore_Free(d.header, d.bits);
    }
    PmFile_Close(f);
    auto at = [&](size_t shot, int x, int y) { return shots[shot][size_t(y) * 20 + x]; };
    auto colour = [&](int i) {
        RgbQuad q = s.GlobalTable[i];
        return 0xFF000000u | uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue;
    };
    // Frame 1 over frame 0; its transparent middle shows frame 0.
    EXPECT_EQ(at(1, 2, 1), colour(2));
    EXPECT_EQ(at(1, 5, 3), colour(1));
    // Frame 1 was cleared (method 2) before frame 2; outside frame 2 its
    // area is transparent now.
    EXPECT_EQ(at(2, 2, 1) >> 24, 0u);
    EXPECT_EQ(at(2, 5, 3), colour(3));
    // Frame 2 was restored away (method 3): its area shows what lay under
    // it, the cleared area and frame 0.
    EXPECT_EQ(at(3, 11, 6), colour(1));
    EXPECT_EQ(at(3, 6, 4) >> 24, 0u);
    EXPECT_EQ(at(3, 1, 1), colour(4));
}

TEST(GifKit, BuildColorTableCapsTheCountAndSetsTheTransparentColour) {
    Dib d;
    MakePattern(4, 4, 8, &d);
    RgbQuad table[256];
    EXPECT_EQ(GifKit_BuildColorTable(5, d.h, -1, kNoColor, table), 32);
    EXPECT_EQ(table[3].red, DibCore_GetPalette(d.h, 0, 0)[3].red);
    EXPECT_EQ(GifKit_BuildColorTable(8, d.h, 3, MakeColorRef(1, 2, 3), table), 256);
    EXPECT_EQ(table[3].red, 1);
    EXPECT_EQ(table[3].blue, 3);
    EXPECT_EQ(table[40].reserved, 0);
}

TEST(GifKit, SingleImageWithTransparencyAndStillReading) {
    pmtest::TempDir dir;
    std::string p = dir / "s.gif";
    Dib d;
    MakePattern(10, 6, 8, &d);
    GifScreen s{};
    s.Width = 10;
    s.Height = 6;
    s.ColorResolution = 8;
    s.GlobalTableBits = 8;
    s.GlobalTableCount = GifKit_BuildColorTable(8, d.h, -1, kNoColor, s.GlobalTable);
    s.BackgroundIndex = -1;
    s.HeaderFlag = 1;
    GifFrame fr{0, 0, 10, 6, 0, 0, 0, 0};
    DibPair pair{d.h, d.b};
    PmFileHandle f = PmFile_CreateWrite(p.c_str());
    ASSERT_EQ(GifKit_WriteSingleImage(0, f, &s, 4, &fr, &pair), 1);
    PmFile_Close(f);
    f = PmFile_OpenRead(p.c_str());
    EXPECT_EQ(GifKit_CountFrames(f), 1);
    Dib still;
    EXPECT_EQ(GifKit_ReadImage(0, f, -1, 24, -1, 0, &still.h, &still.b), 8);
    PmFile_Close(f);
    ASSERT_NE(still.h, nullptr);
    EXPECT_EQ(still.h->biBitCount, 24);
    // Transparent pixels of a still image show white; the rest keep colour.
    auto src = Colours(d.h, d.b), got = Colours(still.h, still.b);
    const int stride = DibCore_GetRowStride(d.h, 0);
    for (size_t i = 0; i < src.size(); ++i) {
        int index = d.b[size_t(5 - i / 10) * stride + i % 10];
        EXPECT_EQ(got[i] & 0xFFFFFF, index == 4 ? 0xFFFFFFu : src[i] & 0xFFFFFF) << i;
    }
}

// giflib's quantiser keeps the colour axis it sorts along in a static
// between calls: images quantised at once on several threads would sort
// by each other's axis and get other tables. Random colours make every
// axis sort differently, so a mix-up shows in the bytes written.
TEST(GifWrite, FullColourImagesWrittenOnSeveralThreadsMatchThoseWrittenAlone) {
    constexpr int kImages = 6, kThreads = 6, kRounds = 2;
    pmtest::TempDir dir;
    DibIOOptions opt;
    DibIO_GetDefaultOptions(kTypeGif, &opt);
    std::vector<Dib> images(kImages);
    uint32_t seed = 12345;
    for (Dib& d : images) {
        MakePattern(160, 120, 24, &d);
        ASSERT_NE(d.h, nullptr);
        const int stride = DibCore_GetRowStride(d.h, 0);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160 * 3; ++x) {
                seed = seed * 1103515245u + 12345u;
                d.b[size_t(y) * size_t(stride) + size_t(x)] = uint8_t(seed >> 16);
            }
    }
    auto write = [&](const std::string& path, int i, std::vector<uint8_t>* bytes) {
        if (WriteImage(path, kTypeGif, opt, images[size_t(i)]) <= 0) return false;
        return pmtest::ReadWholeFile(path, bytes);
    };
    std::vector<std::vector<uint8_t>> alone(kImages);
    for (int i = 0; i < kImages; ++i) ASSERT_TRUE(write(dir / ("alone" + std::to_string(i) + ".gif"), i, &alone[size_t(i)]));
    // A race is likely, not certain, in one round; the rounds make missing
    // it in all of them unlikely.
    int differing = 0, failed = 0;
    for (int round = 0; round < kRounds && differing == 0 && failed == 0; ++round) {
        std::vector<std::thread> threads;
        std::vector<int> threadDiffering(kThreads, 0), threadFailed(kThreads, 0);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kImages; ++k) {
                    int i = (k + t) % kImages;  // each thread in its own order
                    std::vector<uint8_t> bytes;
                    if (!write(dir / ("t" + std::to_string(t) + ".gif"), i, &bytes))
                        ++threadFailed[size_t(t)];
                    else if (bytes != alone[size_t(i)])
                        ++threadDiffering[size_t(t)];
                }
            });
        for (std::thread& th : threads) th.join();
        for (int t = 0; t < kThreads; ++t) {
            differing += threadDiffering[size_t(t)];
            failed += threadFailed[size_t(t)];
        }
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(differing, 0);
}

}  // namespace

namespace {

// A GIF of two-colour pixels (0 and 1) whose colour table (global or local)
// has 2 << (tableBits - 1) entries and whose control block names
// `transparent`, which may lie beyond the table. The image data is a clear
// code before every pixel, so no code grows past three bits.
std::vector<uint8_t> TwoColourGif(int width, int height, int tableBits, bool local, int transparent) {
    std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a'};
    auto le16 = [&](int v) {
        g.push_back(uint8_t(v));
        g.push_back(uint8_t(v >> 8));
    };
    auto table = [&] {
        for (int i = 0; i < (1 << tableBits); ++i) {
            g.push_back(uint8_t(i == 1 ? 250 : 10 + i));  // entry 1 red, entry 0 near black
            g.push_back(uint8_t(i == 1 ? 20 : 10));
            g.push_back(uint8_t(i == 1 ? 30 : 10));
        }
    };
    le16(width);
    le16(height);
    g.push_back(uint8_t(local ? 0x70 : 0xF0 | (tableBits - 1)));
    g.push_back(0);
    g.push_back(0);
    if (!local) table();
    g.insert(g.end(), {0x21, 0xF9, 4, 1, 0, 0, uint8_t(transparent), 0});
    g.push_back(0x2C);
    le16(0);
    le16(0);
    le16(width);
    le16(height);
    g.push_back(uint8_t(local ? 0x80 | (tableBits - 1) : 0));
    if (local) table();
    g.push_back(2);  // minimum code size: clear 4, end 5, codes of three bits
    std::vector<uint8_t> data;
    uint32_t acc = 0;
    int bits = 0;
    auto code = [&](int c) {
        acc |= uint32_t(c) << bits;
        for (bits += 3; bits >= 8; bits -= 8, acc >>= 8) data.push_back(uint8_t(acc));
    };
    for (int i = 0; i < width * height; ++i) {
        code(4);
        code(((i % width) + (i / width)) & 1);
    }
    code(5);
    if (bits) data.push_back(uint8_t(acc));
    for (size_t at = 0; at < data.size(); at += 255) {
        size_t n = data.size() - at < 255 ? data.size() - at : 255;
        g.push_back(uint8_t(n));
        g.insert(g.end(), data.begin() + long(at), data.begin() + long(at + n));
    }
    g.push_back(0);
    g.push_back(0x3B);
    return g;
}

}  // namespace

// A control block may name a transparent index beyond a small colour table;
// the image read gets a table that holds it (never a mark written past its
// table) and keeps its two colours, through every way of reading a GIF.
TEST(GifDecode, TransparentIndexBeyondASmallTableGetsATableThatHoldsIt) {
    pmtest::TempDir dir;
    std::string path = dir / "t.gif";
    for (int tableBits : {1, 2})
        for (bool local : {false, true})
            for (int transparent : {0, 1, 2, 3, 4, 15, 16, 17, 200, 255}) {
                SCOPED_TRACE(::testing::Message() << "table bits " << tableBits << (local ? " local" : " global")
                                                  << ", transparent " << transparent);
                std::vector<uint8_t> file = TwoColourGif(9, 5, tableBits, local, transparent);
                ASSERT_TRUE(pmtest::WriteWholeFile(path, file.data(), file.size()));
                auto expectPixels = [&](const Dib& d, bool alphaIsWhite) {
                    auto c = Colours(d.h, d.b);
                    ASSERT_EQ(c.size(), 45u);
                    for (int i = 0; i < 45; ++i) {
                        int index = ((i % 9) + (i / 9)) & 1;
                        if (index == transparent && !alphaIsWhite) {
                            EXPECT_EQ(c[size_t(i)] >> 24, 0u) << i;
                            continue;
                        }
                        uint32_t want = index == transparent ? 0xFFFFFFFFu : index ? 0xFFFA141Eu : 0xFF0A0A0Au;
                        EXPECT_EQ(c[size_t(i)], want) << i;
                    }
                };
                for (int bitCount : {8, 24}) {
                    PmFileHandle f = PmFile_OpenRead(path.c_str());
                    ASSERT_NE(f, nullptr);
                    Dib still;
                    int r = GifKit_ReadImage(0, f, -1, bitCount, -1, 0, &still.h, &still.b);
                    PmFile_Close(f);
                    ASSERT_GT(r, 0) << bitCount;
                    if (bitCount == 8) {
                        EXPECT_EQ(DibCore_GetTransparentIndex(still.h), transparent);
                        ASSERT_GT(DibCore_ColorCount(still.h), transparent);
                    }
                    expectPixels(still, bitCount == 24);
                }
                PmFileHandle f = PmFile_OpenRead(path.c_str());
                ASSERT_NE(f, nullptr);
                GifScreen screen;
                uint32_t loop;
                int tr = -9;
                GifFrame fr;
                DibPair p{};
                int r = GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &loop, &tr, &fr, &p);
                PmFile_Close(f);
                Dib frame;
                frame.h = p.header;
                frame.b = p.bits;
                ASSERT_GT(r, 0);
                EXPECT_EQ(tr, transparent);
                EXPECT_EQ(DibCore_GetTransparentIndex(frame.h), transparent);
                ASSERT_GT(DibCore_ColorCount(frame.h), transparent);
                expectPixels(frame, false);
            }
}

namespace {

// A still whose one image of `bits` (1, 4, 8) covers `frame` on a screen of
// w x h; its indices vary in both directions and include `transparent`
// (or -1). The file's bytes, for the cases that then patch the screen.
std::vector<uint8_t> StillGif(const std::string& path, int w, int h, GifFrame frame, int bits, int transparent) {
    Dib d;
    DibHeader t{};
    t.biSize = 40;
    t.biWidth = frame.Width;
    t.biHeight = frame.Height;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(bits);
    EXPECT_TRUE(DibCore_Create(&t, 0, &d.h, &d.b));
    GifScreen s{};
    s.Width = w;
    s.Height = h;
    s.ColorResolution = 8;
    s.GlobalTableBits = bits;
    s.GlobalTableCount = 1 << bits;
    s.BackgroundIndex = -1;
    s.HeaderFlag = transparent >= 0 ? 1 : 0;
    for (int i = 0; i < s.GlobalTableCount; ++i)
        s.GlobalTable[i] = RgbQuad{uint8_t(i * 37), uint8_t(255 - i * 5), uint8_t(i * 11 + 40), 0};
    std::memcpy(DibCore_GetPalette(d.h, 0, 0), s.GlobalTable, size_t(s.GlobalTableCount) * 4);
    const int stride = DibCore_GetRowStride(d.h, 0);
    for (int y = 0; y < frame.Height; ++y) {
        uint8_t* row = d.b + size_t(frame.Height - 1 - y) * size_t(stride);
        for (int x = 0; x < frame.Width; ++x) {
            const int v = (x / 3 + y / 5 + (x * y) % 7) % s.GlobalTableCount;
            if (bits == 8) row[x] = uint8_t(v);
            else if (bits == 4) row[x >> 1] = uint8_t((x & 1) ? (row[x >> 1] & 0xF0) | v : (row[x >> 1] & 0x0F) | v << 4);
            else if (v) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }
    DibPair pair{d.h, d.b};
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    EXPECT_EQ(GifKit_WriteSingleImage(0, f, &s, transparent, &frame, &pair), 1);
    PmFile_Close(f);
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(pmtest::ReadWholeFile(path, &bytes));
    return bytes;
}

struct Target {
    PmSize size;
};

int TargetOf(void* context, const PmSize*, PmSize* target) {
    *target = static_cast<Target*>(context)->size;
    return 1;
}

// The box mean of every k x k square of `full`'s colours, rounded, the last
// row and column of boxes covering what is left.
std::vector<uint32_t> BoxMean(const Dib& full, unsigned k) {
    const std::vector<uint32_t> c = Colours(full.h, full.b);
    const int w = full.h->biWidth, h = int(c.size()) / w;
    const int ow = (w + int(k) - 1) / int(k), oh = (h + int(k) - 1) / int(k);
    std::vector<uint32_t> out;
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox) {
            uint64_t sum[3] = {}, n = 0;
            for (int y = oy * int(k); y < std::min(h, (oy + 1) * int(k)); ++y)
                for (int x = ox * int(k); x < std::min(w, (ox + 1) * int(k)); ++x, ++n)
                    for (int s = 0; s < 3; ++s) sum[s] += (c[size_t(y) * size_t(w) + size_t(x)] >> (8 * s)) & 255;
            uint32_t v = 0xFF000000u;
            for (int s = 0; s < 3; ++s) v |= uint32_t((sum[s] + n / 2) / n) << (8 * s);
            out.push_back(v);
        }
    return out;
}

}  // namespace

// A thumbnail read of a GIF stored row by row composes its first image on
// the screen row by row and reduces it as it goes: exactly the full read's
// pixels, box-reduced, for frames anywhere on (or past) the screen, over
// white where transparent; interlaced ones are read whole; a damaged file
// fails as the full read fails; a screen beyond what a full read may hold
// still gives its thumbnail.
TEST(GifStill, ThumbnailReadIsTheFullReadBoxReduced) {
    pmtest::TempDir dir;
    const std::string path = dir / "s.gif";
    constexpr int kW = 403, kH = 301;
    auto patchScreen = [](std::vector<uint8_t>& b, int w, int h) {
        b[6] = uint8_t(w), b[7] = uint8_t(w >> 8), b[8] = uint8_t(h), b[9] = uint8_t(h >> 8);
    };
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> make;
        unsigned reduction;  // 0: both reads fail
        PmSize full;
    };
    const std::vector<Case> cases = {
        {"whole screen, 8 bits", [&] { return StillGif(path, kW, kH, GifFrame{0, 0, kW, kH, 0, 0, 0, 0}, 8, -1); }, 4,
         {kW, kH}},
        {"offset 4-bit frame, transparent",
         [&] { return StillGif(path, kW, kH, GifFrame{37, 21, 300, 200, 0, 0, 0, 0}, 4, 5); }, 4, {kW, kH}},
        {"opaque frame inside the screen",
         [&] { return StillGif(path, kW, kH, GifFrame{37, 21, 300, 200, 0, 0, 0, 0}, 8, -1); }, 4, {kW, kH}},
        {"1-bit frame at the bottom right",
         [&] { return StillGif(path, kW, kH, GifFrame{kW - 90, kH - 70, 90, 70, 0, 0, 0, 0}, 1, 0); }, 4, {kW, kH}},
        {"frame past the screen's edges",
         [&] {
             auto b = StillGif(path, kW, kH, GifFrame{200, 150, 203, 151, 0, 0, 0, 0}, 8, 9);
             patchScreen(b, 350, 260);
             return b;
         },
         3, {350, 260}},
        {"screen of no size: the frame's extent",
         [&] {
             auto b = StillGif(path, kW, kH, GifFrame{10, 8, 393, 293, 0, 0, 0, 0}, 8, -1);
             patchScreen(b, 0, 0);
             return b;
         },
         4, {kW, kH}},
        {"transparent index past a two-entry table", [&] { return TwoColourGif(kW, kH, 1, false, 3); }, 4, {kW, kH}},
        {"interlaced", [&] { return StillGif(path, kW, kH, GifFrame{0, 0, kW, kH, 1, 0, 0, 0}, 8, 3); }, 1, {kW, kH}},
        {"image data cut short",
         [&] {
             auto b = StillGif(path, kW, kH, GifFrame{0, 0, kW, kH, 0, 0, 0, 0}, 8, -1);
             b.resize(b.size() * 2 / 3);
             return b;
         },
         0, {kW, kH}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = c.make();
        ASSERT_TRUE(pmtest::WriteWholeFile(path, bytes.data(), bytes.size()));
        Dib full, streamed;
        PmFileHandle f = PmFile_OpenRead(path.c_str());
        const int fullDepth = GifKit_ReadImage(0, f, -1, 24, -1, 0, &full.h, &full.b);
        PmFile_Close(f);
        // A target that streams at the case's factor, or at 4 where the
        // file must not stream.
        const int k = c.reduction > 1 ? int(c.reduction) : 4;
        Target target{PmSize{c.full.cx / (4 * k), c.full.cy / (4 * k)}};
        DibReadRequest request{};
        request.Size = sizeof request;
        request.TargetSize = TargetOf;
        request.Context = &target;
        f = PmFile_OpenRead(path.c_str());
        const int depth = GifKit_ReadImageRequested(f, &request, &streamed.h, &streamed.b);
        PmFile_Close(f);
        if (!c.reduction) {
            EXPECT_LE(fullDepth, 0);
            EXPECT_LE(depth, 0);
            EXPECT_EQ(streamed.h, nullptr);
            continue;
        }
        ASSERT_GT(fullDepth, 0);
        ASSERT_EQ(depth, fullDepth);
        EXPECT_EQ(request.Reduction, c.reduction);
        EXPECT_EQ(request.FullSize.cx, c.full.cx);
        EXPECT_EQ(request.FullSize.cy, c.full.cy);
        ASSERT_EQ(streamed.h->biBitCount, 24);
        const std::vector<uint32_t> want = BoxMean(full, c.reduction), got = Colours(streamed.h, streamed.b);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(CountDiffs(got, want), 0u);
    }

    // 12000 x 11000: more pixels than a full read may hold. A small frame
    // sits on white at the top left.
    std::vector<uint8_t> big = StillGif(path, 12000, 11000, GifFrame{0, 0, 64, 40, 0, 0, 0, 0}, 8, -1);
    Dib full, streamed;
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    EXPECT_EQ(GifKit_ReadImage(0, f, -1, 24, -1, 0, &full.h, &full.b), -1);
    PmFile_Close(f);
    Target target{PmSize{120, 110}};
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = TargetOf;
    request.Context = &target;
    f = PmFile_OpenRead(path.c_str());
    ASSERT_EQ(GifKit_ReadImageRequested(f, &request, &streamed.h, &streamed.b), 8);
    PmFile_Close(f);
    EXPECT_EQ(request.Reduction, 25u);
    EXPECT_EQ(streamed.h->biWidth, 480);
    const std::vector<uint32_t> c = Colours(streamed.h, streamed.b);
    EXPECT_NE(c[0], 0xFFFFFFFFu);
    EXPECT_EQ(c[5], 0xFFFFFFFFu);
    EXPECT_EQ(c.back(), 0xFFFFFFFFu);
}
