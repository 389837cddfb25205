#include "batch/output_paths.h"

#include "makerlibs/pmpath.h"

#include <cstring>
#include <vector>

bool Batch_WalkStart(const char* entry, char* out, size_t size) {
    size_t n = std::strlen(entry);
    if (n == 2 && entry[1] == ':') {
        if (!PmPath_Copy(out, size, entry)) return false;
        return PmPath_Append(out, size, "\\*");
    }
    if (PmPath_IsDriveRoot(entry)) {
        if (!PmPath_Copy(out, size, entry)) return false;
        return PmPath_Append(out, size, "*");
    }
    return PmPath_Copy(out, size, entry);
}

namespace {

bool IsSepW(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveRootW(const std::wstring& p) { return p.size() == 3 && p[1] == L':' && IsSepW(p[2]); }

void DropTrailingSeparatorsW(std::wstring* p) {
    while (!p->empty() && IsSepW(p->back()) && !IsDriveRootW(*p)) p->pop_back();
}

wchar_t FoldW(wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; }

bool SamePrefixW(const std::wstring& a, const std::wstring& b, size_t n) {
    if (a.size() < n || b.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = a[i] == L'/' ? L'\\' : FoldW(a[i]);
        wchar_t y = b[i] == L'/' ? L'\\' : FoldW(b[i]);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::wstring Batch_BaseFolderW(const std::wstring& folder, int depth) {
    std::vector<size_t> at;
    for (size_t i = 0; i < folder.size(); ++i)
        if (folder[i] == L'\\') at.push_back(i);
    if (at.empty() || depth < 0) return std::wstring();
    size_t k = size_t(depth) + 1;
    size_t cut = k <= at.size() ? at[at.size() - k] : at.front();
    return folder.substr(0, cut);
}

std::wstring Batch_OutputFolderW(const std::wstring& outputFolder, const std::wstring& baseFolder,
                                 const std::wstring& path) {
    std::wstring out = outputFolder;
    DropTrailingSeparatorsW(&out);
    size_t n = baseFolder.size();
    bool underBase = n > 0 && path.size() > n && SamePrefixW(path, baseFolder, n) && path[n] == L'\\';
    if (underBase) {
        size_t last = path.find_last_of(L'\\');
        // The sub-path from the base's separator to the file's own; empty
        // for a file directly in the base folder.
        std::wstring sub = path.substr(n, last - n);
        if (!sub.empty()) {
            if (IsSepW(out.empty() ? L'\0' : out.back())) sub.erase(0, 1);  // a drive root ends in one
            out += sub;
        }
    }
    DropTrailingSeparatorsW(&out);
    return out;
}

std::wstring Batch_OutputNameW(const std::wstring& fileName, const std::wstring& extension) {
    size_t dot = fileName.find_last_of(L'.');
    return (dot == std::wstring::npos ? fileName : fileName.substr(0, dot)) + extension;
}

bool Batch_PathInside(const std::wstring& path, const std::wstring& root) {
    std::wstring r = root;
    while (!r.empty() && IsSepW(r.back())) r.pop_back();
    if (r.empty() || !SamePrefixW(path, r, r.size())) return false;
    return path.size() == r.size() || IsSepW(path[r.size()]);
}

bool Batch_IsDeviceName(const std::wstring& name) {
    // The system looks at the name up to its first dot, without the blanks
    // before that dot.
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    if (base.size() != 3 && base.size() != 4) return false;
    std::wstring upper;
    for (wchar_t c : base) upper += FoldW(c);
    if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL") return true;
    return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
           upper[3] >= L'1' && upper[3] <= L'9';
}
