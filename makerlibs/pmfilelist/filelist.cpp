// The command line as a list of paths. Quotes only group: a backslash never
// escapes a quote, because the shell passes a quoted drive root as "D:\"
// and a folder as "C:\My Photos\" with the separator right before the
// closing quote. Blank, tab and the quote lie below 0x40, where no code page
// 932 trail byte lies, so the byte-wise scan never splits a character.
#include "makerlibs/pmfilelist.h"

#include "makerlibs/pmheap.h"

#include <cstring>

namespace {

constexpr uint32_t kFilledMark = 0x464C5354;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Walks the items of the line; with `out` set, writes each item's text there
// (terminated) and its start into `paths`. Returns the number of non-empty
// items; `bytes` gets the text bytes they need, terminators included.
size_t ScanItems(const char* line, bool keepEmpty, char* out, char** paths, size_t* bytes) {
    size_t count = 0, used = 0;
    const char* p = line;
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
    if (list->Private1 == kFilledMark) FileList_Free(list);
    *list = FileList{};
    if (!commandLine) return 0;
    size_t bytes = 0;
    bool keepEmpty = (mode & kFileListKeepEmpty) != 0;
    size_t count = ScanItems(commandLine, keepEmpty, nullptr, nullptr, &bytes);
    if (count == 0) return 0;
    // The items never outnumber or outgrow the line, so neither size
    // overflows; the record counts in 32 bits.
    if (count > 0x7FFFFFFF) return 0;
    // One block: the pointer array, then the texts.
    auto paths = static_cast<char**>(PmHeap_Alloc(count * sizeof(char*) + bytes));
    if (!paths) return 0;
    char* texts = reinterpret_cast<char*>(paths + count);
    ScanItems(commandLine, keepEmpty, texts, paths, &bytes);
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
