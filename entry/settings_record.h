// The persisted part of the settings record and the constants it needs,
// without Windows types, so that the INI reading rules build and are tested
// natively too. params.h builds the full record on top of this.
#pragma once
#include <cstddef>
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

// The default log file name (in the output folder or the default folder) and
// the product's own output sub-folder.
inline constexpr char kDefaultLogName[] = "Vimoｻﾑﾈｲﾙﾛｸﾞ.txt";
inline constexpr char kProductFolderName[] = "Vimoｻﾑﾈｲﾙ";

// The persisted fields of ImageConvertParams, in its order and widths (the
// Windows build checks every offset): the INI reader fills one of these and
// copies it into the record.
struct PersistedParams {
    int32_t Direction;
    int32_t Resize;
    struct {
        int32_t cx, cy;
    } Size;
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
    ::SaveOptions SaveOptions;
    int32_t CurNode;
    int32_t CurLeaf;
};
static_assert(sizeof(PersistedParams) == 724);
