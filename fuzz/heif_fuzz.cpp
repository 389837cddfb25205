// Fuzz target of the HEIF/AVIF reader: the box scan, libheif's parse and
// decode, and our conversion of what it gives, with the camera data and,
// for odd-sized inputs, a small output so that a stored thumbnail is taken.
// Decodes above a few megabytes are refused as too large, so that runs stay
// fast.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmdibio/dibio_heif.h"

#include <cstdint>
#include <cstring>

namespace {

int SmallTarget(void*, const PmSize* full, PmSize* target) {
    *target = PmSize{full->cx / 8 > 0 ? full->cx / 8 : 1, full->cy / 8 > 0 ? full->cy / 8 : 1};
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pmio::HeifSetPeakBudgetForTest(32u << 20);
    pmio::HeifScan scan;
    pmio::HeifScanLimits(data, size, &scan);
    DibMetadata meta;
    DibReadRequest request;
    std::memset(&request, 0, sizeof request);
    request.Size = sizeof request;
    request.Meta = &meta;
    if (size & 1) request.TargetSize = SmallTarget;
    pmio::DibHolder dib;
    int r = pmio::HeifReadMemory(data, size, &request, nullptr, &dib, &meta);
    if (r > 0 && dib.header) {
        const DibHeader* h = dib.header;
        size_t bytes = size_t(DibCore_GetRowStride(h, 0)) * size_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
        volatile unsigned sum = 0;
        for (size_t i = 0; i < bytes; i += 61) sum = sum + dib.bits[i];
        if (bytes) sum = sum + dib.bits[bytes - 1];
    }
    pmio::TakeTooLarge();
    return 0;
}
