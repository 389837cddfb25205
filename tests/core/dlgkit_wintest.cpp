// The folder chooser, driven from a second thread: it opens on the initial
// folder and hands back what is selected when OK is pressed.
#include "common/testsupport.h"
#include "makerlibs/pmdlgkit.h"
#include "makerlibs/pmpath.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using pmtest::TempDir;

namespace {

bool NoDisplayUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
    char display[64];
    return wine && GetEnvironmentVariableA("DISPLAY", display, sizeof display) == 0;
}

struct Driver {
    DWORD mainThread;
    WORD button;
    const char* selectedName;  // wait for the tree to select this folder
    HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND w, LPARAM lp) {
    char cls[16];
    if (GetClassNameA(w, cls, sizeof cls) && !std::strcmp(cls, "#32770") && IsWindowVisible(w)) {
        reinterpret_cast<Driver*>(lp)->found = w;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindTree(HWND w, LPARAM lp) {
    char cls[32];
    if (GetClassNameA(w, cls, sizeof cls) && !std::strcmp(cls, WC_TREEVIEWA)) {
        *reinterpret_cast<HWND*>(lp) = w;
        return FALSE;
    }
    return TRUE;
}

std::string SelectedName(HWND dialog) {
    HWND tree = nullptr;
    EnumChildWindows(dialog, FindTree, reinterpret_cast<LPARAM>(&tree));
    if (!tree) return {};
    auto item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!item) return {};
    char text[MAX_PATH] = "";
    TVITEMA tv = {};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = text;
    tv.cchTextMax = sizeof text;
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    return text;
}

// Waits (bounded) for the chooser and for its tree to settle on the initial
// folder (the shell fills it after the dialog shows), then presses the button.
DWORD WINAPI Drive(void* arg) {
    auto* d = static_cast<Driver*>(arg);
    for (int i = 0; i < 200 && !d->found; ++i) {
        Sleep(50);
        EnumThreadWindows(d->mainThread, FindDialog, reinterpret_cast<LPARAM>(d));
    }
    if (!d->found) return 1;
    for (int i = 0; i < 200 && SelectedName(d->found) != d->selectedName; ++i) Sleep(50);
    PostMessageA(d->found, WM_COMMAND, MAKEWPARAM(d->button, BN_CLICKED), 0);
    return 0;
}

int Choose(const char* initial, char* folder, WORD button, bool* shown) {
    Driver d{GetCurrentThreadId(), button, PmPath_NameStart(initial)};
    HANDLE t = CreateThread(nullptr, 0, Drive, &d, 0, nullptr);
    int r = DlgKit_ChooseFolder(nullptr, "出力先のﾌｫﾙﾀﾞを選択して下さい。", initial, folder);
    WaitForSingleObject(t, 15000);
    CloseHandle(t);
    *shown = d.found != nullptr;
    return r;
}

}  // namespace

TEST(ChooseFolder, OkGivesTheInitialFolderInTheSameBuffer) {
    if (NoDisplayUnderWine()) GTEST_SKIP() << "no X display";
    // Wine's chooser sometimes stops short of a deep initial folder (at an
    // ancestor), so the folder lies at the top of the drive where it may.
    TempDir fallback;
    std::string target = "C:\\表ソ-" + std::to_string(GetCurrentProcessId());
    if (!pmtest::MakeDir(target)) {
        target = fallback / "表ソ";
        ASSERT_TRUE(pmtest::MakeDir(target));
    }
    struct Cleanup { std::string p; ~Cleanup() { pmtest::RemoveTree(p); } } cleanup{target};
    char buf[261];
    std::strcpy(buf, target.c_str());
    bool shown = false;
    EXPECT_NE(Choose(buf, buf, IDOK, &shown), 0);
    ASSERT_TRUE(shown);
    EXPECT_EQ(lstrcmpiA(buf, target.c_str()), 0) << buf;
}

TEST(ChooseFolder, CancelLeavesTheBufferAlone) {
    if (NoDisplayUnderWine()) GTEST_SKIP() << "no X display";
    TempDir dir;
    char buf[261];
    std::strcpy(buf, dir.path().c_str());
    bool shown = false;
    EXPECT_EQ(Choose(buf, buf, IDCANCEL, &shown), 0);
    ASSERT_TRUE(shown);
    EXPECT_STREQ(buf, dir.path().c_str());
}
