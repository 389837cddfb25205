// PMCORE: paths, folders, files and text tables. Paths are code page 932
// text; every character search treats a double-byte character as one unit
// (the trail byte of "表" or "ソ" equals the backslash).
#pragma once
#include "makerlibs/pmwin.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmtexttable.h"
#include <cstdint>
#include <map>
#include <set>
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
    const wchar_t* widePath;  // the entry's real path: what opens it (Core_ExactPathForm)
    // A code page 932 path that opens this entry through the narrow API:
    // each component its real name where code page 932 holds it exactly,
    // else its 8.3 short name. Null when some component has neither or the
    // path reaches MAX_PATH; the entry is reported and walked all the same.
    const char* path;
    const WIN32_FIND_DATAW* data;
    int depth;
    // 0, or why a folder's contents cannot be reached: its listing failed
    // at the start (the folder is not entered) or broke off midway (the
    // folder is reported a second time, after what was listed, with the
    // reason and with `path` null).
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
// The same from a wide start, which may name anything the system can.
int Core_WalkFilesW(const wchar_t* start, int depthLimit, CoreWalkCallbackEx callback, void* user);
// For tests: with `use` false the walk ignores 8.3 short names, as on a
// volume that has none (also set by PM_NO_SHORT_NAMES=1 in the environment).
void Core_SetShortNamesForTest(bool use);
// For tests: the listing call after `afterCalls` more continuation calls
// fails with `error` (0 calls: no failure).
void Core_SetListingFaultForTest(long afterCalls, DWORD error);

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
// `path` in the long-path form whenever it is a full drive or share path,
// separators as backslashes: the system then takes every name as it is
// (a trailing dot or blank, a device name, beyond MAX_PATH) instead of
// rewriting it. Others unchanged.
std::wstring Core_ExactPathForm(const std::wstring& path);
// Core_CreateFolder for a wide path: same results. A path in the long-path
// form is taken as it is, whatever its length.
int Core_CreateFolderW(const wchar_t* path);

// Reads the open file from its file pointer into `table` (zero it first),
// split as TextTable_Parse describes. Result 0 = success; otherwise a
// TextTableResult (read or memory failure, too large, unterminated quote);
// the rows read before the problem stay in the table.
int Core_ReadTextTable(HANDLE file, int columns, TextTable* table);
// Frees what the read allocated; safe on a zeroed table.
void Core_FreeTextTable(TextTable* table);

// What a file or folder is, whatever name reached it. Volumes differ in
// what they give: a 128-bit id where the file system has one, else a 64-bit
// index that some volumes leave at 0 or all ones, or hand out again (shares,
// virtual machine folders); such an id says nothing and is not `usable`.
// Two records name one file only when their resolved paths agree, or when
// their usable ids agree and the file has several names (hard links) with
// the same size and times; so a recycled id never makes two files one.
struct CoreFileId {
    uint64_t volume = 0;
    uint8_t id[16] = {};
    bool usable = false;
    DWORD links = 0;
    uint64_t size = 0;
    FILETIME created{}, written{};
    DWORD attributes = 0;
    std::wstring path;      // as it was opened, for resolving it later
    std::wstring resolved;  // empty until asked for, or when the system cannot tell
};
// Reads the identity of an open file or folder (opened with any access).
// `resolvePath` also asks for its resolved path. False when the system
// gives no information at all.
bool Core_IdentifyHandle(HANDLE file, bool resolvePath, CoreFileId* out);
// Opens `path` (long form, no access rights, folders included) and
// identifies it.
bool Core_IdentifyPath(const std::wstring& path, bool resolvePath, CoreFileId* out);
// Whether two identities name one file, by the rule above (resolving
// their paths when it must).
bool Core_SameFile(CoreFileId& a, CoreFileId& b);
// The path the system resolves an open file to, without the long-path prefix.
bool Core_ResolvedPath(HANDLE file, std::wstring* out);

// Identities met: true from Insert when `id` names no file met before.
// A path is resolved only when ids do not settle the question (two files
// with one id, or ids that say nothing), which on sound volumes is seldom.
class CoreFileIdSet {
public:
    bool Insert(CoreFileId id);
    bool Contains(CoreFileId& id);

private:
    std::set<std::wstring> paths_;                // resolved, case folded: files without a usable id
    std::multimap<std::string, CoreFileId> ids_;  // by volume and id bytes
};

// For tests of volumes this machine does not have. kCoreIdsZero makes every
// file report index 0 (and no 128-bit id); kCoreIdsSame makes every file
// report one and the same usable index, as a volume that recycles indices
// may. kCoreIdsReal restores the truth.
enum CoreIdFault { kCoreIdsReal = 0, kCoreIdsZero = 1, kCoreIdsSame = 2 };
void Core_SetIdFaultForTest(CoreIdFault fault);
