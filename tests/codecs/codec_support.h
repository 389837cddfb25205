// Helpers of the coder tests: DIBs made to order, files read and written
// through the libraries, images compared as colours.
#pragma once
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmfile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace codectest {

// A DIB owned by the test.
struct Dib {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    Dib() = default;
    Dib(const Dib&) = delete;
    Dib& operator=(const Dib&) = delete;
    ~Dib() { DibCore_Free(h, b); }
    void Reset() {
        DibCore_Free(h, b);
        h = nullptr;
        b = nullptr;
    }
};

// A picture with every palette entry in use (distinct colours), gradients
// for full colour, and alpha steps for 32 bits.
void MakePattern(int width, int height, int bitCount, Dib* out);

// Reads a file: the result of DibIO_Read (or GifKit_ReadImage for gif24).
int ReadImage(const std::string& path, int type, Dib* out, DibIOOptions* info = nullptr);
int WriteImage(const std::string& path, int type, const DibIOOptions& options, const Dib& dib);

// Every pixel as 0xAARRGGBB, top row first. Palette pixels take their
// table's colour; the transparent entry gives alpha 0, other pixels 255.
std::vector<uint32_t> Colours(const DibHeader* h, const uint8_t* bits);
// Number of pixels that differ; pixels transparent in both count as equal.
size_t CountDiffs(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// Runs a reference tool and returns its standard output ("" when the tool
// is missing or fails). Native only.
std::string RunTool(const std::string& command);

// Sample c of pixel (x, y) of a picture with detail at every frequency:
// every coefficient band of its JPEG carries data, so blocks have long runs
// of AC terms and a band a decoder wrongly skips shows in the pixels.
inline uint8_t DetailedTexture(int x, int y, int c) {
    uint32_t v = uint32_t(x * 7 + y * 13 + c * 101);
    v ^= v >> 3;
    v *= 2654435761u;
    return uint8_t(((x * (3 + c)) ^ (y * 5)) + (v >> 27));
}

}  // namespace codectest
