// File handles as the image libraries take them. On Windows a handle is the
// system's file HANDLE; natively it is a FILE*. Pure image code does all its
// file work through these calls, so it builds and runs on both.
#pragma once
#include <cstddef>
#include <cstdint>

using PmFileHandle = void*;

// Each returns the byte count, or -1 after a failed system call with the
// thread's last error (Windows) or errno (native) holding the reason.
int64_t PmFile_Read(PmFileHandle file, void* buffer, size_t bytes);
int64_t PmFile_Write(PmFileHandle file, const void* data, size_t bytes);
// origin: 0 = from start, 1 = from current, 2 = from end. Returns the new
// position or -1.
int64_t PmFile_Seek(PmFileHandle file, int64_t offset, int origin);
int64_t PmFile_Size(PmFileHandle file);

// Opening and closing, used by tools and tests (the system itself opens files
// with the platform's calls). Null on failure.
PmFileHandle PmFile_OpenRead(const char* path);
PmFileHandle PmFile_CreateWrite(const char* path);  // truncates
void PmFile_Close(PmFileHandle file);

// The platform's error code of the last failed call on this thread.
unsigned PmFile_LastError();
void PmFile_SetLastError(unsigned code);
// The platform's code for "not enough memory", which readers give for an
// image too large to decode, so the user reads why instead of a bare
// read error.
unsigned PmFile_NoMemoryError();
