// Buffered reading and writing over a PmFileHandle for the codecs, and the
// small DIB helpers they share. Internal to the image file libraries.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmfile.h"
#include <cstddef>
#include <cstdint>

namespace pmio {

// Reads from a file through a 64 KB buffer. A failed system call is kept
// apart from the end of the file: the first is reported as < 0 by the
// codecs, with the platform's error code restored at the moment they return.
class InStream {
public:
    // Starts at `start` (the codecs read whole files from 0).
    explicit InStream(PmFileHandle file, int64_t start = 0);
    ~InStream();
    InStream(const InStream&) = delete;
    InStream& operator=(const InStream&) = delete;

    bool ok() const { return buf_ != nullptr && !sysFailed_; }
    // Bytes read, fewer at the end of the file or after a failure.
    size_t Read(void* dst, size_t n);
    bool ReadExact(void* dst, size_t n) { return Read(dst, n) == n; }
    bool Skip(uint64_t n);
    bool Seek(uint64_t pos);
    uint64_t Tell() const { return bufPos_ + pos_; }
    // File size in bytes, or -1.
    int64_t Size();
    bool SysFailed() const { return sysFailed_; }
    unsigned SysError() const { return sysError_; }
    // Gives a codec its result: `fallback` unless a system call failed,
    // then -1 with the error code set again (cleanup may have changed it).
    int Result(int fallback) const;

private:
    bool Fill();
    PmFileHandle file_;
    uint8_t* buf_;
    size_t len_ = 0, pos_ = 0;
    uint64_t bufPos_;  // file offset of buf_[0]
    int64_t size_ = -2;
    bool sysFailed_ = false;
    unsigned sysError_ = 0;
};

// A whole file read into one block. The block is handed back for the next
// file instead of being freed: under Wine a fresh large block comes as new
// pages that fault in one by one, which costs more per file than the read.
// Any number of threads may hold one at a time (each gets its own block).
class WholeFile {
public:
    // Reads the file from offset 0; files above `limit` bytes are not read
    // (ok() false, no system failure).
    WholeFile(PmFileHandle file, uint64_t limit);
    ~WholeFile();
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;

    bool ok() const { return data_ != nullptr; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool SysFailed() const { return sysFailed_; }
    int Result(int fallback) const;

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool sysFailed_ = false;
    unsigned sysError_ = 0;
};

// Blocks WholeFile took fresh from the heap since the program started
// (not handed back by an earlier file), for the tests.
unsigned long WholeFile_FreshBlocks();

// Writes to a file through a 64 KB buffer.
class OutStream {
public:
    explicit OutStream(PmFileHandle file);
    ~OutStream();
    OutStream(const OutStream&) = delete;
    OutStream& operator=(const OutStream&) = delete;

    bool Write(const void* data, size_t n);
    bool U8(uint8_t v) { return Write(&v, 1); }
    bool U16(uint16_t v);
    bool U32(uint32_t v);
    bool Flush();
    uint64_t Tell() const { return written_ + len_; }
    // Writes at an earlier position (after Flush) and returns to the end.
    bool PatchU32(uint64_t pos, uint32_t v);
    bool ok() const { return buf_ != nullptr && !sysFailed_; }
    bool SysFailed() const { return sysFailed_; }
    int Result(int fallback) const;

private:
    PmFileHandle file_;
    uint8_t* buf_;
    size_t len_ = 0;
    uint64_t written_ = 0;
    uint64_t base_ = 0;
    bool sysFailed_ = false;
    unsigned sysError_ = 0;
};

// A reader that refuses an image for its size (over the limits, or memory
// ran out) notes it here; the caller of the reader takes the note and
// reports the reason with the failure. One note per thread.
void NoteTooLarge();
// The note, cleared.
bool TakeTooLarge();
// A reader's failure result with the note taken: a failure without a
// system code becomes -1 with the no-memory code when the image was too
// large.
int TooLargeResult(int result);

// A DIB under construction, freed unless released.
struct DibHolder {
    DibHeader* header = nullptr;
    uint8_t* bits = nullptr;
    DibHolder() = default;
    DibHolder(const DibHolder&) = delete;
    DibHolder& operator=(const DibHolder&) = delete;
    ~DibHolder();
    void Reset();
    void Release(DibHeader** h, uint8_t** b);
};

// Creates a bottom-up DIB. Palette DIBs always get the full table of their
// depth (entries past what the file gave stay black), so that pixel indices
// a file leaves unchecked never reach outside the table. False on a size
// outside the limits or when memory runs out.
bool NewDib(int64_t width, int64_t height, int bitCount, DibHolder* out);
// Row y counted from the top of the image.
uint8_t* TopRow(DibHeader* h, uint8_t* bits, int64_t y);
const uint8_t* TopRow(const DibHeader* h, const uint8_t* bits, int64_t y);
RgbQuad* Table(DibHeader* h);
const RgbQuad* Table(const DibHeader* h);
int TableCount(const DibHeader* h);
// Fills the table with a grey ramp of `levels` entries (2, 4, 16, 256).
void GreyRamp(DibHeader* h, int levels);
// Pixel index x of a 1/4/8-bit row.
inline int IndexAt(const uint8_t* row, int bitCount, int64_t x) {
    switch (bitCount) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4);
    default: return row[x];
    }
}
inline void SetIndex(uint8_t* row, int bitCount, int64_t x, int v) {
    switch (bitCount) {
    case 1: {
        uint8_t m = uint8_t(0x80 >> (x & 7));
        row[x >> 3] = uint8_t(v & 1 ? row[x >> 3] | m : row[x >> 3] & ~m);
        break;
    }
    case 4:
        row[x >> 1] = (x & 1) ? uint8_t((row[x >> 1] & 0xF0) | (v & 15)) : uint8_t((row[x >> 1] & 0x0F) | (v << 4));
        break;
    default: row[x] = uint8_t(v);
    }
}
// True when the header describes a DIB the writers accept: positive width,
// non-zero height, within the limits, depth 1/4/8/16/24/32.
bool UsableDib(const DibHeader* h, const uint8_t* bits);
// Rows of a DIB, top first, whatever the sign of biHeight.
int64_t DibRows(const DibHeader* h);
// The entry marked transparent, or -1.
int MarkedTransparent(const DibHeader* h);
// True when every entry of the table is grey (red = green = blue).
bool GreyTable(const DibHeader* h);
// Expands a source row of any accepted depth to BGR (3 bytes a pixel).
void RowToBgr(const DibHeader* h, const uint8_t* row, uint8_t* out);

}  // namespace pmio
