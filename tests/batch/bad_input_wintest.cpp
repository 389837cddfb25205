// Bad input: every attempted file ends in one success or one error entry
// with the right code, the run goes on, nothing is written outside the
// output folder and no input changes.
#include "batch_support.h"

#include "makerlibs/pmheap.h"
#include "records/run_records.h"

#include <gtest/gtest.h>

#include <map>
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

std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> all;
    for (const std::string& f : FilesBelow(folder)) pmtest::ReadWholeFile(Join(folder, f), &all[f]);
    return all;
}

const batchtest::Entry* Find(const RunResult& r, const std::string& nameEnd) {
    for (const auto& e : r.errors)
        if (e.name.size() >= nameEnd.size() && e.name.compare(e.name.size() - nameEnd.size(), nameEnd.size(), nameEnd) == 0)
            return &e;
    return nullptr;
}

}  // namespace

TEST(BatchBadInput, EachBadFileEndsInOneEntryAndTheRunGoesOn) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    CopySample("landscape.jpg", Join(in, "good.jpg"));
    pmtest::WriteWholeFile(Join(in, "empty.jpg"), "", 0);
    pmtest::WriteWholeFile(Join(in, "text.png"), "not an image at all", 19);
    MakeDir(Join(in, "folder.jpg"));
    CopySample("scene24.bmp", Join(Join(in, "folder.jpg"), "inside.bmp"));
    CopySample("landscape.jpg", Join(in, "locked.jpg"));
    auto before = Snapshot(dir.path());
    // Held open without sharing, as another program would.
    HANDLE lock = CreateFileA(Join(in, "locked.jpg").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY);
    long blocks = PmHeap_LiveBlocks();
    RunResult r = RunWalk(&p, {in});
    CloseHandle(lock);
    EXPECT_EQ(PmHeap_LiveBlocks(), blocks) << "every image of the run was freed";

    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, 5);  // the folder named like an image is no file
    EXPECT_EQ(r.succeeded, 2);  // good.jpg and folder.jpg\inside.bmp
    ASSERT_EQ(r.errors.size(), 3u);
    std::string outIn = Join(dir / "out", "in");
    const auto* empty = Find(r, "empty.jpg");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->id, kErrRead);
    EXPECT_EQ(empty->name, Join(outIn, "empty.jpg"));
    const auto* text = Find(r, "text.jpg");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->id, kErrRead);
    const auto* locked = Find(r, "locked.jpg");
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->id, kErrOpenInput);
    EXPECT_EQ(locked->name, Join(in, "locked.jpg"));
    EXPECT_EQ(locked->lastError, ERROR_SHARING_VIOLATION);

    // Undecodable inputs leave their empty output files; nothing else appeared
    // outside the output folder and no input changed.
    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(Join(outIn, "empty.jpg"), &data));
    EXPECT_TRUE(data.empty());
    // No file of the run is still open: each opens without sharing.
    for (const std::string& f : FilesBelow(dir.path())) {
        HANDLE h = CreateFileA(Join(dir.path(), f).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << f;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    auto after = Snapshot(dir.path());
    for (const auto& [name, bytes] : before) EXPECT_EQ(after[name], bytes) << name;
    for (const auto& [name, bytes] : after)
        EXPECT_TRUE(before.count(name) || name.rfind("out\\", 0) == 0) << "written outside the output: " << name;
}

TEST(BatchBadInput, FolderThatCannotBeCreatedGivesOneFolderEntryAndFileFailures) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "sub"));
    CopySample("landscape.jpg", Join(Join(in, "sub"), "a.jpg"));
    CopySample("landscape.jpg", Join(Join(in, "sub"), "b.jpg"));
    MakeDir(dir / "out");
    MakeDir(dir / "out\\in");
    // A file where the output sub-folder should go.
    pmtest::WriteWholeFile(dir / "out\\in\\sub", "x", 1);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, 2);
    EXPECT_EQ(r.succeeded, 0);
    ASSERT_EQ(r.errors.size(), 3u);
    EXPECT_EQ(r.errors[0].id, kErrCreateFolder);
    EXPECT_EQ(r.errors[0].name, dir / "out\\in\\sub");
    EXPECT_EQ(r.errors[1].id, kErrCreateOutput);
    EXPECT_EQ(r.errors[2].id, kErrCreateOutput);
}

TEST(BatchBadInput, VanishedFileAndOverlongOutputPathAreRecordedNotSkipped) {
    TempDir dir;
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY);
    pmImageConvert_LogOperate(&p, kLogBegin, nullptr, 0, 0);
    WIN32_FIND_DATAA fd{};
    fd.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;

    // Reported by the walk, gone before it is opened.
    std::string gone = dir / "gone.jpg";
    EXPECT_EQ(ConvertFileCallback(gone.c_str(), &fd, 0, &p), 0);
    // An input sub-path that makes the output path longer than the longest
    // path the system takes.
    std::string deep = "C:\\in";
    while (deep.size() < 33000) deep += "\\abcdefghijklmnopqrstuvwxyz";
    deep += "\\photo.jpg";
    std::strcpy(p.BaseFolder, "C:");
    EXPECT_EQ(ConvertFileCallback(deep.c_str(), &fd, 3, &p), 0);

    EXPECT_EQ(p.ProcessedCount, 2);
    EXPECT_EQ(p.SucceededCount, 0);
    ASSERT_EQ(p.LogEntryCount, 2);
    EXPECT_EQ(p.LogEntries[0].MessageId, kErrOpenInput);
    EXPECT_EQ(p.LogEntries[0].LastError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(p.LogEntries[1].MessageId, kErrCreateOutput);
    EXPECT_EQ(p.LogEntries[1].LastError, ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(std::string(p.LogEntries[1].Name), deep);
    pmImageConvert_LogOperate(&p, kLogEnd, nullptr, 0, 0);
    EXPECT_TRUE(FilesBelow(dir / "out").empty());
}

TEST(BatchBadInput, ThousandsOfFilesInOneFolder) {
    TempDir dir;
    std::string in = dir / "many";
    MakeDir(in);
    // A tiny 2 x 2 bitmap, 24-bit.
    std::vector<uint8_t> bmp(54 + 16, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = uint8_t(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, uint32_t(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, 2);
    put32(22, 2);
    bmp[26] = 1;
    bmp[28] = 24;
    for (size_t i = 54; i < bmp.size(); ++i) bmp[i] = uint8_t(i * 37);
    constexpr int kFiles = 2000;
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(pmtest::WriteWholeFile(Join(in, "img" + std::to_string(i) + ".bmp"), bmp.data(), bmp.size()));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY, kTypeBmp);
    p.Size.cx = p.Size.cy = 8;
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, kFiles);
    EXPECT_EQ(r.succeeded, kFiles);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(FilesBelow(dir / "out\\many").size(), size_t(kFiles));
}
