// WebP through libwebp: the still image, or the first frame of an animation
// placed on its canvas, and the writer with its EXIF and XMP chunks.
//
// The file is held whole: the demuxer needs every chunk, and the decoder
// reads the image data in one piece anyway.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmexif.h"

#include <cstring>
#include <new>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

namespace pmio {
namespace {

// An animation of more frames than this is refused before the demuxer
// builds its frame list (one record a frame, for a first frame alone).
constexpr uint32_t kMaxFrames = 65536;
// Profile and metadata chunks beyond this are left behind; the picture
// still reads.
constexpr uint32_t kMetaChunkMax = 16u * 1024 * 1024;

constexpr char kXmpHeader[] = "http://ns.adobe.com/xap/1.0/";  // with its zero, as a JPEG carries it

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t Le24(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }

struct Layout {
    bool extended = false;
    uint32_t canvasWidth = 0, canvasHeight = 0;  // from VP8X
    uint32_t frames = 0;
    size_t riffEnd = 0;  // the RIFF payload ends here (never past the data)
};

// Walks the top-level chunks without allocating: the container must hold
// together (every chunk inside the RIFF payload, the payload inside the
// data) and the canvas and frame count stay within the limits. Bytes after
// the RIFF payload are ignored, as every reader does.
bool CheckLayout(const uint8_t* d, size_t n, Layout* out) {
    if (n < 20 || std::memcmp(d, "RIFF", 4) != 0 || std::memcmp(d + 8, "WEBP", 4) != 0) return false;
    uint64_t riffSize = Le32(d + 4);
    if (riffSize < 4 + 8 || 8 + riffSize > n) return false;
    out->riffEnd = size_t(8 + riffSize);
    size_t at = 12;
    bool first = true;
    while (at < out->riffEnd) {
        if (out->riffEnd - at < 8) return false;
        uint64_t size = Le32(d + at + 4);
        if (at + 8 + size > out->riffEnd) return false;
        // The pad byte of an odd last chunk may be missing.
        uint64_t next = at + 8 + size + (size & 1);
        if (next > out->riffEnd) next = out->riffEnd;
        const uint8_t* tag = d + at;
        if (first && std::memcmp(tag, "VP8X", 4) == 0) {
            if (size < 10) return false;
            out->extended = true;
            out->canvasWidth = Le24(d + at + 12) + 1;
            out->canvasHeight = Le24(d + at + 15) + 1;
        } else if (std::memcmp(tag, "ANMF", 4) == 0) {
            if (++out->frames > kMaxFrames) return false;
        }
        first = false;
        at = size_t(next);
    }
    return true;
}

// Out of memory here only loses the metadata, never the image.
void CollectMeta(WebPDemuxer* demux, DibMetadata* meta) noexcept {
    try {
        WebPChunkIterator it;
        if (WebPDemuxGetChunk(demux, "ICCP", 1, &it)) {
            if (it.chunk.size > 0 && it.chunk.size <= kMetaChunkMax)
                meta->icc.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
            WebPDemuxReleaseChunkIterator(&it);
        }
        if (WebPDemuxGetChunk(demux, "EXIF", 1, &it)) {
            const uint8_t* p = it.chunk.bytes;
            size_t size = it.chunk.size;
            // Some writers keep the JPEG segment's "Exif\0\0" in front of the
            // TIFF structure the chunk should hold.
            if (size >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
                p += 6;
                size -= 6;
            }
            if (size > 0 && size <= kMetaChunkMax) {
                meta->exif.assign(p, p + size);
                meta->orientation = Exif_OrientationFromBytes(p, size);
            }
            WebPDemuxReleaseChunkIterator(&it);
        }
        if (WebPDemuxGetChunk(demux, "XMP ", 1, &it)) {
            if (it.chunk.size > 0 && it.chunk.size <= kMetaChunkMax) {
                // Carried as a JPEG's APP1 payload, so that every writer
                // that stores XMP finds it where it looks.
                DibSegment seg{0xE1, {}};
                seg.data.assign(kXmpHeader, kXmpHeader + sizeof kXmpHeader);
                seg.data.insert(seg.data.end(), it.chunk.bytes, it.chunk.bytes + it.chunk.size);
                meta->segments.push_back(std::move(seg));
            }
            WebPDemuxReleaseChunkIterator(&it);
        }
    } catch (...) {
        *meta = DibMetadata{};
    }
}

struct Demux {
    WebPDemuxer* d = nullptr;
    WebPIterator frame{};
    bool haveFrame = false;
    ~Demux() {
        if (haveFrame) WebPDemuxReleaseIterator(&frame);
        WebPDemuxDelete(d);
    }
};

// The decoded size of a still image read for a caller that shrinks it:
// the same coverage as a reduced JPEG read, by libwebp's own scaler.
unsigned Reduction(DibReadRequest* r, PmSize full) {
    if (!r || !r->TargetSize) return 1;
    PmSize target{};
    if (!r->TargetSize(r->Context, &full, &target)) return 1;
    return DibIO_JpegReduction(full, target);
}

}  // namespace

int WebpReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions*, DibHolder* out,
                   DibMetadata* meta) {
    Layout layout;
    if (!data || !CheckLayout(data, size, &layout)) return 0;
    WebPData whole{data, layout.riffEnd};
    Demux demux;
    demux.d = WebPDemux(&whole);
    if (!demux.d) return 0;
    const uint32_t canvasW = WebPDemuxGetI(demux.d, WEBP_FF_CANVAS_WIDTH);
    const uint32_t canvasH = WebPDemuxGetI(demux.d, WEBP_FF_CANVAS_HEIGHT);
    const bool animated = (WebPDemuxGetI(demux.d, WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0;
    if (meta) CollectMeta(demux.d, meta);
    if (!WebPDemuxGetFrame(demux.d, 1, &demux.frame)) return 0;
    demux.haveFrame = true;
    const WebPIterator& f = demux.frame;
    if (f.x_offset < 0 || f.y_offset < 0 || f.width < 1 || f.height < 1 || uint64_t(f.x_offset) + f.width > canvasW ||
        uint64_t(f.y_offset) + f.height > canvasH)
        return 0;

    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return 0;
    if (WebPGetFeatures(f.fragment.bytes, f.fragment.size, &config.input) != VP8_STATUS_OK) return 0;
    const WebPBitstreamFeatures& bs = config.input;
    if (uint32_t(bs.width) != uint32_t(f.width) || uint32_t(bs.height) != uint32_t(f.height)) return 0;

    // The lossless decoder holds every pixel of the frame at four bytes
    // whatever the output size: its full size must be within the limits.
    size_t fullBytes;
    if (bs.format == 2 && !DibImageBytes(f.width, f.height, 32, &fullBytes)) {
        NoteTooLarge();
        return 0;
    }

    const PmSize full{int32_t(canvasW), int32_t(canvasH)};
    // A frame that leaves part of the canvas uncovered leaves it transparent.
    const bool covers = f.width == int(canvasW) && f.height == int(canvasH);
    const bool alpha = bs.has_alpha || !covers;
    const int bits = alpha ? 32 : 24;
    unsigned reduction = 1;
    int64_t outW = canvasW, outH = canvasH;
    // Only a frame that fills its canvas is scaled: an offset frame would
    // need its place scaled as well, and animations are rare as thumbnails.
    if (!animated && covers) {
        reduction = Reduction(request, full);
        if (reduction > 1) {
            outW = (int64_t(canvasW) + reduction - 1) / reduction;
            outH = (int64_t(canvasH) + reduction - 1) / reduction;
        }
    }
    if (request) {
        request->FullSize = full;
        request->Reduction = reduction;
    }
    size_t bytes;
    if (!DibImageBytes(outW, outH, uint32_t(bits), &bytes)) {
        NoteTooLarge();
        return 0;
    }
    if (!NewDib(outW, outH, bits, out)) {
        NoteTooLarge();
        return 0;
    }
    const uint64_t stride = DibStride(uint64_t(outW), uint32_t(bits));
    const int64_t frameH = reduction > 1 ? outH : f.height;
    // The DIB is bottom-up; libwebp's flip writes the frame's top row last,
    // so the frame's lowest row is where its writing starts.
    const int64_t lowest = outH - (f.y_offset + frameH);
    const size_t start = size_t(uint64_t(lowest) * stride + uint64_t(f.x_offset) * (bits / 8));
    std::memset(out->bits, 0, bytes);
    config.options.flip = 1;
    if (reduction > 1) {
        config.options.use_scaling = 1;
        config.options.scaled_width = int(outW);
        config.options.scaled_height = int(outH);
    }
    config.output.colorspace = alpha ? MODE_BGRA : MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out->bits + start;
    config.output.u.RGBA.stride = int(stride);
    config.output.u.RGBA.size = bytes - start;
    VP8StatusCode status = WebPDecode(f.fragment.bytes, f.fragment.size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        if (status == VP8_STATUS_OUT_OF_MEMORY) NoteTooLarge();
        out->Reset();
        if (meta) *meta = DibMetadata{};
        return 0;
    }
    return bits;
}

namespace {

int WriterFn(const uint8_t* data, size_t size, const WebPPicture* picture) {
    return static_cast<OutStream*>(picture->custom_ptr)->Write(data, size) ? 1 : 0;
}

// The XMP packet of the first XMP segment (a JPEG's APP1 payload), or none.
bool XmpPacket(const DibMetadata* meta, const uint8_t** packet, size_t* size) {
    if (!meta) return false;
    for (const DibSegment& seg : meta->segments)
        if (seg.marker == 0xE1 && seg.data.size() > sizeof kXmpHeader &&
            std::memcmp(seg.data.data(), kXmpHeader, sizeof kXmpHeader) == 0) {
            *packet = seg.data.data() + sizeof kXmpHeader;
            *size = seg.data.size() - sizeof kXmpHeader;
            return true;
        }
    return false;
}

struct Picture {
    WebPPicture p;
    bool made = false;
    ~Picture() {
        if (made) WebPPictureFree(&p);
    }
};
struct Memory {
    WebPMemoryWriter w;
    Memory() { WebPMemoryWriterInit(&w); }
    ~Memory() { WebPMemoryWriterClear(&w); }
};
struct Mux {
    WebPMux* m = WebPMuxNew();
    ~Mux() { WebPMuxDelete(m); }
};

// The DIB's pixels, top row first, as BGR or BGRA: a palette entry marked
// transparent and the fourth byte of 32-bit pixels become alpha.
bool ImportPixels(const DibHeader* h, const uint8_t* bits, WebPPicture* pic) {
    const int64_t w = h->biWidth, rows = DibRows(h);
    const int bc = h->biBitCount;
    const int marked = bc <= 8 ? MarkedTransparent(h) : -1;
    const bool alpha = bc == 32 || marked >= 0;
    const int bpp = alpha ? 4 : 3;
    uint8_t* buf = new (std::nothrow) uint8_t[size_t(w) * size_t(rows) * bpp];
    if (!buf) return false;
    uint8_t* bgr = alpha ? new (std::nothrow) uint8_t[size_t(w) * 3] : nullptr;
    if (alpha && !bgr) {
        delete[] buf;
        return false;
    }
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* src = TopRow(h, bits, y);
        uint8_t* dst = buf + size_t(y) * size_t(w) * bpp;
        if (!alpha) {
            RowToBgr(h, src, dst);
            continue;
        }
        if (bc == 32) {
            std::memcpy(dst, src, size_t(w) * 4);
            continue;
        }
        RowToBgr(h, src, bgr);
        for (int64_t x = 0; x < w; ++x) {
            std::memcpy(dst + x * 4, bgr + x * 3, 3);
            dst[x * 4 + 3] = IndexAt(src, bc, x) == marked ? 0 : 255;
        }
    }
    int ok = alpha ? WebPPictureImportBGRA(pic, buf, int(w * 4)) : WebPPictureImportBGR(pic, buf, int(w * 3));
    delete[] bgr;
    delete[] buf;
    return ok != 0;
}

}  // namespace

int WebpWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta) {
    if (h->biWidth > WEBP_MAX_DIMENSION || DibRows(h) > WEBP_MAX_DIMENSION) return 0;
    WebPConfig config;
    if (opt.Webp.Lossless) {
        // The quality bar does not apply: the encoder's usual effort.
        if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, 75)) return 0;
        config.lossless = 1;
    } else {
        int q = opt.Webp.Quality > 100 ? 100 : opt.Webp.Quality;
        if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, float(q))) return 0;
    }
    if (!WebPValidateConfig(&config)) return 0;
    Picture pic;
    if (!WebPPictureInit(&pic.p)) return 0;
    pic.made = true;
    pic.p.use_argb = config.lossless;
    pic.p.width = int(h->biWidth);
    pic.p.height = int(DibRows(h));
    if (!ImportPixels(h, bits, &pic.p)) return 0;

    const uint8_t* xmp = nullptr;
    size_t xmpSize = 0;
    const bool exif = meta && !meta->exif.empty();
    const bool withXmp = XmpPacket(meta, &xmp, &xmpSize);
    if (!exif && !withXmp) {
        pic.p.writer = WriterFn;
        pic.p.custom_ptr = &out;
        return WebPEncode(&config, &pic.p) && out.Flush() ? 1 : 0;
    }
    // With metadata the bitstream is made in memory and the mux wraps it in
    // the extended layout, which names the chunks it carries.
    Memory encoded;
    pic.p.writer = WebPMemoryWrite;
    pic.p.custom_ptr = &encoded.w;
    if (!WebPEncode(&config, &pic.p)) return 0;
    Mux mux;
    if (!mux.m) return 0;
    WebPData image{encoded.w.mem, encoded.w.size};
    if (WebPMuxSetImage(mux.m, &image, 0) != WEBP_MUX_OK) return 0;
    if (exif) {
        WebPData chunk{meta->exif.data(), meta->exif.size()};
        if (WebPMuxSetChunk(mux.m, "EXIF", &chunk, 0) != WEBP_MUX_OK) return 0;
    }
    if (withXmp) {
        WebPData chunk{xmp, xmpSize};
        if (WebPMuxSetChunk(mux.m, "XMP ", &chunk, 0) != WEBP_MUX_OK) return 0;
    }
    WebPData assembled{};
    if (WebPMuxAssemble(mux.m, &assembled) != WEBP_MUX_OK) return 0;
    bool written = out.Write(assembled.bytes, assembled.size);
    WebPDataClear(&assembled);
    return written && out.Flush() ? 1 : 0;
}

}  // namespace pmio
