// The text table record of PMCORE and its parser over a byte buffer. Pure:
// no system calls, so the parser is tested and fuzzed natively; the reader
// of an open file (Core_ReadTextTable in pmcore.h) feeds it.
#pragma once
#include <cstddef>
#include <cstdint>

// A text file read into cells.
struct TextTable {
    int32_t Columns;   // column count asked for
    int32_t Rows;      // rows read
    char*** RowCells;  // Rows pointers, each to Columns cell texts (missing cell = null)
    uint32_t Reserved;
};

// Results of the table reader; 0 is success, every other value leaves the
// rows read before the problem in the table.
enum TextTableResult : int {
    kTextTableOk = 0,
    kTextTableBadArgument = 1,  // no table or not zeroed, column count out of range
    kTextTableReadError = 2,    // the file could not be read to its end
    kTextTableNoMemory = 3,
    kTextTableTooLarge = 4,     // file beyond kTextTableMaxBytes: nothing read
    kTextTableOpenQuote = 5,    // a quoted cell runs to the end of the text
};

// Files are read whole; profile lists are a few kilobytes, so anything
// beyond this is not a table and is refused rather than read into memory.
constexpr size_t kTextTableMaxBytes = 64u << 20;
// More columns than this are refused: the row blocks hold a pointer per column.
constexpr int kTextTableMaxColumns = 4096;

// Splits `size` bytes of text into rows of `columns` cells and puts them
// into `table`, which must be zeroed. Cells are separated by commas or tabs;
// a cell that starts with a double quote runs to the matching quote and may
// hold separators, line breaks and doubled quotes (text after the closing
// quote is kept as written); lines end in CR LF, LF or CR; empty lines are no
// rows. Cells past `columns` are dropped, missing ones are null, an empty
// cell is the empty text. With `complete` false (the text was cut by a read
// failure) a last line without its line end is dropped: it may be cut short.
int TextTable_Parse(const char* text, size_t size, int columns, bool complete, TextTable* table);
// Frees the rows; safe on a zeroed table; leaves it zeroed.
void TextTable_Free(TextTable* table);
