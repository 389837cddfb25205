// The walk over a run's file list: every file, folder and drive named on the
// command line is walked and each entry met goes to per-file conversion.
#include "batch/batch_run.h"
#include "entry/export_guard.h"
#include "batch/batch_walk.h"
#include "batch/output_paths.h"
#include "makerlibs/pmcore.h"
#include "records/run_records.h"

#include <cstring>
#include <mutex>

namespace {

constexpr int kWalkStopped = 2;

std::mutex g_notesLock;
const ImageConvertParams* g_notesOf = nullptr;
BatchWalkNotes g_notes;

int OnEntry(const CoreWalkEntry& entry, void* user) { return Batch_ConvertEntry(*static_cast<BatchRun*>(user), entry); }

// The walk start of a list entry, from its full path: relative entries would
// otherwise escape the output-tree test and mirror folders from whatever the
// current folder is. Drives keep their own pattern ("D:" alone names the
// current folder of drive D). 0, or the reason the entry cannot be walked
// (with `*code` the error entry's message id).
DWORD WalkStartOf(const char* entry, std::string* start, int* code) {
    *code = kErrOpenInput;
    std::wstring wide;
    if (!*entry || !Core_WideExact(entry, &wide)) return ERROR_INVALID_NAME;
    size_t n = std::strlen(entry);
    bool drive = (n == 2 && entry[1] == ':') || (n == 3 && entry[1] == ':' && entry[2] == '\\');
    char buffer[kLongPathBuffer];
    if (drive) {
        if (!Batch_WalkStart(entry, buffer, sizeof buffer)) return ERROR_INVALID_NAME;
        *start = buffer;
        return 0;
    }
    wchar_t probe[1];
    DWORD chars = GetFullPathNameW(wide.c_str(), 1, probe, nullptr);
    if (chars == 0) return GetLastError() ? GetLastError() : ERROR_INVALID_NAME;
    std::wstring full(chars, L'\0');
    chars = GetFullPathNameW(wide.c_str(), chars, full.data(), nullptr);
    if (chars == 0 || chars >= full.size()) return ERROR_INVALID_NAME;
    full.resize(chars);
    std::string narrow;
    if (!Core_NarrowExact(full.c_str(), full.size(), &narrow)) return ERROR_INVALID_NAME;
    if (narrow.size() >= kLongPathBuffer) {
        // The run's paths are kept in buffers of this size.
        *code = kErrCreateOutput;
        return ERROR_FILENAME_EXCED_RANGE;
    }
    *start = narrow;
    return 0;
}

// What the walk start names on disk: the start itself, or for a pattern the
// folder searched.
std::wstring NamedByStart(const std::string& start) {
    const char* name = PmPath_NameStart(start.c_str());
    bool pattern = PmPath_FindChar(name, '*') || PmPath_FindChar(name, '?');
    std::wstring wide;
    Core_WideExact(pattern ? start.substr(0, size_t(name - start.c_str())).c_str() : start.c_str(), &wide);
    return wide;
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
        const char* entry = files->Paths[i];
        if (!entry) continue;
        // An entry that names nothing (a mistyped folder, a drive that is
        // not there, an empty argument) is one error, not a silent no-op.
        std::string start;
        int code = kErrOpenInput;
        DWORD error = WalkStartOf(entry, &start, &code);
        std::wstring named;
        if (!error) {
            named = NamedByStart(start);
            if (GetFileAttributesW(Core_LongPathForm(named).c_str()) == INVALID_FILE_ATTRIBUTES)
                error = GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND;
        }
        if (error) {
            Batch_CommitAll(run);
            pmImageConvert_LogOperate(params, kLogAddError, entry, code, int(error));
            continue;
        }
        if (run.outputTree.Contains(named)) {
            ++run.skippedInOutputTree;
            continue;
        }
        int depthLimit = (params->FileMode & FILEMODE_SUBFOLDERS) ? -1 : 1;
        last = Core_WalkFilesEx(start.c_str(), depthLimit, OnEntry, &run);
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
