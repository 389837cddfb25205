// Where a walked file's output goes: pure text work shared by per-file
// conversion and the walk, tested natively.
#pragma once
#include <cstddef>
#include <string>

// The walk start of a list entry: a bare drive "D:" and a drive root "D:\"
// become "D:\*"; anything else is copied. False when it does not fit.
bool Batch_WalkStart(const char* entry, char* out, size_t size);

// The rest works on wide paths, which carry names that code page 932 cannot
// hold (output folders and files keep the input's real names).

// Base folder: `folder` without its last depth + 1 components; empty when
// it has no backslash.
std::wstring Batch_BaseFolderW(const std::wstring& folder, int depth);
// Output folder of `path`: `outputFolder` plus the part of `path` below
// `baseFolder` up to its last separator; `outputFolder` itself when there is
// no base or `path` is not below it. Never ends in a separator unless it is
// a drive root.
std::wstring Batch_OutputFolderW(const std::wstring& outputFolder, const std::wstring& baseFolder,
                                 const std::wstring& path);
// `fileName` with its extension (from the last dot) replaced by `extension`.
std::wstring Batch_OutputNameW(const std::wstring& fileName, const std::wstring& extension);
// True when `path` is `root` or lies below it; ASCII letters compared
// without case. Both are full paths of one spelling (resolved by the caller).
bool Batch_PathInside(const std::wstring& path, const std::wstring& root);
// Whether a file name is one the system takes for a device (CON, PRN, AUX,
// NUL, COM1-COM9, LPT1-LPT9, with any extension, letters of any case).
bool Batch_IsDeviceName(const std::wstring& name);
