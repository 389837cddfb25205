// Path text helpers over code page 932 names: the trail byte of 表 (95 5C)
// and ソ (83 5C) equals the backslash and must never be taken for one.
#include "makerlibs/pmpath.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
// Literals are compiled to code page 932.
const char kHyou[] = "表";
}  // namespace

TEST(Cp932Path, LiteralsAreCodePage932) {
    ASSERT_EQ(std::strlen(kHyou), 2u);
    EXPECT_EQ(static_cast<unsigned char>(kHyou[0]), 0x95);
    EXPECT_EQ(static_cast<unsigned char>(kHyou[1]), 0x5C);
}

TEST(Cp932Path, FindCharSkipsTrailBytes) {
    EXPECT_EQ(PmPath_FindChar("表ソ", '\\'), nullptr);
    const char* p = "C:\\表\\ソ.jpg";
    EXPECT_EQ(PmPath_FindChar(p, '\\'), p + 2);
    EXPECT_EQ(PmPath_FindLastChar(p, '\\'), p + 5);
    EXPECT_EQ(PmPath_FindChar("abc", 'x'), nullptr);
    EXPECT_EQ(PmPath_FindLastChar("", '\\'), nullptr);
}

TEST(Cp932Path, TrailingSeparatorIsNotATrailByte) {
    EXPECT_FALSE(PmPath_EndsWithSeparator("C:\\表"));
    EXPECT_FALSE(PmPath_EndsWithSeparator("ソ"));
    EXPECT_TRUE(PmPath_EndsWithSeparator("C:\\表\\"));
    EXPECT_TRUE(PmPath_EndsWithSeparator("C:/"));
    EXPECT_FALSE(PmPath_EndsWithSeparator(""));
    // A lone lead byte at the end is one character, not a separator pair.
    EXPECT_FALSE(PmPath_EndsWithSeparator("a\x95"));
}

TEST(Cp932Path, NameAndExtension) {
    EXPECT_STREQ(PmPath_NameStart("C:\\写真\\表.jpg"), "表.jpg");
    EXPECT_STREQ(PmPath_NameStart("C:name.png"), "name.png");
    EXPECT_STREQ(PmPath_NameStart("C:\\dir\\"), "");
    EXPECT_STREQ(PmPath_Extension("C:\\a.b\\photo.tar.jpg"), ".jpg");
    EXPECT_STREQ(PmPath_Extension("C:\\a.b\\README"), "");
    EXPECT_STREQ(PmPath_Extension("ソ.ｊｐｇ"), ".ｊｐｇ");
}

TEST(Cp932Path, CopyAndAppendRefuseToCut) {
    char buf[8];
    EXPECT_TRUE(PmPath_Copy(buf, sizeof buf, "1234567"));
    EXPECT_FALSE(PmPath_Copy(buf, sizeof buf, "12345678"));
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(PmPath_Copy(buf, sizeof buf, "abc"));
    EXPECT_TRUE(PmPath_Append(buf, sizeof buf, "defg"));
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_FALSE(PmPath_Append(buf, sizeof buf, "h"));
    EXPECT_STREQ(buf, "abcdefg");
}

TEST(Cp932Path, CompareNoCaseFoldsAsciiOnly) {
    EXPECT_EQ(PmPath_CompareNoCase("C:\\OUT\\a", "c:\\out\\A", 9), 0);
    EXPECT_NE(PmPath_CompareNoCase("表", "ソ", 2), 0);
    EXPECT_EQ(PmPath_CompareNoCase("abc", "ABD", 2), 0);
    EXPECT_NE(PmPath_CompareNoCase("abc", "ABD", 3), 0);
    EXPECT_EQ(PmPath_CompareNoCase("ab", "AB", 10), 0);
}
