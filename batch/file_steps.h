// The steps of converting one walked file, shared by the run that converts
// one file at a time and the run that converts several at once: planning
// its output in walk order, converting it, and recording its outcome.
#pragma once
#include "batch/batch_walk.h"
#include "batch/input_type.h"
#include "makerlibs/pmdib.h"
#include "makerlibs/pmwin.h"

#include <string>

struct Outcome {
    const char* errorPath = nullptr;
    int errorCode = 0;
    DWORD lastError = 0;
    bool succeeded = false;
    int stop = 0;
};

// A file opened for one conversion and closed on every way out of it.
class FileHandle {
public:
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { Close(); }
    void Reset(HANDLE h);
    HANDLE get() const { return h_; }
    HANDLE Release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    // Closes as after a failed conversion: an output written beside an
    // existing file is removed, the old file kept.
    void Close();

private:
    HANDLE h_ = nullptr;
};

// A DIB owned by one conversion, freed on every way out of it.
struct OwnedDib {
    DibHeader* header = nullptr;
    uint8_t* bits = nullptr;
    OwnedDib() = default;
    OwnedDib(const OwnedDib&) = delete;
    OwnedDib& operator=(const OwnedDib&) = delete;
    ~OwnedDib();
    void TakeFrom(OwnedDib& other);
};

// The converted picture as the preview shows it, kept by a conversion on
// another thread until its result is committed.
struct KeptPreview {
    OwnedDib dib;
    int transparentIndex = -1;
    int outputDepth = 0;
};

// One walked file with its output decided. Outcome::errorPath points into
// the record, which therefore stays where it was made.
struct PlannedFile {
    PlannedFile() = default;
    PlannedFile(const PlannedFile&) = delete;
    PlannedFile& operator=(const PlannedFile&) = delete;

    InputFacts facts;
    std::wstring path, folder, outputName, outputPath;
    std::string shownPath, shownFolder, shownOutputPath, shownName;
    bool ready = false;  // the output path is known and usable
    Outcome o;
    // Performance-counter ticks its conversion took; negative: not converted.
    int64_t conversionTicks = -1;
};

// Decides the output of a walked file; false when the entry is no file to
// convert (not an image, a type not selected, an input taken already).
bool Batch_PlanFile(BatchRun& run, const CoreWalkEntry& e, PlannedFile* f);
// Creates the planned file's output folder unless the last file made it.
// False with `*error` when it could not be made.
bool Batch_MakeOutputFolder(BatchRun& run, const PlannedFile& f, DWORD* error);
// The dialog's texts and counters, and the host's hook, for a file counted
// and for its outcome recorded.
void Batch_ShowCounted(ImageConvertParams* p, const PlannedFile& f);
void Batch_RecordOutcome(ImageConvertParams* p, const PlannedFile& f);
// The colour transparent pixels of a preview of an input of `type` show in.
COLORREF Batch_PreviewBackground(ImageConvertParams* p, int type);

// The size the run's settings shrink a picture of `upright` sides to;
// false when they do not shrink it.
bool Batch_ShrinkTarget(const ImageConvertParams* p, PmSize upright, PmSize* target);

// Opens a walked input by its real name, exactly as found.
HANDLE Batch_OpenInput(const std::wstring& path);
// Closes the output of a conversion whose outcome is `o`: an output
// written beside an existing file now replaces it, or is removed when the
// conversion failed. A replacement that fails makes the outcome a write
// error.
void Batch_FinishOutput(FileHandle& output, Outcome* o);
// The output's handle for a planned file (see Batch_CreateOutputFile).
HANDLE Batch_CreateOutputOf(BatchRun& run, const PlannedFile& f, DWORD* error);
// Whether an input read as `inputType` goes the animated GIF path.
bool Batch_AnimatedPath(const ImageConvertParams* p, int inputType);
// Reads the open input, converts it and writes the open output. With
// `kept` the preview is left there instead of shown.
void Batch_ConvertOpened(ImageConvertParams* p, HANDLE input, HANDLE output, int inputType, const char* outputName,
                         COLORREF background, KeptPreview* kept, Outcome* o);

// The performance counter now, for PlannedFile::conversionTicks.
int64_t Batch_Ticks();

// A run converting several files at once: its entry point per walked file,
// and the commit of every result still open.
int Batch_ConvertEntryParallel(BatchRun& run, const CoreWalkEntry& e);
