// Control ids of the processing result page (template 112).
#pragma once

#define IDC_RESULT_LOGFILE      260
#define IDC_RESULT_BROWSE       261
#define IDC_RESULT_LOGINOUTPUT  262
#define IDC_RESULT_ERRORSONLY   263
#define IDC_RESULT_OVERWRITE    264
#define IDC_RESULT_ENDMESSAGE   270
#define IDC_RESULT_OPENFOLDER   271
