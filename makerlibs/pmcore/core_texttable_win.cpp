// PMCORE: reading an open text file into a table; the splitting itself is
// the pure TextTable_Parse.
#include "makerlibs/pmcore.h"
#include "makerlibs/pmheap.h"

namespace {
constexpr DWORD kReadChunk = 64 * 1024;
}

int Core_ReadTextTable(HANDLE file, int columns, TextTable* table) {
    if (!table || columns <= 0 || columns > kTextTableMaxColumns) return kTextTableBadArgument;
    if (table->Rows != 0 || table->RowCells) return kTextTableBadArgument;
    if (!file || file == INVALID_HANDLE_VALUE) return kTextTableReadError;

    // Read to the end in chunks rather than by the reported size: the file
    // may grow or shrink while it is read, and pipes have no size.
    char* text = nullptr;
    size_t used = 0, capacity = 0;
    bool complete = true;
    int result = kTextTableOk;
    for (;;) {
        if (used == capacity) {
            // One byte past the limit tells a file at the limit from a larger one.
            size_t want = capacity ? capacity * 2 : 2 * size_t(kReadChunk);
            if (want > kTextTableMaxBytes + 1) want = kTextTableMaxBytes + 1;
            char* grown = static_cast<char*>(PmHeap_Realloc(text, want));
            if (!grown) {
                result = kTextTableNoMemory;
                break;
            }
            text = grown;
            capacity = want;
        }
        DWORD room = DWORD(capacity - used < kReadChunk ? capacity - used : kReadChunk);
        DWORD got = 0;
        if (!ReadFile(file, text + used, room, &got, nullptr)) {
            result = kTextTableReadError;
            complete = false;
            break;
        }
        if (got == 0) break;
        used += got;
        if (used > kTextTableMaxBytes) {
            result = kTextTableTooLarge;
            break;
        }
    }
    // A file past the limit is not a table: no rows rather than a cut one.
    // What a failed read delivered is split, so rows before the failure stay.
    if (result == kTextTableOk || result == kTextTableReadError) {
        int parsed = TextTable_Parse(text, used, columns, complete, table);
        if (result == kTextTableOk) result = parsed;
    }
    PmHeap_Free(text);
    return result;
}

void Core_FreeTextTable(TextTable* table) { TextTable_Free(table); }
