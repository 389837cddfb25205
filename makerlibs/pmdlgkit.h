// PMDLGKIT: the folder chooser.
#pragma once
#include "makerlibs/pmwin.h"

// Shows the shell's folder browser. `folder` (261 bytes) may be `initial`
// too. Non-zero = a folder was chosen and written; 0 = cancelled, or (last
// error ERROR_NO_UNICODE_TRANSLATION) the folder chosen has a name code
// page 932 cannot hold, and `folder` is left as it was.
int DlgKit_ChooseFolder(HWND owner, const char* title, const char* initial, char* folder);
