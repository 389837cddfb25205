// The window classes of the image library, registered together.
#pragma once
#include "makerlibs/pmwin.h"

BOOL ImgKit_RegisterListBoxClass(HINSTANCE instance);
