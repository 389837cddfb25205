// Drawing of owner-drawn list box items: an optional small icon that the
// list box supplies, then the item's text, in the selection colours.
#include "makerlibs/pmwinkit.h"

INT_PTR WinKit_HandleDrawItem(HWND dialog, UINT message, const DRAWITEMSTRUCT* item, int reserved) {
    if (message != WM_DRAWITEM || !item || item->CtlType != ODT_LISTBOX) return FALSE;
    HDC dc = item->hDC;
    RECT rc = item->rcItem;
    // An empty list still shows where the focus is.
    if (item->itemID == static_cast<UINT>(-1)) {
        if (item->itemState & ODS_FOCUS) DrawFocusRect(dc, &rc);
        return TRUE;
    }
    bool selected = (item->itemState & ODS_SELECTED) != 0;
    bool disabled = (item->itemState & ODS_DISABLED) != 0;
    FillRect(dc, &rc, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));

    static UINT iconMessage = RegisterWindowMessageA(kWinKitItemIconMessage);
    int iconSize = GetSystemMetrics(SM_CXSMICON);
    int x = rc.left + 2;
    auto icon = reinterpret_cast<HICON>(SendMessageA(item->hwndItem, iconMessage, item->itemID, 0));
    if (icon) {
        int y = rc.top + (rc.bottom - rc.top - iconSize) / 2;
        DrawIconEx(dc, x, y, icon, iconSize, iconSize, 0, nullptr, DI_NORMAL);
    }
    x += iconSize + 4;

    char text[256] = "";
    LRESULT length = SendMessageA(item->hwndItem, LB_GETTEXTLEN, item->itemID, 0);
    if (length >= 0 && length < static_cast<LRESULT>(sizeof text))
        SendMessageA(item->hwndItem, LB_GETTEXT, item->itemID, reinterpret_cast<LPARAM>(text));
    int oldMode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColor = SetTextColor(
        dc, GetSysColor(disabled ? COLOR_GRAYTEXT : (selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT)));
    RECT textRect = {x, rc.top, rc.right - 2, rc.bottom};
    DrawTextA(dc, text, -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    if (item->itemState & ODS_FOCUS) DrawFocusRect(dc, &rc);
    return TRUE;
}
