// Which input types a settings file knew about. A file written before a
// type existed could not have ticked it, so the new type is converted until
// the user unticks it; a type the file knew and left unticked stays so. The
// file says what it knew with the KnownImageTypes key: the codes of every
// type the library offered when it was written.
#pragma once

#include <cstddef>

// A file without the key was written by the first release, which knew these.
inline constexpr int kFirstReleaseTypes[] = {1, 3, 4, 5, 6, 7};

// "1,3,4" for the codes given; false (and "") when they do not fit.
bool FormatKnownTypes(const int* types, int count, char* out, size_t size);

// Adds to the selection (`selected`, `*selectedCount` of at most `capacity`
// codes) every type of the library's list that `known` (the key's text;
// null when the file has no key) does not name. A text that is not a list
// of codes names nothing the file can be trusted to have known beyond the
// first release's types.
void AddTypesTheFileDidNotKnow(const char* known, const int* library, int libraryCount, int* selected,
                               int* selectedCount, int capacity);

// Whether the selection (the first `selectedCount` codes, clamped to
// `capacity`) names any type of the library's list: a run with none of them
// can convert nothing.
bool SelectsAnyOf(const int* selected, int selectedCount, int capacity, const int* library, int libraryCount);
