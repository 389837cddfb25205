// The command line as a file list: blanks, quotes, unbalanced quotes, long
// and code page 932 paths, and the record's life cycle.
#include "makerlibs/pmfilelist.h"
#include "makerlibs/pmheap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Items(const char* line) {
    FileList list{};
    int n = FileList_FromCommandLine(2, 0, line, &list);
    EXPECT_EQ(n, list.Count);
    std::vector<std::string> items(list.Paths, list.Paths + list.Count);
    FileList_Free(&list);
    return items;
}

using V = std::vector<std::string>;

}  // namespace

TEST(FileListParse, BlanksQuotesAndEmptyItems) {
    struct Case { const char* line; V want; } cases[] = {
        {"C:\\a.jpg D:\\b.png", {"C:\\a.jpg", "D:\\b.png"}},
        {"  \t C:\\a.jpg\t\t D:\\  ", {"C:\\a.jpg", "D:\\"}},
        // The shell quotes roots and folders with the separator last.
        {"\"C:\\My Photos\\\" \"D:\\\" E:", {"C:\\My Photos\\", "D:\\", "E:"}},
        {"a\"b c\"d e", {"ab cd", "e"}},
        {"\"\" x \"\"  \"\"\"\"", {"x"}},
        {"C:\\a \"C:\\open quote\\ rest  of line", {"C:\\a", "C:\\open quote\\ rest  of line"}},
        {"\"表 ソ\\\" ソ\\表", {"表 ソ\\", "ソ\\表"}},
        {"", {}},
        {"   \t ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Items(c.line), c.want) << c.line;
}

TEST(FileListParse, EmptyQuotedItemsKeptOnRequest) {
    FileList list{};
    ASSERT_EQ(FileList_FromCommandLine(2 | kFileListKeepEmpty, 0, "a \"\" \"C:\\x\\\" b", &list), 4);
    EXPECT_EQ(std::vector<std::string>(list.Paths, list.Paths + list.Count), (V{"a", "", "C:\\x\\", "b"}));
    FileList_Free(&list);
}

TEST(FileListParse, LongPathsStayWhole) {
    std::string longPath = "C:\\" + std::string(300, 'x') + "\\表.jpg";
    std::string line = "\"" + longPath + "\" " + longPath;
    EXPECT_EQ(Items(line.c_str()), (V{longPath, longPath}));
}

TEST(FileListRecord, FillFreeAndRefill) {
    FileList list{};
    FileList_Free(&list);  // zeroed record
    FileList_Free(nullptr);
    EXPECT_EQ(FileList_FromCommandLine(2, 0, nullptr, &list), 0);
    EXPECT_EQ(FileList_FromCommandLine(2, 0, "a", nullptr), 0);

    long before = PmHeap_LiveBlocks();
    ASSERT_EQ(FileList_FromCommandLine(2, 0, "a b c", &list), 3);
    EXPECT_EQ(list.Private0, 3u);
    EXPECT_EQ(list.Private1, 0x464C5354u);
    // Filling a filled record again releases the first list.
    ASSERT_EQ(FileList_FromCommandLine(2, 0, "d", &list), 1);
    EXPECT_STREQ(list.Paths[0], "d");
    // An empty line leaves the record empty, not holding the old list.
    EXPECT_EQ(FileList_FromCommandLine(2, 0, "  ", &list), 0);
    EXPECT_EQ(list.Paths, nullptr);
    EXPECT_EQ(PmHeap_LiveBlocks(), before);
    FileList_Free(&list);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Private1, 0u);
}

TEST(FileListRecord, AllocationFailureLeavesItEmpty) {
    FileList list{};
    long before = PmHeap_LiveBlocks();
    PmHeap_FailAfter(0);
    EXPECT_EQ(FileList_FromCommandLine(2, 0, "a b", &list), 0);
    PmHeap_FailAfter(-1);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Paths, nullptr);
    EXPECT_EQ(PmHeap_LiveBlocks(), before);
}

namespace {
std::string Ascii(const wchar_t* w) {
    std::string s;
    for (; *w; ++w) s += *w < 0x80 ? char(*w) : '?';
    return s;
}
}  // namespace

// A wide command line splits as a narrow one and keeps each entry's real
// text beside the narrow one made for showing it.
TEST(FileListParse, WideLinesKeepTheRealNames) {
    FileList list{};
    ASSERT_EQ(FileList_FromCommandLineW(2 | kFileListKeepEmpty, L"prog \"C:\\caf\u00e9 x\\\" \"\" D:\\\ud55c.jpg", &list,
                                        Ascii),
              4);
    const wchar_t* want[] = {L"prog", L"C:\\caf\u00e9 x\\", L"", L"D:\\\ud55c.jpg"};
    const char* shown[] = {"prog", "C:\\caf? x\\", "", "D:\\?.jpg"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(FileList_WidePath(&list, i), nullptr);
        EXPECT_EQ(std::wstring(FileList_WidePath(&list, i)), want[i]);
        EXPECT_STREQ(list.Paths[i], shown[i]);
    }
    EXPECT_EQ(FileList_WidePath(&list, 4), nullptr);
    // Filling it again releases the first block (the leak checker would see it).
    ASSERT_EQ(FileList_FromCommandLine(2, 0, "a b", &list), 2);
    EXPECT_EQ(FileList_WidePath(&list, 0), nullptr) << "a narrow list has no wide texts";
    FileList_Free(&list);
    EXPECT_EQ(list.Paths, nullptr);
}
