// The image type list box on its own: items by type code, selection by
// code, codes back by position, and the icon the item drawing asks for.
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmwinkit.h"

#include <gtest/gtest.h>

namespace {

struct ListBoxWindow {
    HWND list = nullptr;
    ListBoxWindow() {
        EXPECT_TRUE(ImgKit_RegisterClasses(GetModuleHandleA(nullptr)));
        list = CreateWindowExA(0, "pmListBox", "", WS_POPUP | LBS_MULTIPLESEL, 0, 0, 200, 200, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    }
    ~ListBoxWindow() {
        if (list) DestroyWindow(list);
    }
};

}  // namespace

TEST(TypeListBox, KeepsTypeCodesAsItemData) {
    ListBoxWindow w;
    ASSERT_NE(w.list, nullptr);
    EXPECT_TRUE(GetWindowLongA(w.list, GWL_STYLE) & LBS_OWNERDRAWFIXED) << "the parent draws the items";
    EXPECT_EQ(ImgKit_ListBoxAddType(w.list, kTypeGif, 17), 0);
    EXPECT_EQ(ImgKit_ListBoxAddType(w.list, kTypeJpeg, 17), 1);
    EXPECT_LT(ImgKit_ListBoxAddType(w.list, 99, 17), 0) << "an unknown type gets no item";
    EXPECT_EQ(SendMessageA(w.list, LB_GETCOUNT, 0, 0), 2);

    char name[64] = "";
    SendMessageA(w.list, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(name));
    EXPECT_STREQ(name, ImgKit_GetTypeName(kTypeJpeg, 1));
    EXPECT_EQ(ImgKit_ListBoxGetType(w.list, 0), kTypeGif);
    EXPECT_EQ(ImgKit_ListBoxGetType(w.list, 1), kTypeJpeg);
    EXPECT_EQ(ImgKit_ListBoxGetType(w.list, 2), 0);

    EXPECT_TRUE(ImgKit_ListBoxSelectType(w.list, kTypeJpeg, TRUE));
    EXPECT_FALSE(ImgKit_ListBoxSelectType(w.list, kTypePng, TRUE));
    EXPECT_EQ(SendMessageA(w.list, LB_GETSEL, 0, 0), 0);
    EXPECT_GT(SendMessageA(w.list, LB_GETSEL, 1, 0), 0);
    EXPECT_TRUE(ImgKit_ListBoxSelectType(w.list, kTypeJpeg, FALSE));
    EXPECT_EQ(SendMessageA(w.list, LB_GETSEL, 1, 0), 0);

    // The item drawing asks the list for each item's icon; room for it.
    UINT iconMessage = RegisterWindowMessageA(kWinKitItemIconMessage);
    EXPECT_NE(SendMessageA(w.list, iconMessage, 0, 0), 0);
    EXPECT_EQ(SendMessageA(w.list, iconMessage, 5, 0), 0);
    EXPECT_GE(SendMessageA(w.list, LB_GETITEMHEIGHT, 0, 0), GetSystemMetrics(SM_CYSMICON));
}
