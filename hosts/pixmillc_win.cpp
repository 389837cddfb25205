// pixmillc.exe: the batch run for scripts. Converts the named files, folders
// and drives with the saved settings, without a window: a line per file and
// the run's report go to the console. Exit code 0 = every file converted,
// 1 = some failed or the run had errors, or there was nothing it could
// convert, 2 = usage error.
#include "batch/batch_run.h"
#include "entry/extras.h"
#include "entry/known_types.h"
#include "entry/startup.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmfilelist.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmwinkit.h"
#include "entry/settings_ini.h"
#include "pm_version.h"
#include "records/run_records.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>


namespace {

constexpr char kUsage[] =
    "使い方: pixmillc [--ini 設定ファイル] [--jobs N] [--quiet] [--times] ファイル|フォルダ|ドライブ ...\n"
    "        pixmillc --help | --version\n"
    "  設定は PIXMILL.INI (インストールフォルダ、なければカレントフォルダ) から読みます。\n"
    "  --ini 設定ファイル: PIXMILL.INI の代わりに読む設定ファイル。\n"
    "  --jobs N: 同時に変換するファイル数 (0 = 自動, 1-64)。設定ファイルの Threads より優先します。\n"
    "  --quiet: ファイルごとの行を出力しません (最後の報告は出力します)。\n"
    "  --times: ファイルごとの変換時間 (ミリ秒) を \"TIME<tab>ms<tab>パス\" の行で、\n"
    "           プロセスの起動から処理開始までの時間を \"START<tab>ms\" の行で、\n"
    "           実行全体の時間を最後に \"RUN<tab>ms<tab>ファイル数\" の行で出力します。\n"
    "  --help: この説明を表示します。  --version: バージョンを表示します。\n"
    "  終了コード: 0 = すべて変換, 1 = 変換できなかったファイルやエラーがあった, 2 = 使い方の誤り\n";

constexpr char kNoInputTypes[] =
    "変換するファイルはありません: 入力ファイルタイプが1つも選択されていません "
    "(設定の「入力ファイルタイプ」で選択してください)。\r\n";

bool g_quiet = false;
bool g_times = false;
LARGE_INTEGER g_fileStart;
LONG g_succeededBefore = 0;

constexpr char kAllInOutput[] =
    "変換したファイルはありません: 入力はすべて出力フォルダの中にあります (出力フォルダ内のファイルは変換しません)。\r\n";
constexpr char kLogNotWritten[] = "ログファイルを書き込めませんでした: ";

// Writes text to a console as Unicode, exactly; to a pipe or file in the
// console's output code page, with '?' for what that code page cannot hold
// (never a look-alike: a yen sign printed as a backslash names another path).
void PrintW(HANDLE out, const std::wstring& w) {
    if (w.empty()) return;
    DWORD mode, written;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, w.data(), DWORD(w.size()), &written, nullptr);
        return;
    }
    UINT cp = GetConsoleOutputCP();
    if (cp == 0) cp = GetACP();
    DWORD flags = (cp == CP_UTF8 || cp == CP_UTF7) ? 0 : WC_NO_BEST_FIT_CHARS;
    int bytes = WideCharToMultiByte(cp, flags, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string s(size_t(bytes), '\0');
    WideCharToMultiByte(cp, flags, w.data(), int(w.size()), s.data(), bytes, nullptr, nullptr);
    WriteFile(out, s.data(), DWORD(s.size()), &written, nullptr);
}

std::wstring Widened(const char* text) {
    int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (wide <= 1) return std::wstring();
    std::wstring w(size_t(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, w.data(), wide);
    w.resize(size_t(wide - 1));
    return w;
}

// Code page 932 text, shown as PrintW shows it.
void Print(HANDLE out, const char* text) { PrintW(out, Widened(text)); }

// A line that ends with a file's name: its real name when the run has it.
void PrintWithPath(const std::string& head, const char* path) {
    const wchar_t* wide = Batch_HookWidePath();
    PrintW(GetStdHandle(STD_OUTPUT_HANDLE), Widened(head.c_str()) + (wide ? std::wstring(wide) : Widened(path)) + L"\r\n");
}

void PrintOut(const char* text) { Print(GetStdHandle(STD_OUTPUT_HANDLE), text); }
void PrintErr(const char* text) { Print(GetStdHandle(STD_ERROR_HANDLE), text); }

// One line per finished file: files done, errors so far, the file.
// With --times also a line per file with its own conversion time: opening,
// reading, transforming and writing, without the process start that a
// per-file program pays, nor (several files at once) the wait for the
// files before it.
void OnProgress(const ImageConvertParams* p, const char* path, bool done) {
    if (!done) {
        QueryPerformanceCounter(&g_fileStart);
        g_succeededBefore = p->SucceededCount;
        return;
    }
    if (g_times) {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        double ms = Batch_FileConversionMs();
        // Not converted (it failed before opening): from its counting on.
        if (ms < 0) ms = double(now.QuadPart - g_fileStart.QuadPart) * 1000.0 / double(frequency.QuadPart);
        char line[64];
        std::snprintf(line, sizeof line, "TIME\t%.3f\t", ms);
        PrintWithPath(line, path);
    }
    if (g_quiet) return;
    long processed = p->ProcessedCount, succeeded = p->SucceededCount;
    // The label is this file's own outcome, not the run's so far.
    bool ok = succeeded > g_succeededBefore;
    char head[64];
    std::snprintf(head, sizeof head, "[%ld 件 / ｴﾗｰ %ld] %s ", processed, processed - succeeded, ok ? "OK" : "NG");
    PrintWithPath(head, path);
}

// A usage error names what was wrong before the usage itself.
int UsageError(const std::string& what) {
    PrintErr((what + "\r\n").c_str());
    PrintErr(kUsage);
    return 2;
}

// The release's version, the same that the version resources of every
// module and the settings dialog's version page carry.
std::string VersionText() { return PM_VERSION_TEXT; }

// A pattern argument ("D:\Photos\*.jpg") whose folder exists but which
// matches nothing: the walk would find no entry and say nothing. `wide` is
// the argument as the user gave it.
bool PatternMatchesNothing(const char* entry, const wchar_t* wide) {
    const char* name = PmPath_NameStart(entry);
    if (!PmPath_FindChar(name, '*') && !PmPath_FindChar(name, '?')) return false;
    std::wstring path;
    if (wide)
        path = wide;
    else if (!Core_WideExact(entry, &path))
        return false;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(Core_LongPathForm(path).c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        FindClose(h);
        return false;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string NarrowForDisplay(const wchar_t* wide) { return Core_NarrowForDisplay(wide); }

// The command line as the user gave it, for the entries' real names.
FileList g_commandLine;

// The arguments after the program's name, split as the file list splits
// PIXMILL.EXE's command line: a backslash before a closing quote stays a
// backslash ("C:\Photos\" is that folder, not a quote and the rest of the
// line), and an empty quoted argument is kept, so it can be reported.
std::vector<std::string> Arguments() {
    std::vector<std::string> out;
    FileList_FromCommandLineW(2 | kFileListKeepEmpty, GetCommandLineW(), &g_commandLine, NarrowForDisplay);
    for (int i = 1; i < g_commandLine.Count; ++i) out.emplace_back(g_commandLine.Paths[i]);
    return out;
}

// The run's list of `entries` (texts of Arguments()), by their real names.
void EntriesList(const std::vector<std::string>& args, const std::vector<char*>& entries, FileList* files) {
    std::vector<const wchar_t*> wide;
    for (char* e : entries)
        for (size_t i = 0; i < args.size(); ++i)
            if (args[i].data() == e)
                if (const wchar_t* w = FileList_WidePath(&g_commandLine, int(i) + 1)) wide.push_back(w);
    FileList_FromWideItems(int(wide.size()), wide.data(), files, NarrowForDisplay);
}

}  // namespace

int main() {
    // No system error boxes (an empty floppy or card reader) for a script.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    std::vector<std::string> args = Arguments();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const int argc = int(argv.size());
    const char* iniArg = nullptr;
    int jobs = -1;  // -1: as the settings file says
    std::vector<char*> entries;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--ini")) {
            if (++i >= argc) return UsageError("--ini の後に設定ファイル名がありません。");
            iniArg = argv[i];
        } else if (!std::strcmp(argv[i], "--jobs")) {
            char* end = nullptr;
            long n = ++i < argc ? std::strtol(argv[i], &end, 10) : -1;
            if (i >= argc) return UsageError("--jobs の後に数がありません。");
            if (!*argv[i] || *end || n < 0 || n > kMaxThreads)
                return UsageError(std::string("--jobs の値が正しくありません (0-64): ") + argv[i]);
            jobs = int(n);
        } else if (!std::strcmp(argv[i], "--quiet")) {
            g_quiet = true;
        } else if (!std::strcmp(argv[i], "--times")) {
            g_times = true;
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "/?")) {
            PrintOut(kUsage);
            return 0;
        } else if (!std::strcmp(argv[i], "--version")) {
            PrintOut(("pixmillc " + VersionText() + "\r\n").c_str());
            return 0;
        } else if (!std::strncmp(argv[i], "--", 2)) {
            return UsageError(std::string("不明なオプションです: ") + argv[i]);
        } else {
            entries.push_back(argv[i]);
        }
    }
    if (entries.empty()) return UsageError("変換するファイル、フォルダまたはドライブを指定してください。");

    ImgKit_Initialize(1);
    static AppPaths paths;
    FindAppPaths(&paths);
    static char iniFile[kPathBuffer];
    if (iniArg) {
        // A settings file that is not there, or whose name does not fit,
        // would silently give the defaults; a script that names one means it.
        DWORD length = GetFullPathNameA(iniArg, sizeof iniFile, iniFile, nullptr);
        if (length >= sizeof iniFile || (length == 0 && GetLastError() == ERROR_FILENAME_EXCED_RANGE)) {
            std::string msg = std::string("設定ファイル名が長過ぎます: ") + iniArg + "\r\n";
            PrintErr(msg.c_str());
            return 2;
        }
        DWORD attributes = length ? GetFileAttributesA(iniFile) : INVALID_FILE_ATTRIBUTES;
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            std::string msg = std::string("設定ファイルがありません: ") + iniArg + "\r\n";
            PrintErr(msg.c_str());
            return 2;
        }
    } else {
        std::strcpy(iniFile, paths.IniFile);
    }
    ImgKit_SetIniFile(iniFile);
    ImgKit_SetHelpFile(paths.HelpFile);

    static ImageConvertParams params;
    std::memset(&params, 0, sizeof params);
    // The newer settings (orientation, colour profiles, metadata, enlarging)
    // are read with the record once it has them bound.
    static ImageConvertExtras extras = kDefaultExtras;
    Pm_BindExtras(&params, &extras);
    pmImageConvert_GetPrivateIniFile(&params, iniFile[0] ? iniFile : nullptr);
    if (jobs >= 0) extras.Threads = jobs;
    int offered[kMaxImageTypes];
    int offeredCount = ImgKit_ListImageTypes(16, kMaxImageTypes, offered);
    if (!SelectsAnyOf(params.ImageType, params.ImageTypeCount, kMaxImageTypes, offered, offeredCount)) {
        PrintErr(kNoInputTypes);
        ImgKit_Terminate();
        return 1;
    }
    params.AppFolder = paths.Folder;
    params.IniFile = iniFile;
    params.HelpPage = paths.HelpPage;
    params.Instance = GetModuleHandleA(nullptr);
    params.ProgressWindow = nullptr;
    // Nothing may wait for a user: no file manager, no result dialog.
    params.FileMode &= ~(FILEMODE_OPENFOLDER | FILEMODE_ENDMESSAGE);

    Batch_SetProgressHook(OnProgress);
    pmImageConvert_LogOperate(&params, kLogBegin, nullptr, 0, 0);
    // A pattern that matches nothing is reported as a missing name is.
    std::vector<char*> walked;
    for (char* entry : entries) {
        const wchar_t* wide = nullptr;
        for (size_t i = 0; i < args.size(); ++i)
            if (args[i].data() == entry) wide = FileList_WidePath(&g_commandLine, int(i) + 1);
        if (PatternMatchesNothing(entry, wide))
            pmImageConvert_LogOperate(&params, kLogAddError, entry, kErrOpenInput, int(ERROR_FILE_NOT_FOUND));
        else
            walked.push_back(entry);
    }
    FileList files;
    std::memset(&files, 0, sizeof files);
    EntriesList(args, walked, &files);
    LARGE_INTEGER runStart, runEnd, frequency;
    FILETIME walkStart;
    GetSystemTimeAsFileTime(&walkStart);
    QueryPerformanceCounter(&runStart);
    pmImageConvert_CreateFile(&files, &params);
    QueryPerformanceCounter(&runEnd);
    GetLocalTime(&params.EndTime);

    // The report is taken before the run record is closed: closing drops the
    // error entries.
    char* report = nullptr;
    BuildLogReport(0, &params, &report);
    bool clean = params.LogEntryCount == 0 && params.ProcessedCount == params.SucceededCount && !params.StopRequested;
    // A run that left every input aside as lying in the output folder
    // (the output folder is the input folder, however spelled) must not
    // look like a run that found nothing.
    bool allInOutput = params.ProcessedCount == 0 && params.LogEntryCount == 0 &&
                       Batch_LastWalkNotes(&params).skippedInOutputTree > 0;
    pmImageConvert_LogOperate(&params, kLogEnd, nullptr, 0, 0);
    Batch_SetProgressHook(nullptr);
    DWORD logError = Records_LogWriteError(&params);

    // The run itself, from the walk to the last commit: what a batch costs
    // without the process start, which under Wine is slow and varies by
    // tenths of a second between runs.
    if (g_times) {
        QueryPerformanceFrequency(&frequency);
        char line[64];
        // And what came before it: from the process's creation to the walk.
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
            auto ticks = [](FILETIME t) { return (uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime); };
            std::snprintf(line, sizeof line, "START\t%.3f\r\n", double(int64_t(ticks(walkStart) - ticks(created))) / 1e4);
            PrintOut(line);
        }
        std::snprintf(line, sizeof line, "RUN\t%.3f\t%ld\r\n",
                      double(runEnd.QuadPart - runStart.QuadPart) * 1000.0 / double(frequency.QuadPart),
                      long(params.ProcessedCount));
        PrintOut(line);
    }
    if (report) {
        PrintOut(report);
        size_t n = std::strlen(report);
        if (n == 0 || report[n - 1] != '\n') PrintOut("\r\n");
        WinKit_Free(report);
    }
    std::string where = std::string("出力フォルダ: ") + params.OutputFolder + "\r\n";
    PrintOut(where.c_str());
    if (allInOutput) PrintErr(kAllInOutput);
    if (logError) {
        char reason[256] = "";
        WinKit_GetErrorText(logError, 2, sizeof reason, reason);
        std::string msg = std::string(kLogNotWritten) + params.LogPath + "\r\n" + reason + "\r\n";
        PrintErr(msg.c_str());
    }
    FileList_Free(&files);
    ImgKit_Terminate();
    return clean && !logError ? 0 : 1;
}
