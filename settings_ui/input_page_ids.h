// Control ids of the input file type page (template 105).
#pragma once

#define IDC_INPUT_TYPES         256
#define IDC_INPUT_SELECTALL     257
#define IDC_INPUT_SUBFOLDERS    258
#define IDC_INPUT_EXTONLY       259
