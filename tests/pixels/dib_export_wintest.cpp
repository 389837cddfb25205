// The exported conversion of an in-memory DIB.
#include "dibtest.h"
#include "common/testsupport.h"
#include "entry/extras.h"
#include "imaging/dib_export.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmfile.h"

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
        {10, "a.webp", 'R', 'I'},
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

// The WebP options come from the extras bound to the caller's record: the
// quality reaches the encoder, lossless makes a lossless file.
TEST(DibExport, WebpTakesItsOptionsFromTheBoundExtras) {
    pmtest::TempDir dir;
    std::vector<std::vector<uint8_t>> files;
    for (WebpSaveOptions o : {WebpSaveOptions{10, 0}, WebpSaveOptions{95, 0}, WebpSaveOptions{80, 1}}) {
        Dib d;
        Photo(&d, 320, 240);
        ImageConvertParams* p = Settings();
        ImageConvertExtras x = kDefaultExtras;
        x.Webp = o;
        ScopedExtras bind(p, &x);
        const std::string path = dir / ("w" + std::to_string(files.size()) + ".webp");
        ASSERT_EQ(Export(&d, path, 10, p), 1);
        files.push_back(Contents(path));
        ASSERT_GT(files.back().size(), 16u);
    }
    EXPECT_LT(files[0].size(), files[1].size());
    EXPECT_EQ(std::string(files[1].begin() + 12, files[1].begin() + 16), "VP8 ");
    EXPECT_EQ(std::string(files[2].begin() + 12, files[2].begin() + 16), "VP8L");
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

namespace {

// A DIB as another program makes it: blocks of the process heap, header
// and table in one, the pixels in a second block or (packed) in the same.
struct CallerDib {
    BITMAPINFOHEADER* h = nullptr;
    BYTE* b = nullptr;
};

CallerDib CallerAlloc(int w, int h, int depth, bool packed) {
    CallerDib d;
    size_t table = depth <= 8 ? (size_t(1) << depth) * 4 : 0;
    size_t stride = size_t((w * depth + 31) / 32 * 4), bytes = stride * size_t(h);
    HANDLE heap = GetProcessHeap();
    d.h = static_cast<BITMAPINFOHEADER*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 40 + table + (packed ? bytes : 0)));
    d.b = packed ? reinterpret_cast<BYTE*>(d.h) + 40 + table : static_cast<BYTE*>(HeapAlloc(heap, 0, bytes));
    *d.h = BITMAPINFOHEADER{40, w, h, 1, WORD(depth), BI_RGB, DWORD(bytes), 0, 0, 0, 0};
    auto* quads = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(d.h) + 40);
    for (size_t i = 0; i < table / 4; ++i) quads[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    // Left half dark, right half light, whatever the depth.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            BYTE v = x < w / 2 ? 40 : 220;
            BYTE* row = d.b + size_t(y) * stride;
            if (depth == 8) row[x] = v;
            else row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
    return d;
}

void ReadBmp(const std::string& path, Dib* out) {
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    ASSERT_NE(f, nullptr) << path;
    EXPECT_GT(DibIO_Read(0, f, 1, 0, 0, 0, nullptr, &out->h, &out->b), 0) << path;
    PmFile_Close(f);
}

// What the contract asks of the caller afterwards, each free checked.
// Returns whether the pixels lay inside the header's block.
bool CallerFree(BITMAPINFOHEADER* h, BYTE* b) {
    HANDLE heap = GetProcessHeap();
    EXPECT_TRUE(HeapValidate(heap, 0, h));
    SIZE_T size = HeapSize(heap, 0, h);
    bool inside = size != SIZE_T(-1) && b >= reinterpret_cast<BYTE*>(h) && b < reinterpret_cast<BYTE*>(h) + size;
    if (!inside) {
        EXPECT_TRUE(HeapValidate(heap, 0, b));
        EXPECT_TRUE(HeapFree(heap, 0, b));
    }
    EXPECT_TRUE(HeapFree(heap, 0, h));
    return inside;
}

}  // namespace

TEST(DibExport, CallerHeapBlocksGoInAndComeBackFreeable) {
    // Two-block and packed DIBs of 8 and 24 bits, once turned and zoomed
    // (the image is replaced) and once left as it is. The caller's old
    // blocks must be freed once each, a packed block never through its
    // pixel pointer, and what comes back must free with HeapFree.
    pmtest::TempDir dir;
    for (bool packed : {false, true})
        for (int depth : {8, 24})
            for (bool replaced : {true, false}) {
                SCOPED_TRACE(testing::Message() << (packed ? "packed " : "two blocks ") << depth << " bits"
                                                << (replaced ? ", replaced" : ", kept"));
                long badBefore = PmHeap_BadFrees();
                CallerDib given = CallerAlloc(40, 30, depth, packed);
                ASSERT_NE(given.h, nullptr);
                ASSERT_NE(given.b, nullptr);
                BITMAPINFOHEADER* h = given.h;
                BYTE* b = given.b;
                ImageConvertParams* p = Settings();
                p->BitCount = depth;
                p->Resize = 0;
                p->Direction = replaced ? 5 : 0;  // 5: always a quarter turn
                std::string path = dir / "caller.bmp";
                ASSERT_EQ(pmImageConvert_DIBExport(&h, &b, path.c_str(), 1, p), 1);
                EXPECT_EQ(PmHeap_BadFrees(), badBefore) << "a pointer that starts no block was freed";
                EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
                // The written file shows the image, turned or not.
                Dib file;
                ReadBmp(path, &file);
                ASSERT_NE(file.h, nullptr);
                EXPECT_EQ(file.width(), replaced ? 30 : 40);
                EXPECT_EQ(CallerFree(h, b), packed && !replaced) << "only an untouched packed DIB stays one block";
            }
}

TEST(DibExport, SixFiveFiveInputKeepsItsColours) {
    // A 16-bit bit-field DIB with 5-6-5 masks: pure green must stay pure
    // green (read as 5-5-5 it would gain red and lose half its green).
    pmtest::TempDir dir;
    for (int direction : {0, 5}) {
        Dib d;
        ASSERT_TRUE(MakeMasked(&d, 20, 10, 16, 0xF800, 0x07E0, 0x001F));
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 20; ++x) {
                d.Row(y)[2 * x] = 0xE0;
                d.Row(y)[2 * x + 1] = 0x07;
            }
        ImageConvertParams* p = Settings();
        p->Direction = direction;
        p->BitCount = 24;
        std::string path = dir / "green.bmp";
        ASSERT_EQ(Export(&d, path, 1, p), 1) << direction;
        Dib file;
        ReadBmp(path, &file);
        ASSERT_NE(file.h, nullptr);
        for (int y = 0; y < file.height(); y += 5)
            for (int x = 0; x < file.width(); x += 5) ASSERT_EQ(file.Rgb(x, y), 0x00FF00u) << direction << ": " << x << "," << y;
    }
}
