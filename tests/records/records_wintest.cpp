// The run record operations, the log report with its strings, the result
// dialog and the profile list reader, against real files in a scratch folder.
#include "records/result_dialog_ids.h"
#include "records/run_records.h"
#include "makerlibs/pmheap.h"
#include "makerlibs/pmwinkit.h"
#include "resources/resource_ids.h"
#include "common/testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

std::unique_ptr<ImageConvertParams> NewParams() {
    auto p = std::make_unique<ImageConvertParams>();
    std::memset(p.get(), 0, sizeof *p);
    p->Instance = GetModuleHandleA(nullptr);
    return p;
}

void SetText(char (&field)[kPathBuffer], const std::string& text) {
    ASSERT_LT(text.size(), sizeof field);
    std::strcpy(field, text.c_str());
}

std::string FullPath(const std::string& path) {
    char full[MAX_PATH];
    GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return full;
}

bool IsFolder(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> data;
    if (!pmtest::ReadWholeFile(path, &data)) return "<missing>";
    return std::string(data.begin(), data.end());
}

int g_openCalls = 0;
std::string g_openedFolder;
void RecordOpen(const char* folder) {
    ++g_openCalls;
    g_openedFolder = folder;
}

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        g_openCalls = 0;
        g_openedFolder.clear();
        Records_SetFolderOpener(RecordOpen);
    }
    void TearDown() override { Records_SetFolderOpener(nullptr); }
    pmtest::TempDir dir;
};

std::string Report(int mode, const ImageConvertParams* p) {
    char* text = reinterpret_cast<char*>(1);
    BuildLogReport(mode, p, &text);
    std::string s = text ? text : "<null>";
    WinKit_Free(text);
    return s;
}

}  // namespace

TEST_F(RunLog, BeginFormsProductAndTimeFoldersFromAPathWithTrailingBackslash) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path() + "\\");
    p->FileMode = FILEMODE_PRODUCTFOLDER | FILEMODE_TIMEFOLDER;
    p->ProcessedCount = 5;
    p->StopRequested = 1;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);

    std::string prefix = FullPath(dir.path()) + "\\Vimoｻﾑﾈｲﾙ\\";
    std::string folder = p->OutputFolder;
    ASSERT_EQ(folder.substr(0, prefix.size()), prefix);
    std::string stamp = folder.substr(prefix.size());
    ASSERT_EQ(stamp.size(), 17u) << folder;
    // The whole stamp is the run's start time, field by field.
    const SYSTEMTIME& t = p->StartTime;
    char expected[32];
    std::snprintf(expected, sizeof expected, "%04d%02d%02d%02d%02d%02d%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    EXPECT_EQ(stamp, expected);
    EXPECT_TRUE(IsFolder(folder));
    if (p->LogEntryCount) ADD_FAILURE() << "entry " << p->LogEntries[0].Name << " " << p->LogEntries[0].LastError;
    EXPECT_EQ(p->ProcessedCount, 0);
    EXPECT_EQ(p->StopRequested, 0);
    EXPECT_STREQ(p->LogPath, "");  // LogFile empty and not in the output folder
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
}

TEST_F(RunLog, LogInOutputFolderTakesTheNameOfLogFileOrTheDefault) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    p->FileMode = FILEMODE_LOGINOUTPUT;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);
    EXPECT_EQ(std::string(p->LogPath), FullPath(dir.path()) + "\\Vimoｻﾑﾈｲﾙﾛｸﾞ.txt");

    SetText(p->LogFile, "C:\\elsewhere\\表ソ.log");
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);
    EXPECT_EQ(std::string(p->LogPath), FullPath(dir.path()) + "\\表ソ.log");

    p->FileMode = 0;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);
    EXPECT_STREQ(p->LogPath, "C:\\elsewhere\\表ソ.log");
}

TEST_F(RunLog, FolderThatCannotBeCreatedBecomesErrorEntry107) {
    auto p = NewParams();
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "file", "x", 1));
    SetText(p->WritePath, dir / "file");
    p->FileMode = FILEMODE_PRODUCTFOLDER;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);
    ASSERT_EQ(p->LogEntryCount, 1);
    EXPECT_STREQ(p->LogEntries[0].Name, p->OutputFolder);
    EXPECT_EQ(p->LogEntries[0].MessageId, kErrCreateFolder);
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_EQ(p->LogEntryCount, 0);
    EXPECT_EQ(p->LogEntries, nullptr);
}

TEST_F(RunLog, ErrorsOnlyWithoutErrorsDeletesAnOverwrittenLogButKeepsAnAppendedOne) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    SetText(p->LogFile, dir / "run.log");
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "run.log", "old\r\n", 5));

    p->FileMode = FILEMODE_LOGERRORSONLY | FILEMODE_LOGAPPEND;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0), 1);
    EXPECT_EQ(ReadText(dir / "run.log"), "old\r\n");

    p->FileMode = FILEMODE_LOGERRORSONLY;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_FALSE(pmtest::FileExists(dir / "run.log"));
}

TEST_F(RunLog, EndAppendsTheReportWithItsEntries) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    SetText(p->LogFile, dir / "run.log");
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "run.log", "old\r\n", 5));
    p->FileMode = FILEMODE_LOGAPPEND | FILEMODE_LOGERRORSONLY;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    p->ProcessedCount = 3;
    p->SucceededCount = 1;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\in\\a.jpg", kErrRead, 0), 1);
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\in\\b.jpg", kErrOpenInput, 5), 1);
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);

    std::string log = ReadText(dir / "run.log");
    ASSERT_EQ(log.substr(0, 5), "old\r\n");
    EXPECT_NE(log.find("■対象ファイル数: 3\r\n■成功ファイル数: 1\r\n■エラーファイル数: 2\r\n\r\n■エラーログ: 2個\r\n"
                       "C:\\in\\a.jpg\r\n---> ファイル読み込みエラー\r\n\r\nC:\\in\\b.jpg\r\n---> ファイルオープンエラー（"),
              std::string::npos)
        << log;
    const std::string tail = "）\r\n\r\n\r\n";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(RunLog, EmptyTimeFolderIsRemovedAndNotOpened) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    p->FileMode = FILEMODE_TIMEFOLDER | FILEMODE_NOEMPTYFOLDER | FILEMODE_OPENFOLDER;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    std::string folder = p->OutputFolder;
    ASSERT_TRUE(IsFolder(folder));
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_FALSE(IsFolder(folder));
    EXPECT_EQ(g_openCalls, 0);

    // With a file written into it, the folder stays and is opened.
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    folder = p->OutputFolder;
    ASSERT_TRUE(pmtest::WriteWholeFile(folder + "\\out.jpg", "x", 1));
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_EQ(g_openCalls, 1);
    EXPECT_EQ(g_openedFolder, folder);
}

TEST_F(RunLog, KeepEmptyFolderFlagAloneNeverRemoves) {
    auto p = NewParams();
    SetText(p->WritePath, dir / "out");
    p->FileMode = FILEMODE_NOEMPTYFOLDER | FILEMODE_OPENFOLDER;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_TRUE(IsFolder(dir / "out"));
    EXPECT_EQ(g_openCalls, 1);
}

TEST_F(RunLog, DriveRootStaysTheRoot) {
    auto p = NewParams();
    SetText(p->WritePath, "C:\\");
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    EXPECT_STREQ(p->OutputFolder, "C:\\");
    EXPECT_EQ(p->LogEntryCount, 0);
}

TEST_F(RunLog, UnknownOperationChangesNothing) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    auto before = std::make_unique<ImageConvertParams>(*p);
    EXPECT_EQ(pmImageConvert_LogOperate(p.get(), 3, "x", 101, 0), 0);
    EXPECT_EQ(pmImageConvert_LogOperate(p.get(), -1, "x", 101, 0), 0);
    EXPECT_EQ(std::memcmp(before.get(), p.get(), sizeof *p), 0);
    EXPECT_EQ(pmImageConvert_LogOperate(nullptr, kLogBegin, nullptr, 0, 0), 0);
}

TEST_F(RunLog, FailedAllocationsKeepEarlierEntries) {
    auto p = NewParams();
    long live = PmHeap_LiveBlocks();
    for (int i = 0; i < 8; ++i) ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "e", 101, i), 1);
    PmHeap_FailAfter(0);  // the copy of the name
    EXPECT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "lost", 101, 0), 0);
    PmHeap_FailAfter(1);  // the grown array (the ninth entry needs room)
    EXPECT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "lost", 101, 0), 0);
    ASSERT_EQ(p->LogEntryCount, 8);
    EXPECT_EQ(p->LogEntries[7].LastError, 7);
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "ninth", 104, 0), 1);
    EXPECT_STREQ(p->LogEntries[8].Name, "ninth");
    EXPECT_STREQ(p->LogEntries[0].Name, "e");
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

TEST_F(RunLog, AddErrorGrowsAnArrayTheCallerSizedExactly) {
    auto p = NewParams();
    void* block = nullptr;
    ASSERT_NE(WinKit_Alloc(nullptr, 3 * sizeof(LogEntry), &block), 0);
    p->LogEntries = static_cast<LogEntry*>(block);
    for (int i = 0; i < 3; ++i) {
        void* name = nullptr;
        ASSERT_NE(WinKit_Alloc(nullptr, 2, &name), 0);
        std::memcpy(name, "a", 2);
        p->LogEntries[i] = {static_cast<char*>(name), 101, i};
    }
    p->LogEntryCount = 3;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogAddError, "fourth", 102, 3), 1);
    ASSERT_EQ(p->LogEntryCount, 4);
    EXPECT_EQ(p->LogEntries[2].LastError, 2);
    EXPECT_STREQ(p->LogEntries[3].Name, "fourth");
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
}

TEST_F(RunLog, UnusableLogPathsWriteNothingAndDeleteNothing) {
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    pmtest::MakeDir(dir / "folder.log");
    for (const std::string& log : {dir / "folder.log", dir / "missing\\sub\\run.log", dir / "bad<>|.log"}) {
        SetText(p->LogFile, log);
        pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
        pmImageConvert_LogOperate(p.get(), kLogAddError, "x", 101, 0);
        EXPECT_EQ(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0), 1) << log;
        // The host learns why, to tell the user.
        EXPECT_NE(Records_LogWriteError(p.get()), 0u) << log;
    }
    EXPECT_TRUE(IsFolder(dir / "folder.log"));
    EXPECT_FALSE(IsFolder(dir / "missing"));

    // A log written, and a run that asked for none, are no failure.
    for (const std::string& log : {dir / "run.log", std::string()}) {
        SetText(p->LogFile, log);
        pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
        pmImageConvert_LogOperate(p.get(), kLogAddError, "x", 101, 0);
        pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
        EXPECT_EQ(Records_LogWriteError(p.get()), 0u) << log;
    }
}

TEST_F(RunLog, LongLogNameInALongOutputFolderNeverOverrunsTheRunPaths) {
    auto p = NewParams();
    std::string folder = dir / std::string(240 - dir.path().size(), 'f');
    SetText(p->WritePath, folder);
    SetText(p->LogFile, std::string(259, 'n') + ".txt");  // 263 bytes
    p->FileMode = FILEMODE_LOGINOUTPUT | FILEMODE_PRODUCTFOLDER | FILEMODE_TIMEFOLDER;
    HWND canary = reinterpret_cast<HWND>(0x5A5A);
    p->ProgressWindow = canary;
    ASSERT_EQ(pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0), 1);
    EXPECT_EQ(p->ProgressWindow, canary);
    EXPECT_LT(strnlen(p->OutputFolder, kRunPathBuffer), size_t(kRunPathBuffer));
    EXPECT_STREQ(p->LogPath, "");
    bool reported = false;
    for (LONG i = 0; i < p->LogEntryCount; ++i)
        reported |= p->LogEntries[i].MessageId == kErrCreateOutput &&
                    p->LogEntries[i].LastError == ERROR_FILENAME_EXCED_RANGE;
    EXPECT_TRUE(reported);
    p->ProgressWindow = nullptr;
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
}

TEST_F(RunLog, SubFoldersThatDoNotFitAreReportedNotCut) {
    // A relative output folder whose full form leaves room for the product
    // folder but not for the time-stamp folder: 40 + 1 + 263 + 11 fits the
    // 323 bytes, another 18 do not.
    // The temporary folder is longer than 40 bytes under Wine: a drive letter
    // mapped to a scratch folder gives a short one.
    const char* drive = std::getenv("PM_TEST_DRIVE");
    if (!drive || std::strlen(drive) != 2) GTEST_SKIP() << "no scratch drive (run through drive-letter.sh)";
    std::string cwdFolder = std::string(drive) + "\\";
    cwdFolder += std::string(40 - cwdFolder.size(), 'c');
    ASSERT_TRUE(pmtest::MakeDir(cwdFolder));
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    ASSERT_TRUE(SetCurrentDirectoryA(cwdFolder.c_str()));
    auto p = NewParams();
    SetText(p->WritePath, std::string(263, 'r'));
    p->FileMode = FILEMODE_PRODUCTFOLDER | FILEMODE_TIMEFOLDER;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    SetCurrentDirectoryA(cwd);
    std::string out = p->OutputFolder;
    ASSERT_LT(out.size(), size_t(kRunPathBuffer));
    bool stampFitted = out.size() > 17 && out[out.size() - 18] == '\\' &&
                       out.find_first_not_of("0123456789", out.size() - 17) == std::string::npos;
    bool reported = false;
    for (LONG i = 0; i < p->LogEntryCount; ++i)
        reported |= p->LogEntries[i].LastError == ERROR_FILENAME_EXCED_RANGE &&
                    std::strlen(p->LogEntries[i].Name) > out.size();
    // Where the full form could be taken, the stamp cannot fit; either way
    // the folder is never cut into another name.
    EXPECT_NE(stampFitted, reported) << out;
    if (out.size() > 300) {
        EXPECT_TRUE(reported) << out;
    }
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
}

TEST(LogReport, ErrorsOnlyLogWithoutErrorsIsNullButTheDialogGetsTheSummary) {
    auto p = NewParams();
    p->FileMode = FILEMODE_LOGERRORSONLY;
    p->StartTime = {2026, 12, 1, 7, 9, 8, 7, 6};
    p->EndTime = {2026, 12, 1, 7, 9, 8, 10, 0};
    p->ProcessedCount = 4;
    p->SucceededCount = 4;
    EXPECT_EQ(Report(1, p.get()), "<null>");
    EXPECT_EQ(Report(0, p.get()),
              "■開始時刻: 2026年12月7日9時8分7秒\r\n■終了時刻: 2026年12月7日9時8分10秒\r\n\r\n"
              "■対象ファイル数: 4\r\n■成功ファイル数: 4\r\n■エラーファイル数: 0\r\n\r\n\r\n");
    p->FileMode = 0;
    EXPECT_EQ(Report(1, p.get()), Report(0, p.get()));
}

TEST(LogReport, EntryMessagesComeFromTheStringTableAndSystemTextsStayOnOneLine) {
    auto p = NewParams();
    pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\out", kErrCreateFolder, ERROR_ACCESS_DENIED);
    pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\x.gif", kErrStopped, 0);
    p->FileMode = FILEMODE_LOGERRORSONLY;
    std::string report = Report(1, p.get());
    char system[256];
    WinKit_GetErrorText(ERROR_ACCESS_DENIED, 2, sizeof system, system);
    EXPECT_NE(report.find(std::string("■エラーログ: 2個\r\nC:\\out\r\n---> フォルダ作成エラー（") + system +
                          "）\r\n\r\nC:\\x.gif\r\n---> GIFアニメーションの変換中断\r\n\r\n\r\n"),
              std::string::npos)
        << report;
    pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0);
}

// --- result dialog --------------------------------------------------------

namespace {

struct Seen {
    std::string headline, report;
    RECT okBefore{}, okAfter{}, reportBefore{}, reportAfter{};
    bool found = false;
};

BOOL CALLBACK FindDialog(HWND w, LPARAM lp) {
    char cls[16];
    GetClassNameA(w, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(w)) return TRUE;
    *reinterpret_cast<HWND*>(lp) = w;
    return FALSE;
}

// Runs `open` on this thread (a modal loop) while a second thread finds the
// dialog, lets `drive` look at it and presses OK. A dialog or message box
// that follows is closed too, so an unexpected one fails the test instead of
// hanging it; `followers` (when given) counts them. Every wait is bounded.
INT_PTR RunModal(const std::function<INT_PTR()>& open, const std::function<void(HWND)>& drive, int waitMs = 5000,
                 int* followers = nullptr) {
    DWORD mainThread = GetCurrentThreadId();
    std::atomic<bool> opened{false};
    int extra = 0;
    std::thread driver([&] {
        HWND dlg = nullptr;
        for (int i = 0; i < waitMs / 10 && !dlg; ++i) {
            Sleep(10);
            EnumThreadWindows(mainThread, FindDialog, reinterpret_cast<LPARAM>(&dlg));
        }
        if (!dlg) return;
        drive(dlg);
        PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_RESULT_OK, BN_CLICKED), 0);
        while (!opened.load()) {
            Sleep(10);
            HWND next = nullptr;
            EnumThreadWindows(mainThread, FindDialog, reinterpret_cast<LPARAM>(&next));
            if (next && next != dlg) {
                ++extra;
                dlg = next;
                PostMessageA(next, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
        }
    });
    INT_PTR result = open();
    opened.store(true);
    driver.join();
    if (followers) *followers = extra;
    return result;
}

// Windows need a display (Xvfb under Wine); without one these tests skip.
bool HaveDisplay() {
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) return false;
    DestroyWindow(probe);
    return true;
}

std::string ItemText(HWND dlg, int id) {
    char text[4096] = "";
    GetDlgItemTextA(dlg, id, text, sizeof text);
    return text;
}

void Look(HWND dlg, Seen* seen, int widen) {
    seen->found = true;
    seen->headline = ItemText(dlg, IDC_RESULT_HEADLINE);
    seen->report = ItemText(dlg, IDC_RESULT_REPORT);
    WinKit_GetChildRect(GetDlgItem(dlg, IDC_RESULT_OK), &seen->okBefore);
    WinKit_GetChildRect(GetDlgItem(dlg, IDC_RESULT_REPORT), &seen->reportBefore);
    RECT w;
    GetWindowRect(dlg, &w);
    SetWindowPos(dlg, nullptr, 0, 0, w.right - w.left + widen, w.bottom - w.top + 10, SWP_NOMOVE | SWP_NOZORDER);
    WinKit_GetChildRect(GetDlgItem(dlg, IDC_RESULT_OK), &seen->okAfter);
    WinKit_GetChildRect(GetDlgItem(dlg, IDC_RESULT_REPORT), &seen->reportAfter);
}

}  // namespace

TEST(ResultDialog, ShowsHeadlineAndReportAndKeepsOkCentredOnResize) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    auto p = NewParams();
    p->ProcessedCount = 2;
    p->SucceededCount = 1;
    for (int stopped = 0; stopped < 2; ++stopped) {
        p->StopRequested = stopped;
        ResultDlgArgs args{kResultDlgArgsSize, p.get()};
        Seen seen;
        INT_PTR result = RunModal(
            [&] {
                return DialogBoxParamA(p->Instance, MAKEINTRESOURCEA(IDD_RESULT_DIALOG), nullptr, ResultDlgProc,
                                       reinterpret_cast<LPARAM>(&args));
            },
            [&](HWND dlg) { Look(dlg, &seen, stopped ? -7 : 7); });
        ASSERT_TRUE(seen.found) << "the dialog did not open";
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(seen.headline, stopped ? "処理がキャンセルされました。" : "処理が終了しました。");
        EXPECT_EQ(seen.report, Report(0, p.get()));
        // An odd width change moves OK by half of it, truncated toward zero.
        int half = stopped ? -3 : 3;
        EXPECT_EQ(seen.okAfter.left - seen.okBefore.left, half);
        EXPECT_EQ(seen.okAfter.top - seen.okBefore.top, 10);
        EXPECT_EQ(seen.okAfter.right - seen.okAfter.left, seen.okBefore.right - seen.okBefore.left);
        EXPECT_EQ(seen.reportAfter.right - seen.reportBefore.right, stopped ? -7 : 7);
        EXPECT_EQ(seen.reportAfter.bottom - seen.reportBefore.bottom, 10);
    }
}

TEST_F(RunLog, ResultDialogOpensOnlyWithAProgressWindow) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    p->FileMode = FILEMODE_ENDMESSAGE;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    Seen seen;
    RunModal([&] { return INT_PTR(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0)); },
             [&](HWND) { seen.found = true; }, 1000);
    EXPECT_FALSE(seen.found);

    HWND owner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    p->ProgressWindow = owner;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\in\\z.png", kErrWrite, 0);
    RunModal([&] { return INT_PTR(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0)); },
             [&](HWND dlg) {
                 seen.found = GetWindow(dlg, GW_OWNER) == owner;
                 seen.report = ItemText(dlg, IDC_RESULT_REPORT);
             });
    EXPECT_TRUE(seen.found);
    EXPECT_NE(seen.report.find("C:\\in\\z.png\r\n---> ファイル書き込みエラー"), std::string::npos);
    EXPECT_EQ(p->LogEntryCount, 0);
    DestroyWindow(owner);
}

TEST_F(RunLog, LogThatCannotBeCreatedIsListedInTheResultDialogOnlyWhenOneWasDue) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    auto p = NewParams();
    SetText(p->WritePath, dir.path());
    std::string log = dir / "missing\\run.log";
    SetText(p->LogFile, log);
    HWND owner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    p->ProgressWindow = owner;

    p->FileMode = FILEMODE_ENDMESSAGE;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    pmImageConvert_LogOperate(p.get(), kLogAddError, "C:\\in\\z.png", kErrRead, 0);
    Seen seen;
    int followers = -1;
    RunModal([&] { return INT_PTR(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0)); },
             [&](HWND dlg) { seen.report = ItemText(dlg, IDC_RESULT_REPORT); }, 5000, &followers);
    EXPECT_EQ(followers, 0) << "the result dialog lists the log; no second notice";
    EXPECT_EQ(Records_LastLogError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_NE(seen.report.find("■エラーログ: 2個\r\n"), std::string::npos) << seen.report;
    EXPECT_NE(seen.report.find(log + "\r\n---> ファイル作成エラー（"), std::string::npos) << seen.report;
    // The counters are those of the files.
    EXPECT_NE(seen.report.find("■エラーファイル数: 0\r\n"), std::string::npos) << seen.report;
    EXPECT_EQ(p->LogEntryCount, 0);

    // Errors only and none happened: no log was due, so none is missing.
    p->FileMode = FILEMODE_ENDMESSAGE | FILEMODE_LOGERRORSONLY;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    seen.report.clear();
    RunModal([&] { return INT_PTR(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0)); },
             [&](HWND dlg) { seen.report = ItemText(dlg, IDC_RESULT_REPORT); });
    EXPECT_EQ(Records_LastLogError(), 0u);
    EXPECT_EQ(seen.report.find("■エラーログ"), std::string::npos) << seen.report;

    // Without the result dialog, a message box names the log and the reason.
    p->FileMode = 0;
    pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0);
    std::string box;
    RunModal([&] { return INT_PTR(pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0)); },
             [&](HWND dlg) {
                 box = ItemText(dlg, 0xFFFF);  // a message box's text
                 PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
             });
    EXPECT_NE(box.find("ログファイルを書き込めませんでした。"), std::string::npos) << box;
    EXPECT_NE(box.find(log), std::string::npos) << box;
    DestroyWindow(owner);
}
