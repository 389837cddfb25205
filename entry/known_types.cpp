#include "entry/known_types.h"

#include <cstdio>
#include <vector>

namespace {

bool Contains(const int* list, int count, int code) {
    for (int i = 0; i < count; ++i)
        if (list[i] == code) return true;
    return false;
}

// Reads "1, 3,4" into codes; false at anything else, so that a damaged
// key never reads as having known every type (which would hide new ones).
bool ParseCodes(const char* text, std::vector<int>* codes) {
    const char* s = text;
    for (;;) {
        while (*s == ' ' || *s == '\t') ++s;
        if (*s < '0' || *s > '9') return false;
        int v = 0;
        for (; *s >= '0' && *s <= '9'; ++s) {
            v = v * 10 + (*s - '0');
            if (v > 9999) return false;
        }
        codes->push_back(v);
        while (*s == ' ' || *s == '\t') ++s;
        if (*s == '\0') return true;
        if (*s++ != ',') return false;
    }
}

}  // namespace

bool FormatKnownTypes(const int* types, int count, char* out, size_t size) {
    if (!out || size == 0) return false;
    out[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        int n = std::snprintf(out + used, size - used, i ? ",%d" : "%d", types[i]);
        if (n < 0 || size_t(n) >= size - used) {
            out[0] = '\0';
            return false;
        }
        used += size_t(n);
    }
    return true;
}

void AddTypesTheFileDidNotKnow(const char* known, const int* library, int libraryCount, int* selected,
                               int* selectedCount, int capacity) {
    if (!library || !selected || !selectedCount) return;
    std::vector<int> codes;
    if (!known || !ParseCodes(known, &codes)) codes.assign(std::begin(kFirstReleaseTypes), std::end(kFirstReleaseTypes));
    int count = *selectedCount < 0 ? 0 : *selectedCount > capacity ? capacity : *selectedCount;
    for (int i = 0; i < libraryCount && count < capacity; ++i) {
        int type = library[i];
        if (Contains(codes.data(), int(codes.size()), type) || Contains(selected, count, type)) continue;
        selected[count++] = type;
    }
    *selectedCount = count;
}

bool SelectsAnyOf(const int* selected, int selectedCount, int capacity, const int* library, int libraryCount) {
    if (!selected || !library) return false;
    int count = selectedCount < 0 ? 0 : selectedCount > capacity ? capacity : selectedCount;
    for (int i = 0; i < count; ++i)
        if (selected[i] != 0 && Contains(library, libraryCount, selected[i])) return true;
    return false;
}
