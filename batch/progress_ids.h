// Control ids of the progress dialog (template 109), shared by the resource
// script and the code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_PROGRESS_INPUT        256  // input file path
#define IDC_PROGRESS_FOLDER       257  // output folder of the file
#define IDC_PROGRESS_OUTNAME      258  // output file name
#define IDC_PROGRESS_PROCESSED    260
#define IDC_PROGRESS_SUCCEEDED    261
#define IDC_PROGRESS_ERRORS       262
#define IDC_PROGRESS_PREVIEW_ON   270  // "ﾌﾟﾚﾋﾞｭｰ" check box
#define IDC_PROGRESS_PREVIEW      300  // pmImageOverView
#define IDC_PROGRESS_INDICATOR    301  // pmImageProgress
#define IDC_PROGRESS_DESCRIPTION  302  // one-line description of the preview
