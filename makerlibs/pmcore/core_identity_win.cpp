// PMCORE: telling files apart by what they are. A path can be spelled many
// ways (links, junctions, mapped drives, case), and an id can lie (volumes
// that give every file index 0, or reuse indices), so neither alone decides
// that two names are one file.
#include "makerlibs/pmcore.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<int> g_fault{kCoreIdsReal};

// FILE_ID_INFO, declared here: the headers offer it only to newer targets.
struct IdInfo {
    ULONGLONG volume;
    BYTE id[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = FILE_INFO_BY_HANDLE_CLASS(18);

bool AllBytes(const uint8_t* p, size_t n, uint8_t value) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value) return false;
    return true;
}

std::wstring WithoutPrefix(std::wstring p) {
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + p.substr(7);
    if (p.compare(0, 4, L"\\\\?\\") == 0) return p.substr(4);
    return p;
}

std::wstring Folded(const std::wstring& p) {
    std::wstring f = p;
    if (!f.empty()) CharUpperBuffW(f.data(), DWORD(f.size()));
    return f;
}

std::string IdKey(const CoreFileId& id) {
    std::string key(reinterpret_cast<const char*>(&id.volume), sizeof id.volume);
    key.append(reinterpret_cast<const char*>(id.id), sizeof id.id);
    return key;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Several names of one file share everything the file itself holds; two
// files that merely share a recycled index practically never do.
bool LinkedAlike(const CoreFileId& a, const CoreFileId& b) {
    return a.usable && b.usable && a.volume == b.volume && std::memcmp(a.id, b.id, sizeof a.id) == 0 &&
           a.links > 1 && b.links > 1 && a.size == b.size && SameTime(a.created, b.created) &&
           SameTime(a.written, b.written) && ((a.attributes ^ b.attributes) & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

void Core_SetIdFaultForTest(CoreIdFault fault) { g_fault.store(fault); }

bool Core_ResolvedPath(HANDLE file, std::wstring* out) {
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

bool Core_IdentifyHandle(HANDLE file, bool resolvePath, CoreFileId* out) {
    *out = CoreFileId{};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    out->links = info.nNumberOfLinks;
    out->size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    out->created = info.ftCreationTime;
    out->written = info.ftLastWriteTime;
    out->attributes = info.dwFileAttributes;
    int fault = g_fault.load();
    IdInfo wide{};
    if (fault == kCoreIdsReal && GetFileInformationByHandleEx(file, kFileIdInfo, &wide, sizeof wide) &&
        !AllBytes(wide.id, sizeof wide.id, 0) && !AllBytes(wide.id, sizeof wide.id, 0xFF)) {
        out->volume = wide.volume ? wide.volume : info.dwVolumeSerialNumber;
        std::memcpy(out->id, wide.id, sizeof out->id);
        out->usable = true;
    } else {
        uint64_t index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        if (fault == kCoreIdsZero) index = 0;
        if (fault == kCoreIdsSame) index = 7;
        out->volume = info.dwVolumeSerialNumber;
        std::memcpy(out->id, &index, sizeof index);
        out->usable = index != 0 && index != ~uint64_t(0);
    }
    if (resolvePath) Core_ResolvedPath(file, &out->resolved);
    return true;
}

bool Core_IdentifyPath(const std::wstring& path, bool resolvePath, CoreFileId* out) {
    HANDLE h = CreateFileW(Core_ExactPathForm(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = Core_IdentifyHandle(h, resolvePath, out);
    CloseHandle(h);
    out->path = path;
    return ok;
}

namespace {

// The resolved path, looked up once.
const std::wstring& ResolvedOf(CoreFileId& id) {
    if (id.resolved.empty() && !id.path.empty()) {
        HANDLE h = CreateFileW(Core_ExactPathForm(id.path).c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            Core_ResolvedPath(h, &id.resolved);
            CloseHandle(h);
        }
        // Asked once: a path that cannot be resolved now will not be later.
        if (id.resolved.empty()) id.path.clear();
    }
    return id.resolved;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && !b.empty() &&
           CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool Core_SameFile(CoreFileId& a, CoreFileId& b) {
    if (LinkedAlike(a, b)) return true;
    return SamePath(ResolvedOf(a), ResolvedOf(b));
}

bool CoreFileIdSet::Contains(CoreFileId& id) {
    if (id.usable) {
        auto range = ids_.equal_range(IdKey(id));
        for (auto it = range.first; it != range.second; ++it)
            if (Core_SameFile(it->second, id)) return true;
        return false;
    }
    const std::wstring& resolved = ResolvedOf(id);
    return !resolved.empty() && paths_.count(Folded(resolved)) != 0;
}

bool CoreFileIdSet::Insert(CoreFileId id) {
    if (Contains(id)) return false;
    if (id.usable)
        ids_.emplace(IdKey(id), std::move(id));
    else if (!id.resolved.empty())
        paths_.insert(Folded(id.resolved));
    return true;
}
