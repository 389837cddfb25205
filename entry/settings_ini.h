// Reading and writing the settings record as an INI file.
#pragma once
#include "entry/params.h"
#include "makerlibs/pmapi.h"

extern "C" int PM_API pmImageConvert_GetPrivateIniFile(ImageConvertParams* params, const char* iniFile);
extern "C" int PM_API pmImageConvert_WritePrivateIniFile(ImageConvertParams* params, const char* iniFile);
int WritePrivateIniFileEx(const ImageConvertParams* params, const char* iniFile, int displayOnly);
