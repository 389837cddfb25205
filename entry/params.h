// The one settings record of the system and the records that travel with it.
// Field order and widths are fixed (a 32-bit build lays it out exactly as the
// INI code, the dialogs and callers outside this library expect); fields that
// hold pointers or handles take their natural size on 64-bit.
#pragma once
#include "entry/settings_record.h"
#include "makerlibs/pmwin.h"
#include <cstdint>

// One error of a run.
struct LogEntry {
    char* Name;      // own copy of the file or folder path
    int MessageId;   // 101..109, string-table id
    int LastError;   // Windows error code, 0 when none
};

// Error codes of a conversion (also string-table ids of their messages).
constexpr int kErrOpenInput = 101;
constexpr int kErrCreateOutput = 102;
constexpr int kErrRead = 103;
constexpr int kErrWrite = 104;
constexpr int kErrMemory = 105;
constexpr int kErrInternal = 106;
constexpr int kErrCreateFolder = 107;
constexpr int kErrColorMapping = 108;
constexpr int kErrStopped = 109;

struct ImageConvertParams {
    // --- persisted (section IMGCONVERT unless noted) ---
    int32_t Direction;
    int32_t Resize;
    SIZE Size;
    int32_t BitCount;
    int32_t Palette;
    int32_t ZoomFilter;
    int32_t UseFilter;
    int32_t Filter;
    int32_t ImageTypeCount;
    int32_t ImageType[kMaxImageTypes];
    uint32_t FileMode;
    char WritePath[kPathBuffer];
    char LogFile[kPathBuffer];
    int32_t WriteImageType;
    int32_t ImageCount;
    ::SaveOptions SaveOptions;  // keys Bmp_Format .. Gif_Interlace
    int32_t CurNode;   // section IMGCONVERT_DISP
    int32_t CurLeaf;   // section IMGCONVERT_DISP
    // --- environment and run state, not persisted ---
    HINSTANCE Instance;
    char OutputFolder[kRunPathBuffer];
    char LogPath[kRunPathBuffer];
    HWND ProgressWindow;
    // Shared between the dialog thread and the worker: plain 32-bit values,
    // one writer at a time; touch them through std::atomic_ref<LONG>.
    LONG CancelRequested;
    LONG ProcessedCount;
    LONG SucceededCount;
    LONG StopRequested;
    LONG LogEntryCount;
    LogEntry* LogEntries;
    SYSTEMTIME StartTime;
    SYSTEMTIME EndTime;
    LONG PreviewEnabled;
    char BaseFolder[kPathBuffer];
    char LastCreatedFolder[kLongPathBuffer];
    const char* AppFolder;
    const char* IniFile;
    const char* HelpPage;
};

// The persisted part ends with CurLeaf; the settings dialog compares it as
// one block.
constexpr size_t kPersistedParamsBytes = offsetof(ImageConvertParams, Instance);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(ImageConvertParams, ImageType) == 40);
static_assert(offsetof(ImageConvertParams, FileMode) == 160);
static_assert(offsetof(ImageConvertParams, WritePath) == 164);
static_assert(offsetof(ImageConvertParams, SaveOptions) == 700);
static_assert(offsetof(ImageConvertParams, CurNode) == 716);
static_assert(offsetof(ImageConvertParams, Instance) == 724);
static_assert(offsetof(ImageConvertParams, ProgressWindow) == 1376);
static_assert(offsetof(ImageConvertParams, StartTime) == 1404);
static_assert(offsetof(ImageConvertParams, BaseFolder) == 1440);
static_assert(offsetof(ImageConvertParams, AppFolder) == 2228);
static_assert(sizeof(ImageConvertParams) == 2240);
#endif

// The creation parameter of the settings dialog; start-up keeps one for the
// module's lifetime and its Params is the system's one settings record.
struct InitParamsDlgArgs {
    uint32_t Size;  // kInitParamsDlgArgsSize
    int32_t CurNode;
    int32_t CurLeaf;
    ImageConvertParams Params;
    int32_t Saved;
    HWND FocusWindow;
};
// The value callers put into Size. It is the record's version stamp from the
// first release and is kept as is, although the record is smaller.
constexpr uint32_t kInitParamsDlgArgsSize = 2788;

// The settings record start-up loaded (the module's one instance).
ImageConvertParams* Pm_ModuleParams();
InitParamsDlgArgs* Pm_ModuleDlgArgs();
