// The settings file page: reset every setting, or load or save the whole
// record from or to a settings file of the user's choice. It only picks the
// file and has every page reload; writing the default settings file stays
// with the frame's Save and Apply.
#include "settings_ui/inifile_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "entry/settings_ini.h"
#include "makerlibs/pmwinkit.h"

#include <cstring>

namespace {

constexpr LPARAM kActionLoad = 0;
constexpr LPARAM kActionSave = 1;
constexpr LPARAM kActionReset = 2;

// The list offers the actions in this order; an item's value is its action.
constexpr PageComboItem kActions[] = {
    {"設定を初期値に戻す", kActionReset},
    {"設定をINIﾌｧｲﾙから読み込む", kActionLoad},
    {"設定をINIﾌｧｲﾙに保存", kActionSave},
};

// The file the dialogs offer: the one chosen last in this process, first the
// default settings file.
char g_settingsFile[kPathBuffer];

bool ChooseFile(HWND page, const ImageConvertParams* p, bool save) {
    if (!g_settingsFile[0] && p->IniFile) {
        strncpy(g_settingsFile, p->IniFile, kPathBuffer - 1);
        g_settingsFile[kPathBuffer - 1] = '\0';
    }
    return Page_ChooseFile(page, "設定ﾌｧｲﾙ(*.ini)\0*.ini\0", "ini", g_settingsFile, save);
}

void RunAction(HWND page) {
    ImageConvertParams* p = Page_Params(page);
    InitParamsDlgState* st = Page_ShellState(page);
    LPARAM action;
    if (!p || !st || !Page_SelectedComboData(GetDlgItem(page, IDC_INIFILE_ACTION), &action)) return;
    switch (action) {
    case kActionReset:
        pmImageConvert_GetPrivateIniFile(p, nullptr);
        break;
    case kActionSave:
        WinKit_SendToParent(page, WM_PARAMS_VALIDATE, 1, 0);
        if (st->SaveBlocked) return;  // the frame has told the user why
        if (!ChooseFile(page, p, true)) return;
        // A file that did not take the settings leaves the pages as they are.
        if (!Page_WriteSettingsFile(page, g_settingsFile, *p)) return;
        break;
    case kActionLoad:
        if (!ChooseFile(page, p, false)) return;
        pmImageConvert_GetPrivateIniFile(p, g_settingsFile);
        break;
    default:
        return;
    }
    WinKit_SendToParent(page, WM_PARAMS_LOAD, 0, 0);
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (first != 1 || !p) return Page_Answer(page, 1);
    HWND list = GetDlgItem(page, IDC_INIFILE_ACTION);
    for (const PageComboItem& item : kActions) Page_AddComboItem(list, item.Text, item.Value);
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    SetDlgItemTextA(page, IDC_INIFILE_DEFAULT, p->IniFile ? p->IniFile : "");
    Page_OfferFocus(page, 1, IDC_INIFILE_ACTION);
    return Page_Answer(page, 1);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_PARAMS_LOAD:
        return OnLoad(page, wParam);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_INIFILE_OK) RunAction(page);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK IniFilePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}
