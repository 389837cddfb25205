// GIF reading and writing through giflib: frame by frame for animations,
// whole images for DibIO_Read/DibIO_Write, and the canvas that composes
// frames as they look on the logical screen.
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_reduce.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmgifkit/gif_lzw.h"
#include "makerlibs/pmheap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <gif_lib.h>

namespace {

using pmio::DibHolder;
using pmio::InStream;
using pmio::OutStream;

constexpr int kNoTransparent = -1;
// Frame counting and reading stop here: no real animation has so many, and
// a hostile file of empty frames would otherwise keep a walk busy.
constexpr int kMaxFrames = 100000;

thread_local GifFrameControl t_control{};

int ReadFn(GifFileType* gif, GifByteType* buf, int n) {
    return n > 0 ? int(static_cast<InStream*>(gif->UserData)->Read(buf, size_t(n))) : 0;
}

int WriteFn(GifFileType* gif, const GifByteType* buf, int n) {
    auto* out = static_cast<OutStream*>(gif->UserData);
    return n > 0 && out && out->Write(buf, size_t(n)) ? n : 0;
}

int BitsFor(int count) {
    int b = 1;
    while ((1 << b) < count && b < 8) ++b;
    return b;
}

int DibBitsFor(int mapBits) { return mapBits <= 1 ? 1 : mapBits <= 4 ? 4 : 8; }

// One open GIF being read frame by frame on this thread.
struct Reader {
    PmFileHandle file = nullptr;
    InStream* in = nullptr;
    GifFileType* gif = nullptr;
    uint32_t loop = kGifNoLoopExtension;
    int frames = 0;

    ~Reader() { Close(); }
    void Close() {
        if (gif) {
            int err;
            DGifCloseFile(gif, &err);
        }
        delete in;
        gif = nullptr;
        in = nullptr;
        file = nullptr;
        frames = 0;
        loop = kGifNoLoopExtension;
    }
    bool Open(PmFileHandle f) {
        Close();
        in = new (std::nothrow) InStream(f);
        if (!in || !in->ok()) return false;
        int err = 0;
        gif = DGifOpen(in, ReadFn, &err);
        if (!gif) return false;
        file = f;
        return gif->SWidth >= 0 && gif->SHeight >= 0;
    }
    // < 0 failed system call, 0 other failure.
    int Fail() {
        int r = in ? in->Result(0) : 0;
        unsigned e = in && in->SysFailed() ? in->SysError() : 0;
        Close();
        if (r < 0) PmFile_SetLastError(e);
        return r;
    }
};

thread_local Reader t_reader;

struct FrameData {
    GifFrame frame{};
    int transparent = kNoTransparent;
    int mapBits = 8;
};

// Reads records up to the next image descriptor and fills `fd`. Returns 1,
// 0 at the end of the file or on corrupt data.
int NextDescriptor(Reader& r, FrameData* fd) {
    GifFileType* gif = r.gif;
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    bool haveGcb = false;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return 0;
        if (type == TERMINATE_RECORD_TYPE) return 0;
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return 0;
            bool first = true, looping = false;
            while (ext) {
                if (code == GRAPHICS_EXT_FUNC_CODE && first) {
                    haveGcb = DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK;
                } else if (code == APPLICATION_EXT_FUNC_CODE) {
                    if (first)
                        looping = ext[0] == 11 && (std::memcmp(ext + 1, "NETSCAPE2.0", 11) == 0 ||
                                                   std::memcmp(ext + 1, "ANIMEXTS1.0", 11) == 0);
                    else if (looping && ext[0] >= 3 && ext[1] == 1)
                        r.loop = uint32_t(ext[2] | ext[3] << 8);
                }
                first = false;
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return 0;
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) return 0;
        if (DGifGetImageDesc(gif) == GIF_ERROR) return 0;
        break;
    }
    if (++r.frames > kMaxFrames) return 0;
    const GifImageDesc& d = gif->Image;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
    fd->frame = GifFrame{d.Left, d.Top, d.Width, d.Height, d.Interlace ? 1 : 0, 0,
                         d.ColorMap ? d.ColorMap->BitsPerPixel : 0, d.ColorMap ? d.ColorMap->ColorCount : 0};
    fd->mapBits = map ? map->BitsPerPixel : 8;
    fd->transparent = haveGcb && gcb.TransparentColor >= 0 ? gcb.TransparentColor : kNoTransparent;
    t_control = GifFrameControl{haveGcb ? gcb.DelayTime : 0, haveGcb ? gcb.DisposalMode : 0,
                                haveGcb && gcb.UserInputFlag ? 1 : 0};
    return 1;
}

// The depth of the DIB that holds the image just described: its table's,
// or 8 bits when the transparent index lies beyond that.
int FrameDibBits(const FrameData& fd) {
    const int dibBits = DibBitsFor(fd.mapBits);
    return fd.transparent >= (1 << dibBits) ? 8 : dibBits;
}

// The colours of the image just described, `entries` of them: the file's
// table (entries past it stay as they are), or greys when it has none.
void FrameTable(const GifFileType* gif, RgbQuad* table, int entries) {
    const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    if (map) {
        for (int i = 0; i < map->ColorCount && i < entries; ++i)
            table[i] = RgbQuad{map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red, 0};
    } else {
        for (int i = 0; i < entries; ++i) {
            const uint8_t v = uint8_t(i * 255 / (entries - 1));
            table[i] = RgbQuad{v, v, v, 0};
        }
    }
}

// The pixels of the image whose descriptor was just read. giflib still
// reads every sub-block, so the file goes on from the next record after it;
// the decoding is ours, for speed.
class PixelSource {
public:
    explicit PixelSource(GifFileType* gif) : gif_(gif) {}
    bool Start() {
        int codeSize = 0;
        lzw_.reset(new (std::nothrow) pmgif::LzwDecoder);
        if (!lzw_ || DGifGetCode(gif_, &codeSize, &first_) == GIF_ERROR) return false;
        const GifImageDesc& d = gif_->Image;
        return lzw_->Start(codeSize, uint64_t(d.Width) * uint64_t(d.Height), NextBlock, this);
    }
    bool Row(GifPixelType* line, int width) { return lzw_->Read(line, size_t(width)); }

private:
    static int NextBlock(void* ctx, const uint8_t** data) {
        auto* self = static_cast<PixelSource*>(ctx);
        GifByteType* block = self->first_;
        self->first_ = nullptr;
        if (self->started_ && DGifGetCodeNext(self->gif_, &block) == GIF_ERROR) return -1;
        self->started_ = true;
        if (!block) return 0;
        *data = block + 1;
        return block[0];
    }

    GifFileType* gif_;
    GifByteType* first_ = nullptr;
    bool started_ = false;
    std::unique_ptr<pmgif::LzwDecoder> lzw_;
};

// Decodes the image whose descriptor was just read into `out`. Returns 1,
// 0 on corrupt data.
int DecodeImage(Reader& r, const FrameData& fd, DibHolder* out) {
    GifFileType* gif = r.gif;
    const GifImageDesc& d = gif->Image;
    const int dibBits = FrameDibBits(fd);
    if (!pmio::NewDib(d.Width, d.Height, dibBits, out)) return 0;
    DibHeader* h = out->header;
    RgbQuad* table = pmio::Table(h);
    FrameTable(gif, table, pmio::TableCount(h));
    if (fd.transparent >= 0) table[fd.transparent].reserved = kTransparentMark;

    PixelSource pixels(gif);
    if (!pixels.Start()) {
        out->Reset();
        return 0;
    }
    auto* line = static_cast<GifPixelType*>(PmHeap_Alloc(size_t(d.Width)));
    if (!line) return 0;
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    int pass = 0, y = 0;
    const int limit = 1 << dibBits;
    bool ok = true;
    for (int n = 0; n < d.Height && ok; ++n) {
        if (!pixels.Row(line, d.Width)) {
            ok = false;
            break;
        }
        int row = n;
        if (d.Interlace) {
            while (y >= d.Height) {
                ++pass;
                y = kStart[pass];
            }
            row = y;
            y += kStep[pass];
        }
        uint8_t* dst = pmio::TopRow(h, out->bits, row);
        // Indices past what the DIB can hold are not colours of the file;
        // an 8-bit DIB holds them all.
        if (dibBits == 8)
            std::memcpy(dst, line, size_t(d.Width));
        else
            for (int x = 0; x < d.Width; ++x) pmio::SetIndex(dst, dibBits, x, line[x] < limit ? line[x] : 0);
    }
    PmHeap_Free(line);
    if (!ok) out->Reset();
    return ok ? 1 : 0;
}

// Reads records up to the next image and decodes it into `out`. Returns 1,
// 0 at the end of the file or on corrupt data.
int NextImage(Reader& r, FrameData* fd, DibHolder* out) { return NextDescriptor(r, fd) && DecodeImage(r, *fd, out); }

void FillScreen(const GifFileType* gif, GifScreen* s) {
    std::memset(s, 0, sizeof *s);
    s->Width = gif->SWidth;
    s->Height = gif->SHeight;
    s->ColorResolution = gif->SColorResolution;
    s->BackgroundIndex = -1;
    s->BackgroundColor = kNoColor;
    if (const ColorMapObject* m = gif->SColorMap) {
        s->GlobalTableBits = m->BitsPerPixel;
        s->GlobalTableCount = m->ColorCount > 256 ? 256 : m->ColorCount;
        for (int i = 0; i < s->GlobalTableCount; ++i)
            s->GlobalTable[i] = RgbQuad{m->Colors[i].Blue, m->Colors[i].Green, m->Colors[i].Red, 0};
        s->BackgroundIndex = gif->SBackGroundColor;
        if (gif->SBackGroundColor < s->GlobalTableCount) {
            const GifColorType& c = m->Colors[gif->SBackGroundColor];
            s->BackgroundColor = MakeColorRef(c.Red, c.Green, c.Blue);
        }
    }
}

int ReadFrame(bool first, PmFileHandle file, GifScreen* screen, uint32_t* animation, int* transparent,
              GifFrame* frame, DibPair* image) {
    if (image) *image = DibPair{nullptr, nullptr};
    if (transparent) *transparent = kNoTransparent;
    Reader& r = t_reader;
    if (!file || !image) return 0;
    if (first) {
        if (!r.Open(file)) return r.Fail();
    } else if (r.file != file || !r.gif) {
        return 0;
    }
    FrameData fd;
    DibHolder dib;
    if (!NextImage(r, &fd, &dib)) return r.Fail();
    if (first && screen) {
        FillScreen(r.gif, screen);
        screen->HeaderFlag = fd.transparent >= 0 ? 1 : 0;
    }
    if (animation) *animation = r.loop;
    if (transparent) *transparent = fd.transparent;
    if (frame) *frame = fd.frame;
    dib.Release(&image->header, &image->bits);
    return 1;
}

// The first frame over white, its rows composed and fed into a box
// reduction as they are decoded: neither the frame nor the screen is held.
// The pixels are those a full read shows, reduced.
bool StreamFirstFrame(Reader& r, const FrameData& fd, uint32_t w, uint32_t h, unsigned factor,
                      DibReadRequest* request, DibHolder* out) {
    const GifImageDesc& d = r.gif->Image;
    // The frame's rows are decoded even where they leave the screen, so a
    // file fails as the full read fails; their count is bounded as the
    // screen's is.
    if (d.Width < 1 || d.Height < 1 || uint64_t(d.Width) * uint64_t(d.Height) > pmio::kMaxStreamedPixels) {
        pmio::NoteTooLarge();
        return false;
    }
    const int dibBits = FrameDibBits(fd);
    const int limit = 1 << dibBits;
    RgbQuad table[256] = {};  // entries past the file's table are black, as in a full read
    FrameTable(r.gif, table, limit);
    pmio::StreamReducer reducer;
    if (!reducer.Begin(w, h, factor, 3)) return false;
    std::vector<uint8_t> row, line;
    try {
        row.resize(size_t(w) * 3);
        line.resize(size_t(d.Width));
    } catch (const std::bad_alloc&) {
        pmio::NoteTooLarge();
        return false;
    }
    // Each index's colour in 4 bytes, so a pixel of a frame without
    // transparency is one store; indices past what a DIB of the table's
    // depth holds read as 0.
    uint8_t colors[256][4];
    bool opaque = true;
    for (int k = 0; k < 256; ++k) {
        const int i = k < limit ? k : 0;
        colors[k][0] = table[i].blue;
        colors[k][1] = table[i].green;
        colors[k][2] = table[i].red;
        colors[k][3] = 0;
        if (i == fd.transparent) opaque = false;
    }
    PixelSource pixels(r.gif);
    if (!pixels.Start()) return false;
    const int64_t top = d.Top, left = d.Left;
    const int64_t right = std::min<int64_t>(left + d.Width, w);
    for (int64_t y = 0; y < int64_t(h) || y < top + d.Height; ++y) {
        const bool inFrame = y >= top && y < top + d.Height;
        if (inFrame && !pixels.Row(line.data(), d.Width)) return false;
        if (y >= int64_t(h)) continue;
        if (inFrame && opaque && right > left) {
            std::memset(row.data(), 255, size_t(3 * left));
            std::memset(row.data() + 3 * right, 255, size_t(3 * (int64_t(w) - right)));
            uint8_t* dst = row.data() + 3 * left;
            const uint8_t* src = line.data();
            // The fourth byte lands on the next pixel, rewritten after; the
            // last pixel stores 3, so nothing past the frame is touched.
            for (int64_t x = left; x < right - 1; ++x, dst += 3) std::memcpy(dst, colors[*src++], 4);
            std::memcpy(dst, colors[*src], 3);
            reducer.Row(uint32_t(y), row.data());
            continue;
        }
        std::memset(row.data(), 255, row.size());
        if (inFrame && left < right) {
            uint8_t* dst = row.data() + 3 * left;
            for (int64_t x = left; x < right; ++x, dst += 3) {
                // Indices past what a DIB of the table's depth holds read as 0.
                const int i = line[size_t(x - left)] < limit ? line[size_t(x - left)] : 0;
                if (i == fd.transparent) continue;
                dst[0] = table[i].blue;
                dst[1] = table[i].green;
                dst[2] = table[i].red;
            }
        }
        reducer.Row(uint32_t(y), row.data());
    }
    return reducer.Finish(request, out);
}

// Places the first frame on a DIB of the logical screen. 24 bits: over
// white (a still image has nowhere to show transparency); 1/4/8 bits: over
// the transparent index, else the background index. A 24-bit read with a
// request for a thumbnail streams a first frame stored row by row.
int ReadStill(InStream& in, int bitCount, DibIOOptions* info, DibHolder* out, DibReadRequest* request = nullptr) {
    Reader r;
    r.in = &in;
    int err = 0;
    r.gif = DGifOpen(&in, ReadFn, &err);
    struct Detach {
        Reader& r;
        ~Detach() { r.in = nullptr; }  // the stream belongs to the caller
    } detach{r};
    if (!r.gif) return 0;
    FrameData fd;
    if (!NextDescriptor(r, &fd)) return 0;
    int64_t w = r.gif->SWidth, h = r.gif->SHeight;
    if (w <= 0 || h <= 0) {
        w = int64_t(fd.frame.Left) + fd.frame.Width;
        h = int64_t(fd.frame.Top) + fd.frame.Height;
    }
    // Adam7-like passes cover the whole frame each, so only a frame stored
    // row by row streams.
    const unsigned factor =
        bitCount == 24 && !fd.frame.Interlace ? pmio::StreamFactor(request, uint32_t(w), uint32_t(h)) : 1;
    if (factor > 1) return StreamFirstFrame(r, fd, uint32_t(w), uint32_t(h), factor, request, out) ? fd.mapBits : 0;
    DibHolder frame;
    if (!DecodeImage(r, fd, &frame)) return 0;
    const DibHeader* fh = frame.header;
    const int dibBits = bitCount == 24 ? 24 : fh->biBitCount;
    if (!pmio::NewDib(w, h, dibBits, out)) return 0;
    const RgbQuad* ftab = pmio::Table(fh);
    if (dibBits <= 8) {
        std::memcpy(pmio::Table(out->header), ftab, sizeof(RgbQuad) * pmio::TableCount(fh));
        int fill = fd.transparent >= 0 ? fd.transparent : r.gif->SColorMap ? r.gif->SBackGroundColor : 0;
        if (fill >= (1 << dibBits)) fill = 0;
        // A tiny file may declare a screen of 100 megapixels; it is filled
        // a row of bytes at a time.
        const uint8_t pattern = uint8_t(dibBits == 1 ? (fill ? 0xFF : 0) : dibBits == 4 ? fill * 0x11 : fill);
        const size_t rowBytes = size_t(DibStride(uint64_t(w), uint32_t(dibBits)));
        for (int64_t y = 0; y < h; ++y) std::memset(pmio::TopRow(out->header, out->bits, y), pattern, rowBytes);
    } else {
        for (int64_t y = 0; y < h; ++y) std::memset(pmio::TopRow(out->header, out->bits, y), 255, size_t(w) * 3);
    }
    for (int fy = 0; fy < fd.frame.Height; ++fy) {
        int64_t y = int64_t(fd.frame.Top) + fy;
        if (y >= h) break;
        const uint8_t* src = pmio::TopRow(fh, frame.bits, fy);
        uint8_t* dst = pmio::TopRow(out->header, out->bits, y);
        for (int fx = 0; fx < fd.frame.Width; ++fx) {
            int64_t x = int64_t(fd.frame.Left) + fx;
            if (x >= w) break;
            int i = pmio::IndexAt(src, fh->biBitCount, fx);
            if (i == fd.transparent) continue;
            if (dibBits <= 8) {
                pmio::SetIndex(dst, dibBits, x, i);
            } else {
                dst[x * 3] = ftab[i].blue;
                dst[x * 3 + 1] = ftab[i].green;
                dst[x * 3 + 2] = ftab[i].red;
            }
        }
    }
    if (info) {
        info->Gif.Interlace = int16_t(fd.frame.Interlace);
        info->Gif.TransparentIndex = int16_t(dibBits <= 8 ? fd.transparent : -1);
        info->Gif.BitDepth = uint16_t(fd.mapBits);
    }
    return fd.mapBits;
}

// --- writing ----------------------------------------------------------------

struct Writer {
    PmFileHandle file = nullptr;
    OutStream* out = nullptr;
    GifFileType* gif = nullptr;
    // A writer left behind by a failed animation may outlive its file, so
    // it is dropped without another byte written.
    ~Writer() { Abandon(); }
    void Abandon() {
        if (gif) {
            gif->UserData = nullptr;  // WriteFn then writes nothing
            int err;
            EGifCloseFile(gif, &err);
        }
        delete out;
        out = nullptr;
        gif = nullptr;
        file = nullptr;
    }
    // Ends the file (giflib writes the trailer on close). 1 when `ok` and
    // every write succeeded, -1 after a failed system call, else 0.
    int Finish(bool ok) {
        if (gif) {
            int err;
            ok = EGifCloseFile(gif, &err) == GIF_OK && ok;
            gif = nullptr;
        }
        if (out) ok = out->Flush() && ok;
        int r = ok ? 1 : out ? out->Result(0) : 0;
        delete out;
        out = nullptr;
        file = nullptr;
        return r;
    }
    int Failure() const { return out ? out->Result(0) : 0; }
};

thread_local Writer t_writer;

ColorMapObject* MakeMap(const RgbQuad* table, int count, int minBits) {
    int bits = BitsFor(count);
    if (bits < minBits) bits = minBits;
    if (bits > 8) bits = 8;
    GifColorType colors[256] = {};
    for (int i = 0; i < count && i < 256; ++i) colors[i] = GifColorType{table[i].red, table[i].green, table[i].blue};
    return GifMakeMapObject(1 << bits, colors);
}

int HighestIndex(const DibHeader* h, const uint8_t* bits) {
    int top = 0;
    if (h->biBitCount > 8) return 255;
    for (int64_t y = 0; y < pmio::DibRows(h); ++y) {
        const uint8_t* row = pmio::TopRow(h, bits, y);
        for (int64_t x = 0; x < h->biWidth; ++x) {
            int i = pmio::IndexAt(row, h->biBitCount, x);
            if (i > top) top = i;
        }
    }
    return top;
}

bool PutControl(GifFileType* gif, int transparent, const GifFrameControl& c) {
    if (transparent < 0 && c.DelayTime == 0 && c.Disposal == 0 && c.UserInput == 0) return true;
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = c.Disposal >= 0 && c.Disposal <= 3 ? c.Disposal : 0;
    gcb.UserInputFlag = c.UserInput != 0;
    gcb.DelayTime = c.DelayTime < 0 ? 0 : c.DelayTime > 65535 ? 65535 : c.DelayTime;
    gcb.TransparentColor = transparent >= 0 && transparent < 256 ? transparent : NO_TRANSPARENT_COLOR;
    GifByteType ext[4];
    size_t len = EGifGCBToExtension(&gcb, ext);
    return EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(len), ext) == GIF_OK;
}

// Writes one image of palette pixels. `localMap` may be null (the global
// table applies).
bool PutImage(GifFileType* gif, int left, int top, bool interlace, ColorMapObject* localMap, const DibHeader* h,
              const uint8_t* bits) {
    const int w = h->biWidth, rows = int(pmio::DibRows(h));
    if (w > 65535 || rows > 65535) return false;
    left = left < 0 ? 0 : left > 65535 - w ? 65535 - w : left;
    top = top < 0 ? 0 : top > 65535 - rows ? 65535 - rows : top;
    // giflib keeps a copy of the last local table and forgets it unfreed
    // when the next image has none.
    if (!localMap && gif->Image.ColorMap) {
        GifFreeMapObject(gif->Image.ColorMap);
        gif->Image.ColorMap = nullptr;
    }
    if (EGifPutImageDesc(gif, left, top, w, rows, interlace, localMap) == GIF_ERROR) return false;
    auto* line = static_cast<GifPixelType*>(PmHeap_Alloc(size_t(w)));
    if (!line) return false;
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    bool ok = true;
    for (int pass = 0; pass < (interlace ? 4 : 1) && ok; ++pass)
        for (int y = interlace ? kStart[pass] : 0; y < rows && ok; y += interlace ? kStep[pass] : 1) {
            const uint8_t* row = pmio::TopRow(h, bits, y);
            for (int x = 0; x < w; ++x) line[x] = GifPixelType(pmio::IndexAt(row, h->biBitCount, x));
            ok = EGifPutLine(gif, line, w) == GIF_OK;
        }
    PmHeap_Free(line);
    return ok;
}

bool OpenWriter(Writer& w, PmFileHandle file) {
    w.Abandon();
    w.out = new (std::nothrow) OutStream(file);
    if (!w.out || !w.out->ok()) return false;
    int err = 0;
    w.gif = EGifOpen(w.out, WriteFn, &err);
    w.file = file;
    return w.gif != nullptr;
}

bool PutScreen(GifFileType* gif, const GifScreen* s, int width, int height, const DibHeader* fallback) {
    ColorMapObject* map = nullptr;
    if (s->GlobalTableCount > 0)
        map = MakeMap(s->GlobalTable, s->GlobalTableCount > 256 ? 256 : s->GlobalTableCount, 1);
    else if (fallback)
        map = MakeMap(pmio::Table(fallback), pmio::TableCount(fallback), 1);
    int res = s->ColorResolution < 1 ? 8 : s->ColorResolution > 8 ? 8 : s->ColorResolution;
    int bg = s->BackgroundIndex >= 0 && s->BackgroundIndex < 256 ? s->BackgroundIndex : 0;
    bool ok = (s->GlobalTableCount <= 0 && !fallback) || map;
    ok = ok && EGifPutScreenDesc(gif, width, height, res, bg, map) == GIF_OK;
    GifFreeMapObject(map);
    return ok;
}

int WriteFrameImpl(Writer& w, const GifScreen* screen, int transparent, const GifFrame* frame, const DibPair* image) {
    const DibHeader* h = image->header;
    if (!pmio::UsableDib(h, image->bits) || h->biBitCount > 8) return 0;
    if (!PutControl(w.gif, transparent, t_control)) return 0;
    ColorMapObject* local = nullptr;
    int needBits = BitsFor(HighestIndex(h, image->bits) + 1);
    if (frame->LocalTableCount > 0 || !w.gif->SColorMap) {
        int count = pmio::TableCount(h);
        int bits = frame->LocalTableBits > 0 ? frame->LocalTableBits : BitsFor(count);
        if (bits < needBits) bits = needBits;
        local = MakeMap(pmio::Table(h), count, bits);
        if (!local) return 0;
    }
    bool ok = PutImage(w.gif, frame->Left, frame->Top, frame->Interlace != 0, local, h, image->bits);
    GifFreeMapObject(local);
    return ok ? 1 : 0;
}

// --- canvas -----------------------------------------------------------------

// Disposal left pending by the last frame drawn on a canvas.
struct CanvasState {
    const uint8_t* canvas = nullptr;
    int disposal = 0;
    int left = 0, top = 0, width = 0, height = 0;
    uint8_t* saved = nullptr;  // what the frame covered, for method 3
    ~CanvasState() { PmHeap_Free(saved); }
};
thread_local CanvasState t_canvas;

// Clips a rectangle to the canvas; false when nothing is left.
bool Clip(const DibHeader* c, int64_t* l, int64_t* t, int64_t* r, int64_t* b) {
    if (*l < 0) *l = 0;
    if (*t < 0) *t = 0;
    if (*r > c->biWidth) *r = c->biWidth;
    if (*b > pmio::DibRows(c)) *b = pmio::DibRows(c);
    return *l < *r && *t < *b;
}

}  // namespace

// --- the DibIO side -----------------------------------------------------------

namespace pmio {

int GifRead(InStream& in, DibIOOptions* info, DibHolder* out) { return ReadStill(in, 8, info, out); }

// giflib's quantizer keeps the axis it sorts along in a static variable
// between its qsort calls: two images quantized at once would sort by each
// other's axis and come out with their palettes in another order.
namespace {
std::mutex g_quantizeLock;

bool QuantizeAlone(unsigned w, unsigned rows, int* size, uint8_t* r, uint8_t* g, uint8_t* b, uint8_t* idx,
                   GifColorType* colors) {
    std::lock_guard<std::mutex> lock(g_quantizeLock);
    return GifQuantizeBuffer(w, rows, size, r, g, b, idx, colors) == GIF_OK;
}
}  // namespace

int GifWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits) {
    DibHolder quantized;
    int transparent = opt.Gif.TransparentIndex >= 0 ? opt.Gif.TransparentIndex : MarkedTransparent(h);
    if (h->biBitCount > 8) {
        // Full-colour images get an adaptive 256-colour table.
        const int64_t w = h->biWidth, rows = DibRows(h);
        const size_t n = size_t(w) * size_t(rows);
        auto* planes = static_cast<uint8_t*>(PmHeap_Alloc(n * 4));
        if (!planes || !NewDib(w, rows, 8, &quantized)) {
            PmHeap_Free(planes);
            return 0;
        }
        uint8_t *r = planes, *g = planes + n, *b = planes + 2 * n, *idx = planes + 3 * n;
        auto* bgr = static_cast<uint8_t*>(PmHeap_Alloc(size_t(w) * 3));
        for (int64_t y = 0; bgr && y < rows; ++y) {
            RowToBgr(h, TopRow(h, bits, y), bgr);
            for (int64_t x = 0; x < w; ++x) {
                size_t k = size_t(y) * size_t(w) + size_t(x);
                b[k] = bgr[x * 3];
                g[k] = bgr[x * 3 + 1];
                r[k] = bgr[x * 3 + 2];
            }
        }
        GifColorType colors[256] = {};
        int size = 256;
        bool ok = bgr && QuantizeAlone(unsigned(w), unsigned(rows), &size, r, g, b, idx, colors);
        PmHeap_Free(bgr);
        if (ok) {
            RgbQuad* t = Table(quantized.header);
            for (int i = 0; i < size && i < 256; ++i) t[i] = RgbQuad{colors[i].Blue, colors[i].Green, colors[i].Red, 0};
            for (int64_t y = 0; y < rows; ++y)
                std::memcpy(TopRow(quantized.header, quantized.bits, y), idx + size_t(y) * size_t(w), size_t(w));
        }
        PmHeap_Free(planes);
        if (!ok) return 0;
        h = quantized.header;
        bits = quantized.bits;
        transparent = -1;
    }
    int needBits = BitsFor(HighestIndex(h, bits) + 1);
    if (transparent >= 0) {
        int tb = BitsFor(transparent + 1);
        if (tb > needBits) needBits = tb;
    }
    // The depth asked for, but no table larger than the DIB's own.
    int bitsWanted = opt.Gif.BitDepth >= 1 && opt.Gif.BitDepth < h->biBitCount ? opt.Gif.BitDepth : h->biBitCount;
    if (bitsWanted < needBits) bitsWanted = needBits;
    ColorMapObject* map = MakeMap(Table(h), TableCount(h) < (1 << bitsWanted) ? TableCount(h) : 1 << bitsWanted,
                                  bitsWanted);
    if (!map) return 0;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, WriteFn, &err);
    bool ok = gif != nullptr;
    if (ok) {
        EGifSetGifVersion(gif, transparent >= 0);
        ok = EGifPutScreenDesc(gif, h->biWidth, int(DibRows(h)), bitsWanted, 0, map) == GIF_OK &&
             PutControl(gif, transparent, GifFrameControl{0, 0, 0}) &&
             PutImage(gif, 0, 0, opt.Gif.Interlace > 0, nullptr, h, bits);
        ok = EGifCloseFile(gif, &err) == GIF_OK && ok;
    }
    GifFreeMapObject(map);
    return ok && out.Flush() ? 1 : 0;
}

}  // namespace pmio

// --- PMGIFKIT ---------------------------------------------------------------

void GifKit_GetFrameControl(GifFrameControl* control) {
    if (control) *control = t_control;
}

void GifKit_SetFrameControl(const GifFrameControl* control) {
    t_control = control ? *control : GifFrameControl{};
}

int GifKit_CountFrames(PmFileHandle file) {
    if (!file) return 0;
    InStream in(file);
    if (!in.ok()) return in.Result(0);
    int err = 0;
    GifFileType* gif = DGifOpen(&in, ReadFn, &err);
    if (!gif) return in.Result(0);
    int frames = 0;
    for (bool done = false; !done;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;  // a cut-off tail ends the count
        switch (type) {
        case IMAGE_DESC_RECORD_TYPE: {
            if (DGifGetImageDesc(gif) == GIF_ERROR) {
                done = true;
                break;
            }
            int codeSize;
            GifByteType* block = nullptr;
            if (DGifGetCode(gif, &codeSize, &block) == GIF_ERROR) {
                done = true;
                break;
            }
            while (block)
                if (DGifGetCodeNext(gif, &block) == GIF_ERROR) {
                    done = true;
                    break;
                }
            // An image whose data is cut off still counts: its first rows
            // can be shown.
            if (++frames >= kMaxFrames) done = true;
            break;
        }
        case EXTENSION_RECORD_TYPE: {
            int code;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) {
                done = true;
                break;
            }
            while (ext)
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) {
                    done = true;
                    break;
                }
            break;
        }
        default: done = true;
        }
    }
    DGifCloseFile(gif, &err);
    if (in.SysFailed()) return in.Result(0);
    return frames;
}

int GifKit_ReadFirstFrame(int, PmFileHandle file, int, int, int, GifScreen* screen, uint32_t* animation,
                          int* transparentIndex, GifFrame* frame, DibPair* image) {
    return ReadFrame(true, file, screen, animation, transparentIndex, frame, image);
}

int GifKit_ReadNextFrame(int, PmFileHandle file, int, int, int, GifScreen*, int* transparentIndex,
                         GifFrame* frame, DibPair* image) {
    return ReadFrame(false, file, nullptr, nullptr, transparentIndex, frame, image);
}

int GifKit_ReadImage(int, PmFileHandle file, int, int bitCount, int, int, DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!file || !header || !bits) return 0;
    pmio::TakeTooLarge();
    InStream in(file);
    DibHolder dib;
    int depth = in.ok() ? ReadStill(in, bitCount == 24 ? 24 : 8, nullptr, &dib) : 0;
    if (depth <= 0) return pmio::TooLargeResult(in.Result(0));
    dib.Release(header, bits);
    return depth;
}

int GifKit_ReadImageRequested(PmFileHandle file, DibReadRequest* request, DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!file || !header || !bits) return 0;
    if (request && request->Size < sizeof(DibReadRequest)) request = nullptr;
    if (request) {
        request->FullSize = PmSize{0, 0};
        request->Reduction = 1;
        request->WholePicture = 0;
    }
    pmio::TakeTooLarge();
    InStream in(file);
    DibHolder dib;
    int depth = in.ok() ? ReadStill(in, 24, nullptr, &dib, request) : 0;
    if (depth <= 0 || !dib.header) return pmio::TooLargeResult(in.Result(0));
    if (request && request->Reduction <= 1)
        request->FullSize = PmSize{dib.header->biWidth, int32_t(pmio::DibRows(dib.header))};
    dib.Release(header, bits);
    return depth;
}

int GifKit_CreateCanvas(const GifScreen* screen, int bitCount, int, DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!screen || !header || !bits) return 0;
    DibHolder dib;
    if (!pmio::NewDib(screen->Width, screen->Height, bitCount == 24 ? 24 : 32, &dib)) return 0;
    if (bitCount == 24)
        for (int64_t y = 0; y < screen->Height; ++y) std::memset(pmio::TopRow(dib.header, dib.bits, y), 255, size_t(screen->Width) * 3);
    PmHeap_Free(t_canvas.saved);
    t_canvas = CanvasState{};
    t_canvas.canvas = dib.bits;
    dib.Release(header, bits);
    return 1;
}

int GifKit_DrawFrame(const GifFrame* frame, const DibHeader* h, const uint8_t* bits, DibHeader* ch,
                     uint8_t* cbits) {
    if (!frame || !pmio::UsableDib(h, bits) || !pmio::UsableDib(ch, cbits) || ch->biBitCount < 24) return 0;
    const int cpp = ch->biBitCount / 8;
    CanvasState& st = t_canvas;
    if (st.canvas != cbits) {
        PmHeap_Free(st.saved);
        st = CanvasState{};
        st.canvas = cbits;
    }
    // Dispose of the previous frame.
    if (st.disposal == 2 || (st.disposal == 3 && st.saved)) {
        int64_t l = st.left, t = st.top, r = int64_t(st.left) + st.width, b = int64_t(st.top) + st.height;
        if (Clip(ch, &l, &t, &r, &b)) {
            size_t rowBytes = size_t(r - l) * cpp;
            for (int64_t y = t; y < b; ++y) {
                uint8_t* dst = pmio::TopRow(ch, cbits, y) + l * cpp;
                if (st.disposal == 2)
                    std::memset(dst, cpp == 3 ? 255 : 0, rowBytes);
                else
                    std::memcpy(dst, st.saved + size_t(y - t) * rowBytes, rowBytes);
            }
        }
    }
    PmHeap_Free(st.saved);
    st.saved = nullptr;
    const int64_t fw = h->biWidth, fh = pmio::DibRows(h);
    int64_t l = frame->Left, t = frame->Top, r = l + fw, b = t + fh;
    st.disposal = t_control.Disposal;
    st.left = frame->Left;
    st.top = frame->Top;
    st.width = int(fw);
    st.height = int(fh);
    if (!Clip(ch, &l, &t, &r, &b)) return 1;  // wholly off the screen
    const size_t rowBytes = size_t(r - l) * cpp;
    if (st.disposal == 3) {
        st.saved = static_cast<uint8_t*>(PmHeap_Alloc(rowBytes * size_t(b - t)));
        if (!st.saved) return 0;
        for (int64_t y = t; y < b; ++y)
            std::memcpy(st.saved + size_t(y - t) * rowBytes, pmio::TopRow(ch, cbits, y) + l * cpp, rowBytes);
    }
    const RgbQuad* table = pmio::Table(h);
    const int entries = pmio::TableCount(h);
    for (int64_t y = t; y < b; ++y) {
        const uint8_t* src = pmio::TopRow(h, bits, y - frame->Top);
        uint8_t* dst = pmio::TopRow(ch, cbits, y);
        for (int64_t x = l; x < r; ++x) {
            int64_t fx = x - frame->Left;
            uint8_t px[4];
            if (h->biBitCount <= 8) {
                int i = pmio::IndexAt(src, h->biBitCount, fx);
                if (i >= entries || table[i].reserved == kTransparentMark) continue;
                px[0] = table[i].blue;
                px[1] = table[i].green;
                px[2] = table[i].red;
                px[3] = 255;
            } else if (h->biBitCount == 32) {
                if (src[fx * 4 + 3] == 0) continue;
                std::memcpy(px, src + fx * 4, 3);
                px[3] = 255;
            } else {
                std::memcpy(px, src + fx * 3, 3);
                px[3] = 255;
            }
            std::memcpy(dst + x * cpp, px, size_t(cpp));
        }
    }
    return 1;
}

int GifKit_CopyFrameFromCanvas(const GifFrame* frame, const DibHeader* ch, const uint8_t* cbits, int bitCount,
                               DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!frame || !header || !bits || !pmio::UsableDib(ch, cbits) || ch->biBitCount < 24) return 0;
    const int outBits = bitCount == 24 ? 24 : 32, opp = outBits / 8, cpp = ch->biBitCount / 8;
    DibHolder dib;
    if (!pmio::NewDib(frame->Width, frame->Height, outBits, &dib)) return 0;
    int64_t l = frame->Left, t = frame->Top, r = l + frame->Width, b = t + frame->Height;
    if (Clip(ch, &l, &t, &r, &b))
        for (int64_t y = t; y < b; ++y) {
            const uint8_t* src = pmio::TopRow(ch, cbits, y);
            uint8_t* dst = pmio::TopRow(dib.header, dib.bits, y - frame->Top);
            for (int64_t x = l; x < r; ++x) {
                uint8_t* d = dst + (x - frame->Left) * opp;
                std::memcpy(d, src + x * cpp, 3);
                if (opp == 4) d[3] = cpp == 4 ? src[x * 4 + 3] : 255;
            }
        }
    dib.Release(header, bits);
    return 1;
}

int GifKit_BuildColorTable(int colorBits, const DibHeader* header, int transparentIndex, ColorRef transparentColor,
                           RgbQuad* table256) {
    if (!table256) return 0;
    std::memset(table256, 0, sizeof(RgbQuad) * 256);
    if (!header || header->biBitCount > 8) return 0;
    int limit = colorBits < 1 ? 1 : colorBits > 8 ? 256 : 1 << colorBits;
    int n = pmio::TableCount(header);
    if (n > limit) n = limit;
    const RgbQuad* t = pmio::Table(header);
    for (int i = 0; i < n; ++i) table256[i] = RgbQuad{t[i].blue, t[i].green, t[i].red, 0};
    if (transparentIndex >= 0 && transparentIndex < n && transparentColor != kNoColor)
        table256[transparentIndex] =
            RgbQuad{ColorRefBlue(transparentColor), ColorRefGreen(transparentColor), ColorRefRed(transparentColor), 0};
    return n;
}

int GifKit_WriteSingleImage(int, PmFileHandle file, const GifScreen* screen, int transparentIndex,
                            const GifFrame* frame, const DibPair* image) {
    if (!file || !screen || !frame || !image || !pmio::UsableDib(image->header, image->bits)) return 0;
    Writer& w = t_writer;
    if (!OpenWriter(w, file)) {
        int r = w.Failure();
        w.Abandon();
        return r;
    }
    EGifSetGifVersion(w.gif, transparentIndex >= 0);
    const GifFrameControl keep = t_control;
    // A still image has no timing; only its transparency is written.
    t_control = GifFrameControl{};
    bool ok = PutScreen(w.gif, screen, screen->Width > 0 ? screen->Width : image->header->biWidth,
                        screen->Height > 0 ? screen->Height : int(pmio::DibRows(image->header)), image->header) &&
              WriteFrameImpl(w, screen, transparentIndex, frame, image) > 0;
    t_control = keep;
    if (!ok) {
        int r = w.Failure();
        w.Abandon();
        return r;
    }
    return w.Finish(true);
}

int GifKit_WriteHeader(int, PmFileHandle file, const GifScreen* screen, uint32_t animation) {
    if (!file || !screen) return 0;
    Writer& w = t_writer;
    if (!OpenWriter(w, file)) {
        int r = w.Failure();
        w.Abandon();
        return r;
    }
    EGifSetGifVersion(w.gif, true);
    bool ok = PutScreen(w.gif, screen, screen->Width, screen->Height, nullptr);
    if (ok && animation != kGifNoLoopExtension) {
        GifByteType loop[3] = {1, GifByteType(animation & 0xFF), GifByteType((animation >> 8) & 0xFF)};
        ok = EGifPutExtensionLeader(w.gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
             EGifPutExtensionBlock(w.gif, 11, "NETSCAPE2.0") == GIF_OK &&
             EGifPutExtensionBlock(w.gif, 3, loop) == GIF_OK && EGifPutExtensionTrailer(w.gif) == GIF_OK;
    }
    // Handed to the file at once: an animation that fails later keeps what
    // was written before, and a writer dropped unfinished loses nothing.
    ok = ok && w.out->Flush();
    return ok ? 1 : w.Failure();
}

int GifKit_WriteFrame(int, PmFileHandle file, const GifScreen* screen, int transparentIndex, const GifFrame* frame,
                      const DibPair* image) {
    Writer& w = t_writer;
    if (!file || !frame || !image || w.file != file || !w.gif) return 0;
    // Every whole frame goes to the file before the next is read (see
    // GifKit_WriteHeader).
    if (WriteFrameImpl(w, screen, transparentIndex, frame, image) > 0 && w.out->Flush()) return 1;
    return w.Failure();
}

int GifKit_WriteTrailer(int, PmFileHandle file) {
    Writer& w = t_writer;
    if (!file || w.file != file || !w.gif) return 0;
    return w.Finish(true);
}
