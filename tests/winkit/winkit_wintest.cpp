#include "makerlibs/pmheap.h"
#include "makerlibs/pmwinkit.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>

TEST(WinKitMemory, ReallocKeepsContentAndBlocksComeFromProcessHeap) {
    void* block = nullptr;
    ASSERT_NE(WinKit_Alloc(nullptr, 16, &block), 0);
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "0123456789abcdef", 16);
    ASSERT_NE(WinKit_Realloc(nullptr, 1 << 20, &block), 0);
    EXPECT_EQ(std::memcmp(block, "0123456789abcdef", 16), 0);
    // A caller outside the library may size or free it through the process heap.
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, block), size_t(1 << 20));
    WinKit_Free(block);
    WinKit_Free(nullptr);
}

TEST(WinKitMemory, ReallocOfNullAllocates) {
    void* block = nullptr;
    ASSERT_NE(WinKit_Realloc(nullptr, 10, &block), 0);
    EXPECT_NE(block, nullptr);
    WinKit_Free(block);
}

TEST(WinKitMemory, FailedAllocAndReallocLeaveNullAndLeakNothing) {
    long live = PmHeap_LiveBlocks();
    void* block = reinterpret_cast<void*>(1);
    PmHeap_FailAfter(0);
    EXPECT_EQ(WinKit_Alloc(nullptr, 8, &block), 0);
    EXPECT_EQ(block, nullptr);

    ASSERT_NE(WinKit_Alloc(nullptr, 8, &block), 0);
    PmHeap_FailAfter(0);
    EXPECT_EQ(WinKit_Realloc(nullptr, 64, &block), 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(PmHeap_LiveBlocks(), live);
    // A size the heap cannot give fails without an injected failure too.
    EXPECT_EQ(WinKit_Alloc(nullptr, ~size_t(0) - 64, &block), 0);
    EXPECT_EQ(block, nullptr);
}

TEST(WinKitErrorText, SystemMessageFitsOnOneLine) {
    char text[256];
    int n = WinKit_GetErrorText(ERROR_FILE_NOT_FOUND, 2, sizeof text, text);
    ASSERT_GT(n, 0);
    EXPECT_EQ(n, int(std::strlen(text)));
    EXPECT_EQ(std::strpbrk(text, "\r\n"), nullptr) << text;
    EXPECT_NE(text[n - 1], ' ');
}

TEST(WinKitErrorText, UnknownCodeGivesItsNumber) {
    char text[256];
    int n = WinKit_GetErrorText(0x2FFFFFFF, 2, sizeof text, text);
    EXPECT_STREQ(text, "エラー番号 805306367");
    EXPECT_EQ(n, int(std::strlen(text)));
}

TEST(WinKitErrorText, ShortBufferCutsAtWholeCharacter) {
    // "エラー番号" is five double-byte characters; 4 bytes hold at most one
    // whole character and its terminator.
    char text[4];
    int n = WinKit_GetErrorText(0x2FFFFFFF, 2, sizeof text, text);
    EXPECT_EQ(n, 2);
    EXPECT_STREQ(text, "エ");
    EXPECT_EQ(WinKit_GetErrorText(ERROR_FILE_NOT_FOUND, 2, 0, text), 0);
}

TEST(WinKitSpecialFolder, DesktopIsAnExistingFolder) {
    char path[300];
    int n = WinKit_GetSpecialFolder(nullptr, CSIDL_DESKTOPDIRECTORY, path);
    ASSERT_GT(n, 0);
    DWORD attributes = GetFileAttributesA(path);
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_LT(WinKit_GetSpecialFolder(nullptr, 0x7F, path), 0);
}

TEST(WinKitWindow, ChildRectIsInParentClientCoordinates) {
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_BORDER | WS_CAPTION, 200, 150, 400, 300,
                                  nullptr, nullptr, nullptr, nullptr);
    if (!parent) GTEST_SKIP() << "no window station";
    HWND child = CreateWindowExA(0, "STATIC", "", WS_CHILD, 17, 23, 50, 40, parent, nullptr, nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    RECT r;
    ASSERT_TRUE(WinKit_GetChildRect(child, &r));
    EXPECT_EQ(r.left, 17);
    EXPECT_EQ(r.top, 23);
    EXPECT_EQ(r.right, 67);
    EXPECT_EQ(r.bottom, 63);
    EXPECT_FALSE(WinKit_GetChildRect(nullptr, &r));

    EXPECT_TRUE(WinKit_SetText(child, "テキスト"));
    char text[32];
    GetWindowTextA(child, text, sizeof text);
    EXPECT_STREQ(text, "テキスト");
    DestroyWindow(parent);
}

TEST(WinKitWindow, PlaceWindowKeepsAHugeWindowsCornerOnScreen) {
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    HWND w = CreateWindowExA(0, "STATIC", "", WS_POPUP, -5000, -5000, 200, 100, nullptr, nullptr, nullptr, nullptr);
    if (!w) GTEST_SKIP() << "no window station";
    ASSERT_TRUE(WinKit_PlaceWindow(w, nullptr, 5, 0));
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_GE(r.left, work.left);
    EXPECT_GE(r.top, work.top);
    EXPECT_LE(r.right, work.right);
    EXPECT_LE(r.bottom, work.bottom);

    SetWindowPos(w, nullptr, 0, 0, 20000, 20000, SWP_NOZORDER | SWP_NOMOVE);
    ASSERT_TRUE(WinKit_PlaceWindow(w, nullptr, 5, 0));
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, work.left);
    EXPECT_EQ(r.top, work.top);
    DestroyWindow(w);
}
