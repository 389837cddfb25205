// Resource ids shared by the .rc files and the code.
#pragma once

// Error messages: string-table ids equal the conversion error codes.
#define IDS_ERR_OPEN_INPUT      101
#define IDS_ERR_CREATE_OUTPUT   102
#define IDS_ERR_READ            103
#define IDS_ERR_WRITE           104
#define IDS_ERR_MEMORY          105
#define IDS_ERR_INTERNAL        106
#define IDS_ERR_CREATE_FOLDER   107
#define IDS_ERR_COLOR_MAPPING   108
#define IDS_ERR_GIF_STOPPED     109

// Icons and bitmaps. The main icon is named "PIXMILUI".
#define IDI_DOCUMENT            1000
#define IDB_LOGO                205

// Dialog templates.
#define IDD_START_PAGE          103
#define IDD_SETTINGS            104
#define IDD_INPUT_TYPES         105
#define IDD_OUTPUT_TYPE         106
#define IDD_OPT_GIF             107
#define IDD_IMAGE_SETTINGS      108
#define IDD_PROGRESS            109
#define IDD_OPT_PNG             110
#define IDD_OPT_BMP             111
#define IDD_RESULT_PAGE         112
#define IDD_OPT_JPEG            113
#define IDD_OPT_TIFF            116
#define IDD_OPT_WEBP            120
#define IDD_RESULT_DIALOG       201
#define IDD_OUTPUT_FOLDER       202
#define IDD_SETTINGS_FILE       203
#define IDD_VERSION             204
