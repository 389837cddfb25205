// Fuzz target of the transform pipeline: the first bytes pick the image's
// shape (size, depth, colour-table length, row order) and every setting a
// settings file could carry, including values no page offers; the rest fill
// the colour table and the pixels. Whatever the result, the caller's
// pointers must hold one valid DIB, which is read in full and freed.
#include "imaging/transform.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmheap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t Next() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    int Int(int lo, int hi) { return lo + int(Next() % unsigned(hi - lo + 1)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    static const int kDepths[] = {1, 4, 8, 16, 24, 32};
    DibHeader t{};
    t.biSize = sizeof(DibHeader);
    t.biWidth = in.Int(1, 70);
    int h = in.Int(1, 70);
    t.biHeight = (in.Next() & 1) ? -h : h;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(kDepths[in.Int(0, 5)]);
    t.biClrUsed = in.Next();
    DibHeader* hdr = nullptr;
    uint8_t* bits = nullptr;
    if (!DibCore_Create(&t, 0, &hdr, &bits)) return 0;

    static const int kTypes[] = {0, 1, 3, 4, 5, 6, 7, 99};
    static const int kBitCounts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 23, 24, 32, -1};
    static const int kSides[] = {0, 1, 2, 3, 7, 16, 33, 96, 150, -5};
    int outputType = kTypes[in.Int(0, 7)];
    int keep = in.Next() & 1;
    int depth = kBitCounts[in.Int(0, 14)];
    int bitCount = kBitCounts[in.Int(0, 14)];
    int32_t angle = in.Next() < 200 ? AngleForDirection(in.Int(-1, 8), t.biWidth, h) : int32_t(in.Next()) << 12;
    int resize = in.Int(-1, 3);
    PmSize box{kSides[in.Int(0, 9)], kSides[in.Int(0, 9)]};
    int filter = in.Int(-1, 27);
    int zoomFilter = in.Next() & 1;
    int palette = in.Int(-1, 4);
    int transparentColor = (in.Next() & 1) ? -1 : int(in.Next()) * 0x010101;
    int transparentIndex = in.Int(-1, 300);

    int entries = 0;
    RgbQuad* table = DibCore_GetColorTable(hdr, &entries, nullptr);
    for (int i = 0; i < entries; ++i) {
        table[i].blue = in.Next();
        table[i].green = in.Next();
        table[i].red = in.Next();
        table[i].reserved = (in.Next() & 7) == 0 ? kTransparentMark : 0;
    }
    size_t pixelBytes = size_t(DibCore_GetRowStride(hdr, 0)) * size_t(h);
    for (size_t i = 0; i < pixelBytes && in.n; ++i) bits[i] = in.Next();

    if (in.Next() & 1) PmHeap_FailAfter(in.Int(0, 40));
    TransformImage(outputType, keep, &depth, bitCount, angle, resize, &box, filter, zoomFilter, palette,
                   transparentColor, &transparentIndex, &hdr, &bits);
    PmHeap_FailAfter(-1);
    if (!hdr || !bits) std::abort();

    // Read the result in full, so a header that disagrees with its pixel
    // block shows under the sanitizers.
    int rh = hdr->biHeight < 0 ? -hdr->biHeight : hdr->biHeight;
    size_t out = size_t(DibCore_GetRowStride(hdr, 0)) * size_t(rh);
    volatile unsigned sum = 0;
    for (size_t i = 0; i < out; i += 7) sum = sum + bits[i];
    if (out) sum = sum + bits[out - 1];
    table = DibCore_GetColorTable(hdr, &entries, nullptr);
    for (int i = 0; i < entries; ++i) sum = sum + table[i].red;
    DibCore_Free(hdr, bits);
    return 0;
}
