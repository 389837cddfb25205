// BMP files: Windows 3 to V5 info headers, OS/2 1.x and 2.x headers,
// 1/2/4/8/16/24/32 bits, RLE4, RLE8 and bit fields. Every header field is
// checked before anything is allocated from it.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_reduce.h"

#include <cstring>
#include <new>
#include <vector>

namespace pmio {
namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

constexpr uint32_t kBiAlphaBitfields = 6;

struct Field {
    uint32_t mask = 0;
    int shift = 0;
    int width = 0;
};

bool MakeField(uint32_t mask, int bits, Field* f) {
    f->mask = mask;
    f->shift = f->width = 0;
    if (!mask) return true;
    if (bits < 32 && (mask >> bits) != 0) return false;
    while (!((mask >> f->shift) & 1)) ++f->shift;
    uint32_t m = mask >> f->shift;
    while (m & 1) {
        ++f->width;
        m >>= 1;
    }
    return m == 0;  // contiguous
}

uint8_t Scale(uint32_t px, const Field& f) {
    if (!f.width) return 0;
    uint32_t v = (px & f.mask) >> f.shift;
    if (f.width >= 8) return uint8_t(v >> (f.width - 8));
    const uint32_t top = (1u << f.width) - 1;
    return uint8_t((v * 255 + top / 2) / top);
}

// Decodes RLE4/RLE8 pixel data into a bottom-up palette DIB. A run or
// literal that would pass the row's end, or a delta that leaves the image,
// marks the file corrupt: clipping would hide a file crafted to overrun.
bool DecodeRle(InStream& in, bool rle4, DibHeader* h, uint8_t* bits) {
    const int64_t w = h->biWidth, rows = h->biHeight;
    const uint64_t stride = DibStride(uint64_t(w), h->biBitCount);
    int64_t x = 0, y = 0;
    uint8_t lit[256];
    for (;;) {
        uint8_t pair[2];
        if (!in.ReadExact(pair, 2)) return !in.SysFailed();  // a missing end mark ends the image
        if (pair[0]) {
            if (y >= rows || x + pair[0] > w) return false;
            uint8_t* row = bits + uint64_t(y) * stride;
            for (int i = 0; i < pair[0]; ++i, ++x)
                SetIndex(row, rle4 ? 4 : 8, x, rle4 ? ((i & 1) ? pair[1] & 15 : pair[1] >> 4) : pair[1]);
            continue;
        }
        switch (pair[1]) {
        case 0:
            x = 0;
            ++y;
            break;
        case 1: return true;
        case 2: {
            uint8_t d[2];
            if (!in.ReadExact(d, 2)) return !in.SysFailed();
            x += d[0];
            y += d[1];
            if (x > w || y > rows) return false;
            break;
        }
        default: {
            int n = pair[1];
            size_t bytes = rle4 ? size_t(n + 1) / 2 : size_t(n);
            size_t padded = (bytes + 1) & ~size_t(1);
            if (y >= rows || x + n > w) return false;
            if (!in.ReadExact(lit, padded)) return false;
            uint8_t* row = bits + uint64_t(y) * stride;
            for (int i = 0; i < n; ++i, ++x)
                SetIndex(row, rle4 ? 4 : 8, x, rle4 ? ((i & 1) ? lit[i / 2] & 15 : lit[i / 2] >> 4) : lit[i]);
        }
        }
    }
}

}  // namespace

int BmpRead(InStream& in, DibIOOptions*, DibHolder* out, DibReadRequest* request) {
    uint8_t fh[14];
    if (!in.ReadExact(fh, 14) || fh[0] != 'B' || fh[1] != 'M') return 0;
    const uint32_t offBits = Le32(fh + 10);
    uint8_t ih[124] = {};
    if (!in.ReadExact(ih, 4)) return 0;
    const uint32_t hsize = Le32(ih);
    const bool os2v1 = hsize == 12;
    const bool os2v2 = hsize == 16 || hsize == 64;
    if (!(os2v1 || os2v2 || hsize == 40 || hsize == 52 || hsize == 56 || hsize == 108 || hsize == 124)) return 0;
    if (!in.ReadExact(ih + 4, hsize - 4)) return 0;

    int64_t width, height;
    uint16_t planes, bitCount;
    uint32_t comp = 0, clrUsed = 0;
    if (os2v1) {
        width = Le16(ih + 4);
        height = int16_t(Le16(ih + 6));
        planes = Le16(ih + 8);
        bitCount = Le16(ih + 10);
    } else {
        width = int32_t(Le32(ih + 4));
        height = int32_t(Le32(ih + 8));
        planes = Le16(ih + 12);
        bitCount = Le16(ih + 14);
        if (hsize >= 20) comp = Le32(ih + 16);
        if (hsize >= 36) clrUsed = Le32(ih + 32);
    }
    if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return 0;
    const bool topDown = height < 0;
    const int64_t rows = topDown ? -height : height;
    // OS/2 2.x reuses 3 and 4 for Huffman and RLE24, which no writer of
    // this system's time produced; they are refused, not misread.
    if (os2v2 && comp > 2) return 0;
    if (bitCount != 1 && bitCount != 2 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 &&
        bitCount != 32)
        return 0;
    const bool rle = comp == kBiRle8 || comp == kBiRle4;
    if (comp == kBiRle8 && bitCount != 8) return 0;
    if (comp == kBiRle4 && bitCount != 4) return 0;
    if ((comp == kBiBitfields || comp == kBiAlphaBitfields) && bitCount != 16 && bitCount != 32) return 0;
    if (comp > kBiBitfields && comp != kBiAlphaBitfields) return 0;
    if (rle && topDown) return 0;

    // Bit fields: in the header from V2 on, else behind a 40-byte header.
    uint32_t masks[4] = {0, 0, 0, 0};
    uint64_t palStart = 14 + uint64_t(hsize);
    if (comp == kBiBitfields || comp == kBiAlphaBitfields) {
        if (hsize >= 52) {
            for (int i = 0; i < 3; ++i) masks[i] = Le32(ih + 40 + 4 * i);
            if (hsize >= 56) masks[3] = Le32(ih + 52);
        } else {
            uint8_t m[16];
            size_t n = comp == kBiAlphaBitfields ? 16 : 12;
            if (!in.ReadExact(m, n)) return 0;
            for (size_t i = 0; i < n / 4; ++i) masks[i] = Le32(m + 4 * i);
            palStart += n;
        }
    } else if (bitCount == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
    } else if (bitCount == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0xFF00;
        masks[2] = 0xFF;
        // A V4/V5 header names the alpha channel even for BI_RGB.
        if (hsize >= 108 && Le32(ih + 52) == 0xFF000000u) masks[3] = 0xFF000000u;
    }
    Field f[4];
    if (bitCount >= 16)
        for (int i = 0; i < 4; ++i)
            if (!MakeField(masks[i], bitCount, &f[i])) return 0;

    const int64_t fileSize = in.Size();
    if (fileSize < 0) return 0;
    if (offBits < palStart || offBits >= uint64_t(fileSize)) return 0;

    int dibBits = bitCount;
    if (bitCount == 2) dibBits = 4;
    if (bitCount == 16 || bitCount == 32) dibBits = masks[3] ? 32 : 24;

    // Colour table.
    RgbQuad pal[256] = {};
    int palCount = 0;
    if (bitCount <= 8) {
        uint32_t full = 1u << bitCount;
        if (clrUsed > 256) return 0;
        palCount = int(clrUsed && clrUsed < full ? clrUsed : full);
        int esize = os2v1 ? 3 : 4;
        // A table that the pixel data overlaps is a broken header, unless
        // the count was left to default: then the table is just short.
        uint64_t room = (offBits - palStart) / esize;
        if (room < uint64_t(palCount)) {
            if (clrUsed) return 0;
            palCount = int(room);
        }
        uint8_t raw[1024];
        if (!in.Seek(palStart) || !in.ReadExact(raw, size_t(palCount) * esize)) return 0;
        for (int i = 0; i < palCount; ++i) pal[i] = RgbQuad{raw[i * esize], raw[i * esize + 1], raw[i * esize + 2], 0};
    }
    const uint64_t dataPos = offBits;

    const uint64_t srcStride = DibStride(uint64_t(width), bitCount);
    if (!rle) {
        // The last row may lack its padding; anything shorter is truncated.
        uint64_t need = srcStride * uint64_t(rows - 1) + (uint64_t(width) * bitCount + 7) / 8;
        if (dataPos + need > uint64_t(fileSize)) return 0;
    }
    const unsigned factor = rle || !request ? 1 : StreamFactor(request, uint32_t(width), uint32_t(rows));
    if (factor > 1) {
        // Rows go into the box reduction as the colours a full read shows
        // once made 24-bit: the table's, or the fields' with their alpha.
        const int channels = dibBits == 32 ? 4 : 3;
        StreamReducer reducer;
        if (!reducer.Begin(uint32_t(width), uint32_t(rows), factor, channels) || !in.Seek(dataPos)) return 0;
        std::vector<uint8_t> src, line;
        try {
            src.resize(size_t(srcStride));
            line.resize(size_t(width) * channels);
        } catch (const std::bad_alloc&) {
            NoteTooLarge();
            return 0;
        }
        for (int64_t r = 0; r < rows; ++r) {
            std::memset(src.data(), 0, src.size());
            if (in.Read(src.data(), src.size()) < src.size() && (r != rows - 1 || in.SysFailed())) return 0;
            uint8_t* d = line.data();
            if (bitCount <= 8) {
                for (int64_t x = 0; x < width; ++x, d += 3) {
                    const int i = bitCount == 2 ? (src[x >> 2] >> (6 - 2 * (x & 3))) & 3 : IndexAt(src.data(), bitCount, x);
                    const RgbQuad q = pal[i];
                    d[0] = q.blue;
                    d[1] = q.green;
                    d[2] = q.red;
                }
            } else if (bitCount == 24) {
                std::memcpy(d, src.data(), size_t(width) * 3);
            } else {
                const int bpp = bitCount / 8;
                for (int64_t x = 0; x < width; ++x, d += channels) {
                    uint32_t px = bpp == 2 ? Le16(&src[x * 2]) : Le32(&src[x * 4]);
                    d[0] = Scale(px, f[2]);
                    d[1] = Scale(px, f[1]);
                    d[2] = Scale(px, f[0]);
                    if (channels == 4) d[3] = Scale(px, f[3]);
                }
            }
            reducer.Row(uint32_t(topDown ? r : rows - 1 - r), line.data());
        }
        return reducer.Finish(request, out) ? bitCount : 0;
    }
    if (!NewDib(width, rows, dibBits, out)) return 0;
    if (dibBits <= 8) std::memcpy(Table(out->header), pal, sizeof(RgbQuad) * palCount);
    if (!in.Seek(dataPos)) return 0;

    if (rle) return DecodeRle(in, comp == kBiRle4, out->header, out->bits) ? bitCount : 0;

    std::vector<uint8_t> src(size_t(srcStride), 0);
    bool anyAlpha = false;
    for (int64_t r = 0; r < rows; ++r) {
        std::memset(src.data(), 0, src.size());
        if (in.Read(src.data(), src.size()) < src.size() && (r != rows - 1 || in.SysFailed())) return 0;
        // File rows run bottom-up unless the height is negative.
        uint8_t* dst = TopRow(out->header, out->bits, topDown ? r : rows - 1 - r);
        switch (bitCount) {
        case 1:
        case 4:
        case 8: std::memcpy(dst, src.data(), size_t(srcStride)); break;
        case 2:
            for (int64_t x = 0; x < width; ++x) SetIndex(dst, 4, x, (src[x >> 2] >> (6 - 2 * (x & 3))) & 3);
            break;
        case 24: std::memcpy(dst, src.data(), size_t(width) * 3); break;
        default: {
            const int bpp = bitCount / 8;
            const int dpp = dibBits / 8;
            for (int64_t x = 0; x < width; ++x) {
                uint32_t px = bpp == 2 ? Le16(&src[x * 2]) : Le32(&src[x * 4]);
                uint8_t* d = dst + x * dpp;
                d[0] = Scale(px, f[2]);
                d[1] = Scale(px, f[1]);
                d[2] = Scale(px, f[0]);
                if (dpp == 4) {
                    d[3] = Scale(px, f[3]);
                    anyAlpha |= d[3] != 0;
                }
            }
        }
        }
    }
    // Many writers leave the alpha bytes 0; such an image is opaque.
    if (dibBits == 32 && !anyAlpha)
        for (int64_t y = 0; y < rows; ++y) {
            uint8_t* row = TopRow(out->header, out->bits, y);
            for (int64_t x = 0; x < width; ++x) row[x * 4 + 3] = 255;
        }
    return bitCount;
}

namespace {

void EncodeRle8Row(const uint8_t* p, int64_t w, std::vector<uint8_t>* o) {
    int64_t i = 0;
    while (i < w) {
        int64_t run = 1;
        while (i + run < w && run < 255 && p[i + run] == p[i]) ++run;
        if (run >= 2) {
            o->push_back(uint8_t(run));
            o->push_back(p[i]);
            i += run;
            continue;
        }
        // A literal stretch ends where a run of three begins.
        int64_t j = i;
        while (j < w && j - i < 255 && !(j + 2 < w && p[j] == p[j + 1] && p[j] == p[j + 2])) ++j;
        int64_t n = j - i;
        if (n < 3) {
            for (int64_t k = 0; k < n; ++k) {
                o->push_back(1);
                o->push_back(p[i + k]);
            }
        } else {
            o->push_back(0);
            o->push_back(uint8_t(n));
            o->insert(o->end(), p + i, p + j);
            if (n & 1) o->push_back(0);
        }
        i = j;
    }
}

void EncodeRle4Row(const uint8_t* row, int64_t w, std::vector<uint8_t>* o) {
    auto px = [&](int64_t x) { return IndexAt(row, 4, x); };
    int64_t i = 0;
    while (i < w) {
        // Encoded mode repeats a pair of nibbles; runs alternating two
        // values cost the same as runs of one.
        int64_t run = 1;
        while (i + run < w && run < 255 && px(i + run) == px(i + (run & 1))) ++run;
        if (run >= 3 || (run == 2 && i + 2 >= w)) {
            o->push_back(uint8_t(run));
            o->push_back(uint8_t(px(i) << 4 | (run > 1 ? px(i + 1) : 0)));
            i += run;
            continue;
        }
        int64_t j = i;
        while (j < w && j - i < 255) {
            int64_t r = 1;
            while (j + r < w && r < 4 && px(j + r) == px(j + (r & 1))) ++r;
            if (r >= 4) break;
            ++j;
        }
        int64_t n = j - i;
        if (n < 3) {
            o->push_back(uint8_t(n));
            o->push_back(uint8_t(px(i) << 4 | (n > 1 ? px(i + 1) : 0)));
        } else {
            o->push_back(0);
            o->push_back(uint8_t(n));
            size_t bytes = size_t(n + 1) / 2;
            for (size_t b = 0; b < bytes; ++b) {
                int64_t x = i + int64_t(b) * 2;
                o->push_back(uint8_t(px(x) << 4 | (x + 1 < j ? px(x + 1) : 0)));
            }
            if (bytes & 1) o->push_back(0);
        }
        i = j;
    }
}

}  // namespace

int BmpWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits) {
    const int bc = h->biBitCount;
    if (bc != 1 && bc != 4 && bc != 8 && bc != 16 && bc != 24 && bc != 32) return 0;
    const int64_t w = h->biWidth, rows = DibRows(h);
    const bool rle = opt.Bmp.Compression == 1 && (bc == 4 || bc == 8);
    const int palCount = bc <= 8 ? TableCount(h) : 0;
    const RgbQuad* table = Table(h);
    // 32-bit images keep their alpha through a V4 header with bit fields.
    const uint32_t hsize = bc == 32 ? 108 : 40;
    const uint32_t offBits = 14 + hsize + uint32_t(palCount) * 4;
    const uint64_t stride = DibStride(uint64_t(w), uint32_t(bc));
    uint64_t imageBytes = rle ? 0 : stride * uint64_t(rows);
    if (offBits + imageBytes > 0xFFFFFFFFu) return 0;

    uint8_t hdr[14 + 108] = {};
    auto put16 = [&](int at, uint32_t v) { hdr[at] = uint8_t(v); hdr[at + 1] = uint8_t(v >> 8); };
    auto put32 = [&](int at, uint32_t v) { put16(at, v); put16(at + 2, v >> 16); };
    hdr[0] = 'B';
    hdr[1] = 'M';
    put32(2, uint32_t(offBits + imageBytes));
    put32(10, offBits);
    put32(14, hsize);
    put32(18, uint32_t(w));
    put32(22, uint32_t(rows));
    put16(26, 1);
    put16(28, uint32_t(bc));
    put32(30, rle ? (bc == 8 ? kBiRle8 : kBiRle4) : bc == 32 ? kBiBitfields : kBiRgb);
    put32(34, uint32_t(imageBytes));
    put32(38, uint32_t(h->biXPelsPerMeter));
    put32(42, uint32_t(h->biYPelsPerMeter));
    put32(46, uint32_t(palCount));
    if (bc == 32) {
        put32(54, 0x00FF0000);
        put32(58, 0x0000FF00);
        put32(62, 0x000000FF);
        put32(66, 0xFF000000);
        put32(70, 0x73524742);  // 'sRGB'
    }
    if (!out.Write(hdr, 14 + hsize)) return 0;
    for (int i = 0; i < palCount; ++i) {
        // The fourth byte marks transparency only inside this system.
        uint8_t e[4] = {table[i].blue, table[i].green, table[i].red, 0};
        if (!out.Write(e, 4)) return 0;
    }
    if (!rle) {
        for (int64_t r = rows - 1; r >= 0; --r)
            if (!out.Write(TopRow(h, bits, r), size_t(stride))) return 0;
        return out.Flush() ? 1 : 0;
    }
    std::vector<uint8_t> enc;
    uint64_t total = 0;
    for (int64_t r = rows - 1; r >= 0; --r) {
        enc.clear();
        const uint8_t* row = TopRow(h, bits, r);
        if (bc == 8)
            EncodeRle8Row(row, w, &enc);
        else
            EncodeRle4Row(row, w, &enc);
        enc.push_back(0);
        enc.push_back(r == 0 ? 1 : 0);  // end of line, end of bitmap after the last
        total += enc.size();
        if (offBits + total > 0xFFFFFFFFu || !out.Write(enc.data(), enc.size())) return 0;
    }
    if (!out.PatchU32(2, uint32_t(offBits + total)) || !out.PatchU32(34, uint32_t(total))) return 0;
    return out.Flush() ? 1 : 0;
}

}  // namespace pmio
