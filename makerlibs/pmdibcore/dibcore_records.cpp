// PMDIBCORE: creating, freeing and inspecting DIB records.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmheap.h"

#include <cstring>

namespace {

// Entries a DIB of this header carries: biClrUsed when set and not above what
// the depth can index, else the full table for depths up to 8, none above
// (the masks of a BI_BITFIELDS DIB are no colour table; the pixel code reads
// them itself, see dibpixels.h). DIBs made here are always plain.
int TableEntries(const DibHeader* h) {
    if (h->biBitCount > 8) return 0;
    int full = 1 << h->biBitCount;
    if (h->biClrUsed > 0 && h->biClrUsed <= uint32_t(full)) return int(h->biClrUsed);
    return full;
}

bool ValidDepth(uint16_t bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

}  // namespace

int DibCore_GetHeader(const DibHeader* dib, DibHeader* out) {
    if (!dib || !out) return 0;
    std::memcpy(out, dib, sizeof(DibHeader));
    return 1;
}

int DibCore_Create(const DibHeader* templ, int, DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!templ || !header || !bits || !ValidDepth(templ->biBitCount)) return 0;
    size_t pixelBytes = 0;
    if (!DibImageBytes(templ->biWidth, templ->biHeight, templ->biBitCount, &pixelBytes)) return 0;
    int entries = TableEntries(templ);
    auto* h = static_cast<DibHeader*>(PmHeap_AllocZero(sizeof(DibHeader) + size_t(entries) * sizeof(RgbQuad)));
    if (!h) return 0;
    auto* p = static_cast<uint8_t*>(PmHeap_AllocZero(pixelBytes));
    if (!p) {
        PmHeap_Free(h);
        return 0;
    }
    *h = *templ;
    h->biSize = sizeof(DibHeader);
    h->biPlanes = 1;
    h->biCompression = kBiRgb;
    h->biSizeImage = uint32_t(pixelBytes);
    h->biClrUsed = templ->biBitCount <= 8 ? uint32_t(entries) : 0;
    h->biClrImportant = 0;
    *header = h;
    *bits = p;
    return 1;
}

void DibCore_Free(DibHeader* header, uint8_t* bits) {
    // A program handing us an image may pack header, colour table and
    // pixels into one block; its pixel pointer is then no block of its own.
    if (!PmHeap_Contains(header, bits)) PmHeap_Free(bits);
    PmHeap_Free(header);
}

int DibCore_GetRowStride(const DibHeader* dib, int) {
    if (!dib || dib->biWidth <= 0) return 0;
    return int(DibStride(uint64_t(dib->biWidth), dib->biBitCount));
}

int DibCore_ColorCount(const DibHeader* dib) { return dib ? TableEntries(dib) : 0; }

RgbQuad* DibCore_GetColorTable(DibHeader* dib, int* count, int* entrySize) {
    int n = dib ? TableEntries(dib) : 0;
    if (count) *count = n;
    if (entrySize) *entrySize = int(sizeof(RgbQuad));
    if (!dib || n == 0) return nullptr;
    return reinterpret_cast<RgbQuad*>(reinterpret_cast<uint8_t*>(dib) + dib->biSize);
}

RgbQuad* DibCore_GetPalette(DibHeader* dib, int, int) { return DibCore_GetColorTable(dib, nullptr, nullptr); }

ColorRef DibCore_GetPaletteColor(const DibHeader* dib, int index) {
    auto* table = DibCore_GetColorTable(const_cast<DibHeader*>(dib), nullptr, nullptr);
    if (!table || index < 0 || index >= TableEntries(dib)) return kNoColor;
    const RgbQuad& q = table[index];
    return MakeColorRef(q.red, q.green, q.blue);
}

int DibCore_GetTransparentIndex(const DibHeader* dib) {
    int n = 0;
    const RgbQuad* table = DibCore_GetColorTable(const_cast<DibHeader*>(dib), &n, nullptr);
    for (int i = 0; i < n; ++i)
        if (table[i].reserved == kTransparentMark) return i;
    return -1;
}

void DibCore_SetTransparentColor(ColorRef color, DibHeader* dib, uint8_t*) {
    int index = DibCore_GetTransparentIndex(dib);
    if (index < 0 || color == kNoColor) return;
    RgbQuad* table = DibCore_GetPalette(dib, 0, 0);
    table[index].red = ColorRefRed(color);
    table[index].green = ColorRefGreen(color);
    table[index].blue = ColorRefBlue(color);
}

int DibCore_EqualTables(int count, int sizeA, const void* tableA, int sizeB, const void* tableB) {
    if (count <= 0) return 1;
    if (!tableA || !tableB || sizeA < 3 || sizeB < 3) return 0;
    auto* a = static_cast<const uint8_t*>(tableA);
    auto* b = static_cast<const uint8_t*>(tableB);
    // Colours are compared; the fourth byte (a transparency mark) is not a
    // colour.
    for (int i = 0; i < count; ++i)
        if (std::memcmp(a + size_t(i) * sizeA, b + size_t(i) * sizeB, 3) != 0) return 0;
    return 1;
}
