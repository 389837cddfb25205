// PMWINKIT: memory blocks, message boxes and window utilities.
#pragma once
#include "makerlibs/pmwin.h"
#include <cstddef>

// Blocks from the process heap. Non-zero = done; on failure the out pointer
// is null (Realloc: the old block is freed, so a caller never leaks it).
int WinKit_Alloc(HWND owner, size_t size, void** block);
int WinKit_Realloc(HWND owner, size_t size, void** block);
void WinKit_Free(void* block);

// Modal message box; the pressed button's id.
int WinKit_MessageBox(HWND owner, const char* text, const char* caption, UINT type, int reserved, int reserved2);
// Message box with the text, a blank line and the system's description of
// `errorCode`.
int WinKit_ErrorBox(HWND owner, DWORD errorCode, const char* text, UINT type, int reserved);
// The system's message for `errorCode` on one line (inner line breaks become
// one space, the closing line break is dropped, the final period kept), cut
// at a whole character to fit `bufferSize`. Returns the length; an unknown
// code gives "エラー番号 %lu".
int WinKit_GetErrorText(DWORD errorCode, int mode, int bufferSize, char* out);

// The control's rectangle in its parent's client coordinates.
BOOL WinKit_GetChildRect(HWND control, RECT* rect);
// Mode 5: centres the window over `parent`, or over the work area of the
// monitor it is on when there is no parent; always kept inside the work area.
BOOL WinKit_PlaceWindow(HWND window, HWND parent, int mode, int reserved);
// SendMessage to the child's parent.
LRESULT WinKit_SendToParent(HWND child, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WinKit_SetText(HWND control, const char* text);
// Shell folder path (CSIDL) into a 300-byte buffer; negative on failure.
int WinKit_GetSpecialFolder(HWND owner, int folderId, char* out300);
// Registers a custom control class for dialogs: global (the dialog manager
// creates controls with the instance of the module holding the template,
// which need not be the class's), redrawn on resize, arrow cursor. TRUE
// also when the class exists already.
BOOL WinKit_RegisterControlClass(HINSTANCE instance, const char* name, WNDPROC procedure);
// Draws an owner-drawn item of a pmListBox (WM_DRAWITEM); the dialog
// procedure's result.
INT_PTR WinKit_HandleDrawItem(HWND dialog, UINT message, const DRAWITEMSTRUCT* item, int reserved);

// The registered message WinKit_HandleDrawItem sends to an owner-drawn list
// box to ask for an item's icon: wParam the item index; the answer is an
// icon the list box keeps owning, or 0 for none.
constexpr char kWinKitItemIconMessage[] = "WinKit_GetItemIcon";
