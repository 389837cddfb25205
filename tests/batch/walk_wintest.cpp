// Whole runs without the dialog on scratch trees: where outputs go, which
// files are taken, and how every kind of bad input ends.
#include "batch_support.h"

#include "records/run_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using batchtest::CopySample;
using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

using Files = std::vector<std::string>;

// An input tree: in\a.jpg, in\sub\b.bmp, in\sub\deep\c.png, in\top.bmp.
std::string MakeInputTree(const TempDir& dir) {
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "sub"));
    MakeDir(Join(Join(in, "sub"), "deep"));
    CopySample("landscape.jpg", Join(in, "a.jpg"));
    CopySample("scene24.bmp", Join(in, "top.bmp"));
    CopySample("scene8.bmp", Join(Join(in, "sub"), "b.bmp"));
    CopySample("badge.png", Join(Join(Join(in, "sub"), "deep"), "c.png"));
    return in;
}

}  // namespace

TEST(BatchWalk, FolderAndFileEntriesMirrorBelowTheEntrysParent) {
    TempDir dir;
    std::string in = MakeInputTree(dir);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    CopySample("landscape.jpg", dir / "single.jpg");
    RunResult r = RunWalk(&p, {in, dir / "single.jpg"});
    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, 5);
    EXPECT_EQ(r.succeeded, 5);
    EXPECT_TRUE(r.errors.empty());
    // The folder entry keeps its own name; the file entry lands in the
    // output folder itself. No log: no errors and none asked for.
    EXPECT_EQ(FilesBelow(dir / "out"),
              (Files{"in\\a.jpg", "in\\sub\\b.jpg", "in\\sub\\deep\\c.jpg", "in\\top.jpg", "single.jpg"}));
    int w = 0, h = 0;
    ASSERT_TRUE(batchtest::ImageSize(Join(dir / "out", "in\\a.jpg"), kTypeJpeg, &w, &h));
    EXPECT_EQ(w, 96);
    EXPECT_LE(h, 96);
}

TEST(BatchWalk, RelativeEntriesAreTakenFromTheCurrentFolder) {
    TempDir dir;
    MakeInputTree(dir);
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    SetCurrentDirectoryA(dir.path().c_str());
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    RunResult r = RunWalk(&p, {"in\\sub"});
    SetCurrentDirectoryA(saved);
    EXPECT_EQ(FilesBelow(dir / "out"), (Files{"sub\\b.jpg", "sub\\deep\\c.jpg"}));
}

// Needs a drive letter mapped to an empty scratch folder (drive-letter.sh).
TEST(BatchWalk, DriveEntriesPutTheRootsFoldersUnderTheOutput) {
    const char* drive = std::getenv("PM_TEST_DRIVE");
    if (!drive || std::strlen(drive) != 2) GTEST_SKIP() << "no scratch drive (run through drive-letter.sh)";
    std::string root = std::string(drive) + "\\";
    MakeDir(root + "sub");
    MakeDir(root + "sub\\deep");
    CopySample("landscape.jpg", root + "a.jpg");
    CopySample("scene24.bmp", root + "top.bmp");
    CopySample("scene8.bmp", root + "sub\\b.bmp");
    CopySample("badge.png", root + "sub\\deep\\c.png");
    TempDir dir;
    for (const std::string& entry : {std::string(drive), root}) {
        std::string out = dir / (entry.size() == 2 ? "outA" : "outB");
        ImageConvertParams p;
        MakeParams(&p, out, kQuietMode);
        RunResult r = RunWalk(&p, {entry});
        EXPECT_EQ(r.succeeded, 4) << entry;
        EXPECT_EQ(FilesBelow(out), (Files{"a.jpg", "sub\\b.jpg", "sub\\deep\\c.jpg", "top.jpg"})) << entry;
    }
}

TEST(BatchWalk, WithoutSubFoldersOnlyTheNamedFoldersOwnFiles) {
    TempDir dir;
    std::string in = MakeInputTree(dir);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode & ~FILEMODE_SUBFOLDERS);
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, 2);
    EXPECT_EQ(FilesBelow(dir / "out"), (Files{"in\\a.jpg", "in\\top.jpg"}));
}

TEST(BatchWalk, OutputTreeInsideTheInputIsSkippedButItsSiblingIsNot) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "out"));
    MakeDir(Join(in, "out2"));
    CopySample("landscape.jpg", Join(Join(in, "out"), "old.jpg"));
    CopySample("landscape.jpg", Join(Join(in, "out2"), "x.jpg"));
    ImageConvertParams p;
    MakeParams(&p, Join(in, "out"), kQuietMode | FILEMODE_OVERWRITE);
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, 1);
    EXPECT_EQ(r.succeeded, 1);
    // Its own output (in\out\in\out2\x.jpg) is never walked into again.
    EXPECT_EQ(FilesBelow(Join(in, "out")), (Files{"in\\out2\\x.jpg", "old.jpg"}));
}

TEST(BatchWalk, OutputNamesAndContentIdentification) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "v1.2"));
    CopySample("landscape.jpg", Join(in, "photo.tar.jpg"));
    CopySample("badge.png", Join(in, "README"));
    CopySample("scene24.bmp", Join(Join(in, "v1.2"), "shot"));
    pmtest::WriteWholeFile(Join(in, "notes.txt"), "just text", 9);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode & ~FILEMODE_EXTONLY, kTypePng);
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, 3);
    EXPECT_EQ(r.succeeded, 3);
    EXPECT_EQ(FilesBelow(dir / "out"), (Files{"in\\README.png", "in\\photo.tar.png", "in\\v1.2\\shot.png"}));
}

TEST(BatchWalk, OverwriteOffFailsEveryFileOfASecondRunOnReplaces) {
    TempDir dir;
    std::string in = MakeInputTree(dir);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    ASSERT_EQ(RunWalk(&p, {in}).succeeded, 4);
    std::vector<uint8_t> before;
    pmtest::ReadWholeFile(Join(dir / "out", "in\\a.jpg"), &before);

    RunResult second = RunWalk(&p, {in});
    EXPECT_EQ(second.processed, 4);
    EXPECT_EQ(second.succeeded, 0);
    ASSERT_EQ(second.errors.size(), 4u);
    for (const auto& e : second.errors) {
        EXPECT_EQ(e.id, kErrCreateOutput);
        EXPECT_EQ(e.lastError, ERROR_FILE_EXISTS) << e.name;
        EXPECT_NE(e.name.find(Join(dir / "out", "in")), std::string::npos) << "the output path is recorded";
    }
    std::vector<uint8_t> after;
    pmtest::ReadWholeFile(Join(dir / "out", "in\\a.jpg"), &after);
    EXPECT_EQ(before, after);

    p.FileMode |= FILEMODE_OVERWRITE;
    p.Size.cx = p.Size.cy = 40;
    RunResult third = RunWalk(&p, {in});
    EXPECT_EQ(third.succeeded, 4);
    int w = 0, h = 0;
    ASSERT_TRUE(batchtest::ImageSize(Join(dir / "out", "in\\a.jpg"), kTypeJpeg, &w, &h));
    EXPECT_EQ(w, 40);
}

TEST(BatchWalk, EmptyListAndNothingConvertible) {
    TempDir dir;
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    std::strcpy(p.LastCreatedFolder, "stale");
    RunResult empty = RunWalk(&p, {});
    EXPECT_TRUE(empty.walked);
    EXPECT_EQ(p.LastCreatedFolder[0], '\0');
    MakeDir(dir / "in");
    pmtest::WriteWholeFile(dir / "in\\notes.txt", "x", 1);
    RunResult none = RunWalk(&p, {dir / "in", dir / "missing.jpg"});
    EXPECT_TRUE(none.walked);
    EXPECT_EQ(none.processed, 0);
    // The folder has nothing to convert; the missing file is the user's
    // mistake, which the log names.
    ASSERT_EQ(none.errors.size(), 1u);
    EXPECT_EQ(none.errors[0].name, dir / "missing.jpg");
    EXPECT_EQ(none.errors[0].lastError, ERROR_FILE_NOT_FOUND);
}
