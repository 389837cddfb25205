// Fuzz target of the text table parser: the first byte picks the column
// count (including values the parser must refuse) and whether the text is
// complete; the rest is the text. Every cell of the result is read to its
// end, so a row block or cell that disagrees with the counts shows under
// the sanitizers, and the table must come back zeroed after freeing.
#include "makerlibs/pmtexttable.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int columns = (data[0] & 0x7f) == 0x7f ? kTextTableMaxColumns + 1 : int(data[0] & 0x3f) - 1;
    const bool complete = data[0] & 0x40;
    TextTable table{};
    int r = TextTable_Parse(reinterpret_cast<const char*>(data + 1), size - 1, columns, complete, &table);
    if (r == kTextTableBadArgument && table.Rows != 0) std::abort();
    if (table.Rows < 0 || (table.Rows && !table.RowCells)) std::abort();
    volatile size_t sum = 0;
    for (int y = 0; y < table.Rows; ++y)
        for (int x = 0; x < table.Columns; ++x)
            if (const char* cell = table.RowCells[y][x]) sum = sum + std::strlen(cell);
    TextTable_Free(&table);
    if (table.Rows || table.RowCells) std::abort();
    return 0;
}
