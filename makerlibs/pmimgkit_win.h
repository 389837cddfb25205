// PMIMGKIT, Windows part: items of a pmListBox (an owner-drawn list box
// class registered by the library). Item data = the image type code.
#pragma once
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmwin.h"

// Registers the window classes of the image libraries (pmListBox,
// pmImageProgress, pmImageOverView) for `instance`. Called by start-up.
BOOL ImgKit_RegisterClasses(HINSTANCE instance);

// Appends an item for `type`; returns its index or a negative value.
int ImgKit_ListBoxAddType(HWND listBox, int type, int flags);
// Selects (select non-zero) or deselects the item of `type`; FALSE when absent.
BOOL ImgKit_ListBoxSelectType(HWND listBox, int type, BOOL select);
// The type code of item `index`, 0 when there is none.
int ImgKit_ListBoxGetType(HWND listBox, int index);
