// Where walked files go: base folder, output-tree test, mirrored output
// folder, output names and drive walk starts.
#include "batch/output_paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Base(const char* folder, int depth) {
    char out[264];
    Batch_BaseFolder(folder, depth, out, sizeof out);
    return out;
}

std::string Folder(const char* output, const char* base, const char* path) {
    char out[524];
    if (!Batch_OutputFolder(output, base, path, out, sizeof out)) return "(does not fit)";
    return out;
}

std::string Name(const char* name, const char* ext) {
    char out[64];
    if (!Batch_OutputName(name, ext, out, sizeof out)) return "(does not fit)";
    return out;
}

std::string Start(const char* entry) {
    char out[32];
    if (!Batch_WalkStart(entry, out, sizeof out)) return "(does not fit)";
    return out;
}

}  // namespace

TEST(BatchBaseFolder, CutsDepthPlusOneComponents) {
    EXPECT_EQ(Base("D:\\photos", 0), "D:");
    EXPECT_EQ(Base("D:\\photos\\2024\\trip", 1), "D:\\photos");
    EXPECT_EQ(Base("D:\\photos\\2024\\trip", 2), "D:");
    // Fewer backslashes than asked: cut at the first one.
    EXPECT_EQ(Base("D:\\photos\\2024", 5), "D:");
    EXPECT_EQ(Base("photos", 0), "");
}

TEST(BatchBaseFolder, DoubleByteTrailBackslashIsNotASeparator) {
    // "表" is 95 5C: its trail byte equals the backslash.
    EXPECT_EQ(Base("D:\\\x95\x5C\\sub", 0), "D:\\\x95\x5C");
    EXPECT_EQ(Base("D:\\\x95\x5C", 0), "D:");
}

TEST(BatchOutputTree, OutputFolderAndBelowAreInsideSiblingsAreNot) {
    EXPECT_TRUE(Batch_InOutputTree("C:\\work\\out", "C:\\work\\out"));
    EXPECT_TRUE(Batch_InOutputTree("C:\\WORK\\OUT\\a.jpg", "C:\\work\\out"));
    EXPECT_TRUE(Batch_InOutputTree("C:\\work\\out\\sub\\a.jpg", "C:\\work\\out"));
    EXPECT_FALSE(Batch_InOutputTree("C:\\work\\out2\\a.jpg", "C:\\work\\out"));
    EXPECT_FALSE(Batch_InOutputTree("C:\\work\\ou", "C:\\work\\out"));
    EXPECT_FALSE(Batch_InOutputTree("C:\\work\\a.jpg", ""));
    // A drive root as output folder holds everything on the drive.
    EXPECT_TRUE(Batch_InOutputTree("C:\\x.jpg", "C:\\"));
}

TEST(BatchOutputFolder, MirrorsThePartBelowTheBase) {
    EXPECT_EQ(Folder("E:\\out", "D:", "D:\\photos\\a.jpg"), "E:\\out\\photos");
    EXPECT_EQ(Folder("E:\\out\\", "D:", "D:\\photos\\2024\\a.jpg"), "E:\\out\\photos\\2024");
    EXPECT_EQ(Folder("E:\\out", "D:\\photos", "D:\\photos\\a.jpg"), "E:\\out");
    // A file named directly in the list has no base folder.
    EXPECT_EQ(Folder("E:\\out\\", "", "D:\\photos\\a.jpg"), "E:\\out");
    EXPECT_EQ(Folder("E:\\", "D:", "D:\\photos\\a.jpg"), "E:\\photos");
    EXPECT_EQ(Folder("E:\\", "", "D:\\a.jpg"), "E:\\");
    // A drive-root output and a file directly in the base folder: nothing
    // to mirror, the root itself.
    EXPECT_EQ(Folder("E:\\", "D:", "D:\\a.jpg"), "E:\\");
    EXPECT_EQ(Folder("E:/", "D:", "D:\\a.jpg"), "E:/");
    EXPECT_EQ(Folder("E:\\", "D:\\photos", "D:\\photos\\a.jpg"), "E:\\");
    // A path that does not lie under the base goes to the output folder
    // itself rather than anywhere the text would lead.
    EXPECT_EQ(Folder("E:\\out", "D:\\photos", "D:\\photos2\\a.jpg"), "E:\\out");
    EXPECT_EQ(Folder("E:\\out", "D:\\\x95\x5C", "D:\\\x95\x5C\\\x83\x5C\\a.jpg"), "E:\\out\\\x83\x5C");
}

TEST(BatchOutputFolder, RefusesWhatDoesNotFit) {
    std::string longName(600, 'x');
    std::string path = "D:\\photos\\" + longName + "\\a.jpg";
    EXPECT_EQ(Folder("E:\\out", "D:", path.c_str()), "(does not fit)");
}

TEST(BatchOutputName, ReplacesTheLastExtensionOfTheName) {
    EXPECT_EQ(Name("photo.tar.jpg", ".png"), "photo.tar.png");
    EXPECT_EQ(Name("README", ".png"), "README.png");
    EXPECT_EQ(Name("a.JPG", ".jpg"), "a.jpg");
    EXPECT_EQ(Name(".hidden", ".gif"), ".gif");
    EXPECT_EQ(Name("\x95\x5C.bmp", ".jpg"), "\x95\x5C.jpg");
    EXPECT_EQ(Name(std::string(60, 'n').c_str(), ".jpg"), "(does not fit)");
}

TEST(BatchWalkStart, DrivesBecomePatterns) {
    EXPECT_EQ(Start("D:"), "D:\\*");
    EXPECT_EQ(Start("D:\\"), "D:\\*");
    EXPECT_EQ(Start("D:\\photos"), "D:\\photos");
    EXPECT_EQ(Start("D:x"), "D:x");
}
