// The exported conversion of an in-memory DIB.
#include "dibtest.h"
#include "common/testsupport.h"
#include "imaging/dib_export.h"

#include <cstring>

using namespace dibtest;

namespace {

ImageConvertParams* Settings() {
    static ImageConvertParams p;
    std::memset(&p, 0, sizeof(p));
    p.Resize = 1;
    p.Size = SIZE{64, 64};
    p.ZoomFilter = 1;
    p.FileMode = FILEMODE_OVERWRITE;
    p.SaveOptions.Jpeg_Quality = 80;
    p.SaveOptions.Jpeg_Progressive = 2;
    p.SaveOptions.Png_Interlace = 2;
    p.SaveOptions.Gif_Interlace = 2;
    return &p;
}

void Photo(Dib* d, int w, int h) {
    ASSERT_TRUE(Make(d, w, h, 24));
    Fill(d, [](int x, int y) { return uint32_t(x * 3) << 16 | uint32_t(y * 2) << 8 | uint32_t((x + y) & 255); });
}

int Export(Dib* d, const std::string& path, int type, ImageConvertParams* p) {
    return pmImageConvert_DIBExport(reinterpret_cast<BITMAPINFOHEADER**>(&d->h), &d->b, path.c_str(), type, p);
}

std::vector<uint8_t> Contents(const std::string& path) {
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(path, &data);
    return data;
}

}  // namespace

TEST(DibExport, WritesEachTypeTurnedAndZoomed) {
    pmtest::TempDir dir;
    struct Case { int type; const char* name; uint8_t magic0, magic1; } cases[] = {
        {1, "a.bmp", 'B', 'M'}, {3, "a.jpg", 0xFF, 0xD8}, {5, "a.gif", 'G', 'I'}, {6, "a.png", 0x89, 'P'},
    };
    for (const Case& c : cases) {
        Dib d;
        Photo(&d, 640, 480);
        ImageConvertParams* p = Settings();
        p->Direction = 1;
        p->BitCount = 24;
        ASSERT_EQ(Export(&d, dir / c.name, c.type, p), 1) << c.type;
        // Turned clockwise, then fitted: 48 x 64.
        EXPECT_EQ(d.width(), 48);
        EXPECT_EQ(d.height(), 64);
        EXPECT_EQ(d.depth(), c.type == 5 ? 8 : 24);
        std::vector<uint8_t> data = Contents(dir / c.name);
        ASSERT_GT(data.size(), 8u);
        EXPECT_EQ(data[0], c.magic0);
        EXPECT_EQ(data[1], c.magic1);
    }
}

TEST(DibExport, GifTakesThePipelinesDepth) {
    pmtest::TempDir dir;
    Dib d;
    Photo(&d, 50, 40);
    ImageConvertParams* p = Settings();
    p->BitCount = 4;
    ASSERT_EQ(Export(&d, dir / "d.gif", 5, p), 1);
    std::vector<uint8_t> data = Contents(dir / "d.gif");
    ASSERT_GT(data.size(), 13u);
    // Logical screen descriptor: a global table of 2^(n+1) entries.
    EXPECT_EQ(data[10] & 0x80, 0x80);
    EXPECT_EQ(data[10] & 7, 3);
}

TEST(DibExport, RefusesWithoutTouchingTheImageOrFiles) {
    pmtest::TempDir dir;
    Dib d;
    Photo(&d, 40, 30);
    DibHeader* h = d.h;
    uint8_t* b = d.b;
    EXPECT_EQ(Export(&d, dir / "none.bmp", 0, Settings()), 0);
    EXPECT_FALSE(pmtest::FileExists(dir / "none.bmp"));

    // An existing file without the overwrite bit stays as it was.
    std::string existing = dir / "old.bmp";
    ASSERT_TRUE(pmtest::WriteWholeFile(existing, "keep", 4));
    ImageConvertParams* p = Settings();
    p->FileMode = 0;
    EXPECT_EQ(Export(&d, existing, 1, p), 0);
    EXPECT_EQ(Contents(existing), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
    EXPECT_EQ(d.h, h);
    EXPECT_EQ(d.b, b);

    // A header without a bit count is no image.
    d.h->biBitCount = 0;
    EXPECT_EQ(Export(&d, dir / "empty.bmp", 1, Settings()), 0);
    EXPECT_FALSE(pmtest::FileExists(dir / "empty.bmp"));
    d.h->biBitCount = 24;
    EXPECT_EQ(pmImageConvert_DIBExport(nullptr, nullptr, (dir / "x.bmp").c_str(), 1, Settings()), 0);
}

TEST(DibExport, PipelineFailureLeavesAnEmptyFile) {
    pmtest::TempDir dir;
    Dib d;
    Photo(&d, 40, 30);
    ImageConvertParams* p = Settings();
    p->UseFilter = 1;
    p->Filter = 11;  // no such filter
    std::string path = dir / "failed.png";
    EXPECT_EQ(Export(&d, path, 6, p), 0);
    EXPECT_TRUE(pmtest::FileExists(path));
    EXPECT_TRUE(Contents(path).empty());
    ASSERT_NE(d.h, nullptr);  // the zoomed image, still the caller's
    EXPECT_EQ(d.width(), 64);
    // UseFilter 0 ignores the bad code.
    p->UseFilter = 0;
    EXPECT_EQ(Export(&d, path, 6, p), 1);
}

TEST(DibExport, AllocationFailuresLeakNothing) {
    pmtest::TempDir dir;
    bool written = false;
    for (int n = 0; n < 100 && !written; ++n) {
        LeakCheck leaks;
        {
            Dib d;
            Photo(&d, 80, 60);
            ImageConvertParams* p = Settings();
            p->BitCount = 8;
            p->Direction = 5;
            p->UseFilter = 1;
            p->Filter = 13;
            PmHeap_FailAfter(n);
            int r = Export(&d, dir / "leak.gif", 5, p);
            PmHeap_FailAfter(-1);
            ASSERT_NE(d.h, nullptr);
            written = r == 1;
        }
        ASSERT_EQ(leaks.Leaked(), 0) << "after failing allocation " << n;
    }
    EXPECT_TRUE(written);
}
