// The folder chooser, driven from a second thread: it opens on the initial
// folder and hands back what is selected when OK is pressed.
#include "common/testsupport.h"
#include "makerlibs/pmdlgkit.h"

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

// Waits for the chooser (bounded), lets it settle on its selection, presses
// the button; closes it with Cancel when the wait runs out.
DWORD WINAPI Drive(void* arg) {
    auto* d = static_cast<Driver*>(arg);
    for (int i = 0; i < 200 && !d->found; ++i) {
        Sleep(50);
        EnumThreadWindows(d->mainThread, FindDialog, reinterpret_cast<LPARAM>(d));
    }
    if (!d->found) return 1;
    Sleep(500);
    PostMessageA(d->found, WM_COMMAND, MAKEWPARAM(d->button, BN_CLICKED), 0);
    return 0;
}

int Choose(const char* initial, char* folder, WORD button, bool* shown) {
    Driver d{GetCurrentThreadId(), button};
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
    TempDir dir;
    std::string target = dir / "表ソ";
    ASSERT_TRUE(pmtest::MakeDir(target));
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
