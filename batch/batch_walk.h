// One walk over a run's file list: what it knows beyond the shared settings
// record, and the conversion of one walked entry with it.
#pragma once
#include "batch/run_guard.h"
#include "entry/params.h"
#include "makerlibs/pmcore.h"

#include <memory>
#include <string>

struct ParallelRun;

struct BatchRun {
    // With `parallel` the run converts as many files at once as the
    // Threads setting asks for; otherwise one at a time.
    explicit BatchRun(ImageConvertParams* params, bool parallel = false);
    // Waits for every conversion still in flight.
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    ImageConvertParams* params;
    std::wstring outputFolder;       // the run's OutputFolder
    std::wstring baseFolder;         // of the list entry being walked
    std::wstring lastCreatedFolder;  // output folders are created once in a row
    OutputTree outputTree;
    FileIdSet inputsTaken;     // a file reached twice is converted once
    FileIdSet outputsWritten;  // never replaced by a later file of the run
    FileIdentifier inputIdentifier, outputIdentifier;
    long skippedInOutputTree = 0;
    std::unique_ptr<ParallelRun> parallel;  // null: one file at a time
};

// Converts one walked entry (walk callback result: continue, stop, or skip
// a folder's contents).
int Batch_ConvertEntry(BatchRun& run, const CoreWalkEntry& entry);
// A folder entry: fixes the base folder of the list entry, leaves the output
// tree alone and records why a folder's contents cannot be reached.
int Batch_OnFolder(BatchRun& run, const CoreWalkEntry& entry);
// Finishes and records every conversion still in flight, in walk order;
// nothing is left open afterwards. A run converting one file at a time has
// none.
void Batch_CommitAll(BatchRun& run);

// Records an error entry for a path given in wide form, shown as the log and
// the dialog show it.
void Batch_AddError(ImageConvertParams* params, const std::wstring& path, int code, DWORD lastError);
