// PMFILELIST: the command line as a list of files, folders and drives.
#pragma once
#include <cstdint>

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
