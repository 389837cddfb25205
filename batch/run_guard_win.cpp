#include "batch/run_guard.h"

#include "batch/output_paths.h"
#include "makerlibs/pmcore.h"

namespace {

HANDLE OpenForIdentity(const std::wstring& path) {
    // No access rights asked: only identity and name are read, which also
    // works for folders and for files another program holds open.
    return CreateFileW(Core_LongPathForm(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// "\\?\C:\x" and "\\?\UNC\s\x" as "C:\x" and "\\s\x", so that a resolved
// path compares with a resolved root whatever form the system chose.
std::wstring WithoutPrefix(std::wstring p) {
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + p.substr(7);
    if (p.compare(0, 4, L"\\\\?\\") == 0) return p.substr(4);
    return p;
}

bool IsAllDigits(const std::wstring& s) {
    for (wchar_t c : s)
        if (c < L'0' || c > L'9') return false;
    return !s.empty();
}

}  // namespace

bool Batch_IdentifyHandle(HANDLE file, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    *id = FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

namespace {

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

}  // namespace

bool FileIdentifier::Identify(HANDLE file, const std::wstring& path, FileId* id) {
    std::wstring folder = FolderOf(path);
    QueryInformationFile query = IndexQuery();
    if (known_ && query && !folder.empty() &&
        CompareStringOrdinal(folder.c_str(), int(folder.size()), folder_.c_str(), int(folder_.size()), TRUE) ==
            CSTR_EQUAL) {
        struct {
            void* pointer;
            ULONG_PTR information;
        } status{};
        LARGE_INTEGER index{};
        if (query(file, &status, &index, sizeof index, kFileInternalInformation) >= 0) {
            *id = FileId{volume_, DWORD(uint64_t(index.QuadPart) >> 32), DWORD(index.QuadPart & 0xFFFFFFFF)};
            return true;
        }
    }
    if (!Batch_IdentifyHandle(file, id)) return false;
    folder_ = folder;
    volume_ = id->volume;
    known_ = !folder.empty();
    return true;
}

bool Batch_ResolvedPath(HANDLE file, std::wstring* out) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD n = GetFinalPathNameByHandleW(file, buffer.data(), DWORD(buffer.size()), FILE_NAME_NORMALIZED);
        if (n == 0) return false;
        if (n < buffer.size()) {
            buffer.resize(n);
            *out = WithoutPrefix(buffer);
            return true;
        }
        buffer.assign(n + 1, L'\0');
    }
    return false;
}

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

HANDLE Batch_CreateOutputFile(const std::wstring& path, bool overwrite, const OutputTree& tree,
                              FileIdentifier* identifier, FileIdSet* written, DWORD* error) {
    *error = 0;
    // Opened, not created always: whether an existing file may be replaced
    // is decided on the very file the handle holds, so no other program can
    // swap it in between.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, overwrite ? OPEN_ALWAYS : CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    bool existed = overwrite && GetLastError() == ERROR_ALREADY_EXISTS;
    FileId id;
    bool identified = identifier->Identify(h, path, &id);
    if (existed) {
        // An input of the run lies outside the output tree; a file this run
        // wrote holds the output of an earlier file of the run.
        bool keep = (identified && written->Contains(id)) || (tree.Known() && !tree.ContainsOpen(h));
        LARGE_INTEGER zero{};
        if (keep || !SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
            *error = keep ? ERROR_FILE_EXISTS : GetLastError();
            CloseHandle(h);
            return nullptr;
        }
    }
    if (identified) written->Insert(id);
    return h;
}
