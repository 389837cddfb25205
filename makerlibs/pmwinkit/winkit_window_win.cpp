// PMWINKIT window utilities.
#include "makerlibs/pmwinkit.h"

#include <shlobj.h>

#include <cstring>

BOOL WinKit_GetChildRect(HWND control, RECT* rect) {
    if (!rect) return FALSE;
    if (!control || !GetWindowRect(control, rect)) {
        SetRectEmpty(rect);
        return FALSE;
    }
    HWND parent = GetParent(control);
    // Two points rather than ScreenToClient on each corner: MapWindowPoints
    // also mirrors the rectangle correctly in right-to-left layouts.
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(rect), 2);
    return TRUE;
}

BOOL WinKit_PlaceWindow(HWND window, HWND parent, int mode, int) {
    if (!window || mode != 5) return FALSE;
    RECT self;
    if (!GetWindowRect(window, &self)) return FALSE;
    // The work area of the monitor the parent (or the window itself) is on,
    // so that a dialog never opens under the task bar or off screen.
    HMONITOR monitor = MonitorFromWindow(parent ? parent : window, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    RECT work;
    if (monitor && GetMonitorInfoA(monitor, &info)) {
        work = info.rcWork;
    } else if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
        return FALSE;
    }
    RECT over = work;
    if (parent && IsWindowVisible(parent) && !IsIconic(parent)) GetWindowRect(parent, &over);

    LONG width = self.right - self.left, height = self.bottom - self.top;
    LONG x = over.left + ((over.right - over.left) - width) / 2;
    LONG y = over.top + ((over.bottom - over.top) - height) / 2;
    // Keep the whole window inside the work area; when it is larger, keep
    // its top-left corner (caption and close button) visible.
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    return SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT WinKit_SendToParent(HWND child, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND parent = child ? GetParent(child) : nullptr;
    return parent ? SendMessageA(parent, message, wParam, lParam) : 0;
}

BOOL WinKit_SetText(HWND control, const char* text) {
    // SetWindowTextA from the worker thread sends WM_SETTEXT to the dialog
    // thread and waits for it; the dialog thread must keep pumping messages.
    return control ? SetWindowTextA(control, text ? text : "") : FALSE;
}

int WinKit_GetSpecialFolder(HWND owner, int folderId, char* out300) {
    if (!out300) return -1;
    // SHGetFolderPathA writes at most MAX_PATH bytes, which fits the 300.
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(owner, folderId, nullptr, SHGFP_TYPE_CURRENT, path)) || path[0] == '\0') {
        out300[0] = '\0';
        return -1;
    }
    std::memcpy(out300, path, std::strlen(path) + 1);
    return static_cast<int>(std::strlen(path));
}

BOOL WinKit_RegisterControlClass(HINSTANCE instance, const char* name, WNDPROC procedure) {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_GLOBALCLASS;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.lpszClassName = name;
    if (RegisterClassA(&wc)) return TRUE;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}
