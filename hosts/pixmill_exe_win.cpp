// PIXMILL.EXE: loads the application library by name and hands it the
// command line without the program's own name.
#include "makerlibs/pmwin.h"

namespace {

using InitializeFn = int(WINAPI*)(int, const char*, int);
using InitializeWFn = int(WINAPI*)(int, const wchar_t*, int);

// Skips the program name at the start of a command line as the C runtime
// does: quoted up to the closing quote, else up to the first blank; then the
// blanks after it.
const char* SkipProgramName(const char* p) {
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') p = CharNextA(p);
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') p = CharNextA(p);
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

const wchar_t* SkipProgramNameW(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HMODULE lib = LoadLibraryA("PIXMILUI");
    if (!lib) {
        MessageBoxA(nullptr, "PIXMILUI.DLL を読み込めません。", "PIXMILL", MB_OK | MB_ICONSTOP);
        return 1;
    }
    // The command line as the user gave it, so that a folder named in any
    // script converts; a library without the wide entry gets the narrow one.
    auto initW = reinterpret_cast<InitializeWFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "pmImageConvert_InitializeW")));
    if (initW) {
        initW(0, SkipProgramNameW(GetCommandLineW()), 0);
        FreeLibrary(lib);
        return 0;
    }
    auto init = reinterpret_cast<InitializeFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "pmImageConvert_Initialize")));
    if (!init) {
        MessageBoxA(nullptr, "PIXMILUI.DLL が壊れています。", "PIXMILL", MB_OK | MB_ICONSTOP);
        FreeLibrary(lib);
        return 1;
    }
    init(0, SkipProgramName(GetCommandLineA()), 0);
    FreeLibrary(lib);
    return 0;
}
