// Differential fuzz target of the scan decoder of reduced JPEG reads and of
// the DC-only coefficient store of progressive ones. A thumbnail read of the
// input must end exactly as the same read without them: the same result,
// the same reduction, the same pixels. So a file the decoder takes whole
// decodes to libjpeg's pixels, and one it gives back ends as libjpeg alone
// ends it. The one allowed difference: the DC-only store needs a fraction
// of libjpeg's memory, so a read may succeed with it where libjpeg alone
// runs out of the memory the target allows; never the other way round. The
// last byte picks the thumbnail box, so small images reach both 1/8 and 1/4.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_jpegscan.h"
#include "makerlibs/pmheap.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int FitInto(void* context, const PmSize* full, PmSize* target) {
    const int side = *static_cast<const int*>(context);
    if (full->cx >= full->cy) {
        target->cx = side;
        target->cy = int32_t(int64_t(full->cy) * side / full->cx);
    } else {
        target->cy = side;
        target->cx = int32_t(int64_t(full->cx) * side / full->cy);
    }
    if (target->cx < 1) target->cx = 1;
    if (target->cy < 1) target->cy = 1;
    return 1;
}

struct Outcome {
    int depth = 0;
    uint32_t reduction = 0;
    bool tooLarge = false;
    std::vector<uint8_t> bits;
};

Outcome Read(const uint8_t* data, size_t size, int side, bool scan) {
    Outcome o;
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = FitInto;
    request.Context = &side;
    DibIOOptions info;
    DibIO_GetDefaultOptions(3, &info);
    pmio::DibHolder dib;
    pmio::JpegScan_Allow(scan);
    pmio::TakeTooLarge();
    o.depth = pmio::JpegReadMemory(data, size, &request, &info, &dib, nullptr);
    o.tooLarge = pmio::TakeTooLarge();
    pmio::JpegScan_Allow(true);
    o.reduction = request.Reduction;
    if (o.depth > 0 && dib.header) {
        const DibHeader* h = dib.header;
        size_t bytes = size_t(DibCore_GetRowStride(h, 0)) * size_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
        o.bits.assign(dib.bits, dib.bits + bytes);
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int side = 1 + (data[size - 1] & 7);
    PmHeap_FailAbove(2u << 20);
    Outcome with = Read(data, size, side, true);
    Outcome alone = Read(data, size, side, false);
    PmHeap_FailAbove(0);
    if (alone.depth <= 0 && alone.tooLarge && !with.tooLarge) return 0;
    if (with.depth != alone.depth || with.reduction != alone.reduction || with.bits != alone.bits) {
        std::fprintf(stderr, "jpegscan: read with the scan decoder: %d, 1/%u, %zu bytes; without: %d, 1/%u, %zu bytes\n",
                     with.depth, unsigned(with.reduction), with.bits.size(), alone.depth, unsigned(alone.reduction),
                     alone.bits.size());
        std::abort();
    }
    return 0;
}
