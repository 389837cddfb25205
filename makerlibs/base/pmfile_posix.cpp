#include "makerlibs/pmfile.h"

#include <cerrno>
#include <cstdio>

namespace {
FILE* F(PmFileHandle h) { return static_cast<FILE*>(h); }
}

int64_t PmFile_Read(PmFileHandle file, void* buffer, size_t bytes) {
    size_t n = std::fread(buffer, 1, bytes, F(file));
    if (n < bytes && std::ferror(F(file))) return -1;
    return int64_t(n);
}

int64_t PmFile_Write(PmFileHandle file, const void* data, size_t bytes) {
    size_t n = std::fwrite(data, 1, bytes, F(file));
    if (n < bytes) {
        if (!errno) errno = EIO;
        return -1;
    }
    return int64_t(n);
}

int64_t PmFile_Seek(PmFileHandle file, int64_t offset, int origin) {
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    if (fseeko(F(file), off_t(offset), whence) != 0) return -1;
    return int64_t(ftello(F(file)));
}

int64_t PmFile_Size(PmFileHandle file) {
    off_t here = ftello(F(file));
    if (here < 0 || fseeko(F(file), 0, SEEK_END) != 0) return -1;
    off_t end = ftello(F(file));
    fseeko(F(file), here, SEEK_SET);
    return int64_t(end);
}

PmFileHandle PmFile_OpenRead(const char* path) { return std::fopen(path, "rb"); }
PmFileHandle PmFile_CreateWrite(const char* path) { return std::fopen(path, "w+b"); }
void PmFile_Close(PmFileHandle file) {
    if (file) std::fclose(F(file));
}
unsigned PmFile_LastError() { return unsigned(errno); }
void PmFile_SetLastError(unsigned code) { errno = int(code); }
unsigned PmFile_NoMemoryError() { return unsigned(ENOMEM); }
