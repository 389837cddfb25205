// The settings dialog's frame until its pages exist: OK and Cancel close it.
// Replaced by the settings dialog's procedure.
#include "entry/dialog_procs.h"

extern "C" INT_PTR PM_API pmImageConvert_InitParamsDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return 1;
    }
    return message == WM_INITDIALOG;
}
