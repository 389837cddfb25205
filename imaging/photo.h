// What a photo goes through between its reading and the transform pipeline
// (upright by the camera's orientation, sRGB by its colour profile), what
// travels with it into the output file, and the zoom that never enlarges.
// Pure code.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmsingleops.h"
#include <cstdint>

// Turns and mirrors the image held in *header / *bits as the stored
// orientation (1..8) says; other values leave it alone. 0, or 105/106 with
// the image unchanged.
int Photo_Upright(int orientation, DibHeader** header, uint8_t** bits);

// Where the picture of a reduced decode (`extent`, in the image as stored,
// `stored` pixels) lies once Photo_Upright turned the image by `orientation`.
PmExtent Photo_OrientExtent(int orientation, PmExtent extent, PmSize stored);

// Converts the pixels to sRGB by the profile the file carried, unless the
// reader already did or the profile is missing, sRGB, broken or does not
// fit the image. True when the pixels changed.
bool Photo_ToSrgb(const DibMetadata& meta, DibHeader* header, uint8_t* bits);

// Zoom settings that never enlarge, for an image of width x height turned by
// `angle` (the Direction turn): fit (1) keeps the size of an image that
// fits the box already; stretch (any value but 0 and 1) takes no axis beyond
// the image's own. Resize 0 stays.
void ApplyNoEnlarge(int32_t angle, int* resize, PmSize* box, int width, int height);

// The metadata for an output file of `outputType`, width x height: EXIF
// prepared for the converted picture (orientation `orientation`, no
// thumbnail, the new size), plus the XMP and IPTC segments for JPEG, TIFF
// and WebP (whose writer keeps the XMP). False when nothing is to be kept.
bool Photo_OutputMeta(const DibMetadata& in, int outputType, int orientation, uint32_t width, uint32_t height,
                      DibMetadata* out);
