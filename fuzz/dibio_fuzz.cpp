// Fuzz target of one reader of DibIO_Read (the type comes from
// PM_FUZZ_TYPE). The decoded pixels are read in full, so a DIB whose size
// disagrees with its header shows under the sanitizers. Allocations above
// few megabytes fail, as on a machine short of memory: sizes the readers
// accept (up to hundreds of megapixels) would otherwise make most runs a
// full-size decode and starve the search.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmheap.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    DibIOOptions info;
    DibIO_GetDefaultOptions(PM_FUZZ_TYPE, &info);
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    PmHeap_FailAbove(2u << 20);
    // Half the inputs are read as a batch run reads them, with the camera
    // data beside the pixels (a TIFF is then also walked by our own IFD
    // reader).
    DibMetadata meta;
    int r = size & 1 ? DibIO_ReadMeta(0, f, PM_FUZZ_TYPE, &info, &meta, &h, &bits)
                     : DibIO_Read(0, f, PM_FUZZ_TYPE, 0, 0, 0, &info, &h, &bits);
    PmHeap_FailAbove(0);
    fclose(f);
    if (r > 0 && h) {
        size_t bytes = size_t(DibCore_GetRowStride(h, 0)) * size_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
        volatile unsigned sum = 0;
        for (size_t i = 0; i < bytes; i += 61) sum = sum + bits[i];
        if (bytes) sum = sum + bits[bytes - 1];
        int n = 0;
        const RgbQuad* t = DibCore_GetColorTable(h, &n, nullptr);
        for (int i = 0; i < n; ++i) sum = sum + t[i].red;
    }
    DibCore_Free(h, bits);
    return 0;
}
