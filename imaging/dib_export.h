// The exported conversion of an image another program holds in memory.
// Windows only (it creates the output file with the system's calls).
#pragma once
#include "entry/params.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmwin.h"

// Turns, zooms, filters and reduces the DIB in *header / *bits as the
// settings say and writes it as image type `type` to `path` (replacing a
// file only with FILEMODE_OVERWRITE). 1 = written, 0 = anything failed; a
// file created before a later failure stays. The caller owns the DIB in
// every case: on return the pointers hold the image as the pipeline left it,
// unchanged when the call stopped before the pipeline ran.
extern "C" int PM_API pmImageConvert_DIBExport(BITMAPINFOHEADER** header, BYTE** bits, const char* path, int type,
                                               ImageConvertParams* params);
