// Paths derived from the installation folder, including folders too long for
// the 264-byte buffers.
#include "entry/app_paths.h"

#include <gtest/gtest.h>

#include <string>

TEST(AppPaths, SeparatorAddedOnlyWhenMissing) {
    AppPaths p;
    ASSERT_TRUE(FormAppPaths("C:\\Program Files\\PIXMILL", &p));
    EXPECT_STREQ(p.IniFile, "C:\\Program Files\\PIXMILL\\PIXMILL.INI");
    EXPECT_STREQ(p.HelpPage, "C:\\Program Files\\PIXMILL\\HELP\\topics.htm");
    EXPECT_STREQ(p.HelpFile, "C:\\Program Files\\PIXMILL\\HELP\\VIMOｻﾑﾈｲﾙ.HLP");
    ASSERT_TRUE(FormAppPaths("C:\\PIXMILL\\", &p));
    EXPECT_STREQ(p.IniFile, "C:\\PIXMILL\\PIXMILL.INI");
    EXPECT_STREQ(p.Folder, "C:\\PIXMILL\\");
}

TEST(AppPaths, TrailByteOfDoubleByteNameIsNotASeparator) {
    AppPaths p;
    ASSERT_TRUE(FormAppPaths("D:\\表", &p));  // 表 ends in 0x5C
    EXPECT_STREQ(p.IniFile, "D:\\表\\PIXMILL.INI");
}

TEST(AppPaths, LongFolderIsRefusedNotCut) {
    AppPaths p;
    // The longest ending is "\HELP\VIMOｻﾑﾈｲﾙ.HLP": 19 bytes; with the
    // terminator a folder of 244 bytes is the longest that fits.
    std::string fits = "C:\\" + std::string(241, 'a');
    ASSERT_EQ(fits.size(), 244u);
    EXPECT_TRUE(FormAppPaths(fits.c_str(), &p));
    EXPECT_EQ(std::string(p.HelpFile).size(), 263u);
    std::string tooLong = fits + "b";
    EXPECT_FALSE(FormAppPaths(tooLong.c_str(), &p));
    EXPECT_STREQ(p.Folder, "");
    EXPECT_STREQ(p.IniFile, "");
    EXPECT_STREQ(p.HelpFile, "");
    std::string huge(300, 'x');
    EXPECT_FALSE(FormAppPaths(huge.c_str(), &p));
    EXPECT_FALSE(FormAppPaths(nullptr, &p));
}
