// The walk over a run's file list: every file, folder and drive named on the
// command line is walked and each entry met goes to per-file conversion.
#include "batch/batch_run.h"
#include "entry/export_guard.h"
#include "batch/output_paths.h"
#include "makerlibs/pmcore.h"

#include <cstring>

namespace {

constexpr int kWalkStopped = 2;

// The walk starts from the entry's full path: relative entries would
// otherwise escape the output-tree test and mirror folders from whatever
// the current folder is. Drives keep their own pattern ("D:" alone names the
// current folder of drive D).
bool WalkStartOf(const char* entry, char* out, size_t size) {
    size_t n = std::strlen(entry);
    bool drive = (n == 2 && entry[1] == ':') || (n == 3 && entry[1] == ':' && entry[2] == '\\');
    if (!drive && Core_GetFullPath(entry, 0, int(size), out, nullptr)) return true;
    return Batch_WalkStart(entry, out, size);
}

}  // namespace

static BOOL WalkFileList(FileList* files, ImageConvertParams* params) {
    if (!params) return FALSE;
    std::memset(params->LastCreatedFolder, 0, sizeof params->LastCreatedFolder);
    if (!files || !files->Paths) return TRUE;
    int last = 0;
    for (int i = 0; i < files->Count; ++i) {
        std::memset(params->BaseFolder, 0, sizeof params->BaseFolder);
        const char* entry = files->Paths[i];
        if (!entry || !*entry) continue;
        char start[kLongPathBuffer];
        if (!WalkStartOf(entry, start, sizeof start)) continue;
        int depthLimit = (params->FileMode & FILEMODE_SUBFOLDERS) ? -1 : 1;
        last = Core_WalkFiles(start, depthLimit, 0, ConvertFileCallback, params);
        if (last == kWalkStopped) break;
    }
    return last == kWalkStopped ? FALSE : TRUE;
}

extern "C" BOOL PM_API pmImageConvert_CreateFile(FileList* files, ImageConvertParams* params) {
    return Export_Guard<BOOL>(FALSE, [&] { return WalkFileList(files, params); });
}
