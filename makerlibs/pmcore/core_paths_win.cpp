// PMCORE: full paths, path kinds and folder creation. Paths are code page
// 932 text: every search for a separator steps over double-byte characters,
// since the trail byte of "表" or "ソ" is the backslash.
#include "makerlibs/pmcore.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace {

// The full path of `path` as the system forms it; false when the system
// refuses the path. The wide function is used because the ANSI one stops at
// MAX_PATH; text that does not convert both ways exactly is refused, since
// a changed byte names another file.
bool FullPathOf(const char* path, std::string* full) {
    int wideChars = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (wideChars <= 0) return false;
    std::wstring wide(size_t(wideChars), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide.data(), wideChars) != wideChars) return false;
    // The current folder may change between the size query and the call
    // (another thread), hence the loop.
    std::wstring out(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD n = GetFullPathNameW(wide.c_str(), DWORD(out.size()), out.data(), nullptr);
        if (n == 0) return false;
        if (n < out.size()) {
            out.resize(n);
            BOOL lossy = FALSE;
            int bytes = WideCharToMultiByte(CP_ACP, 0, out.c_str(), int(n), nullptr, 0, nullptr, &lossy);
            if (bytes <= 0 || lossy) return false;
            full->assign(size_t(bytes), '\0');
            WideCharToMultiByte(CP_ACP, 0, out.c_str(), int(n), full->data(), bytes, nullptr, nullptr);
            return true;
        }
        out.assign(n, L'\0');
    }
    return false;
}

DWORD AttributesOf(const char* path) { return GetFileAttributesA(path); }

bool IsSepW(wchar_t c) { return c == L'\\' || c == L'/'; }

bool WideFullPathOf(const wchar_t* path, std::wstring* full) {
    std::wstring out(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD n = GetFullPathNameW(path, DWORD(out.size()), out.data(), nullptr);
        if (n == 0) return false;
        if (n < out.size()) {
            out.resize(n);
            *full = std::move(out);
            return true;
        }
        out.assign(n, L'\0');
    }
    return false;
}

// "C:\" (3), "\\server\share\" (through the separator after the share), the
// same behind the long-path prefix; 0 for anything else, which the folder
// creation refuses.
size_t WideRootLength(const std::wstring& p) {
    size_t skip = 0;
    bool unc = false;
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        skip = 8;
        unc = true;
    } else if (p.compare(0, 4, L"\\\\?\\") == 0) {
        skip = 4;
    } else if (p.size() >= 2 && IsSepW(p[0]) && IsSepW(p[1])) {
        if (p.size() > 2 && (p[2] == L'?' || p[2] == L'.')) return 0;
        skip = 2;
        unc = true;
    }
    if (!unc) return (p.size() >= skip + 3 && p[skip + 1] == L':' && IsSepW(p[skip + 2])) ? skip + 3 : 0;
    size_t server = p.find_first_of(L"\\/", skip);
    if (server == std::wstring::npos || server == skip) return 0;
    size_t share = p.find_first_of(L"\\/", server + 1);
    if (share == server + 1) return 0;
    return share == std::wstring::npos ? p.size() : share + 1;
}

// Characters the file system never accepts in a name; a colon is allowed
// only as the drive's. Names holding them are refused rather than passed on.
bool HasInvalidNameChar(const std::wstring& p, size_t rootLength) {
    for (size_t i = rootLength; i < p.size(); ++i) {
        wchar_t c = p[i];
        if (c < 0x20 || std::wcschr(L"*?\"<>|:", c)) return true;
    }
    return false;
}

}  // namespace

int Core_GetFullPath(const char* path, int, int bufferSize, char* out, const char** name) {
    if (name) *name = nullptr;
    if (!path || !*path) return 0;
    std::string full;
    if (!FullPathOf(path, &full)) return 0;
    if (out) {
        if (bufferSize <= 0 || full.size() >= size_t(bufferSize)) return 0;
        std::memcpy(out, full.c_str(), full.size() + 1);  // `out` may be `path`: `full` is a copy
    }
    if (name) {
        // Inside the text the caller holds now: the full path when it was
        // written over `path`.
        const char* last = PmPath_NameStart(path);
        if (*last && std::strcmp(last, ".") && std::strcmp(last, "..")) *name = last;
    }
    return 1;
}

int Core_GetPathKind(const char* path) {
    if (!path || !*path) return 0;
    DWORD attr = AttributesOf(path);
    if (attr == INVALID_FILE_ATTRIBUTES) return 0;
    return (attr & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

int Core_CreateFolder(int, const char* path, int) {
    if (!path || !*path) return 0;
    std::string full;
    if (!FullPathOf(path, &full)) return 0;
    std::wstring wide;
    if (!Core_WideExact(full.c_str(), &wide)) return 0;
    return Core_CreateFolderW(wide.c_str());
}

int Core_CreateFolderW(const wchar_t* path) {
    if (!path || !*path) return 0;
    std::wstring full;
    // The long-path form is taken as it is: forming its full path again
    // would strip a trailing dot or blank from a name found on disk.
    bool exact = std::wcsncmp(path, L"\\\\?\\", 4) == 0;
    if (exact)
        full = path;
    else if (!WideFullPathOf(path, &full))
        return 0;
    size_t root = WideRootLength(full);
    // The system hands back a drive or share root; anything else is refused.
    if (root < 3 || HasInvalidNameChar(full, root)) return 0;
    while (full.size() > root && IsSepW(full.back())) full.pop_back();

    DWORD attr = GetFileAttributesW(full.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) return (attr & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    // The folder functions stop at MAX_PATH - 12 characters (room for an
    // 8.3 name inside). Refused before anything is made, so a path that
    // cannot be completed leaves no half-built chain of parents behind.
    if (!exact && full.size() >= MAX_PATH - 12) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }

    // Each prefix ending before a separator, then the whole path.
    size_t p = root;
    for (;;) {
        while (p < full.size() && !IsSepW(full[p])) ++p;
        std::wstring prefix = full.substr(0, p);
        attr = GetFileAttributesW(prefix.c_str());
        if (attr == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
                DWORD err = GetLastError();
                // Another thread may have made it meanwhile: that is success.
                attr = GetFileAttributesW(prefix.c_str());
                if (attr == INVALID_FILE_ATTRIBUTES) {
                    SetLastError(err);
                    return -1;
                }
            }
        }
        if (attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY)) return 0;  // a file in the way
        while (p < full.size() && IsSepW(full[p])) ++p;  // doubled separators
        if (p >= full.size()) return 1;
    }
}
