// pmListBox: a list box of image types. Each item is the type's display name
// with the type code as item data; the items are owner-drawn (the parent
// hands WM_DRAWITEM to WinKit_HandleDrawItem), and the class answers the
// drawing code's question for an item's icon with the shell's small icon for
// the type's extension.
#include "makerlibs/pmimgkit/classes_win.h"
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmwinkit.h"

#include <shellapi.h>

#include <algorithm>

namespace {

constexpr char kClassName[] = "pmListBox";
constexpr int kTypeNameDisplay = 1;
constexpr int kTypeNameExtension = 2;

WNDPROC g_listBoxProc;
UINT g_itemIconMessage;

struct TypeIcon {
    int Type;
    HICON Icon;
};
// Icons of the types met so far; a handful, kept for the process's life.
constexpr int kMaxTypeIcons = 32;
TypeIcon g_icons[kMaxTypeIcons];
int g_iconCount;

HICON IconOfType(int type) {
    for (int i = 0; i < g_iconCount; ++i)
        if (g_icons[i].Type == type) return g_icons[i].Icon;
    HICON icon = nullptr;
    if (const char* ext = ImgKit_GetTypeName(type, kTypeNameExtension)) {
        SHFILEINFOA info{};
        if (SHGetFileInfoA(ext, FILE_ATTRIBUTE_NORMAL, &info, sizeof info,
                           SHGFI_USEFILEATTRIBUTES | SHGFI_ICON | SHGFI_SMALLICON))
            icon = info.hIcon;
    }
    if (!icon) icon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    if (g_iconCount < kMaxTypeIcons) g_icons[g_iconCount++] = {type, icon};
    return icon;
}

LRESULT CALLBACK ListBoxProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        // The items are drawn by the parent and carry their names as strings.
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        create->style |= LBS_OWNERDRAWFIXED | LBS_HASSTRINGS;
        create->style &= ~(LBS_OWNERDRAWVARIABLE | LBS_SORT);
        SetWindowLongA(list, GWL_STYLE, create->style);
    }
    if (g_itemIconMessage && message == g_itemIconMessage) {
        LRESULT data = CallWindowProcA(g_listBoxProc, list, LB_GETITEMDATA, wParam, 0);
        return data == LB_ERR ? 0 : reinterpret_cast<LRESULT>(IconOfType(static_cast<int>(data)));
    }
    LRESULT result = CallWindowProcA(g_listBoxProc, list, message, wParam, lParam);
    if (message == WM_CREATE && result == 0) {
        // Room for a small icon; a fixed-height owner-drawn list keeps it
        // when the dialog sets its font.
        int height = std::max(GetSystemMetrics(SM_CYSMICON) + 4, 18);
        CallWindowProcA(g_listBoxProc, list, LB_SETITEMHEIGHT, 0, height);
    }
    return result;
}

}  // namespace

BOOL ImgKit_RegisterListBoxClass(HINSTANCE instance) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExA(instance, kClassName, &existing)) return TRUE;
    WNDCLASSEXA cls{};
    cls.cbSize = sizeof cls;
    if (!GetClassInfoExA(nullptr, "LISTBOX", &cls)) return FALSE;
    g_listBoxProc = cls.lpfnWndProc;
    g_itemIconMessage = RegisterWindowMessageA(kWinKitItemIconMessage);
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = ListBoxProc;
    cls.hInstance = instance;
    cls.lpszClassName = kClassName;
    // Dialog templates of any module in the process may use the class.
    cls.style |= CS_GLOBALCLASS;
    return RegisterClassExA(&cls) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

int ImgKit_ListBoxAddType(HWND listBox, int type, int flags) {
    const char* name = ImgKit_GetTypeName(type, kTypeNameDisplay);
    if (!listBox || !name) return -1;
    LRESULT index = SendMessageA(listBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    if (index < 0) return -1;
    SendMessageA(listBox, LB_SETITEMDATA, index, type);
    return static_cast<int>(index);
}

BOOL ImgKit_ListBoxSelectType(HWND listBox, int type, BOOL select) {
    LRESULT count = SendMessageA(listBox, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        if (SendMessageA(listBox, LB_GETITEMDATA, i, 0) == type) {
            SendMessageA(listBox, LB_SETSEL, select ? TRUE : FALSE, i);
            return TRUE;
        }
    }
    return FALSE;
}

int ImgKit_ListBoxGetType(HWND listBox, int index) {
    LRESULT data = SendMessageA(listBox, LB_GETITEMDATA, index, 0);
    return data == LB_ERR ? 0 : static_cast<int>(data);
}
