// The two dialog procedures start-up runs, exported for hosts that run the
// dialogs themselves.
#pragma once
#include "makerlibs/pmapi.h"
#include "makerlibs/pmwin.h"

extern "C" INT_PTR PM_API pmImageConvert_ProgressDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" INT_PTR PM_API pmImageConvert_InitParamsDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
