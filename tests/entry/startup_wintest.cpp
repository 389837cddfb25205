// Start-up: where the installation folder comes from, and the entry point
// choosing between the batch run and the settings dialog.
#include "common/testsupport.h"
#include "entry/startup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr char kKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\PIXMILL.EXE";

// Sets (or with null removes) the registry value for the test's duration.
class AppPathsValue {
public:
    explicit AppPathsValue(const char* path, HKEY root = HKEY_LOCAL_MACHINE) : root_(root) {
        RegDeleteKeyA(root_, kKey);
        if (!path) return;
        HKEY key;
        if (RegCreateKeyExA(root_, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), DWORD(strlen(path) + 1));
            RegCloseKey(key);
        }
    }
    ~AppPathsValue() { RegDeleteKeyA(root_, kKey); }

private:
    HKEY root_;
};

std::string CurrentDir() {
    char dir[MAX_PATH + 1];
    GetCurrentDirectoryA(sizeof dir, dir);
    return dir;
}

}  // namespace

TEST(StartupPaths, RegistryFolderWithOrWithoutSeparator) {
    {
        AppPathsValue v("C:\\Apps\\PIXMILL\\");
        AppPaths p;
        FindAppPaths(&p);
        EXPECT_STREQ(p.IniFile, "C:\\Apps\\PIXMILL\\PIXMILL.INI");
    }
    {
        AppPathsValue v("C:\\Apps\\PIXMILL");
        AppPaths p;
        FindAppPaths(&p);
        EXPECT_STREQ(p.Folder, "C:\\Apps\\PIXMILL");
        EXPECT_STREQ(p.IniFile, "C:\\Apps\\PIXMILL\\PIXMILL.INI");
        EXPECT_STREQ(p.HelpPage, "C:\\Apps\\PIXMILL\\HELP\\topics.htm");
    }
}

TEST(StartupPaths, MissingEmptyOrTooLongValueFallsBackToCurrentDirectory) {
    std::string cwd = CurrentDir();
    std::string expected = cwd + (cwd.back() == '\\' ? "" : "\\") + "PIXMILL.INI";
    for (const char* value : {static_cast<const char*>(nullptr), "", "C:\\toolong"}) {
        std::string longValue = "C:\\" + std::string(255, 'x');
        AppPathsValue v(value && !strcmp(value, "C:\\toolong") ? longValue.c_str() : value);
        AppPaths p;
        FindAppPaths(&p);
        EXPECT_EQ(std::string(p.IniFile), expected) << (value ? value : "(no key)");
    }
}

// A per-user installation registers under HKEY_CURRENT_USER; the machine's
// key, when there is one, still comes first, and a machine key without a
// usable value is an answer of its own (the current directory).
TEST(StartupPaths, MachineKeyFirstThenUserKeyThenCurrentDirectory) {
    std::string cwd = CurrentDir();
    std::string inCwd = cwd + (cwd.back() == '\\' ? "" : "\\") + "PIXMILL.INI";
    struct Case {
        const char* machine;  // null: no key
        const char* user;
        std::string expected;
    } cases[] = {
        {nullptr, "C:\\Users\\me\\Programs\\PIXMILL", "C:\\Users\\me\\Programs\\PIXMILL\\PIXMILL.INI"},
        {"C:\\Apps\\PIXMILL", "C:\\Users\\me\\Programs\\PIXMILL", "C:\\Apps\\PIXMILL\\PIXMILL.INI"},
        {"", "C:\\Users\\me\\Programs\\PIXMILL", inCwd},
        {nullptr, nullptr, inCwd},
    };
    for (const Case& c : cases) {
        AppPathsValue machine(c.machine, HKEY_LOCAL_MACHINE);
        AppPathsValue user(c.user, HKEY_CURRENT_USER);
        AppPaths p;
        FindAppPaths(&p);
        EXPECT_EQ(std::string(p.IniFile), c.expected)
            << (c.machine ? c.machine : "(no machine key)") << " / " << (c.user ? c.user : "(no user key)");
    }
}

namespace {

using InitializeFn = int(WINAPI*)(int, const char*, int);

struct AnswerContext {
    std::atomic<bool>* found;
    int id;
};

BOOL CALLBACK PressInDialog(HWND w, LPARAM lp) {
    char cls[16];
    GetClassNameA(w, cls, sizeof cls);
    if (strcmp(cls, "#32770") != 0 || !IsWindowVisible(w)) return TRUE;
    auto* ctx = reinterpret_cast<AnswerContext*>(lp);
    *ctx->found = true;
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(ctx->id, BN_CLICKED), 0);
    return FALSE;
}

// Presses the button `id` of the first dialog the thread shows, within a
// bound; returns whether it found one.
bool AnswerDialog(DWORD threadId, int id, std::atomic<bool>* found) {
    AnswerContext ctx{found, id};
    for (int i = 0; i < 200 && !*found; ++i) {
        EnumThreadWindows(threadId, PressInDialog, reinterpret_cast<LPARAM>(&ctx));
        Sleep(50);
    }
    return *found;
}

bool HaveDisplay() {
    HWND w = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!w) return false;
    DestroyWindow(w);
    return true;
}

}  // namespace

TEST(StartupEntry, CommandLineChoosesTheDialogAndResult) {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
    std::string dll = pmtest::Join(pmtest::Join(pmtest::BinaryDir(), "bin"), "PIXMILUI.DLL");
    HMODULE lib = LoadLibraryA(dll.c_str());
    ASSERT_NE(lib, nullptr) << dll;
    auto init = reinterpret_cast<InitializeFn>(reinterpret_cast<void*>(GetProcAddress(lib, "pmImageConvert_Initialize")));
    ASSERT_NE(init, nullptr);
    pmtest::TempDir dir;
    AppPathsValue v(dir.path().c_str());  // settings file in a scratch folder
    // The run must wait for nobody: no result dialog, no file manager, and
    // its output stays in the scratch folder.
    std::string ini = "[IMGCONVERT]\r\nFileMode=16\r\nWritePath=" + (dir / "out") + "\r\nLogFile=\r\n";
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "PIXMILL.INI", ini.data(), ini.size()));

    // No entries: the settings dialog, answered with Cancel from a second
    // thread; result 0.
    std::atomic<bool> found{false};
    DWORD self = GetCurrentThreadId();
    std::thread answer([&] { AnswerDialog(self, IDCANCEL, &found); });
    EXPECT_EQ(init(0, "", 0), 0);
    answer.join();
    EXPECT_TRUE(found.load());

    // A file entry: the batch run; result 1 whatever happens to the file.
    std::string file = "\"" + (dir / "no such photo.jpg") + "\"";
    std::atomic<bool> found2{false};
    std::thread answer2([&] { AnswerDialog(self, IDCANCEL, &found2); });
    EXPECT_EQ(init(0, file.c_str(), 0), 1);
    found2 = true;
    answer2.join();
    FreeLibrary(lib);
}
