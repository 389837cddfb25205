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
    // Grows by doubling, so the scratch ends near the longest row's size.
    bool Append(const char* from, size_t n) {
        if (n == 0) return true;  // `bytes` may still be null
        if (capacity - used < n) {
            size_t want = capacity ? capacity : 256;
            while (want - used < n) want *= 2;  // bounded: a row is at most the whole text
            char* grown = static_cast<char*>(PmHeap_Realloc(bytes, want));
            if (!grown) return false;
            bytes = grown;
            capacity = want;
        }
        std::memcpy(bytes + used, from, n);
        used += n;
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
        std::memset(row.present, 0, sizeof(bool) * size_t(columns));
        int cell = 0;
        for (;;) {
            size_t begin = row.used;
            if (pos < size && text[pos] == '"') {
                ++pos;
                for (;;) {
                    auto quote = static_cast<const char*>(std::memchr(text + pos, '"', size - pos));
                    size_t end = quote ? size_t(quote - text) : size;
                    if (!row.Append(text + pos, end - pos)) return kTextTableNoMemory;
                    pos = end;
                    if (!quote) {
                        result = kTextTableOpenQuote;
                        break;
                    }
                    ++pos;
                    if (pos < size && text[pos] == '"') {  // a doubled quote stands for one
                        if (!row.Append("\"", 1)) return kTextTableNoMemory;
                        ++pos;
                        continue;
                    }
                    break;
                }
            }
            // Unquoted text, or what follows a closing quote (kept as written).
            size_t end = pos;
            while (end < size && !IsSeparator(text[end]) && !IsLineEnd(text[end])) ++end;
            if (cell < columns) {
                if (!row.Append(text + pos, end - pos) || !row.Append("", 1)) return kTextTableNoMemory;
                row.start[cell] = begin;
                row.present[cell] = true;
            } else {
                row.used = begin;  // cells past the asked count are dropped
            }
            pos = end;
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
