// Fuzz target of the GIF frame records: counting, frame-by-frame reading,
// composition on the canvas, writing every frame back out as the animation
// conversion does, and the still reads, whole and streamed. Allocations
// above a few megabytes fail, as on a machine short of memory, so that large
// declared screens stay cheap.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmheap.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
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
