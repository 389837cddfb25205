// Start-up: the entry point the host calls with its command line.
#pragma once
#include "entry/app_paths.h"
#include "entry/params.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmfilelist.h"

// Runs the progress dialog of a batch run when the command line names at
// least one entry (result 1), else the settings dialog (result 0). The first
// and third arguments are not used.
extern "C" int PM_API pmImageConvert_Initialize(int reserved, const char* commandLine, int reserved2);
// The same with the command line as the user gave it: entries whose names
// code page 932 cannot hold are walked by their real names (the run's
// records and log show them with '?' where it has no character).
extern "C" int PM_API pmImageConvert_InitializeW(int reserved, const wchar_t* commandLine, int reserved2);

// The creation parameter of the progress dialog.
struct ProgressDlgArgs {
    uint32_t Size;  // 32 on 32-bit
    FileList Files;
    ImageConvertParams* Params;
    BOOL StartMinimized;
    HANDLE WorkerThread;
};

// Finds the installation folder: the "Path" value of the program's App Paths
// key under HKEY_LOCAL_MACHINE, or under HKEY_CURRENT_USER when the machine
// has no such key, else the current directory; then forms the paths. When the folder's
// paths would not fit their buffers the current directory is tried, and
// when that fails too every path stays empty (settings then come from the
// defaults and are never written to a guessed file).
void FindAppPaths(AppPaths* out);
