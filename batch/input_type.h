// What a walked file is: its image type and its identity, from one look at
// the file through its real (wide) name.
#pragma once
#include "batch/run_guard.h"
#include "makerlibs/pmwin.h"

#include <string>

struct InputFacts {
    int type = 0;             // image type code; 0 = not an image of a known type
    bool identified = false;  // `id` is set
    FileId id;
};

// With `byExtension`, the type comes from the name's extension alone;
// otherwise from the first bytes, or from the extension when the file does
// not open. The identity is read when the file opens.
InputFacts Batch_LookAtInput(const std::wstring& path, bool byExtension, FileIdentifier* identifier);

// The type to read an open input with: `declared` (judged by extension)
// unless the first bytes say it is an image of another known type, as a
// PNG saved under a .jpg name. Leaves the file at its start.
int Batch_ReaderType(HANDLE input, int declared);
