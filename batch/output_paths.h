// Where a walked file's output goes: pure text work on code page 932 paths,
// shared by per-file conversion and the walk, tested natively.
#pragma once
#include <cstddef>

// The folder from which output sub-folders are formed, taken from the first
// folder a walk entry reports: `folder` without its last depth + 1
// components (cut at the (depth + 1)-th backslash from the end, or at the
// first backslash when there are fewer). False, with `out` empty, when the
// path has no backslash or the result does not fit.
bool Batch_BaseFolder(const char* folder, int depth, char* out, size_t size);

// True when `path` is the output folder or lies below it (ASCII letters
// compared without case). A sibling whose name only starts with the output
// folder's name (out2 beside out) is outside.
bool Batch_InOutputTree(const char* path, const char* outputFolder);

// The output folder of a file: with a base folder, the output folder plus the
// part of `path` after the base, up to its last separator; without one (or
// when `path` does not lie under the base), the output folder. Never ends in
// a separator unless it is a drive root. False when it does not fit.
bool Batch_OutputFolder(const char* outputFolder, const char* baseFolder, const char* path, char* out,
                        size_t size);

// `fileName` with its extension (from the last dot of the name) replaced by
// `extension`, which begins with its dot; a name without a dot gets it
// appended. False when it does not fit.
bool Batch_OutputName(const char* fileName, const char* extension, char* out, size_t size);

// The walk start of a list entry: a bare drive "D:" and a drive root "D:\"
// become "D:\*"; anything else is copied. False when it does not fit.
bool Batch_WalkStart(const char* entry, char* out, size_t size);
