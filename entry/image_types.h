// Lookups between image type words of text files and type codes.
#pragma once
#include "makerlibs/pmapi.h"

// The code of a type word ("bitmap", "jpeg", "jpg", "tiff", "gif", "png",
// "photoCD", "pcd", "webp"; ASCII letters compared without case), 0 for NULL or an
// unknown word.
extern "C" int PM_API pmImageConvert_GetImageType(const char* word);
// The type's word for a code (the long form where two words share it), NULL
// for an unknown code. Points into a constant table.
extern "C" const char* PM_API pmImageConvert_GetImageTypeString(int code);
