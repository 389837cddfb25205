// The progress dialog driving real runs: Cancel and the stop question, the
// preview check box, results 1 and 2, and a stop inside an animation. The
// dialog runs modally on the test's thread; message boxes are answered from a
// second thread, and the preview is watched through a subclass installed
// before the worker starts, so every trigger falls on a known image.
#include "batch_support.h"

#include "batch/conversion_pool.h"
#include "batch/progress_ids.h"
#include "entry/extras.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmpreview.h"
#include "records/run_records.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using batchtest::CopySample;
using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

// What the subclassed preview does on the n-th image it is shown.
enum class Act { None, PressCancel, UncheckPreview };

struct Watch {
    std::vector<Act> onImage;  // index = image number - 1
    std::atomic<int> shown{0};
    WNDPROC original = nullptr;
    // Read at WM_DESTROY, while the controls still exist.
    std::string input, processed, description;
    // Resizes the dialog right after it opened, before the worker runs.
    bool resize = false;
    // Ends the dialog as soon as it has handled its first message.
    bool endAtOpen = false;
    RECT before[4]{}, grown[4]{}, tiny[4]{};
    PreviewSettings grownSettings{}, tinySettings{};
    // The most private memory committed while an image was on its way.
    bool measure = false;
    uint64_t peakCommitted = 0;
};

// Private memory the process has committed, from its own address space.
uint64_t CommittedPrivateBytes() {
    uint64_t total = 0;
    MEMORY_BASIC_INFORMATION m;
    for (auto* at = static_cast<uint8_t*>(nullptr); VirtualQuery(at, &m, sizeof m) == sizeof m;) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) total += m.RegionSize;
        uint8_t* next = static_cast<uint8_t*>(m.BaseAddress) + m.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

constexpr int kTracked[4] = {IDC_PROGRESS_INPUT, IDC_PROGRESS_FOLDER, IDC_PROGRESS_PREVIEW, IDC_PROGRESS_DESCRIPTION};

void ReadRects(HWND dialog, RECT* out) {
    for (int i = 0; i < 4; ++i) {
        HWND c = GetDlgItem(dialog, kTracked[i]);
        GetWindowRect(c, &out[i]);
        MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&out[i]), 2);
    }
}

PreviewSettings ReadPreview(HWND dialog) {
    PreviewSettings s;
    std::memset(&s, 0, sizeof s);
    s.Size = kPreviewSettingsSize;
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_GETSETTINGS, 0, reinterpret_cast<LPARAM>(&s));
    return s;
}

// Grows the client area by (dw, dh).
void GrowClient(HWND dialog, int dw, int dh) {
    RECT w;
    GetWindowRect(dialog, &w);
    SetWindowPos(dialog, nullptr, 0, 0, w.right - w.left + dw, w.bottom - w.top + dh, SWP_NOMOVE | SWP_NOZORDER);
}
Watch* g_watch = nullptr;

LRESULT CALLBACK PreviewSpy(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == PVM_SHOWIMAGE) {
        if (g_watch->measure) g_watch->peakCommitted = std::max(g_watch->peakCommitted, CommittedPrivateBytes());
        int n = ++g_watch->shown;
        HWND dialog = GetParent(w);
        Act act = n <= int(g_watch->onImage.size()) ? g_watch->onImage[size_t(n - 1)] : Act::None;
        // Sent, not posted: the flag is set before the worker goes on, as if
        // the user had pressed while this image was being made.
        if (act == Act::PressCancel) SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        if (act == Act::UncheckPreview) {
            HWND box = GetDlgItem(dialog, IDC_PROGRESS_PREVIEW_ON);
            SendMessageA(box, BM_SETCHECK, BST_UNCHECKED, 0);
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_PREVIEW_ON, BN_CLICKED), LPARAM(box));
        }
    }
    return CallWindowProcA(g_watch->original, w, msg, wp, lp);
}

std::string TextOf(HWND dialog, int id) {
    char text[600] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

INT_PTR CALLBACK WatchedDialog(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) {
        g_watch->input = TextOf(dialog, IDC_PROGRESS_INPUT);
        g_watch->processed = TextOf(dialog, IDC_PROGRESS_PROCESSED);
        g_watch->description = TextOf(dialog, IDC_PROGRESS_DESCRIPTION);
    }
    INT_PTR r = pmImageConvert_ProgressDlg(dialog, msg, wp, lp);
    if (msg == WM_INITDIALOG) {
        if (g_watch->endAtOpen) EndDialog(dialog, 3);
        HWND preview = GetDlgItem(dialog, IDC_PROGRESS_PREVIEW);
        g_watch->original =
            reinterpret_cast<WNDPROC>(SetWindowLongPtrA(preview, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PreviewSpy)));
        if (g_watch->resize) {
            ReadRects(dialog, g_watch->before);
            GrowClient(dialog, 100, 60);
            ReadRects(dialog, g_watch->grown);
            g_watch->grownSettings = ReadPreview(dialog);
            RECT r = g_watch->grown[2];
            // Small enough that the preview is 20 pixels high or less.
            GrowClient(dialog, 0, -(r.bottom - r.top) + 10);
            ReadRects(dialog, g_watch->tiny);
            g_watch->tinySettings = ReadPreview(dialog);
        }
    }
    return r;
}

bool HaveDisplay() {
    HWND w = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!w) return false;
    DestroyWindow(w);
    return true;
}

struct BoxSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedBox(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<BoxSearch*>(lp);
    char cls[16];
    GetClassNameA(w, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") == 0 && GetWindow(w, GW_OWNER) == s->owner && IsWindowVisible(w)) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

// Answers the stop questions in turn; for each, notes the processed count
// and caption seen while the box was up. It looks for boxes as long as the
// dialog runs, however slowly the machine gets there: a question left
// unanswered would hold the worker, and so the dialog, for good. A question
// beyond the expected ones is answered Yes (stop) and noted, so the run
// ends and the test fails on the count instead of hanging.
struct Answers {
    std::vector<int> buttons;
    std::vector<LONG> processedAtBox;
    // Whether each box belonged to the dialog's own thread: one opened by
    // the worker over the dialog made the two threads wait on each other.
    std::vector<bool> onDialogThread;
    std::vector<std::string> captions;
};

void AnswerBoxes(ImageConvertParams* p, Answers* a, std::atomic<bool>* done) {
    size_t next = 0;
    while (!*done) {
        HWND box = nullptr;
        if (HWND dialog = p->ProgressWindow) {
            BoxSearch s{dialog, nullptr};
            EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&s));
            box = s.found;
        }
        if (!box) {
            Sleep(10);
            continue;
        }
        char caption[64] = {};
        GetWindowTextA(box, caption, sizeof caption);
        a->captions.push_back(caption);
        a->processedAtBox.push_back(p->ProcessedCount);
        a->onDialogThread.push_back(GetWindowThreadProcessId(box, nullptr) ==
                                    GetWindowThreadProcessId(p->ProgressWindow, nullptr));
        int button = next < a->buttons.size() ? a->buttons[next] : IDYES;
        ++next;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        // The box must be gone before the next one is looked for.
        while (!*done && IsWindow(box)) Sleep(10);
    }
}

struct DialogRun {
    INT_PTR result = -1;
    Answers answers;
    bool workerGoneAtReturn = false;  // see MarkWorkerThread
};

// Set when the thread that ran the progress hook has ended (see
// MarkWorkerThread below).
std::atomic<bool> g_workerGone{false};

int ThreadsOfThisProcess() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    int n = 0;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

// Waits a little for threads that are ending to leave the list.
int ThreadsAfterRun(int before) {
    int n = ThreadsOfThisProcess();
    for (int i = 0; i < 200 && n > before; ++i) {
        Sleep(10);
        n = ThreadsOfThisProcess();
    }
    return n;
}


// Ends a dialog that is still open after the bound, so a run that never
// ends fails the test instead of holding the suite until it is killed.
constexpr DWORD kRunBoundMs = 180000;

DialogRun RunDialog(ImageConvertParams* p, const std::vector<std::string>& entries, Watch* watch,
                    std::vector<int> buttons = {}) {
    Preview_RegisterClasses(GetModuleHandleA(nullptr));
    std::vector<std::string> copies = entries;
    std::vector<char*> paths;
    for (std::string& s : copies) paths.push_back(s.data());
    ProgressDlgArgs args;
    std::memset(&args, 0, sizeof args);
    args.Size = sizeof args;
    args.Files.Count = int32_t(paths.size());
    args.Files.Paths = paths.data();
    args.Params = p;
    g_watch = watch;

    DialogRun run;
    run.answers.buttons = std::move(buttons);
    std::atomic<bool> done{false};
    std::atomic<bool> overran{false};
    const int threadsBefore = ThreadsOfThisProcess();
    std::thread answerer([&] { AnswerBoxes(p, &run.answers, &done); });
    std::thread watchdog([&] {
        for (DWORD waited = 0; waited < kRunBoundMs && !done; waited += 50) Sleep(50);
        if (done) return;
        overran = true;
        // Again until it has returned: a question still open holds it (the
        // answerer says Yes to every question past the expected ones).
        while (!done) {
            if (HWND dialog = p->ProgressWindow) EndDialog(dialog, -1);
            for (int i = 0; i < 20 && !done; ++i) Sleep(50);
        }
    });
    run.result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(109), nullptr, WatchedDialog,
                                 reinterpret_cast<LPARAM>(&args));
    // Read before the helper threads are joined: their ends wait for the
    // loader lock, which an ending worker holds while its thread-local
    // objects go.
    run.workerGoneAtReturn = g_workerGone.load();
    done = true;
    answerer.join();
    watchdog.join();
    EXPECT_FALSE(overran.load()) << "the run did not end within " << kRunBoundMs / 1000 << " s";
    if (overran) {
        // Asked to stop, the run may still finish a conversion: the record
        // it writes belongs to the caller, who must not let it go before.
        for (int i = 0; i < 6000 && ThreadsOfThisProcess() > threadsBefore; ++i) Sleep(20);
    }
    g_watch = nullptr;
    return run;
}

// n copies of a sample in one folder, named so the walk meets them in order.
std::string MakeFolder(const TempDir& dir, int n) {
    std::string in = dir / "in";
    MakeDir(in);
    for (int i = 0; i < n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%02d.jpg", i);
        CopySample("landscape.jpg", Join(in, name));
    }
    return in;
}

}  // namespace

TEST(BatchDialog, CancelAnsweredNoGoesOnYesStopsBeforeTheNextEntry) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    std::string in = MakeFolder(dir, 10);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    // One at a time, the file shown is the last one started.
    ImageConvertExtras oneAtATime = kDefaultExtras;
    oneAtATime.Threads = 1;
    ScopedExtras bound(&p, &oneAtATime);
    Watch watch;
    watch.onImage = {Act::None, Act::PressCancel, Act::None, Act::None, Act::PressCancel};
    DialogRun run = RunDialog(&p, {in, dir / "never walked"}, &watch, {IDNO, IDYES});

    EXPECT_EQ(run.result, 2);
    ASSERT_EQ(run.answers.captions.size(), 2u);
    EXPECT_EQ(run.answers.captions[0], "処理中止の確認");
    // Asked at the entry after the image that saw the press; that entry is
    // neither counted nor converted.
    EXPECT_EQ(run.answers.processedAtBox[0], 2);
    EXPECT_EQ(run.answers.processedAtBox[1], 5);
    EXPECT_EQ(run.answers.onDialogThread, (std::vector<bool>{true, true}));
    EXPECT_EQ(p.ProcessedCount, 5);
    EXPECT_EQ(p.SucceededCount, 5);
    EXPECT_EQ(p.StopRequested, 1);
    EXPECT_EQ(p.CancelRequested, 0);
    EXPECT_EQ(FilesBelow(dir / "out").size(), 5u);
    EXPECT_EQ(watch.processed, "5");
}

TEST(BatchDialog, UncheckingThePreviewStopsPreviewUpdatesOnly) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    std::string in = MakeFolder(dir, 6);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    Watch watch;
    watch.onImage = {Act::None, Act::UncheckPreview};
    DialogRun run = RunDialog(&p, {in}, &watch);

    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(watch.shown.load(), 2);
    EXPECT_EQ(p.PreviewEnabled, 0);
    // Names and counters kept going; the description stayed at the second
    // image (the description goes with the image it describes).
    EXPECT_EQ(watch.input, Join(in, "p05.jpg"));
    EXPECT_EQ(watch.processed, "6");
    EXPECT_NE(watch.description.find("ﾋﾟｸｾﾙ"), std::string::npos);
    EXPECT_EQ(p.SucceededCount, 6);
}

TEST(BatchDialog, NothingConvertibleEndsCompletedWithEmptyFields) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    MakeDir(dir / "in");
    pmtest::WriteWholeFile(dir / "in\\notes.txt", "text", 4);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    Watch watch;
    DialogRun run = RunDialog(&p, {dir / "in"}, &watch);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(p.ProcessedCount, 0);
    EXPECT_EQ(watch.shown.load(), 0);
    EXPECT_EQ(watch.input, "");
    EXPECT_EQ(watch.processed, "");
}

TEST(BatchDialog, StopInsideAnAnimationEndsThePartialFileProperly) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("animation.gif", dir / "in\\a.gif");
    CopySample("animation.gif", dir / "in\\b.gif");
    // An animation goes frame by frame on the worker whatever the thread
    // count; with several, b.gif must not have been started meanwhile.
    for (int threads : {1, 4}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        std::string out = dir / ("out" + std::to_string(threads));
        ImageConvertParams p;
        MakeParams(&p, out, kQuietMode | FILEMODE_LOGINOUTPUT, kTypeGif);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = threads;
        ScopedExtras bound(&p, &extras);
        Watch watch;
        // Pressed while frames 2 and 4 of a.gif are converted: each is asked
        // after its frame; No goes on with the next frame, Yes ends the file.
        watch.onImage = {Act::None, Act::PressCancel, Act::None, Act::PressCancel};
        DialogRun run = RunDialog(&p, {dir / "in\\a.gif", dir / "in\\b.gif"}, &watch, {IDNO, IDYES});

        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(p.ProcessedCount, 1);
        EXPECT_EQ(p.SucceededCount, 0);
        EXPECT_EQ(FilesBelow(out), (std::vector<std::string>{"Vimoｻﾑﾈｲﾙﾛｸﾞ.txt", "a.gif"}));
        std::vector<uint8_t> log;
        ASSERT_TRUE(pmtest::ReadWholeFile(Join(out, "Vimoｻﾑﾈｲﾙﾛｸﾞ.txt"), &log));
        std::string text(log.begin(), log.end());
        EXPECT_NE(text.find("GIFアニメーションの変換中断"), std::string::npos) << text;
        EXPECT_NE(text.find(Join(out, "a.gif")), std::string::npos) << text;
        EXPECT_EQ(watch.shown.load(), 4);
        // Header, four frames and the trailer: a playable animation.
        std::vector<uint8_t> data;
        ASSERT_TRUE(pmtest::ReadWholeFile(Join(out, "a.gif"), &data));
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(data.back(), 0x3B);
        HANDLE f = CreateFileA(Join(out, "a.gif").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GifKit_CountFrames(f), 4);
        CloseHandle(f);
    }
}

TEST(BatchDialog, ResizingKeepsTheControlsLaidOut) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    p.Size.cx = 96;
    p.Size.cy = 96;
    Watch watch;
    watch.resize = true;
    DialogRun run = RunDialog(&p, {dir / "nothing here"}, &watch);
    EXPECT_EQ(run.result, 1);
    auto width = [](const RECT& r) { return r.right - r.left; };
    auto height = [](const RECT& r) { return r.bottom - r.top; };
    const RECT* b = watch.before;
    const RECT* g = watch.grown;
    // Paths and preview widen with the dialog, the preview also grows down,
    // the description follows the bottom edge under the preview.
    EXPECT_EQ(width(g[0]), width(b[0]) + 100);
    EXPECT_EQ(width(g[1]), width(b[1]) + 100);
    EXPECT_EQ(g[0].left, b[0].left);
    EXPECT_EQ(width(g[2]), width(b[2]) + 100);
    EXPECT_EQ(height(g[2]), height(b[2]) + 60);
    EXPECT_EQ(g[3].top, b[3].top + 60);
    EXPECT_EQ(g[3].left, g[2].left);
    EXPECT_EQ(width(g[3]), width(g[2]));
    // The image box is laid out for the new size: the output box centred in
    // the area above the caption line.
    const PreviewSettings& s = watch.grownSettings;
    EXPECT_EQ(s.AreaWidth, width(g[2]));
    EXPECT_EQ(s.AreaHeight, height(g[2]) - 20);
    EXPECT_EQ(s.BoxLeft, (s.AreaWidth - 96) / 2);
    EXPECT_EQ(s.BoxBottom - s.BoxTop, 96);
    EXPECT_EQ(s.Background, GetSysColor(COLOR_BTNFACE));
    // Too small a preview is only moved; its layout stays.
    EXPECT_LE(height(watch.tiny[2]), 20);
    EXPECT_EQ(watch.tinySettings.AreaHeight, s.AreaHeight);
}

namespace {

// What the dialog's error counter said when each file was counted and when
// its outcome was recorded, read on the worker through the progress hook.
std::vector<std::string> g_errorTexts;
void ReadErrorCounter(const ImageConvertParams* p, const char*, bool) {
    g_errorTexts.push_back(TextOf(p->ProgressWindow, IDC_PROGRESS_ERRORS));
}

// Notes the end of the thread that ran the progress hook: its thread-local
// objects are destroyed as it ends, after everything the run did; the
// pause leaves a host that does not wait for the thread time to go on.
struct EndOfThread {
    ~EndOfThread() {
        Sleep(300);
        g_workerGone = true;
    }
};
void MarkWorkerThread(const ImageConvertParams*, const char*, bool) {
    static thread_local EndOfThread mark;
    (void)&mark;
}

// A GIF of one or more 2 x 2 frames at the top left of a large screen.
void WriteSmallFramesOnALargeScreen(const std::string& path, int frames, int side) {
    GifScreen screen{};
    screen.Width = side;
    screen.Height = side;
    screen.ColorResolution = 1;
    screen.GlobalTableBits = 1;
    screen.GlobalTableCount = 2;
    screen.BackgroundIndex = 0;
    screen.GlobalTable[1] = RgbQuad{255, 255, 255, 0};
    DibHeader t{};
    t.biSize = 40;
    t.biWidth = 2;
    t.biHeight = 2;
    t.biPlanes = 1;
    t.biBitCount = 1;
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    ASSERT_TRUE(DibCore_Create(&t, 0, &h, &bits));
    std::memcpy(DibCore_GetPalette(h, 0, 0), screen.GlobalTable, 2 * 4);
    bits[0] = 0x80;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    GifFrame frame{0, 0, 2, 2, 0, 0, 0, 0};
    DibPair image{h, bits};
    if (frames == 1) {
        EXPECT_EQ(GifKit_WriteSingleImage(0, f, &screen, -1, &frame, &image), 1);
    } else {
        EXPECT_EQ(GifKit_WriteHeader(0, f, &screen, 0), 1);
        for (int i = 0; i < frames; ++i) EXPECT_EQ(GifKit_WriteFrame(0, f, &screen, -1, &frame, &image), 1);
        EXPECT_EQ(GifKit_WriteTrailer(0, f), 1);
    }
    CloseHandle(f);
    DibCore_Free(h, bits);
}

}  // namespace

TEST(BatchDialog, ErrorCounterCountsOnlyFinishedFiles) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\1.jpg");
    pmtest::WriteWholeFile(dir / "in\\2.jpg", "\xFF\xD8 not a picture", 20);
    CopySample("landscape.jpg", dir / "in\\3.jpg");
    pmtest::WriteWholeFile(dir / "in\\4.jpg", "\xFF\xD8 not a picture", 20);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY);
    Watch watch;
    g_errorTexts.clear();
    Batch_SetProgressHook(ReadErrorCounter);
    DialogRun run = RunDialog(&p, {dir / "in\\1.jpg", dir / "in\\2.jpg", dir / "in\\3.jpg", dir / "in\\4.jpg"},
                              &watch);
    Batch_SetProgressHook(nullptr);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(p.SucceededCount, 2);
    // Counted, then recorded, file by file: the file in work is no error yet.
    EXPECT_EQ(g_errorTexts, (std::vector<std::string>{"0", "0", "0", "1", "1", "1", "1", "2"}));
}

TEST(BatchDialog, TheDialogReturnsOnlyAfterItsWorkerHasEnded) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    std::string in = MakeFolder(dir, 1);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    Watch watch;
    g_workerGone = false;
    Batch_SetProgressHook(MarkWorkerThread);
    DialogRun run = RunDialog(&p, {in}, &watch);
    // A host unloads the library as soon as the dialog has returned.
    bool gone = run.workerGoneAtReturn;
    Batch_SetProgressHook(nullptr);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(gone);
    for (int i = 0; i < 100 && !g_workerGone; ++i) Sleep(10);
}

TEST(BatchDialog, GifToGifBuildsNoWholeScreenCanvasUnlessFramesAreComposed) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    MakeDir(dir / "in");
    // A 32-bit canvas of this screen takes 144 MB.
    WriteSmallFramesOnALargeScreen(dir / "in\\single.gif", 1, 6000);
    WriteSmallFramesOnALargeScreen(dir / "in\\anim.gif", 3, 6000);
    struct Case { const char* file; int resize; int frames; } cases[] = {
        {"single.gif", 0, 1},
        {"anim.gif", 0, 3},
        // Stretched into a box of the screen's own size: nothing is zoomed,
        // so nothing is composed.
        {"single.gif", 2, 1},
    };
    for (const Case& c : cases) {
        ImageConvertParams p;
        MakeParams(&p, dir / "out", kQuietMode | FILEMODE_OVERWRITE, kTypeGif);
        p.Resize = c.resize;
        p.Size.cx = 6000;
        p.Size.cy = 6000;
        Watch watch;
        watch.measure = true;
        uint64_t before = CommittedPrivateBytes();
        DialogRun run = RunDialog(&p, {dir / "in" + std::string("\\") + c.file}, &watch);
        EXPECT_EQ(run.result, 1) << c.file;
        EXPECT_EQ(p.SucceededCount, 1) << c.file;
        EXPECT_EQ(watch.shown.load(), c.frames) << c.file;
        EXPECT_LT(watch.peakCommitted, before + (64u << 20)) << c.file << " resize " << c.resize;
    }
}


// The parameter is the run's thread count: the same races one file at a
// time and with several at once.
class BatchDialogCancel : public testing::TestWithParam<int> {};

constexpr int kMostThreads = 8;
// Files handed out and not yet committed, per thread, as the parallel run
// allows them.
constexpr int kPendingPerThread = 8;

INSTANTIATE_TEST_SUITE_P(, BatchDialogCancel, testing::Values(1, kMostThreads),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param == 1 ? std::string("OneThread") : std::to_string(info.param) + "Threads";
                         });

// Cancel pressed while a committed file's image is shown, at a random file
// each round. The question is asked once; on No the run goes on to the end;
// on Yes no file is handed out any more, the ones in flight are finished
// and committed, and when the dialog has returned no thread of the run is
// left.
TEST_P(BatchDialogCancel, AtRandomMomentsStopsAfterWhatWasHandedOut) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    constexpr int kFiles = 36;
    const int threads = GetParam();
    std::string in = MakeFolder(dir, kFiles);
    std::mt19937 random(20261208);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", threads " + std::to_string(threads));
        std::string out = dir / ("out" + std::to_string(round));
        ImageConvertParams p;
        MakeParams(&p, out, kQuietMode);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = threads;
        ScopedExtras bound(&p, &extras);
        Watch watch;
        // Early enough that files are left to hand out after those handed
        // out already (up to two a thread wait for their commit).
        int at = 1 + int(random() % (kFiles - 2 * kMostThreads - 2));
        watch.onImage.assign(size_t(at), Act::None);
        watch.onImage.back() = Act::PressCancel;
        bool yes = round % 3 != 2;
        int before = ThreadsOfThisProcess();
        DialogRun run = RunDialog(&p, {in}, &watch, {yes ? IDYES : IDNO});
        EXPECT_EQ(ThreadsAfterRun(before), before);
        ASSERT_EQ(run.answers.captions.size(), 1u);
        EXPECT_EQ(run.answers.captions[0], "処理中止の確認");
        EXPECT_GE(run.answers.processedAtBox[0], at);
        // One at a time, the question comes at the entry after the file
        // whose image saw the press.
        if (threads == 1) EXPECT_EQ(run.answers.processedAtBox[0], at);
        if (!yes) {
            EXPECT_EQ(run.result, 1);
            EXPECT_EQ(p.ProcessedCount, kFiles);
            EXPECT_EQ(p.SucceededCount, kFiles);
            continue;
        }
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(p.StopRequested, 1);
        // What was handed out at the question, and nothing after it. Several
        // at once, up to eight a thread may wait for their commit when the
        // machine is slow to show them.
        const int handedOutAtMost = run.answers.processedAtBox[0] + kPendingPerThread * threads;
        EXPECT_LE(p.ProcessedCount, handedOutAtMost);
        if (threads == 1) EXPECT_EQ(p.ProcessedCount, run.answers.processedAtBox[0]);
        if (handedOutAtMost < kFiles) {
            EXPECT_LT(p.ProcessedCount, kFiles);
        }
        EXPECT_EQ(p.SucceededCount, p.ProcessedCount);
        // Every file started was finished: no output without its result.
        EXPECT_EQ(FilesBelow(out).size(), size_t(p.ProcessedCount));
        EXPECT_EQ(watch.processed, std::to_string(p.ProcessedCount));
    }
}

// Several at once, Cancel pressed while one of the last files is shown,
// when every file is handed out and most are already converted: the user
// still gets the question before the next file is committed, as one at a
// time asks before its next file. A Yes stops the run; what was converted
// is committed.
TEST(BatchDialog, CancelWhileTheLastFilesAreCommittedIsStillAsked) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    constexpr int kFiles = 6;
    std::string in = MakeFolder(dir, kFiles);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    ImageConvertExtras extras = kDefaultExtras;
    extras.Threads = kMostThreads;
    ScopedExtras bound(&p, &extras);
    Watch watch;
    watch.onImage.assign(kFiles - 1, Act::None);
    watch.onImage.back() = Act::PressCancel;
    DialogRun run = RunDialog(&p, {in}, &watch, {IDYES});
    ASSERT_EQ(run.answers.captions.size(), 1u);
    EXPECT_EQ(run.answers.processedAtBox[0], kFiles - 1);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(p.StopRequested, 1);
    // The last file is committed when it was handed out before the press.
    EXPECT_GE(p.ProcessedCount, kFiles - 1);
    EXPECT_EQ(p.SucceededCount, p.ProcessedCount);
    EXPECT_EQ(FilesBelow(dir / "out").size(), size_t(p.ProcessedCount));
}

// Cancel pressed after a random time, wherever the worker is then: waiting
// for a conversion to finish, committing, or past the last file.
TEST_P(BatchDialogCancel, AfterRandomTimesNeverHangs) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    constexpr int kFiles = 16;
    const int threads = GetParam();
    std::string in = MakeFolder(dir, kFiles);
    std::mt19937 random(1208);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", threads " + std::to_string(threads));
        ImageConvertParams p;
        MakeParams(&p, dir / ("out" + std::to_string(round)), kQuietMode);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = threads;
        ScopedExtras bound(&p, &extras);
        Watch watch;
        DWORD delay = 500 + DWORD(random() % 1500);
        int before = ThreadsOfThisProcess();
        std::atomic<bool> ended{false};
        std::thread presser([&] {
            for (DWORD waited = 0; waited < delay && !ended; waited += 10) Sleep(10);
            if (HWND dialog = p.ProgressWindow; dialog && !ended)
                PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        });
        DialogRun run = RunDialog(&p, {in}, &watch, {IDYES});
        ended = true;
        presser.join();
        EXPECT_EQ(ThreadsAfterRun(before), before);
        EXPECT_LE(run.answers.captions.size(), 1u);
        EXPECT_EQ(run.result, run.answers.captions.empty() ? 1 : 2);
        EXPECT_EQ(p.SucceededCount, p.ProcessedCount);
        EXPECT_EQ(FilesBelow(dir / ("out" + std::to_string(round))).size(), size_t(p.ProcessedCount));
    }
}

namespace {

// Holds the pool's jobs until the test lets them go.
HANDLE g_releaseJobs = nullptr;
std::atomic<int> g_jobsHeld{0};
void HoldJob() {
    ++g_jobsHeld;
    WaitForSingleObject(g_releaseJobs, 120000);
}

// Waits, bounded for hangs only, until the threads a run added have ended
// by themselves; how many are left.
int ThreadsLeftAfter(int before) {
    int n = ThreadsOfThisProcess();
    for (int i = 0; i < 6000 && n > before; ++i) {
        Sleep(20);
        n = ThreadsOfThisProcess();
    }
    return n - before;
}

}  // namespace

// The dialog going away mid-run (not by Cancel: its owner went) while the
// files in flight do not finish. The dialog returns after its bounded wait
// and ends no thread: one ended from outside may hold the heap's lock, and
// the host would wait for it for good. The run hands out no more files,
// and once the conversions end, every thread of it ends by itself.
TEST(BatchDialog, DialogGoneWhileConversionsHangReturnsAndTheRunEndsByItself) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    std::string in = MakeFolder(dir, 12);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    ImageConvertExtras four = kDefaultExtras;
    four.Threads = 4;
    ScopedExtras bound(&p, &four);
    g_releaseJobs = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(g_releaseJobs, nullptr);
    g_jobsHeld = 0;
    Batch_SetPoolJobHookForTest(HoldJob);
    int before = ThreadsOfThisProcess();
    std::thread closer([&] {
        for (int i = 0; i < 6000 && g_jobsHeld.load() < 4; ++i) Sleep(20);
        if (HWND dialog = p.ProgressWindow) EndDialog(dialog, 3);
    });
    Watch watch;
    DialogRun run = RunDialog(&p, {in}, &watch);
    closer.join();
    int whileHeld = ThreadsOfThisProcess();
    SetEvent(g_releaseJobs);
    // The record stays alive until the run has let go of it.
    int left = ThreadsLeftAfter(before);
    Batch_SetPoolJobHookForTest(nullptr);
    CloseHandle(g_releaseJobs);
    g_releaseJobs = nullptr;
    EXPECT_EQ(g_jobsHeld.load(), 4);
    EXPECT_EQ(run.result, 3);
    EXPECT_GT(whileHeld, before) << "a thread of the run was ended from outside";
    EXPECT_EQ(left, 0);
    // The four in flight were finished and recorded; none was started after.
    EXPECT_EQ(p.ProcessedCount, 4);
    EXPECT_EQ(p.SucceededCount, 4);
    EXPECT_EQ(p.StopRequested, 1);
    EXPECT_EQ(FilesBelow(dir / "out").size(), 4u);
}

// A dialog ended before it finished opening: its worker starts nothing (no
// output folder, no file), however soon the host ended it.
TEST(BatchDialog, DialogGoneBeforeItOpenedRunsNothing) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    std::string in = MakeFolder(dir, 3);
    for (int threads : {1, 4}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        std::string out = dir / ("out" + std::to_string(threads));
        ImageConvertParams p;
        MakeParams(&p, out, kQuietMode);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = threads;
        ScopedExtras bound(&p, &extras);
        Watch watch;
        watch.endAtOpen = true;
        int before = ThreadsOfThisProcess();
        DialogRun run = RunDialog(&p, {in}, &watch);
        EXPECT_EQ(ThreadsLeftAfter(before), 0);
        EXPECT_EQ(run.result, 3);
        EXPECT_EQ(p.ProcessedCount, 0);
        EXPECT_FALSE(pmtest::FileExists(out));
    }
}

namespace {

// Lets the held jobs go once the walk takes a file whose name ends so.
const char* g_releaseAt = nullptr;
void ReleaseWhenTaken(const ImageConvertParams*, const char* path) {
    std::string s = path;
    if (g_releaseAt && s.size() >= std::strlen(g_releaseAt) &&
        s.compare(s.size() - std::strlen(g_releaseAt), std::string::npos, g_releaseAt) == 0)
        SetEvent(g_releaseJobs);
}

}  // namespace

// Several at once: an animation converts on the worker once the files
// before it are committed. A Yes given at one of those commits stops the
// run there; the animation is neither counted nor written.
TEST(BatchDialog, YesAtACommitConvertsNoAnimationAfterIt) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    CopySample("landscape.jpg", dir / "in\\b.jpg");
    CopySample("animation.gif", dir / "in\\c.gif");
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypeGif);
    ImageConvertExtras four = kDefaultExtras;
    four.Threads = 4;
    ScopedExtras bound(&p, &four);
    // Both photos are still converting when the walk reaches the animation,
    // so both are committed there: Cancel is pressed at the first, and the
    // question comes at the second.
    g_releaseJobs = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(g_releaseJobs, nullptr);
    g_releaseAt = "c.gif";
    Batch_SetPoolJobHookForTest(HoldJob);
    Batch_SetTakenHookForTest(ReleaseWhenTaken);
    Watch watch;
    watch.onImage = {Act::PressCancel};
    DialogRun run = RunDialog(&p, {dir / "in"}, &watch, {IDYES});
    Batch_SetTakenHookForTest(nullptr);
    Batch_SetPoolJobHookForTest(nullptr);
    CloseHandle(g_releaseJobs);
    g_releaseJobs = nullptr;
    g_releaseAt = nullptr;
    EXPECT_EQ(run.result, 2);
    ASSERT_EQ(run.answers.captions.size(), 1u);
    EXPECT_EQ(run.answers.processedAtBox[0], 1);
    EXPECT_EQ(p.ProcessedCount, 2);
    EXPECT_EQ(FilesBelow(dir / "out"), (std::vector<std::string>{"in\\a.gif", "in\\b.gif"}));
}

namespace {

std::atomic<bool> g_ownerStop{false};
int g_stopAtCount = 0;
int g_counted = 0;
void StopAtCount(const ImageConvertParams*, const char*, bool done) {
    if (!done && ++g_counted == g_stopAtCount) g_ownerStop = true;
}

}  // namespace

// The stop the run's owner asks for (the dialog going) is looked at where
// the user's question is: before each entry one at a time and several at
// once, and between the frames of an animation.
TEST(BatchRunStop, OwnersStopEndsTheWalkAtItsNextCheck) {
    TempDir dir;
    std::string photos = MakeFolder(dir, 12);
    MakeDir(dir / "anim");
    CopySample("animation.gif", dir / "anim\\a.gif");
    CopySample("animation.gif", dir / "anim\\b.gif");
    struct Case {
        const char* name;
        std::string input;
        int writeType, threads, stopAt;
    } cases[] = {
        {"photos one at a time", photos, kTypeJpeg, 1, 2},
        {"photos four at once", photos, kTypeJpeg, 4, 2},
        {"animation one at a time", dir / "anim", kTypeGif, 1, 1},
        {"animation four at once", dir / "anim", kTypeGif, 4, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = dir / ("out" + std::to_string(n++));
        ImageConvertParams p;
        MakeParams(&p, out, kQuietMode, c.writeType);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = c.threads;
        ScopedExtras bound(&p, &extras);
        g_ownerStop = false;
        g_counted = 0;
        g_stopAtCount = c.stopAt;
        Batch_SetProgressHook(StopAtCount);
        Batch_SetRunStop(&g_ownerStop);
        batchtest::RunResult r = batchtest::RunWalk(&p, {c.input});
        Batch_SetRunStop(nullptr);
        Batch_SetProgressHook(nullptr);
        EXPECT_FALSE(r.walked);
        EXPECT_EQ(p.StopRequested, 1);
        std::vector<std::string> written = FilesBelow(out);
        if (c.writeType == kTypeGif) {
            // Stopped after the first frame of the first animation.
            EXPECT_EQ(r.processed, 1);
            EXPECT_EQ(r.succeeded, 0);
            EXPECT_EQ(r.errors.size(), 1u);
            if (!r.errors.empty()) {
                EXPECT_EQ(r.errors[0].id, kErrStopped);
            }
            EXPECT_EQ(written, (std::vector<std::string>{"anim\\a.gif"}));
            continue;
        }
        // One at a time the file counted is finished first; several at
        // once, those handed out already are finished too.
        if (c.threads == 1) {
            EXPECT_EQ(r.processed, 2);
        }
        EXPECT_LT(r.processed, 12);
        EXPECT_EQ(r.succeeded, r.processed);
        EXPECT_EQ(written.size(), size_t(r.processed));
    }
}

namespace {

// The address space reserved for the calling thread's stack.
size_t StackReservation() {
    int onTheStack = 0;
    MEMORY_BASIC_INFORMATION m{};
    VirtualQuery(&onTheStack, &m, sizeof m);
    auto* base = static_cast<uint8_t*>(m.AllocationBase);
    size_t total = 0;
    for (uint8_t* at = base; VirtualQuery(at, &m, sizeof m) == sizeof m && m.AllocationBase == base;
         at += m.RegionSize)
        total += m.RegionSize;
    return total;
}

struct StackJob final : PoolJob {
    void Run() override { reserved = StackReservation(); }
    size_t reserved = 0;
};

}  // namespace

// A pool thread reserves the small stack asked for (a conversion keeps its
// buffers on the heap), not the program's default: in a 32-bit process
// every thread's reservation comes out of the 2 GB the pictures need.
TEST(BatchPool, ThreadsReserveTheSmallStackAskedFor) {
    ConversionPool pool(2, 1u << 20);
    ASSERT_TRUE(pool.Ready());
    StackJob job;
    ASSERT_TRUE(pool.TryStart(&job, 1));
    pool.WaitFor(&job);
    pool.Release(&job);
    EXPECT_GT(job.reserved, 0u);
    EXPECT_LE(job.reserved, size_t(1u << 20) + (64u << 10)) << job.reserved;
}

namespace {

struct OtherThreadsDialog {
    DWORD notOf;
    HWND found;
};

BOOL CALLBACK FindOtherThreadsDialog(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<OtherThreadsDialog*>(lp);
    char cls[16];
    GetClassNameA(w, cls, sizeof cls);
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(w, &process);
    if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(w) && process == GetCurrentProcessId() &&
        thread != s->notOf) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

// A dialog window of this process that another thread than `notOf` runs.
HWND FindDialogOfAnotherThread(DWORD notOf) {
    OtherThreadsDialog s{notOf, nullptr};
    EnumWindows(FindOtherThreadsDialog, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool WaitUntil(const std::function<bool()>& ready, DWORD ms = 120000) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if (ready()) return true;
        Sleep(20);
    }
    return ready();
}

}  // namespace

// A host that runs the library's progress dialog, ends it while the run is
// still on (its worker holds the result dialog open), and unloads the
// library as soon as the dialog has returned: the process goes on, the
// library stays while the run's thread runs its code, and goes when that
// thread has ended.
TEST(BatchDialogHost, LibraryUnloadedByTheHostStaysUntilTheRunHasEnded) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    std::string path = Join(Join(pmtest::BinaryDir(), "bin"), "PIXMILUI.DLL");
    HMODULE lib = LoadLibraryA(path.c_str());
    ASSERT_NE(lib, nullptr) << path;
    auto proc = reinterpret_cast<DLGPROC>(reinterpret_cast<void*>(GetProcAddress(lib, "pmImageConvert_ProgressDlg")));
    ASSERT_NE(proc, nullptr);
    Preview_RegisterClasses(GetModuleHandleA(nullptr));
    TempDir dir;
    std::string in = MakeFolder(dir, 2);
    // The run writes into its record until its thread ends, after the
    // dialog returned.
    static ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_ENDMESSAGE);
    std::vector<char*> paths{in.data()};
    ProgressDlgArgs args;
    std::memset(&args, 0, sizeof args);
    args.Size = sizeof args;
    args.Files.Count = 1;
    args.Files.Paths = paths.data();
    args.Params = &p;

    const DWORD self = GetCurrentThreadId();
    HWND result = nullptr;
    int before = ThreadsOfThisProcess();
    std::thread closer([&] {
        WaitUntil([&] { return (result = FindDialogOfAnotherThread(self)) != nullptr; });
        if (HWND dialog = p.ProgressWindow) EndDialog(dialog, 3);
    });
    INT_PTR ended = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(109), nullptr, proc,
                                    reinterpret_cast<LPARAM>(&args));
    closer.join();
    FreeLibrary(lib);
    bool heldByTheRun = GetModuleHandleA(path.c_str()) != nullptr;
    if (result) PostMessageA(result, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    bool unloaded = WaitUntil([&] { return GetModuleHandleA(path.c_str()) == nullptr; });
    EXPECT_EQ(ThreadsLeftAfter(before), 0);
    ASSERT_NE(result, nullptr) << "no result dialog";
    EXPECT_EQ(ended, 3);
    EXPECT_TRUE(heldByTheRun);
    EXPECT_TRUE(unloaded);
    EXPECT_EQ(p.ProcessedCount, 2);
}
