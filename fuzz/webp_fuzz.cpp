// Fuzz target of the WebP reader as a batch run calls it: the metadata read
// beside the pixels, and for half the inputs a reduced read for a small
// thumbnail, so that the scaled decode and the frame placement on the canvas
// are searched too. The decoded pixels are read in full, so a DIB whose
// size disagrees with its header shows under the sanitizers.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmheap.h"
#include "makerlibs/pmimgkit.h"

#include <cstdint>
#include <cstdio>

namespace {

int SmallThumbnail(void*, const PmSize* full, PmSize* target) {
    *target = PmSize{full->cx / 9 + 1, full->cy / 9 + 1};
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    PmHeap_FailAbove(2u << 20);
    DibMetadata meta;
    int r;
    if (size & 1) {
        r = DibIO_ReadMeta(0, f, kTypeWebp, nullptr, &meta, &h, &bits);
    } else {
        DibReadRequest request{};
        request.Size = sizeof request;
        request.TargetSize = SmallThumbnail;
        request.Meta = &meta;
        r = DibIO_ReadRequested(f, kTypeWebp, &request, nullptr, &h, &bits);
    }
    PmHeap_FailAbove(0);
    fclose(f);
    if (r > 0 && h) {
        size_t bytes = size_t(DibCore_GetRowStride(h, 0)) * size_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
        volatile unsigned sum = 0;
        for (size_t i = 0; i < bytes; i += 61) sum = sum + bits[i];
        if (bytes) sum = sum + bits[bytes - 1];
        for (uint8_t b : meta.exif) sum = sum + b;
    }
    DibCore_Free(h, bits);
    return 0;
}
