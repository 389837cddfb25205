// Photo CD image packs (own decoder, read only). A disc image file holds
// the picture at several resolutions; the three uncompressed packs (Base/16
// 192x128, Base/4 384x256, Base 768x512) sit at fixed sectors. Each pack
// stores pairs of luma rows followed by one row of each chroma channel at
// half resolution, in PhotoYCC. The larger packs (4Base, 16Base) are
// Huffman-coded residuals over Base and are not decoded: Base is the largest
// picture this reader gives.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmheap.h"

#include <cstring>

namespace pmio {
namespace {

constexpr uint64_t kSector = 2048;
constexpr uint64_t kOrientationAt = kSector + 1538;

struct Pack {
    uint64_t offset;
    int width, height;
};
// Largest first: the reader takes the largest pack the file holds whole.
constexpr Pack kPacks[] = {{96 * kSector, 768, 512}, {23 * kSector, 384, 256}, {4 * kSector, 192, 128}};

uint8_t Clamp(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// PhotoYCC to RGB. Luma and chroma are offset and scaled so that the
// film's range above reference white fits a byte; the factors undo that.
void YccToBgr(int y, int c1, int c2, uint8_t* out) {
    const int l = 1389 * y;               // 1.3584 in 1/1024
    const int cb = 2271 * (c1 - 156);     // 2.2179
    const int cr = 1865 * (c2 - 137);     // 1.8215
    out[2] = Clamp((l + cr + 512) >> 10);
    out[1] = Clamp((l - (194 * cb + 509 * cr) / 1000 + 512) >> 10);
    out[0] = Clamp((l + cb + 512) >> 10);
}

}  // namespace

int PcdRead(InStream& in, DibIOOptions*, DibHolder* out) {
    const int64_t size = in.Size();
    char sig[7];
    if (size < int64_t(kOrientationAt + 1) || !in.Seek(kSector) || !in.ReadExact(sig, 7) ||
        std::memcmp(sig, "PCD_IPI", 7) != 0)
        return 0;
    uint8_t orient = 0;
    if (!in.Seek(kOrientationAt) || !in.ReadExact(&orient, 1)) return 0;
    orient &= 3;
    const Pack* pack = nullptr;
    for (const Pack& p : kPacks)
        if (uint64_t(size) >= p.offset + uint64_t(p.width) * p.height * 3 / 2) {
            pack = &p;
            break;
        }
    if (!pack) return 0;
    const int w = pack->width, h = pack->height;
    const size_t packBytes = size_t(w) * h * 3 / 2;
    auto* data = static_cast<uint8_t*>(PmHeap_Alloc(packBytes));
    if (!data) return 0;
    struct Free {
        uint8_t* p;
        ~Free() { PmHeap_Free(p); }
    } freeData{data};
    if (!in.Seek(pack->offset) || !in.ReadExact(data, packBytes)) return 0;

    // The picture turned upright: orientation 1 and 3 are stored turned by
    // a quarter, 2 upside down.
    const bool quarter = orient & 1;
    if (!NewDib(quarter ? h : w, quarter ? w : h, 24, out)) return 0;
    const size_t pairBytes = size_t(w) * 3;
    for (int y = 0; y < h; ++y) {
        const uint8_t* pair = data + size_t(y / 2) * pairBytes;
        const uint8_t* luma = pair + size_t(y & 1) * w;
        const uint8_t* c1 = pair + size_t(2) * w;
        const uint8_t* c2 = c1 + w / 2;
        // Chroma between two stored rows is the mean of both.
        const uint8_t* n1 = c1;
        const uint8_t* n2 = c2;
        if ((y & 1) && y / 2 + 1 < h / 2) {
            n1 = c1 + pairBytes;
            n2 = c2 + pairBytes;
        }
        for (int x = 0; x < w; ++x) {
            int cx = x / 2, nx = (x & 1) && cx + 1 < w / 2 ? cx + 1 : cx;
            int u = (c1[cx] + c1[nx] + n1[cx] + n1[nx] + 2) / 4;
            int v = (c2[cx] + c2[nx] + n2[cx] + n2[nx] + 2) / 4;
            int dx, dy;
            switch (orient) {
            case 1: dx = y; dy = w - 1 - x; break;
            case 2: dx = w - 1 - x; dy = h - 1 - y; break;
            case 3: dx = h - 1 - y; dy = x; break;
            default: dx = x; dy = y; break;
            }
            YccToBgr(luma[x], u, v, TopRow(out->header, out->bits, dy) + size_t(dx) * 3);
        }
    }
    return 24;
}

}  // namespace pmio
