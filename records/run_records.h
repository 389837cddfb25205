// Run records: the run's output folder, error entries and log file, the log
// report, the result dialog and the profile list reader.
#pragma once
#include "entry/params.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmwin.h"

#include <cstdint>

// Operations of pmImageConvert_LogOperate.
constexpr int kLogBegin = 0;
constexpr int kLogAddError = 1;
constexpr int kLogEnd = 2;

// Brackets a run: 0 resolves and creates the output folder and the log path
// and clears the counters; 1 records an error entry (name, message id, last
// error); 2 writes the log, tidies the folder and shows what FileMode asks.
// 1 = done; 0 = an entry could not be stored, or an unknown operation.
extern "C" int PM_API pmImageConvert_LogOperate(ImageConvertParams* params, int operation, const char* name,
                                                int messageId, int lastError);

// The report of the run in `params`. Mode 1 (log file) gives null when the
// log holds errors only and there are none; mode 0 (result dialog) always
// gives a text. `*text` is set to null first; free the text with
// WinKit_Free. Null also when memory ran out part way.
int BuildLogReport(int mode, const ImageConvertParams* params, char** text);

// The creation parameter of the result dialog.
struct ResultDlgArgs {
    uint32_t Size;  // 8 (the size of the first 32-bit layout)
    ImageConvertParams* Params;
};
constexpr uint32_t kResultDlgArgsSize = 8;

INT_PTR CALLBACK ResultDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Why operation 2 of the last run with `params` could not write the log
// file the run asked for (the system's error code); 0 when it was written
// or no log was asked for. With a progress dialog operation 2 also says so
// in a message box after the result dialog.
DWORD Records_LogWriteError(const ImageConvertParams* params);

// What became of the log file at the end of the last run (operation 2):
// 0 when it was written or none was due, else the system error that left it
// missing or incomplete. That run's result dialog also lists it as an entry.
DWORD Records_LastLogError();

// How operation 2 opens the output folder in the file manager. Tests
// replace it to see whether it would have happened; null restores the
// default.
using FolderOpener = void (*)(const char* folder);
void Records_SetFolderOpener(FolderOpener opener);

// A profile list: entries of two texts, an image type, a colour depth and
// two integers, read from a six-column text file.
struct CareerProfileEntry {
    char* Column0;
    char* Column1;
    int32_t Column4;
    int32_t Column5;
    int32_t ImageType;
    int32_t BitCount;
};

struct CareerProfile {
    int32_t Count;
    CareerProfileEntry* Entries;
};

// 1 = read without a reader problem; 0 = the reader reported a problem (what
// it delivered is in the list); -1 = failure, the list empty. The list is
// overwritten without freeing what it held.
extern "C" int PM_API pmImageConvert_GetCareerProfile(const char* path, CareerProfile* list);
// Frees the list's texts and array and zeroes it; 0 for null, else 1.
extern "C" int PM_API pmImageConvert_FreeCareerProfile(CareerProfile* list);
