// GIF to GIF through a whole run: animations keep their frames, timing, loop
// count and transparency on a turned screen; a one-image GIF stays one.
#include "batch_images.h"
#include "batch_support.h"

#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmgifkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using batchtest::CopySample;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::TempDir;

namespace {

struct GifFacts {
    int frames = 0;
    GifScreen screen{};
    uint32_t loop = 0;
    std::vector<GifFrame> rects;
    std::vector<int> delays;
    std::vector<int> transparent;
};

bool ReadGif(const std::string& path, GifFacts* g) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    g->frames = GifKit_CountFrames(f);
    SetFilePointer(f, 0, nullptr, FILE_BEGIN);
    bool ok = g->frames > 0;
    for (int i = 0; ok && i < g->frames; ++i) {
        GifFrame frame{};
        DibPair image{nullptr, nullptr};
        int ti = -1;
        int r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &g->screen, &g->loop, &ti, &frame, &image)
                       : GifKit_ReadNextFrame(0, f, 0, 1, -1, &g->screen, &ti, &frame, &image);
        DibCore_Free(image.header, image.bits);
        if (r <= 0) ok = false;
        GifFrameControl control{};
        GifKit_GetFrameControl(&control);
        g->rects.push_back(frame);
        g->delays.push_back(control.DelayTime);
        g->transparent.push_back(ti);
    }
    CloseHandle(f);
    return ok;
}

}  // namespace

TEST(BatchGif, TurnedAnimationKeepsFramesTimingLoopAndTransparency) {
    TempDir dir;
    CopySample("animation.gif", dir / "a.gif");
    GifFacts source;
    ASSERT_TRUE(ReadGif(dir / "a.gif", &source));
    ASSERT_GT(source.frames, 1);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypeGif);
    p.Direction = 1;  // landscape turns clockwise
    p.Resize = 0;
    RunResult r = RunWalk(&p, {dir / "a.gif"});
    ASSERT_EQ(r.succeeded, 1);

    GifFacts out;
    ASSERT_TRUE(ReadGif(dir / "out\\a.gif", &out));
    EXPECT_EQ(out.frames, source.frames);
    EXPECT_EQ(out.screen.Width, source.screen.Height);
    EXPECT_EQ(out.screen.Height, source.screen.Width);
    EXPECT_EQ(out.loop, source.loop);
    for (int i = 0; i < out.frames; ++i) {
        EXPECT_EQ(out.delays[i], source.delays[i]) << i;
        EXPECT_EQ(out.rects[i].Width, source.rects[i].Height) << i;
        EXPECT_EQ(out.rects[i].Height, source.rects[i].Width) << i;
        EXPECT_EQ(out.transparent[i] >= 0, source.transparent[i] >= 0) << i;
    }
}

TEST(BatchGif, OneImageGifStaysOneImageWithAGlobalTable) {
    TempDir dir;
    // A still GIF made from the 8-bit sample.
    CopySample("scene8.bmp", dir / "s.bmp");
    {
        HANDLE in = CreateFileA((dir / "s.bmp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(in, INVALID_HANDLE_VALUE);
        DibIOOptions o;
        std::memset(&o, 0, sizeof o);
        DibIO_GetDefaultOptions(kTypeBmp, &o);
        DibHeader* h = nullptr;
        uint8_t* bits = nullptr;
        ASSERT_GT(DibIO_Read(0, in, kTypeBmp, 0, 0, 0, &o, &h, &bits), 0);
        CloseHandle(in);
        HANDLE out = CreateFileA((dir / "still.gif").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DibIO_GetDefaultOptions(kTypeGif, &o);
        o.Gif.TransparentIndex = -1;
        o.Gif.BitDepth = 8;
        EXPECT_GT(DibIO_Write(0, out, kTypeGif, 0, 0, &o, h, bits), 0);
        CloseHandle(out);
        DibCore_Free(h, bits);
    }
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypeGif);
    RunResult r = RunWalk(&p, {dir / "still.gif"});
    ASSERT_EQ(r.succeeded, 1);
    GifFacts g;
    ASSERT_TRUE(ReadGif(dir / "out\\still.gif", &g));
    EXPECT_EQ(g.frames, 1);
    EXPECT_GT(g.screen.GlobalTableCount, 0);
    EXPECT_EQ(g.rects[0].LocalTableCount, 0);
    EXPECT_EQ(g.screen.Width, 96);
    EXPECT_EQ(g.transparent[0], -1);
}

// The first frame covers the screen and needs no composition; the smaller
// ones after it do, on a canvas that already holds the first.
TEST(BatchGif, PartialFramesOnAZoomedScreenAreComposed) {
    PM_SKIP_WITHOUT_SHARED();
    std::string source = pmtest::Join(pmtest::SharedDir(), "testimages\\gif-peterdn\\animated_loop.gif");
    TempDir dir;
    ASSERT_TRUE(CopyFileA(source.c_str(), (dir / "loop.gif").c_str(), FALSE));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypeGif);
    RunResult r = RunWalk(&p, {dir / "loop.gif"});
    ASSERT_EQ(r.succeeded, 1) << (r.errors.empty() ? 0 : r.errors[0].id);
    GifFacts g;
    ASSERT_TRUE(ReadGif(dir / "out\\loop.gif", &g));
    EXPECT_EQ(g.frames, 4);
    EXPECT_EQ(g.screen.Width, 96);
    EXPECT_EQ(g.rects[1].Left, 10);
    EXPECT_LT(g.rects[1].Width, 30);
}

// The first frame has transparent pixels, the opaque squares after it none:
// those must not be written with the index carried over from the first, which
// their own colours may use.
TEST(BatchGif, OpaqueFramesAfterATransparentOneKeepTheirPixels) {
    PM_SKIP_WITHOUT_SHARED();
    std::string source = pmtest::Join(pmtest::SharedDir(), "testimages\\gif-peterdn\\animated_transparent_loop.gif");
    TempDir dir;
    ASSERT_TRUE(CopyFileA(source.c_str(), (dir / "t.gif").c_str(), FALSE));
    GifFacts in;
    ASSERT_TRUE(ReadGif(dir / "t.gif", &in));
    for (int bitCount : {0, 8}) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(bitCount)), kQuietMode, kTypeGif);
        p.BitCount = bitCount;
        ASSERT_EQ(RunWalk(&p, {dir / "t.gif"}).succeeded, 1);
        GifFacts out;
        ASSERT_TRUE(ReadGif(dir / ("out" + std::to_string(bitCount) + "\\t.gif"), &out));
        ASSERT_EQ(out.frames, in.frames);
        for (int i = 0; i < out.frames; ++i)
            EXPECT_EQ(out.transparent[i] >= 0, in.transparent[i] >= 0) << "bits " << bitCount << " frame " << i;
    }
}

// A still GIF to another format reads its first image row by row through
// the box reduction when it is large: its thumbnail is, to the byte, the one
// a bitmap of the same picture gives (which streams the same way), so the
// reduction's size and the picture's full size reach the zoom as they do
// for other formats. The frame sits off the screen's corner, over white
// where it is transparent.
TEST(BatchGif, LargeStillGivesTheThumbnailOfTheSamePictureAsABitmap) {
    TempDir dir;
    constexpr int kW = 1200, kH = 900;
    {
        DibHeader t{};
        t.biSize = sizeof t;
        t.biWidth = 1000;
        t.biHeight = 700;
        t.biPlanes = 1;
        t.biBitCount = 8;
        DibHeader* h = nullptr;
        uint8_t* bits = nullptr;
        ASSERT_TRUE(DibCore_Create(&t, 0, &h, &bits));
        GifScreen s{};
        s.Width = kW;
        s.Height = kH;
        s.ColorResolution = 8;
        s.GlobalTableBits = 8;
        s.GlobalTableCount = 256;
        s.BackgroundIndex = -1;
        s.HeaderFlag = 1;
        for (int i = 0; i < 256; ++i) s.GlobalTable[i] = RgbQuad{uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
        std::memcpy(DibCore_GetPalette(h, 0, 0), s.GlobalTable, sizeof s.GlobalTable);
        const int stride = DibCore_GetRowStride(h, 0);
        for (int y = 0; y < 700; ++y)
            for (int x = 0; x < 1000; ++x) bits[size_t(y) * stride + x] = uint8_t((x / 4 + y / 3) % 256);
        GifFrame frame{100, 150, 1000, 700, 0, 0, 0, 0};
        DibPair pair{h, bits};
        HANDLE f = CreateFileA((dir / "s.gif").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_EQ(GifKit_WriteSingleImage(0, f, &s, 40, &frame, &pair), 1);
        CloseHandle(f);
        DibCore_Free(h, bits);
        // The picture a full read shows, as a bitmap.
        f = CreateFileA((dir / "s.gif").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_EQ(GifKit_ReadImage(0, f, -1, 24, -1, 0, &h, &bits), 8);
        CloseHandle(f);
        DibIOOptions o;
        std::memset(&o, 0, sizeof o);
        DibIO_GetDefaultOptions(kTypeBmp, &o);
        f = CreateFileA((dir / "b.bmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_GT(DibIO_Write(0, f, kTypeBmp, 0, 0, &o, h, bits), 0);
        CloseHandle(f);
        DibCore_Free(h, bits);
    }
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.BitCount = 24;  // "as the input" would give the GIF's thumbnail a table
    RunResult r = RunWalk(&p, {dir / "s.gif", dir / "b.bmp"});
    ASSERT_EQ(r.succeeded, 2);
    batchtest::Image gif, bmp;
    ASSERT_GT(batchtest::Read(dir / "out\\s.png", kTypePng, &gif), 0);
    ASSERT_GT(batchtest::Read(dir / "out\\b.png", kTypePng, &bmp), 0);
    ASSERT_EQ(gif.width(), bmp.width());
    ASSERT_EQ(gif.height(), bmp.height());
    EXPECT_EQ(gif.width() * kH, gif.height() * kW);
    int differing = 0;
    for (int y = 0; y < gif.height(); ++y)
        for (int x = 0; x < gif.width(); ++x) differing += gif.Rgb(x, y) != bmp.Rgb(x, y);
    EXPECT_EQ(differing, 0);
    // White where the screen has no frame, colour where it has.
    EXPECT_EQ(gif.Rgb(0, 0), 0xFFFFFFu);
    EXPECT_NE(gif.Rgb(gif.width() / 2, gif.height() / 2), 0xFFFFFFu);
}
