#include "makerlibs/pmdibio/dibio_stream.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmheap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace pmio {

namespace {
constexpr size_t kBuf = 64 * 1024;
}

InStream::InStream(PmFileHandle file, int64_t start)
    : file_(file), buf_(static_cast<uint8_t*>(PmHeap_Alloc(kBuf))), bufPos_(uint64_t(start)) {
    if (!file_ || !buf_ || PmFile_Seek(file_, start, 0) < 0) {
        sysFailed_ = file_ && buf_;
        sysError_ = PmFile_LastError();
    }
}

InStream::~InStream() { PmHeap_Free(buf_); }

bool InStream::Fill() {
    if (!ok()) return false;
    bufPos_ += len_;
    pos_ = len_ = 0;
    int64_t got = PmFile_Read(file_, buf_, kBuf);
    if (got < 0) {
        sysFailed_ = true;
        sysError_ = PmFile_LastError();
        return false;
    }
    len_ = size_t(got);
    return len_ > 0;
}

size_t InStream::Read(void* dst, size_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n) {
        if (pos_ == len_ && !Fill()) break;
        size_t take = len_ - pos_ < n - done ? len_ - pos_ : n - done;
        std::memcpy(out + done, buf_ + pos_, take);
        pos_ += take;
        done += take;
    }
    return done;
}

bool InStream::Seek(uint64_t pos) {
    if (!ok()) return false;
    if (pos >= bufPos_ && pos <= bufPos_ + len_) {
        pos_ = size_t(pos - bufPos_);
        return true;
    }
    if (PmFile_Seek(file_, int64_t(pos), 0) < 0) {
        sysFailed_ = true;
        sysError_ = PmFile_LastError();
        return false;
    }
    bufPos_ = pos;
    pos_ = len_ = 0;
    return true;
}

bool InStream::Skip(uint64_t n) { return Seek(Tell() + n); }

int64_t InStream::Size() {
    if (size_ == -2) {
        size_ = PmFile_Size(file_);
        // PmFile_Size may leave the file position anywhere; the next read
        // must come from where the buffer ends.
        if (PmFile_Seek(file_, int64_t(bufPos_ + len_), 0) < 0) {
            sysFailed_ = true;
            sysError_ = PmFile_LastError();
        }
    }
    return size_;
}

int InStream::Result(int fallback) const {
    if (sysFailed_) {
        PmFile_SetLastError(sysError_);
        return -1;
    }
    return fallback;
}

namespace {

// Blocks kept between files, one for each file read at once (a run may
// read several on its threads; with one slot all but one thread got fresh
// pages, which cost more to fill than the read itself under Wine). What is
// kept stays under one cap: holding tens of megabytes for odd files is
// worse than a fresh block.
constexpr size_t kKeptBytesCap = 32u * 1024 * 1024;
constexpr int kKeptSlots = 8;

struct KeptBlock {
    uint8_t* data;
    size_t capacity;
};
// A lock, taken once per file: a scan of the slots must not read a block
// that another thread is taking and freeing.
std::mutex g_keptLock;
KeptBlock g_kept[kKeptSlots];  // data null: free
size_t g_keptBytes = 0;
std::atomic<unsigned long> g_freshBlocks{0};

// The kept block that fits `want` most closely. When none is large enough,
// none: the largest is freed instead, since the next files are likely as
// large, and a new block takes its place. (Freeing every smaller block met
// on the way, as this once did, had two threads reading files of mixed
// sizes free and fault in a fresh block for nearly every file.)
KeptBlock TakeKept(size_t want) {
    KeptBlock taken{nullptr, 0}, dropped{nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        int best = -1, largest = -1;
        for (int i = 0; i < kKeptSlots; ++i) {
            const KeptBlock& k = g_kept[i];
            if (!k.data) continue;
            if (k.capacity >= want && (best < 0 || k.capacity < g_kept[best].capacity)) best = i;
            if (largest < 0 || k.capacity > g_kept[largest].capacity) largest = i;
        }
        int from = best >= 0 ? best : largest;
        if (from >= 0) {
            (best >= 0 ? taken : dropped) = g_kept[from];
            g_keptBytes -= g_kept[from].capacity;
            g_kept[from] = KeptBlock{nullptr, 0};
        }
    }
    std::free(dropped.data);
    return taken;
}

// Keeps `data` for a later file when the cap and a free slot allow;
// frees it otherwise.
void GiveBack(uint8_t* data, size_t capacity) {
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        if (capacity <= kKeptBytesCap - g_keptBytes) {
            for (KeptBlock& k : g_kept) {
                if (k.data) continue;
                k = KeptBlock{data, capacity};
                g_keptBytes += capacity;
                return;
            }
        }
    }
    std::free(data);
}

// Frees what is kept when the library is unloaded.
struct KeptBlockOwner {
    ~KeptBlockOwner() {
        for (KeptBlock& k : g_kept) std::free(k.data);
    }
} g_keptOwner;

}  // namespace

WholeFile::WholeFile(PmFileHandle file, uint64_t limit) {
    int64_t size = file ? PmFile_Size(file) : -1;
    if (size < 0 || PmFile_Seek(file, 0, 0) < 0) {
        sysFailed_ = file != nullptr;
        sysError_ = PmFile_LastError();
        return;
    }
    if (uint64_t(size) > limit || uint64_t(size) > SIZE_MAX - 1) return;
    size_t want = size_t(size) + 1;  // never zero bytes
    KeptBlock k = TakeKept(want);
    data_ = k.data;
    capacity_ = k.capacity;
    if (!data_) {
        // A little room over, so that the next file a little larger fits.
        size_t room = want <= SIZE_MAX - want / 4 ? want + want / 4 : want;
        data_ = static_cast<uint8_t*>(std::malloc(room));
        capacity_ = room;
        if (!data_) {
            data_ = static_cast<uint8_t*>(std::malloc(want));
            capacity_ = want;
        }
        if (!data_) return;
        g_freshBlocks.fetch_add(1, std::memory_order_relaxed);
        // Fresh pages are written to here, a byte a page, before the system
        // reads the file into them. Wine checks a read's buffer by reading
        // and writing back a byte of every page: a page read first is the
        // shared zero page, and the write that follows has to replace it,
        // which stops every other thread of the process to flush its
        // address cache (with several files read at once, a third of the
        // time went there). Written first, a page is simply made.
        for (size_t at = 0; at < capacity_; at += 4096) data_[at] = 0;
    }
    size_t done = 0;
    while (done < size_t(size)) {
        int64_t got = PmFile_Read(file, data_ + done, size_t(size) - done);
        if (got < 0) {
            sysFailed_ = true;
            sysError_ = PmFile_LastError();
            break;
        }
        if (got == 0) break;  // shrank while open: read what is there
        done += size_t(got);
    }
    size_ = done;
    if (sysFailed_) {
        std::free(data_);
        data_ = nullptr;
    }
}

unsigned long WholeFile_FreshBlocks() { return g_freshBlocks.load(std::memory_order_relaxed); }

WholeFile::~WholeFile() {
    if (data_) GiveBack(data_, capacity_);
}

int WholeFile::Result(int fallback) const {
    if (sysFailed_) {
        PmFile_SetLastError(sysError_);
        return -1;
    }
    return fallback;
}

OutStream::OutStream(PmFileHandle file) : file_(file), buf_(static_cast<uint8_t*>(PmHeap_Alloc(kBuf))) {
    int64_t at = file_ ? PmFile_Seek(file_, 0, 1) : -1;
    if (at < 0) {
        sysFailed_ = file_ != nullptr;
        sysError_ = PmFile_LastError();
    } else {
        base_ = uint64_t(at);
    }
}

OutStream::~OutStream() { PmHeap_Free(buf_); }

bool OutStream::Flush() {
    if (!ok()) return false;
    if (len_ && PmFile_Write(file_, buf_, len_) < 0) {
        sysFailed_ = true;
        sysError_ = PmFile_LastError();
        return false;
    }
    written_ += len_;
    len_ = 0;
    return true;
}

bool OutStream::Write(const void* data, size_t n) {
    if (!ok()) return false;
    auto* p = static_cast<const uint8_t*>(data);
    while (n) {
        if (len_ == kBuf && !Flush()) return false;
        size_t take = kBuf - len_ < n ? kBuf - len_ : n;
        std::memcpy(buf_ + len_, p, take);
        len_ += take;
        p += take;
        n -= take;
    }
    return true;
}

bool OutStream::U16(uint16_t v) {
    uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
    return Write(b, 2);
}

bool OutStream::U32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return Write(b, 4);
}

bool OutStream::PatchU32(uint64_t pos, uint32_t v) {
    if (!Flush()) return false;
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    if (PmFile_Seek(file_, int64_t(base_ + pos), 0) < 0 || PmFile_Write(file_, b, 4) < 0 ||
        PmFile_Seek(file_, int64_t(base_ + written_), 0) < 0) {
        sysFailed_ = true;
        sysError_ = PmFile_LastError();
        return false;
    }
    return true;
}

int OutStream::Result(int fallback) const {
    if (sysFailed_) {
        PmFile_SetLastError(sysError_);
        return -1;
    }
    return fallback;
}

DibHolder::~DibHolder() { Reset(); }

void DibHolder::Reset() {
    DibCore_Free(header, bits);
    header = nullptr;
    bits = nullptr;
}

void DibHolder::Release(DibHeader** h, uint8_t** b) {
    *h = header;
    *b = bits;
    header = nullptr;
    bits = nullptr;
}

namespace {
thread_local bool t_tooLarge = false;
}  // namespace

void NoteTooLarge() { t_tooLarge = true; }

bool TakeTooLarge() {
    bool noted = t_tooLarge;
    t_tooLarge = false;
    return noted;
}

int TooLargeResult(int result) {
    if (!TakeTooLarge() || result < 0) return result;
    PmFile_SetLastError(PmFile_NoMemoryError());
    return -1;
}

bool NewDib(int64_t width, int64_t height, int bitCount, DibHolder* out) {
    out->Reset();
    size_t bytes = 0;
    if (width > 0 && height != 0 &&
        (width > INT32_MAX || height > INT32_MAX || !DibImageBytes(width, height, uint32_t(bitCount), &bytes))) {
        NoteTooLarge();
        return false;
    }
    if (width <= 0 || height == 0) return false;
    DibHeader t{};
    t.biSize = sizeof(DibHeader);
    t.biWidth = int32_t(width);
    t.biHeight = int32_t(height);
    t.biPlanes = 1;
    t.biBitCount = uint16_t(bitCount);
    t.biClrUsed = bitCount <= 8 ? (1u << bitCount) : 0;
    if (DibCore_Create(&t, 0, &out->header, &out->bits) != 0) return true;
    NoteTooLarge();
    return false;
}

int64_t DibRows(const DibHeader* h) { return h->biHeight < 0 ? -int64_t(h->biHeight) : h->biHeight; }

uint8_t* TopRow(DibHeader* h, uint8_t* bits, int64_t y) {
    uint64_t stride = DibStride(uint64_t(h->biWidth), h->biBitCount);
    int64_t rows = DibRows(h);
    int64_t r = h->biHeight < 0 ? y : rows - 1 - y;
    return bits + uint64_t(r) * stride;
}

const uint8_t* TopRow(const DibHeader* h, const uint8_t* bits, int64_t y) {
    return TopRow(const_cast<DibHeader*>(h), const_cast<uint8_t*>(bits), y);
}

RgbQuad* Table(DibHeader* h) { return DibCore_GetColorTable(h, nullptr, nullptr); }
const RgbQuad* Table(const DibHeader* h) { return DibCore_GetColorTable(const_cast<DibHeader*>(h), nullptr, nullptr); }
int TableCount(const DibHeader* h) { return DibCore_ColorCount(h); }

void GreyRamp(DibHeader* h, int levels) {
    RgbQuad* t = Table(h);
    int n = TableCount(h);
    for (int i = 0; i < levels && i < n; ++i) {
        uint8_t v = uint8_t(levels > 1 ? i * 255 / (levels - 1) : 0);
        t[i] = RgbQuad{v, v, v, 0};
    }
}

bool UsableDib(const DibHeader* h, const uint8_t* bits) {
    if (!h || !bits || h->biSize < sizeof(DibHeader)) return false;
    uint16_t b = h->biBitCount;
    if (b != 1 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32) return false;
    if (h->biCompression != kBiRgb && !(h->biCompression == kBiBitfields && b >= 16)) return false;
    pmpix::Layout layout;
    if (!pmpix::LayoutOf(h, &layout)) return false;
    size_t bytes;
    return DibImageBytes(h->biWidth, h->biHeight, b, &bytes);
}

int MarkedTransparent(const DibHeader* h) { return DibCore_GetTransparentIndex(h); }

bool GreyTable(const DibHeader* h) {
    const RgbQuad* t = Table(h);
    int n = TableCount(h);
    if (!t) return false;
    for (int i = 0; i < n; ++i)
        if (t[i].red != t[i].green || t[i].green != t[i].blue) return false;
    return true;
}

void RowToBgr(const DibHeader* h, const uint8_t* row, uint8_t* out) {
    int64_t w = h->biWidth;
    switch (h->biBitCount) {
    case 24: std::memcpy(out, row, size_t(w) * 3); break;
    case 16:
    case 32: {
        pmpix::Layout l;
        // UsableDib refused masks that do not parse.
        if (!pmpix::LayoutOf(h, &l)) l = pmpix::Layout{};
        pmpix::TrueColourToBgr(row, int(w), h->biBitCount, l, out);
        break;
    }
    default: {
        const RgbQuad* t = Table(h);
        int n = TableCount(h);
        for (int64_t x = 0; x < w; ++x) {
            int i = IndexAt(row, h->biBitCount, x);
            RgbQuad q = i < n && t ? t[i] : RgbQuad{0, 0, 0, 0};
            out[x * 3] = q.blue;
            out[x * 3 + 1] = q.green;
            out[x * 3 + 2] = q.red;
        }
    }
    }
}

}  // namespace pmio
