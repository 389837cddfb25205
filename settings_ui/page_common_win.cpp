// Helpers every settings page uses to reach the frame and its controls.
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmwinkit.h"

#include <commdlg.h>

InitParamsDlgState* Page_ShellState(HWND page) {
    HWND shell = GetParent(page);
    if (!shell) return nullptr;
    return reinterpret_cast<InitParamsDlgState*>(GetWindowLongPtrA(shell, DWLP_USER));
}

ImageConvertParams* Page_Params(HWND page) {
    InitParamsDlgState* st = Page_ShellState(page);
    return st && st->Args ? &st->Args->Params : nullptr;
}

ImageConvertExtras* Page_Extras(HWND page) {
    InitParamsDlgState* st = Page_ShellState(page);
    return st ? st->Extras : nullptr;
}

void Page_NotifyChanged(HWND page) {
    WinKit_SendToParent(page, WM_PARAMS_CHANGED, 0, 0);
}

void Page_OfferFocus(HWND page, int wParam, int controlId) {
    if (wParam != 1) return;
    InitParamsDlgState* st = Page_ShellState(page);
    if (st && st->FocusSlot) *st->FocusSlot = GetDlgItem(page, controlId);
}

void Page_CheckBit(HWND page, int controlId, uint32_t bits, uint32_t bit) {
    CheckDlgButton(page, controlId, (bits & bit) ? BST_CHECKED : BST_UNCHECKED);
}

void Page_StoreBit(HWND page, int controlId, uint32_t* bits, uint32_t bit) {
    *bits &= ~bit;
    if (IsDlgButtonChecked(page, controlId) == BST_CHECKED) *bits |= bit;
}

void Page_AddComboItem(HWND combo, const char* text, LPARAM data) {
    LRESULT index = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (index >= 0) SendMessageA(combo, CB_SETITEMDATA, index, data);
}

bool Page_SelectComboData(HWND combo, LPARAM data) {
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        if (SendMessageA(combo, CB_GETITEMDATA, i, 0) == data) {
            SendMessageA(combo, CB_SETCURSEL, i, 0);
            return true;
        }
    }
    return false;
}

bool Page_SelectedComboData(HWND combo, LPARAM* data) {
    LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (index < 0) return false;
    *data = SendMessageA(combo, CB_GETITEMDATA, index, 0);
    return true;
}

void Page_SelectComboPosition(HWND combo, long position) {
    // Values from a settings file may lie outside the list: no selection then.
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    WPARAM index = position >= 0 && position < count ? static_cast<WPARAM>(position) : static_cast<WPARAM>(-1);
    SendMessageA(combo, CB_SETCURSEL, index, 0);
}

INT_PTR Page_Answer(HWND page, LRESULT result) {
    SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return TRUE;
}

bool Page_ChooseFile(HWND page, const char* filter, const char* extension, char* file, bool save) {
    // MAX_PATH + 1: the callers' buffers hold 264 bytes.
    constexpr DWORD kFileDialogMax = 261;
    char title[256] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = page;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = kFileDialogMax;
    ofn.lpstrFileTitle = title;
    ofn.nMaxFileTitle = sizeof title;
    ofn.Flags = OFN_EXPLORER | OFN_SHAREAWARE | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!save) ofn.Flags |= OFN_FILEMUSTEXIST;
    ofn.lpstrDefExt = extension;
    return save ? GetSaveFileNameA(&ofn) != 0 : GetOpenFileNameA(&ofn) != 0;
}
