// Type word lookups and the fixed palettes.
#include "entry/image_types.h"
#include "imaging/palettes.h"

#include <gtest/gtest.h>

#include <set>

TEST(ImageTypeWords, MatchWithoutCaseAndFirstRowWins) {
    struct Row { const char* word; int code; } rows[] = {
        {"bitmap", 1}, {"BITMAP", 1}, {"jpeg", 3}, {"JPG", 3}, {"Jpeg", 3}, {"tiff", 4},
        {"gif", 5}, {"png", 6}, {"PhotoCD", 7}, {"PHOTOcd", 7}, {"pcd", 7},
        {"bmp", 0}, {"tif", 0}, {"", 0}, {"jpeg ", 0}, {"jp", 0},
        {"heif", 8}, {"HEIC", 8}, {"avif", 9}, {"hif", 0}, {"avifs", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(pmImageConvert_GetImageType(r.word), r.code) << r.word;
    EXPECT_EQ(pmImageConvert_GetImageType(nullptr), 0);
}

TEST(ImageTypeWords, CodesGiveLongFormOrNull) {
    EXPECT_STREQ(pmImageConvert_GetImageTypeString(1), "bitmap");
    EXPECT_STREQ(pmImageConvert_GetImageTypeString(3), "jpeg");
    EXPECT_STREQ(pmImageConvert_GetImageTypeString(7), "photoCD");
    EXPECT_STREQ(pmImageConvert_GetImageTypeString(8), "heif");
    EXPECT_STREQ(pmImageConvert_GetImageTypeString(9), "avif");
    for (int code : {0, 2, -1, 1000}) EXPECT_EQ(pmImageConvert_GetImageTypeString(code), nullptr) << code;
    // Every code that has a word maps back to a word that maps to the code.
    for (int code = 0; code < 10; ++code) {
        if (const char* w = pmImageConvert_GetImageTypeString(code)) {
            EXPECT_EQ(pmImageConvert_GetImageType(w), code);
        }
    }
}

namespace {
struct Rgb { int r, g, b; };
Rgb At(const RgbQuad* t, int i) { return {t[i].red, t[i].green, t[i].blue}; }
void ExpectColor(const RgbQuad* t, int i, int r, int g, int b) {
    EXPECT_EQ(t[i].red, r) << "entry " << i;
    EXPECT_EQ(t[i].green, g) << "entry " << i;
    EXPECT_EQ(t[i].blue, b) << "entry " << i;
    EXPECT_EQ(t[i].reserved, 0) << "entry " << i;
}
}  // namespace

TEST(FixedPalettes, IModeIsRounded332Cube) {
    const RgbQuad* t = IModePalette();
    ExpectColor(t, 0, 0, 0, 0);
    ExpectColor(t, 1, 0, 0, 0x55);
    ExpectColor(t, 4, 0, 0x24, 0);
    ExpectColor(t, 32, 0x24, 0, 0);
    ExpectColor(t, 146, 0x92, 0x92, 0xAA);
    ExpectColor(t, 255, 255, 255, 255);
    const int levels[8] = {0x00, 0x24, 0x49, 0x6D, 0x92, 0xB6, 0xDB, 0xFF};
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(t[i].red, levels[i >> 5]);
        EXPECT_EQ(t[i].green, levels[(i >> 2) & 7]);
        EXPECT_EQ(t[i].blue, (i & 3) * 85);
    }
}

TEST(FixedPalettes, WebCubeDescendsThenBlack) {
    const RgbQuad* t = WebPalette();
    ExpectColor(t, 0, 255, 255, 255);
    ExpectColor(t, 1, 0xFF, 0xFF, 0xCC);
    ExpectColor(t, 6, 0xFF, 0xCC, 0xFF);
    ExpectColor(t, 36, 0xCC, 0xFF, 0xFF);
    ExpectColor(t, 129, 0x66, 0x66, 0x66);
    ExpectColor(t, 215, 0, 0, 0);
    for (int i = 216; i < 256; ++i) ExpectColor(t, i, 0, 0, 0);
}

TEST(FixedPalettes, ExplorerHasSystemColoursAtEndsAndNoDuplicates) {
    const RgbQuad* t = ExplorerPalette();
    ExpectColor(t, 0, 0, 0, 0);
    ExpectColor(t, 7, 0xC0, 0xC0, 0xC0);
    ExpectColor(t, 9, 0xA6, 0xCA, 0xF0);
    ExpectColor(t, 246, 0xFF, 0xFB, 0xF0);
    ExpectColor(t, 248, 0x80, 0x80, 0x80);
    ExpectColor(t, 255, 0xFF, 0xFF, 0xFF);
    std::set<int> seen;
    int cube = 0;
    auto onCube = [](int v) { return v % 0x33 == 0; };
    for (int i = 0; i < 256; ++i) {
        Rgb c = At(t, i);
        EXPECT_EQ(t[i].reserved, 0);
        EXPECT_TRUE(seen.insert(c.r << 16 | c.g << 8 | c.b).second) << "duplicate at " << i;
        if (onCube(c.r) && onCube(c.g) && onCube(c.b)) ++cube;
    }
    EXPECT_EQ(cube, 212);
    for (Rgb absent : {Rgb{0, 0x33, 0xFF}, Rgb{0, 0xFF, 0x33}, Rgb{0x33, 0, 0xFF}, Rgb{0x33, 0xFF, 0}})
        EXPECT_EQ(seen.count(absent.r << 16 | absent.g << 8 | absent.b), 0u);
}

TEST(FixedPalettes, SelectionBySetting) {
    EXPECT_EQ(FixedPaletteFor(0), nullptr);
    EXPECT_EQ(FixedPaletteFor(1), IModePalette());
    EXPECT_EQ(FixedPaletteFor(2), WebPalette());
    EXPECT_EQ(FixedPaletteFor(3), ExplorerPalette());
    EXPECT_EQ(FixedPaletteFor(-5), ExplorerPalette());
    EXPECT_EQ(FixedPaletteFor(99), ExplorerPalette());
}
