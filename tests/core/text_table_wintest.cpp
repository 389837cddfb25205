// Reading an open file into a table: from the file pointer, across read
// chunks, and with handles that cannot be read.
#include "common/testsupport.h"
#include "makerlibs/pmcore.h"

#include <gtest/gtest.h>

#include <string>

using pmtest::TempDir;

namespace {
HANDLE OpenForReading(const std::string& path, DWORD access = GENERIC_READ) {
    return Core_CheckHandle(0, CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

TEST(CoreReadTextTable, ReadsFromTheFilePointerAcrossChunks) {
    TempDir dir;
    // A cell of 表 characters straddles the 64 KiB read chunks.
    std::string big;
    while (big.size() < 200000) big += "表";
    std::string text = "skip\r\n" "photo,jpeg,\"" + big + "\"\r\nlast,png,8";
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "t.csv", text.data(), text.size()));
    HANDLE f = OpenForReading(dir / "t.csv");
    ASSERT_NE(f, nullptr);
    Core_SetFilePointer(f, 6, nullptr, FILE_BEGIN);
    TextTable t{};
    EXPECT_EQ(Core_ReadTextTable(f, 3, &t), 0);
    CloseHandle(Core_RawHandle(f));
    ASSERT_EQ(t.Rows, 2);
    EXPECT_EQ(t.Columns, 3);
    EXPECT_STREQ(t.RowCells[0][0], "photo");
    EXPECT_EQ(std::string(t.RowCells[0][2]), big);
    EXPECT_STREQ(t.RowCells[1][2], "8");
    Core_FreeTextTable(&t);
    EXPECT_EQ(t.RowCells, nullptr);
    Core_FreeTextTable(&t);
}

TEST(CoreReadTextTable, UnreadableHandlesAndBadArguments) {
    TempDir dir;
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "t.csv", "a,b\n", 4));
    TextTable t{};
    HANDLE f = OpenForReading(dir / "t.csv", GENERIC_WRITE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Core_ReadTextTable(f, 2, &t), kTextTableReadError);
    EXPECT_EQ(t.Rows, 0);
    CloseHandle(f);
    EXPECT_EQ(Core_ReadTextTable(nullptr, 2, &t), kTextTableReadError);
    EXPECT_EQ(Core_ReadTextTable(INVALID_HANDLE_VALUE, 2, &t), kTextTableReadError);
    f = OpenForReading(dir / "t.csv");
    EXPECT_EQ(Core_ReadTextTable(f, 0, &t), kTextTableBadArgument);
    EXPECT_EQ(Core_ReadTextTable(f, 2, nullptr), kTextTableBadArgument);
    EXPECT_EQ(Core_ReadTextTable(f, 2, &t), 0);
    EXPECT_EQ(t.Rows, 1);
    CloseHandle(f);
    Core_FreeTextTable(&t);
}
