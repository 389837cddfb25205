// LZW decoding of GIF image data, pulled a sub-block at a time and handed
// out a row (or any run of pixels) at a time. The pixels and the verdict on
// damaged data are giflib's: a file reads the same whichever decoder runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pmgif {

// Hands out the next sub-block of image data: its length (1..255) with
// *data pointing at its bytes, 0 at the empty block that ends the data, < 0
// when the file cannot be read.
using LzwBlockFn = int (*)(void* ctx, const uint8_t** data);

class LzwDecoder {
public:
    // `minCodeSize` is the byte stored before the data; giflib refuses more
    // than 8 and reads 0 and 1 as they come. `pixels` is the image's area.
    bool Start(int minCodeSize, uint64_t pixels, LzwBlockFn next, void* ctx);
    // The next `n` pixels. False on damaged or cut-off data. Once the last
    // pixel is out, the rest of the data is skipped, so the file reads on
    // from the next record.
    bool Read(uint8_t* out, size_t n);

private:
    static constexpr int kCodes = 4096;
    static constexpr uint16_t kNone = 4098;  // no code: giflib's marker
    static constexpr uint16_t kNoSkip = 0xFFFF;

    bool NextBlock();
    // giflib's handling of one code, its string written to `dst`. Returns
    // the string's length, 0 for a clear, -1 on damaged data.
    int SlowStep(int code, uint8_t* dst);
    int PrefixChar(int code) const;
    void AddEntry(int entry, int last, uint8_t byte);
    void Emit(int code, uint8_t* dst) const;
    void Clear();
    bool Finish();

    // Each entry is an earlier one plus a byte. Its last 1..8 bytes are
    // kept whole and `skip` names the entry holding the 8 before them, so a
    // string is written 8 bytes a turn from its end. `prefix` and `suffix`
    // are giflib's own view of the entry, which odd data can reach. One
    // entry fills 16 bytes, so a code touches one cache line.
    struct alignas(16) Entry {
        uint8_t tail[8];
        uint16_t skip, len, prefix;
        uint8_t first, suffix;
    };
    Entry e_[kCodes];
    // giflib's table walk pushes onto this.
    uint8_t stack_[kCodes];

    LzwBlockFn next_ = nullptr;
    void* ctx_ = nullptr;
    uint64_t left_ = 0;  // pixels still to hand out
    uint64_t acc_ = 0;
    int bits_in_ = 0;
    const uint8_t* in_ = nullptr;
    const uint8_t* inEnd_ = nullptr;

    int clear_ = 0, eoi_ = 0, rootBits_ = 0;
    int running_ = 0, bits_ = 0, maxCode1_ = 0;
    int nextFree_ = 0;
    int last_ = kNone;
    // Set once the data names a code past the table while another came
    // before it: giflib then reads on through its own table walk until the
    // next clear, and so does this decoder.
    bool slow_ = false;

    // Pixels of a string that ran past the last call's end.
    uint8_t pending_[kCodes + 16];
    size_t pendingAt_ = 0, pendingEnd_ = 0;
};

}  // namespace pmgif
