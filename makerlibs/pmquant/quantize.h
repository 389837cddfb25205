// Colour quantisation shared by PMDIBOPS and PMTONE.
#pragma once
#include "makerlibs/pmdibcore/dibpixels.h"

namespace pmpix {

// An adaptive palette of at most `colors` entries for the image: Wu's
// variance-minimising box cuts over a 5-bit histogram, refined by a few
// k-means passes over the histogram cells. Returns the entry count, or -1
// when working memory could not be had.
int BuildAdaptivePalette(const View& src, int colors, RgbQuad* out);

// Floyd-Steinberg error diffusion (serpentine) of any-depth `src` onto the
// first `count` entries of `table`, written as indices into `dst` (1, 4 or
// 8 bits, same size). False when working memory could not be had.
bool DiffuseToPalette(const View& src, const RgbQuad* table, int count, const View& dst);

}  // namespace pmpix
