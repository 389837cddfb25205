// What keeps a run from mistaking one file for another: files are told
// apart by identity (volume and file index, or the path with every link,
// junction, mapped drive and prefix resolved), never by how a path is
// spelled.
#pragma once
#include "makerlibs/pmcore.h"
#include "makerlibs/pmwin.h"

#include <set>
#include <string>
#include <tuple>

using FileId = CoreFileId;

bool Batch_IdentifyHandle(HANDLE file, FileId* id);

// Identities of files met folder after folder. The volume is read once for
// the files of a folder, which all lie on it: reading it is a round trip
// to the system's mount manager under Wine, milliseconds a file, while
// the file's index is read from the open file itself. A folder's first
// file read through a link may lie on another volume, so it fills nothing.
class FileIdentifier {
public:
    // `path` names the open `file` (its folder is what counts). The
    // identity keeps `path` for resolving it when ids do not tell.
    bool Identify(HANDLE file, const std::wstring& path, FileId* id);

private:
    std::wstring folder_;
    uint64_t volume_ = 0;
    bool known_ = false;
};
// The path the system resolves an open file or folder to (links, junctions,
// mapped drives, prefixes); false when it cannot tell.
bool Batch_ResolvedPath(HANDLE file, std::wstring* out);
// The same for a path: opened without access rights, folders included.
bool Batch_ResolvedPathOf(const std::wstring& path, std::wstring* out);

// A set of identities: the inputs a run has taken, the outputs it has made.
using FileIdSet = CoreFileIdSet;

// The output folder the user chose (with its product folder, without this
// run's time stamp), resolved: everything in it is output of this or an
// earlier run, so it is never taken as input, and only files in it may be
// replaced.
class OutputTree {
public:
    void Reset(const std::wstring& chosenFolder);
    bool Known() const { return !root_.empty(); }
    // Whether the file or folder at `path` lies in the tree, however spelled.
    bool Contains(const std::wstring& path) const;
    bool ContainsOpen(HANDLE file) const;

private:
    std::wstring root_;
};

// The folder the user chose for the output of a run whose resolved output
// folder is `outputFolder`: the time-stamp folder of this run taken off.
std::wstring Batch_ChosenOutputFolder(const std::wstring& outputFolder, bool timeFolder);

// Creates an output file for reading and writing, not shared. Without
// `overwrite` an existing file is never touched. With it, an existing file
// may be replaced only when the output tree is known, the file lies in it
// (so it is no input of the run) and this run has not written it
// (`written`); otherwise the result is null with ERROR_FILE_EXISTS. An
// existing file is never written in place: the output goes to a new file
// beside it, which Batch_FinishOutputFile moves over it once it is whole,
// so a file linked to it elsewhere keeps its data and a failed conversion
// leaves it as it was. The file stays locked meanwhile. The identity of
// every file made is added to `written`. Null with `*error` set on failure.
HANDLE Batch_CreateOutputFile(const std::wstring& path, bool overwrite, const OutputTree& tree,
                              FileIdentifier* identifier, FileIdSet* written, DWORD* error);
// Closes an output made by Batch_CreateOutputFile (any other handle is just
// closed). An output written beside an existing file replaces it when
// `succeeded`, else is removed. False with `*error` when the replacement
// failed; the old file is then as it was.
bool Batch_FinishOutputFile(HANDLE file, bool succeeded, DWORD* error);
