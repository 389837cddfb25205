// The one settings record of the system and the records that travel with it.
// Field order and widths are fixed (a 32-bit build lays it out exactly as the
// INI code, the dialogs and callers outside this library expect); fields that
// hold pointers or handles take their natural size on 64-bit.
#pragma once
#include "makerlibs/pmwin.h"
#include <cstdint>

constexpr int kMaxImageTypes = 30;
constexpr int kPathBuffer = 264;
constexpr int kRunPathBuffer = 324;
constexpr int kLongPathBuffer = 524;

// FileMode bits.
constexpr uint32_t FILEMODE_SUBFOLDERS = 0x0010;      // scan sub-folders
constexpr uint32_t FILEMODE_EXTONLY = 0x0020;         // type by extension only
constexpr uint32_t FILEMODE_PRODUCTFOLDER = 0x0040;   // output into "Vimoｻﾑﾈｲﾙ"
constexpr uint32_t FILEMODE_TIMEFOLDER = 0x0100;      // time-stamp sub-folder
constexpr uint32_t FILEMODE_NOEMPTYFOLDER = 0x0200;   // remove it when empty
constexpr uint32_t FILEMODE_OVERWRITE = 0x0400;       // outputs may replace files
constexpr uint32_t FILEMODE_LOGINOUTPUT = 0x0800;     // log into the output folder
constexpr uint32_t FILEMODE_LOGERRORSONLY = 0x1000;   // no report without errors
constexpr uint32_t FILEMODE_LOGAPPEND = 0x2000;       // append to the log
constexpr uint32_t FILEMODE_ENDMESSAGE = 0x4000;      // result dialog at the end
constexpr uint32_t FILEMODE_OPENFOLDER = 0x8000;      // open the output folder
constexpr uint32_t kDefaultFileMode = 0xD370;

// Save options of the output formats; compared as one block by the settings
// dialog, so always zero-filled before use.
#pragma pack(push, 1)
struct SaveOptions {
    uint32_t Size;  // 16
    uint16_t Bmp_Format;
    uint16_t Bmp_Comp;
    uint8_t Jpeg_Quality;
    uint8_t Jpeg_Smoothing;
    uint8_t Jpeg_OptEncode;
    uint8_t Jpeg_Progressive;  // 0 interlaced (progressive JPEG), 1 sequential, 2 as the input
    uint8_t Png_Interlace;     // 0 no, 1 Adam7, 2 as the input
    uint8_t Gif_Interlace;     // 0 no, 1 yes, 2 as the input
    uint8_t Padding[2];
};
#pragma pack(pop)
static_assert(sizeof(SaveOptions) == 16);

// One error of a run.
struct LogEntry {
    char* Name;      // own copy of the file or folder path
    int MessageId;   // 101..109, string-table id
    int LastError;   // Windows error code, 0 when none
};

// The default log file name (in the output folder or the default folder) and
// the product's own output sub-folder.
inline constexpr char kDefaultLogName[] = "Vimoｻﾑﾈｲﾙﾛｸﾞ.txt";
inline constexpr char kProductFolderName[] = "Vimoｻﾑﾈｲﾙ";

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
