// A decoded image owned by a test, and the read of a written output with its
// metadata: what the batch tests look at in the files a run wrote.
#pragma once
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmfile.h"

#include <cstdint>
#include <string>

namespace batchtest {

struct Image {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() { DibCore_Free(h, b); }
    int width() const { return h->biWidth; }
    int height() const { return h->biHeight < 0 ? -h->biHeight : h->biHeight; }
    // Row y counted from the top, whichever way the DIB stores its rows.
    uint8_t* Row(int y) const {
        return b + size_t(h->biHeight < 0 ? y : height() - 1 - y) * size_t(DibCore_GetRowStride(h, 0));
    }
    // Blue, green, red of a 24- or 32-bit image.
    uint8_t* Pixel(int x, int y) const { return Row(y) + size_t(x) * (h->biBitCount / 8); }
    uint32_t Rgb(int x, int y) const {
        if (h->biBitCount <= 8) {
            int n = 0;
            const RgbQuad* t = DibCore_GetColorTable(h, &n, nullptr);
            const uint8_t* row = Row(y);
            int i = h->biBitCount == 8 ? row[x] : h->biBitCount == 4 ? (x & 1 ? row[x / 2] & 15 : row[x / 2] >> 4)
                                                                        : (row[x / 8] >> (7 - x % 8)) & 1;
            return uint32_t(t[i].red) << 16 | uint32_t(t[i].green) << 8 | t[i].blue;
        }
        const uint8_t* p = Pixel(x, y);
        return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
    void Set(int x, int y, uint32_t rgb) {
        uint8_t* p = Pixel(x, y);
        p[0] = uint8_t(rgb);
        p[1] = uint8_t(rgb >> 8);
        p[2] = uint8_t(rgb >> 16);
    }
};

// Reads a written file with its metadata; the reader's result.
inline int Read(const std::string& path, int type, Image* img, DibMetadata* meta = nullptr) {
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return -1000;
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    DibMetadata scratch;
    int r = DibIO_ReadMeta(0, f, type, &info, meta ? meta : &scratch, &img->h, &img->b);
    PmFile_Close(f);
    return r;
}

}  // namespace batchtest
