// The settings dialog: its exported dialog procedure (template 104, creation
// parameter an InitParamsDlgArgs).
#pragma once
#include "entry/params.h"
#include "makerlibs/pmapi.h"

extern "C" INT_PTR PM_API pmImageConvert_InitParamsDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
