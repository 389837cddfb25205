// The exported conversion of an image another program holds in memory.
// Windows only (it creates the output file with the system's calls).
#pragma once
#include "entry/params.h"
#include "makerlibs/pmapi.h"
#include "makerlibs/pmwin.h"

// Turns, zooms, filters and reduces the DIB in *header / *bits as the
// settings say and writes it as image type `type` to `path` (replacing a
// file only with FILEMODE_OVERWRITE). 1 = written, 0 = anything failed; a
// file created before a later failure stays.
//
// Memory. Every block of an image that crosses this call belongs to the
// process heap (GetProcessHeap()):
// - Pass *header as a block from HeapAlloc(GetProcessHeap(), ...) holding
//   the BITMAPINFOHEADER (or a larger info header) and the colour table
//   behind it (biClrUsed entries, or 2^biBitCount when that is 0; for
//   BI_BITFIELDS with a 40-byte header, the three masks instead). Pass
//   *bits as a second such block, or as a pointer into the same block
//   (a packed DIB: header, table and pixels in one block). 1, 4, 8, 16,
//   24 or 32 bits, BI_RGB or BI_BITFIELDS (16 and 32 bits), bottom-up or
//   top-down. Never pass memory from malloc, new, the stack or another heap:
//   when a step replaces the image, the blocks it replaces are freed with
//   HeapFree (a packed block once).
// - On return, whatever the result, *header and *bits hold the image as the
//   pipeline left it (unchanged when the call stopped before the pipeline
//   ran: type 0, no image, the file not created), and the caller frees it:
//   HeapFree(GetProcessHeap(), 0, *header), and the same for *bits unless
//   it lies inside the header's block, from *header to *header + HeapSize
//   (GetProcessHeap(), 0, *header). That happens only when a packed DIB came
//   back unreplaced; a replaced image always has two blocks. Comparing the
//   pointers with the ones passed in is no test: a new block may be given
//   the address of a freed one.
extern "C" int PM_API pmImageConvert_DIBExport(BITMAPINFOHEADER** header, BYTE** bits, const char* path, int type,
                                               ImageConvertParams* params);
