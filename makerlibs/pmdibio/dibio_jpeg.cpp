// JPEG through libjpeg(-turbo). libjpeg reports fatal errors by calling
// error_exit, which must not return; ours longjmps back into a function that
// holds no C++ objects, so no destructor is skipped. Everything the jump can
// leave behind lives in a state record that the caller cleans up.
#include "makerlibs/pmcolor.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_jpegscan.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmheap.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <jpeglib.h>
#include <jerror.h>

namespace pmio {
namespace {

// The coefficient buffer of a progressive image is the big allocation (two
// bytes per sample whatever the output scale: 600 MB for 100 megapixels at
// 4:4:4); libjpeg-turbo has no backing store, so this is a hard cap.
constexpr long kJpegMemory = 1024L * 1024 * 1024;
// Progressive files may hold any number of scans; each one re-runs the
// entropy decoder over the whole image. Real encoders write about ten.
constexpr int kMaxScans = 400;

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
    bool truncated;
};

void ErrorExit(j_common_ptr c) {
    // The decoder's memory ran out (past its cap it would need a backing
    // store, which there is none of; or the process ran out): the file is
    // too large for this machine, which the user is told, not a broken file.
    if (c->err->msg_code == JERR_OUT_OF_MEMORY || c->err->msg_code == JERR_NO_BACKING_STORE) pmio::NoteTooLarge();
    longjmp(reinterpret_cast<ErrorMgr*>(c->err)->jump, 1);
}
void OutputMessage(j_common_ptr) {}
void EmitMessage(j_common_ptr c, int level) {
    if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<ErrorMgr*>(c->err)->truncated = true;
    if (level < 0) c->err->num_warnings++;
}

void InitErrors(ErrorMgr* e) {
    jpeg_std_error(&e->pub);
    e->pub.error_exit = ErrorExit;
    e->pub.output_message = OutputMessage;
    e->pub.emit_message = EmitMessage;
    e->truncated = false;
}

// Parts of an in-memory file handed to the decoder one after the other;
// the parts left out are scans whose coefficients the decode never reads.
constexpr int kMaxParts = 2 * kMaxScans + 8;
struct Part {
    size_t offset, length;
};

struct Source {
    jpeg_source_mgr pub;
    InStream* in;  // null: the parts of `data`
    const uint8_t* data;
    size_t size;
    Part parts[kMaxParts];
    int partCount, nextPart;
    JOCTET buf[16384];
};

void InitSource(j_decompress_ptr) {}
void SetEnd(j_decompress_ptr c, Source* s) {
    // A file that ends early decodes to grey padding; that is a failed read.
    WARNMS(c, JWRN_JPEG_EOF);
    s->buf[0] = 0xFF;
    s->buf[1] = JPEG_EOI;
    s->pub.next_input_byte = s->buf;
    s->pub.bytes_in_buffer = 2;
}
boolean FillInput(j_decompress_ptr c) {
    auto* s = reinterpret_cast<Source*>(c->src);
    if (!s->in) {
        while (s->nextPart < s->partCount && s->parts[s->nextPart].length == 0) ++s->nextPart;
        if (s->nextPart == s->partCount) {
            SetEnd(c, s);
        } else {
            const Part& p = s->parts[s->nextPart++];
            s->pub.next_input_byte = s->data + p.offset;
            s->pub.bytes_in_buffer = p.length;
        }
        return TRUE;
    }
    size_t n = s->in->Read(s->buf, sizeof s->buf);
    if (n == 0) {
        if (s->in->SysFailed()) ERREXIT(c, JERR_FILE_READ);
        SetEnd(c, s);
        return TRUE;
    }
    s->pub.next_input_byte = s->buf;
    s->pub.bytes_in_buffer = n;
    return TRUE;
}
void SkipInput(j_decompress_ptr c, long n) {
    auto* s = reinterpret_cast<Source*>(c->src);
    if (n <= 0) return;
    while (size_t(n) > s->pub.bytes_in_buffer) {
        n -= long(s->pub.bytes_in_buffer);
        FillInput(c);
    }
    s->pub.next_input_byte += n;
    s->pub.bytes_in_buffer -= size_t(n);
}
void TermSource(j_decompress_ptr) {}

void Progress(j_common_ptr c) {
    if (c->is_decompressor && reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > kMaxScans)
        ERREXIT(c, JERR_NOT_COMPILED);
}

// A stretch of a progressive file: a scan (its header and data) or a
// segment between scans.
struct Unit {
    size_t from, to;
    bool scan;
    int components;  // of a scan: how many, and their indexes
    int index[4];
    int ss, se, ah;
};

// Coefficients of a component whose scaled IDCT reads the DC term alone
// (every component of most 1/8 reads of progressive photos). libjpeg keeps
// all 64 terms of every block of the picture and zeroes them first: for 12
// megapixels 36 MB written, and as many fresh pages faulted in, for a decode
// that then reads one term in 64. Here only the DC terms are kept, and
// libjpeg is handed a band of whole blocks at a time, whose other terms stay
// zero: no scan of them is decoded (the scan planner left them out).
struct DcOnlyArray {
    JDIMENSION blocksPerRow, rows, maxAccess;
    JCOEF* dc;  // a term per block, rows top first
    JBLOCKARRAY band;
    JDIMENSION bandStart, bandRows;
    bool bandWritten;
};

struct CoefStore {
    // libjpeg's own methods, for every other array.
    jvirt_barray_ptr (*request)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION, JDIMENSION);
    JBLOCKARRAY (*access)(j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean);
    bool dcOnly[MAX_COMPONENTS];
    int requests;
    // What the DC terms and bands take so far. libjpeg weighs its memory
    // limit against its own arrays alone, when it places them.
    uint64_t bytes;
    DcOnlyArray arrays[MAX_COMPONENTS];
    int count;
};

CoefStore* StoreOf(j_common_ptr c) { return static_cast<CoefStore*>(c->client_data); }

jvirt_barray_ptr RequestBlocks(j_common_ptr c, int pool, boolean preZero, JDIMENSION blocksPerRow, JDIMENSION rows,
                               JDIMENSION maxAccess) {
    CoefStore* st = StoreOf(c);
    auto* d = reinterpret_cast<j_decompress_ptr>(c);
    // The coefficient controller asks for one array per component, in the
    // components' order; anything else gets libjpeg's own.
    const int ci = st->requests++;
    if (ci >= d->num_components || !st->dcOnly[ci] || maxAccess == 0 || maxAccess > rows)
        return st->request(c, pool, preZero, blocksPerRow, rows, maxAccess);
    const jpeg_component_info& comp = d->comp_info[ci];
    auto roundUp = [](JDIMENSION v, int m) { return (v + JDIMENSION(m) - 1) / JDIMENSION(m) * JDIMENSION(m); };
    if (blocksPerRow != roundUp(comp.width_in_blocks, comp.h_samp_factor) ||
        rows != roundUp(comp.height_in_blocks, comp.v_samp_factor))
        return st->request(c, pool, preZero, blocksPerRow, rows, maxAccess);
    DcOnlyArray& a = st->arrays[st->count++];
    a = DcOnlyArray{};
    a.blocksPerRow = blocksPerRow;
    a.rows = rows;
    a.maxAccess = maxAccess;
    // alloc_large refuses what no size_t holds.
    const size_t terms = size_t(uint64_t(rows) * blocksPerRow <= SIZE_MAX / sizeof(JCOEF) ? uint64_t(rows) * blocksPerRow : 0);
    if (terms == 0) ERREXIT(c, JERR_OUT_OF_MEMORY);
    st->bytes += uint64_t(terms) * sizeof(JCOEF) + uint64_t(blocksPerRow) * maxAccess * sizeof(JBLOCK);
    if (c->mem->max_memory_to_use > 0 && st->bytes > uint64_t(c->mem->max_memory_to_use)) ERREXIT(c, JERR_OUT_OF_MEMORY);
    a.dc = static_cast<JCOEF*>((*c->mem->alloc_large)(c, JPOOL_IMAGE, terms * sizeof(JCOEF)));
    std::memset(a.dc, 0, terms * sizeof(JCOEF));
    a.band = (*c->mem->alloc_barray)(c, JPOOL_IMAGE, blocksPerRow, maxAccess);
    for (JDIMENSION r = 0; r < maxAccess; ++r) std::memset(a.band[r], 0, size_t(blocksPerRow) * sizeof(JBLOCK));
    return reinterpret_cast<jvirt_barray_ptr>(&a);
}

void KeepBand(DcOnlyArray* a) {
    if (!a->bandWritten) return;
    for (JDIMENSION r = 0; r < a->bandRows; ++r) {
        JCOEF* dc = a->dc + size_t(a->bandStart + r) * a->blocksPerRow;
        const JBLOCKROW row = a->band[r];
        for (JDIMENSION b = 0; b < a->blocksPerRow; ++b) dc[b] = row[b][0];
    }
    a->bandWritten = false;
}

JBLOCKARRAY AccessBlocks(j_common_ptr c, jvirt_barray_ptr ptr, JDIMENSION start, JDIMENSION n, boolean writable) {
    CoefStore* st = StoreOf(c);
    DcOnlyArray* a = nullptr;
    for (int i = 0; i < st->count; ++i)
        if (ptr == reinterpret_cast<jvirt_barray_ptr>(&st->arrays[i])) a = &st->arrays[i];
    if (!a) return st->access(c, ptr, start, n, writable);
    if (n > a->maxAccess || start > a->rows || n > a->rows - start) ERREXIT(c, JERR_BAD_VIRTUAL_ACCESS);
    if (a->bandRows == 0 || start != a->bandStart || n > a->bandRows) {
        KeepBand(a);
        for (JDIMENSION r = 0; r < n; ++r) {
            const JCOEF* dc = a->dc + size_t(start + r) * a->blocksPerRow;
            JBLOCKROW row = a->band[r];
            for (JDIMENSION b = 0; b < a->blocksPerRow; ++b) row[b][0] = dc[b];
        }
        a->bandStart = start;
        a->bandRows = n;
    }
    if (writable) a->bandWritten = true;
    return a->band;
}

struct ReadState {
    jpeg_decompress_struct cinfo;
    ErrorMgr err;
    Source src;
    jpeg_progress_mgr progress;
    bool created;
    DibHolder* out;
    DibReadRequest* request;
    // A scale the caller chose itself rather than by a target size (0: none).
    unsigned scale;
    Part planned[kMaxParts];
    int depth;
    bool progressive;
    DibMetadata* meta;
    bool metaCollected;
    ColorCmykTransform* cmykToSrgb;
    // The scan decoder of reduced reads, when this attempt may use it and
    // it took the scan.
    bool scanAllowed;
    JpegScan* scan;
    CoefStore coefs;
    // Last: a plan that ran past it would meet the end of the block.
    Unit units[kMaxParts];
};

bool StartsWith(const jpeg_saved_marker_ptr m, const char* text, size_t n) {
    return m->data_length >= n && std::memcmp(m->data, text, n) == 0;
}

// Takes what the caller asked for from the saved APP segments. Out of
// memory here only loses the metadata, never the image.
void CollectMeta(j_decompress_ptr c, DibMetadata* meta) noexcept {
    static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
    static const char kXmpExtension[] = "http://ns.adobe.com/xmp/extension/";
    static const char kIptc[] = "Photoshop 3.0";
    try {
        for (jpeg_saved_marker_ptr m = c->marker_list; m; m = m->next) {
            if (m->marker == JPEG_APP0 + 1) {
                size_t n = 0;
                const uint8_t* tiff = Exif_TiffFromApp1(m->data, m->data_length, &n);
                if (tiff && meta->exif.empty()) {
                    meta->exif.assign(tiff, tiff + n);
                    meta->orientation = Exif_OrientationFromBytes(tiff, n);
                } else if (StartsWith(m, kXmp, sizeof kXmp) || StartsWith(m, kXmpExtension, sizeof kXmpExtension)) {
                    meta->segments.push_back(DibSegment{m->marker, {m->data, m->data + m->data_length}});
                }
            } else if (m->marker == JPEG_APP0 + 13 && StartsWith(m, kIptc, sizeof kIptc)) {
                meta->segments.push_back(DibSegment{m->marker, {m->data, m->data + m->data_length}});
            }
        }
    } catch (...) {
        *meta = DibMetadata{};
        return;
    }
    JOCTET* icc = nullptr;
    unsigned int iccSize = 0;
    // libjpeg checks the chunks' numbering and count and joins them in order.
    if (jpeg_read_icc_profile(c, &icc, &iccSize) && icc && iccSize <= kMaxIccBytes) {
        try {
            meta->icc.assign(icc, icc + iccSize);
        } catch (...) {
            meta->icc.clear();
        }
    }
    std::free(icc);
}

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Whether libjpeg builds a decoding table from these code counts (and DC
// symbols) without refusing it: no more than 256 codes, none of them all
// ones, DC differences of at most 15 bits.
bool HuffmanTableBuilds(const uint8_t counts[17], const uint8_t* symbols, bool dc) {
    int total = 0, last = 0;
    for (int l = 1; l <= 16; ++l) {
        total += counts[l];
        if (counts[l]) last = l;
    }
    if (total > 256) return false;
    uint32_t code = 0;
    for (int l = 1; l <= last; ++l) {
        code += counts[l];
        if (code >= (1u << l)) return false;
        code <<= 1;
    }
    if (dc)
        for (int i = 0; i < total; ++i)
            if (symbols[i] > 15) return false;
    return true;
}

// The Huffman tables as they stand at a point of the file: per kind (0 DC,
// 1 AC) and slot, whether a scan may code with it.
struct HuffmanSlots {
    bool usable[2][NUM_HUFF_TBLS];
};

HuffmanSlots SlotsOf(j_decompress_ptr c) {
    HuffmanSlots h{};
    for (int slot = 0; slot < NUM_HUFF_TBLS; ++slot) {
        const JHUFF_TBL* dc = c->dc_huff_tbl_ptrs[slot];
        const JHUFF_TBL* ac = c->ac_huff_tbl_ptrs[slot];
        h.usable[0][slot] = dc && HuffmanTableBuilds(dc->bits, dc->huffval, true);
        h.usable[1][slot] = ac && HuffmanTableBuilds(ac->bits, ac->huffval, false);
    }
    return h;
}

// Takes the tables of a DHT segment's body as libjpeg reads them; false
// for any it would refuse to read.
bool TakeHuffmanSegment(const uint8_t* p, size_t length, HuffmanSlots* h) {
    while (length > 16) {
        const int index = p[0];
        uint8_t counts[17] = {};
        int total = 0;
        for (int l = 1; l <= 16; ++l) total += counts[l] = p[l];
        length -= 17;
        if (total > 256 || size_t(total) > length) return false;
        uint8_t symbols[256] = {};
        std::memcpy(symbols, p + 17, size_t(total));
        const bool ac = (index & 0x10) != 0;
        const int slot = index & ~0x10;
        if (slot >= NUM_HUFF_TBLS) return false;
        h->usable[ac][slot] = HuffmanTableBuilds(counts, symbols, !ac);
        p += 17 + total;
        length -= size_t(total);
    }
    return length == 0;
}

// The frame components a scan's ids name, found as libjpeg finds them: the
// first of the first four components with the id at or after the id's own
// place in the scan. A component named twice is refused, as by libjpeg.
bool MatchScanComponents(j_decompress_ptr c, const uint8_t* spec, int ns, int* index) {
    const int searched = c->num_components < MAX_COMPS_IN_SCAN ? c->num_components : MAX_COMPS_IN_SCAN;
    for (int k = 0; k < ns; ++k) {
        int found = -1;
        for (int ci = k; ci < searched && found < 0; ++ci)
            if (c->comp_info[ci].component_id == spec[2 * k]) found = ci;
        if (found < 0) return false;
        for (int before = 0; before < k; ++before)
            if (index[before] == found) return false;
        index[k] = found;
    }
    return true;
}

// A scan's band and bit positions as libjpeg accepts them in a progressive
// file: the DC term alone (any components), or AC terms of one component;
// a refinement one bit below the last.
bool ScanParametersValid(int ns, int ss, int se, int ah, int al) {
    if (ss == 0 ? se != 0 : ss > se || se > 63 || ns != 1) return false;
    if (ah != 0 && al != ah - 1) return false;
    return al <= 13;
}

// libjpeg smooths the blocks of a progressive file when one of terms 1-9
// of any component is unknown or not refined to its last bit, and every
// component has a DC term and a quantiser for each of terms 0-9; where a
// component has no AC term at all it rebuilds the DC terms from the
// neighbours too. `bits` holds, per component, the bit position each of
// terms 0-9 was last coded at (-1: never).
constexpr int kSmoothedTerms = 10;
bool WouldSmooth(j_decompress_ptr c, const int (*bits)[kSmoothedTerms]) {
    // Natural positions of terms 0-9 in zig-zag order.
    static const int kPositions[kSmoothedTerms] = {0, 1, 8, 16, 9, 2, 3, 10, 17, 24};
    bool useful = false;
    for (int ci = 0; ci < c->num_components; ++ci) {
        const int slot = c->comp_info[ci].quant_tbl_no;
        const JQUANT_TBL* q = slot >= 0 && slot < NUM_QUANT_TBLS ? c->quant_tbl_ptrs[slot] : nullptr;
        if (!q || bits[ci][0] < 0) return false;
        for (int pos : kPositions)
            if (q->quantval[pos] == 0) return false;
        for (int k = 1; k < kSmoothedTerms; ++k) useful |= bits[ci][k] != 0;
    }
    return useful;
}

// Plans the parts of a progressive file, from `at` (just behind the first
// scan's header) to its end, that hold a coefficient the scaled decode
// reads: scans of other coefficients are left out, every other segment
// (tables, restart intervals) is kept. A refinement scan's data depend on
// which terms of its band earlier scans made non-zero, so the scans before
// a kept refinement that share a component and a term with it are kept
// too. `acKept` tells, per component, whether any AC terms are decoded.
// False when the plan would not give the whole file's pixels: when libjpeg
// smooths the whole file's blocks (smoothing reads the terms left out),
// when a scan left out is one libjpeg would refuse, when quantisers change
// between scans (libjpeg takes a component's at its first scan, which may
// be one left out), and when the file does not end properly or is anything
// but plain. It then goes the ordinary way, and ends as it always did.
bool PlanNeededScans(j_decompress_ptr c, const uint8_t* d, size_t n, size_t at, Unit* units, Part* planned,
                     int* count, bool* acKept) {
    int unitCount = 0;
    int scans = 1;
    // The first scan, whose header libjpeg has read, is kept whatever it
    // holds: it starts where libjpeg goes on reading.
    Unit first{at, at, true, c->comps_in_scan, {}, c->Ss, c->Se, c->Ah};
    for (int k = 0; k < c->comps_in_scan && k < 4; ++k) first.index[k] = c->cur_comp_info[k]->component_index;
    Unit* scan = &units[unitCount++];
    *scan = first;
    HuffmanSlots tables = SlotsOf(c);
    int termBits[MAX_COMPONENTS][kSmoothedTerms];
    for (auto& component : termBits)
        for (int& b : component) b = -1;
    auto code = [&termBits](const Unit& x, int al) {
        for (int k = 0; k < x.components; ++k)
            for (int z = x.ss; z <= x.se && z < kSmoothedTerms; ++z) termBits[x.index[k]][z] = al;
    };
    code(first, c->Al);
    size_t i = at;
    for (;;) {
        // Entropy-coded data runs to the first marker that is not a stuffed
        // zero, a fill byte or a restart marker.
        for (;;) {
            const void* ff = std::memchr(d + i, 0xFF, n - i);
            if (!ff) return false;
            i = size_t(static_cast<const uint8_t*>(ff) - d);
            if (i + 1 >= n) return false;
            uint8_t m = d[i + 1];
            if (m == 0 || m == 0xFF || (m >= 0xD0 && m <= 0xD7)) {
                i += m == 0xFF ? 1 : 2;
                continue;
            }
            break;
        }
        scan->to = i;
        // Segments up to the next scan or the end.
        for (;;) {
            if (i + 1 >= n || d[i] != 0xFF) return false;
            uint8_t m = d[i + 1];
            if (m == 0xFF) {
                ++i;
                continue;
            }
            if (unitCount == kMaxParts) return false;
            if (m == JPEG_EOI) {
                units[unitCount++] = Unit{i, i + 2, false, 0, {}, 0, 0, 0};
                break;
            }
            if (i + 4 > n) return false;
            size_t len = Be16(d + i + 2);
            if (len < 2 || i + 2 + len > n) return false;
            if (m == 0xDA) break;
            // Tables, restart intervals, comments and application data may
            // stand between scans; another frame or anything unknown may not.
            bool known = m == 0xC4 || m == 0xDD || m == 0xFE || (m >= 0xE0 && m <= 0xEF);
            if (!known) return false;
            if (m == 0xC4 && !TakeHuffmanSegment(d + i + 4, len - 2, &tables)) return false;
            units[unitCount++] = Unit{i, i + 2 + len, false, 0, {}, 0, 0, 0};
            i += 2 + len;
        }
        if (d[i + 1] == JPEG_EOI) break;
        // A scan header: which components and which coefficient band.
        const uint8_t* h = d + i + 4;
        size_t len = Be16(d + i + 2);
        int ns = len >= 3 ? h[0] : 0;
        if (ns < 1 || ns > 4 || len != size_t(6 + 2 * ns)) return false;
        const int ss = h[1 + 2 * ns], se = h[2 + 2 * ns], ah = h[3 + 2 * ns] >> 4, al = h[3 + 2 * ns] & 15;
        if (!ScanParametersValid(ns, ss, se, ah, al)) return false;
        if (++scans > kMaxScans) return false;
        scan = &units[unitCount++];
        *scan = Unit{i, i, true, ns, {}, ss, se, ah};
        if (!MatchScanComponents(c, h + 1, ns, scan->index)) return false;
        // The tables the scan codes with (a DC refinement has none) must be
        // ones libjpeg builds, whether or not the scan is decoded here.
        for (int k = 0; k < ns; ++k) {
            const int dcSlot = h[2 + 2 * k] >> 4, acSlot = h[2 + 2 * k] & 15;
            if (ss == 0 && ah == 0 && (dcSlot >= NUM_HUFF_TBLS || !tables.usable[0][dcSlot])) return false;
            if (ss > 0 && (acSlot >= NUM_HUFF_TBLS || !tables.usable[1][acSlot])) return false;
        }
        code(*scan, al);
        i += 2 + len;
    }
    // Every component libjpeg decodes has its quantiser (any it lacks is a
    // failed read, which libjpeg alone gives).
    bool seen[MAX_COMPONENTS] = {};
    for (int u = 0; u < unitCount; ++u)
        for (int k = 0; units[u].scan && k < units[u].components; ++k) seen[units[u].index[k]] = true;
    for (int ci = 0; ci < c->num_components; ++ci) {
        const int slot = c->comp_info[ci].quant_tbl_no;
        if (seen[ci] && (slot < 0 || slot >= NUM_QUANT_TBLS || !c->quant_tbl_ptrs[slot])) return false;
    }
    if (WouldSmooth(c, termBits)) return false;

    // From the last scan back: a scan is kept when the IDCT reads one of
    // the terms it may set, or a kept refinement after it refines one of
    // them. A scan may set terms past its band: libjpeg stores a term where
    // a first scan's zero run ends, up to the block's last term, and a
    // refinement's newly non-zero term one past the band's end.
    auto terms = [](int from, int to) { return (to == 63 ? ~0ull : (1ull << (to + 1)) - 1) & ~((1ull << from) - 1); };
    uint64_t refined[MAX_COMPONENTS] = {};
    bool keep[kMaxParts];
    for (int ci = 0; ci < c->num_components; ++ci) acKept[ci] = false;
    for (int u = unitCount - 1; u >= 0; --u) {
        const Unit& x = units[u];
        keep[u] = true;
        if (!x.scan || u == 0) continue;
        const int last = x.ss == 0 ? 0 : x.ah == 0 ? 63 : x.se < 63 ? x.se + 1 : 63;
        const uint64_t set = terms(x.ss, last);
        bool needed = false;
        for (int k = 0; k < x.components && !needed; ++k) {
            needed = (refined[x.index[k]] & set) != 0;
            const int size = ScaledIdctSize(c->comp_info[x.index[k]]);
            for (int z = x.ss; z <= last && !needed; ++z) needed = JpegIdctReads(size, z);
        }
        keep[u] = needed;
        if (needed && x.ah > 0)
            for (int k = 0; k < x.components; ++k) refined[x.index[k]] |= terms(x.ss, x.se);
    }
    int parts = 0;
    for (int u = 0; u < unitCount; ++u) {
        const Unit& x = units[u];
        if (!keep[u]) continue;
        if (x.scan && x.se > 0)
            for (int k = 0; k < x.components; ++k) acKept[x.index[k]] = true;
        if (parts > 0 && planned[parts - 1].offset + planned[parts - 1].length == x.from) {
            planned[parts - 1].length += x.to - x.from;
        } else {
            planned[parts++] = Part{x.from, x.to - x.from};
        }
    }
    *count = parts;
    return true;
}

// Takes the scale and the scans to decode from the request, once the
// header is known.
void ApplyRequest(ReadState* s) {
    j_decompress_ptr c = &s->cinfo;
    DibReadRequest* r = s->request;
    r->FullSize = PmSize{int32_t(c->image_width), int32_t(c->image_height)};
    r->Reduction = 1;
    unsigned denom = s->scale;
    if (denom == 0) {
        PmSize target{0, 0};
        if (!r->TargetSize || !r->TargetSize(r->Context, &r->FullSize, &target)) return;
        if (target.cx < 1 || target.cy < 1) return;
        denom = DibIO_JpegReduction(r->FullSize, target);
    }
    if (denom == 1) return;
    c->scale_num = 1;
    c->scale_denom = denom;
    jpeg_calc_output_dimensions(c);
    r->Reduction = denom;
    if (!c->progressive_mode || c->arith_code || !s->src.data) return;
    // The file so far has been read from one part: the whole file. Unless
    // it ended inside the header: the source then holds the end marker it
    // made up, and the read fails as it always did.
    const uint8_t* next = c->src->next_input_byte;
    if (s->err.truncated || next < s->src.data || next > s->src.data + s->src.size) return;
    size_t at = size_t(next - s->src.data);
    int count = 0;
    bool acKept[MAX_COMPONENTS];
    if (!PlanNeededScans(c, s->src.data, s->src.size, at, s->units, s->planned, &count, acKept)) return;
    // The whole file is one libjpeg does not smooth, but the scans left out
    // leave terms unknown, which would make it smooth this decode. Every
    // coefficient the scaled IDCT reads is complete, as in a decode of the
    // whole file.
    c->do_block_smoothing = FALSE;
    std::memcpy(s->src.parts, s->planned, sizeof(Part) * size_t(count));
    s->src.partCount = count;
    s->src.nextPart = 0;
    s->src.pub.next_input_byte = nullptr;
    s->src.pub.bytes_in_buffer = 0;
    // Components whose IDCT reads the DC term alone, and none of whose AC
    // terms are decoded, keep their DC terms alone (the scan decoder's
    // switch governs this too, so the two ways can be compared).
    if (!s->scanAllowed) return;
    bool any = false;
    for (int ci = 0; ci < c->num_components; ++ci)
        any |= s->coefs.dcOnly[ci] = !acKept[ci] && ScaledIdctSize(c->comp_info[ci]) == 1;
    if (!any) return;
    s->coefs.request = c->mem->request_virt_barray;
    s->coefs.access = c->mem->access_virt_barray;
    c->mem->request_virt_barray = RequestBlocks;
    c->mem->access_virt_barray = AccessBlocks;
    c->client_data = &s->coefs;
}

bool Decode(ReadState* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_create_decompress(&s->cinfo);
    s->created = true;
    j_decompress_ptr c = &s->cinfo;
    c->src = &s->src.pub;
    s->progress.progress_monitor = Progress;
    c->progress = &s->progress;
    const size_t limit = PmHeap_FailAboveLimit();
    c->mem->max_memory_to_use = limit && limit < size_t(kJpegMemory) ? long(limit) : kJpegMemory;
    if (s->meta) {
        jpeg_save_markers(c, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(c, JPEG_APP0 + 2, 0xFFFF);
        jpeg_save_markers(c, JPEG_APP0 + 13, 0xFFFF);
    }
    if (jpeg_read_header(c, TRUE) != JPEG_HEADER_OK) return false;
    // The orientation is known before the request is asked for a size, so
    // the caller can judge the picture by its upright sides.
    if (s->meta && !s->metaCollected) CollectMeta(c, s->meta);
    if (s->request) ApplyRequest(s);
    jpeg_calc_output_dimensions(c);
    // The limits hold for what is decoded: a reduced read of a very large
    // file needs no more memory than that of an ordinary one.
    size_t bytes;
    if (!DibImageBytes(c->output_width, c->output_height, 24, &bytes)) {
        NoteTooLarge();
        return false;
    }
    const bool grey = c->jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = c->jpeg_color_space == JCS_CMYK || c->jpeg_color_space == JCS_YCCK;
    c->out_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
    s->depth = c->num_components * 8;
    s->progressive = jpeg_has_multiple_scans(c);
    // Every scan of a progressive file goes through the scan decoder, at any
    // scale; jpeg_start_decompress runs them all, so it is set up before.
    if (s->scanAllowed && c->progressive_mode && !s->src.in) s->scan = JpegScan_TakeProgressive(c);
    // It stops early only when the scan decoder gave the file back.
    if (!jpeg_start_decompress(c)) return false;
    if (s->err.truncated) return false;
    // A thumbnail's read is mostly the decode of coefficients that 1/4 and
    // 1/8 scales never look at.
    if (s->scanAllowed && s->request && s->request->Reduction >= 4 && !s->progressive && !s->src.in)
        s->scan = JpegScan_Take(c, s->src.data, s->src.size);
    const JDIMENSION w = c->output_width;
    if (!NewDib(w, c->output_height, grey ? 8 : 24, s->out)) return false;
    if (grey) GreyRamp(s->out->header, 256);
    JSAMPROW cmykRow = cmyk ? static_cast<JSAMPROW>((*c->mem->alloc_large)(
                                  reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE, size_t(w) * 4))
                            : nullptr;
    // Adobe applications write CMYK inverted and mark the file with their
    // APP14 segment; without it the samples are plain ink amounts.
    const bool inverted = c->saw_Adobe_marker;
    // CMYK has to meet its profile before the naive conversion below loses
    // the ink amounts; other colour spaces are converted after decoding.
    if (cmyk && s->meta && s->meta->convertCmyk && !s->meta->icc.empty())
        s->cmykToSrgb = Color_OpenCmykToSrgb(s->meta->icc.data(), s->meta->icc.size(), inverted);
    while (c->output_scanline < c->output_height) {
        JDIMENSION y = c->output_scanline;
        JSAMPROW row = TopRow(s->out->header, s->out->bits, y);
        if (jpeg_read_scanlines(c, cmyk ? &cmykRow : &row, 1) != 1) return false;
        if (s->err.truncated) return false;
        if (cmyk && s->cmykToSrgb) {
            Color_CmykToBgr(s->cmykToSrgb, cmykRow, row, w);
        } else if (cmyk) {
            for (JDIMENSION x = 0; x < w; ++x) {
                unsigned cc = cmykRow[x * 4], m = cmykRow[x * 4 + 1], yy = cmykRow[x * 4 + 2], k = cmykRow[x * 4 + 3];
                if (!inverted) {
                    cc = 255 - cc;
                    m = 255 - m;
                    yy = 255 - yy;
                    k = 255 - k;
                }
                row[x * 3] = uint8_t((yy * k + 127) / 255);
                row[x * 3 + 1] = uint8_t((m * k + 127) / 255);
                row[x * 3 + 2] = uint8_t((cc * k + 127) / 255);
            }
        }
    }
    if (s->cmykToSrgb && s->meta) s->meta->iccApplied = true;
    return !s->err.truncated;
}

struct Dest {
    jpeg_destination_mgr pub;
    OutStream* out;
    JOCTET buf[16384];
};

void InitDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    d->pub.next_output_byte = d->buf;
    d->pub.free_in_buffer = sizeof d->buf;
}
boolean EmptyOutput(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    if (!d->out->Write(d->buf, sizeof d->buf)) ERREXIT(c, JERR_FILE_WRITE);
    InitDest(c);
    return TRUE;
}
void TermDest(j_compress_ptr c) {
    auto* d = reinterpret_cast<Dest*>(c->dest);
    if (!d->out->Write(d->buf, sizeof d->buf - d->pub.free_in_buffer)) ERREXIT(c, JERR_FILE_WRITE);
}

struct WriteState {
    jpeg_compress_struct cinfo;
    ErrorMgr err;
    Dest dest;
    bool created;
    const DibIOOptions* opt;
    const DibHeader* h;
    const uint8_t* bits;
    const DibMetadata* meta;
};

// The most a marker segment holds after its length field.
constexpr size_t kMaxSegment = 65533;

void WriteMeta(j_compress_ptr c, const DibMetadata& meta) {
    static const JOCTET kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!meta.exif.empty() && meta.exif.size() + sizeof kExif <= kMaxSegment) {
        size_t n = meta.exif.size() + sizeof kExif;
        auto* buf = static_cast<JOCTET*>((*c->mem->alloc_large)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE, n));
        std::memcpy(buf, kExif, sizeof kExif);
        std::memcpy(buf + sizeof kExif, meta.exif.data(), meta.exif.size());
        jpeg_write_marker(c, JPEG_APP0 + 1, buf, unsigned(n));
    }
    for (const DibSegment& seg : meta.segments)
        if (seg.marker >= JPEG_APP0 && seg.marker <= JPEG_APP0 + 15 && !seg.data.empty() &&
            seg.data.size() <= kMaxSegment)
            jpeg_write_marker(c, seg.marker, seg.data.data(), unsigned(seg.data.size()));
    // A profile describes the file's channels: RGB for colour, grey for one.
    if (IccFitsChannels(meta.icc, c->in_color_space == JCS_GRAYSCALE ? 1 : 3) && meta.icc.size() <= kMaxIccBytes)
        jpeg_write_icc_profile(c, meta.icc.data(), unsigned(meta.icc.size()));
}

bool Encode(WriteState* s) {
    if (setjmp(s->err.jump)) return false;
    jpeg_create_compress(&s->cinfo);
    s->created = true;
    j_compress_ptr c = &s->cinfo;
    c->dest = &s->dest.pub;
    const DibHeader* h = s->h;
    const JDIMENSION w = JDIMENSION(h->biWidth);
    const int64_t rows = DibRows(h);
    if (w > JPEG_MAX_DIMENSION || rows > JPEG_MAX_DIMENSION) return false;
    // A palette of greys only is written as a one-channel JPEG.
    const bool grey = h->biBitCount <= 8 && GreyTable(h);
    c->image_width = w;
    c->image_height = JDIMENSION(rows);
    c->input_components = grey ? 1 : 3;
    c->in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(c);
    int q = s->opt->Jpeg.Quality;
    jpeg_set_quality(c, q < 1 ? 1 : q > 100 ? 100 : q, TRUE);
    c->smoothing_factor = s->opt->Jpeg.Smoothing > 100 ? 100 : s->opt->Jpeg.Smoothing;
    c->optimize_coding = s->opt->Jpeg.OptimizeCoding ? TRUE : FALSE;
    if (s->opt->Jpeg.Progressive == 0) jpeg_simple_progression(c);
    if (h->biXPelsPerMeter > 0 && h->biYPelsPerMeter > 0 && h->biXPelsPerMeter / 100 < 65536 &&
        h->biYPelsPerMeter / 100 < 65536) {
        c->density_unit = 2;  // dots per centimetre
        c->X_density = uint16_t((h->biXPelsPerMeter + 50) / 100);
        c->Y_density = uint16_t((h->biYPelsPerMeter + 50) / 100);
    }
    JSAMPROW buf = static_cast<JSAMPROW>(
        (*c->mem->alloc_large)(reinterpret_cast<j_common_ptr>(c), JPOOL_PERMANENT, size_t(w) * 3));
    const RgbQuad* table = Table(h);
    const int n = TableCount(h);
    jpeg_start_compress(c, TRUE);
    if (s->meta) WriteMeta(c, *s->meta);
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* src = TopRow(h, s->bits, y);
        if (grey) {
            for (JDIMENSION x = 0; x < w; ++x) {
                int i = IndexAt(src, h->biBitCount, x);
                buf[x] = i < n ? table[i].red : 0;
            }
        } else {
            RowToBgr(h, src, buf);
        }
        jpeg_write_scanlines(c, &buf, 1);
    }
    jpeg_finish_compress(c);
    return true;
}

int ReadWith(InStream* in, const uint8_t* data, size_t size, DibReadRequest* request, unsigned scale,
             DibIOOptions* info, DibHolder* out, DibMetadata* meta) {
    // A second attempt, without the scan decoder, when it gave the file
    // back: libjpeg then reads it from the start and ends it as it would
    // have alone. The metadata were taken by the first.
    for (int attempt = 0;; ++attempt) {
        auto* s = new (std::nothrow) ReadState{};
        if (!s) return 0;
        InitErrors(&s->err);
        s->cinfo.err = &s->err.pub;
        s->src.in = in;
        s->src.data = data;
        s->src.size = size;
        s->src.parts[0] = Part{0, size};
        s->src.partCount = in ? 0 : 1;
        s->request = request;
        s->scale = scale;
        s->src.pub.init_source = InitSource;
        s->src.pub.fill_input_buffer = FillInput;
        s->src.pub.skip_input_data = SkipInput;
        s->src.pub.resync_to_restart = jpeg_resync_to_restart;
        s->src.pub.term_source = TermSource;
        s->out = out;
        s->meta = meta;
        s->metaCollected = attempt > 0;
        s->scanAllowed = attempt == 0 && JpegScan_Allowed();
        bool ok = Decode(s);
        const bool again = JpegScan_Abandoned(s->scan);
        if (s->created) jpeg_destroy_decompress(&s->cinfo);
        JpegScan_Free(s->scan);
        Color_Close(s->cmykToSrgb);
        int depth = s->depth;
        const bool progressive = s->progressive;
        delete s;
        if (again) {
            out->Reset();
            continue;
        }
        // The system's scan vocabulary: 1 = sequential, 0 = progressive.
        if (ok && info) info->Jpeg.Progressive = progressive ? 0 : 1;
        if (!ok) {
            out->Reset();
            return 0;
        }
        return depth;
    }
}

}  // namespace

int JpegRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta) {
    return ReadWith(&in, nullptr, 0, nullptr, 0, info, out, meta);
}

int JpegReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions* info, DibHolder* out,
                   DibMetadata* meta) {
    return ReadWith(nullptr, data, size, request, 0, info, out, meta);
}

int JpegReadMemoryAt(const uint8_t* data, size_t size, unsigned scale, DibIOOptions* info, DibHolder* out) {
    if (scale != 2 && scale != 4 && scale != 8) return 0;
    DibReadRequest request{};
    request.Size = sizeof request;
    return ReadWith(nullptr, data, size, &request, scale, info, out, nullptr);
}

int JpegWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta) {
    auto* s = new (std::nothrow) WriteState{};
    if (!s) return 0;
    InitErrors(&s->err);
    s->cinfo.err = &s->err.pub;
    s->dest.out = &out;
    s->dest.pub.init_destination = InitDest;
    s->dest.pub.empty_output_buffer = EmptyOutput;
    s->dest.pub.term_destination = TermDest;
    s->opt = &opt;
    s->h = h;
    s->bits = bits;
    s->meta = meta;
    bool ok = Encode(s);
    if (s->created) jpeg_destroy_compress(&s->cinfo);
    delete s;
    return ok && out.Flush() ? 1 : 0;
}

}  // namespace pmio

unsigned DibIO_JpegReduction(PmSize full, PmSize target) {
    if (full.cx < 1 || full.cy < 1 || target.cx < 1 || target.cy < 1) return 1;
    // The smallest scale whose result still holds kCoverage times the target
    // in both directions. A reduced decode averages whole blocks, a box
    // filter that softens fine detail; with twice the target some photos'
    // thumbnails lost 0.002 SSIM against a full decode, with four times none
    // lost more than 0.0006.
    constexpr uint64_t kCoverage = 4;
    for (unsigned d = 8; d >= 2; d /= 2) {
        uint64_t w = (uint64_t(full.cx) + d - 1) / d, h = (uint64_t(full.cy) + d - 1) / d;
        if (w >= kCoverage * uint64_t(target.cx) && h >= kCoverage * uint64_t(target.cy)) return d;
    }
    return 1;
}
