// The run record: output folder and log path at the start of a run, error
// entries during it, the log file, folder tidying and the result dialog at
// its end.
#include "records/report_text.h"
#include "records/run_records.h"
#include "entry/export_guard.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmwinkit.h"
#include "resources/resource_ids.h"

#include <shellapi.h>

#include <cstdio>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

namespace {

void OpenInFileManager(const char* folder) {
    // Quoted, because the file manager splits its command line at commas.
    char parameters[kRunPathBuffer + 3];
    std::snprintf(parameters, sizeof parameters, "\"%s\"", folder);
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.lpFile = "explorer";
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    ShellExecuteExA(&info);
}

FolderOpener g_openFolder = OpenInFileManager;
std::atomic<DWORD> g_lastLogError{0};

// Why the log of the last run closed with a record could not be written.
std::mutex g_logFailureLock;
const ImageConvertParams* g_logFailureOf = nullptr;
DWORD g_logFailure = 0;

void SetLogFailure(const ImageConvertParams* p, DWORD error) {
    std::lock_guard<std::mutex> lock(g_logFailureLock);
    g_logFailureOf = p;
    g_logFailure = error;
}

constexpr char kLogFailureText[] = "ログファイルを書き込めませんでした。";

// Drops one trailing separator, but not the one of a drive root: "C:" alone
// names the current folder of drive C, not its root.
void DropTrailingSeparator(char* path) {
    if (!PmPath_IsDriveRoot(path)) Core_SetTrailingSeparator(path, 0);
}

// Appends a separator (unless there is one) and `name`; false with `folder`
// unchanged when the result would not fit.
bool AppendComponent(char* folder, size_t size, const char* name) {
    char joined[kRunPathBuffer];
    if (!PmPath_Copy(joined, sizeof joined, folder)) return false;
    if (joined[0] && !PmPath_EndsWithSeparator(joined) && !PmPath_Append(joined, sizeof joined, "\\")) return false;
    if (!PmPath_Append(joined, sizeof joined, name)) return false;
    return PmPath_Copy(folder, size, joined);
}

// The folder plus `name`, as the entry that says it did not fit names it.
// A fixed buffer: an allocation failing here would lose the entry.
struct JoinedPath {
    char text[kRunPathBuffer + kPathBuffer + 2];
    JoinedPath(const char* folder, const char* name) {
        const char* sep = folder[0] && !PmPath_EndsWithSeparator(folder) ? "\\" : "";
        std::snprintf(text, sizeof text, "%s%s%s", folder, sep, name);
    }
    const char* c_str() const { return text; }
};

int AddError(ImageConvertParams* p, const char* name, int messageId, int lastError) {
    if (!name) name = "";
    size_t length = std::strlen(name);
    void* copy = nullptr;
    if (!WinKit_Alloc(nullptr, length + 1, &copy)) return 0;
    std::memcpy(copy, name, length + 1);

    // The array grows by doubling; its room is read from the heap block, so
    // an array a caller built with exactly `count` entries works too. It is
    // copied into a new block rather than resized in place so that a failed
    // grow keeps every entry recorded so far.
    LONG count = p->LogEntries ? p->LogEntryCount : 0;
    if (count < 0) count = 0;
    size_t room = p->LogEntries ? HeapSize(GetProcessHeap(), 0, p->LogEntries) / sizeof(LogEntry) : 0;
    if (room == size_t(-1) / sizeof(LogEntry)) room = 0;  // HeapSize failed
    if (static_cast<size_t>(count) + 1 > room) {
        size_t capacity = count < 4 ? 8 : static_cast<size_t>(count) * 2;
        void* grown = nullptr;
        if (!WinKit_Alloc(nullptr, capacity * sizeof(LogEntry), &grown)) {
            WinKit_Free(copy);
            return 0;
        }
        if (count) std::memcpy(grown, p->LogEntries, count * sizeof(LogEntry));
        WinKit_Free(p->LogEntries);
        p->LogEntries = static_cast<LogEntry*>(grown);
    }
    p->LogEntries[count] = {static_cast<char*>(copy), messageId, lastError};
    p->LogEntryCount = count + 1;
    return 1;
}

void FreeEntries(ImageConvertParams* p) {
    if (p->LogEntries) {
        for (LONG i = 0; i < p->LogEntryCount; ++i) WinKit_Free(p->LogEntries[i].Name);
        WinKit_Free(p->LogEntries);
    }
    p->LogEntries = nullptr;
    p->LogEntryCount = 0;
}

void ResolveOutputFolder(ImageConvertParams* p) {
    char* folder = p->OutputFolder;
    // WritePath may come from a caller's record: never read past its buffer.
    size_t n = strnlen(p->WritePath, sizeof p->WritePath - 1);
    std::memcpy(folder, p->WritePath, n);
    folder[n] = '\0';
    DropTrailingSeparator(folder);
    char full[kRunPathBuffer];
    if (Core_GetFullPath(folder, 0, sizeof full, full, nullptr)) {
        DropTrailingSeparator(full);
        PmPath_Copy(folder, kRunPathBuffer, full);
    }
    // An empty folder gets no sub-folders: they would land in the root of
    // the current drive.
    if (!folder[0]) return;

    const char* overflow = nullptr;
    char stamp[24] = "";
    if (p->FileMode & FILEMODE_PRODUCTFOLDER) {
        if (!AppendComponent(folder, kRunPathBuffer, kProductFolderName)) overflow = kProductFolderName;
    }
    if (!overflow && (p->FileMode & FILEMODE_TIMEFOLDER)) {
        // Named after the run's start as the log records it.
        const SYSTEMTIME& start = p->StartTime;
        Records_TimeFolderName(start.wYear, start.wMonth, start.wDay, start.wHour, start.wMinute, start.wSecond,
                               start.wMilliseconds, stamp, sizeof stamp);
        if (!AppendComponent(folder, kRunPathBuffer, stamp)) overflow = stamp;
    }
    if (overflow) {
        // The folder the user asked for cannot be named in the run's buffer.
        // The entry names it in full; files then go to the folder that did fit.
        AddError(p, JoinedPath(folder, overflow).c_str(), kErrCreateFolder, ERROR_FILENAME_EXCED_RANGE);
    }
}

void ResolveLogPath(ImageConvertParams* p) {
    char logFile[kPathBuffer];
    size_t n = strnlen(p->LogFile, sizeof p->LogFile - 1);
    std::memcpy(logFile, p->LogFile, n);
    logFile[n] = '\0';
    if (!(p->FileMode & FILEMODE_LOGINOUTPUT)) {
        PmPath_Copy(p->LogPath, kRunPathBuffer, logFile);
        return;
    }
    // Without an output folder the name alone would put the log into
    // whatever the current folder is.
    if (!p->OutputFolder[0]) {
        p->LogPath[0] = '\0';
        return;
    }
    const char* name = nullptr;
    Core_GetFullPath(logFile, 0, 0, nullptr, &name);
    if (!name || !*name) name = kDefaultLogName;
    PmPath_Copy(p->LogPath, kRunPathBuffer, p->OutputFolder);
    if (!AppendComponent(p->LogPath, kRunPathBuffer, name)) {
        // A cut path would name another file: no log this run, and the
        // result dialog tells why.
        AddError(p, JoinedPath(p->OutputFolder, name).c_str(), kErrCreateOutput, ERROR_FILENAME_EXCED_RANGE);
        p->LogPath[0] = '\0';
    }
}

int LogBegin(ImageConvertParams* p) {
    // First, so that a begin that fails part way leaves no paths of an
    // earlier run for the end to write to.
    p->OutputFolder[0] = '\0';
    p->LogPath[0] = '\0';
    // Not freed: a run ends by freeing its entries, and a record that never
    // ran may hold anything here.
    p->LogEntries = nullptr;
    p->LogEntryCount = 0;
    p->ProcessedCount = 0;
    p->SucceededCount = 0;
    p->StopRequested = 0;
    p->StartTime = SYSTEMTIME{};
    p->EndTime = SYSTEMTIME{};
    GetLocalTime(&p->StartTime);

    ResolveOutputFolder(p);
    SetLastError(0);
    int created = Core_CreateFolder(0, p->OutputFolder, 0);
    if (created != 1) {
        DWORD error = created == -1 ? GetLastError() : 0;
        AddError(p, p->OutputFolder, kErrCreateFolder, static_cast<int>(error));
    }
    ResolveLogPath(p);
    return 1;
}

struct LogOutcome {
    DWORD error = 0;  // 0: written, or nothing to write
    int messageId = 0;
};

// Writes the log report. What was written before a failure stays: it is
// still the best record of the run.
LogOutcome WriteLog(ImageConvertParams* p) {
    if (!p->LogPath[0]) return {};
    LONG entries = p->LogEntries ? p->LogEntryCount : 0;
    bool wanted = !((p->FileMode & FILEMODE_LOGERRORSONLY) && entries <= 0);
    DWORD disposition = (p->FileMode & FILEMODE_LOGAPPEND) ? OPEN_ALWAYS : CREATE_ALWAYS;
    HANDLE file = Core_CheckHandle(0, CreateFileA(p->LogPath, GENERIC_READ | GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        if (!wanted) return {};
        return {error ? error : ERROR_OPEN_FAILED, kErrCreateOutput};
    }
    Core_SetFilePointer(file, 0, nullptr, FILE_END);
    char* report = nullptr;
    BuildLogReport(1, p, &report);
    DWORD error = 0;
    if (report) {
        // A short write is not yet a failure: the next call says why the
        // rest does not go (a full disk gives its own error only then).
        size_t length = std::strlen(report), done = 0;
        while (done < length && !error) {
            DWORD written = 0;
            if (!Core_WriteFile(file, report + done, static_cast<DWORD>(length - done), &written, nullptr))
                error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
            else if (written == 0)
                error = ERROR_WRITE_FAULT;
            done += written;
        }
        WinKit_Free(report);
    } else if (wanted) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD high = 0;
    DWORD size = Core_GetFileSize(file, &high);
    CloseHandle(Core_RawHandle(file));
    // An empty log says nothing; with errors-only logging and an
    // overwritten log this also removes the previous run's report.
    if (size == 0 && high == 0 && !error) DeleteFileA(p->LogPath);
    if (!error) return {};
    return {error, kErrWrite};
}

int LogEnd(ImageConvertParams* p) {
    GetLocalTime(&p->EndTime);
    LogOutcome log = WriteLog(p);
    g_lastLogError.store(log.error);
    SetLogFailure(p, log.error);
    // A log that is missing or cut short would otherwise go unnoticed: the
    // result dialog lists it like an output file that failed.
    if (log.error) AddError(p, p->LogPath, log.messageId, static_cast<int>(log.error));

    bool removed = false;
    if ((p->FileMode & FILEMODE_TIMEFOLDER) && (p->FileMode & FILEMODE_NOEMPTYFOLDER))
        removed = p->OutputFolder[0] && RemoveDirectoryA(p->OutputFolder);
    if (!removed && (p->FileMode & FILEMODE_OPENFOLDER) && p->OutputFolder[0]) g_openFolder(p->OutputFolder);

    bool resultShown = false;
    if ((p->FileMode & FILEMODE_ENDMESSAGE) && p->ProgressWindow) {
        ResultDlgArgs args{kResultDlgArgsSize, p};
        DialogBoxParamA(p->Instance, MAKEINTRESOURCEA(IDD_RESULT_DIALOG), p->ProgressWindow, ResultDlgProc,
                        reinterpret_cast<LPARAM>(&args));
        resultShown = true;
    }
    // A log the user asked for and does not get must not pass unnoticed. The
    // result dialog lists it among the failures; without that dialog a box
    // says so (a second notice after the dialog would only repeat it).
    if (log.error && p->ProgressWindow && !resultShown) {
        std::string text = std::string(kLogFailureText) + "\r\n" + p->LogPath;
        WinKit_ErrorBox(p->ProgressWindow, log.error, text.c_str(), MB_OK | MB_ICONEXCLAMATION, 0);
    }
    FreeEntries(p);
    return 1;
}

}  // namespace

DWORD Records_LogWriteError(const ImageConvertParams* params) {
    std::lock_guard<std::mutex> lock(g_logFailureLock);
    return g_logFailureOf == params ? g_logFailure : 0;
}

DWORD Records_LastLogError() { return g_lastLogError.load(); }

void Records_SetFolderOpener(FolderOpener opener) { g_openFolder = opener ? opener : OpenInFileManager; }

extern "C" int PM_API pmImageConvert_LogOperate(ImageConvertParams* params, int operation, const char* name,
                                                int messageId, int lastError) {
    return Export_Guard(0, [&] {
        if (!params) return 0;
        switch (operation) {
        case kLogBegin:
            return LogBegin(params);
        case kLogAddError:
            return AddError(params, name, messageId, lastError);
        case kLogEnd:
            return LogEnd(params);
        }
        return 0;
    });
}
