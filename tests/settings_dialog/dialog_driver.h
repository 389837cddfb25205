// Runs the real settings dialog modally on the test's main thread and drives
// it from a second thread by messages (sends are served by the modal loop).
// Every wait is bounded, generously: the bounds catch hangs, not slowness
// (a loaded machine may take seconds to show a window). A window that does
// not appear fails the test, and a dialog that does not close is ended, so
// no test is left waiting.
#pragma once
#include "entry/params.h"
#include "entry/settings_ini.h"
#include "makerlibs/pmimgkit_win.h"
#include "resources/resource_ids.h"
#include "entry/dialog_procs.h"
#include "settings_ui/settings_dlg_ids.h"
#include "settings_ui/settings_pages.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace dlgtest {

constexpr DWORD kWaitMs = 60000;

enum Node { kStart, kImage, kInput, kOutput, kFolder, kResult, kIniFile, kVersion };

// Polls `ready` until it holds or the bound passes.
inline bool WaitFor(const std::function<bool()>& ready, DWORD ms = kWaitMs) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if (ready()) return true;
        Sleep(20);
    }
    return ready();
}

struct FindArgs {
    HWND owner;
    HWND found;
    const char* mustHaveText;
};

inline BOOL CALLBACK FindDialogProc(HWND w, LPARAM lp) {
    auto* a = reinterpret_cast<FindArgs*>(lp);
    char cls[32] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (strcmp(cls, "#32770") != 0 || !IsWindowVisible(w)) return TRUE;
    if (GetWindow(w, GW_OWNER) != a->owner) return TRUE;
    a->found = w;
    return FALSE;
}

// A dialog-class window of `thread` owned by `owner` (null: an unowned one).
inline HWND FindDialog(DWORD thread, HWND owner) {
    FindArgs args{owner, nullptr, nullptr};
    EnumThreadWindows(thread, FindDialogProc, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

class Driver {
public:
    Driver(HWND dialog, DWORD thread) : dialog_(dialog), thread_(thread) {}
    HWND dialog() const { return dialog_; }
    InitParamsDlgState* state() const {
        return reinterpret_cast<InitParamsDlgState*>(GetWindowLongPtrA(dialog_, DWLP_USER));
    }
    ImageConvertParams& params() const { return state()->Args->Params; }
    HWND page(int node) const { return state()->Pages[node].Window; }
    HWND control(int node, int id) const { return GetDlgItem(page(node), id); }
    HWND subPage(int type) const {
        for (const SaveOptionPage& s : state()->SaveOptionPages)
            if (s.ImageType == type) return s.Window;
        return nullptr;
    }
    bool applyEnabled() const { return IsWindowEnabled(GetDlgItem(dialog_, IDC_SETTINGS_APPLY)) != FALSE; }

    // What a user's choice does: the selection, then the notification.
    void choose(HWND combo, int index) const {
        SendMessageA(combo, CB_SETCURSEL, index, 0);
        SendMessageA(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
    }
    void click(HWND button) const { SendMessageA(button, BM_CLICK, 0, 0); }
    void type(HWND edit, const char* text) const { SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }
    std::string text(HWND w) const {
        char buf[600] = "";
        GetWindowTextA(w, buf, sizeof buf);
        return buf;
    }
    bool checked(HWND button) const { return SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    LRESULT selection(HWND combo) const { return SendMessageA(combo, CB_GETCURSEL, 0, 0); }
    void showPage(int node) const {
        HWND tree = GetDlgItem(dialog_, IDC_SETTINGS_TREE);
        for (HTREEITEM item = TreeView_GetRoot(tree); item; item = NextItem(tree, item)) {
            TVITEMA it{};
            it.mask = TVIF_PARAM;
            it.hItem = item;
            SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
            if (reinterpret_cast<PageEntry*>(it.lParam)->Node == node) {
                TreeView_SelectItem(tree, item);
                return;
            }
        }
        ADD_FAILURE() << "no tree item for node " << node;
    }
    std::string selectedTreeText() const {
        HWND tree = GetDlgItem(dialog_, IDC_SETTINGS_TREE);
        char buf[100] = "";
        TVITEMA it{};
        it.mask = TVIF_TEXT;
        it.hItem = TreeView_GetSelection(tree);
        it.pszText = buf;
        it.cchTextMax = sizeof buf;
        SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
        return buf;
    }
    // Posts a button of the frame (a press may open a modal window, so it
    // must not be sent).
    void press(int id) const { PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    void pressOn(HWND page, int id) const { PostMessageA(page, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    bool waitClosed() const {
        return WaitFor([&] { return !IsWindow(dialog_); });
    }
    // A message box or common dialog the frame (or one of its pages) opened.
    HWND waitOwnedDialog(DWORD ms = kWaitMs) const {
        HWND box = nullptr;
        WaitFor([&] { return (box = FindDialog(thread_, dialog_)) != nullptr; }, ms);
        return box;
    }
    // Answers a message box and waits for it to go.
    bool answer(HWND box, int button) const {
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return WaitFor([&] { return !IsWindow(box); });
    }
    // The text of a message box, with its line breaks as the program wrote
    // them (the box shows each as CR LF).
    std::string boxText(HWND box) const {
        HWND t = GetDlgItem(box, 0xFFFF);
        std::string s = t ? text(t) : std::string();
        for (size_t at; (at = s.find("\r\n")) != std::string::npos;) s.erase(at, 1);
        return s;
    }

private:
    static HTREEITEM NextItem(HWND tree, HTREEITEM item) {
        if (HTREEITEM child = TreeView_GetChild(tree, item)) return child;
        while (item) {
            if (HTREEITEM next = TreeView_GetNextSibling(tree, item)) return next;
            item = TreeView_GetParent(tree, item);
        }
        return nullptr;
    }
    HWND dialog_;
    DWORD thread_;
};

// The creation parameter with its settings read from `iniFile` (may be
// absent: the defaults), and the environment start-up would give it.
struct DialogSetup {
    std::unique_ptr<InitParamsDlgArgs> args = std::make_unique<InitParamsDlgArgs>();
    std::string iniFile;
    std::string helpPage;

    explicit DialogSetup(const std::string& ini) : iniFile(ini), helpPage("Z:\\nonexistent\\HELP\\topics.htm") {
        static bool once = [] {
            INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
            InitCommonControlsEx(&icc);
            return ImgKit_RegisterClasses(GetModuleHandleA(nullptr)) != FALSE;
        }();
        EXPECT_TRUE(once);
        memset(args.get(), 0, sizeof *args);
        args->Size = kInitParamsDlgArgsSize;
        reload();
    }
    void reload() {
        ImageConvertParams& p = args->Params;
        pmImageConvert_GetPrivateIniFile(&p, iniFile.empty() ? nullptr : iniFile.c_str());
        p.Instance = GetModuleHandleA(nullptr);
        p.IniFile = iniFile.c_str();
        p.HelpPage = helpPage.c_str();
        p.AppFolder = nullptr;
    }
    ImageConvertParams& params() { return args->Params; }

    // Opens the dialog and runs `script` against it on a second thread; the
    // dialog's result. When the script leaves the dialog open it is
    // cancelled, message boxes first.
    INT_PTR run(const std::function<void(Driver&)>& script) {
        DWORD self = GetCurrentThreadId();
        std::atomic<bool> found{false};
        std::atomic<bool> returned{false};
        std::thread driver([&] {
            HWND dialog = nullptr;
            WaitFor([&] { return returned || (dialog = FindDialog(self, nullptr)) != nullptr; });
            if (!dialog) {
                ADD_FAILURE() << "the settings dialog did not appear";
                // It may still come; it must not be left open.
                while (!returned) {
                    if (HWND late = FindDialog(self, nullptr)) EndDialog(late, IDCANCEL);
                    Sleep(50);
                }
                return;
            }
            found = true;
            Driver d(dialog, self);
            // Let WM_INITDIALOG finish before driving.
            WaitFor([&] { return d.state() != nullptr; });
            SendMessageA(dialog, WM_NULL, 0, 0);
            script(d);
            for (int i = 0; i < 3 && IsWindow(dialog); ++i) {
                while (HWND box = FindDialog(self, dialog)) d.answer(box, IDCANCEL);
                d.press(IDC_SETTINGS_CANCEL);
                if (d.waitClosed()) break;
            }
            if (!IsWindow(dialog)) return;
            ADD_FAILURE() << "the settings dialog did not close";
            // Whatever holds it (a box that ignores its buttons), it ends.
            while (!returned) {
                while (HWND box = FindDialog(self, dialog)) {
                    EndDialog(box, IDCANCEL);
                    Sleep(50);
                }
                EndDialog(dialog, IDCANCEL);
                Sleep(50);
            }
        });
        INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS), nullptr,
                                         pmImageConvert_InitParamsDlg, reinterpret_cast<LPARAM>(args.get()));
        returned = true;
        driver.join();
        EXPECT_TRUE(found.load());
        return result;
    }
};

// The value of a key as the profile functions read it back.
inline std::string IniValue(const std::string& file, const char* section, const char* key) {
    char buf[600] = "";
    GetPrivateProfileStringA(section, key, "<missing>", buf, sizeof buf, file.c_str());
    return buf;
}

}  // namespace dlgtest
