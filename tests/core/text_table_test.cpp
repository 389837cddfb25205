// Splitting text into table cells: separators, quoting, line ends, code page
// 932 text, malformed and hostile input, allocation failures.
#include "makerlibs/pmtexttable.h"
#include "makerlibs/pmheap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The table as strings; a missing cell is "<null>".
using Rows = std::vector<std::vector<std::string>>;

Rows Parse(const std::string& text, int columns, int* result = nullptr, bool complete = true) {
    TextTable t{};
    int r = TextTable_Parse(text.data(), text.size(), columns, complete, &t);
    if (result) *result = r;
    Rows rows;
    for (int i = 0; i < t.Rows; ++i) {
        std::vector<std::string> row;
        for (int c = 0; c < t.Columns; ++c) {
            const char* cell = t.RowCells[i][c];
            row.push_back(cell ? cell : "<null>");
        }
        rows.push_back(row);
    }
    TextTable_Free(&t);
    return rows;
}

}  // namespace

TEST(TextTableParse, SeparatorsLineEndsAndMissingCells) {
    int r = -1;
    // Commas and tabs mix; CR LF, LF and lone CR all end lines; empty lines
    // are no rows; the last line needs no line end.
    Rows rows = Parse("a,b\tc\r\n\r\nd,,e\n\nf\rg,h,i,j,k", 3, &r);
    EXPECT_EQ(r, kTextTableOk);
    Rows want = {{"a", "b", "c"}, {"d", "", "e"}, {"f", "<null>", "<null>"}, {"g", "h", "i"}};
    EXPECT_EQ(rows, want);
    // A separator at the line end makes an empty last cell, not a missing one.
    EXPECT_EQ(Parse("x,\n", 3), (Rows{{"x", "", "<null>"}}));
    EXPECT_EQ(Parse("", 2, &r), Rows{});
    EXPECT_EQ(r, kTextTableOk);
    EXPECT_EQ(Parse("\r\n\n\r", 2), Rows{});
}

TEST(TextTableParse, QuotedCells) {
    Rows rows = Parse("\"a,b\",\"line1\r\nline2\",\"say \"\"hi\"\"\"\n"
                      "\"\",\"x\"tail,mid\"quote\"\n",
                      3);
    Rows want = {{"a,b", "line1\r\nline2", "say \"hi\""}, {"", "xtail", "mid\"quote\""}};
    EXPECT_EQ(rows, want);
    // A quoted tab and a quoted cell at the very end of the text.
    EXPECT_EQ(Parse("\"\t\"\t\"end\"", 2), (Rows{{"\t", "end"}}));
}

TEST(TextTableParse, CodePage932TextStaysWhole) {
    // 表 and ソ end in 0x5C; cells of them and the structure around them
    // survive, quoted or not.
    Rows rows = Parse("表,ソ\t\"表,ソ\"\r\nｻﾑﾈｲﾙ,\"写真\"\"表\"\n", 3);
    Rows want = {{"表", "ソ", "表,ソ"}, {"ｻﾑﾈｲﾙ", "写真\"表", "<null>"}};
    EXPECT_EQ(rows, want);
    // A lead byte cut off by a separator or line end is one byte of its cell:
    // the separator still separates.
    EXPECT_EQ(Parse("a\x95,b\x83\nc", 2), (Rows{{"a\x95", "b\x83"}, {"c", "<null>"}}));
}

TEST(TextTableParse, OpenQuoteRunsToTheEndAndIsReported) {
    int r = -1;
    Rows rows = Parse("a,b\n\"open,c\nd", 2, &r);
    EXPECT_EQ(r, kTextTableOpenQuote);
    EXPECT_EQ(rows, (Rows{{"a", "b"}, {"open,c\nd", "<null>"}}));
    EXPECT_EQ(Parse("\"", 1, &r), (Rows{{""}}));
    EXPECT_EQ(r, kTextTableOpenQuote);
}

TEST(TextTableParse, CutTextDropsItsUnfinishedLastLine) {
    int r = -1;
    EXPECT_EQ(Parse("a,b\nc,d", 2, &r, false), (Rows{{"a", "b"}}));
    EXPECT_EQ(r, kTextTableOk);
    EXPECT_EQ(Parse("a,b\nc,d\n", 2, &r, false), (Rows{{"a", "b"}, {"c", "d"}}));
}

TEST(TextTableParse, RefusesBadArguments) {
    TextTable t{};
    const char text[] = "a";
    EXPECT_EQ(TextTable_Parse(text, 1, 0, true, &t), kTextTableBadArgument);
    EXPECT_EQ(TextTable_Parse(text, 1, kTextTableMaxColumns + 1, true, &t), kTextTableBadArgument);
    EXPECT_EQ(TextTable_Parse(text, 1, 1, true, nullptr), kTextTableBadArgument);
    EXPECT_EQ(TextTable_Parse(nullptr, 1, 1, true, &t), kTextTableBadArgument);
    // The size is checked before a byte is read.
    EXPECT_EQ(TextTable_Parse(text, kTextTableMaxBytes + 1, 1, true, &t), kTextTableTooLarge);
    EXPECT_EQ(t.Rows, 0);
    // A filled table would leak its rows.
    ASSERT_EQ(TextTable_Parse(text, 1, 1, true, &t), kTextTableOk);
    EXPECT_EQ(TextTable_Parse(text, 1, 1, true, &t), kTextTableBadArgument);
    EXPECT_EQ(t.Rows, 1);
    TextTable_Free(&t);
    TextTable_Free(&t);  // zeroed by the first
    TextTable_Free(nullptr);
    EXPECT_EQ(t.RowCells, nullptr);
}

TEST(TextTableParse, LongCellsAndManyColumns) {
    std::string big(1 << 20, 'x');
    big[12345] = '\x95';  // lone lead bytes are plain bytes
    Rows rows = Parse(big + ",\"" + big + "\"\n", 2);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], big);
    EXPECT_EQ(rows[0][1], big);
    std::string wide;
    for (int i = 0; i < 5000; ++i) wide += std::to_string(i) + ",";
    rows = Parse(wide, kTextTableMaxColumns);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][kTextTableMaxColumns - 1], std::to_string(kTextTableMaxColumns - 1));
}

TEST(TextTableParse, GarbageKeepsCellsInsideTheirRows) {
    // Pseudo-random bytes biased towards structure: no crash, and every cell
    // lies inside its row block, terminated, and no longer than the input.
    uint32_t seed = 12345;
    const char alphabet[] = ",\t\"\r\n\x95\x5C\x83\0az";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        size_t n = (seed = seed * 1103515245u + 12345u) >> 24;
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += (seed >> 28) < 11 ? alphabet[(seed >> 28)] : char(seed >> 16);
        }
        TextTable t{};
        int r = TextTable_Parse(text.data(), text.size(), 3, (round & 1) != 0, &t);
        ASSERT_TRUE(r == kTextTableOk || r == kTextTableOpenQuote) << r;
        ASSERT_LE(size_t(t.Rows), text.size());
        for (int i = 0; i < t.Rows; ++i) {
            const char* block = reinterpret_cast<const char*>(t.RowCells[i]);
            const char* texts = block + 3 * sizeof(char*);
            for (int c = 0; c < 3; ++c) {
                const char* cell = t.RowCells[i][c];
                if (!cell) continue;
                ASSERT_GE(cell, texts);
                ASSERT_LE(cell, texts + text.size() + 3);
                ASSERT_LE(std::strlen(cell), text.size());
            }
        }
        TextTable_Free(&t);
    }
}

TEST(TextTableParse, AllocationFailuresKeepEarlierRowsAndLeakNothing) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "row" + std::to_string(i) + ",\"v\"\r\n";
    long before = PmHeap_LiveBlocks();
    bool sawFailure = false;
    for (int n = 0; n < 60; ++n) {
        TextTable t{};
        PmHeap_FailAfter(n);
        int r = TextTable_Parse(text.data(), text.size(), 2, true, &t);
        PmHeap_FailAfter(-1);
        if (r == kTextTableNoMemory) {
            sawFailure = true;
            for (int i = 0; i < t.Rows; ++i) EXPECT_EQ(std::string(t.RowCells[i][0]), "row" + std::to_string(i));
        } else {
            EXPECT_EQ(r, kTextTableOk);
            EXPECT_EQ(t.Rows, 40);
        }
        TextTable_Free(&t);
        EXPECT_EQ(PmHeap_LiveBlocks(), before) << "fail after " << n;
    }
    EXPECT_TRUE(sawFailure);
}
