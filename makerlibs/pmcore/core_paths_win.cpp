// PMCORE: full paths, path kinds and folder creation. Paths are code page
// 932 text: every search for a separator steps over double-byte characters,
// since the trail byte of "表" or "ソ" is the backslash.
#include "makerlibs/pmcore.h"

#include <cstring>
#include <string>

namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

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

// Characters the file system never accepts in a name; a colon is allowed
// only as the drive's. Names holding them are refused rather than passed on.
bool HasInvalidNameChar(const char* p, size_t rootLength) {
    for (const char* q = p + rootLength; *q; q = Cp932_Next(q)) {
        unsigned char c = static_cast<unsigned char>(*q);
        if (c < 0x20 || std::strchr("*?\"<>|:", c)) return true;
    }
    return false;
}

DWORD AttributesOf(const char* path) { return GetFileAttributesA(path); }

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
    size_t root = PmPath_RootLength(full.c_str());
    // The system hands back a drive or share root; anything else is refused.
    if (root < 3 || HasInvalidNameChar(full.c_str(), root)) return 0;
    while (full.size() > root && PmPath_EndsWithSeparator(full.c_str())) full.pop_back();

    DWORD attr = AttributesOf(full.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) return (attr & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    // The ANSI folder functions stop at MAX_PATH - 12 characters (room for an
    // 8.3 name inside). Refused before anything is made, so a path that
    // cannot be completed leaves no half-built chain of parents behind.
    int chars = MultiByteToWideChar(CP_ACP, 0, full.c_str(), -1, nullptr, 0);
    if (chars <= 0 || chars - 1 >= MAX_PATH - 12) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }

    // Each prefix ending before a separator, then the whole path.
    char* text = full.data();
    const char* p = text + root;
    for (;;) {
        while (*p && !IsSep(*p)) p = Cp932_Next(p);
        char* cut = text + (p - text);
        char saved = *cut;
        *cut = '\0';
        attr = AttributesOf(text);
        if (attr == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryA(text, nullptr)) {
                DWORD err = GetLastError();
                // Another thread may have made it meanwhile: that is success.
                attr = AttributesOf(text);
                if (attr == INVALID_FILE_ATTRIBUTES) {
                    SetLastError(err);
                    return -1;
                }
            }
        }
        if (attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY)) return 0;  // a file in the way
        *cut = saved;
        if (!saved) return 1;
        ++p;
        while (IsSep(*p)) ++p;  // doubled separators
        if (!*p) return 1;
    }
}
