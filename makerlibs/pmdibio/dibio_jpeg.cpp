// JPEG through libjpeg(-turbo). libjpeg reports fatal errors by calling
// error_exit, which must not return; ours longjmps back into a function that
// holds no C++ objects, so no destructor is skipped. Everything the jump can
// leave behind lives in a state record that the caller cleans up.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmheap.h"

#include <csetjmp>
#include <new>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace pmio {
namespace {

// The coefficient buffer of a progressive image is the big allocation;
// libjpeg-turbo has no backing store, so this is a hard cap.
constexpr long kJpegMemory = 512L * 1024 * 1024;
// Progressive files may hold any number of scans; each one re-runs the
// entropy decoder over the whole image. Real encoders write about ten.
constexpr int kMaxScans = 400;

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
    bool truncated;
};

void ErrorExit(j_common_ptr c) { longjmp(reinterpret_cast<ErrorMgr*>(c->err)->jump, 1); }
void OutputMessage(j_common_ptr) {}
void EmitMessage(j_common_ptr c, int level) {
    // A file that ends early decodes to grey padding; that is a failed read.
    if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<ErrorMgr*>(c->err)->truncated = true;
    if (level < 0) c->err->num_warnings++;
}

void InitErrors(ErrorMgr* e) {
    jpeg_std_error(&e->pub);
    e->pub.error_exit = ErrorExit;
    e->pub.output_message = OutputMessage;
    e->pub.emit_message = EmitMessage;
    e->truncated = false;
}

struct Source {
    jpeg_source_mgr pub;
    InStream* in;
    JOCTET buf[16384];
};

void InitSource(j_decompress_ptr) {}
boolean FillInput(j_decompress_ptr c) {
    auto* s = reinterpret_cast<Source*>(c->src);
    size_t n = s->in->Read(s->buf, sizeof s->buf);
    if (n == 0) {
        if (s->in->SysFailed()) ERREXIT(c, JERR_FILE_READ);
        WARNMS(c, JWRN_JPEG_EOF);
        s->buf[0] = 0xFF;
        s->buf[1] = JPEG_EOI;
        n = 2;
    }
    s->pub.next_input_byte = s->buf;
    s->pub.bytes_in_buffer = n;
    return TRUE;
}
void SkipInput(j_decompress_ptr c, long n) {
    auto* s = reinterpret_cast<Source*>(c->src);
    if (n <= 0) return;
    while (size_t(n) > s->pub.bytes_in_buffer) {
        n -= long(s->pub.bytes_in_buffer);
        FillInput(c);
    }
    s->pub.next_input_byte += n;
    s->pub.bytes_in_buffer -= size_t(n);
}
void TermSource(j_decompress_ptr) {}

void Progress(j_common_ptr c) {
    if (c->is_decompressor && reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > kMaxScans)
        ERREXIT(c, JERR_NOT_COMPILED);
}

struct ReadState {
    jpeg_decompress_struct cinfo;
    ErrorMgr err;
    Source src;
    jpeg_progress_mgr progress;
    bool created;
    DibHolder* out;
    int depth;
    bool progressive;
};

bool Decode(ReadState* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_create_decompress(&s->cinfo);
    s->created = true;
    j_decompress_ptr c = &s->cinfo;
    c->src = &s->src.pub;
    s->progress.progress_monitor = Progress;
    c->progress = &s->progress;
    const size_t limit = PmHeap_FailAboveLimit();
    c->mem->max_memory_to_use = limit && limit < size_t(kJpegMemory) ? long(limit) : kJpegMemory;
    if (jpeg_read_header(c, TRUE) != JPEG_HEADER_OK) return false;
    size_t bytes;
    if (!DibImageBytes(c->image_width, c->image_height, 24, &bytes)) return false;
    const bool grey = c->jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = c->jpeg_color_space == JCS_CMYK || c->jpeg_color_space == JCS_YCCK;
    c->out_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
    s->depth = c->num_components * 8;
    s->progressive = jpeg_has_multiple_scans(c);
    jpeg_start_decompress(c);
    if (s->err.truncated) return false;
    const JDIMENSION w = c->output_width;
    if (!NewDib(w, c->output_height, grey ? 8 : 24, s->out)) return false;
    if (grey) GreyRamp(s->out->header, 256);
    JSAMPROW cmykRow = cmyk ? static_cast<JSAMPROW>((*c->mem->alloc_large)(
                                  reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE, size_t(w) * 4))
                            : nullptr;
    // Adobe applications write CMYK inverted and mark the file with their
    // APP14 segment; without it the samples are plain ink amounts.
    const bool inverted = c->saw_Adobe_marker;
    while (c->output_scanline < c->output_height) {
        JDIMENSION y = c->output_scanline;
        JSAMPROW row = TopRow(s->out->header, s->out->bits, y);
        if (jpeg_read_scanlines(c, cmyk ? &cmykRow : &row, 1) != 1) return false;
        if (s->err.truncated) return false;
        if (cmyk) {
            for (JDIMENSION x = 0; x < w; ++x) {
                unsigned cc = cmykRow[x * 4], m = cmykRow[x * 4 + 1], yy = cmykRow[x * 4 + 2], k = cmykRow[x * 4 + 3];
                if (!inverted) {
                    cc = 255 - cc;
                    m = 255 - m;
                    yy = 255 - yy;
                    k = 255 - k;
                }
                row[x * 3] = uint8_t((yy * k + 127) / 255);
                row[x * 3 + 1] = uint8_t((m * k + 127) / 255);
                row[x * 3 + 2] = uint8_t((cc * k + 127) / 255);
            }
        }
    }
    return !s->err.truncated;
}

struct Dest {
    jpeg_destination_mgr pub;
    OutStream* out;
    JOCTET buf[16384];
};

void InitDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    d->pub.next_output_byte = d->buf;
    d->pub.free_in_buffer = sizeof d->buf;
}
boolean EmptyOutput(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    if (!d->out->Write(d->buf, sizeof d->buf)) ERREXIT(c, JERR_FILE_WRITE);
    InitDest(c);
    return TRUE;
}
void TermDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    if (!d->out->Write(d->buf, sizeof d->buf - d->pub.free_in_buffer)) ERREXIT(c, JERR_FILE_WRITE);
}

struct WriteState {
    jpeg_compress_struct cinfo;
    ErrorMgr err;
    Dest dest;
    bool created;
    const DibIOOptions* opt;
    const DibHeader* h;
    const uint8_t* bits;
};

bool Encode(WriteState* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_create_compress(&s->cinfo);
    s->created = true;
    j_compress_ptr c = &s->cinfo;
    c->dest = &s->dest.pub;
    const DibHeader* h = s->h;
    const JDIMENSION w = JDIMENSION(h->biWidth);
    const int64_t rows = DibRows(h);
    if (w > JPEG_MAX_DIMENSION || rows > JPEG_MAX_DIMENSION) return false;
    // A palette of greys only is written as a one-channel JPEG.
    const bool grey = h->biBitCount <= 8 && GreyTable(h);
    c->image_width = w;
    c->image_height = JDIMENSION(rows);
    c->input_components = grey ? 1 : 3;
    c->in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(c);
    int q = s->opt->Jpeg.Quality;
    jpeg_set_quality(c, q < 1 ? 1 : q > 100 ? 100 : q, TRUE);
    c->smoothing_factor = s->opt->Jpeg.Smoothing > 100 ? 100 : s->opt->Jpeg.Smoothing;
    c->optimize_coding = s->opt->Jpeg.OptimizeCoding ? TRUE : FALSE;
    if (s->opt->Jpeg.Progressive == 0) jpeg_simple_progression(c);
    if (h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0 && h->biXPelsPerMeter / 100 < 65536 &&
        h->biYPelsPerMeter / 100 < 65536) {
        c->density_unit = 2;  // dots per centimetre
        c->X_density = uint16_t((h->biXPelsPerMeter + 50) / 100);
        c->Y_density = uint16_t((h->biYPelsPerMeter + 50) / 100);
    }
    JSAMPROW buf = static_cast<JSAMPROW>(
        (*c->mem->alloc_large)(reinterpret_cast<j_common_ptr>(c), JPOOL_PERMANENT, size_t(w) * 3));
    const RgbQuad* table = Table(h);
    const int n = TableCount(h);
    jpeg_start_compress(c, TRUE);
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* src = TopRow(h, s->bits, y);
        if (grey) {
            for (JDIMENSION x = 0; x < w; ++x) {
                int i = IndexAt(src, h->biBitCount, x);
                buf[x] = i < n ? table[i].red : 0;
            }
        } else {
            RowToBgr(h, src, buf);
        }
        jpeg_write_scanlines(c, &buf, 1);
    }
    jpeg_finish_compress(c);
    return true;
}

}  // namespace

int JpegRead(InStream& in, DibIOOptions* info, DibHolder* out) {
    auto* s = new (std::nothrow) ReadState{};
    if (!s) return 0;
    InitErrors(&s->err);
    s->cinfo.err = &s->err.pub;
    s->src.in = &in;
    s->src.pub.init_source = InitSource;
    s->src.pub.fill_input_buffer = FillInput;
    s->src.pub.skip_input_data = SkipInput;
    s->src.pub.resync_to_restart = jpeg_resync_to_restart;
    s->src.pub.term_source = TermSource;
    s->out = out;
    bool ok = Decode(s);
    if (s->created) jpeg_destroy_decompress(&s->cinfo);
    int depth = s->depth;
    // The system's scan vocabulary: 1 = sequential, 0 = progressive.
    if (ok && info) info->Jpeg.Progressive = s->progressive ? 0 : 1;
    delete s;
    if (!ok) {
        out->Reset();
        return 0;
    }
    return depth;
}

int JpegWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits) {
    auto* s = new (std::nothrow) WriteState{};
    if (!s) return 0;
    InitErrors(&s->err);
    s->cinfo.err = &s->err.pub;
    s->dest.out = &out;
    s->dest.pub.init_destination = InitDest;
    s->dest.pub.empty_output_buffer = EmptyOutput;
    s->dest.pub.term_destination = TermDest;
    s->opt = &opt;
    s->h = h;
    s->bits = bits;
    bool ok = Encode(s);
    if (s->created) jpeg_destroy_compress(&s->cinfo);
    delete s;
    return ok && out.Flush() ? 1 : 0;
}

}  // namespace pmio
