// Controls of the result dialog (template IDD_RESULT_DIALOG).
#pragma once

#define IDC_RESULT_OK        1
#define IDC_RESULT_REPORT    256
#define IDC_RESULT_HEADLINE  300
