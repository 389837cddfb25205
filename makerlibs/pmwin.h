// The one way Windows code includes windows.h: lean, no min/max macros,
// strict handle types. The build sets the same macros; this header keeps a
// file correct when compiled on its own.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef STRICT
#define STRICT
#endif
#include <windows.h>
