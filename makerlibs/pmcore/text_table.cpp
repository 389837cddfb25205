// Splitting a text file into table cells. The bytes that structure the text
// (comma, tab, double quote, CR, LF) all lie below 0x40, and no code page 932
// trail byte does, so a byte-wise scan never takes half of a double-byte
// character for structure and never cuts one.
#include "makerlibs/pmtexttable.h"

#include "makerlibs/pmheap.h"

#include <cstring>

namespace {

bool IsSeparator(char c) { return c == ',' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// The cell texts of the row being read, back to back, with their offsets.
struct RowScratch {
    char* bytes = nullptr;
    size_t used = 0, capacity = 0;
    size_t* start = nullptr;  // per column; a cell's end is its terminator
    bool* present = nullptr;
    int columns = 0;

    ~RowScratch() {
        PmHeap_Free(bytes);
        PmHeap_Free(start);
        PmHeap_Free(present);
    }
    bool Init(int cols) {
        columns = cols;
        start = static_cast<size_t*>(PmHeap_Alloc(sizeof(size_t) * size_t(cols)));
        present = static_cast<bool*>(PmHeap_Alloc(sizeof(bool) * size_t(cols)));
        return start && present;
    }
    bool Reserve(size_t more) {
        if (capacity - used >= more) return true;
        size_t want = capacity ? capacity : 256;
        while (want - used < more) want *= 2;  // bounded: a row is at most the whole text
        char* grown = static_cast<char*>(PmHeap_Realloc(bytes, want));
        if (!grown) return false;
        bytes = grown;
        capacity = want;
        return true;
    }
};

// Appends one finished row built from the scratch cells.
bool AddRow(TextTable* table, const RowScratch& row, size_t* rowCapacity) {
    size_t cols = size_t(row.columns);
    if (size_t(table->Rows) == *rowCapacity) {
        size_t want = *rowCapacity ? *rowCapacity * 2 : 16;
        auto grown = static_cast<char***>(PmHeap_Realloc(table->RowCells, want * sizeof(char**)));
        if (!grown) return false;
        table->RowCells = grown;
        *rowCapacity = want;
    }
    // One block per row: the cell pointers, then the texts they point to,
    // so a row is freed with one call.
    size_t bytes = cols * sizeof(char*) + row.used;
    auto cells = static_cast<char**>(PmHeap_Alloc(bytes));
    if (!cells) return false;
    char* texts = reinterpret_cast<char*>(cells + cols);
    if (row.used) std::memcpy(texts, row.bytes, row.used);
    for (size_t c = 0; c < cols; ++c) cells[c] = row.present[c] ? texts + row.start[c] : nullptr;
    table->RowCells[table->Rows++] = cells;
    return true;
}

}  // namespace

int TextTable_Parse(const char* text, size_t size, int columns, bool complete, TextTable* table) {
    if (!table || columns <= 0 || columns > kTextTableMaxColumns) return kTextTableBadArgument;
    if (table->Rows != 0 || table->RowCells) return kTextTableBadArgument;  // not zeroed: would leak
    if (size > kTextTableMaxBytes) return kTextTableTooLarge;
    if (size && !text) return kTextTableBadArgument;
    table->Columns = columns;
    size_t rowCapacity = 0;

    RowScratch row;
    if (!row.Init(columns)) return kTextTableNoMemory;
    int result = kTextTableOk;
    size_t pos = 0;
    while (pos < size) {
        if (IsLineEnd(text[pos])) {  // an empty line is no row
            ++pos;
            continue;
        }
        row.used = 0;
        // A row is at most the rest of the text plus one terminator per cell.
        if (!row.Reserve(size - pos + size_t(columns))) return kTextTableNoMemory;
        std::memset(row.present, 0, sizeof(bool) * size_t(columns));
        int cell = 0;
        for (;;) {
            size_t begin = row.used;
            if (pos < size && text[pos] == '"') {
                ++pos;
                for (;;) {
                    if (pos >= size) {
                        result = kTextTableOpenQuote;
                        break;
                    }
                    if (text[pos] == '"') {
                        if (pos + 1 < size && text[pos + 1] == '"') {
                            row.bytes[row.used++] = '"';
                            pos += 2;
                            continue;
                        }
                        ++pos;
                        break;
                    }
                    row.bytes[row.used++] = text[pos++];
                }
            }
            // Unquoted text, or what follows a closing quote (kept as written).
            while (pos < size && !IsSeparator(text[pos]) && !IsLineEnd(text[pos]))
                row.bytes[row.used++] = text[pos++];
            if (cell < columns) {
                row.bytes[row.used++] = '\0';
                row.start[cell] = begin;
                row.present[cell] = true;
            } else {
                row.used = begin;  // cells past the asked count are dropped
            }
            ++cell;
            if (pos < size && IsSeparator(text[pos])) {
                ++pos;
                continue;
            }
            break;
        }
        bool terminated = pos < size;  // the cell loop stops only at a line end or the end
        if (terminated) {
            if (text[pos] == '\r' && pos + 1 < size && text[pos + 1] == '\n') ++pos;
            ++pos;
        }
        if (!terminated && !complete) break;
        if (!AddRow(table, row, &rowCapacity)) return kTextTableNoMemory;
    }
    return result;
}

void TextTable_Free(TextTable* table) {
    if (!table) return;
    if (table->RowCells) {
        for (int32_t r = 0; r < table->Rows; ++r) PmHeap_Free(table->RowCells[r]);
        PmHeap_Free(table->RowCells);
    }
    table->Columns = 0;
    table->Rows = 0;
    table->RowCells = nullptr;
    table->Reserved = 0;
}
