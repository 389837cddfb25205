// Photos through whole runs: upright by the stored orientation, colours by
// the embedded profile, metadata kept on request, no enlarging on request.
#include "batch_images.h"
#include "batch_support.h"

#include "entry/extras.h"
#include "imaging/photo.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmfile.h"
#include "photo/exif_builder.h"
#include "photo/icc_fixture.h"
#include "photo/photo_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

bool Make24(Image* img, int w, int h) {
    DibHeader t{};
    t.biSize = sizeof t;
    t.biWidth = w;
    t.biHeight = h;
    t.biPlanes = 1;
    t.biBitCount = 24;
    return DibCore_Create(&t, 0, &img->h, &img->b) != 0;
}

int MaxDiff(uint32_t a, uint32_t b) {
    int m = 0;
    for (int s = 0; s < 24; s += 8) m = std::max(m, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
    return m;
}

// Where a run over the folder "in" puts the output of one of its files.
std::string Out(const RunResult& r, const std::string& name) { return Join(Join(r.outputFolder, "in"), name); }

// A run with the given extras bound to its settings record.
RunResult RunWith(ImageConvertParams* p, ImageConvertExtras extras, const std::vector<std::string>& entries) {
    ScopedExtras bind(p, &extras);
    return RunWalk(p, entries);
}

// --- orientation ------------------------------------------------------------

// Four quadrants of distinct colours: every one of the eight orientations
// puts them in another arrangement. 48 x 32 in blocks of 16 (JPEG-friendly).
constexpr uint32_t kQuadrant[4] = {0xE02020, 0x20C020, 0x2020E0, 0xE0E020};  // TL, TR, BL, BR
uint32_t UprightAt(int x, int y) { return kQuadrant[(y >= 16 ? 2 : 0) + (x >= 24 ? 1 : 0)]; }

// How a camera stores the upright picture (48 x 32) for each value.
void StoredToUpright(int o, int x, int y, int* ux, int* uy) {
    const int w = 48, h = 32;
    switch (o) {
    case 2: *ux = w - 1 - x; *uy = y; break;
    case 3: *ux = w - 1 - x; *uy = h - 1 - y; break;
    case 4: *ux = x; *uy = h - 1 - y; break;
    case 5: *ux = y; *uy = x; break;
    case 6: *ux = w - 1 - y; *uy = x; break;
    case 7: *ux = w - 1 - y; *uy = h - 1 - x; break;
    case 8: *ux = y; *uy = h - 1 - x; break;
    default: *ux = x; *uy = y; break;
    }
}

void MakeStored(int o, Image* img) {
    bool swap = o >= 5;
    ASSERT_TRUE(Make24(img, swap ? 32 : 48, swap ? 48 : 32));
    for (int y = 0; y < img->height(); ++y)
        for (int x = 0; x < img->width(); ++x) {
            int ux, uy;
            StoredToUpright(o, x, y, &ux, &uy);
            img->Set(x, y, UprightAt(ux, uy));
        }
}

void ExpectUprightThumbnail(const std::string& path, const std::string& what) {
    Image out;
    ASSERT_GT(Read(path, kTypePng, &out), 0) << what;
    ASSERT_EQ(out.width(), 24) << what;
    ASSERT_EQ(out.height(), 16) << what;
    for (int q = 0; q < 4; ++q) {
        int x = q & 1 ? 18 : 5, y = q & 2 ? 12 : 3;
        EXPECT_LE(MaxDiff(out.Rgb(x, y), kQuadrant[q]), 24) << what << " quadrant " << q;
    }
}

TEST(PhotoRun, EightOrientationsGiveOneUprightThumbnail) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    for (int o = 1; o <= 8; ++o) {
        Image stored;
        MakeStored(o, &stored);
        exiftest::Builder b(o % 2 == 0);  // both byte orders
        std::vector<uint8_t> exif = b.Camera(o, uint32_t(stored.width()), uint32_t(stored.height()));
        std::string n = std::to_string(o);
        ASSERT_TRUE(phototest::WriteJpeg(Join(in, "j" + n + ".jpg"), stored.h, stored.b, exif, {}, {}));
        ASSERT_TRUE(phototest::WritePng(Join(in, "p" + n + ".png"), stored.h, stored.b, exif, {}));
        ASSERT_TRUE(phototest::WriteTiff(Join(in, "t" + n + ".tif"), stored.h, stored.b, o, {}));
    }
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.Size = SIZE{24, 24};
    RunResult r = RunWith(&p, kDefaultExtras, {in});
    ASSERT_EQ(r.processed, 24);
    ASSERT_EQ(r.succeeded, 24);
    for (const char* kind : {"j", "p", "t"})
        for (int o = 1; o <= 8; ++o) {
            std::string name = std::string(kind) + std::to_string(o);
            ExpectUprightThumbnail(Out(r, name + ".png"), name);
        }
}

TEST(PhotoRun, ReducedDecodesJudgeAndPlaceTheUprightPicture) {
    // Large enough for the reader to decode at a fraction: 512 x 256
    // upright, its quadrants 256 x 128, into a box of 64 x 16.
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    for (int o : {3, 6, 8}) {
        bool swap = o >= 5;
        Image stored;
        ASSERT_TRUE(Make24(&stored, swap ? 256 : 512, swap ? 512 : 256));
        for (int y = 0; y < stored.height(); ++y)
            for (int x = 0; x < stored.width(); ++x) {
                int ux, uy;
                // StoredToUpright works on the 48 x 32 picture; scaled up.
                StoredToUpright(o, x * (swap ? 32 : 48) / stored.width(), y * (swap ? 48 : 32) / stored.height(),
                                &ux, &uy);
                stored.Set(x, y, UprightAt(ux, uy));
            }
        exiftest::Builder b(false);
        ASSERT_TRUE(phototest::WriteJpeg(Join(in, "r" + std::to_string(o) + ".jpg"), stored.h, stored.b,
                                         b.Camera(o, uint32_t(stored.width()), uint32_t(stored.height())), {}, {}));
    }
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.Size = SIZE{64, 16};
    RunResult r = RunWith(&p, kDefaultExtras, {in});
    ASSERT_EQ(r.succeeded, 3);
    for (int o : {3, 6, 8}) {
        Image out;
        ASSERT_GT(Read(Out(r, "r" + std::to_string(o) + ".png"), kTypePng, &out), 0);
        ASSERT_EQ(out.width(), 32) << o;
        ASSERT_EQ(out.height(), 16) << o;
        for (int q = 0; q < 4; ++q) {
            int x = q & 1 ? 24 : 6, y = q & 2 ? 12 : 3;
            EXPECT_LE(MaxDiff(out.Rgb(x, y), kQuadrant[q]), 24) << "orientation " << o << " quadrant " << q;
        }
    }
}

TEST(PhotoRun, DirectionActsOnTheUprightPictureAndAutoRotateOffKeepsItAsStored) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    Image stored;
    MakeStored(6, &stored);
    exiftest::Builder b(false);
    ASSERT_TRUE(phototest::WriteJpeg(Join(in, "six.jpg"), stored.h, stored.b, b.Camera(6, 32, 48), {}, {}));

    // "Turn portrait pictures to landscape": the upright picture is already
    // landscape, so Direction 3 leaves it alone.
    ImageConvertParams p;
    MakeParams(&p, dir / "out1", kQuietMode, kTypePng);
    p.Size = SIZE{24, 24};
    p.Direction = 3;
    RunResult r = RunWith(&p, kDefaultExtras, {in});
    ASSERT_EQ(r.succeeded, 1);
    ExpectUprightThumbnail(Out(r, "six.png"), "direction 3");

    MakeParams(&p, dir / "out2", kQuietMode, kTypePng);
    p.Size = SIZE{24, 24};
    ImageConvertExtras off = kDefaultExtras;
    off.AutoRotate = 0;
    r = RunWith(&p, off, {in});
    ASSERT_EQ(r.succeeded, 1);
    int w = 0, h = 0;
    ASSERT_TRUE(batchtest::ImageSize(Out(r, "six.png"), kTypePng, &w, &h));
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 24);

    // A TIFF comes as stored too, whichever other options are off: its
    // library's own flips do not half-apply the orientation.
    Image three;
    MakeStored(3, &three);
    std::string tiffIn = dir / "tiff";
    pmtest::MakeDir(tiffIn);
    ASSERT_TRUE(phototest::WriteTiff(Join(tiffIn, "three.tif"), three.h, three.b, 3, {}));
    for (ImageConvertExtras x : {off, ImageConvertExtras{0, 0, 0, 0, 0}}) {
        MakeParams(&p, dir / ("out3" + std::to_string(x.ColorManage)), kQuietMode, kTypePng);
        p.Size = SIZE{24, 24};
        r = RunWith(&p, x, {tiffIn});
        ASSERT_EQ(r.succeeded, 1);
        Image out;
        ASSERT_GT(Read(Join(Join(r.outputFolder, "tiff"), "three.png"), kTypePng, &out), 0);
        EXPECT_LE(MaxDiff(out.Rgb(18, 12), kQuadrant[0]), 24) << "upside down, as stored";
        EXPECT_LE(MaxDiff(out.Rgb(5, 3), kQuadrant[3]), 24) << "upside down, as stored";
    }
}

// Pixels left as stored (AutoRotate off) and turned by a Direction rule keep
// an orientation that, applied by a viewer, still gives the upright
// picture: the rule's turn is neither lost nor applied twice.
TEST(PhotoRun, AutoRotateOffKeepsTheOrientationTheWrittenPixelsHave) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    Image stored;
    MakeStored(6, &stored);
    exiftest::Builder b(true);
    ASSERT_TRUE(phototest::WriteJpeg(Join(in, "six.jpg"), stored.h, stored.b, b.Camera(6, 32, 48), {}, {}));
    ImageConvertExtras x = kDefaultExtras;
    x.AutoRotate = 0;
    x.KeepMetadata = 1;
    struct Case {
        int direction, type;
        int want;  // the orientation written
    };
    // Direction 7 turns a quarter clockwise, as the camera asks; 5 the
    // other way, leaving the picture upside down.
    const Case cases[] = {{0, kTypePng, 6}, {7, kTypePng, 1}, {5, kTypePng, 3},
                          {7, kTypeJpeg, 1}, {5, kTypeJpeg, 3}, {5, kTypeTiff, 3}};
    int n = 0;
    for (const Case& c : cases) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(n++)), kQuietMode, c.type);
        p.Size = SIZE{24, 24};
        p.Direction = c.direction;
        RunResult r = RunWith(&p, x, {in});
        ASSERT_EQ(r.succeeded, 1);
        const char* ext = c.type == kTypeJpeg ? ".jpg" : c.type == kTypePng ? ".png" : ".tif";
        std::string what = "direction " + std::to_string(c.direction) + ext;
        Image out;
        DibMetadata meta;
        ASSERT_GT(Read(Out(r, std::string("six") + ext), c.type, &out, &meta), 0) << what;
        EXPECT_EQ(meta.orientation, c.want) << what;
        if (c.type != kTypeTiff) EXPECT_EQ(Exif_OrientationFromBytes(meta.exif.data(), meta.exif.size()), c.want) << what;
        ASSERT_EQ(Photo_Upright(meta.orientation, &out.h, &out.b), 0) << what;
        ASSERT_EQ(out.width(), 24) << what;
        for (int q = 0; q < 4; ++q) {
            int px = q & 1 ? 18 : 5, py = q & 2 ? 12 : 3;
            EXPECT_LE(MaxDiff(out.Rgb(px, py), kQuadrant[q]), 24) << what << " quadrant " << q;
        }
    }
}

// --- colour profiles --------------------------------------------------------

constexpr uint32_t kSwatch[8] = {0x20C040, 0xE03020, 0x2040E0, 0x808080, 0xF0E0A0, 0x10A0A0, 0xC040C0, 0x60A020};

void MakeSwatches(Image* img) {
    ASSERT_TRUE(Make24(img, 128, 16));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 128; ++x) img->Set(x, y, kSwatch[x / 16]);
}

TEST(PhotoRun, AdobeRgbPhotoMatchesTheSrgbOriginalInEveryOutput) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    Image srgb, adobe;
    MakeSwatches(&srgb);
    MakeSwatches(&adobe);
    for (int y = 0; y < 16; ++y) icctest::SrgbToAdobe(adobe.Pixel(0, y), 128);
    ASSERT_TRUE(phototest::WriteJpeg(Join(in, "srgb.jpg"), srgb.h, srgb.b, {}, {}, {}, 98));
    const std::vector<uint8_t> adobeProfile = icctest::AdobeRgb();
    ASSERT_TRUE(phototest::WriteJpeg(Join(in, "adobe.jpg"), adobe.h, adobe.b, {}, adobeProfile, {}, 98));

    const int types[] = {kTypeJpeg, kTypePng, kTypeBmp, kTypeGif};
    for (int colorManage : {1, 0}) {
        for (int type : types) {
            ImageConvertParams p;
            std::string out = dir / ("out" + std::to_string(type) + "_" + std::to_string(colorManage));
            MakeParams(&p, out, kQuietMode, type);
            p.Size = SIZE{64, 64};
            ImageConvertExtras x = kDefaultExtras;
            x.ColorManage = colorManage;
            RunResult r = RunWith(&p, x, {in});
            ASSERT_EQ(r.succeeded, 2) << "type " << type;
            const char* ext = type == kTypeJpeg ? ".jpg" : type == kTypePng ? ".png" : type == kTypeBmp ? ".bmp" : ".gif";
            Image a, s;
            DibMetadata meta;
            ASSERT_GT(Read(Out(r, std::string("adobe") + ext), type, &a, &meta), 0);
            ASSERT_GT(Read(Out(r, std::string("srgb") + ext), type, &s), 0);
            // Pixels left in Adobe RGB say so; converted ones need no profile.
            if (type == kTypeJpeg || type == kTypePng)
                EXPECT_EQ(meta.icc, colorManage ? std::vector<uint8_t>{} : adobeProfile) << "type " << type;
            ASSERT_EQ(a.width(), 64);
            int worst = 0;
            for (int i = 0; i < 8; ++i) worst = std::max(worst, MaxDiff(a.Rgb(i * 8 + 4, 4), s.Rgb(i * 8 + 4, 4)));
            if (colorManage)
                EXPECT_LE(worst, 8) << "type " << type;
            else
                EXPECT_GT(worst, 20) << "type " << type << ": without colour management the colours stay off";
        }
    }
}

// --- metadata ---------------------------------------------------------------

// The first field of `tag` in a list, or null.
const ExifField* FieldOf(const std::vector<ExifField>& fields, uint16_t tag) {
    for (const ExifField& f : fields)
        if (f.tag == tag) return &f;
    return nullptr;
}

// JPEG and TIFF photos, stored turned, into JPEG, PNG and TIFF: the camera's
// data goes along only when asked, upright, without thumbnail, the pixel
// sizes of the output (or none when the input had none).
TEST(PhotoRun, KeepMetadataCarriesExifXmpAndIptc) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    Image stored;
    MakeStored(6, &stored);
    exiftest::Builder b(true);
    std::vector<uint8_t> exif = b.Photo(6, 32, 48);
    ASSERT_TRUE(Exif_Inspect(exif.data(), exif.size()).hasThumbnail);
    phototest::Segment xmp = phototest::Xmp(), iptc = phototest::Iptc();
    ASSERT_TRUE(phototest::WriteJpeg(Join(in, "cam.jpg"), stored.h, stored.b, exif, {}, {xmp, iptc}));
    size_t n = 0;
    const uint8_t* packet = Exif_XmpFromApp1(xmp.data.data(), xmp.data.size(), &n);
    std::vector<uint8_t> bareXmp(packet, packet + n);
    const uint8_t* record = Exif_IptcFromApp13(iptc.data.data(), iptc.data.size(), &n);
    std::vector<uint8_t> bareIptc(record, record + n);
    ASSERT_TRUE(phototest::WriteCameraTiff(Join(in, "tcam.tif"), stored.h, stored.b, 6, bareXmp, bareIptc));

    struct Input {
        const char* stem;
        const char* make;
        int64_t pixelWidth, pixelHeight;  // -1: the input has none
    };
    const Input inputs[] = {{"cam", "Canon", 24, 16}, {"tcam", "Pentax", -1, -1}};
    for (int keep : {1, 0}) {
        for (int type : {kTypeJpeg, kTypePng, kTypeTiff}) {
            ImageConvertParams p;
            MakeParams(&p, dir / ("out" + std::to_string(keep) + std::to_string(type)), kQuietMode, type);
            p.Size = SIZE{24, 24};
            ImageConvertExtras x = kDefaultExtras;
            x.KeepMetadata = keep;
            RunResult r = RunWith(&p, x, {in});
            ASSERT_EQ(r.succeeded, 2);
            for (const Input& input : inputs) {
                std::string what = std::string(input.stem) + " to type " + std::to_string(type);
                const char* ext = type == kTypeJpeg ? ".jpg" : type == kTypePng ? ".png" : ".tif";
                Image out;
                DibMetadata meta;
                ASSERT_GT(Read(Out(r, input.stem + std::string(ext)), type, &out, &meta), 0) << what;
                ASSERT_EQ(out.width(), 24) << what;
                if (!keep) {
                    EXPECT_TRUE(meta.exif.empty()) << what;
                    EXPECT_TRUE(meta.segments.empty()) << what;
                    continue;
                }
                ExifSummary s = Exif_Inspect(meta.exif.data(), meta.exif.size());
                ASSERT_TRUE(s.valid) << what;
                EXPECT_EQ(s.orientation, 1) << what;
                EXPECT_EQ(meta.orientation, 1) << what;
                EXPECT_FALSE(s.hasThumbnail) << what;
                EXPECT_EQ(s.pixelWidth, input.pixelWidth) << what;
                EXPECT_EQ(s.pixelHeight, input.pixelHeight) << what;
                ExifFields f;
                ASSERT_TRUE(Exif_CollectFields(meta.exif.data(), meta.exif.size(), &f)) << what;
                const ExifField* make = FieldOf(f.ifd0, kExifTagMake);
                ASSERT_NE(make, nullptr) << what;
                EXPECT_EQ(std::string(make->value.begin(), make->value.end() - 1), input.make) << what;
                EXPECT_NE(FieldOf(f.exif, 0x829A), nullptr) << what;  // ExposureTime
                if (type == kTypePng) {
                    EXPECT_TRUE(meta.segments.empty()) << what;
                } else {
                    ASSERT_EQ(meta.segments.size(), 2u) << what;
                    EXPECT_EQ(meta.segments[0].data, xmp.data) << what;
                    EXPECT_EQ(meta.segments[1].data, iptc.data) << what;
                }
            }
        }
    }
}

// A WebP photo stored turned, with its camera data: read (reduced, turned
// upright), written as WebP with the EXIF and XMP in their chunks when asked
// and without them otherwise.
TEST(PhotoRun, WebpPhotoToWebpKeepsItsDataOnRequest) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    Image stored;
    MakeStored(6, &stored);
    exiftest::Builder b(true);
    DibMetadata camera;
    camera.exif = b.Photo(6, 32, 48);
    phototest::Segment xmp = phototest::Xmp();
    camera.segments.push_back(DibSegment{0xE1, xmp.data});
    {
        PmFileHandle f = PmFile_CreateWrite(Join(in, "cam.webp").c_str());
        ASSERT_NE(f, nullptr);
        DibIOOptions o;
        DibIO_GetDefaultOptions(kTypeWebp, &o);
        o.Webp.Lossless = 1;
        ASSERT_EQ(DibIO_WriteMeta(0, f, kTypeWebp, &o, &camera, stored.h, stored.b), 1);
        PmFile_Close(f);
    }
    for (int keep : {1, 0}) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(keep)), kQuietMode, kTypeWebp);
        p.Size = SIZE{24, 24};
        ImageConvertExtras x = kDefaultExtras;
        x.KeepMetadata = keep;
        x.Webp = WebpSaveOptions{90, 0};
        RunResult r = RunWith(&p, x, {in});
        ASSERT_EQ(r.succeeded, 1);
        Image out;
        DibMetadata meta;
        ASSERT_EQ(Read(Out(r, "cam.webp"), kTypeWebp, &out, &meta), 24);
        ASSERT_EQ(out.width(), 24);
        ASSERT_EQ(out.height(), 16);
        for (int q = 0; q < 4; ++q) {
            int px = q & 1 ? 18 : 5, py = q & 2 ? 12 : 3;
            EXPECT_LE(MaxDiff(out.Rgb(px, py), kQuadrant[q]), 24) << "quadrant " << q;
        }
        if (!keep) {
            EXPECT_TRUE(meta.exif.empty());
            EXPECT_TRUE(meta.segments.empty());
            continue;
        }
        ExifSummary s = Exif_Inspect(meta.exif.data(), meta.exif.size());
        ASSERT_TRUE(s.valid);
        EXPECT_EQ(s.orientation, 1);
        EXPECT_FALSE(s.hasThumbnail);
        ASSERT_EQ(meta.segments.size(), 1u);
        EXPECT_EQ(meta.segments[0].data, xmp.data);
    }
}

// --- no enlarging -----------------------------------------------------------

TEST(PhotoRun, NoEnlargeKeepsSmallImagesUnderFitAndStretch) {
    TempDir dir;
    std::string in = dir / "in";
    pmtest::MakeDir(in);
    struct Size {
        const char* name;
        int w, h;
    };
    const Size sizes[] = {{"small", 40, 30}, {"equal", 96, 96}, {"large", 200, 100}, {"wide", 200, 40}};
    for (const Size& s : sizes) {
        Image img;
        ASSERT_TRUE(Make24(&img, s.w, s.h));
        ASSERT_TRUE(phototest::WritePng(Join(in, std::string(s.name) + ".png"), img.h, img.b, {}, {}));
    }
    struct Want {
        int resize, noEnlarge;
        int w[4], h[4];
    };
    const Want wants[] = {
        {1, 1, {40, 96, 96, 96}, {30, 96, 48, 19}},
        {1, 0, {96, 96, 96, 96}, {72, 96, 48, 19}},
        {2, 1, {40, 96, 96, 96}, {30, 96, 96, 40}},
        {2, 0, {96, 96, 96, 96}, {96, 96, 96, 96}},
    };
    for (const Want& want : wants) {
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(want.resize) + std::to_string(want.noEnlarge)), kQuietMode,
                   kTypePng);
        p.Resize = want.resize;
        ImageConvertExtras x = kDefaultExtras;
        x.NoEnlarge = want.noEnlarge;
        RunResult r = RunWith(&p, x, {in});
        ASSERT_EQ(r.succeeded, 4);
        for (int i = 0; i < 4; ++i) {
            int w = 0, h = 0;
            ASSERT_TRUE(batchtest::ImageSize(Out(r, std::string(sizes[i].name) + ".png"), kTypePng, &w, &h));
            EXPECT_EQ(w, want.w[i]) << sizes[i].name << " resize " << want.resize << " noEnlarge " << want.noEnlarge;
            EXPECT_EQ(h, want.h[i]) << sizes[i].name << " resize " << want.resize << " noEnlarge " << want.noEnlarge;
        }
    }
}

}  // namespace
