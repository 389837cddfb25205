#include "makerlibs/pmgifkit/gif_lzw.h"

#include <algorithm>
#include <cstring>

namespace pmgif {

namespace {
constexpr int kMaxCode = 4095;
// giflib stops counting codes here: a full table is kept as it is, and a
// clear is only taken when the data asks for one.
constexpr int kRunningCap = kMaxCode + 2;
constexpr int kMaxBits = 12;
// giflib's walk stops (and fails) once its stack holds this many bytes.
constexpr int kStackLimit = kMaxCode;
}  // namespace

bool LzwDecoder::Start(int minCodeSize, uint64_t pixels, LzwBlockFn next, void* ctx) {
    if (minCodeSize < 0 || minCodeSize > 8 || !next) return false;
    next_ = next;
    ctx_ = ctx;
    left_ = pixels;
    acc_ = 0;
    bits_in_ = 0;
    in_ = inEnd_ = nullptr;
    pendingAt_ = pendingEnd_ = 0;
    rootBits_ = minCodeSize;
    clear_ = 1 << minCodeSize;
    eoi_ = clear_ + 1;
    for (int c = 0; c < clear_; ++c) {
        std::memset(e_[c].tail, 0, 8);
        e_[c].tail[0] = uint8_t(c);
        e_[c].first = uint8_t(c);
        e_[c].len = 1;
        e_[c].skip = kNoSkip;
    }
    Clear();
    return true;
}

void LzwDecoder::Clear() {
    running_ = clear_ + 2;
    bits_ = rootBits_ + 1;
    maxCode1_ = 1 << bits_;
    nextFree_ = clear_ + 2;
    last_ = kNone;
    slow_ = false;
}

bool LzwDecoder::NextBlock() {
    const uint8_t* data = nullptr;
    const int n = next_(ctx_, &data);
    // An empty block before the last pixel is damage, as is a short file.
    if (n <= 0 || !data) return false;
    in_ = data;
    inEnd_ = data + n;
    return true;
}

// Bytes of a tail past its string are zero, so a byte is added by OR.
inline void LzwDecoder::AddEntry(int e, int last, uint8_t byte) {
    const Entry& l = e_[last];
    const unsigned n = l.len;
    uint64_t tail = byte;
    uint16_t skip = uint16_t(last);
    if (n & 7) {
        std::memcpy(&tail, l.tail, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        tail |= uint64_t(byte) << (56 - 8 * (n & 7));
#else
        tail |= uint64_t(byte) << (8 * (n & 7));
#endif
        skip = l.skip;
    }
    Entry& d = e_[e];
    std::memcpy(d.tail, &tail, 8);
    d.skip = skip;
    d.len = uint16_t(n + 1);
    d.prefix = uint16_t(last);
    d.first = l.first;
    d.suffix = byte;
}

// Writes up to 7 bytes past the string's end.
inline void LzwDecoder::Emit(int code, uint8_t* dst) const {
    uint8_t* p = dst + ((e_[code].len - 1u) & ~7u);
    std::memcpy(p, e_[code].tail, 8);
    for (unsigned s = e_[code].skip; s != kNoSkip; s = e_[s].skip) {
        p -= 8;
        std::memcpy(p, e_[s].tail, 8);
    }
}

int LzwDecoder::PrefixChar(int code) const {
    int i = 0;
    while (code > clear_ && i++ <= kMaxCode) {
        if (code > kMaxCode) return kNone;
        code = e_[code].prefix;
    }
    return code;
}

// Reached only on damaged data: a code past the table after another code.
// giflib then yields the previous string plus a byte from a failed walk,
// and later entries may lean on codes that were not defined when named;
// its own table walk, repeated here step for step, decides what comes out.
int LzwDecoder::SlowStep(int code, uint8_t* dst) {
    if (code == eoi_) return -1;
    if (code == clear_) {
        Clear();
        return 0;
    }
    const int e = running_ - 2;
    int n = 0;
    if (code < clear_) {
        dst[0] = uint8_t(code);
        n = 1;
    } else {
        int sp = 0, crnt;
        if (e_[code].prefix == kNone) {
            crnt = last_;
            stack_[sp++] = e_[e].suffix = uint8_t(PrefixChar(code == e ? last_ : code));
        } else {
            crnt = code;
        }
        while (sp < kStackLimit && crnt > clear_ && crnt <= kMaxCode) {
            stack_[sp++] = e_[crnt].suffix;
            crnt = e_[crnt].prefix;
        }
        if (sp >= kStackLimit || crnt > kMaxCode) return -1;
        stack_[sp++] = uint8_t(crnt);
        for (int j = 0; j < sp; ++j) dst[j] = stack_[sp - 1 - j];
        n = sp;
    }
    if (last_ != kNone && e <= kMaxCode && e_[e].prefix == kNone) {
        e_[e].prefix = uint16_t(last_);
        e_[e].suffix = uint8_t(PrefixChar(code == e ? last_ : code));
    }
    last_ = code;
    return n;
}

bool LzwDecoder::Read(uint8_t* out, size_t n) {
    if (n > left_) return false;
    size_t i = std::min(n, pendingEnd_ - pendingAt_);
    std::memcpy(out, pending_ + pendingAt_, i);
    pendingAt_ += i;
    // The state lives in locals while the loop runs: stores to `out` could
    // otherwise alias every member and force it back to memory each code.
    uint64_t acc = acc_;
    int have = bits_in_, running = running_, bits = bits_, max1 = maxCode1_, nextFree = nextFree_, last = last_;
    const uint8_t* in = in_;
    const uint8_t* inEnd = inEnd_;
    bool slow = slow_, ok = true;
    const int clear = clear_, eoi = eoi_;
    auto save = [&] {
        acc_ = acc;
        bits_in_ = have;
        in_ = in;
        inEnd_ = inEnd;
        running_ = running;
        bits_ = bits;
        maxCode1_ = max1;
        nextFree_ = nextFree;
        last_ = last;
        slow_ = slow;
    };
    while (i < n) {
        while (have < bits) {
            if (in == inEnd) {
                if (!NextBlock()) {
                    ok = false;
                    break;
                }
                in = in_;
                inEnd = inEnd_;
            }
            if (inEnd - in >= 8) {
                // Eight bytes at once; the ones only partly taken are ORed
                // in again, unchanged, by the next refill.
                uint64_t v;
                std::memcpy(&v, in, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                v = __builtin_bswap64(v);
#endif
                acc |= v << have;
                const int take = (63 - have) >> 3;
                in += take;
                have += take * 8;
            } else {
                acc |= uint64_t(*in++) << have;
                have += 8;
            }
        }
        if (!ok) break;
        const int c = int(acc & ((1u << bits) - 1));
        acc >>= bits;
        have -= bits;
        // Widths grow as giflib grows them, counting every code read.
        if (running < kRunningCap && ++running > max1 && bits < kMaxBits) {
            max1 <<= 1;
            ++bits;
        }
        if (!slow) {
            // Roots are entries of one byte, so a pixel takes the same path
            // as a string and the branch below stays predictable.
            if (unsigned(c - clear) < 2u) {
                if (c == eoi) {  // the data ends before the image does
                    ok = false;
                    break;
                }
                running = clear + 2;
                bits = rootBits_ + 1;
                max1 = 1 << bits;
                nextFree = clear + 2;
                last = kNone;
                continue;
            }
            if (c < nextFree) {
                if (last != kNone && nextFree <= kMaxCode) AddEntry(nextFree++, last, e_[c].first);
            } else if (c == nextFree && last != kNone) {
                AddEntry(nextFree++, last, e_[last].first);  // the code that names itself
            } else if (last == kNone) {
                ok = false;
                break;
            } else {
                for (int k = nextFree; k <= kMaxCode; ++k) e_[k].prefix = kNone;
                slow = true;
            }
            if (!slow) {
                last = c;
                const size_t len = e_[c].len;
                if (n - i >= len + 8) {
                    Emit(c, out + i);
                    i += len;
                    continue;
                }
                Emit(c, pending_);
                const size_t take = std::min(len, n - i);
                std::memcpy(out + i, pending_, take);
                i += take;
                pendingAt_ = take;
                pendingEnd_ = len;
                continue;
            }
        }
        save();
        const int len = SlowStep(c, pending_);
        running = running_;
        bits = bits_;
        max1 = maxCode1_;
        nextFree = nextFree_;
        last = last_;
        slow = slow_;
        if (len < 0) {
            ok = false;
            break;
        }
        const size_t take = std::min(size_t(len), n - i);
        std::memcpy(out + i, pending_, take);
        i += take;
        pendingAt_ = take;
        pendingEnd_ = size_t(len);
    }
    save();
    if (!ok) return false;
    left_ -= n;
    return left_ > 0 || Finish();
}

// Skips what follows the last pixel, up to the empty block, as giflib
// does; a file cut off there fails as it fails in giflib.
bool LzwDecoder::Finish() {
    pendingAt_ = pendingEnd_ = 0;
    const uint8_t* data = nullptr;
    int r;
    while ((r = next_(ctx_, &data)) > 0) {
    }
    return r == 0;
}

}  // namespace pmgif
