#include "makerlibs/pmpath.h"

#include <cstring>

namespace {
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
}  // namespace

const char* Cp932_Next(const char* p) {
    if (!*p) return p;
    if (Cp932_IsLeadByte(static_cast<unsigned char>(*p)) && p[1]) return p + 2;
    return p + 1;
}

const char* PmPath_FindChar(const char* text, int ch) {
    for (const char* p = text; *p; p = Cp932_Next(p))
        if (static_cast<unsigned char>(*p) == static_cast<unsigned char>(ch)) return p;
    return nullptr;
}

const char* PmPath_FindLastChar(const char* text, int ch) {
    const char* last = nullptr;
    for (const char* p = text; *p; p = Cp932_Next(p))
        if (static_cast<unsigned char>(*p) == static_cast<unsigned char>(ch)) last = p;
    return last;
}

bool PmPath_EndsWithSeparator(const char* text) {
    const char* lastChar = nullptr;
    for (const char* p = text; *p; p = Cp932_Next(p)) lastChar = p;
    return lastChar && Cp932_Next(lastChar) == lastChar + 1 && IsSeparator(*lastChar);
}

const char* PmPath_NameStart(const char* path) {
    const char* start = path;
    for (const char* p = path; *p; p = Cp932_Next(p))
        if (IsSeparator(*p) || (*p == ':' && p == path + 1)) start = p + 1;
    return start;
}

namespace {
// "server\share\" from `p` on; 0 when a part is missing.
size_t UncRootLength(const char* path, size_t serverStart) {
    const char* q = path + serverStart;
    for (int part = 0; part < 2; ++part) {
        const char* start = q;
        while (*q && !IsSeparator(*q)) q = Cp932_Next(q);
        if (q == start) return 0;
        if (*q) ++q;
    }
    return size_t(q - path);
}
}  // namespace

size_t PmPath_RootLength(const char* path) {
    size_t skip = 0;
    if (!std::strncmp(path, "\\\\?\\", 4)) {
        if (!std::strncmp(path + 4, "UNC\\", 4)) return UncRootLength(path, 8);
        skip = 4;
    }
    // A drive letter is ASCII, so no lead byte can stand before the colon.
    const char* d = path + skip;
    if (((d[0] | 0x20) >= 'a' && (d[0] | 0x20) <= 'z') && d[1] == ':') return skip + (IsSeparator(d[2]) ? 3 : 2);
    if (skip) return 0;
    if (IsSeparator(path[0]) && IsSeparator(path[1])) return UncRootLength(path, 2);
    return IsSeparator(path[0]) ? 1 : 0;
}

bool PmPath_IsDriveRoot(const char* path) {
    const char* d = std::strncmp(path, "\\\\?\\", 4) ? path : path + 4;
    return ((d[0] | 0x20) >= 'a' && (d[0] | 0x20) <= 'z') && d[1] == ':' && IsSeparator(d[2]) && d[3] == '\0';
}

const char* PmPath_Extension(const char* path) {
    const char* name = PmPath_NameStart(path);
    const char* dot = PmPath_FindLastChar(name, '.');
    return dot ? dot : name + std::strlen(name);
}

bool PmPath_Copy(char* dst, size_t size, const char* src) {
    if (size == 0) return false;
    size_t n = std::strlen(src);
    if (n >= size) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src, n + 1);
    return true;
}

bool PmPath_Append(char* dst, size_t size, const char* src) {
    size_t have = strnlen(dst, size);
    size_t n = std::strlen(src);
    if (have >= size || n >= size - have) return false;
    std::memcpy(dst + have, src, n + 1);
    return true;
}

int PmPath_CompareNoCase(const char* a, const char* b, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
        if (Cp932_IsLeadByte(ca) && ca == cb && i + 1 < n) {
            // A double-byte character compares exactly, trail byte included.
            if (a[i + 1] != b[i + 1]) return static_cast<unsigned char>(a[i + 1]) - static_cast<unsigned char>(b[i + 1]);
            if (!a[i + 1]) return 0;
            i += 2;
            continue;
        }
        int la = static_cast<unsigned char>(AsciiLower(char(ca))), lb = static_cast<unsigned char>(AsciiLower(char(cb)));
        if (la != lb) return la - lb;
        if (!ca) return 0;
        ++i;
    }
    return 0;
}
