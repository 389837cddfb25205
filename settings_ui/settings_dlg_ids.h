// Control ids of the settings dialog frame (template 104). Plain #defines:
// the resource compiler reads this header too.
#pragma once

#define IDC_SETTINGS_SAVE       1    /* IDOK: save and close */
#define IDC_SETTINGS_CANCEL     2    /* IDCANCEL */
#define IDC_SETTINGS_APPLY      10
#define IDC_SETTINGS_HELP       11
#define IDC_SETTINGS_TREE       256
#define IDC_SETTINGS_PAGEAREA   300  /* placeholder of the page area */
