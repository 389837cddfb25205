// Runs converting several files at once against the same runs one file at
// a time: the outputs byte for byte, the error entries in their order, the
// counters and the report; outputs that two inputs map to; the memory
// budget, by estimate and by the memory of the process with real photos;
// the Threads setting.
#include "batch_support.h"

#include "batch/conversion_pool.h"
#include "entry/extras.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmwinkit.h"
#include "records/run_records.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
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
    std::map<std::string, double> conversionMs;  // by path, as the hook is told at the outcome
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
std::map<std::string, double>* g_conversionMs = nullptr;

void RecordHook(const ImageConvertParams* p, const char* path, bool done) {
    if (done) (*g_conversionMs)[path] = Batch_FileConversionMs();
    g_hookCalls->push_back(std::string(done ? "done " : "counted ") + path + " " + std::to_string(p->ProcessedCount) +
                           "/" + std::to_string(p->SucceededCount) + "/" + std::to_string(p->LogEntryCount));
}

// One run over `entries` into a fresh folder `out` with `threads` at once.
Outcome RunAt(int threads, const std::vector<std::string>& entries, const std::string& out, uint32_t mode,
            int writeType, int resize = -1, int box = 0) {
    ImageConvertParams p;
    MakeParams(&p, out, mode, writeType);
    if (resize >= 0) p.Resize = resize;
    if (box > 0) p.Size.cx = p.Size.cy = box;
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
    g_conversionMs = &o.conversionMs;
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

// A host is told each file's own conversion time, also when the file
// converted on another thread long before its commit: a big picture's is
// that of its conversion, not the moment between its counting and its
// outcome, which are both at its commit then. A file that could not be
// opened has none.
TEST(ParallelRun, TheHostIsToldEachFilesOwnConversionTime) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    ASSERT_TRUE(WriteBmp(Join(in, "a-big.bmp"), 3200, 2400));
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(batchtest::CopySample("landscape.jpg", Join(in, "s" + std::to_string(i) + ".jpg")));
    ASSERT_TRUE(batchtest::CopySample("scene8.bmp", Join(in, "locked.bmp")));
    HANDLE locked = CreateFileA(Join(in, "locked.bmp").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    // Converted beside others, the big one takes no less than a quarter of
    // its time alone (opening and creating alone take far less). On a busy
    // machine one run can stall where the other does not: a wrong time
    // shows in every try, a busy moment in one, so up to three tries.
    double bigAlone = 0, bigBeside = 0;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || bigBeside < bigAlone / 4); ++attempt) {
        for (int threads : {1, 8}) {
            SCOPED_TRACE(threads);
            Outcome o = RunAt(threads, {Join(in, "a-big.bmp"), Join(in, "locked.bmp"), in},
                              dir / ("out" + std::to_string(attempt) + "-" + std::to_string(threads)),
                              kQuietMode | FILEMODE_EXTONLY, kTypeJpeg);
            EXPECT_EQ(o.run.succeeded, 7);
            ASSERT_EQ(o.conversionMs.size(), 8u);
            (threads == 1 ? bigAlone : bigBeside) = o.conversionMs[Join(in, "a-big.bmp")];
            EXPECT_LT(o.conversionMs[Join(in, "locked.bmp")], 0.0);
            for (int i = 0; i < 6; ++i)
                EXPECT_GT(o.conversionMs[Join(in, "s" + std::to_string(i) + ".jpg")], 0.0) << i;
        }
    }
    EXPECT_GE(bigBeside, bigAlone / 4) << "alone " << bigAlone;
    CloseHandle(locked);
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
    // Each big one is estimated over the budget: read whole at 1600 x 1200
    // x 9 bytes, or, as a thumbnail read row by row, at its band of rows.
    ASSERT_TRUE(WriteBmp(Join(in, "big1.bmp"), 1600, 1200));
    ASSERT_TRUE(WriteBmp(Join(in, "big2.bmp"), 1600, 1200));
    for (int i = 0; i < 24; ++i)
        ASSERT_TRUE(batchtest::CopySample("landscape.jpg", Join(in, "small" + std::to_string(i) + ".jpg")));
    const uint64_t budget = 8ull << 20;
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
        EXPECT_GT(stats.peakHeld, budget) << "a file over the budget runs, alone";
        peakRunning = stats.peakRunning;
    }
    Batch_SetMemoryBudgetForTest(0);
    EXPECT_GE(peakRunning, 2);
}

// A w x h JPEG of a gradient, written a row at a time; progressive ones
// at 4:4:4, whose decoder keeps 6 bytes a pixel of coefficients whatever
// the scale it is read at.
bool WriteGradientJpeg(const std::string& path, int w, int h, bool progressive) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    if (progressive) {
        for (int i = 0; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
        jpeg_simple_progression(&c);
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            row[size_t(x) * 3] = uint8_t(x * 255 / w);
            row[size_t(x) * 3 + 1] = uint8_t(y * 255 / h);
            row[size_t(x) * 3 + 2] = uint8_t((x + y) / 64);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

// The highest working set of this process seen while it lives, sampled.
class MemorySampler {
public:
    MemorySampler() : thread_([this] {
        while (!stop_.load()) {
            uint64_t now = WorkingSet();
            if (now > peak_.load()) peak_.store(now);
            Sleep(2);
        }
    }) {}
    ~MemorySampler() { Stop(); }
    uint64_t Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        return peak_.load();
    }
    static uint64_t WorkingSet() {
        PROCESS_MEMORY_COUNTERS m{};
        m.cb = sizeof m;
        if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m)) return 0;
        return std::max<uint64_t>(m.WorkingSetSize, m.PagefileUsage);
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> peak_{0};
    std::thread thread_;
};

// Two 100-megapixel progressive photos, each holding about 600 MB while it
// is read, never at once beside each other; a 100-megapixel baseline photo
// read at 1/4 holds little and runs beside the small ones. The process
// stays within the budget, and every file is converted. (The box of 400
// pixels has them read at 1/4, whose IDCT reads AC terms: a progressive
// read then keeps every coefficient, where at 1/8 it would keep the DC
// terms alone.)
TEST(ParallelRun, HundredMegapixelPhotosStayWithinTheMemoryBudget) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    std::string small = Join(in, "small");
    MakeDir(small);
    const std::string progressive1 = Join(in, "p1.jpg"), progressive2 = Join(in, "p2.jpg"),
                      baseline = Join(in, "b.jpg");
    ASSERT_TRUE(WriteGradientJpeg(progressive1, 10000, 10000, true));
    ASSERT_TRUE(CopyFileA(progressive1.c_str(), progressive2.c_str(), TRUE));
    ASSERT_TRUE(WriteGradientJpeg(baseline, 10000, 10000, false));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(batchtest::CopySample(i % 2 ? "landscape.jpg" : "scene24.bmp",
                                          Join(small, "s" + std::to_string(i) + (i % 2 ? ".jpg" : ".bmp"))));
    // The 32-bit build's own budget; the 64-bit build's is larger and
    // would hold both, so it gets the same.
    const uint64_t budget = 768ull << 20;
    if (sizeof(void*) == 4)
        EXPECT_EQ(Batch_MemoryBudget(), budget);
    else
        Batch_SetMemoryBudgetForTest(budget);
    // The two big ones next to each other in the walk, so that the second
    // is handed out while the first is read unless the budget holds it.
    const uint64_t before = MemorySampler::WorkingSet();
    MemorySampler sampler;
    Outcome o = RunAt(0, {progressive1, progressive2, baseline, small}, dir / "out", kQuietMode, kTypeJpeg, -1, 400);
    const uint64_t peak = sampler.Stop();
    Batch_SetMemoryBudgetForTest(0);
    EXPECT_EQ(o.run.processed, 43);
    EXPECT_EQ(o.run.succeeded, 43);
    EXPECT_TRUE(o.run.errors.empty());
    ASSERT_GT(before, 0u);
    EXPECT_LE(peak - before, budget) << "peak " << (peak >> 20) << " MB, " << (before >> 20) << " MB before";
    // Each progressive one alone showed what it holds.
    EXPECT_GE(peak - before, 500ull << 20);
    EXPECT_LE(Batch_LastPoolStats().peakHeldShared, budget);
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
    // --times: a line per file, then the run's own time and its file count,
    // which the benchmarks read instead of timing Wine's start with it.
    output.clear();
    text = "[IMGCONVERT]\r\nWritePath=" + (dir / "out2") + "\r\nFileMode=0\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(ini, text.data(), text.size()));
    EXPECT_EQ(batchtest::RunConsoleHost("--ini \"" + ini + "\" --jobs 2 --quiet --times \"" + in + "\"", "", &output), 0);
    size_t fileLines = 0;
    for (size_t at = output.find("TIME\t"); at != std::string::npos; at = output.find("TIME\t", at + 1)) ++fileLines;
    EXPECT_EQ(fileLines, 4u) << output;
    size_t run = output.find("RUN\t");
    ASSERT_NE(run, std::string::npos) << output;
    char* end = nullptr;
    double ms = std::strtod(output.c_str() + run + 4, &end);
    EXPECT_GT(ms, 0.0) << output;
    EXPECT_EQ(std::string(end, 4), "\t4\r\n") << output;
    EXPECT_GT(run, output.rfind("TIME\t")) << output;
    // And the start before the walk, which the benchmarks read to tell the
    // program's start from the files' cost.
    size_t start = output.find("START\t");
    ASSERT_NE(start, std::string::npos) << output;
    const double startMs = std::strtod(output.c_str() + start + 6, &end);
    EXPECT_GT(startMs, 0.0) << output;
    EXPECT_LT(startMs, 120000.0) << output;
    EXPECT_EQ(std::string(end, 2), "\r\n") << output;
}

}  // namespace
