// The portable mirrors of the system's records must match them byte for byte:
// DIBs and sizes cross between pure code and Windows calls unconverted.
#include "makerlibs/pmdib.h"
#include "makerlibs/pmwin.h"

static_assert(sizeof(DibHeader) == sizeof(BITMAPINFOHEADER));
static_assert(offsetof(DibHeader, biBitCount) == offsetof(BITMAPINFOHEADER, biBitCount));
static_assert(offsetof(DibHeader, biClrImportant) == offsetof(BITMAPINFOHEADER, biClrImportant));
static_assert(sizeof(RgbQuad) == sizeof(RGBQUAD));
static_assert(offsetof(RgbQuad, red) == offsetof(RGBQUAD, rgbRed));
static_assert(offsetof(RgbQuad, reserved) == offsetof(RGBQUAD, rgbReserved));
static_assert(sizeof(PmSize) == sizeof(SIZE) && offsetof(PmSize, cy) == offsetof(SIZE, cy));
static_assert(sizeof(PmRect) == sizeof(RECT) && offsetof(PmRect, bottom) == offsetof(RECT, bottom));
