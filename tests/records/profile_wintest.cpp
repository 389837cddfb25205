// The profile list reader on real files: conversions, short rows, bad files.
#include "records/run_records.h"
#include "makerlibs/pmheap.h"
#include "common/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Profile {
    CareerProfile list{};
    int result = -2;
    ~Profile() { pmImageConvert_FreeCareerProfile(&list); }
};

void Read(const pmtest::TempDir& dir, const std::string& content, Profile* out) {
    std::string path = dir / "profile.txt";
    ASSERT_TRUE(pmtest::WriteWholeFile(path, content.data(), content.size()));
    out->list.Count = 99;  // overwritten, never freed
    out->result = pmImageConvert_GetCareerProfile(path.c_str(), &out->list);
}

}  // namespace

TEST(CareerProfile, ReadsFullRowsAndConvertsTheirCells) {
    pmtest::TempDir dir;
    Profile p;
    Read(dir,
         "名前,説明,JPG,256,-4,  17x\r\n"
         "b,\"c,d\",tiff,257,0,0\r\n"
         "e,f,PhotoCD,2,1,2,extra\r\n"
         "g,h,jfif,0,x,\r\n"
         "short,row,gif,16\r\n",
         &p);
    EXPECT_EQ(p.result, 1);
    ASSERT_EQ(p.list.Count, 4);
    const CareerProfileEntry* e = p.list.Entries;
    EXPECT_STREQ(e[0].Column0, "名前");
    EXPECT_STREQ(e[0].Column1, "説明");
    EXPECT_EQ(e[0].ImageType, 3);
    EXPECT_EQ(e[0].BitCount, 8);
    EXPECT_EQ(e[0].Column4, -4);
    EXPECT_EQ(e[0].Column5, 17);
    EXPECT_STREQ(e[1].Column1, "c,d");
    EXPECT_EQ(e[1].ImageType, 4);
    EXPECT_EQ(e[1].BitCount, 24);
    EXPECT_EQ(e[2].ImageType, 7);
    EXPECT_EQ(e[2].BitCount, 1);
    EXPECT_EQ(e[3].ImageType, 0);
    EXPECT_EQ(e[3].BitCount, 1);
    EXPECT_EQ(e[3].Column4, 0);
}

TEST(CareerProfile, ShortRowIsReplacedByTheNextWithoutLeaking) {
    pmtest::TempDir dir;
    long live = PmHeap_LiveBlocks();
    {
        Profile p;
        Read(dir, "a,b,gif\rc,d,png,4,5,6\r", &p);  // CR-only line ends
        ASSERT_EQ(p.list.Count, 1);
        EXPECT_STREQ(p.list.Entries[0].Column0, "c");
        EXPECT_EQ(p.list.Entries[0].ImageType, 6);
        EXPECT_EQ(p.list.Entries[0].BitCount, 2);
    }
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
}

TEST(CareerProfile, MissingFileGivesMinusOneAndAnEmptyList) {
    pmtest::TempDir dir;
    CareerProfile list{7, reinterpret_cast<CareerProfileEntry*>(8)};
    EXPECT_EQ(pmImageConvert_GetCareerProfile((dir / "none.txt").c_str(), &list), -1);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Entries, nullptr);
    EXPECT_EQ(pmImageConvert_GetCareerProfile(dir.path().c_str(), &list), -1);  // a folder
    EXPECT_EQ(pmImageConvert_GetCareerProfile(nullptr, &list), -1);
    EXPECT_EQ(pmImageConvert_GetCareerProfile("x", nullptr), -1);
}

TEST(CareerProfile, FreeAcceptsNullAndZeroedRecords) {
    EXPECT_EQ(pmImageConvert_FreeCareerProfile(nullptr), 0);
    CareerProfile list{};
    EXPECT_EQ(pmImageConvert_FreeCareerProfile(&list), 1);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Entries, nullptr);
    list.Count = 3;  // a count without an array
    EXPECT_EQ(pmImageConvert_FreeCareerProfile(&list), 1);
    EXPECT_EQ(list.Count, 0);
}

TEST(CareerProfile, AllocationFailureLeavesNothingBehind) {
    pmtest::TempDir dir;
    std::string content = "a,b,gif,2,3,4\nc,d,png,4,5,6\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "p.txt", content.data(), content.size()));
    long live = PmHeap_LiveBlocks();
    // Fail each allocation in turn; whatever fails, the list ends up either
    // complete or empty, and nothing leaks.
    for (int n = 0; n < 40; ++n) {
        CareerProfile list{};
        PmHeap_FailAfter(n);
        int r = pmImageConvert_GetCareerProfile((dir / "p.txt").c_str(), &list);
        PmHeap_FailAfter(-1);
        if (r == -1) {
            EXPECT_EQ(list.Count, 0);
            EXPECT_EQ(list.Entries, nullptr);
        } else if (r == 1) {
            EXPECT_EQ(list.Count, 2) << n;
        } else {
            // The reader stopped part way: what it delivered is a leading
            // part of the file, each entry whole.
            EXPECT_EQ(r, 0) << n;
            EXPECT_LE(list.Count, 2) << n;
        }
        if (r != -1 && list.Count > 0) {
            ASSERT_NE(list.Entries, nullptr) << n;
            EXPECT_STREQ(list.Entries[0].Column0, "a") << n;
            EXPECT_STREQ(list.Entries[0].Column1, "b") << n;
            EXPECT_EQ(list.Entries[0].Column4, 3) << n;
            EXPECT_EQ(list.Entries[0].Column5, 4) << n;
            if (list.Count > 1) {
                EXPECT_STREQ(list.Entries[1].Column0, "c") << n;
                EXPECT_EQ(list.Entries[1].Column5, 6) << n;
            }
        }
        pmImageConvert_FreeCareerProfile(&list);
        EXPECT_EQ(PmHeap_LiveBlocks(), live) << n;
    }
}

TEST(CareerProfile, HostileFilesDoNotCrash) {
    pmtest::TempDir dir;
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) & 0xFF);
    std::string longCells = std::string(100000, 'L') + "," + std::string(70000, '9') + ",jpeg," +
                            std::string(5000, '5') + ",1,2\n";
    for (const std::string& content : {garbage, longCells, std::string("a,\"unterminated,gif,2,3,4\nb,c,d"),
                                       std::string("\x81"), std::string("")}) {
        Profile p;
        Read(dir, content, &p);
        EXPECT_GE(p.result, 0);
        EXPECT_GE(p.list.Count, 0);
        for (int i = 0; i < p.list.Count; ++i) {
            ASSERT_NE(p.list.Entries[i].Column0, nullptr);
            ASSERT_NE(p.list.Entries[i].Column1, nullptr);
        }
    }
    Profile p;
    Read(dir, longCells, &p);
    ASSERT_EQ(p.list.Count, 1);
    EXPECT_EQ(std::strlen(p.list.Entries[0].Column0), 100000u);
    EXPECT_EQ(p.list.Entries[0].BitCount, 24);
}
