// The two dialog procedures start-up runs, exported for hosts that run the
// dialogs themselves.
#pragma once
#include "makerlibs/pmapi.h"
#include "makerlibs/pmwin.h"

// The progress dialog (template 109). Returns 0 for every message; the
// modal result is 1 for a completed run, 2 for a stopped one.
extern "C" INT_PTR PM_API pmImageConvert_ProgressDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// The settings dialog (IDD_SETTINGS); its creation parameter is
// InitParamsDlgArgs (entry/params.h).
extern "C" INT_PTR PM_API pmImageConvert_InitParamsDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
