// Where walked files go: base folder, output-tree test, mirrored output
// folder, output names and drive walk starts.
#include "batch/output_paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Start(const char* entry) {
    char out[32];
    if (!Batch_WalkStart(entry, out, sizeof out)) return "(does not fit)";
    return out;
}

}  // namespace

TEST(BatchBaseFolder, CutsDepthPlusOneComponents) {
    EXPECT_EQ(Batch_BaseFolderW(L"D:\\photos", 0), L"D:");
    EXPECT_EQ(Batch_BaseFolderW(L"D:\\photos\\2024\\trip", 1), L"D:\\photos");
    EXPECT_EQ(Batch_BaseFolderW(L"D:\\photos\\2024\\trip", 2), L"D:");
    // Fewer backslashes than asked: cut at the first one.
    EXPECT_EQ(Batch_BaseFolderW(L"D:\\photos\\2024", 5), L"D:");
    EXPECT_EQ(Batch_BaseFolderW(L"photos", 0), L"");
    // Names are whole characters: "表" and the yen sign are no separators.
    EXPECT_EQ(Batch_BaseFolderW(L"D:\\\u8868\\x\u00a5y", 0), L"D:\\\u8868");
}

TEST(BatchOutputTree, OutputFolderAndBelowAreInsideSiblingsAreNot) {
    EXPECT_TRUE(Batch_PathInside(L"C:\\work\\out", L"C:\\work\\out"));
    EXPECT_TRUE(Batch_PathInside(L"C:\\WORK\\OUT\\a.jpg", L"C:\\work\\out"));
    EXPECT_TRUE(Batch_PathInside(L"C:\\work\\out\\sub\\a.jpg", L"C:\\work\\out\\"));
    EXPECT_FALSE(Batch_PathInside(L"C:\\work\\out2\\a.jpg", L"C:\\work\\out"));
    EXPECT_FALSE(Batch_PathInside(L"C:\\work\\ou", L"C:\\work\\out"));
    EXPECT_FALSE(Batch_PathInside(L"C:\\work\\a.jpg", L""));
    // A drive root as output folder holds everything on the drive.
    EXPECT_TRUE(Batch_PathInside(L"C:\\x.jpg", L"C:\\"));
    EXPECT_FALSE(Batch_PathInside(L"D:\\x.jpg", L"C:\\"));
}

TEST(BatchOutputFolder, MirrorsThePartBelowTheBase) {
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out", L"D:", L"D:\\photos\\a.jpg"), L"E:\\out\\photos");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out\\", L"D:", L"D:\\photos\\2024\\a.jpg"), L"E:\\out\\photos\\2024");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out", L"D:\\photos", L"D:\\photos\\a.jpg"), L"E:\\out");
    // A file named directly in the list has no base folder.
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out\\", L"", L"D:\\photos\\a.jpg"), L"E:\\out");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\", L"D:", L"D:\\photos\\a.jpg"), L"E:\\photos");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\", L"", L"D:\\a.jpg"), L"E:\\");
    // A drive-root output and a file directly in a drive-root base.
    EXPECT_EQ(Batch_OutputFolderW(L"Q:\\", L"P:", L"P:\\a.jpg"), L"Q:\\");
    EXPECT_EQ(Batch_OutputFolderW(L"Q:\\", L"P:", L"P:\\sub\\b.jpg"), L"Q:\\sub");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\", L"D:\\photos", L"D:\\photos\\a.jpg"), L"E:\\");
    EXPECT_EQ(Batch_OutputFolderW(L"E:/", L"D:", L"D:\\a.jpg"), L"E:/");
    // A path that does not lie under the base goes to the output folder
    // itself rather than anywhere the text would lead.
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out", L"D:\\photos", L"D:\\photos2\\a.jpg"), L"E:\\out");
    EXPECT_EQ(Batch_OutputFolderW(L"E:\\out", L"D:\\\u8868", L"D:\\\u8868\\\u30bd\\a.jpg"), L"E:\\out\\\u30bd");
}

TEST(BatchOutputName, ReplacesTheLastExtensionOfTheName) {
    EXPECT_EQ(Batch_OutputNameW(L"photo.tar.jpg", L".png"), L"photo.tar.png");
    EXPECT_EQ(Batch_OutputNameW(L"README", L".png"), L"README.png");
    EXPECT_EQ(Batch_OutputNameW(L"a.JPG", L".jpg"), L"a.jpg");
    EXPECT_EQ(Batch_OutputNameW(L".hidden", L".gif"), L".gif");
    EXPECT_EQ(Batch_OutputNameW(L"caf\u00e9.bmp", L".jpg"), L"caf\u00e9.jpg");
}

TEST(BatchWalkStart, DrivesBecomePatterns) {
    EXPECT_EQ(Start("D:"), "D:\\*");
    EXPECT_EQ(Start("D:\\"), "D:\\*");
    EXPECT_EQ(Start("D:\\photos"), "D:\\photos");
    EXPECT_EQ(Start("D:x"), "D:x");
}

TEST(BatchDeviceName, TheSystemsDeviceNamesWithAnyExtensionAndCase) {
    for (const wchar_t* name : {L"CON", L"con.jpg", L"Prn.tar.gz", L"AUX .jpg", L"nul.", L"COM1.png", L"lpt9.jpg"})
        EXPECT_TRUE(Batch_IsDeviceName(name)) << std::wstring(name).size();
    for (const wchar_t* name : {L"CONSOLE.jpg", L"COM0.jpg", L"LPT10.jpg", L"xCON.jpg", L"co.jpg", L"a.CON", L"",
                                L"COM\u00b9.jpg"})
        EXPECT_FALSE(Batch_IsDeviceName(name)) << std::wstring(name).size();
}
