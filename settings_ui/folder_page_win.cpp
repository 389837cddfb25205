// The output folder page: where a run writes, and the folder options. The
// path is checked only when the settings are saved, by the frame.
#include "settings_ui/folder_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmdlgkit.h"
#include "makerlibs/pmwinkit.h"

#include <cstring>

namespace {

constexpr int kEditLimit = 260;
constexpr char kUnnamableFolder[] =
    "選択したﾌｫﾙﾀﾞの名前には、出力先として保存できない文字が含まれています。\n"
    "出力先は変更されません。別のﾌｫﾙﾀﾞを選択して下さい。";
constexpr char kFolderCaption[] = "出力先のﾌｫﾙﾀﾞ";

constexpr PageFlagBox kFlags[] = {
    {IDC_FOLDER_PRODUCT, FILEMODE_PRODUCTFOLDER, false},
    {IDC_FOLDER_TIME, FILEMODE_TIMEFOLDER, false},
    {IDC_FOLDER_NOEMPTY, FILEMODE_NOEMPTYFOLDER, false},
    {IDC_FOLDER_OVERWRITE, FILEMODE_OVERWRITE, false},
};

// Not creating an empty folder only means something for the time folder;
// its own bit stays as it was while the box is disabled.
void ShowDependents(HWND page, const ImageConvertParams* p) {
    EnableWindow(GetDlgItem(page, IDC_FOLDER_NOEMPTY), (p->FileMode & FILEMODE_TIMEFOLDER) != 0);
}

void StorePath(HWND page, ImageConvertParams* p) {
    GetDlgItemTextA(page, IDC_FOLDER_PATH, p->WritePath, kPathBuffer);
    Page_NotifyChanged(page);
}

void Browse(HWND page, ImageConvertParams* p) {
    char folder[kPathBuffer];
    memcpy(folder, p->WritePath, sizeof folder);
    folder[kPathBuffer - 1] = '\0';
    if (!DlgKit_ChooseFolder(page, "出力先のﾌｫﾙﾀﾞを選択して下さい。", folder, folder)) {
        // The setting is code page 932 text: a folder it cannot name would
        // be kept as a look-alike, and the run would write somewhere else.
        if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION)
            MessageBoxA(page, kUnnamableFolder, kFolderCaption, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    SetDlgItemTextA(page, IDC_FOLDER_PATH, folder);
    StorePath(page, p);
}

void OnCommand(HWND page, int id, int code) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return;
    switch (id) {
    case IDC_FOLDER_PATH:
        if (code == 0 || code == EN_CHANGE || code == EN_UPDATE) StorePath(page, p);
        return;
    case IDC_FOLDER_BROWSE:
        Browse(page, p);
        return;
    default:
        if (!Page_StoreFlag(page, id, &p->FileMode, kFlags)) return;
        ShowDependents(page, p);
        break;
    }
    Page_NotifyChanged(page);
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return Page_Answer(page, 0);
    if (first == 1) SendDlgItemMessageA(page, IDC_FOLDER_PATH, EM_LIMITTEXT, kEditLimit, 0);
    p->WritePath[kPathBuffer - 1] = '\0';
    WinKit_SetText(GetDlgItem(page, IDC_FOLDER_PATH), p->WritePath);
    Page_ShowFlags(page, p->FileMode, kFlags);
    ShowDependents(page, p);
    Page_OfferFocus(page, static_cast<int>(first), IDC_FOLDER_PATH);
    return Page_Answer(page, 1);
}

}  // namespace

INT_PTR CALLBACK FolderPageProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
    return Page_Dispatch(page, message, wParam, OnLoad, OnCommand);
}
