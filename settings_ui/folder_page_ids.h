// Control ids of the output folder page (template 202).
#pragma once

#define IDC_FOLDER_PATH         256
#define IDC_FOLDER_BROWSE       257
#define IDC_FOLDER_PRODUCT      258
#define IDC_FOLDER_TIME         259
#define IDC_FOLDER_NOEMPTY      260
#define IDC_FOLDER_OVERWRITE    265
