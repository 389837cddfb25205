// The scan decoder of reduced JPEG reads. Most of a photo's coded data are
// AC terms that a 1/8 decode never looks at; here a run of them costs one
// lookup per few codes instead of a decode, an extension and a store each.
// The rules it must keep are libjpeg's: the same coefficients for every
// block the IDCT reads from, and the same end for every file that is not
// plainly sound, which it gets by giving such files back to libjpeg.
#include "makerlibs/pmdibio/dibio_jpegscan.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PM_HAS_ASAN 1
#endif
#endif
#ifndef PM_HAS_ASAN
#define PM_HAS_ASAN 0
#endif

namespace pmio {
namespace {

// libjpeg's interface to its entropy decoder (jpegint.h, which is not
// installed with the library); unchanged since libjpeg 6.
struct EntropyDecoder {
    void (*start_pass)(j_decompress_ptr);
    boolean (*decode_mcu)(j_decompress_ptr, JBLOCKROW*);
    boolean insufficient_data;
};

// Zig-zag position -> natural (row-major) position, and as libjpeg has it
// past the end: a run that overshoots the block lands on its last term.
constexpr uint8_t kNatural[64 + 16] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                       12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                       35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                       58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
                                       63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

// Bits looked at at once. Nearly every code of a photo's tables is shorter,
// most with their magnitude bits, and a skipped run of them often ends or
// pauses within the window.
constexpr int kPeek = 12;
constexpr uint32_t kPeekSize = 1u << kPeek;

// A code at the start of the window: bits 0-5 the bits it takes with its
// magnitude, 6-9 the zero run before it, 10-11 its kind, 12-15 the
// magnitude size of a kLong code, 16-31 the coefficient (or DC difference).
// A kLong entry with no bits stands for a code longer than the window.
// Here and in the lookups below the bits taken are the low six, which a
// shift of the bit word masks by itself: the decode's chain from one
// lookup to the next is a load and a shift, without a mask between.
enum Kind : uint32_t { kCoef = 0, kEnd = 1, kZeroRun = 2, kLong = 3 };
constexpr uint32_t kKindBits = 3u << 10;
constexpr uint32_t Entry(uint32_t used, uint32_t run, Kind kind, uint32_t size, int value) {
    return used | run << 6 | uint32_t(kind) << 10 | size << 12 | uint32_t(uint16_t(int16_t(value))) << 16;
}
constexpr int Used(uint32_t e) { return int(e & 63); }
constexpr int Run(uint32_t e) { return int(e >> 6 & 15); }
constexpr Kind KindOf(uint32_t e) { return Kind(e >> 10 & 3); }
constexpr int SizeOf(uint32_t e) { return int(e >> 12 & 15); }
constexpr int ValueOf(uint32_t e) { return int16_t(uint16_t(e >> 16)); }

// The whole codes at the start of the window when their terms are not
// wanted: bits 0-5 the bits they take, 6-15 the zig-zag positions they
// pass, plus kSkipEnds when the last of them ends the block; kSkipNone
// when not one fits.
constexpr uint32_t kSkipEnds = 128;
constexpr uint16_t kSkipNone = 0xFFC0;
constexpr uint16_t SkipEntry(uint32_t used, uint32_t passed, bool ends) {
    return uint16_t(used | (passed + (ends ? kSkipEnds : 0)) << 6);
}
constexpr int SkipUsed(uint32_t s) { return int(s & 63); }
// The positions passed, with kSkipEnds added when the block ends (and
// more than a block's for kSkipNone): a block whose position plus this
// reaches 64 ends or needs a closer look.
constexpr int SkipAdvance(uint32_t s) { return int(s >> 6); }

// Two coefficients at the start of the window: bits 0-5 the bits they take
// (0: not two small ones), 6-9 and 10-13 their zero runs, 14-22 and 23-31
// their values.
constexpr int kPairLimit = 256;
constexpr uint32_t PairEntry(int used, int run1, int run2, int value1, int value2) {
    return uint32_t(used) | uint32_t(run1) << 6 | uint32_t(run2) << 10 | (uint32_t(value1) & 511) << 14 |
           (uint32_t(value2) & 511) << 23;
}
constexpr int PairUsed(uint32_t e) { return int(e & 63); }
constexpr int PairRun1(uint32_t e) { return int(e >> 6 & 15); }
constexpr int PairRun2(uint32_t e) { return int(e >> 10 & 15); }
constexpr int PairValue1(uint32_t e) { return int32_t(e << 9) >> 23; }
constexpr int PairValue2(uint32_t e) { return int32_t(e) >> 23; }
static_assert(PairValue1(PairEntry(7, 3, 15, -256, 255)) == -256 && PairValue2(PairEntry(7, 3, 15, -256, 255)) == 255 &&
              PairRun1(PairEntry(7, 3, 15, 1, 1)) == 3 && PairRun2(PairEntry(7, 3, 15, 1, 1)) == 15 &&
              PairUsed(PairEntry(7, 3, 15, 1, 1)) == 7);
static_assert(SkipUsed(SkipEntry(12, 63, true)) == 12 && SkipAdvance(SkipEntry(12, 63, true)) == 63 + int(kSkipEnds));

// The magnitude bits `v` of size `s` as a signed value.
inline int Extend(uint32_t v, int s) { return s == 0 ? 0 : v < (1u << (s - 1)) ? int(v) - (1 << s) + 1 : int(v); }

struct Table {
    // Code lookup by length, as libjpeg does it, for codes past the window.
    int32_t maxCode[18];
    int32_t valOffset[18];
    uint8_t values[256];
    int count;
    uint32_t fast[kPeekSize];
    uint16_t skip[kPeekSize];  // AC tables only
    uint32_t pair[kPeekSize];  // AC tables only
};

// The symbol whose code starts `peek16` (the next 16 bits) and is longer
// than `shorter` bits; its length in *length. False for no code.
bool SlowSymbol(const Table& t, uint32_t peek16, int shorter, int* length, int* symbol) {
    for (int l = shorter + 1; l <= 16; ++l) {
        int32_t code = int32_t(peek16 >> (16 - l));
        if (code <= t.maxCode[l]) {
            int32_t at = code + t.valOffset[l];
            if (at < 0 || at >= t.count) return false;
            *length = l;
            *symbol = t.values[at];
            return true;
        }
    }
    return false;
}

// The lookup entry of a symbol with a code of `length` bits in the window
// `pattern`.
uint32_t EntryOf(bool dc, int symbol, int length, uint32_t pattern) {
    const int run = dc ? 0 : symbol >> 4, size = dc ? symbol : symbol & 15;
    // An end of block keeps its run: in progressive scans it counts the
    // bits of an end-of-band run that follow the code.
    if (!dc && size == 0) return Entry(uint32_t(length), uint32_t(run), run == 15 ? kZeroRun : kEnd, 0, 0);
    if (length + size > kPeek) return Entry(uint32_t(length), uint32_t(run), kLong, uint32_t(size), 0);
    uint32_t bits = size ? (pattern >> (kPeek - length - size)) & ((1u << size) - 1) : 0;
    return Entry(uint32_t(length + size), uint32_t(run), kCoef, 0, Extend(bits, size));
}

// `sequential`: also the lookups of skipped and paired codes, which only
// the sequential decoder uses.
bool BuildTable(const JHUFF_TBL* h, bool dc, bool sequential, Table* t) {
    int total = 0;
    for (int l = 1; l <= 16; ++l) total += h->bits[l];
    if (total > 256) return false;
    t->count = total;
    std::memcpy(t->values, h->huffval, sizeof t->values);
    if (dc)
        for (int i = 0; i < total; ++i)
            if (t->values[i] > 15) return false;
    for (uint32_t& e : t->fast) e = Entry(0, 0, kLong, 0, 0);
    int32_t code = 0;
    int p = 0;
    for (int l = 1; l <= 16; ++l) {
        t->valOffset[l] = p - code;
        for (int i = 0; i < h->bits[l]; ++i, ++p, ++code) {
            if (l > kPeek) continue;
            const uint32_t first = uint32_t(code) << (kPeek - l), n = 1u << (kPeek - l);
            for (uint32_t pattern = first; pattern < first + n && pattern < kPeekSize; ++pattern)
                t->fast[pattern] = EntryOf(dc, t->values[p], l, pattern);
        }
        t->maxCode[l] = h->bits[l] ? code - 1 : -1;
        if (code >= (1 << l)) return false;  // an all-ones code, or more codes than fit
        code <<= 1;
    }
    t->maxCode[17] = 0x7FFFFFFF;
    if (dc || !sequential) return true;
    // The codes a window holds, composed from the single lookups: a code
    // read from the window shifted by `used` bits is real when it takes no
    // more than the bits left in it.
    for (uint32_t pattern = 0; pattern < kPeekSize; ++pattern) {
        uint32_t used = 0, passed = 0;
        bool ends = false;
        while (used < uint32_t(kPeek)) {
            uint32_t e = t->fast[(pattern << used) & (kPeekSize - 1)];
            if (KindOf(e) == kLong || used + uint32_t(Used(e)) > uint32_t(kPeek)) break;
            if (KindOf(e) == kEnd) {
                used += uint32_t(Used(e));
                ends = true;
                break;
            }
            uint32_t step = KindOf(e) == kZeroRun ? 16 : uint32_t(Run(e)) + 1;
            if (passed + step > 64) break;
            passed += step;
            used += uint32_t(Used(e));
        }
        t->skip[pattern] = used == 0 ? kSkipNone : SkipEntry(used, passed, ends);
    }
    for (uint32_t pattern = 0; pattern < kPeekSize; ++pattern) {
        const uint32_t first = t->fast[pattern];
        uint32_t pair = 0;
        if (KindOf(first) == kCoef && ValueOf(first) >= -kPairLimit && ValueOf(first) < kPairLimit) {
            const uint32_t second = t->fast[(pattern << Used(first)) & (kPeekSize - 1)];
            const int used = Used(first) + Used(second);
            if (KindOf(second) == kCoef && used <= kPeek && ValueOf(second) >= -kPairLimit &&
                ValueOf(second) < kPairLimit)
                pair = PairEntry(used, Run(first), Run(second), ValueOf(first), ValueOf(second));
        }
        t->pair[pattern] = pair;
    }
    return true;
}

// Lookups of the sequential decoder, kept per thread by the table they were
// built from: most cameras write the same tables into every photo, and the
// lookups take longer to build than a copy takes.
struct BuiltTable {
    bool dc;
    uint8_t bits[17];
    uint8_t values[256];
    Table* table;
    ~BuiltTable() { delete table; }
};
constexpr int kBuiltKept = 8;
thread_local BuiltTable t_built[kBuiltKept];
thread_local int t_builtNext;

bool BuildSequentialTable(const JHUFF_TBL* h, bool dc, Table* t) {
    for (const BuiltTable& b : t_built) {
        if (b.table && b.dc == dc && std::memcmp(b.bits, h->bits, sizeof b.bits) == 0 &&
            std::memcmp(b.values, h->huffval, sizeof b.values) == 0) {
            *t = *b.table;
            return true;
        }
    }
    if (!BuildTable(h, dc, true, t)) return false;
    BuiltTable& slot = t_built[t_builtNext];
    t_builtNext = (t_builtNext + 1) % kBuiltKept;
    delete slot.table;
    slot.table = new (std::nothrow) Table(*t);
    slot.dc = dc;
    std::memcpy(slot.bits, h->bits, sizeof slot.bits);
    std::memcpy(slot.values, h->huffval, sizeof slot.values);
    return true;
}

// Bits of the coded data, first bit highest, with the byte stuffing taken
// out. Past a marker or the data's end it reads zeros and counts them: a
// decode that used any of them was not one libjpeg would make silently.
// The decoding loops work on a copy of their own that never leaves them,
// so that the compiler keeps it in registers.
// A register's width of bits: 64-bit shifts cost the 32-bit build more than
// the more frequent refills of a 32-bit word do.
using BitWord = std::conditional_t<(sizeof(void*) < 8), uint32_t, uint64_t>;
constexpr int kWordBits = int(sizeof(BitWord)) * 8;
// A refill leaves at least this many bits in hand: enough for any code
// with its magnitude but the longest, which refill between the two. It
// adds whole bytes while fewer than this are held, so never more than
// kWordBits - 1 are (see Bits).
constexpr int kRefilled = kWordBits - 8;
static_assert(kRefilled >= 16 && kRefilled >= kPeek);
// Lookups of a window each that one refill leaves bits for.
constexpr int kLookupsPerRefill = kRefilled / kPeek;

// What every step keeps (checked in debug and sanitizer builds):
//  - 0 <= count < kWordBits, so a refill's shift by `count` is defined and
//    the bytes it takes, (kWordBits - 1 - count) / 8, are never negative;
//  - after a refill count >= kRefilled;
//  - the bits below the `count` held are zero or those of the data that
//    follow (a word refill writes part of the next byte early), so a later
//    refill may OR the next bytes in at `count`;
//  - p only moves forward, never past `end`; phantom counts the zeros
//    made up past a marker or the end, and a decode that used any of them
//    (phantom > count) is given back.
struct Bits {
    BitWord bits;
    int count;            // bits held, zeros past the data included
    int phantom;          // zeros appended past the data
    bool atMarker;        // p is at a marker's 0xFF, or at the data's end
    const uint8_t* p;
    const uint8_t* end;

    inline void Refill();
    void Check([[maybe_unused]] const uint8_t* before) const {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || PM_HAS_ASAN
        if (count < kRefilled || count >= kWordBits || phantom < 0 || p < before || p > end) std::abort();
#endif
    }
    uint32_t Peek(int n) const { return uint32_t(bits >> (kWordBits - n)); }
    void Drop(int n) {
        bits <<= n;
        count -= n;
    }
    int Take(int n) {
        if (n == 0) return 0;
        uint32_t v = Peek(n);
        Drop(n);
        return Extend(v, n);
    }
};

// Byte by byte, near a 0xFF or the data's end.
[[gnu::noinline]] Bits RefillBytes(Bits b) {
    [[maybe_unused]] const uint8_t* before = b.p;
    while (b.count < kRefilled) {
        uint32_t byte = 0;
        bool real = false;
        if (!b.atMarker && b.p < b.end) {
            byte = *b.p;
            if (byte != 0xFF) {
                ++b.p;
                real = true;
            } else if (b.p + 1 < b.end && b.p[1] == 0) {
                b.p += 2;
                real = true;
            } else {
                // A marker, or fill bytes, which no encoder writes before a
                // stuffed zero: libjpeg-turbo's fast decoder takes them for
                // a marker and hands the MCU to its slow one, which decodes
                // it again over the terms the first left in the block. Only
                // libjpeg itself gives those pixels.
                b.atMarker = true;
            }
        }
        if (!real) {
            byte = 0;
            b.phantom += 8;
        }
        b.bits |= BitWord(byte) << (kWordBits - 8 - b.count);
        b.count += 8;
    }
    b.Check(before);
    return b;
}

// Leaves at least kRefilled bits in hand.
inline void Bits::Refill() {
    if (!atMarker && end - p >= int(sizeof(BitWord))) {
        BitWord w;
        std::memcpy(&w, p, sizeof w);
        // The data's first byte highest.
        if constexpr (sizeof w == 8) {
            w = BitWord(__builtin_bswap64(uint64_t(w)));
        } else {
            w = BitWord(__builtin_bswap32(uint32_t(w)));
        }
        // No 0xFF among the bytes taken and the one after them: they are all
        // data, so take as many whole bytes as fit; the bits below `count`
        // are those of the next byte, which the next refill writes again.
        // (A 0xFF further on, a stuffed byte's or a marker's, waits for a
        // later refill: about one window in thirty holds one.)
        constexpr BitWord kLow7 = BitWord(0x7F7F7F7F7F7F7F7Fu);
        const BitWord x = ~w;
        const BitWord ff = ~(((x & kLow7) + kLow7) | x | kLow7);  // the high bit of each 0xFF
        const int taken = (kWordBits - 1 - count) >> 3;
        if (ff == 0 || (__builtin_clzll(uint64_t(ff)) - (64 - kWordBits)) >> 3 > taken) {
            bits |= w >> count;
            p += taken;
            count |= kWordBits - 8;
            Check(p - taken);
            return;
        }
    }
    *this = RefillBytes(*this);
}

struct BlockPlan {
    const Table* dc;
    const Table* ac;
    uint8_t component;
    bool skip;  // the IDCT reads the DC term only
};

std::atomic<unsigned long> g_taken{0}, g_abandoned{0}, g_scans{0};
std::atomic<bool> g_allowed{true};

}  // namespace

struct JpegScan {
    // First, so that libjpeg's progress pointer leads back here: a
    // progressive read is taken before libjpeg's entropy decoder exists,
    // and the monitor it calls before every step of the input finds it.
    jpeg_progress_mgr progress;
    jpeg_progress_mgr* next;  // the caller's monitor
    void (*libjpegStartPass)(j_decompress_ptr);
    bool hooked;
    // The progressive scan being decoded: its band, the bit position
    // being coded, and the blocks still inside an end-of-band run.
    int ss, se, al;
    uint64_t band;
    unsigned eobRun;
    Bits in;
    BlockPlan plan[D_MAX_BLOCKS_IN_MCU];
    int blocks;
    int lastDc[MAX_COMPS_IN_SCAN];
    unsigned restartInterval, restartsToGo;
    int nextRestart;
    uint64_t mcusLeft;
    bool abandoned;
    Table* tables[2][NUM_HUFF_TBLS];  // DC, AC
};

static_assert(std::is_standard_layout_v<JpegScan>, "its progress record leads back to it");

namespace {

// At a restart the coded data must end within its last byte and the
// expected restart marker follow; a data source that would make libjpeg
// skip or resynchronise is left to it.
bool Restart(JpegScan* s) {
    Bits& b = s->in;
    if (b.phantom > b.count || b.count - b.phantom >= 8) return false;
    const uint8_t* q = b.p;
    if (q >= b.end || *q != 0xFF) return false;
    while (q < b.end && *q == 0xFF) ++q;
    if (q >= b.end || *q != 0xD0 + s->nextRestart) return false;
    b = Bits{0, 0, 0, false, q + 1, b.end};
    s->nextRestart = (s->nextRestart + 1) & 7;
    s->restartsToGo = s->restartInterval;
    for (int& dc : s->lastDc) dc = 0;
    s->eobRun = 0;
    return true;
}

// libjpeg reads ahead of the coded data until it meets a marker; with none
// before the data ends it warns of a truncated file, which fails the read.
bool MarkerAhead(const uint8_t* p, const uint8_t* end) {
    for (; p + 1 < end; ++p)
        if (p[0] == 0xFF && p[1] != 0 && p[1] != 0xFF) return true;
    return false;
}

// The symbol of a code longer than the window, as its entry would be in a
// wider window (kCoef with its value, kEnd or kZeroRun).
[[gnu::noinline]] bool SlowCode(Bits* io, const Table& t, bool dc, uint32_t* e) {
    Bits b = *io;
    if (b.count < 16) b.Refill();
    int length = 0, symbol = 0;
    if (!SlowSymbol(t, b.Peek(16), kPeek, &length, &symbol)) return false;
    b.Drop(length);
    const int run = dc ? 0 : symbol >> 4, size = dc ? symbol : symbol & 15;
    if (!dc && size == 0) {
        *e = Entry(0, uint32_t(run), run == 15 ? kZeroRun : kEnd, 0, 0);
    } else {
        if (b.count < 16) b.Refill();
        *e = Entry(0, uint32_t(run), kCoef, 0, b.Take(size));
    }
    *io = b;
    return true;
}

// A code the window did not settle, a kLong entry `e`: a code whose
// magnitude runs past the window, or a longer code.
inline bool LongCode(Bits& b, const Table& t, bool dc, uint32_t* e) {
    if (Used(*e) == 0) {
        Bits io = b;
        bool ok = SlowCode(&io, t, dc, e);
        b = io;
        return ok;
    }
    b.Drop(Used(*e));
    if (b.count < 16) b.Refill();
    *e = Entry(0, uint32_t(Run(*e)), kCoef, 0, b.Take(SizeOf(*e)));
    return true;
}

// The AC terms of a block whose IDCT reads none of them.
[[gnu::always_inline]] inline bool SkipBlock(Bits& b, const Table& t) {
    int k = 1;
    for (;;) {
        // A refill ahead of each group of lookups rather than a test before
        // each: whether a lookup finds the bits in hand follows the lengths
        // of the codes, which the branch predictor cannot foresee.
        b.Refill();
        uint32_t window = 0, skip = 0;
        int group = 0;
#pragma GCC unroll 4
        for (; group < kLookupsPerRefill; ++group) {
            window = b.Peek(kPeek);
            skip = t.skip[window];
            if (k + SkipAdvance(skip) >= 64) break;
            b.Drop(SkipUsed(skip));
            k += SkipAdvance(skip);
        }
        if (group == kLookupsPerRefill) continue;
        // Ending the block exactly, or with its end code while the block
        // was still open.
        const int next = k + SkipAdvance(skip);
        const int passed = SkipAdvance(skip);
        if (next == 64 || (passed >= int(kSkipEnds) && next - int(kSkipEnds) < 64)) {
            b.Drop(SkipUsed(skip));
            return true;
        }
        uint32_t e = t.fast[window];
        if (KindOf(e) == kLong) {
            if (!LongCode(b, t, false, &e)) return false;
        } else {
            b.Drop(Used(e));
        }
        if (KindOf(e) == kEnd) return true;
        // As libjpeg: a run may overshoot the block, which then ends.
        k += KindOf(e) == kZeroRun ? 16 : Run(e) + 1;
        if (k >= 64) return true;
    }
}

// The AC terms of a block whose IDCT reads some of them. All are stored
// where libjpeg stores them; those it does not read do no harm.
[[gnu::always_inline]] inline bool StoreBlock(Bits& b, const Table& t, JCOEF* out) {
    int k = 1;
    for (;;) {
        // As in SkipBlock: a refill per group of lookups. A code longer than
        // the window takes bits of its own and ends the group.
        b.Refill();
#pragma GCC unroll 4
        for (int group = 0; group < kLookupsPerRefill; ++group) {
            if (k >= 64) return true;
            const uint32_t window = b.Peek(kPeek);
            const uint32_t pair = t.pair[window];
            if (pair != 0) {
                // Both when the block goes on after the first.
                int first = k + PairRun1(pair);
                if (first < 63) {
                    b.Drop(PairUsed(pair));
                    out[kNatural[first]] = JCOEF(PairValue1(pair));
                    k = first + 1 + PairRun2(pair);
                    out[kNatural[k]] = JCOEF(PairValue2(pair));
                    ++k;
                    continue;
                }
            }
            uint32_t e = t.fast[window];
            if ((e & kKindBits) == 0) {
                b.Drop(Used(e));
                k += Run(e);
                out[kNatural[k]] = JCOEF(ValueOf(e));
                ++k;
                continue;
            }
            if (KindOf(e) == kLong) {
                if (!LongCode(b, t, false, &e)) return false;
            } else {
                b.Drop(Used(e));
            }
            if (KindOf(e) == kEnd) return true;
            if (KindOf(e) == kZeroRun) {
                k += 16;
            } else {
                k += Run(e);
                out[kNatural[k]] = JCOEF(ValueOf(e));
                ++k;
            }
            break;
        }
    }
}

// The lookups of Huffman table `slot` of `kind` (0 DC, 1 AC) as the scan
// codes with it now, kept in the scan's slot; null when there is no such
// table or it is not one the decoders take.
Table* TableFor(j_decompress_ptr c, JpegScan* s, int kind, int slot, bool sequential) {
    if (slot < 0 || slot >= NUM_HUFF_TBLS) return nullptr;
    const JHUFF_TBL* h = kind == 0 ? c->dc_huff_tbl_ptrs[slot] : c->ac_huff_tbl_ptrs[slot];
    if (!h) return nullptr;
    Table*& t = s->tables[kind][slot];
    if (!t) t = new (std::nothrow) Table;
    if (!t) return nullptr;
    const bool built = sequential ? BuildSequentialTable(h, kind == 0, t) : BuildTable(h, kind == 0, false, t);
    return built ? t : nullptr;
}

// Each block of the MCU with its component's tables (of the slots the scan
// codes with; the others may be anything) and, when `skipping`, whether
// its IDCT reads the DC term alone.
bool PlanBlocks(j_decompress_ptr c, JpegScan* s, bool skipping) {
    if (c->blocks_in_MCU < 1 || c->blocks_in_MCU > D_MAX_BLOCKS_IN_MCU) return false;
    auto table = [s](int kind, int slot) { return slot >= 0 && slot < NUM_HUFF_TBLS ? s->tables[kind][slot] : nullptr; };
    for (int i = 0; i < c->blocks_in_MCU; ++i) {
        const int ci = c->MCU_membership[i];
        if (ci < 0 || ci >= c->comps_in_scan) return false;
        const jpeg_component_info* comp = c->cur_comp_info[ci];
        s->plan[i] = BlockPlan{table(0, comp->dc_tbl_no), table(1, comp->ac_tbl_no), uint8_t(ci),
                               skipping && ScaledIdctSize(*comp) == 1};
    }
    s->blocks = c->blocks_in_MCU;
    return true;
}

// Gives the file back. Suspension as far as libjpeg knows: no rows come
// out, and the caller sees the read fail and starts over without us.
boolean Abandon(JpegScan* s) {
    s->abandoned = true;
    g_abandoned.fetch_add(1, std::memory_order_relaxed);
    return FALSE;
}

boolean DecodeMcu(j_decompress_ptr c, JBLOCKROW* blocks) {
    auto* s = static_cast<JpegScan*>(c->client_data);
    if (s->abandoned) return FALSE;
    if (s->restartInterval) {
        if (s->restartsToGo == 0 && !Restart(s)) return Abandon(s);
        --s->restartsToGo;
    }
    Bits b = s->in;
    for (int i = 0; i < s->blocks; ++i) {
        const BlockPlan& plan = s->plan[i];
        JCOEF* out = blocks[i][0];
        if (b.count < kPeek) b.Refill();
        uint32_t e = plan.dc->fast[b.Peek(kPeek)];
        if ((e & kKindBits) == 0) {
            b.Drop(Used(e));
        } else if (!LongCode(b, *plan.dc, true, &e)) {
            return Abandon(s);
        }
        // libjpeg adds in int and lets the sum wrap; so does this, in
        // unsigned arithmetic where wrapping is defined.
        int& dc = s->lastDc[plan.component];
        dc = int(uint32_t(dc) + uint32_t(ValueOf(e)));
        out[0] = JCOEF(int16_t(uint16_t(uint32_t(dc))));
        if (!(plan.skip ? SkipBlock(b, *plan.ac) : StoreBlock(b, *plan.ac, out))) return Abandon(s);
    }
    s->in = b;
    if (b.phantom > b.count) return Abandon(s);
    if (--s->mcusLeft == 0 && !MarkerAhead(b.p, b.end)) return Abandon(s);
    return TRUE;
}

// ---- Progressive scans ----------------------------------------------------
// A progressive file's scans each carry one band of terms, or one more bit
// of them, for the whole picture; at the scales of a thumbnail its AC
// refinements are most of the read. These decoders follow libjpeg's
// (jdphuff.c) term for term, so the coefficients are its own; anything a
// sound encoder never writes gives the file back to libjpeg.

// Zig-zag position of each natural position.
constexpr auto kZigzag = [] {
    std::array<uint8_t, 64> z{};
    for (int k = 0; k < 64; ++k) z[kNatural[k]] = uint8_t(k);
    return z;
}();

// The zig-zag bits of the non-zero terms of one natural row, by the row's
// mask of non-zero terms.
constexpr auto kRowToZigzag = [] {
    std::array<std::array<uint64_t, 256>, 8> t{};
    for (int row = 0; row < 8; ++row)
        for (int m = 0; m < 256; ++m)
            for (int col = 0; col < 8; ++col)
                if (m >> col & 1) t[row][m] |= uint64_t(1) << kZigzag[row * 8 + col];
    return t;
}();

constexpr uint64_t BitsFrom(int k) { return k >= 64 ? 0 : ~uint64_t(0) << k; }

// Bit k set for each non-zero term at zig-zag position k.
inline uint64_t NonZeroTerms(const JCOEF* block) {
    static_assert(sizeof(JCOEF) == 2);
    uint64_t natural = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int row = 0; row < 8; row += 2) {
        const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + row * 8)), zero);
        const __m128i b = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + row * 8 + 8)), zero);
        natural |= uint64_t(~uint32_t(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & 0xFFFF) << (row * 8);
    }
#else
    for (int i = 0; i < 64; ++i) natural |= uint64_t(block[i] != 0) << i;
#endif
    uint64_t zigzag = 0;
    for (int row = 0; row < 8; ++row) zigzag |= kRowToZigzag[size_t(row)][(natural >> (row * 8)) & 255];
    return zigzag;
}

// The correction bit of the non-zero term at zig-zag position `k`: a set
// bit adds the coded bit to its magnitude, unless this block's earlier
// codes already did. Without branches: the bits are as good as random.
[[gnu::always_inline]] inline void Correct(Bits& b, JCOEF* block, int k, int bit) {
    if (b.count == 0) b.Refill();
    JCOEF& t = block[kNatural[k]];
    const int v = t, sign = v >> 15;  // 0 or -1
    const int set = int(b.bits >> (kWordBits - 1)) & int((v & bit) == 0);
    t = JCOEF(v + (((bit ^ sign) - sign) & -set));
    b.Drop(1);
}

// The next code of an AC table, its entry as the window gives it.
inline bool NextCode(Bits& b, const Table& t, uint32_t* e) {
    if (b.count < kPeek) b.Refill();
    *e = t.fast[b.Peek(kPeek)];
    if (KindOf(*e) == kLong) return LongCode(b, t, false, e);
    b.Drop(Used(*e));
    return true;
}

// The length of an end-of-band run whose code `e` was just read.
inline unsigned EndRun(Bits& b, uint32_t e) {
    const int r = Run(e);
    unsigned run = 1u << r;
    if (r) {
        if (b.count < 16) b.Refill();
        run += b.Peek(r);
        b.Drop(r);
    }
    return run;
}

JpegScan* ScanOf(j_decompress_ptr c) { return reinterpret_cast<JpegScan*>(c->progress); }

// After the scan's last MCU: its data must end within the last byte read,
// before a marker, where libjpeg then goes on reading the file.
bool FinishScan(j_decompress_ptr c, JpegScan* s) {
    const Bits& b = s->in;
    if (b.phantom > b.count || b.count - b.phantom >= 8) return false;
    const uint8_t* q = b.p;
    if (q < b.end && (q[0] != 0xFF || (q + 1 < b.end && q[1] == 0))) return false;
    c->src->next_input_byte = q;
    c->src->bytes_in_buffer = size_t(b.end - q);
    return true;
}

// One MCU of a progressive scan: restarts, the scan's end, and the decode
// of its blocks by `body`, which works on a copy of the bits.
template <class Body>
[[gnu::always_inline]] inline boolean ProgressiveMcu(j_decompress_ptr c, Body body) {
    JpegScan* s = ScanOf(c);
    if (s->abandoned) return FALSE;
    if (s->restartInterval) {
        if (s->restartsToGo == 0 && !Restart(s)) return Abandon(s);
        --s->restartsToGo;
    }
    Bits b = s->in;
    if (!body(s, b)) return Abandon(s);
    s->in = b;
    if (b.phantom > b.count) return Abandon(s);
    if (--s->mcusLeft == 0 && !FinishScan(c, s)) return Abandon(s);
    return TRUE;
}

boolean DecodeDcFirst(j_decompress_ptr c, JBLOCKROW* blocks) {
    return ProgressiveMcu(c, [blocks](JpegScan* s, Bits& b) {
        for (int i = 0; i < s->blocks; ++i) {
            const BlockPlan& plan = s->plan[i];
            if (b.count < kPeek) b.Refill();
            uint32_t e = plan.dc->fast[b.Peek(kPeek)];
            if (KindOf(e) == kLong) {
                if (!LongCode(b, *plan.dc, true, &e)) return false;
            } else {
                b.Drop(Used(e));
            }
            // Far from where libjpeg's sum would overflow, which it refuses.
            const int dc = s->lastDc[plan.component] + ValueOf(e);
            if (dc > (1 << 24) || dc < -(1 << 24)) return false;
            s->lastDc[plan.component] = dc;
            blocks[i][0][0] = JCOEF(uint32_t(dc) << s->al);
        }
        return true;
    });
}

boolean DecodeDcRefine(j_decompress_ptr c, JBLOCKROW* blocks) {
    return ProgressiveMcu(c, [blocks](JpegScan* s, Bits& b) {
        const int bit = 1 << s->al;
        for (int i = 0; i < s->blocks; ++i) {
            if (b.count == 0) b.Refill();
            if (b.bits >> (kWordBits - 1)) blocks[i][0][0] = JCOEF(blocks[i][0][0] | bit);
            b.Drop(1);
        }
        return true;
    });
}

boolean DecodeAcFirst(j_decompress_ptr c, JBLOCKROW* blocks) {
    return ProgressiveMcu(c, [blocks](JpegScan* s, Bits& b) {
        if (s->eobRun > 0) {
            --s->eobRun;
            return true;
        }
        const Table& t = *s->plan[0].ac;
        JCOEF* block = blocks[0][0];
        for (int k = s->ss; k <= s->se;) {
            uint32_t e;
            if (!NextCode(b, t, &e)) return false;
            if (KindOf(e) == kCoef) {
                k += Run(e);
                // libjpeg stores such a term outside the band.
                if (k > s->se) return false;
                block[kNatural[k]] = JCOEF(uint32_t(ValueOf(e)) << s->al);
                ++k;
            } else if (KindOf(e) == kZeroRun) {
                k += 16;
            } else {
                s->eobRun = EndRun(b, e) - 1;
                break;
            }
        }
        return true;
    });
}

// Each code gives the zero terms to pass (and a term that becomes non-zero
// at the next one) or an end-of-band run; every term already non-zero on
// the way, and to the band's end in an end-of-band run, takes a correction
// bit. Which terms are non-zero is read from the block once, so the walk
// goes from one of them to the next instead of term by term.
boolean DecodeAcRefine(j_decompress_ptr c, JBLOCKROW* blocks) {
    return ProgressiveMcu(c, [blocks](JpegScan* s, Bits& b) {
        const Table& t = *s->plan[0].ac;
        JCOEF* block = blocks[0][0];
        const int bit = 1 << s->al, se = s->se;
        const uint64_t nonZero = NonZeroTerms(block) & s->band;
        int k = s->ss;
        if (s->eobRun == 0) {
            while (k <= se) {
                uint32_t e;
                if (!NextCode(b, t, &e)) return false;
                int run = 15, value = 0;
                if (KindOf(e) == kCoef) {
                    // A newly non-zero term has one bit, its sign; libjpeg
                    // warns of a longer one and reads a bit of it.
                    value = ValueOf(e);
                    if (value != 1 && value != -1) return false;
                    run = Run(e);
                } else if (KindOf(e) == kEnd) {
                    s->eobRun = EndRun(b, e);
                    break;
                }
                // The run+1st zero term from k on, past the band when the
                // run overshoots it; each non-zero term on the way takes its
                // correction bit and moves the target on by one.
                int target = k + run;
                for (uint64_t on = nonZero & BitsFrom(k); on; on &= on - 1) {
                    const int at = __builtin_ctzll(on);
                    if (at > target) break;
                    Correct(b, block, at, bit);
                    ++target;
                }
                if (value) {
                    if (target > se) return false;
                    block[kNatural[target]] = JCOEF(value > 0 ? bit : -bit);
                }
                k = target + 1;
            }
        }
        if (s->eobRun > 0) {
            for (uint64_t on = nonZero & BitsFrom(k); on; on &= on - 1) Correct(b, block, __builtin_ctzll(on), bit);
            --s->eobRun;
        }
        return true;
    });
}

// Sets the scan libjpeg has just started up for our decoders, when its
// data are in memory and its tables are ones they take; libjpeg's own
// decoder keeps it otherwise.
void TakeScan(j_decompress_ptr c, JpegScan* s) {
    if (s->abandoned || !c->progressive_mode || c->arith_code || c->data_precision != 8) return;
    if (!c->src || !c->src->next_input_byte || c->src->bytes_in_buffer == 0 || c->unread_marker != 0) return;
    if (c->Ss < 0 || c->Se > 63 || c->Ss > c->Se || c->Al < 0 || c->Al > 13) return;
    const bool dc = c->Ss == 0, refine = c->Ah != 0;
    if (!dc && c->comps_in_scan != 1) return;
    // A DC refinement codes no symbols. Tables may change between scans, so
    // each scan builds its own.
    for (int ci = 0; ci < c->comps_in_scan && !(dc && refine); ++ci) {
        const jpeg_component_info* comp = c->cur_comp_info[ci];
        if (!TableFor(c, s, dc ? 0 : 1, dc ? comp->dc_tbl_no : comp->ac_tbl_no, false)) return;
    }
    if (!PlanBlocks(c, s, false)) return;
    s->mcusLeft = uint64_t(c->MCUs_per_row) * c->MCU_rows_in_scan;
    if (s->mcusLeft == 0) return;
    s->ss = c->Ss;
    s->se = c->Se;
    s->al = c->Al;
    s->band = BitsFrom(c->Ss) & ~BitsFrom(c->Se + 1);
    s->eobRun = 0;
    for (int& v : s->lastDc) v = 0;
    s->in = Bits{0, 0, 0, false, c->src->next_input_byte, c->src->next_input_byte + c->src->bytes_in_buffer};
    s->restartInterval = c->restart_interval;
    s->restartsToGo = c->restart_interval;
    s->nextRestart = 0;
    reinterpret_cast<EntropyDecoder*>(c->entropy)->decode_mcu =
        dc ? (refine ? DecodeDcRefine : DecodeDcFirst) : (refine ? DecodeAcRefine : DecodeAcFirst);
    g_scans.fetch_add(1, std::memory_order_relaxed);
}

void StartPass(j_decompress_ptr c) {
    JpegScan* s = ScanOf(c);
    s->libjpegStartPass(c);
    TakeScan(c, s);
}

void Monitor(j_common_ptr common) {
    auto* c = reinterpret_cast<j_decompress_ptr>(common);
    JpegScan* s = ScanOf(c);
    if (s->next && s->next->progress_monitor) {
        // The caller's monitor sees its own record.
        c->progress = s->next;
        s->next->progress_monitor(common);
        c->progress = &s->progress;
    }
    if (s->hooked || !c->entropy) return;
    // libjpeg has set up its entropy decoder and started the first scan.
    auto* entropy = reinterpret_cast<EntropyDecoder*>(c->entropy);
    s->libjpegStartPass = entropy->start_pass;
    entropy->start_pass = StartPass;
    s->hooked = true;
    TakeScan(c, s);
}

}  // namespace

bool JpegIdctReads(int idctSize, int zigzag) {
    if (zigzag == 0 || idctSize > 2) return true;
    if (idctSize < 2) return false;
    int natural = kNatural[zigzag & 63];
    // The 2x2 IDCT folds the odd terms in and leaves out 2, 4 and 6.
    auto used = [](int k) { return k == 0 || (k & 1) != 0; };
    return used(natural / 8) && used(natural % 8);
}

JpegScan* JpegScan_Take(j_decompress_ptr c, const uint8_t* data, size_t size) {
    if (!data || !c->entropy || !c->src || c->progressive_mode || c->arith_code || c->data_precision != 8) return nullptr;
    if (jpeg_has_multiple_scans(c) || c->comps_in_scan != c->num_components || c->unread_marker != 0) return nullptr;
    if (c->num_components == 1) {
        if (c->jpeg_color_space != JCS_GRAYSCALE) return nullptr;
    } else {
        // YCbCr with the luma sampled at most twice each way, the chroma once.
        if (c->num_components != 3 || c->jpeg_color_space != JCS_YCbCr) return nullptr;
        const jpeg_component_info* comp = c->comp_info;
        if (comp[0].h_samp_factor > 2 || comp[0].v_samp_factor > 2) return nullptr;
        for (int i = 1; i < 3; ++i)
            if (comp[i].h_samp_factor != 1 || comp[i].v_samp_factor != 1) return nullptr;
    }
    // The rest of the file, as libjpeg's source holds it.
    const uint8_t* from = c->src->next_input_byte;
    if (from < data || from > data + size || size_t(data + size - from) != c->src->bytes_in_buffer) return nullptr;

    // Outside libjpeg's pools, so that its memory limit and its failures
    // stay those of a read without it: short of memory, it just stays out.
    auto* s = new (std::nothrow) JpegScan{};
    if (!s) return nullptr;
    for (int ci = 0; ci < c->comps_in_scan; ++ci) {
        const jpeg_component_info* comp = c->cur_comp_info[ci];
        const int slots[2] = {comp->dc_tbl_no, comp->ac_tbl_no};
        for (int kind = 0; kind < 2; ++kind) {
            // Components sharing a table build it once.
            const int slot = slots[kind];
            if (slot >= 0 && slot < NUM_HUFF_TBLS && s->tables[kind][slot]) continue;
            if (!TableFor(c, s, kind, slot, true)) return JpegScan_Free(s), nullptr;
        }
    }
    if (!PlanBlocks(c, s, true)) return JpegScan_Free(s), nullptr;
    s->in = Bits{0, 0, 0, false, from, data + size};
    s->restartInterval = c->restart_interval;
    s->restartsToGo = c->restart_interval;
    s->mcusLeft = uint64_t(c->MCUs_per_row) * c->MCU_rows_in_scan;
    if (s->mcusLeft == 0) return JpegScan_Free(s), nullptr;
    c->client_data = s;
    reinterpret_cast<EntropyDecoder*>(c->entropy)->decode_mcu = DecodeMcu;
    g_taken.fetch_add(1, std::memory_order_relaxed);
    return s;
}

JpegScan* JpegScan_TakeProgressive(j_decompress_ptr c) {
    if (!c->progressive_mode || c->arith_code || c->data_precision != 8) return nullptr;
    auto* s = new (std::nothrow) JpegScan{};
    if (!s) return nullptr;
    s->next = c->progress;
    s->progress.progress_monitor = Monitor;
    c->progress = &s->progress;
    g_taken.fetch_add(1, std::memory_order_relaxed);
    return s;
}

void JpegScan_Allow(bool allow) { g_allowed.store(allow, std::memory_order_relaxed); }
bool JpegScan_Allowed() { return g_allowed.load(std::memory_order_relaxed); }

void JpegScan_Free(JpegScan* scan) {
    if (!scan) return;
    for (auto& kind : scan->tables)
        for (Table* t : kind) delete t;
    delete scan;
}

bool JpegScan_Abandoned(const JpegScan* scan) { return scan && scan->abandoned; }

JpegScanCounts JpegScan_Counts() {
    return JpegScanCounts{g_taken.load(std::memory_order_relaxed), g_abandoned.load(std::memory_order_relaxed),
                          g_scans.load(std::memory_order_relaxed)};
}

}  // namespace pmio
