// WebP reading and writing: round trips through our own reader and through
// outside readers, the reduced read, an animation's first frame, metadata,
// and files that must fail without harm.
#include "codec_support.h"
#include "common/testsupport.h"

#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"

#include <gtest/gtest.h>

#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace codectest;

namespace {

int Rows(const DibHeader* h) { return h->biHeight < 0 ? -h->biHeight : h->biHeight; }

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> d;
    pmtest::ReadWholeFile(path, &d);
    return d;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& d) {
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    if (!f) return false;
    bool ok = d.empty() || PmFile_Write(f, d.data(), d.size()) == int64_t(d.size());
    PmFile_Close(f);
    return ok;
}

DibIOOptions WebpOptions(int quality, bool lossless) {
    DibIOOptions o;
    DibIO_GetDefaultOptions(kTypeWebp, &o);
    o.Webp.Quality = uint8_t(quality);
    o.Webp.Lossless = lossless ? 1 : 0;
    return o;
}

double Psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int sh = 0; sh < 24; sh += 8) {
            double d = double((a[i] >> sh) & 255) - double((b[i] >> sh) & 255);
            se += d * d;
        }
    return 10 * std::log10(255.0 * 255.0 * 3 * double(a.size()) / (se + 1));
}

// A WebP made by libwebp's own encoder from RGBA pixels.
std::vector<uint8_t> Encode(int w, int h, const std::vector<uint8_t>& rgba, bool lossless) {
    uint8_t* out = nullptr;
    size_t n = lossless ? WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &out)
                        : WebPEncodeRGBA(rgba.data(), w, h, w * 4, 90, &out);
    std::vector<uint8_t> d(out, out + n);
    WebPFree(out);
    return d;
}

std::vector<uint8_t> Solid(int w, int h, uint32_t rgba) {
    std::vector<uint8_t> p(size_t(w) * h * 4);
    for (size_t i = 0; i < p.size(); i += 4) {
        p[i] = uint8_t(rgba >> 24);
        p[i + 1] = uint8_t(rgba >> 16);
        p[i + 2] = uint8_t(rgba >> 8);
        p[i + 3] = uint8_t(rgba);
    }
    return p;
}

// The 24-bit pattern with its noisy channel made flat: gradients only, which
// a lossy coder keeps closely and which can be compared place by place.
void MakeSmooth(int w, int h, Dib* out) {
    MakePattern(w, h, 24, out);
    const size_t stride = size_t(DibCore_GetRowStride(out->h, 0));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out->b[size_t(y) * stride + size_t(x) * 3 + 2] = 128;
}

class Webp : public testing::Test {
protected:
    pmtest::TempDir dir;
};

// Lossless keeps every pixel and alpha of every depth a writer is given
// (palettes with their transparent entry, 16-bit widened); lossy keeps the
// picture and size.
TEST_F(Webp, RoundTripsEveryDepthLosslessExactlyAndLossyClosely) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        Dib src;
        if (bits == 24) MakeSmooth(61, 37, &src);
        else MakePattern(61, 37, bits, &src);
        if (bits == 8) DibCore_GetPalette(src.h, 0, 0)[5].reserved = kTransparentMark;
        std::vector<uint32_t> want = Colours(src.h, src.b);
        if (bits == 16) {  // as the library widens it
            Dib wide;
            MakePattern(61, 37, 24, &wide);
            ASSERT_TRUE(DibCore_ConvertDepth(src.h, src.b, wide.h, wide.b));
            want = Colours(wide.h, wide.b);
        }
        const std::string ll = dir / "ll.webp", ly = dir / "ly.webp";
        ASSERT_GT(WriteImage(ll, kTypeWebp, WebpOptions(80, true), src), 0);
        ASSERT_GT(WriteImage(ly, kTypeWebp, WebpOptions(95, false), src), 0);
        EXPECT_EQ(ImgRead_IdentifyFile(ll.c_str(), 0, 0, 0), kTypeWebp);
        Dib a, b;
        const int expectDepth = bits == 32 || bits == 8 ? 32 : 24;
        ASSERT_EQ(ReadImage(ll, kTypeWebp, &a), expectDepth);
        EXPECT_EQ(a.h->biWidth, 61);
        EXPECT_EQ(Rows(a.h), 37);
        EXPECT_EQ(CountDiffs(Colours(a.h, a.b), want), 0u);
        ASSERT_GT(ReadImage(ly, kTypeWebp, &b), 0);
        ASSERT_EQ(b.h->biWidth, 61);
        ASSERT_EQ(Rows(b.h), 37);
        const auto got = Colours(b.h, b.b);
        if (bits == 24) {
            EXPECT_GT(Psnr(got, want), 35.0);
        } else if (bits == 32) {
            // The colour under transparent pixels is the encoder's to
            // choose; the alpha plane itself is stored losslessly.
            size_t alphaDiffs = 0;
            for (size_t i = 0; i < got.size(); ++i) alphaDiffs += (got[i] >> 24) != (want[i] >> 24);
            EXPECT_EQ(alphaDiffs, 0u);
        }
    }
}

TEST_F(Webp, QualityChangesTheLossyFile) {
    Dib src;
    MakePattern(128, 96, 24, &src);
    ASSERT_GT(WriteImage(dir / "q10.webp", kTypeWebp, WebpOptions(10, false), src), 0);
    ASSERT_GT(WriteImage(dir / "q95.webp", kTypeWebp, WebpOptions(95, false), src), 0);
    EXPECT_LT(ReadBytes(dir / "q10.webp").size(), ReadBytes(dir / "q95.webp").size());
    DibIOOptions d;
    ASSERT_EQ(DibIO_GetDefaultOptions(kTypeWebp, &d), 1);
    EXPECT_EQ(d.Webp.Quality, 80);
    EXPECT_EQ(d.Webp.Lossless, 0);
}

int Quarter(void*, const PmSize* full, PmSize* target) {
    *target = PmSize{full->cx / 16, full->cy / 16};
    return 1;
}

// Shrink on load: the same coverage as the JPEG reader (four times the
// target kept), the full size reported for the plan, and the picture the
// same as a full decode brought down to that size.
TEST_F(Webp, ReducedReadKeepsFourTimesTheTargetAndReportsTheFullSize) {
    Dib src;
    MakeSmooth(413, 250, &src);
    const std::string path = dir / "big.webp";
    ASSERT_GT(WriteImage(path, kTypeWebp, WebpOptions(90, false), src), 0);
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    DibReadRequest r{};
    r.Size = sizeof r;
    r.TargetSize = Quarter;
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    int depth = DibIO_ReadRequested(f, kTypeWebp, &r, nullptr, &h, &bits);
    PmFile_Close(f);
    ASSERT_EQ(depth, 24);
    EXPECT_EQ(r.FullSize.cx, 413);
    EXPECT_EQ(r.FullSize.cy, 250);
    EXPECT_EQ(r.Reduction, 4u);
    EXPECT_EQ(h->biWidth, (413 + 3) / 4);
    EXPECT_EQ(Rows(h), (250 + 3) / 4);
    // Every reduced pixel shows the full picture where it stands for: a
    // flipped or shifted reduced decode would not.
    Dib full;
    ASSERT_GT(ReadImage(path, kTypeWebp, &full), 0);
    const auto small = Colours(h, bits), big = Colours(full.h, full.b);
    const int sw = h->biWidth, sh = Rows(h);
    DibCore_Free(h, bits);
    size_t far = 0;
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            uint32_t a = small[size_t(y) * sw + x], b = big[size_t(std::min(4 * y + 2, 249)) * 413 + std::min(4 * x + 2, 412)];
            for (int s = 0; s < 24; s += 8) far += std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > 12;
        }
    EXPECT_EQ(far, 0u);
}

// An animation reads as its first frame placed on the canvas: the rest of
// the canvas transparent, the later frames unused.
TEST_F(Webp, AnimationGivesItsFirstFrameOnItsCanvas) {
    WebPMux* mux = WebPMuxNew();
    ASSERT_NE(mux, nullptr);
    std::vector<uint8_t> red = Encode(10, 6, Solid(10, 6, 0xFF0000FF), true);
    std::vector<uint8_t> blue = Encode(40, 30, Solid(40, 30, 0x0000FFFF), true);
    WebPMuxFrameInfo one{};
    one.bitstream = WebPData{red.data(), red.size()};
    one.x_offset = 8;
    one.y_offset = 4;
    one.duration = 100;
    one.id = WEBP_CHUNK_ANMF;
    one.dispose_method = WEBP_MUX_DISPOSE_NONE;
    one.blend_method = WEBP_MUX_BLEND;
    WebPMuxFrameInfo two = one;
    two.bitstream = WebPData{blue.data(), blue.size()};
    two.x_offset = two.y_offset = 0;
    ASSERT_EQ(WebPMuxPushFrame(mux, &one, 1), WEBP_MUX_OK);
    ASSERT_EQ(WebPMuxPushFrame(mux, &two, 1), WEBP_MUX_OK);
    ASSERT_EQ(WebPMuxSetCanvasSize(mux, 40, 30), WEBP_MUX_OK);
    WebPMuxAnimParams params{0xFFFFFFFF, 0};
    ASSERT_EQ(WebPMuxSetAnimationParams(mux, &params), WEBP_MUX_OK);
    WebPData out{};
    ASSERT_EQ(WebPMuxAssemble(mux, &out), WEBP_MUX_OK);
    ASSERT_TRUE(WriteBytes(dir / "anim.webp", std::vector<uint8_t>(out.bytes, out.bytes + out.size)));
    WebPDataClear(&out);
    WebPMuxDelete(mux);

    Dib d;
    ASSERT_EQ(ReadImage(dir / "anim.webp", kTypeWebp, &d), 32);
    ASSERT_EQ(d.h->biWidth, 40);
    ASSERT_EQ(Rows(d.h), 30);
    auto c = Colours(d.h, d.b);
    EXPECT_EQ(c[0] >> 24, 0u) << "outside the frame";
    EXPECT_EQ(c[29 * 40 + 39] >> 24, 0u) << "outside the frame";
    EXPECT_EQ(c[4 * 40 + 8], 0xFFFF0000u) << "the frame's top left";
    EXPECT_EQ(c[9 * 40 + 17], 0xFFFF0000u) << "the frame's bottom right";
    EXPECT_EQ(c[10 * 40 + 17] >> 24, 0u) << "below the frame";
    EXPECT_EQ(c[9 * 40 + 18] >> 24, 0u) << "right of the frame";
}

// KeepMetadata's path: EXIF and XMP go into their chunks and come back as
// they went in; the orientation is read from the EXIF.
TEST_F(Webp, ExifAndXmpSurviveARoundTrip) {
    Dib src;
    MakePattern(32, 24, 24, &src);
    // A little-endian TIFF block with one entry: Orientation = 6.
    const uint8_t tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    const char packet[] = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    const char header[] = "http://ns.adobe.com/xap/1.0/";
    DibMetadata meta;
    meta.exif.assign(tiff, tiff + sizeof tiff);
    DibSegment xmp{0xE1, {}};
    xmp.data.assign(header, header + sizeof header);
    xmp.data.insert(xmp.data.end(), packet, packet + sizeof packet - 1);
    meta.segments.push_back(DibSegment{0xED, {'P', 'h', 'o', 't', 'o'}});  // IPTC: no place in WebP
    meta.segments.push_back(xmp);
    const std::string path = dir / "meta.webp";
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    ASSERT_NE(f, nullptr);
    DibIOOptions o = WebpOptions(80, false);
    ASSERT_EQ(DibIO_WriteMeta(0, f, kTypeWebp, &o, &meta, src.h, src.b), 1);
    PmFile_Close(f);

    f = PmFile_OpenRead(path.c_str());
    ASSERT_NE(f, nullptr);
    DibMetadata back;
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    ASSERT_EQ(DibIO_ReadMeta(0, f, kTypeWebp, nullptr, &back, &h, &bits), 24);
    PmFile_Close(f);
    DibCore_Free(h, bits);
    EXPECT_EQ(back.exif, meta.exif);
    EXPECT_EQ(back.orientation, 6);
    ASSERT_EQ(back.segments.size(), 1u);
    EXPECT_EQ(back.segments[0].data, xmp.data);
}

// Damaged and hostile files: one failure each, no picture, no crash; too
// large a picture is refused as too large before its pixels are allocated.
TEST_F(Webp, DamagedAndHostileFilesFailCleanly) {
    Dib src;
    MakePattern(64, 48, 32, &src);
    ASSERT_GT(WriteImage(dir / "ok.webp", kTypeWebp, WebpOptions(80, false), src), 0);
    const std::vector<uint8_t> good = ReadBytes(dir / "ok.webp");
    ASSERT_GT(good.size(), 40u);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
    for (size_t cut : {size_t(0), size_t(11), size_t(20), size_t(30), good.size() / 2, good.size() - 1})
        cases.push_back({"cut at " + std::to_string(cut), {good.begin(), good.begin() + long(cut)}});
    {
        auto v = good;  // RIFF size beyond the file
        v[4] = 0xF0, v[5] = 0xFF, v[6] = 0xFF, v[7] = 0x7F;
        cases.push_back({"riff size", v});
    }
    {
        auto v = good;  // first chunk's size beyond the RIFF payload
        v[16] = 0xFF, v[17] = 0xFF, v[18] = 0xFF, v[19] = 0x0F;
        cases.push_back({"chunk size", v});
    }
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WriteBytes(dir / "bad.webp", bytes));
        Dib d;
        EXPECT_LE(ReadImage(dir / "bad.webp", kTypeWebp, &d), 0);
        EXPECT_EQ(d.h, nullptr);
    }

    // A lossless header of 16383 x 16383 (above the pixel limit) in a few
    // bytes: refused as too large, before libwebp allocates the frame, even
    // when a reduced read would make a small enough picture of it (the
    // lossless decoder holds every pixel whatever it hands back).
    std::vector<uint8_t> huge = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'L', 16, 0, 0, 0,
                                 0x2F, 0xFE, 0xFF, 0xFF, 0x0F};
    huge.resize(huge.size() + 11, 0);
    huge[4] = uint8_t(huge.size() - 8);
    ASSERT_TRUE(WriteBytes(dir / "huge.webp", huge));
    Dib d;
    EXPECT_LT(ReadImage(dir / "huge.webp", kTypeWebp, &d), 0);
    EXPECT_EQ(d.h, nullptr);
    {
        PmFileHandle f = PmFile_OpenRead((dir / "huge.webp").c_str());
        ASSERT_NE(f, nullptr);
        DibReadRequest r{};
        r.Size = sizeof r;
        r.TargetSize = Quarter;
        EXPECT_LT(DibIO_ReadRequested(f, kTypeWebp, &r, nullptr, &d.h, &d.b), 0);
        PmFile_Close(f);
        EXPECT_EQ(d.h, nullptr);
    }

    // More animation frames than the limit: refused before the demuxer
    // builds a record for each.
    std::vector<uint8_t> many = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P',
                                 'V', 'P', '8', 'X', 10, 0, 0, 0, 0x02, 0, 0, 0, 9, 0, 0, 9, 0, 0};
    for (int i = 0; i < 65537; ++i) many.insert(many.end(), {'A', 'N', 'M', 'F', 0, 0, 0, 0});
    uint32_t riff = uint32_t(many.size() - 8);
    std::memcpy(&many[4], &riff, 4);
    ASSERT_TRUE(WriteBytes(dir / "many.webp", many));
    Dib m;
    EXPECT_EQ(ReadImage(dir / "many.webp", kTypeWebp, &m), 0);
    EXPECT_EQ(m.h, nullptr);
}

TEST(WebpTypes, TablesAndIdentificationKnowTheType) {
    EXPECT_STREQ(ImgKit_GetTypeName(kTypeWebp, 2), ".webp");
    int types[32];
    int n = ImgKit_ListImageTypes(17, 32, types);
    EXPECT_NE(std::find(types, types + n, kTypeWebp), types + n) << "writable";
    const unsigned char riff[] = "RIFF\x10\0\0\0WEBPVP8 ";
    const unsigned char wave[] = "RIFF\x10\0\0\0WAVEfmt ";
    EXPECT_EQ(ImgRead_IdentifyBytes(riff, 16), kTypeWebp);
    EXPECT_EQ(ImgRead_IdentifyBytes(wave, 16), kTypeNone);
    EXPECT_EQ(ImgRead_IdentifyBytes(riff, 11), kTypeNone);
    EXPECT_EQ(ImgRead_IdentifyFile("C:\\a\\PIC.WebP", 0, 2, 0), kTypeWebp);
}

#ifndef _WIN32
// Outside readers see our files as we wrote them: dwebp the size, Pillow
// the size, the alpha and the metadata.
TEST_F(Webp, OutsideReadersReadOurFiles) {
    if (RunTool("dwebp -version").empty()) GTEST_SKIP() << "no dwebp";
    Dib src;
    MakePattern(57, 33, 32, &src);
    DibMetadata meta;
    const uint8_t tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    meta.exif.assign(tiff, tiff + sizeof tiff);
    const char header[] = "http://ns.adobe.com/xap/1.0/";
    DibSegment xmp{0xE1, {}};
    xmp.data.assign(header, header + sizeof header);
    const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    xmp.data.insert(xmp.data.end(), packet.begin(), packet.end());
    meta.segments.push_back(xmp);
    for (bool lossless : {false, true}) {
        SCOPED_TRACE(lossless);
        const std::string path = dir / (lossless ? "ll.webp" : "ly.webp");
        PmFileHandle f = PmFile_CreateWrite(path.c_str());
        ASSERT_NE(f, nullptr);
        DibIOOptions o = WebpOptions(80, lossless);
        ASSERT_EQ(DibIO_WriteMeta(0, f, kTypeWebp, &o, &meta, src.h, src.b), 1);
        PmFile_Close(f);
        std::string info = RunTool("dwebp '" + path + "' -pam -o - 2>/dev/null | head -c 60");
        EXPECT_NE(info.find("WIDTH 57\nHEIGHT 33\nDEPTH 4"), std::string::npos) << info;
        std::string pil = RunTool("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + path +
                                  "'); print(im.size, im.mode, im.getexif().get(274), im.info.get('xmp', b'').decode())\"");
        if (pil.empty()) continue;  // no Pillow
        EXPECT_EQ(pil, "(57, 33) RGBA 3 " + packet + "\n");
    }
}
#endif

}  // namespace
