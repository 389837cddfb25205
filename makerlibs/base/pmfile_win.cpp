#include "makerlibs/pmfile.h"
#include "makerlibs/pmwin.h"

namespace {
HANDLE H(PmFileHandle h) { return static_cast<HANDLE>(h); }
// ReadFile/WriteFile take 32-bit counts; big requests go in slices.
constexpr DWORD kSlice = 1u << 30;
}  // namespace

int64_t PmFile_Read(PmFileHandle file, void* buffer, size_t bytes) {
    size_t total = 0;
    auto* p = static_cast<char*>(buffer);
    while (total < bytes) {
        DWORD want = DWORD(bytes - total > kSlice ? kSlice : bytes - total), got = 0;
        if (!ReadFile(H(file), p + total, want, &got, nullptr)) return -1;
        if (got == 0) break;
        total += got;
    }
    return int64_t(total);
}

int64_t PmFile_Write(PmFileHandle file, const void* data, size_t bytes) {
    size_t total = 0;
    auto* p = static_cast<const char*>(data);
    while (total < bytes) {
        DWORD want = DWORD(bytes - total > kSlice ? kSlice : bytes - total), put = 0;
        if (!WriteFile(H(file), p + total, want, &put, nullptr)) return -1;
        if (put == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        total += put;
    }
    return int64_t(total);
}

int64_t PmFile_Seek(PmFileHandle file, int64_t offset, int origin) {
    LARGE_INTEGER d, pos;
    d.QuadPart = offset;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    if (!SetFilePointerEx(H(file), d, &pos, method)) return -1;
    return pos.QuadPart;
}

int64_t PmFile_Size(PmFileHandle file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(H(file), &size)) return -1;
    return size.QuadPart;
}

PmFileHandle PmFile_OpenRead(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

PmFileHandle PmFile_CreateWrite(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void PmFile_Close(PmFileHandle file) {
    if (file) CloseHandle(H(file));
}
unsigned PmFile_LastError() { return GetLastError(); }
void PmFile_SetLastError(unsigned code) { SetLastError(code); }
unsigned PmFile_NoMemoryError() { return ERROR_NOT_ENOUGH_MEMORY; }
