// Helpers every settings page uses to reach the frame and its controls.
#include "settings_ui/settings_pages.h"

#include "entry/settings_ini.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmwinkit.h"

#include <cderr.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>

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

void Page_ShowFlags(HWND page, uint32_t bits, std::span<const PageFlagBox> boxes) {
    for (const PageFlagBox& box : boxes) {
        bool ticked = ((bits & box.Bit) != 0) != box.Inverted;
        CheckDlgButton(page, box.Control, ticked ? BST_CHECKED : BST_UNCHECKED);
    }
}

bool Page_StoreFlag(HWND page, int control, uint32_t* bits, std::span<const PageFlagBox> boxes) {
    for (const PageFlagBox& box : boxes) {
        if (box.Control != control) continue;
        bool ticked = IsDlgButtonChecked(page, control) == BST_CHECKED;
        if (ticked != box.Inverted)
            *bits |= box.Bit;
        else
            *bits &= ~box.Bit;
        return true;
    }
    return false;
}

long Page_ReadField(const void* record, PageField field) {
    const auto* at = static_cast<const unsigned char*>(record) + field.Offset;
    switch (field.Bytes) {
    case 1: return *at;
    case 2: {
        uint16_t v;
        memcpy(&v, at, sizeof v);
        return v;
    }
    default: {
        int32_t v;
        memcpy(&v, at, sizeof v);
        return v;
    }
    }
}

void Page_WriteField(void* record, PageField field, long value) {
    auto* at = static_cast<unsigned char*>(record) + field.Offset;
    switch (field.Bytes) {
    case 1: *at = static_cast<uint8_t>(value); return;
    case 2: {
        auto v = static_cast<uint16_t>(value);
        memcpy(at, &v, sizeof v);
        return;
    }
    default: {
        auto v = static_cast<int32_t>(value);
        memcpy(at, &v, sizeof v);
        return;
    }
    }
}

void Page_FillCombos(HWND page, std::span<const PageCombo> combos) {
    for (const PageCombo& c : combos) {
        HWND list = GetDlgItem(page, c.Control);
        for (const PageComboItem& item : c.Items) Page_AddComboItem(list, item.Text, item.Value);
    }
}

void Page_ShowCombos(HWND page, const void* record, std::span<const PageCombo> combos) {
    for (const PageCombo& c : combos) {
        long stored = Page_ReadField(record, c.Field);
        Page_SelectComboData(GetDlgItem(page, c.Control), c.ShownAs ? c.ShownAs(stored) : stored);
    }
}

bool Page_StoreCombo(HWND page, int control, int code, void* record, std::span<const PageCombo> combos) {
    if (code != 0 && code != CBN_SELCHANGE) return false;
    for (const PageCombo& c : combos) {
        if (c.Control != control) continue;
        LPARAM data;
        if (!Page_SelectedComboData(GetDlgItem(page, control), &data)) return false;
        Page_WriteField(record, c.Field, static_cast<long>(data));
        return true;
    }
    return false;
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
    // Values from a settings file may lie outside the list: no selection
    // then, rather than a stale one from before a reload.
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    return false;
}

bool Page_SelectedComboData(HWND combo, LPARAM* data) {
    LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (index < 0) return false;
    *data = SendMessageA(combo, CB_GETITEMDATA, index, 0);
    return true;
}

INT_PTR Page_Dispatch(HWND page, UINT message, WPARAM wParam, PageLoad load, PageCommand command) {
    return Page_Guard([&]() -> INT_PTR {
        switch (message) {
        case WM_PARAMS_LOAD:
            return load(page, wParam);
        case WM_COMMAND:
            command(page, LOWORD(wParam), HIWORD(wParam));
            return FALSE;
        }
        return FALSE;
    });
}

INT_PTR Page_Answer(HWND page, LRESULT result) {
    SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return TRUE;
}

bool Page_ChooseFile(HWND page, const char* filter, const char* extension, char* file, bool save) {
    // The longest name the callers' buffers (264 bytes) take, with its end.
    constexpr size_t kFileMax = 261;
    // The dialog writes into its buffer even when it fails: a needed size
    // when the name is too long, or, counting characters where the buffer
    // holds bytes, a double-byte name cut at the end of the buffer. So it
    // gets a copy with room for any name it can return, and the caller's
    // name changes only when a whole name that fits was chosen.
    char scratch[4 * MAX_PATH] = "";
    PmPath_Copy(scratch, kFileMax, file);
    char title[256] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = page;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = scratch;
    ofn.nMaxFile = sizeof scratch;
    ofn.lpstrFileTitle = title;
    ofn.nMaxFileTitle = sizeof title;
    ofn.Flags = OFN_EXPLORER | OFN_SHAREAWARE | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!save) ofn.Flags |= OFN_FILEMUSTEXIST;
    ofn.lpstrDefExt = extension;
    bool chosen = save ? GetSaveFileNameA(&ofn) != 0 : GetOpenFileNameA(&ofn) != 0;
    bool tooLong = chosen ? strnlen(scratch, sizeof scratch) >= kFileMax : CommDlgExtendedError() == FNERR_BUFFERTOOSMALL;
    if (tooLong) {
        // A cut name would be another file: the user hears why nothing changed.
        char caption[50] = "";
        GetWindowTextA(GetAncestor(page, GA_ROOT), caption, sizeof caption);
        char text[sizeof scratch + 40];
        snprintf(text, sizeof text, "ファイル名が長過ぎます。\n\n%.*s", chosen ? int(sizeof scratch) : 0, scratch);
        WinKit_MessageBox(page, text, caption, MB_ICONEXCLAMATION | MB_OK, 0, 0);
        return false;
    }
    if (!chosen) return false;
    return PmPath_Copy(file, kFileMax, scratch);
}

bool Page_WriteSettingsFile(HWND owner, const char* file, const ImageConvertParams& params) {
    DWORD error = WriteSettingsIni(&params, file, 0);
    if (!error) return true;
    char message[400];
    snprintf(message, sizeof message, "設定ﾌｧｲﾙ書き込みｴﾗｰ: %s", file ? file : "");
    WinKit_ErrorBox(owner, error, message, MB_ICONEXCLAMATION, 0);
    return false;
}
