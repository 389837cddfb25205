// Control ids of the settings file page (template 203).
#pragma once

#define IDC_INIFILE_ACTION      256
#define IDC_INIFILE_OK          1
#define IDC_INIFILE_DEFAULT     257
