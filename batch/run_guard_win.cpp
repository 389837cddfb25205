#include "batch/run_guard.h"

#include "batch/output_paths.h"
#include "makerlibs/pmcore.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>

namespace {

HANDLE OpenForIdentity(const std::wstring& path) {
    // No access rights asked: only identity and name are read, which also
    // works for folders and for files another program holds open.
    return CreateFileW(Core_ExactPathForm(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsAllDigits(const std::wstring& s) {
    for (wchar_t c : s)
        if (c < L'0' || c > L'9') return false;
    return !s.empty();
}

// NtQueryInformationFile with FileInternalInformation: the file's index
// without the volume.
using QueryInformationFile = LONG(WINAPI*)(HANDLE, void* status, void* info, ULONG length, int infoClass);
constexpr int kFileInternalInformation = 6;

QueryInformationFile IndexQuery() {
    static const QueryInformationFile query = reinterpret_cast<QueryInformationFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    return query;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? std::wstring() : path.substr(0, sep);
}

// The index of an open file and what its names share, without the volume.
bool QuickIdentity(HANDLE file, uint64_t volume, FileId* id) {
    QueryInformationFile query = IndexQuery();
    if (!query) return false;
    struct {
        void* pointer;
        ULONG_PTR information;
    } status{};
    LARGE_INTEGER index{};
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (query(file, &status, &index, sizeof index, kFileInternalInformation) < 0 ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return false;
    *id = FileId{};
    uint64_t value = uint64_t(index.QuadPart);
    id->volume = volume;
    std::memcpy(id->id, &value, sizeof value);
    id->usable = value != 0 && value != ~uint64_t(0);
    id->links = standard.NumberOfLinks;
    id->size = uint64_t(standard.EndOfFile.QuadPart);
    id->created.dwLowDateTime = DWORD(uint64_t(basic.CreationTime.QuadPart));
    id->created.dwHighDateTime = DWORD(uint64_t(basic.CreationTime.QuadPart) >> 32);
    id->written.dwLowDateTime = DWORD(uint64_t(basic.LastWriteTime.QuadPart));
    id->written.dwHighDateTime = DWORD(uint64_t(basic.LastWriteTime.QuadPart) >> 32);
    id->attributes = basic.FileAttributes;
    return true;
}

}  // namespace

bool Batch_IdentifyHandle(HANDLE file, FileId* id) { return Core_IdentifyHandle(file, false, id); }

bool FileIdentifier::Identify(HANDLE file, const std::wstring& path, FileId* id) {
    std::wstring folder = FolderOf(path);
    bool same = known_ && !folder.empty() &&
                CompareStringOrdinal(folder.c_str(), int(folder.size()), folder_.c_str(), int(folder_.size()), TRUE) ==
                    CSTR_EQUAL;
    bool ok = (same && QuickIdentity(file, volume_, id)) || Core_IdentifyHandle(file, false, id);
    id->path = path;
    if (!ok || same) return ok;
    // Only a plain file tells the volume of its folder; the quick way reads
    // the 64-bit index, so it serves only where that is the whole id.
    FileId quick;
    known_ = !folder.empty() && id->usable && !(id->attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
             QuickIdentity(file, id->volume, &quick) && std::memcmp(quick.id, id->id, sizeof id->id) == 0;
    folder_ = folder;
    volume_ = id->volume;
    return true;
}

bool Batch_ResolvedPath(HANDLE file, std::wstring* out) { return Core_ResolvedPath(file, out); }

bool Batch_ResolvedPathOf(const std::wstring& path, std::wstring* out) {
    HANDLE h = OpenForIdentity(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = Batch_ResolvedPath(h, out);
    CloseHandle(h);
    return ok;
}

void OutputTree::Reset(const std::wstring& chosenFolder) {
    root_.clear();
    if (!chosenFolder.empty()) Batch_ResolvedPathOf(chosenFolder, &root_);
}

bool OutputTree::Contains(const std::wstring& path) const {
    std::wstring resolved;
    return Known() && Batch_ResolvedPathOf(path, &resolved) && Batch_PathInside(resolved, root_);
}

bool OutputTree::ContainsOpen(HANDLE file) const {
    std::wstring resolved;
    return Known() && Batch_ResolvedPath(file, &resolved) && Batch_PathInside(resolved, root_);
}

std::wstring Batch_ChosenOutputFolder(const std::wstring& outputFolder, bool timeFolder) {
    if (!timeFolder) return outputFolder;
    size_t sep = outputFolder.find_last_of(L'\\');
    // A stamp that did not fit was never added: the folder is then the chosen one.
    if (sep == std::wstring::npos || !IsAllDigits(outputFolder.substr(sep + 1)) || outputFolder.size() - sep - 1 != 17)
        return outputFolder;
    std::wstring parent = outputFolder.substr(0, sep);
    if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
    return parent;
}

namespace {

// An output written beside the file it will replace, by the handle it is
// written through.
struct Replacement {
    HANDLE locked;  // the old file, held so no later file of the run takes it
    std::wstring temporary, target;
};

std::mutex g_replacementsLock;
std::map<HANDLE, Replacement> g_replacements;
std::atomic<unsigned> g_temporaryCount{0};

// A new file beside `target` in its folder (so that moving it over the
// target is a rename on one volume), marked as ours by its name.
HANDLE CreateBeside(const std::wstring& target, std::wstring* temporary, DWORD* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t suffix[40];
        std::swprintf(suffix, 40, L".~pm%lx-%x.tmp", GetCurrentProcessId(), g_temporaryCount.fetch_add(1));
        *temporary = target + suffix;
        HANDLE h = CreateFileW(Core_ExactPathForm(*temporary).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        *error = GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

}  // namespace

HANDLE Batch_CreateOutputFile(const std::wstring& path, bool overwrite, const OutputTree& tree,
                              FileIdentifier* identifier, FileIdSet* written, DWORD* error) {
    *error = 0;
    const std::wstring exact = Core_ExactPathForm(path);
    HANDLE h = INVALID_HANDLE_VALUE;
    // A file that is there is opened, never created over: whether it may be
    // replaced is decided on the very file the handle holds, so no other
    // program can swap it in between. The handle only reads (the file may
    // be an input of the run, open for reading, through a link) and lets no
    // one write until the new file has replaced it.
    for (int attempt = 0; attempt < 4 && h == INVALID_HANDLE_VALUE; ++attempt) {
        h = CreateFileW(exact.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            FileId id;
            identifier->Identify(h, path, &id);
            written->Insert(std::move(id));
            return h;
        }
        *error = GetLastError();
        if (!overwrite || (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS)) return nullptr;
        h = CreateFileW(exact.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            // Gone meanwhile: it is created after all.
            if (*error != ERROR_FILE_NOT_FOUND) return nullptr;
        }
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    *error = 0;
    FileId id;
    identifier->Identify(h, path, &id);
    // An input of the run lies outside the output tree; a file this run
    // wrote holds the output of an earlier file of the run. A tree that
    // cannot be told keeps everything.
    if (!tree.Known() || written->Contains(id) || !tree.ContainsOpen(h)) {
        *error = ERROR_FILE_EXISTS;
        CloseHandle(h);
        return nullptr;
    }
    // What cannot be written in place is not replaced either.
    if ((id.attributes & FILE_ATTRIBUTE_READONLY) || (id.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = ERROR_ACCESS_DENIED;
        CloseHandle(h);
        return nullptr;
    }
    std::wstring temporary;
    HANDLE beside = CreateBeside(path, &temporary, error);
    if (!beside) {
        CloseHandle(h);
        return nullptr;
    }
    // Moved over the target, the new file answers to its name.
    FileId made;
    identifier->Identify(beside, path, &made);
    made.path = path;
    try {
        std::lock_guard<std::mutex> lock(g_replacementsLock);
        g_replacements[beside] = Replacement{h, temporary, path};
    } catch (...) {
        CloseHandle(beside);
        DeleteFileW(Core_ExactPathForm(temporary).c_str());
        CloseHandle(h);
        throw;
    }
    written->Insert(std::move(made));
    return beside;
}

bool Batch_FinishOutputFile(HANDLE file, bool succeeded, DWORD* error) {
    *error = 0;
    if (!file) return true;
    Replacement r;
    bool replacing = false;
    {
        std::lock_guard<std::mutex> lock(g_replacementsLock);
        auto it = g_replacements.find(file);
        if (it != g_replacements.end()) {
            r = std::move(it->second);
            g_replacements.erase(it);
            replacing = true;
        }
    }
    CloseHandle(file);
    if (!replacing) return true;
    // The old file must be closed before anything may take its name.
    CloseHandle(r.locked);
    const std::wstring temporary = Core_ExactPathForm(r.temporary);
    if (succeeded && MoveFileExW(temporary.c_str(), Core_ExactPathForm(r.target).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    if (succeeded) *error = GetLastError();
    DeleteFileW(temporary.c_str());
    return !succeeded;
}
