// The three fixed 256-colour palettes an 8-bit output can be mapped onto.
#pragma once
#include "makerlibs/pmdib.h"

constexpr int kFixedPaletteEntries = 256;

// `Palette` setting 1: i-mode 3-3-2 cube; 2: web cube; any other non-zero:
// the browser palette; 0: none (null).
const RgbQuad* FixedPaletteFor(int palette);

const RgbQuad* IModePalette();
const RgbQuad* WebPalette();
const RgbQuad* ExplorerPalette();
