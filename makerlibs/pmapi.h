// Calling convention of the functions PIXMILUI.DLL exports: stdcall on
// 32-bit x86 (the decoration is removed by the .def file), the only
// convention on x86-64. Usable from pure code without windows.h.
#pragma once
#if defined(__i386__) || defined(_M_IX86)
#define PM_API __attribute__((stdcall))
#else
#define PM_API
#endif
