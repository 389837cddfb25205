// The settings dialog frame: page tree, Apply state, Save, Cancel, the
// output folder check and wheel forwarding, on the real dialog.
#include "dialog_driver.h"
#include "settings_ui/image_page_ids.h"
#include "settings_ui/result_page_ids.h"
#include "settings_ui/start_page_ids.h"
#include "common/testsupport.h"
#include "makerlibs/pmwinkit.h"

#include <algorithm>
#include <vector>

using namespace dlgtest;

namespace {

std::string WriteIni(const pmtest::TempDir& dir, const std::string& body) {
    std::string path = dir / "PIXMILL.INI";
    EXPECT_TRUE(pmtest::WriteWholeFile(path, body.data(), body.size()));
    return path;
}

}  // namespace

TEST(SettingsShell, OpensOnTheStoredPageAndBuildsTheTree) {
    pmtest::TempDir dir;
    std::string ini = WriteIni(dir, "[IMGCONVERT_DISP]\r\nCurNode=5\r\nCurLeaf=0\r\n");
    DialogSetup setup(ini);
    setup.run([&](Driver& d) {
        EXPECT_EQ(d.selectedTreeText(), "処理結果");
        for (int node = kImage; node <= kVersion; ++node) {
            ASSERT_NE(d.page(node), nullptr) << node;
            EXPECT_EQ(IsWindowVisible(d.page(node)) != FALSE, node == kResult) << node;
        }
        EXPECT_EQ(d.state()->PageCount, 8);
        HWND tree = GetDlgItem(d.dialog(), IDC_SETTINGS_TREE);
        HTREEITEM root = TreeView_GetRoot(tree);
        EXPECT_EQ(TreeView_GetNextSibling(tree, root), nullptr) << "one top-level item";
        // Root: image settings, settings file, version; the four run pages
        // under image settings; everything open.
        int rootChildren = 0, imageChildren = 0;
        for (HTREEITEM c = TreeView_GetChild(tree, root); c; c = TreeView_GetNextSibling(tree, c)) ++rootChildren;
        for (HTREEITEM c = TreeView_GetChild(tree, TreeView_GetChild(tree, root)); c; c = TreeView_GetNextSibling(tree, c))
            ++imageChildren;
        EXPECT_EQ(rootChildren, 3);
        EXPECT_EQ(imageChildren, 4);
        EXPECT_TRUE(TreeView_GetItemState(tree, root, TVIS_EXPANDED) & TVIS_EXPANDED);
        EXPECT_EQ(TreeView_GetItemState(tree, root, TVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(1));
        EXPECT_FALSE(d.applyEnabled());
    });
}

TEST(SettingsShell, UnknownStoredPageShowsTheStartPageAndStoresZero) {
    pmtest::TempDir dir;
    std::string ini = WriteIni(dir, "[IMGCONVERT_DISP]\r\nCurNode=9\r\nCurLeaf=0\r\n");
    DialogSetup setup(ini);
    INT_PTR result = setup.run([&](Driver& d) {
        EXPECT_EQ(d.selectedTreeText(), "Vimoサムネイル");
        EXPECT_EQ(d.state()->Args->CurNode, 0);
        ASSERT_NE(d.page(kStart), nullptr);
        EXPECT_TRUE(IsWindowVisible(d.page(kStart)));
        for (int node = kImage; node <= kVersion; ++node) EXPECT_FALSE(IsWindowVisible(d.page(node))) << node;
        d.press(IDC_SETTINGS_CANCEL);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(IniValue(ini, "IMGCONVERT_DISP", "CurNode"), "0");
}

TEST(SettingsShell, ApplyFollowsTheDifferenceFromTheSnapshot) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, dir.path().c_str());
    setup.run([&](Driver& d) {
        HWND direction = d.control(kImage, IDC_IMAGE_DIRECTION);
        EXPECT_FALSE(d.applyEnabled());
        d.choose(direction, 3);
        EXPECT_EQ(d.params().Direction, 3);
        EXPECT_TRUE(d.applyEnabled());
        d.choose(direction, 0);
        EXPECT_FALSE(d.applyEnabled());
        // A change on another page, then Apply: saved, snapshot taken.
        d.click(d.control(kResult, IDC_RESULT_ENDMESSAGE));
        EXPECT_TRUE(d.applyEnabled());
        d.press(IDC_SETTINGS_APPLY);
        EXPECT_TRUE(WaitFor([&] { return !d.applyEnabled(); }));
        EXPECT_EQ(d.state()->Args->Saved, 1);
        EXPECT_TRUE(IsWindow(d.dialog()));
    });
    EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "FileMode"), std::to_string(kDefaultFileMode & ~FILEMODE_ENDMESSAGE));
}

TEST(SettingsShell, SaveWithoutChangesStillWritesAndMarksSaved) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, dir.path().c_str());
    INT_PTR result = setup.run([&](Driver& d) {
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(setup.args->Saved, 1);
    EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "WritePath"), dir.path());
    EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "Size.cx"), "96");
}

TEST(SettingsShell, CancelWritesOnlyThePagePosition) {
    pmtest::TempDir dir;
    std::string before = "[IMGCONVERT_DISP]\r\nCurNode=1\r\nCurLeaf=0\r\n[IMGCONVERT]\r\nDirection=2\r\n";
    std::string ini = WriteIni(dir, before);
    DialogSetup setup(ini);
    INT_PTR result = setup.run([&](Driver& d) {
        d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 5);
        d.showPage(kFolder);
        EXPECT_TRUE(IsWindowVisible(d.page(kFolder)));
        EXPECT_FALSE(IsWindowVisible(d.page(kImage)));
        d.press(IDC_SETTINGS_CANCEL);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(setup.args->Saved, 0);
    EXPECT_EQ(IniValue(ini, "IMGCONVERT_DISP", "CurNode"), "4");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Direction"), "2");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Resize"), "<missing>");

    // The next opening shows that page.
    DialogSetup again(ini);
    again.run([&](Driver& d) { EXPECT_EQ(d.selectedTreeText(), "出力フォルダ"); });
}

TEST(SettingsShell, OutputFolderIsNormalisedAndLengthChecked) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    ImageConvertParams& p = setup.params();
    snprintf(p.WritePath, sizeof p.WritePath, "%s\\", dir.path().c_str());
    setup.run([&](Driver& d) {
        d.press(IDC_SETTINGS_APPLY);
        EXPECT_TRUE(WaitFor([&] { return d.state()->Args->Saved == 1; }));
    });
    EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "WritePath"), dir.path());

    // With the time folder a run appends a stamp: 244 bytes are refused,
    // 243 accepted. The folders do not exist; "No" saves without them.
    auto folderOf = [&](size_t length) {
        std::string f = dir.path() + "\\";
        while (f.size() < length) f += 'a';
        return f;
    };
    for (size_t length : {244u, 243u}) {
        DialogSetup s(dir / "LEN.INI");
        s.params().FileMode = FILEMODE_TIMEFOLDER;
        std::string folder = folderOf(length);
        strcpy(s.params().WritePath, folder.c_str());
        s.run([&](Driver& d) {
            d.press(IDC_SETTINGS_APPLY);
            HWND box = d.waitOwnedDialog();
            ASSERT_NE(box, nullptr) << length;
            std::string text = d.boxText(box);
            if (length == 244) {
                EXPECT_EQ(text.rfind("フォルダー名が長過ぎます。", 0), 0u) << text;
                d.answer(box, IDOK);
                EXPECT_EQ(d.state()->SaveBlocked, 1);
                EXPECT_EQ(d.state()->Args->Saved, 0);
            } else {
                EXPECT_EQ(text.rfind("出力先フォルダーが存在しません。", 0), 0u) << text;
                d.answer(box, IDNO);
                EXPECT_TRUE(WaitFor([&] { return d.state()->Args->Saved == 1; }));
            }
        });
        if (length == 243) {
            EXPECT_EQ(IniValue(s.iniFile, "IMGCONVERT", "WritePath"), folder);
            EXPECT_FALSE(pmtest::FileExists(folder));
        }
    }
}

TEST(SettingsShell, DriveRootOutputFolderStaysTheRoot) {
    // "C:" alone is the current folder of drive C: the root must keep its
    // backslash, whatever the current folder is.
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, "C:\\");
    setup.run([&](Driver& d) {
        d.press(IDC_SETTINGS_APPLY);
        EXPECT_TRUE(WaitFor([&] { return d.state()->Args->Saved == 1; }));
        EXPECT_STREQ(d.params().WritePath, "C:\\");
    });
    SetCurrentDirectoryA(cwd);
    EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "WritePath"), "C:\\");
}

TEST(SettingsShell, CreationQuestionCancelStopsAndYesCreates) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    std::string folder = dir / "new\\deeper";
    strcpy(setup.params().WritePath, folder.c_str());
    INT_PTR result = setup.run([&](Driver& d) {
        d.press(IDC_SETTINGS_SAVE);
        HWND box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        d.answer(box, IDCANCEL);
        EXPECT_TRUE(IsWindow(d.dialog()));
        EXPECT_EQ(d.state()->Args->Saved, 0);
        EXPECT_FALSE(pmtest::FileExists(setup.iniFile));

        d.press(IDC_SETTINGS_SAVE);
        box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        d.answer(box, IDYES);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(pmtest::FileExists(folder));
}

TEST(SettingsShell, WheelGoesToTheFocusedControlAndNeverLoops) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.params().CurNode = kImage;
    setup.run([&](Driver& d) {
        HWND direction = d.control(kImage, IDC_IMAGE_DIRECTION);
        SendMessageA(d.dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(direction), TRUE);
        SendMessageA(d.dialog(), WM_MOUSEWHEEL, MAKEWPARAM(0, -WHEEL_DELTA), 0);
        EXPECT_EQ(d.params().Direction, 1) << "the combo box took the wheel";

        // A check box ignores the wheel, which comes back up to the frame.
        HWND box = d.control(kImage, IDC_IMAGE_USEFILTER);
        SendMessageA(d.dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(box), TRUE);
        SendMessageA(d.dialog(), WM_MOUSEWHEEL, MAKEWPARAM(0, -WHEEL_DELTA), 0);
        UINT roll = RegisterWindowMessageA("MSWHEEL_ROLLMSG");
        SendMessageA(d.dialog(), roll, static_cast<WPARAM>(-WHEEL_DELTA), 0);
        EXPECT_TRUE(IsWindow(d.dialog()));
    });
}

TEST(SettingsShell, MissingCreationParameterEndsTheDialog) {
    DialogSetup setup("");  // registers the classes
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS), nullptr,
                                     pmImageConvert_InitParamsDlg, 0);
    EXPECT_EQ(result, 2);
}

TEST(StartPage, HostingComesFromTheSystemLibraryAndBuildsThePage) {
    if (GetEnvironmentVariableA("PM_TEST_NO_HOSTING", nullptr, 0)) GTEST_SKIP() << "hosting switched off";
    // All three hosting functions resolve (else the set-up reports false).
    ASSERT_TRUE(StartPage_InitHosting());
    StartPage_EndHosting();

    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        // The hosted creation turns the class-id control into a host window;
        // the ordinary one cannot create it at all.
        HWND host = d.control(kStart, IDC_START_BROWSER);
        ASSERT_NE(host, nullptr) << "the browser control was not hosted";
        char cls[64] = "";
        GetClassNameA(host, cls, sizeof cls);
        EXPECT_EQ(std::string(cls).rfind("AtlAxWin", 0), 0u) << cls;
        // The control exists even where no browser engine renders pages
        // (Wine here, with its engine switched off): the page is blank.
        EXPECT_NE(d.state()->Browser, nullptr);
        d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 2);
        EXPECT_TRUE(d.applyEnabled());
    });
}

// Runs a copy of this test program with atl.dll switched off for that copy
// alone (Wine's per-program library settings), for the case below; true
// when that run passed.
bool RunWithoutHosting(const pmtest::TempDir& dir, const char* filter) {
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    const char* name = "pm_without_hosting.exe";
    std::string copy = dir / name;
    if (!CopyFileA(self, copy.c_str(), FALSE)) return false;
    std::string key = std::string("Software\\Wine\\AppDefaults\\") + name + "\\DllOverrides";
    HKEY overrides = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &overrides, nullptr))
        return false;
    RegSetValueExA(overrides, "atl", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    RegCloseKey(overrides);
    SetEnvironmentVariableA("PM_TEST_NO_HOSTING", "1");
    std::string command = "\"" + copy + "\" --gtest_filter=" + filter;
    STARTUPINFOA si{sizeof si};
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("PM_TEST_NO_HOSTING", nullptr);
    DWORD code = 1;
    if (started) {
        if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &code);
        else if (TerminateProcess(pi.hProcess, 1))
            WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    return started && code == 0;
}

TEST(StartPage, WithoutHostingThePageIsEmptyAndTheRestWorks) {
    if (!GetEnvironmentVariableA("PM_TEST_NO_HOSTING", nullptr, 0)) {
        pmtest::TempDir dir;
        EXPECT_TRUE(RunWithoutHosting(dir, "StartPage.WithoutHosting*"));
        return;
    }
    EXPECT_EQ(GetModuleHandleA("atl.dll"), nullptr);
    EXPECT_FALSE(StartPage_InitHosting());
    StartPage_EndHosting();
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.params().CurNode = kStart;
    setup.run([&](Driver& d) {
        ASSERT_NE(d.page(kStart), nullptr);
        EXPECT_TRUE(IsWindowVisible(d.page(kStart)));
        EXPECT_EQ(d.control(kStart, IDC_START_BROWSER), nullptr);
        EXPECT_EQ(d.state()->Browser, nullptr);
        d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 2);
        EXPECT_TRUE(d.applyEnabled());
    });
}

namespace {

// Makes each saved setting differ alone; the Apply button must follow.
struct SettingChange {
    const char* Name;
    void (*Change)(ImageConvertParams&);
};
const SettingChange kSettingChanges[] = {
    {"Direction", [](ImageConvertParams& p) { p.Direction ^= 1; }},
    {"Resize", [](ImageConvertParams& p) { p.Resize ^= 1; }},
    {"Size.cx", [](ImageConvertParams& p) { ++p.Size.cx; }},
    {"Size.cy", [](ImageConvertParams& p) { ++p.Size.cy; }},
    {"BitCount", [](ImageConvertParams& p) { p.BitCount ^= 1; }},
    {"Palette", [](ImageConvertParams& p) { p.Palette ^= 1; }},
    {"ZoomFilter", [](ImageConvertParams& p) { p.ZoomFilter ^= 1; }},
    {"UseFilter", [](ImageConvertParams& p) { p.UseFilter ^= 1; }},
    {"Filter", [](ImageConvertParams& p) { p.Filter ^= 1; }},
    {"ImageTypeCount", [](ImageConvertParams& p) { --p.ImageTypeCount; }},
    {"first ImageType", [](ImageConvertParams& p) { p.ImageType[0] ^= 0x40; }},
    {"last ImageType", [](ImageConvertParams& p) { p.ImageType[p.ImageTypeCount - 1] ^= 0x40; }},
    {"FileMode", [](ImageConvertParams& p) { p.FileMode ^= 0x80000000u; }},
    {"WritePath", [](ImageConvertParams& p) { strcat(p.WritePath, "x"); }},
    {"LogFile", [](ImageConvertParams& p) { strcat(p.LogFile, "x"); }},
    {"WriteImageType", [](ImageConvertParams& p) { p.WriteImageType ^= 1; }},
    {"ImageCount", [](ImageConvertParams& p) { ++p.ImageCount; }},
    {"Bmp_Format", [](ImageConvertParams& p) { ++p.SaveOptions.Bmp_Format; }},
    {"Bmp_Comp", [](ImageConvertParams& p) { p.SaveOptions.Bmp_Comp ^= 1; }},
    {"Jpeg_Quality", [](ImageConvertParams& p) { ++p.SaveOptions.Jpeg_Quality; }},
    {"Jpeg_Smoothing", [](ImageConvertParams& p) { ++p.SaveOptions.Jpeg_Smoothing; }},
    {"Jpeg_OptEncode", [](ImageConvertParams& p) { p.SaveOptions.Jpeg_OptEncode ^= 1; }},
    {"Jpeg_Progressive", [](ImageConvertParams& p) { p.SaveOptions.Jpeg_Progressive ^= 1; }},
    {"Png_Interlace", [](ImageConvertParams& p) { p.SaveOptions.Png_Interlace ^= 1; }},
    {"Gif_Interlace", [](ImageConvertParams& p) { p.SaveOptions.Gif_Interlace ^= 1; }},
};

}  // namespace

TEST(SettingsShell, ApplyFollowsEverySavedSettingAlone) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        ASSERT_GE(d.params().ImageTypeCount, 2);
        ImageConvertParams saved = d.params();
        auto reevaluate = [&] { SendMessageA(d.dialog(), WM_PARAMS_CHANGED, 0, 0); };
        for (const SettingChange& c : kSettingChanges) {
            c.Change(d.params());
            reevaluate();
            EXPECT_TRUE(d.applyEnabled()) << c.Name << " changed alone";
            d.params() = saved;
            reevaluate();
            EXPECT_FALSE(d.applyEnabled()) << c.Name << " changed back";
        }
        // Not settings: the page position, and type slots past the count.
        d.params().CurNode ^= 1;
        d.params().ImageType[kMaxImageTypes - 1] ^= 0x40;
        reevaluate();
        EXPECT_FALSE(d.applyEnabled());
        d.params() = saved;

        // The height typed alone, as a user does.
        d.type(d.control(kImage, IDC_IMAGE_HEIGHT), "123");
        EXPECT_EQ(d.params().Size.cy, 123);
        EXPECT_TRUE(d.applyEnabled());
    });
}

namespace {

// Answers the error box of a refused save and tells what it said.
std::string RefusedSaveText(const Driver& d, int button) {
    d.press(button);
    HWND box = d.waitOwnedDialog();
    if (!box) return "<no message box>";
    std::string text = d.boxText(box);
    d.answer(box, IDOK);
    return text;
}

std::string SystemReason(DWORD error) {
    char text[300] = "";
    WinKit_GetErrorText(error, 0, sizeof text, text);
    return text;
}

}  // namespace

TEST(SettingsShell, UnwritableSettingsFileKeepsTheDialogOpenAndUnsaved) {
    pmtest::TempDir dir;
    std::string blocker = dir / "blocker";
    ASSERT_TRUE(pmtest::WriteWholeFile(blocker, "x", 1));
    // A name that is a folder. (The read-only attribute does not stop Wine
    // running as root.)
    std::string folder = dir / "folder.ini";
    ASSERT_TRUE(pmtest::MakeDir(folder));
    struct Case {
        std::string File;
        std::string Reason;  // empty: any reason the system gives
    };
    for (const Case& c : {Case{blocker + "\\PIXMILL.INI", ""}, Case{folder, ""},
                          Case{"", SystemReason(ERROR_INVALID_NAME)}}) {
        DialogSetup setup(c.File);
        strcpy(setup.params().WritePath, dir.path().c_str());
        INT_PTR result = setup.run([&](Driver& d) {
            d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 3);
            for (int button : {IDC_SETTINGS_SAVE, IDC_SETTINGS_APPLY}) {
                std::string text = RefusedSaveText(d, button);
                ASSERT_TRUE(IsWindow(d.dialog())) << "closed as if saved; " << text;
                EXPECT_EQ(text.rfind("設定ﾌｧｲﾙ書き込みｴﾗｰ: " + c.File + "\n\n", 0), 0u) << text;
                std::string reason = text.substr(std::min(text.size(), text.find("\n\n") + 2));
                if (c.Reason.empty())
                    EXPECT_FALSE(reason.empty()) << text;
                else
                    EXPECT_EQ(reason, c.Reason);
                EXPECT_EQ(d.state()->Args->Saved, 0) << button;
                EXPECT_TRUE(d.applyEnabled()) << "the change still waits to be saved";
                EXPECT_EQ(d.params().Direction, 3);
            }
        });
        EXPECT_EQ(result, 2) << c.File;
    }
    EXPECT_FALSE(pmtest::FileExists(blocker + "\\PIXMILL.INI"));
}

TEST(SettingsShell, RefusedFolderCreationGivesItsOwnReason) {
    pmtest::TempDir dir;
    std::string file = dir / "a file";
    ASSERT_TRUE(pmtest::WriteWholeFile(file, "x", 1));
    // Too long for the folder functions, short enough for the dialog's check.
    std::string deep = dir.path();
    while (deep.size() < 250) deep += "\\d";
    deep.resize(250, 'd');
    if (deep.back() == '\\') deep.back() = 'd';
    struct Case {
        std::string Folder;
        DWORD Error;
    };
    for (const Case& c : {Case{file, ERROR_ALREADY_EXISTS}, Case{deep, ERROR_FILENAME_EXCED_RANGE}}) {
        DialogSetup setup(dir / "PIXMILL.INI");
        strcpy(setup.params().WritePath, c.Folder.c_str());
        setup.params().FileMode = 0;  // the longest folder the dialog allows
        setup.run([&](Driver& d) {
            d.press(IDC_SETTINGS_SAVE);
            HWND question = d.waitOwnedDialog();
            ASSERT_NE(question, nullptr);
            d.answer(question, IDYES);
            HWND box = d.waitOwnedDialog();
            ASSERT_NE(box, nullptr) << c.Folder;
            EXPECT_EQ(d.boxText(box), "ﾌｫﾙﾀﾞ作成ｴﾗｰ: " + c.Folder + "\n\n" + SystemReason(c.Error));
            d.answer(box, IDOK);
            EXPECT_EQ(d.state()->Args->Saved, 0);
        });
        EXPECT_EQ(IniValue(setup.iniFile, "IMGCONVERT", "Direction"), "<missing>");
    }
}
