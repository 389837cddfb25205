// Fuzz target of the GIF frame records: counting, frame-by-frame reading,
// composition on the canvas, writing every frame back out as the animation
// conversion does, and the still reads, whole and streamed. Allocations
// above a few megabytes fail, as on a machine short of memory, so that large
// declared screens stay cheap.
// A second leg reads every image twice in step, once through giflib's
// DGifGetLine and once through our LZW decoder, and aborts where the rows
// or the verdicts part.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmgifkit/gif_lzw.h"
#include "makerlibs/pmheap.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Mem {
    const uint8_t* data;
    size_t size, at;
};

int MemRead(GifFileType* g, GifByteType* buf, int n) {
    auto* m = static_cast<Mem*>(g->UserData);
    const size_t k = n > 0 ? std::min(size_t(n), m->size - m->at) : 0;
    std::memcpy(buf, m->data + m->at, k);
    m->at += k;
    return int(k);
}

struct Blocks {
    GifFileType* gif;
    GifByteType* first;
    bool started;
};

int NextBlock(void* ctx, const uint8_t** data) {
    auto* b = static_cast<Blocks*>(ctx);
    GifByteType* block = b->first;
    b->first = nullptr;
    if (b->started && DGifGetCodeNext(b->gif, &block) == GIF_ERROR) return -1;
    b->started = true;
    if (!block) return 0;
    *data = block + 1;
    return block[0];
}

// Walks the records of two readers of the same bytes in step. Returns
// false at the end of either or where both fail alike.
bool SameRecord(GifFileType* a, GifFileType* b, pmgif::LzwDecoder* lzw, uint64_t* budget) {
    GifRecordType ta, tb;
    const bool oka = DGifGetRecordType(a, &ta) == GIF_OK, okb = DGifGetRecordType(b, &tb) == GIF_OK;
    if (oka != okb || (oka && ta != tb)) std::abort();
    if (!oka || ta == TERMINATE_RECORD_TYPE) return false;
    if (ta == EXTENSION_RECORD_TYPE) {
        int code;
        GifByteType *ea = nullptr, *eb = nullptr;
        bool ra = DGifGetExtension(a, &code, &ea) == GIF_OK, rb = DGifGetExtension(b, &code, &eb) == GIF_OK;
        while (ra && rb && ea && eb) {
            ra = DGifGetExtensionNext(a, &ea) == GIF_OK;
            rb = DGifGetExtensionNext(b, &eb) == GIF_OK;
        }
        if (ra != rb || (ra && (ea == nullptr) != (eb == nullptr))) std::abort();
        return ra;
    }
    if (ta != IMAGE_DESC_RECORD_TYPE) return false;
    const bool da = DGifGetImageDesc(a) == GIF_OK, db = DGifGetImageDesc(b) == GIF_OK;
    if (da != db) std::abort();
    const int w = a->Image.Width, h = a->Image.Height;
    if (!da || w < 1 || h < 1 || uint64_t(w) * uint64_t(h) > *budget) return false;
    *budget -= uint64_t(w) * uint64_t(h);
    std::vector<GifPixelType> ra(size_t(w) + 16), rb(size_t(w) + 16);
    Blocks blocks{b, nullptr, false};
    int codeSize = 0;
    bool ours = DGifGetCode(b, &codeSize, &blocks.first) == GIF_OK &&
                lzw->Start(codeSize, uint64_t(w) * uint64_t(h), NextBlock, &blocks);
    for (int y = 0; y < h; ++y) {
        const bool theirs = DGifGetLine(a, ra.data(), w) == GIF_OK;
        ours = ours && lzw->Read(rb.data(), size_t(w));
        if (theirs != ours) std::abort();
        if (!theirs) return false;
        if (std::memcmp(ra.data(), rb.data(), size_t(w)) != 0) std::abort();
    }
    return true;
}

void Differential(const uint8_t* data, size_t size) {
    Mem ma{data, size, 0}, mb{data, size, 0};
    int err = 0;
    GifFileType* a = DGifOpen(&ma, MemRead, &err);
    GifFileType* b = DGifOpen(&mb, MemRead, &err);
    std::unique_ptr<pmgif::LzwDecoder> lzw(new pmgif::LzwDecoder);
    // Enough pixels for several small frames, few enough that a declared
    // giant stays quick.
    uint64_t budget = 1u << 22;
    if (a && b)
        for (int records = 0; records < 1000 && SameRecord(a, b, lzw.get(), &budget); ++records) {
        }
    if (a) DGifCloseFile(a, &err);
    if (b) DGifCloseFile(b, &err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Differential(data, size);
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    FILE* out = tmpfile();
    PmHeap_FailAbove(2u << 20);
    int n = GifKit_CountFrames(f);
    GifScreen screen, ws;
    uint32_t loop = 0;
    DibHeader* ch = nullptr;
    uint8_t* cb = nullptr;
    bool header = false;
    for (int i = 0; i < n && i < 64; ++i) {
        GifFrame fr;
        DibPair p{};
        int tr = -1;
        int r = i == 0 ? GifKit_ReadFirstFrame(0, f, 0, 1, -1, &screen, &loop, &tr, &fr, &p)
                       : GifKit_ReadNextFrame(0, f, 0, 1, -1, &screen, &tr, &fr, &p);
        if (r <= 0) break;
        if (i == 0) {
            GifKit_CreateCanvas(&screen, 32, 0, &ch, &cb);
            ws = screen;
            header = out && GifKit_WriteHeader(0, out, &ws, loop) > 0;
        }
        if (ch) {
            GifKit_DrawFrame(&fr, p.header, p.bits, ch, cb);
            DibHeader* h2 = nullptr;
            uint8_t* b2 = nullptr;
            GifFrame rect = fr;
            rect.Width = p.header->biWidth;
            rect.Height = p.header->biHeight;
            GifKit_CopyFrameFromCanvas(&rect, ch, cb, 32, &h2, &b2);
            DibCore_Free(h2, b2);
        }
        if (header) {
            RgbQuad table[256];
            GifKit_BuildColorTable(8, p.header, tr, kNoColor, table);
            fr.Unnamed = 0;
            GifKit_WriteFrame(0, out, &ws, tr, &fr, &p);
        }
        DibCore_Free(p.header, p.bits);
    }
    if (header) GifKit_WriteTrailer(0, out);
    DibCore_Free(ch, cb);
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    GifKit_ReadImage(0, f, -1, 24, -1, 0, &h, &b);
    DibCore_Free(h, b);
    // A thumbnail's read: a first image stored row by row streams through
    // the box reduction (to a 4 x 4 target, so that small screens stream too).
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = [](void*, const PmSize*, PmSize* target) {
        *target = PmSize{4, 4};
        return 1;
    };
    GifKit_ReadImageRequested(f, &request, &h, &b);
    DibCore_Free(h, b);
    PmHeap_FailAbove(0);
    fclose(f);
    if (out) fclose(out);
    return 0;
}
