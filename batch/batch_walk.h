// One walk over a run's file list: what it knows beyond the shared settings
// record, and the conversion of one walked entry with it.
#pragma once
#include "batch/run_guard.h"
#include "entry/params.h"
#include "makerlibs/pmcore.h"

#include <string>

struct BatchRun {
    explicit BatchRun(ImageConvertParams* params);

    ImageConvertParams* params;
    std::wstring outputFolder;       // the run's OutputFolder
    std::wstring baseFolder;         // of the list entry being walked
    std::wstring lastCreatedFolder;  // output folders are created once in a row
    OutputTree outputTree;
    FileIdSet inputsTaken;     // a file reached twice is converted once
    FileIdSet outputsWritten;  // never replaced by a later file of the run
    long skippedInOutputTree = 0;
};

// Converts one walked entry (walk callback result: continue, stop, or skip
// a folder's contents).
int Batch_ConvertEntry(BatchRun& run, const CoreWalkEntry& entry);

// Records an error entry for a path given in wide form, shown as the log and
// the dialog show it.
void Batch_AddError(ImageConvertParams* params, const std::wstring& path, int code, DWORD lastError);
