// The settings dialog frame: page tree, Apply state, Save, Cancel, the
// output folder check and wheel forwarding, on the real dialog.
#include "dialog_driver.h"
#include "settings_ui/image_page_ids.h"
#include "settings_ui/result_page_ids.h"
#include "common/testsupport.h"

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
        // Without a browser engine (Wine here) the start page is an empty
        // page and holds no browser.
        ASSERT_NE(d.page(kStart), nullptr);
        EXPECT_TRUE(IsWindowVisible(d.page(kStart)));
        EXPECT_EQ(d.state()->Browser, nullptr);
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
