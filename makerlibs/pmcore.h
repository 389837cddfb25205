// PMCORE: paths, folders, files and text tables. Paths are code page 932
// text; every character search treats a double-byte character as one unit
// (the trail byte of "表" or "ソ" equals the backslash).
#pragma once
#include "makerlibs/pmwin.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmtexttable.h"
#include <cstdint>
#include <string>

// Full, normalised path of `path` into `out` (bufferSize bytes; `out` may be
// `path` itself, and is left alone on failure). Result 0 = not a valid path
// (also text that is not valid code page 932) or it does not fit. With
// `name`, sets it to the last component inside `path`, which holds the full
// path when `out` is `path`; null when there is none ("C:\dir\", "..").
int Core_GetFullPath(const char* path, int reserved, int bufferSize, char* out, const char** name);

// 2 = an existing folder; 1 = an existing file; 0 = nothing there.
int Core_GetPathKind(const char* path);

// Mode 0 removes one trailing backslash, mode 1 appends one unless present
// (refused when the text would grow past MAX_PATH + 3 bytes), mode 2 removes
// one before a sub-path that begins with one is appended. Result 1 = changed.
int Core_SetTrailingSeparator(char* path, int mode);

// Creates the folder and its missing parents. 1 = the folder exists
// afterwards; -1 = a system call failed (last error set; a path too long
// for the folder functions gives ERROR_FILENAME_EXCED_RANGE before anything
// is created); 0 = refused (empty or invalid path, or a file is in the way).
int Core_CreateFolder(int reserved, const char* path, int reserved2);

// Maps INVALID_HANDLE_VALUE to null; every file-creation result passes here.
HANDLE Core_CheckHandle(int reserved, HANDLE handle);
// The value for CloseHandle.
HANDLE Core_RawHandle(HANDLE handle);

DWORD Core_SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, int origin);
DWORD Core_GetFileSize(HANDLE file, DWORD* sizeHigh);
BOOL Core_WriteFile(HANDLE file, const void* data, DWORD length, DWORD* written, void* reserved);

// First occurrence of the single-byte character `ch` at or after `text`,
// stepping over double-byte characters; null when none.
char* Core_FindChar(const char* text, int ch);

// Walk callback: entry path, its find data (attribute word first; 0x10 =
// folder), depth (0 for the entries the start names), the caller's pointer.
// Non-zero stops the walk.
using CoreWalkCallback = int (*)(const char* path, const WIN32_FIND_DATAA* entry, int depth, void* user);

// Reports with depth 0 each entry that `start` names (a file, a folder, each
// match of a wildcard pattern), then descends into reported folders while
// `depthLimit` allows (-1 = unlimited, 1 = named entries and the direct
// contents of named folders). Folders are reported too; "." and ".." never.
// A folder reached a second time through a link or junction is reported but
// not entered again. Entries are reported as the start's folder part plus
// their names, so their paths may exceed MAX_PATH. Result 2 = stopped by the
// callback (at once), 1 = completed (also when nothing matched), 0 = no
// start or callback, or out of memory.
int Core_WalkFiles(const char* start, int depthLimit, int reserved, CoreWalkCallback callback, void* user);

// One entry met by Core_WalkFilesEx. The walk runs on the wide API, so a
// name that code page 932 cannot hold is never replaced by a best-fit look-
// alike (which may name another file).
struct CoreWalkEntry {
    const wchar_t* widePath;  // the entry's real path
    // A code page 932 path that opens this entry: each component its real
    // name where code page 932 holds it exactly, else its 8.3 short name.
    // Null when some component has neither.
    const char* path;
    const WIN32_FIND_DATAW* data;
    int depth;
    // 0, or why the entry (a folder: its contents) cannot be reached:
    // ERROR_INVALID_NAME when there is no code page 932 path, a folder's
    // listing failure, or ERROR_FILENAME_EXCED_RANGE for a folder whose
    // entries' paths would exceed MAX_PATH. Such folders are not entered.
    DWORD error;
};
constexpr int kCoreWalkContinue = 0;
constexpr int kCoreWalkStop = 1;
constexpr int kCoreWalkSkipContents = 2;  // for a folder: do not enter it
using CoreWalkCallbackEx = int (*)(const CoreWalkEntry& entry, void* user);

// Core_WalkFiles with the entries' real names and reasons: the same start
// forms, depth rule, order and cycle handling. `start` must be exact code
// page 932 text. Result 2 = stopped, 1 = completed, 0 = bad arguments or
// out of memory.
int Core_WalkFilesEx(const char* start, int depthLimit, CoreWalkCallbackEx callback, void* user);

// Code page 932 text of a wide name when it holds it exactly (no best-fit
// look-alike, no default character, converts back to the same text).
bool Core_NarrowExact(const wchar_t* wide, size_t length, std::string* out);
// Code page 932 text for showing a wide name: characters it cannot hold
// exactly become '?' (never a look-alike: a yen sign must not show as a
// path separator).
std::string Core_NarrowForDisplay(const wchar_t* wide);
// Wide text of exact code page 932 text; false when it is not valid.
bool Core_WideExact(const char* text, std::wstring* out);
// A long `path` in the form the wide API accepts beyond MAX_PATH (the
// long-path prefix before a full drive or share path); others unchanged.
std::wstring Core_LongPathForm(const std::wstring& path);
// Core_CreateFolder for a wide path: same results.
int Core_CreateFolderW(const wchar_t* path);

// Reads the open file from its file pointer into `table` (zero it first),
// split as TextTable_Parse describes. Result 0 = success; otherwise a
// TextTableResult (read or memory failure, too large, unterminated quote);
// the rows read before the problem stay in the table.
int Core_ReadTextTable(HANDLE file, int columns, TextTable* table);
// Frees what the read allocated; safe on a zeroed table.
void Core_FreeTextTable(TextTable* table);
