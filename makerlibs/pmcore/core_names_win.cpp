// PMCORE: moving names between the wide API and code page 932 without
// letting the system's best-fit mapping stand one file for another
// ("café" would become "cafe", a yen sign the path separator).
#include "makerlibs/pmcore.h"

#include <cwchar>

bool Core_NarrowExact(const wchar_t* wide, size_t length, std::string* out) {
    out->clear();
    if (length == 0) return true;
    if (length > 0x7FFFFFFF) return false;
    int n = int(length);
    BOOL usedDefault = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, n, nullptr, 0, nullptr, &usedDefault);
    if (bytes <= 0 || usedDefault) return false;
    std::string narrow(size_t(bytes), '\0');
    usedDefault = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, n, narrow.data(), bytes, nullptr, &usedDefault) !=
            bytes ||
        usedDefault)
        return false;
    // Some characters share a code page 932 form with another (the wave
    // dash pairs): only a form that reads back as the same name is exact.
    int back = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), bytes, nullptr, 0);
    if (back != n) return false;
    std::wstring again(size_t(back), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), bytes, again.data(), back);
    if (std::wmemcmp(again.data(), wide, length) != 0) return false;
    *out = std::move(narrow);
    return true;
}

std::string Core_NarrowForDisplay(const wchar_t* wide) {
    std::string out;
    if (!wide) return out;
    if (Core_NarrowExact(wide, std::wcslen(wide), &out)) return out;
    for (const wchar_t* p = wide; *p;) {
        // One character at a time (a surrogate pair is one), so that each
        // that is not exact becomes a single '?'.
        size_t n = (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ? 2 : 1;
        std::string part;
        if (Core_NarrowExact(p, n, &part))
            out += part;
        else
            out += '?';
        p += n;
    }
    return out;
}

bool Core_WideExact(const char* text, std::wstring* out) {
    out->clear();
    if (!text || !*text) return text != nullptr;
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) return false;
    out->assign(size_t(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, out->data(), n) != n) return false;
    out->resize(size_t(n - 1));
    return true;
}

std::wstring Core_LongPathForm(const std::wstring& path) {
    // Short paths keep the form the system normalises ('/', "..").
    if (path.size() < MAX_PATH - 12) return path;
    auto sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && sep(path[2])) return L"\\\\?\\" + path;
    if (path.size() >= 3 && sep(path[0]) && sep(path[1]) && path[2] != L'?' && path[2] != L'.')
        return L"\\\\?\\UNC\\" + path.substr(2);
    return path;
}

std::wstring Core_ExactPathForm(const std::wstring& path) {
    auto sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::wstring p;
    if (path.size() >= 3 && path[1] == L':' && sep(path[2]))
        p = L"\\\\?\\" + path;
    else if (path.size() >= 3 && sep(path[0]) && sep(path[1]) && path[2] != L'?' && path[2] != L'.')
        p = L"\\\\?\\UNC\\" + path.substr(2);
    else
        return path;
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    return p;
}
