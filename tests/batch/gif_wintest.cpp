// GIF to GIF through a whole run: animations keep their frames, timing, loop
// count and transparency on a turned screen; a one-image GIF stays one.
#include "batch_support.h"

#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmgifkit.h"

#include <gtest/gtest.h>

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
