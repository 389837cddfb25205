// Faults of the machine during a run: a full disk under the outputs and
// under the log, an output folder that refuses writes, inputs that vanish
// or change after the walk found them, the output folder deleted mid-run.
// Each file still ends in one success or one error entry, the run goes on,
// the log's fate is known, and no input changes. Every case runs one file at
// a time and with several at once: where several at once make the outcome
// depend on timing (which files still fit, which meet the deleted folder),
// the case holds them to what must be true whatever the order.
//
// The full disk and the refusing folder need host help (a small mounted
// file system mapped to a drive letter, an immutable folder):
// tests/batch/machine-faults.sh provides them through PM_TEST_FULL_DRIVE and
// PM_TEST_LOCKED_FOLDER; without them those cases skip.
#include "batch_support.h"
#include "entry/extras.h"

#include "records/run_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// A 24-bit bitmap of w x h whose pixels depend on `seed`.
Bytes Bitmap(int w, int h, int seed) {
    size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    Bytes b(54 + stride * size_t(h), 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, uint32_t(b.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(w));
    put32(22, uint32_t(h));
    b[26] = 1;
    b[28] = 24;
    for (size_t i = 54; i < b.size(); ++i) b[i] = uint8_t(i * 7 + size_t(seed) * 13);
    return b;
}

bool Write(const std::string& path, const Bytes& data) { return pmtest::WriteWholeFile(path, data.data(), data.size()); }

std::map<std::string, Bytes> Snapshot(const std::string& folder) {
    std::map<std::string, Bytes> all;
    for (const std::string& f : FilesBelow(folder)) pmtest::ReadWholeFile(Join(folder, f), &all[f]);
    return all;
}

int64_t SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return -1;
    return (int64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// Nothing of the run is still open: every file opens without sharing.
void ExpectAllClosed(const std::string& folder) {
    for (const std::string& f : FilesBelow(folder)) {
        HANDLE h = CreateFileA(Join(folder, f).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << f << " is still open";
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
}

// Every counted file ended in exactly one outcome; `extra` entries are
// those that name no file (folders, the log).
void ExpectOneOutcomeEach(const RunResult& r, size_t extra = 0) {
    EXPECT_EQ(size_t(r.processed - r.succeeded) + extra, r.errors.size());
}

// A scratch folder on the full drive, emptied before and after so that the
// next case finds the drive as empty as this one did.
class FullDriveFolder {
public:
    explicit FullDriveFolder(const std::string& drive) : path_(Join(drive, "faults")) {
        pmtest::RemoveTree(path_);
        MakeDir(path_);
    }
    ~FullDriveFolder() { pmtest::RemoveTree(path_); }
    const std::string& path() const { return path_; }
private:
    std::string path_;
};

// Fills the drive of `folder` up to `leave` bytes (rounded by the file
// system to its blocks).
bool FillDrive(const std::string& folder, uint64_t leave) {
    ULARGE_INTEGER freeBytes, total, totalFree;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &freeBytes, &total, &totalFree)) return false;
    if (freeBytes.QuadPart <= leave) return true;
    HANDLE f = CreateFileA(Join(folder, "filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    Bytes chunk(64 * 1024, 0x5A);
    uint64_t want = freeBytes.QuadPart - leave;
    bool ok = true;
    while (want > 0 && ok) {
        DWORD n = DWORD(want < chunk.size() ? want : chunk.size()), put = 0;
        ok = WriteFile(f, chunk.data(), n, &put, nullptr) && put == n;
        want -= put;
    }
    CloseHandle(f);
    return ok;
}

bool IsDiskFull(int lastError) { return lastError == ERROR_DISK_FULL || lastError == ERROR_HANDLE_DISK_FULL; }

std::string NameOf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

}  // namespace

// The parameter is the run's thread count (the INI key Threads).
class BatchMachineFaults : public testing::TestWithParam<int> {
protected:
    bool OneAtATime() const { return GetParam() == 1; }
    ImageConvertExtras Extras() const {
        ImageConvertExtras x = kDefaultExtras;
        x.Threads = GetParam();
        return x;
    }
};

INSTANTIATE_TEST_SUITE_P(, BatchMachineFaults, testing::Values(1, 4), [](const testing::TestParamInfo<int>& info) {
    return info.param == 1 ? std::string("OneThread") : std::to_string(info.param) + "Threads";
});

TEST_P(BatchMachineFaults, FullDiskUnderTheOutputsEndsEachFileAs104AndTheRunGoesOn) {
    std::string drive = Env("PM_TEST_FULL_DRIVE");
    if (drive.empty()) GTEST_SKIP() << "no small drive (run through machine-faults.sh)";
    FullDriveFolder out(drive);
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    // Uncompressed copies of 300 x 300 pixels, about 264 KB each: a 1 MB
    // drive takes three or so, then fills in the middle of the next.
    constexpr int kImages = 6;
    const Bytes sample = Bitmap(300, 300, 1);
    for (int i = 0; i < kImages; ++i) ASSERT_TRUE(Write(Join(in, "a" + std::to_string(i) + ".bmp"), Bitmap(300, 300, i)));
    ASSERT_TRUE(Write(Join(in, "bad.bmp"), Bytes(64, 'x')));
    auto before = Snapshot(dir.path());

    ImageConvertParams p;
    MakeParams(&p, out.path(), kQuietMode | FILEMODE_EXTONLY | FILEMODE_LOGINOUTPUT, kTypeBmp);
    p.Resize = 0;
    p.BitCount = 0;
    ImageConvertExtras extras = Extras();
    ScopedExtras bound(&p, &extras);
    RunResult r = RunWalk(&p, {in});

    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, kImages + 1) << "every file was attempted after the disk filled";
    ExpectOneOutcomeEach(r);
    int full = 0, unreadable = 0, partial = 0;
    std::string outIn = Join(out.path(), "in");
    for (const auto& e : r.errors) {
        EXPECT_EQ(e.name.rfind(outIn + "\\", 0), 0u) << "failures name the output: " << e.name;
        if (e.id == kErrRead) {
            ++unreadable;
        } else {
            EXPECT_EQ(e.id, kErrWrite) << e.name;
            EXPECT_TRUE(IsDiskFull(e.lastError)) << e.name << " " << e.lastError;
            ++full;
            // The partly written file stays where it was written.
            int64_t size = SizeOf(e.name);
            EXPECT_GE(size, 0) << e.name;
            EXPECT_LT(size, int64_t(sample.size())) << e.name;
            if (size > 0) ++partial;
        }
    }
    EXPECT_EQ(unreadable, 1);
    EXPECT_EQ(r.succeeded + full, kImages);
    // Several writers share out the room as they go, so only one at a time
    // says which files fit.
    EXPECT_LE(r.succeeded, 3) << "four whole copies do not fit";
    if (OneAtATime()) {
        EXPECT_GE(r.succeeded, 1);
        EXPECT_GE(full, 2);
        EXPECT_EQ(partial, 1) << "one file filled the disk, the later ones had no room at all";
    }
    // What did succeed is whole.
    int whole = 0;
    for (const std::string& f : FilesBelow(outIn))
        if (SizeOf(Join(outIn, f)) == int64_t(sample.size())) ++whole;
    EXPECT_EQ(whole, r.succeeded);

    // The log had no room either; the run still closed and says so.
    EXPECT_TRUE(IsDiskFull(int(Records_LastLogError()))) << Records_LastLogError();
    ExpectAllClosed(out.path());
    EXPECT_EQ(Snapshot(dir.path()), before) << "an input changed";
}

TEST_P(BatchMachineFaults, FullDiskUnderTheLogKeepsTheOldLogAndReportsTheFailure) {
    std::string drive = Env("PM_TEST_FULL_DRIVE");
    if (drive.empty()) GTEST_SKIP() << "no small drive (run through machine-faults.sh)";
    FullDriveFolder logs(drive);
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    // Unreadable inputs, each one error entry: a report of several KB, far
    // more than the room left on the drive.
    constexpr int kInputs = 60;
    for (int i = 0; i < kInputs; ++i)
        ASSERT_TRUE(Write(Join(in, "unreadable-photo-" + std::to_string(i) + ".bmp"), Bytes(64, 'x')));
    auto before = Snapshot(in);
    std::string log = Join(logs.path(), "run.log");
    const std::string old = "■前回の記録\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(log, old.data(), old.size()));
    ASSERT_TRUE(FillDrive(logs.path(), 2048));

    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY | FILEMODE_LOGAPPEND, kTypeBmp);
    std::strcpy(p.LogFile, log.c_str());
    ImageConvertExtras extras = Extras();
    ScopedExtras bound(&p, &extras);
    RunResult r = RunWalk(&p, {in});
    EXPECT_EQ(r.processed, kInputs);
    EXPECT_EQ(r.succeeded, 0);
    ExpectOneOutcomeEach(r);
    for (const auto& e : r.errors) EXPECT_EQ(e.id, kErrRead) << e.name;
    EXPECT_TRUE(IsDiskFull(int(Records_LastLogError()))) << Records_LastLogError();
    EXPECT_EQ(p.LogEntryCount, 0) << "the run record was closed all the same";

    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(log, &data));
    std::string text(data.begin(), data.end());
    EXPECT_EQ(text.substr(0, old.size()), old) << "the earlier log is untouched";
    EXPECT_LT(text.size(), old.size() + 8192);

    // With room again the next run's log is written and the failure is gone.
    ASSERT_TRUE(DeleteFileA(Join(logs.path(), "filler").c_str()));
    RunResult again = RunWalk(&p, {in});
    EXPECT_EQ(again.processed, kInputs);
    EXPECT_EQ(again.errors.size(), size_t(kInputs));
    EXPECT_EQ(Records_LastLogError(), 0u);
    EXPECT_EQ(Snapshot(in), before) << "an input changed";
}

TEST_P(BatchMachineFaults, OutputFolderThatRefusesWritesFailsEachFileAndTheLog) {
    std::string locked = Env("PM_TEST_LOCKED_FOLDER");
    if (locked.empty()) GTEST_SKIP() << "no unwritable folder (run through machine-faults.sh)";
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    ASSERT_TRUE(Write(Join(in, "a.bmp"), Bitmap(8, 8, 1)));
    ASSERT_TRUE(Write(Join(in, "b.bmp"), Bitmap(8, 8, 2)));
    auto before = Snapshot(dir.path());

    // Files named directly go straight into the folder; a folder entry needs
    // a sub-folder there first.
    ImageConvertParams p;
    MakeParams(&p, locked, kQuietMode | FILEMODE_EXTONLY | FILEMODE_LOGINOUTPUT, kTypeBmp);
    ImageConvertExtras extras = Extras();
    ScopedExtras bound(&p, &extras);
    RunResult direct = RunWalk(&p, {Join(in, "a.bmp"), Join(in, "b.bmp")});
    EXPECT_EQ(direct.processed, 2);
    EXPECT_EQ(direct.succeeded, 0);
    ExpectOneOutcomeEach(direct);
    for (const auto& e : direct.errors) {
        EXPECT_EQ(e.id, kErrCreateOutput) << e.name;
        EXPECT_NE(e.lastError, 0) << e.name;
    }
    EXPECT_NE(Records_LastLogError(), 0u) << "the log could not be created there either";

    RunResult walked = RunWalk(&p, {in});
    EXPECT_EQ(walked.processed, 2);
    EXPECT_EQ(walked.succeeded, 0);
    ExpectOneOutcomeEach(walked, 1);
    ASSERT_EQ(walked.errors.size(), 3u);
    EXPECT_EQ(walked.errors[0].id, kErrCreateFolder);
    EXPECT_EQ(walked.errors[0].name, Join(locked, "in"));
    EXPECT_NE(walked.errors[0].lastError, 0);
    EXPECT_EQ(walked.errors[1].id, kErrCreateOutput);
    EXPECT_EQ(walked.errors[2].id, kErrCreateOutput);

    EXPECT_TRUE(FilesBelow(locked).empty());
    EXPECT_EQ(Snapshot(dir.path()), before) << "an input changed";
}

namespace {

// What the hook does to an input once the walk has taken it and before it
// is opened: by the first letter of its name.
void ChangeInputOnceTaken(const ImageConvertParams*, const char* path) {
    std::string p = path;
    switch (NameOf(p)[0]) {
    case 'g':  // gone
        DeleteFileA(path);
        break;
    case 't':  // turned into text
        pmtest::WriteWholeFile(p, "no longer an image", 18);
        break;
    case 's':  // swapped for another picture
        Write(p, Bitmap(5, 7, 9));
        break;
    case 'e':  // emptied
        pmtest::WriteWholeFile(p, "", 0);
        break;
    }
}

std::string g_outputToDelete;
int g_doneCount = 0;
void DeleteOutputAfterFirstFile(const ImageConvertParams*, const char*, bool done) {
    if (done && ++g_doneCount == 1) pmtest::RemoveTree(g_outputToDelete);
}

}  // namespace

TEST_P(BatchMachineFaults, InputsThatVanishOrChangeAfterTheyWereFoundEndInOneOutcomeEach) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    for (const char* name : {"gone.bmp", "text.bmp", "swapped.bmp", "empty.bmp", "kept.bmp"})
        ASSERT_TRUE(Write(Join(in, name), Bitmap(16, 16, name[0])));
    Bytes kept;
    ASSERT_TRUE(pmtest::ReadWholeFile(Join(in, "kept.bmp"), &kept));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY, kTypeBmp);
    p.Resize = 0;
    ImageConvertExtras extras = Extras();
    ScopedExtras bound(&p, &extras);
    Batch_SetTakenHookForTest(ChangeInputOnceTaken);
    RunResult r = RunWalk(&p, {in});
    Batch_SetTakenHookForTest(nullptr);

    EXPECT_EQ(r.processed, 5);
    EXPECT_EQ(r.succeeded, 2);  // swapped.bmp (its new picture) and kept.bmp
    ExpectOneOutcomeEach(r);
    std::map<std::string, batchtest::Entry> byName;
    for (const auto& e : r.errors) byName[NameOf(e.name)] = e;
    ASSERT_EQ(byName.count("gone.bmp"), 1u);
    EXPECT_EQ(byName["gone.bmp"].id, kErrOpenInput);
    EXPECT_EQ(byName["gone.bmp"].lastError, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(byName.count("text.bmp"), 1u);
    EXPECT_EQ(byName["text.bmp"].id, kErrRead);
    ASSERT_EQ(byName.count("empty.bmp"), 1u);
    EXPECT_EQ(byName["empty.bmp"].id, kErrRead);
    int w = 0, h = 0;
    ASSERT_TRUE(batchtest::ImageSize(dir / "out\\in\\swapped.bmp", kTypeBmp, &w, &h));
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 7);
    ASSERT_TRUE(batchtest::ImageSize(dir / "out\\in\\kept.bmp", kTypeBmp, &w, &h));
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 16);
    Bytes keptAfter;
    ASSERT_TRUE(pmtest::ReadWholeFile(Join(in, "kept.bmp"), &keptAfter));
    EXPECT_EQ(keptAfter, kept) << "an input changed";
    ExpectAllClosed(dir.path());
}

TEST_P(BatchMachineFaults, OutputFolderDeletedMidRunFailsOnlyWhatCannotBeWritten) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "sub"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Write(Join(in, "a" + std::to_string(i) + ".bmp"), Bitmap(8, 8, i)));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(Write(Join(in, "sub\\b" + std::to_string(i) + ".bmp"), Bitmap(8, 8, i)));
    auto before = Snapshot(in);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY | FILEMODE_LOGINOUTPUT, kTypeBmp);
    p.Resize = 0;
    ImageConvertExtras extras = Extras();
    ScopedExtras bound(&p, &extras);
    g_outputToDelete = dir / "out";
    g_doneCount = 0;
    Batch_SetProgressHook(DeleteOutputAfterFirstFile);
    RunResult r = RunWalk(&p, {in});
    Batch_SetProgressHook(nullptr);

    EXPECT_EQ(r.processed, 5);
    ExpectOneOutcomeEach(r);
    for (const auto& e : r.errors) {
        EXPECT_EQ(e.id, kErrCreateOutput) << e.name;
        EXPECT_EQ(e.lastError, ERROR_PATH_NOT_FOUND) << e.name;
        EXPECT_EQ(SizeOf(e.name), -1) << e.name;
    }
    if (OneAtATime()) {
        // The rest of the folder that was created already fails; the
        // sub-folder is created after the deletion and takes its files.
        EXPECT_EQ(r.succeeded, 3);
        std::vector<std::string> failed;
        for (const auto& e : r.errors) failed.push_back(NameOf(e.name));
        EXPECT_EQ(failed, (std::vector<std::string>{"a1.bmp", "a2.bmp"}));
    }
    // Whatever was written after the deletion is whole.
    for (const std::string& f : FilesBelow(dir / "out")) {
        if (f.size() < 4 || f.compare(f.size() - 4, 4, ".bmp") != 0) continue;
        int w = 0, h = 0;
        EXPECT_TRUE(batchtest::ImageSize(Join(dir / "out", f), kTypeBmp, &w, &h)) << f;
        EXPECT_EQ(w, 8) << f;
        EXPECT_EQ(h, 8) << f;
    }
    EXPECT_EQ(Snapshot(in), before) << "an input changed";
}

// Another program holding an input with no sharing (an editor saving it, a
// copy in progress): that file fails to open with the system's reason, the
// run goes on, and the file is left exactly as it was. So too when types are
// told by content, which cannot be read then: the name still says it is a
// picture. A held file whose name says nothing of a picture stays unseen.
TEST_P(BatchMachineFaults, InputLockedByAnotherProgramFailsAloneAndStaysUntouched) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    for (const char* name : {"a.bmp", "locked.bmp", "z.bmp"})
        ASSERT_TRUE(Write(Join(in, name), Bitmap(8, 8, name[0])));
    ASSERT_TRUE(Write(Join(in, "mailbox.dat"), Bitmap(8, 8, 0)));
    auto before = Snapshot(in);
    std::vector<HANDLE> locks;
    for (const char* name : {"locked.bmp", "mailbox.dat"}) {
        locks.push_back(CreateFileA(Join(in, name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(locks.back(), INVALID_HANDLE_VALUE);
    }
    for (uint32_t byName : {FILEMODE_EXTONLY, 0u}) {
        SCOPED_TRACE(byName ? "type by extension" : "type by content");
        ImageConvertParams p;
        MakeParams(&p, dir / (byName ? "out1" : "out2"), kQuietMode | byName, kTypeBmp);
        ImageConvertExtras extras = Extras();
        ScopedExtras bound(&p, &extras);
        RunResult r = RunWalk(&p, {in});

        EXPECT_EQ(r.processed, 3);
        EXPECT_EQ(r.succeeded, 2);
        ExpectOneOutcomeEach(r);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(NameOf(r.errors[0].name), "locked.bmp");
        EXPECT_EQ(r.errors[0].id, kErrOpenInput);
        EXPECT_EQ(r.errors[0].lastError, ERROR_SHARING_VIOLATION);
    }
    for (HANDLE lock : locks) CloseHandle(lock);
    EXPECT_EQ(Snapshot(in), before) << "an input changed";
}
