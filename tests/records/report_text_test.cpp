// The report's bytes, its growing buffer and the small formatters of the
// run records.
#include "records/report_text.h"
#include "makerlibs/pmheap.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string Finish(ReportBuilder* r) {
    char* text = Report_Finish(r);
    std::string s = text ? text : "<null>";
    PmHeap_Free(text);
    return s;
}

const ReportClock kStart{2006, 10, 1, 9, 5, 7};
const ReportClock kEnd{2006, 10, 1, 9, 5, 31};

const char kSummary[] =
    "■開始時刻: 2006年10月1日9時5分7秒\r\n"
    "■終了時刻: 2006年10月1日9時5分31秒\r\n"
    "\r\n"
    "■対象ファイル数: 12\r\n"
    "■成功ファイル数: 11\r\n"
    "■エラーファイル数: 1\r\n"
    "\r\n";

}  // namespace

TEST(LogReportText, WithoutErrorsIsTheSummaryAndAnEmptyLine) {
    ReportBuilder r;
    Report_AppendSummary(&r, kStart, kEnd, 12, 11);
    EXPECT_EQ(Finish(&r), std::string(kSummary) + "\r\n");
}

TEST(LogReportText, EntriesWithAndWithoutSystemText) {
    ReportBuilder r;
    Report_AppendSummary(&r, kStart, kEnd, 12, 11);
    Report_AppendErrorHeading(&r, 2);
    Report_AppendEntry(&r, "C:\\写真\\表.jpg", "ファイル読み込みエラー", nullptr);
    Report_AppendEntry(&r, "C:\\out", "フォルダ作成エラー", "アクセスが拒否されました。");
    EXPECT_EQ(Finish(&r), std::string(kSummary) +
                              "■エラーログ: 2個\r\n"
                              "C:\\写真\\表.jpg\r\n"
                              "---> ファイル読み込みエラー\r\n"
                              "\r\n"
                              "C:\\out\r\n"
                              "---> フォルダ作成エラー（アクセスが拒否されました。）\r\n"
                              "\r\n"
                              "\r\n");
}

TEST(LogReportText, PathLongerThanTheLineBufferIsKeptWhole) {
    std::string longPath = "C:\\" + std::string(600, 'x');
    ReportBuilder r;
    Report_AppendEntry(&r, longPath.c_str(), "m", nullptr);
    EXPECT_EQ(Finish(&r), longPath + "\r\n---> m\r\n\r\n\r\n");
}

TEST(LogReportText, FailedGrowGivesNoTextAtAll) {
    long live = PmHeap_LiveBlocks();
    ReportBuilder r;
    Report_AppendSummary(&r, kStart, kEnd, 1, 1);
    PmHeap_FailAfter(0);
    Report_AppendEntry(&r, std::string(3000, 'p').c_str(), "m", nullptr);
    Report_Append(&r, "after");
    EXPECT_EQ(Finish(&r), "<null>");
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

TEST(AppendText, GrowsByFragmentPlus1024AndKeepsATerminator) {
    char* text = nullptr;
    int capacity = 0, used = 0;
    ASSERT_EQ(AppendText("abc", 0, &text, &capacity, &used), 1);
    EXPECT_EQ(capacity, 3 + 1024);
    EXPECT_EQ(used, 3);
    ASSERT_EQ(AppendText("defgh", 2, &text, &capacity, &used), 1);
    EXPECT_STREQ(text, "abcde");
    EXPECT_EQ(capacity, 1027);  // fits, no grow
    std::string big(1100, 'z');
    ASSERT_EQ(AppendText(big.c_str(), 0, &text, &capacity, &used), 1);
    EXPECT_EQ(capacity, 1027 + 1100 + 1024);
    EXPECT_EQ(used, 1105);
    EXPECT_EQ(std::string(text), "abcde" + big);
    PmHeap_Free(text);
}

TEST(AppendText, ALongTextGrowsItsBlockFewTimes) {
    // A report of many thousand entries: a block that grew by a fixed step
    // would be copied again for every kilobyte.
    char* text = nullptr;
    int capacity = 0, used = 0, grows = 0;
    const std::string line = "C:\\in\\photo.jpg\r\n---> m\r\n";
    for (int i = 0; i < 40000; ++i) {
        int before = capacity;
        ASSERT_EQ(AppendText(line.c_str(), 0, &text, &capacity, &used), 1);
        if (capacity != before) ++grows;
    }
    EXPECT_EQ(used, int(line.size()) * 40000);
    EXPECT_LE(grows, 20);
    EXPECT_LE(capacity, 2 * used + 2048) << "room stays in proportion to the text";
    PmHeap_Free(text);
}

TEST(AppendText, FailedGrowFreesAndRestartsWithTheNextFragment) {
    long live = PmHeap_LiveBlocks();
    char* text = nullptr;
    int capacity = 0, used = 0;
    ASSERT_EQ(AppendText("start", 0, &text, &capacity, &used), 1);
    PmHeap_FailAfter(0);
    EXPECT_EQ(AppendText(std::string(2000, 'q').c_str(), 0, &text, &capacity, &used), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
    ASSERT_EQ(AppendText("next", 0, &text, &capacity, &used), 1);
    EXPECT_STREQ(text, "next");
    PmHeap_Free(text);
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

TEST(AppendText, SizesBeyondIntRangeOrOutsideTheBlockFail) {
    // A consistent text whose next size passes INT_MAX: refused (its block
    // freed), not wrapped into a small size or a write far past the block.
    long live = PmHeap_LiveBlocks();
    char* text = static_cast<char*>(PmHeap_Alloc(16));
    ASSERT_NE(text, nullptr);
    int capacity = INT_MAX - 10, used = INT_MAX - 20;
    EXPECT_EQ(AppendText("0123456789abcdef", 0, &text, &capacity, &used), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
    // A text claiming room without a block is refused before any size sum.
    capacity = INT_MAX - 10;
    used = INT_MAX - 10;
    EXPECT_EQ(AppendText("0123456789abcdef", 0, &text, &capacity, &used), 0);
    EXPECT_EQ(text, nullptr);
    capacity = 0;
    used = 5000;
    EXPECT_EQ(AppendText("x", 0, &text, &capacity, &used), 0);
    EXPECT_EQ(used, 0);
}

TEST(TimeFolderName, SeventeenZeroPaddedDigits) {
    char name[18];
    EXPECT_EQ(Records_TimeFolderName(2006, 3, 1, 9, 5, 7, 7, name, sizeof name), 17);
    EXPECT_STREQ(name, "20060301090507007");
    // Out-of-range fields cannot widen the name past its buffer.
    EXPECT_EQ(Records_TimeFolderName(123456, -1, 100, 0, 0, 0, 5000, name, sizeof name), 17);
    EXPECT_STREQ(name, "99990099000000999");
}

TEST(ProfileCells, NumbersAndColourDepths) {
    struct Row { const char* cell; int number; };
    for (const Row& r : {Row{"256", 256}, Row{"  -12x", -12}, Row{"+7", 7}, Row{"abc", 0}, Row{"", 0},
                         Row{"\t33", 33}, Row{"99999999999999999999", INT_MAX}, Row{"-99999999999999999999", INT_MIN}})
        EXPECT_EQ(Records_ParseNumber(r.cell), r.number) << r.cell;
    EXPECT_EQ(Records_ParseNumber(nullptr), 0);

    struct Depth { int colors, bits; };
    for (const Depth& d : {Depth{0, 1}, Depth{-5, 1}, Depth{2, 1}, Depth{3, 2}, Depth{16, 4}, Depth{17, 5},
                           Depth{129, 8}, Depth{256, 8}, Depth{257, 24}, Depth{INT_MAX, 24}})
        EXPECT_EQ(Records_BitCountForColors(d.colors), d.bits) << d.colors;
}
