// The input file type page: which image types a run converts, whether it
// scans sub-folders, and whether a file's type is judged by its extension.
#include "settings_ui/input_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmwinkit.h"

namespace {

// Flag values of the type list calls; their meaning belongs to the image
// library.
constexpr int kListReadableTypes = 16;
constexpr int kAddTypeFlags = 17;

constexpr PageFlagBox kFlags[] = {
    {IDC_INPUT_SUBFOLDERS, FILEMODE_SUBFOLDERS, false},
    {IDC_INPUT_EXTONLY, FILEMODE_EXTONLY, false},
};

// The stored order is the list's order, whatever order the user clicked in.
void RebuildTypes(HWND page, ImageConvertParams* p) {
    HWND list = GetDlgItem(page, IDC_INPUT_TYPES);
    p->ImageTypeCount = 0;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count && p->ImageTypeCount < kMaxImageTypes; ++i)
        if (SendMessageA(list, LB_GETSEL, i, 0) > 0)
            p->ImageType[p->ImageTypeCount++] = ImgKit_ListBoxGetType(list, static_cast<int>(i));
    Page_NotifyChanged(page);
}

void OnCommand(HWND page, int id, int code) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return;
    switch (id) {
    case IDC_INPUT_TYPES:
        if (code == 0 || code == LBN_SELCHANGE) RebuildTypes(page, p);
        return;
    case IDC_INPUT_SELECTALL: {
        HWND list = GetDlgItem(page, IDC_INPUT_TYPES);
        LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) SendMessageA(list, LB_SETSEL, TRUE, i);
        OnCommand(page, IDC_INPUT_TYPES, 0);
        return;
    }
    case IDC_INPUT_SUBFOLDERS: {
        Page_StoreFlag(page, id, &p->FileMode, kFlags);
        Page_NotifyChanged(page);
        // The other pages show what the record holds now; their own edits
        // are already in it.
        InitParamsDlgState* st = Page_ShellState(page);
        for (int i = 0; st && i < st->PageCount; ++i) {
            HWND other = st->Pages[i].Window;
            if (other && other != page) SendMessageA(other, WM_PARAMS_LOAD, 0, 0);
        }
        return;
    }
    default:
        if (Page_StoreFlag(page, id, &p->FileMode, kFlags)) Page_NotifyChanged(page);
        return;
    }
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return Page_Answer(page, 0);
    HWND list = GetDlgItem(page, IDC_INPUT_TYPES);
    int offered[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(kListReadableTypes, kMaxImageTypes, offered);
    if (n < 0) n = 0;
    if (n > kMaxImageTypes) n = kMaxImageTypes;
    if (first == 1)
        for (int i = 0; i < n; ++i) ImgKit_ListBoxAddType(list, offered[i], kAddTypeFlags);
    int stored = p->ImageTypeCount < 0 ? 0 : (p->ImageTypeCount > kMaxImageTypes ? kMaxImageTypes : p->ImageTypeCount);
    for (int i = 0; i < n; ++i) {
        bool selected = false;
        for (int k = 0; k < stored && !selected; ++k) selected = p->ImageType[k] == offered[i];
        ImgKit_ListBoxSelectType(list, offered[i], selected);
    }
    Page_ShowFlags(page, p->FileMode, kFlags);
    OnCommand(page, IDC_INPUT_SUBFOLDERS, 0);
    Page_OfferFocus(page, static_cast<int>(first), IDC_INPUT_TYPES);
    return Page_Answer(page, 1);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_PARAMS_LOAD:
        return OnLoad(page, wParam);
    case WM_COMMAND:
        OnCommand(page, LOWORD(wParam), HIWORD(wParam));
        return FALSE;
    case WM_DRAWITEM:
        return WinKit_HandleDrawItem(page, message, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), 0);
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK InputPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}
