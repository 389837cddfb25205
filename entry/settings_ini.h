// Reading and writing the settings record as an INI file through the
// platform's private-profile functions.
#pragma once
#include "entry/params.h"
#include "entry/settings_values.h"
#include "makerlibs/pmapi.h"

// Fills every persisted field from `iniFile`; with a null path every
// persisted field gets its default and no file is touched. Always 0.
extern "C" int PM_API pmImageConvert_GetPrivateIniFile(ImageConvertParams* params, const char* iniFile);
// Writes both sections. Always 0.
extern "C" int PM_API pmImageConvert_WritePrivateIniFile(ImageConvertParams* params, const char* iniFile);
// Writes section IMGCONVERT_DISP; with displayOnly non-zero stops there and
// returns 1, else writes section IMGCONVERT too and returns 0. A null or
// empty path writes nothing (the profile functions would otherwise pick
// WIN.INI in the Windows folder).
int WritePrivateIniFileEx(const ImageConvertParams* params, const char* iniFile, int displayOnly);
// Writes as WritePrivateIniFileEx does and tells whether the file took every
// value: 0, or the system's error code of the first write that failed (later
// values are then not tried). A null or empty path gives ERROR_INVALID_NAME.
DWORD WriteSettingsIni(const ImageConvertParams* params, const char* iniFile, int displayOnly);

