// The progress dialog's frame until the batch run exists: it closes itself
// at once with the "completed" result, so a command line with files ends
// cleanly. Replaced by the batch run's dialog procedure.
#include "entry/dialog_procs.h"

extern "C" INT_PTR PM_API pmImageConvert_ProgressDlg(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) EndDialog(dialog, 1);
    return 0;
}
