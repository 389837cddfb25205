// What every Japanese text of the program relies on: the ANSI code page is
// 932 and the string table loads through the A functions unchanged.
#include <gtest/gtest.h>

#include "makerlibs/pmwin.h"
#include "resources/resource_ids.h"

#include <cstring>

TEST(Platform, AnsiCodePageIs932) { EXPECT_EQ(GetACP(), 932u); }

TEST(Platform, ErrorMessagesLoadFromStringTable) {
    char text[128];
    HINSTANCE self = GetModuleHandleA(nullptr);
    ASSERT_GT(LoadStringA(self, IDS_ERR_OPEN_INPUT, text, sizeof text), 0);
    EXPECT_STREQ(text, "ファイルオープンエラー");
    ASSERT_GT(LoadStringA(self, IDS_ERR_GIF_STOPPED, text, sizeof text), 0);
    EXPECT_STREQ(text, "GIFアニメーションの変換中断");
    for (int id = IDS_ERR_OPEN_INPUT; id <= IDS_ERR_GIF_STOPPED; ++id)
        EXPECT_GT(LoadStringA(self, id, text, sizeof text), 0) << id;
}

TEST(Platform, IconsAndLogoArePresentAndReal) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    HICON big = static_cast<HICON>(LoadImageA(self, "PIXMILUI", IMAGE_ICON, 32, 32, 0));
    ASSERT_NE(big, nullptr);
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(big, &info));
    BITMAP bm;
    GetObjectA(info.hbmColor, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(big);
    EXPECT_NE(LoadImageA(self, MAKEINTRESOURCEA(IDI_DOCUMENT), IMAGE_ICON, 16, 16, 0), nullptr);
    HBITMAP logo = static_cast<HBITMAP>(LoadImageA(self, MAKEINTRESOURCEA(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(logo, nullptr);
    GetObjectA(logo, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 110);
    EXPECT_EQ(bm.bmHeight, 44);
    DeleteObject(logo);
}
