// The walk over a run's file list: every file, folder and drive named on the
// command line is walked and each entry met goes to per-file conversion.
#include "batch/batch_run.h"
#include "entry/export_guard.h"
#include "batch/batch_walk.h"
#include "batch/output_paths.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmfilelist.h"
#include "records/run_records.h"

#include <cstring>
#include <mutex>

namespace {

constexpr int kWalkStopped = 2;

std::mutex g_notesLock;
const ImageConvertParams* g_notesOf = nullptr;
BatchWalkNotes g_notes;

int OnEntry(const CoreWalkEntry& entry, void* user) { return Batch_ConvertEntry(*static_cast<BatchRun*>(user), entry); }

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// Whether a full drive or share path is already in the form the system
// would give it: no "." or ".." component, no forward slash. Such a path
// is taken as it is, since forming it again would strip a trailing dot or
// blank that is part of a name ("trip." is not "trip").
bool IsPlainFullPath(const std::wstring& p) {
    bool drive = p.size() >= 3 && p[1] == L':' && p[2] == L'\\';
    bool share = p.size() >= 3 && p[0] == L'\\' && p[1] == L'\\' && p[2] != L'?' && p[2] != L'.';
    if (!drive && !share) return false;
    size_t start = drive ? 3 : 2;
    for (size_t i = start; i <= p.size(); ++i) {
        if (i < p.size() && p[i] == L'/') return false;
        if (i < p.size() && p[i] != L'\\') continue;
        std::wstring part = p.substr(start, i - start);
        if (part == L"." || part == L"..") return false;
        start = i + 1;
    }
    return true;
}

// The walk start of a list entry, from its full path: relative entries would
// otherwise escape the output-tree test and mirror folders from whatever the
// current folder is. Drives keep their own pattern ("D:" alone names the
// current folder of drive D). 0, or the reason the entry cannot be walked
// (with `*code` the error entry's message id).
DWORD WalkStartOf(const std::wstring& entry, std::wstring* start, int* code) {
    *code = kErrOpenInput;
    if (entry.empty()) return ERROR_INVALID_NAME;
    bool drive = (entry.size() == 2 && entry[1] == L':') || (entry.size() == 3 && entry[1] == L':' && IsSep(entry[2]));
    if (drive) {
        *start = entry.substr(0, 2) + L"\\*";
        return 0;
    }
    std::wstring full;
    if (IsPlainFullPath(entry)) {
        full = entry;
    } else {
        wchar_t probe[1];
        DWORD chars = GetFullPathNameW(entry.c_str(), 1, probe, nullptr);
        if (chars == 0) return GetLastError() ? GetLastError() : ERROR_INVALID_NAME;
        full.assign(chars, L'\0');
        chars = GetFullPathNameW(entry.c_str(), chars, full.data(), nullptr);
        if (chars == 0 || chars >= full.size()) return ERROR_INVALID_NAME;
        full.resize(chars);
    }
    // A device ("CON", "\\.\COM1") is no file to read; a colon past the
    // drive's names a stream of a file, never a picture of its own.
    if (full.compare(0, 4, L"\\\\.\\") == 0) return ERROR_INVALID_NAME;
    size_t prefix = full.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? 8 : full.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    if (full.find(L':', prefix + 2) != std::wstring::npos) return ERROR_INVALID_NAME;
    if (Batch_IsDeviceName(full.substr(full.find_last_of(L'\\') + 1))) return ERROR_INVALID_NAME;
    *start = full;
    return 0;
}

// What the walk start names on disk: the start itself, or for a pattern the
// folder searched.
std::wstring NamedByStart(const std::wstring& start) {
    size_t name = start.find_last_of(L"\\/");
    name = name == std::wstring::npos ? 0 : name + 1;
    bool pattern = start.find_first_of(L"*?", name) != std::wstring::npos;
    return pattern ? start.substr(0, name) : start;
}

}  // namespace

BatchWalkNotes Batch_LastWalkNotes(const ImageConvertParams* params) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    return g_notesOf == params ? g_notes : BatchWalkNotes{};
}

static BOOL WalkFileList(FileList* files, ImageConvertParams* params) {
    if (!params) return FALSE;
    std::memset(params->LastCreatedFolder, 0, sizeof params->LastCreatedFolder);
    if (!files || !files->Paths) return TRUE;
    BatchRun run(params, true);
    int last = 0;
    for (int i = 0; i < files->Count; ++i) {
        std::memset(params->BaseFolder, 0, sizeof params->BaseFolder);
        run.baseFolder.clear();
        const char* narrow = files->Paths[i];
        if (!narrow) continue;
        // A list made from a wide command line names its files exactly.
        std::wstring entry;
        if (const wchar_t* wide = FileList_WidePath(files, i))
            entry = wide;
        else if (!Core_WideExact(narrow, &entry))
            entry.clear();
        // An entry that names nothing (a mistyped folder, a drive that is
        // not there, an empty argument) is one error, not a silent no-op.
        std::wstring start;
        int code = kErrOpenInput;
        DWORD error = *narrow && entry.empty() ? ERROR_INVALID_NAME : WalkStartOf(entry, &start, &code);
        std::wstring named;
        if (!error) {
            named = NamedByStart(start);
            if (GetFileAttributesW(Core_ExactPathForm(named).c_str()) == INVALID_FILE_ATTRIBUTES)
                error = GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND;
        }
        if (error) {
            Batch_CommitAll(run);
            pmImageConvert_LogOperate(params, kLogAddError, narrow, code, int(error));
            continue;
        }
        if (run.outputTree.Contains(named)) {
            ++run.skippedInOutputTree;
            continue;
        }
        int depthLimit = (params->FileMode & FILEMODE_SUBFOLDERS) ? -1 : 1;
        last = Core_WalkFilesW(start.c_str(), depthLimit, OnEntry, &run);
        if (last == kWalkStopped) break;
    }
    Batch_CommitAll(run);
    {
        std::lock_guard<std::mutex> lock(g_notesLock);
        g_notesOf = params;
        g_notes.skippedInOutputTree = run.skippedInOutputTree;
    }
    return last == kWalkStopped ? FALSE : TRUE;
}

extern "C" BOOL PM_API pmImageConvert_CreateFile(FileList* files, ImageConvertParams* params) {
    return Export_Guard<BOOL>(FALSE, [&] { return WalkFileList(files, params); });
}
