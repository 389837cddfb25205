// PMCORE: the small file and text operations.
#include "makerlibs/pmcore.h"

#include <cstring>

HANDLE Core_CheckHandle(int, HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

HANDLE Core_RawHandle(HANDLE handle) { return handle; }

DWORD Core_SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, int origin) {
    return SetFilePointer(file, distance, distanceHigh, DWORD(origin));
}

DWORD Core_GetFileSize(HANDLE file, DWORD* sizeHigh) { return GetFileSize(file, sizeHigh); }

BOOL Core_WriteFile(HANDLE file, const void* data, DWORD length, DWORD* written, void*) {
    DWORD dummy = 0;
    return WriteFile(file, data, length, written ? written : &dummy, nullptr);
}

char* Core_FindChar(const char* text, int ch) {
    return text ? const_cast<char*>(PmPath_FindChar(text, ch)) : nullptr;
}

int Core_SetTrailingSeparator(char* path, int mode) {
    if (!path) return 0;
    size_t n = std::strlen(path);
    if (mode == 1) {
        if (PmPath_EndsWithSeparator(path)) return 0;
        // Buffers handed here hold MAX_PATH + 4 bytes at least (264).
        if (n + 1 >= MAX_PATH + 4) return 0;
        path[n] = '\\';
        path[n + 1] = '\0';
        return 1;
    }
    // Modes 0 and 2 both drop one trailing separator (mode 2 before a
    // sub-path that brings its own is appended).
    if (!PmPath_EndsWithSeparator(path)) return 0;
    path[n - 1] = '\0';
    return 1;
}
