#include "entry/image_types.h"
#include "entry/export_guard.h"

namespace {

struct WordRow {
    const char* word;
    int code;
};
// Two words name JPEG, Photo CD and HEIF; a lookup stops at the first match.
constexpr WordRow kWords[] = {
    {"bitmap", 1}, {"jpeg", 3}, {"jpg", 3}, {"tiff", 4},
    {"gif", 5},    {"png", 6},  {"photoCD", 7}, {"pcd", 7},
    {"heif", 8},   {"heic", 8}, {"avif", 9},
    {"webp", 10},
};

// The reverse direction gives the long form.
constexpr WordRow kStrings[] = {
    {"bitmap", 1}, {"jpeg", 3}, {"tiff", 4}, {"gif", 5}, {"png", 6}, {"photoCD", 7},
    {"heif", 8},   {"avif", 9},
    {"webp", 10},
};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Only ASCII letters fold: a code page 932 byte never equals a letter of the
// table, so no lead-byte care is needed here.
bool EqualNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (AsciiLower(*a) != AsciiLower(*b)) return false;
    return *a == *b;
}

}  // namespace

static int TypeOfWord(const char* word) {
    if (!word) return 0;
    for (const WordRow& row : kWords)
        if (EqualNoCase(word, row.word)) return row.code;
    return 0;
}

extern "C" int PM_API pmImageConvert_GetImageType(const char* word) {
    return Export_Guard<int>(0, [&] { return TypeOfWord(word); });
}

static const char* WordOfType(int code) {
    for (const WordRow& row : kStrings)
        if (row.code == code) return row.word;
    return nullptr;
}

extern "C" const char* PM_API pmImageConvert_GetImageTypeString(int code) {
    return Export_Guard<const char*>(nullptr, [&] { return WordOfType(code); });
}
