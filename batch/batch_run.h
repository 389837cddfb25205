// The batch run: progress dialog and worker, the walk over the file list,
// per-file conversion and the animated GIF path.
#pragma once
#include "entry/dialog_procs.h"
#include "entry/params.h"
#include "entry/startup.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfilelist.h"
#include "makerlibs/pmwin.h"

#include <atomic>

// Walks every list entry (files, folders, drives) and converts each file met.
// 1 = every entry walked; 0 = the user stopped the run.
extern "C" BOOL PM_API pmImageConvert_CreateFile(FileList* files, ImageConvertParams* params);

// The walk callback: converts one walked entry. 1 = stop the walk (only after
// the user confirmed the stop question).
int ConvertFileCallback(const char* path, const WIN32_FIND_DATAA* entry, int depth, void* params);

// The worker of the progress dialog (its argument is the run the dialog
// made for it, see progress_dlg_win.cpp): opens the run record, walks,
// closes it and has the dialog end.
unsigned __stdcall ConvertWorker(void* run);

// The stop that the owner of the run walking on this thread asks for (the
// progress dialog going away), checked with the user's question at every
// stop check: before each entry, between the frames of an animation, while
// waiting for conversions. Set by the thread that walks, for its walk;
// null: none.
void Batch_SetRunStop(const std::atomic<bool>* stop);
bool Batch_RunStopRequested();

// What the last walk of `params` left aside without an entry: list entries
// and folders lying in the output tree (the output folder the user chose),
// which are never converted again. A host tells the user when that was all.
struct BatchWalkNotes {
    long skippedInOutputTree = 0;
};
BatchWalkNotes Batch_LastWalkNotes(const ImageConvertParams* params);

// Lets a host without the progress dialog follow a run: called on the worker
// thread when a file is counted (done = false) and when its outcome is
// recorded (done = true). Null removes it.
using BatchProgressHook = void (*)(const ImageConvertParams* params, const char* path, bool done);
void Batch_SetProgressHook(BatchProgressHook hook);
// Within the hook, when an outcome is recorded: the milliseconds the file's
// own conversion took, from opening its input to closing its output (on
// the thread that converted it, when several files convert at once, so
// the time spent waiting for an earlier file's commit is not in it);
// negative when the file was not converted (it failed before opening).
double Batch_FileConversionMs();
// Within the hook: the real (wide) path of the file it is told of, which
// `path` shows with '?' where code page 932 has no character.
const wchar_t* Batch_HookWidePath();

// For tests of inputs that change while a run is on: called on the walking
// thread once a file was taken for conversion and before it is opened. A
// run one file at a time and one converting several at once both have this
// moment (the progress hook's count comes later when several go at once).
using BatchTakenHook = void (*)(const ImageConvertParams* params, const char* path);
void Batch_SetTakenHookForTest(BatchTakenHook hook);

// What the animated GIF path leaves for per-file conversion to record.
struct GifPathResult {
    bool succeeded;
    int errorCode;
    DWORD lastError;
    int stop;  // 1 when the user confirmed the stop question between frames
};

// Converts an open GIF file into an open output GIF frame by frame.
// `previewBackground` is the preview's background colour read before the
// file was opened (transparent pixels show in it).
GifPathResult ConvertAnimatedGif(HANDLE input, HANDLE output, const char* outputName,
                                 ImageConvertParams* params, COLORREF previewBackground);

// Whether the walk stops here: true when the run's owner stopped it (see
// Batch_SetRunStop) or the user confirmed a stop already, else asks the
// stop question when Cancel was pressed; StopRequested is set whenever it
// answers true. Called by the worker, it has the dialog's own thread show
// the question (see kAskStopMessage).
bool Batch_AskStop(ImageConvertParams* params);

// Sent by the worker to the progress dialog, whose procedure shows the stop
// question with Batch_ShowStopQuestion and returns the button pressed.
constexpr UINT kAskStopMessage = WM_APP + 0x51;
int Batch_ShowStopQuestion(HWND dialog);

// Shows a converted image in the progress dialog's preview with its
// description, when the dialog exists and the preview is on.
void Batch_ShowPreview(ImageConvertParams* params, const char* caption, DibHeader* header, const uint8_t* bits,
                       int transparentIndex, int outputDepth, COLORREF background);
