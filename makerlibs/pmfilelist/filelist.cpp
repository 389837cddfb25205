// The command line as a list of paths. Quotes only group: a backslash never
// escapes a quote, because the shell passes a quoted drive root as "D:\"
// and a folder as "C:\My Photos\" with the separator right before the
// closing quote. Blank, tab and the quote lie below 0x40, where no code page
// 932 trail byte lies, so the byte-wise scan never splits a character.
#include "makerlibs/pmfilelist.h"

#include "makerlibs/pmheap.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFilledMark = 0x464C5354;
constexpr uint32_t kWideMark = 0x464C5357;  // filled, with wide texts

template <class Char>
bool IsBlank(Char c) { return c == ' ' || c == '\t'; }

// Walks the items of the line; with `out` set, writes each item's text there
// (terminated) and its start into `paths`. Returns the number of non-empty
// items; `bytes` gets the text bytes they need, terminators included.
template <class Char>
size_t ScanItems(const Char* line, bool keepEmpty, Char* out, Char** paths, size_t* bytes) {
    size_t count = 0, used = 0;
    const Char* p = line;
    for (;;) {
        while (IsBlank(*p)) ++p;
        if (!*p) break;
        size_t begin = used;
        bool quoted = false, hadQuote = false;
        for (; *p && (quoted || !IsBlank(*p)); ++p) {
            if (*p == '"') {
                quoted = !quoted;  // an unbalanced quote runs to the end of the line
                hadQuote = true;
                continue;
            }
            if (out) out[used] = *p;
            ++used;
        }
        if (used == begin && !(keepEmpty && hadQuote)) continue;  // "" names nothing
        if (out) {
            out[used] = '\0';
            paths[count] = out + begin;
        }
        ++used;
        ++count;
    }
    *bytes = used;
    return count;
}

}  // namespace

int FileList_FromCommandLine(int mode, int reserved, const char* commandLine, FileList* list) {
    if (!list) return 0;
    // A record filled before would leak its block otherwise.
    if (list->Private1 == kFilledMark || list->Private1 == kWideMark) FileList_Free(list);
    *list = FileList{};
    if (!commandLine) return 0;
    size_t bytes = 0;
    bool keepEmpty = (mode & kFileListKeepEmpty) != 0;
    size_t count = ScanItems<char>(commandLine, keepEmpty, nullptr, nullptr, &bytes);
    if (count == 0) return 0;
    // The items never outnumber or outgrow the line, so neither size
    // overflows; the record counts in 32 bits.
    if (count > 0x7FFFFFFF) return 0;
    // One block: the pointer array, then the texts.
    auto paths = static_cast<char**>(PmHeap_Alloc(count * sizeof(char*) + bytes));
    if (!paths) return 0;
    char* texts = reinterpret_cast<char*>(paths + count);
    ScanItems<char>(commandLine, keepEmpty, texts, paths, &bytes);
    list->Private0 = uint32_t(count);
    list->Private1 = kFilledMark;
    list->Count = int32_t(count);
    list->Paths = paths;
    return list->Count;
}

void FileList_Free(FileList* list) {
    if (!list) return;
    PmHeap_Free(list->Paths);
    *list = FileList{};
}

int FileList_FromCommandLineW(int mode, const wchar_t* commandLine, FileList* list, FileListNarrow narrow) {
    if (!list) return 0;
    if (list->Private1 == kFilledMark || list->Private1 == kWideMark) FileList_Free(list);
    *list = FileList{};
    if (!commandLine || !narrow) return 0;
    size_t chars = 0;
    bool keepEmpty = (mode & kFileListKeepEmpty) != 0;
    size_t count = ScanItems<wchar_t>(commandLine, keepEmpty, nullptr, nullptr, &chars);
    if (count == 0 || count > 0x7FFFFFFF) return 0;
    std::wstring texts(chars, L'\0');
    std::vector<wchar_t*> items(count);
    ScanItems<wchar_t>(commandLine, keepEmpty, texts.data(), items.data(), &chars);
    return FileList_FromWideItems(int(count), items.data(), list, narrow);
}

int FileList_FromWideItems(int count, const wchar_t* const* items, FileList* list, FileListNarrow narrow) {
    if (!list) return 0;
    if (list->Private1 == kFilledMark || list->Private1 == kWideMark) FileList_Free(list);
    *list = FileList{};
    if (count <= 0 || !items || !narrow) return 0;
    std::vector<std::string> narrowTexts;
    size_t wideChars = 0, narrowBytes = 0;
    for (int i = 0; i < count; ++i) {
        narrowTexts.push_back(narrow(items[i]));
        wideChars += std::wcslen(items[i]) + 1;
        narrowBytes += narrowTexts.back().size() + 1;
    }
    // One block: the narrow pointers, the wide pointers, the wide texts,
    // then the narrow ones; freed as any list is.
    size_t n = size_t(count);
    size_t size = 2 * n * sizeof(void*) + wideChars * sizeof(wchar_t) + narrowBytes;
    auto block = static_cast<char*>(PmHeap_Alloc(size));
    if (!block) return 0;
    auto paths = reinterpret_cast<char**>(block);
    auto wides = reinterpret_cast<wchar_t**>(block + n * sizeof(void*));
    auto wideText = reinterpret_cast<wchar_t*>(block + 2 * n * sizeof(void*));
    char* narrowText = reinterpret_cast<char*>(wideText + wideChars);
    for (size_t i = 0; i < n; ++i) {
        size_t w = std::wcslen(items[i]) + 1;
        std::memcpy(wideText, items[i], w * sizeof(wchar_t));
        wides[i] = wideText;
        wideText += w;
        std::memcpy(narrowText, narrowTexts[i].c_str(), narrowTexts[i].size() + 1);
        paths[i] = narrowText;
        narrowText += narrowTexts[i].size() + 1;
    }
    list->Private0 = uint32_t(n);
    list->Private1 = kWideMark;
    list->Count = int32_t(n);
    list->Paths = paths;
    return list->Count;
}

const wchar_t* FileList_WidePath(const FileList* list, int index) {
    if (!list || list->Private1 != kWideMark || !list->Paths || index < 0 || uint32_t(index) >= list->Private0)
        return nullptr;
    auto wides = reinterpret_cast<wchar_t* const*>(reinterpret_cast<const char*>(list->Paths) +
                                                   size_t(list->Private0) * sizeof(void*));
    return wides[index];
}
