// PMFILELIST: the command line as a list of files, folders and drives.
#pragma once
#include <cstdint>
#include <string>

struct FileList {
    uint32_t Private0;  // the library's own: number of allocated slots
    uint32_t Private1;  // the library's own: 0x464C5354 once filled
    int32_t Count;
    char** Paths;
};

constexpr int kFileListKeepEmpty = 0x100;

// Fills `list` (zeroed by the caller) from a non-empty command line: items
// separated by blanks and tabs; double quotes group blanks into an item and
// are removed (a backslash never escapes one: "D:\" is the root of D:); an
// unbalanced quote runs to the end of the line; empty items are dropped.
// Items are kept whole, however long. `mode` with kFileListKeepEmpty keeps
// an empty quoted item ("") as an empty entry; other bits are not looked
// at. Result = Count.
int FileList_FromCommandLine(int mode, int reserved, const char* commandLine, FileList* list);
// Releases the entries; safe on a zeroed record; leaves it zeroed.
void FileList_Free(FileList* list);

// Lists that keep each entry's wide text beside its narrow one, so that a
// name the narrow text cannot hold still names its file. `narrow` gives
// the narrow text of a wide entry (the one shown and logged). Entries are
// split as FileList_FromCommandLine splits a narrow line.
using FileListNarrow = std::string (*)(const wchar_t* wide);
int FileList_FromCommandLineW(int mode, const wchar_t* commandLine, FileList* list, FileListNarrow narrow);
int FileList_FromWideItems(int count, const wchar_t* const* items, FileList* list, FileListNarrow narrow);
// The wide text of entry `index` of a list made by the two above; null for
// any other list or index.
const wchar_t* FileList_WidePath(const FileList* list, int index);
