// Entry of PIXMILUI.DLL. Nothing runs at load time: start-up work happens in
// pmImageConvert_Initialize, on the host's thread, where failures can be
// handled.
#include "makerlibs/pmwin.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
