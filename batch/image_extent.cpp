#include "batch/image_extent.h"
#include "makerlibs/pmdibio.h"

#include <cstring>

namespace {

class Header {
public:
    Header(ExtentReadFn read, void* context) : read_(read), context_(context) {}
    bool Bytes(uint64_t at, uint8_t* out, size_t n) const { return read_(context_, at, out, n) == n; }
    bool U16(uint64_t at, bool big, uint32_t* v) const {
        uint8_t b[2];
        if (!Bytes(at, b, 2)) return false;
        *v = big ? uint32_t(b[0] << 8 | b[1]) : uint32_t(b[0] | b[1] << 8);
        return true;
    }
    bool U32(uint64_t at, bool big, uint32_t* v) const {
        uint8_t b[4];
        if (!Bytes(at, b, 4)) return false;
        *v = big ? uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]
                 : uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
        return true;
    }

private:
    ExtentReadFn read_;
    void* context_;
};

// Markers up to the first frame header; a file that puts thousands of
// segments first is not worth following.
constexpr int kMaxJpegSegments = 4096;

bool IsFrameMarker(uint8_t code) { return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC; }
// SOF2, SOF6, SOF10, SOF14.
bool IsProgressiveFrame(uint8_t code) { return (code & 0xF3) == 0xC2; }

struct JpegFrame {
    uint32_t components = 0;
    uint32_t h[4] = {}, v[4] = {};
};

// The coefficient arrays libjpeg allocates for a whole image: each
// component's blocks, padded to whole MCUs, 64 coefficients of 2 bytes.
uint64_t CoefficientBytes(const ImageExtent& e, const JpegFrame& f) {
    uint32_t hMax = 1, vMax = 1;
    for (uint32_t i = 0; i < f.components; ++i) {
        hMax = f.h[i] > hMax ? f.h[i] : hMax;
        vMax = f.v[i] > vMax ? f.v[i] : vMax;
    }
    uint64_t mcuColumns = (uint64_t(e.width) + 8 * hMax - 1) / (8 * hMax);
    uint64_t mcuRows = (uint64_t(e.height) + 8 * vMax - 1) / (8 * vMax);
    uint64_t blocks = 0;
    for (uint32_t i = 0; i < f.components; ++i) blocks += mcuColumns * f.h[i] * mcuRows * f.v[i];
    return blocks * 64 * 2;
}

bool JpegExtent(const Header& h, ImageExtent* out) {
    uint64_t at = 2;
    bool haveFrame = false, progressive = false;
    JpegFrame frame;
    ImageExtent e;
    for (int i = 0; i < kMaxJpegSegments; ++i) {
        uint8_t m[2];
        if (!h.Bytes(at, m, 2) || m[0] != 0xFF) break;
        if (m[1] == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        uint8_t code = m[1];
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD8)) {
            at += 2;
            continue;
        }
        if (code == 0xD9) break;
        uint32_t length;
        if (!h.U16(at + 2, true, &length) || length < 2) break;
        if (IsFrameMarker(code) && !haveFrame) {
            uint32_t height, width;
            uint8_t count;
            if (!h.U16(at + 5, true, &height) || !h.U16(at + 7, true, &width)) return false;
            e.width = width;
            e.height = height;
            e.jpeg = true;
            haveFrame = true;
            progressive = IsProgressiveFrame(code);
            if (!h.Bytes(at + 9, &count, 1) || count < 1 || count > 4) break;
            frame.components = count;
            for (uint32_t c = 0; c < count; ++c) {
                uint8_t sampling;
                if (!h.Bytes(at + 10 + 3 * c + 1, &sampling, 1)) {
                    frame.components = 0;
                    break;
                }
                frame.h[c] = (sampling >> 4) ? (sampling >> 4) : 1;
                frame.v[c] = (sampling & 15) ? (sampling & 15) : 1;
            }
            if (progressive) break;
        } else if (code == 0xDA) {
            // A first scan of fewer components than the frame's: the others
            // come in later scans, and the decoder keeps every coefficient
            // until they do.
            uint8_t scanComponents;
            if (haveFrame && h.Bytes(at + 4, &scanComponents, 1) && scanComponents < frame.components)
                progressive = true;
            break;
        }
        at += 2 + length;
    }
    if (!haveFrame) return false;
    if (progressive) {
        // Unknown sampling counts as three full components.
        if (!frame.components) {
            frame.components = 3;
            for (int c = 0; c < 3; ++c) frame.h[c] = frame.v[c] = 1;
        }
        e.wholeCoefficientBytes = CoefficientBytes(e, frame);
    }
    *out = e;
    return true;
}

constexpr uint32_t kMaxTiffEntries = 4096;

bool TiffExtent(const Header& h, bool big, ImageExtent* out) {
    uint32_t ifd, count;
    if (!h.U32(4, big, &ifd) || !h.U16(ifd, big, &count) || count > kMaxTiffEntries) return false;
    uint32_t width = 0, height = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t entry = uint64_t(ifd) + 2 + 12ull * i;
        uint32_t tag, type, value;
        if (!h.U16(entry, big, &tag) || !h.U16(entry + 2, big, &type)) return false;
        if (tag != 256 && tag != 257) continue;
        if (type == 3) {
            if (!h.U16(entry + 8, big, &value)) return false;
        } else if (type == 4) {
            if (!h.U32(entry + 8, big, &value)) return false;
        } else {
            return false;
        }
        (tag == 256 ? width : height) = value;
    }
    if (!width || !height) return false;
    *out = ImageExtent{width, height};
    out->streamed = true;
    return true;
}

constexpr uint64_t kPcdSignatureAt = 2048;

// A WebP's size from its first chunk: the canvas of the extended layout, or
// the frame header of a plain lossy or lossless file.
bool WebpExtent(const Header& h, ImageExtent* out) {
    uint8_t b[10];
    if (!h.Bytes(8, b, 4) || std::memcmp(b, "WEBP", 4) != 0 || !h.Bytes(12, b, 4)) return false;
    uint32_t w = 0, ht = 0;
    if (!std::memcmp(b, "VP8X", 4)) {
        if (!h.Bytes(24, b, 6)) return false;
        w = 1 + (b[0] | b[1] << 8 | uint32_t(b[2]) << 16);
        ht = 1 + (b[3] | b[4] << 8 | uint32_t(b[5]) << 16);
    } else if (!std::memcmp(b, "VP8 ", 4)) {
        if (!h.Bytes(20, b, 10) || b[3] != 0x9D || b[4] != 0x01 || b[5] != 0x2A) return false;
        w = (b[6] | b[7] << 8) & 0x3FFF;
        ht = (b[8] | b[9] << 8) & 0x3FFF;
    } else if (!std::memcmp(b, "VP8L", 4)) {
        if (!h.Bytes(20, b, 5) || b[0] != 0x2F) return false;
        uint32_t bits = b[1] | b[2] << 8 | uint32_t(b[3]) << 16 | uint32_t(b[4]) << 24;
        w = 1 + (bits & 0x3FFF);
        ht = 1 + ((bits >> 14) & 0x3FFF);
    } else {
        return false;
    }
    if (!w || !ht) return false;
    *out = ImageExtent{w, ht};
    return true;
}

// Sub-blocks walked to the first image; files that put more before it are
// judged as read whole.
constexpr int kMaxGifBlocks = 4096;

// The screen's size; a first image stored row by row (not interlaced)
// streams. The records before it are walked to its descriptor.
bool GifExtent(const Header& h, ImageExtent* out) {
    uint32_t w, ht;
    uint8_t flags;
    if (!h.U16(6, false, &w) || !h.U16(8, false, &ht) || !h.Bytes(10, &flags, 1)) return false;
    *out = ImageExtent{w, ht};
    out->gif = true;
    uint64_t at = 13 + ((flags & 0x80) ? 3ull << ((flags & 7) + 1) : 0);
    for (int blocks = 0;;) {
        uint8_t kind;
        if (!h.Bytes(at, &kind, 1)) return true;
        if (kind == 0x2C) {
            uint8_t packed;
            out->streamed = h.Bytes(at + 9, &packed, 1) && !(packed & 0x40);
            return true;
        }
        if (kind != 0x21) return true;
        at += 2;  // introducer and label, then the sub-blocks up to an empty one
        for (;;) {
            uint8_t length;
            if (++blocks > kMaxGifBlocks || !h.Bytes(at, &length, 1)) return true;
            at += 1 + uint64_t(length);
            if (!length) break;
        }
    }
}

}  // namespace

bool Batch_ReadImageExtent(ExtentReadFn read, void* context, ImageExtent* out) {
    *out = ImageExtent{};
    Header h(read, context);
    uint8_t head[8] = {};
    if (!h.Bytes(0, head, 4)) return false;
    uint32_t a, b;
    if (head[0] == 0xFF && head[1] == 0xD8) return JpegExtent(h, out);
    if (!std::memcmp(head, "RIFF", 4)) return WebpExtent(h, out);
    if (!std::memcmp(head, "II*\0", 4)) return TiffExtent(h, false, out);
    if (!std::memcmp(head, "MM\0*", 4)) return TiffExtent(h, true, out);
    if (!std::memcmp(head, "\x89PNG", 4)) {
        uint8_t interlace = 0, depth[2] = {};
        if (!h.U32(16, true, &a) || !h.U32(20, true, &b) || !h.Bytes(28, &interlace, 1) || !h.Bytes(24, depth, 2))
            return false;
        *out = ImageExtent{a, b};
        out->streamed = interlace == 0;
        static const unsigned channels[7] = {1, 0, 3, 1, 2, 0, 4};
        if (depth[1] < 7) out->inflatedBytes = DibIO_PngInflatedBytes(a, b, depth[0] * channels[depth[1]], interlace != 0);
        return true;
    }
    if (!std::memcmp(head, "GIF8", 4)) return GifExtent(h, out);
    if (head[0] == 'B' && head[1] == 'M') {
        uint32_t infoSize, compression = 0;
        if (!h.U32(14, false, &infoSize)) return false;
        if (infoSize >= 20 && !h.U32(30, false, &compression)) return false;
        if (infoSize == 12) {
            if (!h.U16(18, false, &a) || !h.U16(20, false, &b)) return false;
        } else {
            if (!h.U32(18, false, &a) || !h.U32(22, false, &b)) return false;
            // Top-down bitmaps store their height negated.
            if (int32_t(b) < 0) b = uint32_t(-int64_t(int32_t(b)));
            if (int32_t(a) < 0) return false;
        }
        *out = ImageExtent{a, b};
        out->streamed = compression != 1 && compression != 2;  // not RLE8 / RLE4
        return true;
    }
    uint8_t pcd[7];
    if (h.Bytes(kPcdSignatureAt, pcd, 7) && !std::memcmp(pcd, "PCD_IPI", 7)) {
        // The largest image pack the reader decodes.
        *out = ImageExtent{768, 512};
        return true;
    }
    return false;
}

uint64_t Batch_ConversionBytes(const ImageExtent& e, uint32_t reduction, uint64_t fileBytes) {
    if (!e.width || !e.height) return kUnknownExtentBytes + fileBytes;
    if (reduction < 1) reduction = 1;
    uint64_t pixels = ((uint64_t(e.width) + reduction - 1) / reduction) * ((uint64_t(e.height) + reduction - 1) / reduction);
    const uint64_t streaming = e.streamed && reduction > 1 ? kStreamedBandBytes + uint64_t(e.width) * 64 : 0;
    return pixels * 4 * 2 + pixels + e.wholeCoefficientBytes + fileBytes + streaming + e.inflatedBytes;
}
