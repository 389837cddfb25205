// Differential fuzz target of the scan decoder of reduced JPEG reads and of
// the DC-only coefficient store of progressive ones. A thumbnail read of the
// input must end exactly as the same read without them: the same result,
// the same reduction, the same pixels. So a file the decoder takes whole
// decodes to libjpeg's pixels, and one it gives back ends as libjpeg alone
// ends it. The one allowed difference: the DC-only store needs a fraction
// of libjpeg's memory, so a read may succeed with it where libjpeg alone
// runs out of the memory the target allows; never the other way round. The
// last byte picks the thumbnail box, so small images reach both 1/8 and 1/4.
// A third read goes through libjpeg alone, outside the reader, at the scale
// the reader chose and with libjpeg's default options: whatever the reader
// plans, a read that succeeds gives exactly libjpeg's own pixels.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_jpegscan.h"
#include "makerlibs/pmheap.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

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
    std::vector<uint8_t> rows;  // the pixels without padding, top row first
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
        const size_t stride = size_t(DibCore_GetRowStride(h, 0));
        const size_t height = size_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
        o.bits.assign(dib.bits, dib.bits + stride * height);
        const size_t used = size_t(h->biWidth) * (h->biBitCount / 8);
        for (size_t y = 0; y < height; ++y) {
            const uint8_t* row = dib.bits + stride * (h->biHeight < 0 ? y : height - 1 - y);
            o.rows.insert(o.rows.end(), row, row + used);
        }
    }
    return o;
}

// libjpeg alone, as a program that knows nothing of the reader would call
// it, with the reader's output colours and limits.
struct PlainErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
    bool cut, tooLarge;
};
void PlainExit(j_common_ptr c) {
    auto* e = reinterpret_cast<PlainErrors*>(c->err);
    e->tooLarge = c->err->msg_code == JERR_OUT_OF_MEMORY || c->err->msg_code == JERR_NO_BACKING_STORE;
    longjmp(e->jump, 1);
}
void PlainMessage(j_common_ptr c, int level) {
    if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<PlainErrors*>(c->err)->cut = true;
}
void PlainProgress(j_common_ptr c) {
    if (reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > 400) ERREXIT(c, JERR_NOT_COMPILED);
}

struct Plain {
    bool ok = false, tooLarge = false;
    std::vector<uint8_t> rows;
};

// No C++ object lives in the frame the error jump leaves but the result,
// whose state after the jump is only read for its flags.
void PlainDecode(const uint8_t* data, size_t size, unsigned scale, Plain* out) {
    jpeg_decompress_struct c;
    PlainErrors err{};
    c.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = PlainExit;
    err.pub.emit_message = PlainMessage;
    jpeg_progress_mgr progress{};
    progress.progress_monitor = PlainProgress;
    jpeg_create_decompress(&c);
    if (setjmp(err.jump)) {
        out->tooLarge = err.tooLarge;
        jpeg_destroy_decompress(&c);
        return;
    }
    c.progress = &progress;
    c.mem->max_memory_to_use = long(PmHeap_FailAboveLimit());
    jpeg_mem_src(&c, data, static_cast<unsigned long>(size));
    jpeg_read_header(&c, TRUE);
    c.scale_num = 1;
    c.scale_denom = scale;
    const bool grey = c.jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
    c.out_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_start_decompress(&c);
    const size_t in = size_t(c.output_width) * size_t(c.output_components);
    JSAMPROW row = static_cast<JSAMPROW>((*c.mem->alloc_large)(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE, in ? in : 1));
    while (c.output_scanline < c.output_height && !err.cut) {
        jpeg_read_scanlines(&c, &row, 1);
        if (!cmyk) {
            out->rows.insert(out->rows.end(), row, row + in);
            continue;
        }
        // The reader's own guess at CMYK: inverted when an Adobe segment
        // says so, plain ink amounts otherwise.
        for (JDIMENSION x = 0; x < c.output_width; ++x) {
            unsigned ink[4];
            for (int k = 0; k < 4; ++k) ink[k] = c.saw_Adobe_marker ? row[x * 4 + k] : 255 - row[x * 4 + k];
            for (int k = 2; k >= 0; --k) out->rows.push_back(uint8_t((ink[k] * ink[3] + 127) / 255));
        }
    }
    out->ok = !err.cut;
    jpeg_destroy_decompress(&c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int side = 1 + (data[size - 1] & 7);
    PmHeap_FailAbove(2u << 20);
    Outcome with = Read(data, size, side, true);
    Outcome alone = Read(data, size, side, false);
    Plain plain;
    if (with.depth > 0) PlainDecode(data, size, with.reduction, &plain);
    PmHeap_FailAbove(0);
    // The one allowed difference again: the DC terms kept alone.
    if (with.depth > 0 && !(plain.tooLarge && !with.tooLarge) && (!plain.ok || plain.rows != with.rows)) {
        std::fprintf(stderr, "jpegscan: read at 1/%u: %zu bytes; libjpeg alone: %s, %zu bytes\n",
                     unsigned(with.reduction), with.rows.size(), plain.ok ? "read" : "failed", plain.rows.size());
        std::abort();
    }
    if (alone.depth <= 0 && alone.tooLarge && !with.tooLarge) return 0;
    if (with.depth != alone.depth || with.reduction != alone.reduction || with.bits != alone.bits) {
        std::fprintf(stderr, "jpegscan: read with the scan decoder: %d, 1/%u, %zu bytes; without: %d, 1/%u, %zu bytes\n",
                     with.depth, unsigned(with.reduction), with.bits.size(), alone.depth, unsigned(alone.reduction),
                     alone.bits.size());
        std::abort();
    }
    return 0;
}
