// Runs converting several files at once against the same runs one file at
// a time: the outputs byte for byte, the error entries in their order, the
// counters and the report; outputs that two inputs map to; the memory
// budget; the Threads setting.
#include "batch_support.h"

#include "batch/conversion_pool.h"
#include "entry/extras.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmwinkit.h"
#include "records/run_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

struct Outcome {
    std::vector<std::string> hookCalls;  // what a host following the run saw, in order
    batchtest::RunResult run;
    std::string report;
    std::map<std::string, std::vector<uint8_t>> files;  // relative path -> bytes
};

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

std::vector<std::string>* g_hookCalls = nullptr;

void RecordHook(const ImageConvertParams* p, const char* path, bool done) {
    g_hookCalls->push_back(std::string(done ? "done " : "counted ") + path + " " + std::to_string(p->ProcessedCount) +
                           "/" + std::to_string(p->SucceededCount) + "/" + std::to_string(p->LogEntryCount));
}

// One run over `entries` into a fresh folder `out` with `threads` at once.
Outcome RunAt(int threads, const std::vector<std::string>& entries, const std::string& out, uint32_t mode,
            int writeType, int resize = -1) {
    ImageConvertParams p;
    MakeParams(&p, out, mode, writeType);
    if (resize >= 0) p.Resize = resize;
    ImageConvertExtras extras = kDefaultExtras;
    extras.Threads = threads;
    ScopedExtras bound(&p, &extras);
    Outcome o;
    std::vector<std::string> copies = entries;
    std::vector<char*> paths;
    for (std::string& s : copies) paths.push_back(s.data());
    FileList list;
    std::memset(&list, 0, sizeof list);
    list.Count = int32_t(paths.size());
    list.Paths = paths.data();
    pmImageConvert_LogOperate(&p, kLogBegin, nullptr, 0, 0);
    g_hookCalls = &o.hookCalls;
    Batch_SetProgressHook(RecordHook);
    o.run.walked = pmImageConvert_CreateFile(&list, &p);
    Batch_SetProgressHook(nullptr);
    o.run.processed = p.ProcessedCount;
    o.run.succeeded = p.SucceededCount;
    o.run.outputFolder = p.OutputFolder;
    for (int i = 0; i < p.LogEntryCount; ++i)
        o.run.errors.push_back({ReplaceAll(p.LogEntries[i].Name, out, "<out>"), p.LogEntries[i].MessageId,
                                p.LogEntries[i].LastError});
    // Only the times may differ.
    p.StartTime = SYSTEMTIME{};
    p.EndTime = SYSTEMTIME{};
    char* report = nullptr;
    BuildLogReport(0, &p, &report);
    if (report) o.report = ReplaceAll(report, out, "<out>");
    WinKit_Free(report);
    pmImageConvert_LogOperate(&p, kLogEnd, nullptr, 0, 0);
    for (const std::string& rel : FilesBelow(out)) pmtest::ReadWholeFile(Join(out, rel), &o.files[rel]);
    return o;
}

void ExpectSame(const Outcome& serial, const Outcome& parallel, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(parallel.run.walked, serial.run.walked);
    EXPECT_EQ(parallel.run.processed, serial.run.processed);
    EXPECT_EQ(parallel.run.succeeded, serial.run.succeeded);
    ASSERT_EQ(parallel.run.errors.size(), serial.run.errors.size());
    for (size_t i = 0; i < serial.run.errors.size(); ++i) {
        EXPECT_EQ(parallel.run.errors[i].name, serial.run.errors[i].name) << "entry " << i;
        EXPECT_EQ(parallel.run.errors[i].id, serial.run.errors[i].id) << "entry " << i;
        EXPECT_EQ(parallel.run.errors[i].lastError, serial.run.errors[i].lastError) << "entry " << i;
    }
    EXPECT_EQ(parallel.report, serial.report);
    EXPECT_EQ(parallel.hookCalls, serial.hookCalls);
    ASSERT_EQ(parallel.files.size(), serial.files.size());
    for (const auto& [name, bytes] : serial.files) {
        auto it = parallel.files.find(name);
        ASSERT_NE(it, parallel.files.end()) << name;
        EXPECT_TRUE(it->second == bytes) << name << " differs";
    }
}

// The committed samples, a few damaged files among them, in two folders.
std::string MakeFixtureTree(const TempDir& dir) {
    std::string in = dir / "in";
    MakeDir(in);
    MakeDir(Join(in, "sub"));
    const char* samples[] = {"animation.gif", "badge.png", "landscape.jpg", "scene24.bmp", "scene8.bmp"};
    for (const char* s : samples) {
        batchtest::CopySample(s, Join(in, s));
        batchtest::CopySample(s, Join(Join(in, "sub"), std::string("copy-") + s));
    }
    // Damaged copies: each fails at its own stage.
    std::vector<uint8_t> jpeg;
    pmtest::ReadWholeFile(Join(Join(pmtest::SourceDir(), "samples"), "landscape.jpg"), &jpeg);
    pmtest::WriteWholeFile(Join(in, "cut.jpg"), jpeg.data(), jpeg.size() / 3);
    pmtest::WriteWholeFile(Join(in, "empty.png"), "", 0);
    pmtest::WriteWholeFile(Join(in, "garbage.bmp"), "BMxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 36);
    return in;
}

// A 24-bit bitmap of w x h with a gradient (large ones keep a conversion
// busy long enough for the files after it to be handed out meanwhile).
bool WriteBmp(const std::string& path, int w, int h) {
    const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u;
    const uint32_t bits = stride * uint32_t(h);
    std::vector<uint8_t> file(54 + bits);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, uint32_t(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(w));
    put32(22, uint32_t(h));
    file[26] = 1;
    file[28] = 24;
    put32(34, bits);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = &file[54 + size_t(y) * stride + size_t(x) * 3];
            px[0] = uint8_t(x * 255 / w);
            px[1] = uint8_t(y * 255 / h);
            px[2] = uint8_t((x + y) & 0xFF);
        }
    return pmtest::WriteWholeFile(path, file.data(), file.size());
}

constexpr int kOutputTypes[] = {kTypeJpeg, kTypePng, kTypeGif, kTypeBmp};

TEST(ParallelRun, SameResultsAsOneAtATimeOverTheFixtures) {
    TempDir dir;
    std::string in = MakeFixtureTree(dir);
    // Taken first and converted slowest: the files after it finish before it.
    std::string big = dir / "big.bmp";
    ASSERT_TRUE(WriteBmp(big, 1600, 1200));
    for (int type : kOutputTypes) {
        // Thumbnails with the zoom and whole pictures without it; types by
        // content and by extension (the empty file is an image then).
        for (int variant = 0; variant < 3; ++variant) {
            int resize = variant == 1 ? 0 : 1;
            uint32_t mode = kQuietMode | (variant == 2 ? FILEMODE_EXTONLY : 0);
            std::string tag = std::to_string(type) + "-" + std::to_string(variant);
            auto run = [&](int threads) {
                std::string out = dir / ("out-" + tag + "-" + std::to_string(threads));
                // A list entry names a file an earlier one took already, and
                // an entry names nothing.
                return RunAt(threads, {big, in, dir / "missing entry", Join(in, "landscape.jpg")}, out, mode, type,
                             resize);
            };
            Outcome serial = run(1);
            EXPECT_GT(serial.run.succeeded, 8);
            EXPECT_GE(serial.run.errors.size(), variant == 2 ? 4u : 3u);
            for (int threads : {2, 8}) ExpectSame(serial, run(threads), tag + " at " + std::to_string(threads));
        }
    }
}

TEST(ParallelRun, SameResultsAsOneAtATimeOverTheConformanceImages) {
    PM_SKIP_WITHOUT_SHARED();
    std::string images = Join(pmtest::SharedDir(), "testimages");
    TempDir dir;
    for (int type : {kTypeJpeg, kTypeGif}) {
        std::string tag = std::to_string(type);
        Outcome serial = RunAt(1, {images}, dir / ("serial-" + tag), kQuietMode, type);
        EXPECT_GT(serial.run.succeeded, 100);
        Outcome parallel = RunAt(0, {images}, dir / ("auto-" + tag), kQuietMode, type);
        ExpectSame(serial, parallel, "conformance images to type " + tag);
        Outcome eight = RunAt(8, {images}, dir / ("eight-" + tag), kQuietMode, type);
        ExpectSame(serial, eight, "conformance images to type " + tag + " at 8");
    }
}

// Files that map to one output name: the first in walk order gets it, the
// later ones fail as the file exists, with or without overwriting (a file
// the run wrote is never replaced), at any number of threads.
TEST(ParallelRun, InputsMappingToOneOutputBehaveAsOneAtATime) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    // The big one first, so the later ones are planned while it is written.
    ASSERT_TRUE(WriteBmp(Join(in, "a.bmp"), 1600, 1200));
    ASSERT_TRUE(batchtest::CopySample("badge.png", Join(in, "a.png")));
    ASSERT_TRUE(batchtest::CopySample("animation.gif", Join(in, "a.gif")));
    // A damaged input gets its output created before it fails to read.
    std::vector<uint8_t> jpeg;
    pmtest::ReadWholeFile(Join(Join(pmtest::SourceDir(), "samples"), "landscape.jpg"), &jpeg);
    pmtest::WriteWholeFile(Join(in, "b.jpg"), jpeg.data(), jpeg.size() / 3);
    ASSERT_TRUE(batchtest::CopySample("badge.png", Join(in, "b.png")));
    // An input that cannot be opened leaves no output behind it (judged by
    // its extension, it is still taken as an image).
    ASSERT_TRUE(batchtest::CopySample("scene8.bmp", Join(in, "c.bmp")));
    ASSERT_TRUE(batchtest::CopySample("badge.png", Join(in, "c.png")));
    HANDLE locked = CreateFileA(Join(in, "c.bmp").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const std::vector<std::string> entries = {Join(in, "a.bmp"), Join(in, "a.png"), Join(in, "a.gif"),
                                              Join(in, "b.jpg"), Join(in, "b.png"), Join(in, "c.bmp"),
                                              Join(in, "c.png")};
    for (uint32_t overwrite : {0u, uint32_t(FILEMODE_OVERWRITE)}) {
        Outcome serial;
        for (int threads : {1, 2, 8}) {
            std::string tag = std::to_string(overwrite) + "-" + std::to_string(threads);
            SCOPED_TRACE(tag);
            Outcome o =
                RunAt(threads, entries, dir / ("out-" + tag), kQuietMode | FILEMODE_EXTONLY | overwrite, kTypeJpeg);
            EXPECT_EQ(o.run.processed, 7);
            EXPECT_EQ(o.run.succeeded, 2);  // a.bmp and c.png
            ASSERT_EQ(o.run.errors.size(), 5u);
            const int expectedIds[] = {kErrCreateOutput, kErrCreateOutput, kErrRead, kErrCreateOutput, kErrOpenInput};
            const std::string expectedNames[] = {"<out>\\a.jpg", "<out>\\a.jpg", "<out>\\b.jpg", "<out>\\b.jpg",
                                                 Join(in, "c.bmp")};
            for (size_t i = 0; i < 5; ++i) {
                EXPECT_EQ(o.run.errors[i].id, expectedIds[i]) << i;
                EXPECT_EQ(o.run.errors[i].name, expectedNames[i]) << i;
            }
            EXPECT_EQ(o.run.errors[0].lastError, ERROR_FILE_EXISTS);
            EXPECT_EQ(o.run.errors[1].lastError, ERROR_FILE_EXISTS);
            EXPECT_EQ(o.run.errors[3].lastError, ERROR_FILE_EXISTS);
            // The big picture's output is whole: the later files never touched it.
            int w = 0, h = 0;
            EXPECT_TRUE(batchtest::ImageSize(Join(dir / ("out-" + tag), "a.jpg"), kTypeJpeg, &w, &h));
            if (threads == 1)
                serial = std::move(o);
            else
                ExpectSame(serial, o, tag);
        }
    }
    CloseHandle(locked);
}

// A file that a run before this one left in the output folder is replaced
// only with overwriting, whichever file of the run comes to it first.
TEST(ParallelRun, OutputsOfAnEarlierRunAreReplacedOnlyWithOverwriting) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    ASSERT_TRUE(WriteBmp(Join(in, "big.bmp"), 1200, 900));
    ASSERT_TRUE(batchtest::CopySample("badge.png", Join(in, "d.png")));
    for (uint32_t overwrite : {0u, uint32_t(FILEMODE_OVERWRITE)}) {
        for (int threads : {1, 2, 8}) {
            std::string out = dir / ("out-" + std::to_string(overwrite) + "-" + std::to_string(threads));
            MakeDir(out);
            ASSERT_TRUE(pmtest::WriteWholeFile(Join(out, "d.jpg"), "old", 3));
            Outcome o = RunAt(threads, {Join(in, "big.bmp"), Join(in, "d.png")}, out, kQuietMode | overwrite, kTypeJpeg);
            EXPECT_EQ(o.run.succeeded, overwrite ? 2 : 1) << threads;
            EXPECT_EQ(o.files["d.jpg"].size() == 3, !overwrite) << threads;
        }
    }
}

// A conversion is admitted while the pictures of all in flight fit the
// budget; one that never fits runs alone, and never fails for it.
TEST(ParallelRun, TheMemoryBudgetBoundsWhatRunsAtOnce) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    // Each big one is estimated at 1600 x 1200 x 9 bytes, over the budget.
    ASSERT_TRUE(WriteBmp(Join(in, "big1.bmp"), 1600, 1200));
    ASSERT_TRUE(WriteBmp(Join(in, "big2.bmp"), 1600, 1200));
    for (int i = 0; i < 24; ++i)
        ASSERT_TRUE(batchtest::CopySample("landscape.jpg", Join(in, "small" + std::to_string(i) + ".jpg")));
    const uint64_t budget = 16ull << 20;
    Batch_SetMemoryBudgetForTest(budget);
    // Whether two small ones ever overlap depends on the scheduler: a loaded
    // machine can finish each before the worker hands out the next. The
    // budget must allow it in one of a few runs; it must hold in every one.
    int peakRunning = 0;
    for (int attempt = 0; attempt < 5 && peakRunning < 2; ++attempt) {
        Outcome o = RunAt(8, {in}, dir / ("out" + std::to_string(attempt)), kQuietMode, kTypeJpeg);
        EXPECT_EQ(o.run.processed, 26);
        EXPECT_EQ(o.run.succeeded, 26);
        EXPECT_TRUE(o.run.errors.empty());
        ConversionPool::Stats stats = Batch_LastPoolStats();
        EXPECT_LE(stats.peakHeldShared, budget);
        EXPECT_GE(stats.peakHeld, 1600ull * 1200 * 9);
        peakRunning = stats.peakRunning;
    }
    Batch_SetMemoryBudgetForTest(0);
    EXPECT_GE(peakRunning, 2);
}

TEST(ParallelRun, TheThreadCountFollowsTheSetting) {
    EXPECT_EQ(Batch_ThreadCount(1), 1);
    EXPECT_EQ(Batch_ThreadCount(3), 3);
    EXPECT_EQ(Batch_ThreadCount(64), 64);
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    int automatic = Batch_ThreadCount(0);
    EXPECT_GE(automatic, 1);
    EXPECT_LE(automatic, int(info.dwNumberOfProcessors));
    // A small budget leaves room for fewer conversions than processors.
    Batch_SetMemoryBudgetForTest(72ull << 20);
    EXPECT_EQ(Batch_ThreadCount(0), 1);
    Batch_SetMemoryBudgetForTest(0);
}

// The console host takes --jobs over the settings file and refuses counts
// the setting cannot hold.
TEST(ParallelRun, TheConsoleHostTakesAJobCount) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(batchtest::CopySample("landscape.jpg", Join(in, "p" + std::to_string(i) + ".jpg")));
    std::string ini = dir / "pm.ini";
    std::string text = "[IMGCONVERT]\r\nThreads=1\r\nWritePath=" + (dir / "out") + "\r\nFileMode=0\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    for (const char* bad : {"65", "-1", "x", ""}) {
        std::string args = "--ini \"" + ini + "\" --jobs \"" + bad + "\" \"" + in + "\"";
        EXPECT_EQ(batchtest::RunConsoleHost(args), 2) << bad;
    }
    std::string output;
    EXPECT_EQ(batchtest::RunConsoleHost("--ini \"" + ini + "\" --jobs 4 \"" + in + "\"", "", &output), 0) << output;
    EXPECT_NE(output.find("[4 "), std::string::npos) << output;
}

}  // namespace
