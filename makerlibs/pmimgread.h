// PMIMGREAD: image file type identification.
#pragma once

// The image type code of the file, or 0. Mode 2 judges by the extension
// alone (case-insensitive; .jpeg, .jpe and .tiff too); mode 0 by the content.
int ImgRead_IdentifyFile(const char* path, int reserved, int mode, int reserved2);
// The same judgement over bytes already read (at least the first 2056 bytes
// when there are so many, for the Photo CD signature).
int ImgRead_IdentifyBytes(const unsigned char* data, unsigned long size);
// How many first bytes of a file ImgRead_IdentifyBytes needs to judge every
// type (the Photo CD signature lies furthest in).
constexpr unsigned long kIdentifyHeadBytes = 2048 + 7;
