// HEIF (HEVC) and AVIF (AV1) through libheif: the primary image as a photo
// viewer shows it. libheif applies the transform properties (irot, imir,
// clap) and assembles grids; this file brings the result to a DIB of 8 bits
// a channel, full range, and hands the colour profile and the camera's data
// to the common paths.
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_heif.h"
#include "makerlibs/pmcolor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <lcms2.h>
#include <libheif/heif.h>

namespace pmio {

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// One box of an ISO base media file: its type and payload span.
struct Box {
    uint32_t type = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
};

constexpr uint32_t FourCc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

// Walks the boxes of one container level. A box that runs past its
// container ends the walk (libheif then judges the file).
class BoxWalker {
public:
    BoxWalker(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool Next(Box* box) {
        size_t left = size_t(end_ - p_);
        if (left < 8) return false;
        uint64_t size = Be32(p_);
        size_t header = 8;
        box->type = Be32(p_ + 4);
        if (size == 1) {
            if (left < 16) return false;
            size = uint64_t(Be32(p_ + 8)) << 32 | Be32(p_ + 12);
            header = 16;
        } else if (size == 0) {
            size = left;
        }
        if (size < header || size > left) return false;
        box->body = p_ + header;
        box->size = size_t(size) - header;
        p_ += size_t(size);
        return true;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Bits of an AV1 header, most significant first; reading past the end
// gives zeros and clears ok().
class Bits {
public:
    Bits(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint32_t Read(int count) {
        uint32_t v = 0;
        for (; count > 0; --count) {
            if (at_ >= n_ * 8) {
                ok_ = false;
                return 0;
            }
            v = v << 1 | ((p_[at_ >> 3] >> (7 - (at_ & 7))) & 1u);
            ++at_;
        }
        return v;
    }
    bool ok() const { return ok_; }

private:
    const uint8_t* p_;
    size_t n_, at_ = 0;
    bool ok_ = true;
};

// max_frame_width and max_frame_height of an AV1 sequence header.
bool Av1SequenceMaxFrame(const uint8_t* p, size_t n, uint32_t* w, uint32_t* h) {
    Bits r(p, n);
    r.Read(3);  // seq_profile
    r.Read(1);  // still_picture
    if (r.Read(1)) {
        r.Read(5);  // a reduced header: one level, nothing else
    } else {
        bool decoderModel = false;
        int delayBits = 0;
        if (r.Read(1)) {  // timing info
            r.Read(32);
            r.Read(32);
            if (r.Read(1)) {  // equal picture interval: an unsigned Exp-Golomb number
                int zeros = 0;
                while (!r.Read(1)) {
                    if (!r.ok() || ++zeros >= 32) return false;
                }
                r.Read(zeros);
            }
            decoderModel = r.Read(1) != 0;
            if (decoderModel) {
                delayBits = int(r.Read(5)) + 1;
                r.Read(32);
                r.Read(10);
            }
        }
        const bool initialDelay = r.Read(1) != 0;
        const unsigned points = r.Read(5) + 1;
        for (unsigned i = 0; i < points && r.ok(); ++i) {
            r.Read(12);
            if (r.Read(5) > 7) r.Read(1);
            if (decoderModel && r.Read(1)) {
                r.Read(delayBits);
                r.Read(delayBits);
                r.Read(1);
            }
            if (initialDelay && r.Read(1)) r.Read(4);
        }
    }
    const int widthBits = int(r.Read(4)) + 1, heightBits = int(r.Read(4)) + 1;
    *w = r.Read(widthBits) + 1;
    *h = r.Read(heightBits) + 1;
    return r.ok();
}

// The largest frame the first sequence header among an AV1 item's first
// OBUs allows; false when there is none.
bool Av1MaxFrame(const uint8_t* p, size_t n, uint32_t* w, uint32_t* h) {
    for (int obu = 0; obu < 8 && n > 0; ++obu) {
        const unsigned type = (p[0] >> 3) & 15;
        size_t at = (p[0] & 4) ? 2 : 1;  // with an extension byte
        if (at > n) return false;
        uint64_t size = n - at;
        if (p[0] & 2) {  // a size field, LEB128
            size = 0;
            for (int i = 0;; ++i) {
                if (at >= n || i == 8) return false;
                const uint8_t b = p[at++];
                size |= uint64_t(b & 0x7F) << (7 * i);
                if (!(b & 0x80)) break;
            }
        }
        if (size > n - at) size = n - at;
        if (type == 1) return Av1SequenceMaxFrame(p + at, size_t(size), w, h);
        p += at + size;
        n -= at + size;
    }
    return false;
}

// pic_width and pic_height of an HEVC sequence parameter set NAL unit.
bool HevcSpsSize(const uint8_t* nal, size_t n, uint32_t* w, uint32_t* h) {
    // The payload without its emulation prevention bytes (00 00 03); the
    // sizes come within the first hundred bytes.
    std::vector<uint8_t> rbsp;
    for (size_t i = 2, zeros = 0; i < n && rbsp.size() < 128; ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(nal[i]);
    }
    Bits r(rbsp.data(), rbsp.size());
    auto ue = [&r]() -> uint32_t {
        int zeros = 0;
        while (!r.Read(1)) {
            if (!r.ok() || ++zeros >= 32) return 0;
        }
        return (uint32_t(1) << zeros) - 1 + r.Read(zeros);
    };
    r.Read(4);  // video parameter set id
    const unsigned subLayers = r.Read(3);
    r.Read(1);
    r.Read(32);  // general profile space, tier, profile, compatibility flags ...
    r.Read(32);
    r.Read(32);  // ... constraint flags, level
    bool profile[8] = {}, level[8] = {};
    for (unsigned i = 0; i < subLayers; ++i) {
        profile[i] = r.Read(1) != 0;
        level[i] = r.Read(1) != 0;
    }
    if (subLayers > 0)
        for (unsigned i = subLayers; i < 8; ++i) r.Read(2);
    for (unsigned i = 0; i < subLayers; ++i) {
        if (profile[i]) {
            r.Read(32);
            r.Read(32);
            r.Read(24);
        }
        if (level[i]) r.Read(8);
    }
    ue();  // sequence parameter set id
    if (ue() == 3) r.Read(1);  // chroma 4:4:4: separate colour planes
    *w = ue();
    *h = ue();
    return r.ok() && *w > 0 && *h > 0;
}

// The largest picture the sequence parameter sets of an hvcC box declare.
void HevcConfigSize(const Box& hvcc, uint32_t* w, uint32_t* h) {
    if (hvcc.size < 23) return;
    const uint8_t* q = hvcc.body + 23;
    const uint8_t* end = hvcc.body + hvcc.size;
    for (unsigned a = hvcc.body[22]; a > 0 && end - q >= 3; --a) {
        const unsigned type = q[0] & 0x3F, count = Be16(q + 1);
        q += 3;
        for (unsigned k = 0; k < count && end - q >= 2; ++k) {
            const size_t length = Be16(q);
            q += 2;
            if (size_t(end - q) < length) return;
            uint32_t sw = 0, sh = 0;
            if (type == 33 && HevcSpsSize(q, length, &sw, &sh) && uint64_t(sw) * sh > uint64_t(*w) * *h) {
                *w = sw;
                *h = sh;
            }
            q += length;
        }
    }
}

// Where iloc puts an item's data (its first extent), for the items stored in
// the file itself or in the meta box's idat.
struct ItemPlace {
    uint32_t item = 0;
    bool inIdat = false;              // in the meta box's idat, not the file
    uint64_t offset = 0, length = 0;  // length 0: to the end
};

uint64_t BeN(const uint8_t*& q, const uint8_t* end, unsigned bytes, bool* ok) {
    if (size_t(end - q) < bytes) {
        *ok = false;
        return 0;
    }
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v = v << 8 | *q++;
    return v;
}

void ReadIloc(const Box& b, std::vector<ItemPlace>* places) {
    if (b.size < 8) return;
    const uint8_t version = b.body[0];
    const uint8_t* q = b.body + 4;
    const uint8_t* end = b.body + b.size;
    const unsigned offsetSize = q[0] >> 4, lengthSize = q[0] & 15, baseSize = q[1] >> 4;
    const unsigned indexSize = version == 1 || version == 2 ? q[1] & 15 : 0;
    q += 2;
    bool ok = true;
    const uint64_t count = BeN(q, end, version < 2 ? 2 : 4, &ok);
    for (uint64_t i = 0; i < count && ok && places->size() < kHeifMaxItems; ++i) {
        ItemPlace place;
        place.item = uint32_t(BeN(q, end, version < 2 ? 2 : 4, &ok));
        const unsigned method = version == 1 || version == 2 ? unsigned(BeN(q, end, 2, &ok) & 15) : 0;
        BeN(q, end, 2, &ok);  // data reference
        const uint64_t base = BeN(q, end, baseSize, &ok);
        const uint64_t extents = BeN(q, end, 2, &ok);
        for (uint64_t e = 0; e < extents && ok; ++e) {
            BeN(q, end, indexSize, &ok);
            const uint64_t offset = BeN(q, end, offsetSize, &ok), length = BeN(q, end, lengthSize, &ok);
            if (e == 0) {
                place.offset = base + offset;
                place.length = length;
            }
        }
        place.inIdat = method == 1;
        if (ok && method <= 1 && extents > 0) places->push_back(place);
    }
}

// The id and type of each infe entry of iinf.
void ReadIinf(const Box& b, std::vector<std::pair<uint32_t, uint32_t>>* types) {
    if (b.size < 6) return;
    const size_t countBytes = b.body[0] == 0 ? 2 : 4;
    if (b.size < 4 + countBytes) return;
    BoxWalker entries(b.body + 4 + countBytes, b.size - 4 - countBytes);
    Box e;
    while (types->size() < kHeifMaxItems && entries.Next(&e)) {
        if (e.type != FourCc("infe") || e.size < 4 || e.body[0] < 2) continue;
        const size_t idBytes = e.body[0] == 2 ? 2 : 4;
        if (e.size < 4 + idBytes + 2 + 4) continue;
        const uint32_t id = idBytes == 2 ? Be16(e.body + 4) : Be32(e.body + 4);
        types->emplace_back(id, Be32(e.body + 4 + idBytes + 2));
    }
}

struct ItemProps {
    uint32_t item;
    std::vector<uint16_t> props;  // 1-based indices into ipco
};

// Reads what the limits and the decode need from the `meta` box of the
// file `file`.
bool ScanMeta(const uint8_t* body, size_t size, const uint8_t* file, size_t fileSize, HeifScan* scan) {
    if (size < 4) return true;
    BoxWalker w(body + 4, size - 4);  // full box: version and flags first
    std::vector<Box> ipco;
    std::vector<ItemProps> ipma;
    std::vector<uint32_t> primaryRefs;
    std::vector<ItemPlace> places;
    std::vector<std::pair<uint32_t, uint32_t>> types;
    Box idat;
    Box b;
    while (w.Next(&b)) {
        if (b.type == FourCc("pitm") && b.size >= 6) {
            scan->primary = b.body[0] == 0 ? Be16(b.body + 4) : (b.size >= 8 ? Be32(b.body + 4) : 0);
        } else if (b.type == FourCc("iinf") && b.size >= 6) {
            scan->items = b.body[0] == 0 ? Be16(b.body + 4) : (b.size >= 8 ? Be32(b.body + 4) : 0);
            ReadIinf(b, &types);
        } else if (b.type == FourCc("iloc")) {
            ReadIloc(b, &places);
        } else if (b.type == FourCc("idat")) {
            idat = b;
        } else if (b.type == FourCc("iref") && b.size >= 4) {
            const bool wide = b.body[0] != 0;
            BoxWalker refs(b.body + 4, b.size - 4);
            Box r;
            while (refs.Next(&r)) {
                size_t idBytes = wide ? 4 : 2;
                if (r.size < idBytes + 2) continue;
                uint32_t from = wide ? Be32(r.body) : Be16(r.body);
                uint32_t count = Be16(r.body + idBytes);
                if (r.type != FourCc("dimg") || from != scan->primary) continue;
                scan->tiles += count;
                for (uint32_t i = 0; i < count && idBytes + 2 + (i + 1) * idBytes <= r.size; ++i) {
                    const uint8_t* q = r.body + idBytes + 2 + i * idBytes;
                    primaryRefs.push_back(wide ? Be32(q) : Be16(q));
                }
            }
        } else if (b.type == FourCc("iprp")) {
            BoxWalker props(b.body, b.size);
            Box pb;
            while (props.Next(&pb)) {
                if (pb.type == FourCc("ipco")) {
                    BoxWalker list(pb.body, pb.size);
                    Box prop;
                    // Enough to find a configuration; more only costs time.
                    while (ipco.size() < 4096 && list.Next(&prop)) ipco.push_back(prop);
                } else if (pb.type == FourCc("ipma") && pb.size >= 8) {
                    const uint8_t version = pb.body[0];
                    const bool wideIndex = (pb.body[3] & 1) != 0;
                    uint32_t entries = Be32(pb.body + 4);
                    const uint8_t* q = pb.body + 8;
                    const uint8_t* end = pb.body + pb.size;
                    for (uint32_t e = 0; e < entries && ipma.size() < 65536; ++e) {
                        size_t idBytes = version < 1 ? 2 : 4;
                        if (size_t(end - q) < idBytes + 1) break;
                        ItemProps ip{version < 1 ? Be16(q) : Be32(q), {}};
                        q += idBytes;
                        unsigned n = *q++;
                        for (unsigned k = 0; k < n; ++k) {
                            if (size_t(end - q) < (wideIndex ? 2u : 1u)) break;
                            ip.props.push_back(wideIndex ? uint16_t(Be16(q) & 0x7FFF) : uint16_t(*q & 0x7F));
                            q += wideIndex ? 2 : 1;
                        }
                        ipma.push_back(std::move(ip));
                    }
                }
            }
        }
    }
    // The coded item whose configuration says what the decoder gives: the
    // primary item, or for a derived one (grid, iden) its first input.
    auto configOf = [&](uint32_t item, bool* found) {
        for (const ItemProps& ip : ipma) {
            if (ip.item != item) continue;
            for (uint16_t index : ip.props) {
                if (index == 0 || index > ipco.size()) continue;
                const Box& prop = ipco[index - 1];
                if (prop.type == FourCc("av1C") && prop.size >= 3) {
                    scan->monochrome = (prop.body[2] >> 4) & 1;
                    *found = true;
                } else if (prop.type == FourCc("hvcC") && prop.size >= 17) {
                    scan->monochrome = (prop.body[16] & 3) == 0;
                    *found = true;
                }
            }
        }
    };
    bool found = false;
    configOf(scan->primary, &found);
    if (!found && !primaryRefs.empty()) configOf(primaryRefs[0], &found);
    // A few hundred bytes can declare a grid, an AV1 frame or an HEVC
    // picture of a gigapixel, which libheif or the decoder would make
    // whatever the item's declared size.
    for (const Box& prop : ipco)
        if (prop.type == FourCc("hvcC")) HevcConfigSize(prop, &scan->codedWidth, &scan->codedHeight);
    for (const auto& [id, type] : types) {
        const bool grid = type == FourCc("grid");
        if (type != FourCc("av01") && !grid) continue;
        for (const ItemPlace& place : places) {
            const uint8_t* from = place.inIdat ? idat.body : file;
            const size_t fromSize = place.inIdat ? idat.size : fileSize;
            if (place.item != id || !from || place.offset >= fromSize) continue;
            uint64_t n = place.length == 0 ? fromSize - place.offset : place.length;
            if (n > fromSize - place.offset) n = fromSize - place.offset;
            const uint8_t* q = from + place.offset;
            uint32_t fw = 0, fh = 0;
            bool known = false;
            if (grid && n >= 8) {  // version, flags, rows and columns, then the output size
                const bool wide = (q[1] & 1) != 0;
                known = !wide || n >= 12;
                if (known) {
                    fw = wide ? Be32(q + 4) : Be16(q + 4);
                    fh = wide ? Be32(q + 8) : Be16(q + 6);
                }
            } else if (!grid) {
                known = Av1MaxFrame(q, size_t(n < 4096 ? n : 4096), &fw, &fh);
            }
            if (known && uint64_t(fw) * fh > uint64_t(scan->codedWidth) * scan->codedHeight) {
                scan->codedWidth = fw;
                scan->codedHeight = fh;
            }
        }
    }
    return true;
}

// --- image sequences -------------------------------------------------------
// libheif 1.15 reads image items only. An image sequence (.avifs, a HEIF
// burst without items) shows its first frame: the first sample of its
// picture track, with the track's codec configuration, is rewrapped as the
// one image item of a small file in memory, with the first sample of an
// alpha track as its alpha item.

struct TrackFrame {
    uint32_t id = 0;
    uint32_t handler = 0;
    uint32_t auxOf = 0;  // tref 'auxl': the track this one is the alpha of
    uint32_t codec = 0;  // av01 or hvc1
    uint16_t width = 0, height = 0;
    std::vector<Box> props;  // av1C / hvcC and colr of the sample entry
    const uint8_t* sample = nullptr;
    size_t sampleSize = 0;
};

Box Child(const uint8_t* body, size_t size, uint32_t type) {
    BoxWalker w(body, size);
    Box b;
    while (w.Next(&b))
        if (b.type == type) return b;
    return Box{};
}

bool ReadSampleTable(const Box& stbl, const uint8_t* file, size_t fileSize, TrackFrame* t) {
    Box stsd = Child(stbl.body, stbl.size, FourCc("stsd"));
    if (stsd.size < 8 + 8 + 78 - 8) return false;
    BoxWalker entries(stsd.body + 8, stsd.size - 8);
    Box entry;
    if (!entries.Next(&entry) || (entry.type != FourCc("av01") && entry.type != FourCc("hvc1")) || entry.size < 78)
        return false;
    t->codec = entry.type;
    t->width = Be16(entry.body + 24);
    t->height = Be16(entry.body + 26);
    BoxWalker inner(entry.body + 78, entry.size - 78);
    Box b;
    while (inner.Next(&b))
        if (b.type == FourCc("av1C") || b.type == FourCc("hvcC") || b.type == FourCc("colr")) t->props.push_back(b);
    Box stsz = Child(stbl.body, stbl.size, FourCc("stsz"));
    if (stsz.size < 12) return false;
    uint64_t size = Be32(stsz.body + 4);
    if (size == 0) {
        if (stsz.size < 16 || Be32(stsz.body + 8) == 0) return false;
        size = Be32(stsz.body + 12);
    }
    uint64_t offset = 0;
    Box co = Child(stbl.body, stbl.size, FourCc("stco"));
    if (co.size >= 12 && Be32(co.body + 4) > 0) {
        offset = Be32(co.body + 8);
    } else {
        co = Child(stbl.body, stbl.size, FourCc("co64"));
        if (co.size < 16 || Be32(co.body + 4) == 0) return false;
        offset = uint64_t(Be32(co.body + 8)) << 32 | Be32(co.body + 12);
    }
    if (size == 0 || offset > fileSize || size > fileSize - offset) return false;
    t->sample = file + offset;
    t->sampleSize = size_t(size);
    return true;
}

void ReadTrack(const Box& trak, const uint8_t* file, size_t fileSize, std::vector<TrackFrame>* out) {
    TrackFrame t;
    Box tkhd = Child(trak.body, trak.size, FourCc("tkhd"));
    if (tkhd.size < 24) return;
    t.id = tkhd.body[0] == 1 ? (tkhd.size >= 24 ? Be32(tkhd.body + 20) : 0) : Be32(tkhd.body + 12);
    Box tref = Child(trak.body, trak.size, FourCc("tref"));
    if (tref.body) {
        Box auxl = Child(tref.body, tref.size, FourCc("auxl"));
        if (auxl.size >= 4) t.auxOf = Be32(auxl.body);
    }
    Box mdia = Child(trak.body, trak.size, FourCc("mdia"));
    if (!mdia.body) return;
    Box hdlr = Child(mdia.body, mdia.size, FourCc("hdlr"));
    if (hdlr.size < 12) return;
    t.handler = Be32(hdlr.body + 8);
    Box minf = Child(mdia.body, mdia.size, FourCc("minf"));
    if (!minf.body) return;
    Box stbl = Child(minf.body, minf.size, FourCc("stbl"));
    if (!stbl.body || !ReadSampleTable(stbl, file, fileSize, &t)) return;
    out->push_back(std::move(t));
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
void PutType(std::vector<uint8_t>& v, uint32_t t) { Put32(v, t); }
// A box around `body`; `full` adds version 0 and the given flags.
std::vector<uint8_t> MakeBox(uint32_t type, const std::vector<uint8_t>& body, int fullFlags = -1) {
    std::vector<uint8_t> v;
    Put32(v, uint32_t(8 + (fullFlags >= 0 ? 4 : 0) + body.size()));
    PutType(v, type);
    if (fullFlags >= 0) Put32(v, uint32_t(fullFlags));
    v.insert(v.end(), body.begin(), body.end());
    return v;
}
std::vector<uint8_t> RawBox(const Box& b) {
    std::vector<uint8_t> body(b.body, b.body + b.size);
    return MakeBox(b.type, body);
}
void Append(std::vector<uint8_t>& v, const std::vector<uint8_t>& w) { v.insert(v.end(), w.begin(), w.end()); }

// Reads bits of an AV1 sequence header, most significant first; past the
// end every bit reads as zero and ok() turns false.
class BitReader {
public:
    BitReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint64_t Bits(int count) {
        uint64_t v = 0;
        for (int i = 0; i < count; ++i) {
            uint32_t bit = 0;
            if (pos_ < n_ * 8) bit = (p_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
            else ok_ = false;
            ++pos_;
            v = v << 1 | bit;
        }
        return v;
    }
    void Uvlc() {
        int zeros = 0;
        while (ok_ && zeros < 32 && Bits(1) == 0) ++zeros;
        Bits(zeros);
    }
    bool ok() const { return ok_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// The colour range of an AV1 sequence header OBU's payload: 1 full, 0
// limited, -1 when it does not parse.
int Av1SequenceRange(const uint8_t* p, size_t n) {
    BitReader r(p, n);
    const uint32_t profile = r.Bits(3);
    r.Bits(1);  // still_picture
    const bool reduced = r.Bits(1);
    bool decoderModel = false;
    int delayLength = 0;
    if (reduced) {
        r.Bits(5);
    } else {
        if (r.Bits(1)) {  // timing_info_present_flag
            r.Bits(32);
            r.Bits(32);
            if (r.Bits(1)) r.Uvlc();
            decoderModel = r.Bits(1);
            if (decoderModel) {
                delayLength = int(r.Bits(5)) + 1;
                r.Bits(32 + 5 + 5);
            }
        }
        const bool initialDelay = r.Bits(1);
        const uint32_t points = r.Bits(5) + 1;
        for (uint32_t i = 0; i < points && r.ok(); ++i) {
            r.Bits(12);
            if (r.Bits(5) > 7) r.Bits(1);
            if (decoderModel && r.Bits(1)) r.Bits(2 * delayLength + 1);
            if (initialDelay && r.Bits(1)) r.Bits(4);
        }
    }
    const int wBits = int(r.Bits(4)) + 1, hBits = int(r.Bits(4)) + 1;
    r.Bits(wBits);
    r.Bits(hBits);
    if (!reduced && r.Bits(1)) r.Bits(7);  // frame_id_numbers_present_flag
    r.Bits(3);                             // 128x128, filter intra, intra edge
    if (!reduced) {
        r.Bits(4);  // interintra, masked, warped, dual filter
        const bool orderHint = r.Bits(1);
        if (orderHint) r.Bits(2);
        uint32_t screen = 2;
        if (!r.Bits(1)) screen = r.Bits(1);
        if (screen > 0 && !r.Bits(1)) r.Bits(1);
        if (orderHint) r.Bits(3);
    }
    r.Bits(3);  // superres, cdef, restoration
    const bool high = r.Bits(1);
    if (profile == 2 && high) r.Bits(1);
    const bool mono = profile == 1 ? false : r.Bits(1);
    uint32_t cp = 2, tc = 2, mc = 2;
    if (r.Bits(1)) {
        cp = r.Bits(8);
        tc = r.Bits(8);
        mc = r.Bits(8);
    }
    int range = 1;
    if (mono || !(cp == 1 && tc == 13 && mc == 0)) range = int(r.Bits(1));
    return r.ok() ? range : -1;
}

// The colour range of the first sequence header in a run of AV1 OBUs.
int Av1Range(const uint8_t* p, size_t n) {
    size_t at = 0;
    while (at < n) {
        const uint8_t header = p[at];
        const int type = (header >> 3) & 15;
        size_t pos = at + 1 + ((header & 4) ? 1 : 0);
        uint64_t size = 0;
        if (header & 2) {
            int shift = 0;
            for (;;) {
                if (pos >= n || shift > 56) return -1;
                uint8_t b = p[pos++];
                size |= uint64_t(b & 127) << shift;
                shift += 7;
                if (!(b & 128)) break;
            }
        } else {
            size = n - std::min(pos, n);
        }
        if (pos > n || size > n - pos) return -1;
        if (type == 1) return Av1SequenceRange(p + pos, size_t(size));
        at = pos + size_t(size);
    }
    return -1;
}

// The file of one image item (and its alpha) made of the first frames.
bool SynthesizeFromTracks(const uint8_t* data, size_t size, std::vector<uint8_t>* out, bool* limitedAlpha) {
    *limitedAlpha = false;
    BoxWalker top(data, size);
    Box b, moov;
    while (top.Next(&b))
        if (b.type == FourCc("moov")) moov = b;
    if (!moov.body) return false;
    std::vector<TrackFrame> tracks;
    BoxWalker traks(moov.body, moov.size);
    while (traks.Next(&b) && tracks.size() < 64)
        if (b.type == FourCc("trak")) ReadTrack(b, data, size, &tracks);
    const TrackFrame* colour = nullptr;
    for (const TrackFrame& t : tracks)
        if ((t.handler == FourCc("pict") || t.handler == FourCc("vide")) && t.auxOf == 0 && !colour) colour = &t;
    if (!colour || colour->width == 0 || colour->height == 0) return false;
    const TrackFrame* alpha = nullptr;
    for (const TrackFrame& t : tracks)
        if (t.auxOf == colour->id && &t != colour && t.codec == colour->codec && !alpha) alpha = &t;
    // libheif takes alpha as full range; an alpha track may say otherwise
    // in its sequence header.
    if (alpha && alpha->codec == FourCc("av01")) *limitedAlpha = Av1Range(alpha->sample, alpha->sampleSize) == 0;
    const uint32_t codec = colour->codec;
    const uint32_t config = codec == FourCc("av01") ? FourCc("av1C") : FourCc("hvcC");
    const int itemCount = alpha ? 2 : 1;

    std::vector<uint8_t> ipco, ipma;
    std::vector<uint8_t> ispe;
    Put32(ispe, colour->width);
    Put32(ispe, colour->height);
    Append(ipco, MakeBox(FourCc("ispe"), ispe, 0));  // 1
    std::vector<uint8_t> colourProps{1};
    uint8_t index = 2;
    bool hasConfig = false;
    for (const Box& p : colour->props) {
        Append(ipco, RawBox(p));
        hasConfig = hasConfig || p.type == config;
        colourProps.push_back(uint8_t(p.type == config ? 0x80 | index : index));
        ++index;
    }
    if (!hasConfig) return false;
    std::vector<uint8_t> alphaProps{1};
    if (alpha) {
        bool alphaConfig = false;
        for (const Box& p : alpha->props)
            if (p.type == config) {
                Append(ipco, RawBox(p));
                alphaProps.push_back(uint8_t(0x80 | index++));
                alphaConfig = true;
            }
        if (!alphaConfig) return false;
        static const char kUrn[] = "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
        std::vector<uint8_t> urn(kUrn, kUrn + sizeof kUrn);
        Append(ipco, MakeBox(FourCc("auxC"), urn, 0));
        alphaProps.push_back(uint8_t(0x80 | index++));
    }
    Put32(ipma, uint32_t(itemCount));
    Put16(ipma, 1);
    ipma.push_back(uint8_t(colourProps.size()));
    Append(ipma, colourProps);
    if (alpha) {
        Put16(ipma, 2);
        ipma.push_back(uint8_t(alphaProps.size()));
        Append(ipma, alphaProps);
    }
    std::vector<uint8_t> iprp = MakeBox(FourCc("ipco"), ipco);
    Append(iprp, MakeBox(FourCc("ipma"), ipma, 0));

    std::vector<uint8_t> hdlr(4, 0);
    PutType(hdlr, FourCc("pict"));
    hdlr.insert(hdlr.end(), 13, 0);
    std::vector<uint8_t> pitm;
    Put16(pitm, 1);
    std::vector<uint8_t> iinf;
    Put16(iinf, uint16_t(itemCount));
    for (int i = 1; i <= itemCount; ++i) {
        std::vector<uint8_t> infe;
        Put16(infe, uint16_t(i));
        Put16(infe, 0);
        PutType(infe, codec);
        infe.push_back(0);
        std::vector<uint8_t> box = MakeBox(FourCc("infe"), infe, 0);
        box[8] = 2;  // version 2
        Append(iinf, box);
    }
    std::vector<uint8_t> iref;
    if (alpha) {
        std::vector<uint8_t> auxl;
        Put16(auxl, 2);
        Put16(auxl, 1);
        Put16(auxl, 1);
        iref = MakeBox(FourCc("iref"), MakeBox(FourCc("auxl"), auxl), 0);
    }
    // iloc: offsets of four bytes, patched once the meta box's size is known.
    auto makeIloc = [&](uint32_t mdatData) {
        std::vector<uint8_t> iloc{0x44, 0x00};
        Put16(iloc, uint16_t(itemCount));
        uint32_t at = mdatData;
        for (int i = 1; i <= itemCount; ++i) {
            const TrackFrame* t = i == 1 ? colour : alpha;
            Put16(iloc, uint16_t(i));
            Put16(iloc, 0);
            Put16(iloc, 1);
            Put32(iloc, at);
            Put32(iloc, uint32_t(t->sampleSize));
            at += uint32_t(t->sampleSize);
        }
        return MakeBox(FourCc("iloc"), iloc, 0);
    };
    std::vector<uint8_t> ftyp;
    PutType(ftyp, codec == FourCc("av01") ? FourCc("avif") : FourCc("heic"));
    Put32(ftyp, 0);
    PutType(ftyp, FourCc("mif1"));
    PutType(ftyp, codec == FourCc("av01") ? FourCc("avif") : FourCc("heic"));
    ftyp = MakeBox(FourCc("ftyp"), ftyp);
    auto makeMeta = [&](uint32_t mdatData) {
        std::vector<uint8_t> m = MakeBox(FourCc("hdlr"), hdlr, 0);
        Append(m, MakeBox(FourCc("pitm"), pitm, 0));
        Append(m, makeIloc(mdatData));
        Append(m, MakeBox(FourCc("iinf"), iinf, 0));
        Append(m, iref);
        Append(m, MakeBox(FourCc("iprp"), iprp));
        return MakeBox(FourCc("meta"), m, 0);
    };
    const uint64_t payload = uint64_t(colour->sampleSize) + (alpha ? alpha->sampleSize : 0);
    const size_t metaSize = makeMeta(0).size();
    const uint64_t mdatData = ftyp.size() + metaSize + 8;
    if (payload + mdatData > 0xFFFFFFFFull) return false;
    *out = ftyp;
    Append(*out, makeMeta(uint32_t(mdatData)));
    Put32(*out, uint32_t(8 + payload));
    PutType(*out, FourCc("mdat"));
    out->insert(out->end(), colour->sample, colour->sample + colour->sampleSize);
    if (alpha) out->insert(out->end(), alpha->sample, alpha->sample + alpha->sampleSize);
    return true;
}

// Pixel rows of libheif's output into the DIB: 8 bits a channel, BGR order.
uint8_t To8(uint32_t v, uint32_t max) { return uint8_t(v >= max ? 255 : (v * 255 + max / 2) / max); }

// Limited ("video") range to full range: 16..235 at 8 bits, scaled for more.
uint8_t Expand(uint32_t v, int bits) {
    const int64_t lo = int64_t(16) << (bits - 8), span = int64_t(219) << (bits - 8);
    int64_t x = (int64_t(v) - lo) * 255;
    if (x <= 0) return 0;
    x = (x + span / 2) / span;
    return uint8_t(x > 255 ? 255 : x);
}

void Unpremultiply(uint8_t* px) {
    const unsigned a = px[3];
    if (a == 255) return;
    for (int c = 0; c < 3; ++c) px[c] = a == 0 ? 0 : uint8_t(std::min(255u, (px[c] * 255u + a / 2) / a));
}

// libheif 1.15 hands back the nclx record it allocated even when it then
// reports an error (a value it does not know): whatever it hands back is
// freed, whatever the answer.
struct NclxRecord {
    heif_color_profile_nclx* p = nullptr;
    NclxRecord() = default;
    NclxRecord(const NclxRecord&) = delete;
    NclxRecord& operator=(const NclxRecord&) = delete;
    ~NclxRecord() { Reset(); }
    void Reset() {
        if (p) heif_nclx_color_profile_free(p);
        p = nullptr;
    }
};

// An ICC profile for nclx colours that are not sRGB already; empty when
// they are, or when the transfer is an HDR one (PQ, HLG) that a profile
// cannot bring to an SDR picture.
std::vector<uint8_t> ProfileForNclx(const heif_color_profile_nclx& n) {
    struct Primaries {
        int code;
        double rx, ry, gx, gy, bx, by, wx, wy;
    };
    static const Primaries kPrimaries[] = {
        {4, 0.67, 0.33, 0.21, 0.71, 0.14, 0.08, 0.310, 0.316},
        {5, 0.64, 0.33, 0.29, 0.60, 0.15, 0.06, 0.3127, 0.3290},
        {6, 0.630, 0.340, 0.310, 0.595, 0.155, 0.070, 0.3127, 0.3290},
        {7, 0.630, 0.340, 0.310, 0.595, 0.155, 0.070, 0.3127, 0.3290},
        {8, 0.681, 0.319, 0.243, 0.692, 0.145, 0.049, 0.310, 0.316},
        {9, 0.708, 0.292, 0.170, 0.797, 0.131, 0.046, 0.3127, 0.3290},
        {11, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.314, 0.351},
        {12, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290},
        {22, 0.630, 0.340, 0.295, 0.605, 0.155, 0.077, 0.3127, 0.3290},
    };
    const int transfer = n.transfer_characteristics;
    if (transfer == 16 || transfer == 18) return {};
    // Video transfers (BT.709, BT.601, BT.2020) are shown as sRGB, as
    // viewers do for SDR pictures; gamma and linear curves are honoured.
    double gamma = 0;
    if (transfer == 4) gamma = 2.2;
    else if (transfer == 5) gamma = 2.8;
    else if (transfer == 8) gamma = 1.0;
    const Primaries* pr = nullptr;
    for (const Primaries& p : kPrimaries)
        if (p.code == int(n.color_primaries)) pr = &p;
    if (!pr && gamma == 0) return {};
    static const Primaries kSrgb{1, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290};
    if (!pr) pr = &kSrgb;
    cmsCIExyY white{pr->wx, pr->wy, 1.0};
    cmsCIExyYTRIPLE primaries{{pr->rx, pr->ry, 1.0}, {pr->gx, pr->gy, 1.0}, {pr->bx, pr->by, 1.0}};
    cmsToneCurve* curve = nullptr;
    if (gamma > 0) {
        curve = cmsBuildGamma(nullptr, gamma);
    } else {
        const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
        curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
    }
    if (!curve) return {};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    std::vector<uint8_t> out;
    cmsUInt32Number bytes = 0;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &bytes) && bytes > 0) {
        out.resize(bytes);
        if (!cmsSaveProfileToMem(profile, out.data(), &bytes)) out.clear();
    }
    if (profile) cmsCloseProfile(profile);
    return out;
}

// The EXIF block of a HEIF item starts with the offset of its TIFF header;
// some writers put JPEG's "Exif\0\0" before that header as well.
bool ExifTiff(const std::vector<uint8_t>& block, size_t* start) {
    if (block.size() < 4) return false;
    uint64_t s = 4 + uint64_t(Be32(block.data()));
    if (s + 6 <= block.size() && std::memcmp(block.data() + s, "Exif\0\0", 6) == 0) s += 6;
    if (s + 8 > block.size()) return false;
    const uint8_t* t = block.data() + s;
    if (!((t[0] == 'I' && t[1] == 'I' && t[2] == 42 && t[3] == 0) ||
          (t[0] == 'M' && t[1] == 'M' && t[2] == 0 && t[3] == 42)))
        return false;
    *start = size_t(s);
    return true;
}

void CollectMeta(const heif_image_handle* h, DibMetadata* meta) {
    try {
        heif_item_id ids[16];
        int n = heif_image_handle_get_list_of_metadata_block_IDs(h, nullptr, ids, 16);
        for (int i = 0; i < n; ++i) {
            const char* type = heif_image_handle_get_metadata_type(h, ids[i]);
            const char* content = heif_image_handle_get_metadata_content_type(h, ids[i]);
            size_t size = heif_image_handle_get_metadata_size(h, ids[i]);
            if (!type || size == 0 || size > kHeifMetadataMax) continue;
            const bool exif = std::strcmp(type, "Exif") == 0 && meta->exif.empty();
            const bool xmp = std::strcmp(type, "mime") == 0 && content &&
                             std::strcmp(content, "application/rdf+xml") == 0;
            if (!exif && !xmp) continue;
            std::vector<uint8_t> block(size);
            if (heif_image_handle_get_metadata(h, ids[i], block.data()).code != heif_error_Ok) continue;
            if (exif) {
                size_t start = 0;
                if (ExifTiff(block, &start)) meta->exif.assign(block.begin() + std::ptrdiff_t(start), block.end());
            } else {
                static const char kXmpNs[] = "http://ns.adobe.com/xap/1.0/";
                DibSegment seg{0xE1, {}};
                seg.data.assign(kXmpNs, kXmpNs + sizeof kXmpNs);  // with its terminating zero
                seg.data.insert(seg.data.end(), block.begin(), block.end());
                meta->segments.push_back(std::move(seg));
            }
        }
        // The pixels come turned by the transform properties, which describe
        // the same turn a phone also writes into the EXIF orientation:
        // that one must not be applied again.
        meta->orientation = 0;
        heif_color_profile_type pt = heif_image_handle_get_color_profile_type(h);
        if (pt == heif_color_profile_type_prof || pt == heif_color_profile_type_rICC) {
            size_t size = heif_image_handle_get_raw_color_profile_size(h);
            if (size > 0 && size <= kMaxIccBytes) {
                meta->icc.resize(size);
                if (heif_image_handle_get_raw_color_profile(h, meta->icc.data()).code != heif_error_Ok)
                    meta->icc.clear();
            }
        }
    } catch (...) {
        *meta = DibMetadata{};
    }
}

// Owners of libheif objects.
struct HeifObjects {
    heif_context* ctx = nullptr;
    heif_image_handle* primary = nullptr;
    heif_image_handle* thumb = nullptr;
    heif_image* image = nullptr;
    heif_decoding_options* options = nullptr;
    ~HeifObjects() {
        if (image) heif_image_release(image);
        if (thumb) heif_image_handle_release(thumb);
        if (primary) heif_image_handle_release(primary);
        if (options) heif_decoding_options_free(options);
        if (ctx) heif_context_free(ctx);
    }
};

struct LibraryInit {
    LibraryInit() { heif_init(nullptr); }
};

// Bytes a decode holds at its peak per pixel: the decoder's planes, the
// interleaved copy libheif converts to, and the DIB.
uint64_t PeakBytesPerPixel(int bits, bool alpha, bool mono) {
    const uint64_t sample = bits > 8 ? 2 : 1;
    const uint64_t planes = (mono ? 1 : 3) + (alpha ? 1 : 0);
    const uint64_t interleaved = mono ? 0 : (alpha ? 4 : 3) * sample;
    return planes * sample + interleaved + 4;
}

std::atomic<uint64_t> g_budgetOverride{0};

bool TooMuchMemory(int64_t w, int64_t h, int bits, bool alpha, bool mono) {
    uint64_t budget = g_budgetOverride.load(std::memory_order_relaxed);
    if (budget == 0) budget = sizeof(void*) >= 8 ? kHeifPeakBudget64 : kHeifPeakBudget32;
    return uint64_t(w) * uint64_t(h) * PeakBytesPerPixel(bits, alpha, mono) > budget;
}

}  // namespace

void HeifSetPeakBudgetForTest(uint64_t bytes) { g_budgetOverride.store(bytes, std::memory_order_relaxed); }

bool HeifScanLimits(const uint8_t* data, size_t size, HeifScan* scan) {
    *scan = HeifScan{};
    BoxWalker top(data, size);
    Box b;
    try {
        while (top.Next(&b))
            if (b.type == FourCc("meta")) {
                ScanMeta(b.body, b.size, data, size, scan);
                break;
            }
    } catch (...) {
        return false;
    }
    return scan->items <= kHeifMaxItems && scan->tiles <= kHeifMaxTiles;
}

bool HeifLooksLike(const uint8_t* d, size_t n) {
    if (n < 12 || std::memcmp(d + 4, "ftyp", 4) != 0) return false;
    uint32_t size = Be32(d);
    if (size < 16) return false;
    size_t end = size < n ? size : n;
    static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs",
                                          "mif1", "mif2", "msf1", "avif", "avis", "miaf"};
    for (size_t at = 8; at + 4 <= end; at += 4) {
        if (at == 12) continue;  // the minor version
        for (const char* brand : kBrands)
            if (std::memcmp(d + at, brand, 4) == 0) return true;
    }
    return false;
}

int HeifReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions*, DibHolder* out,
                   DibMetadata* meta) {
    static LibraryInit init;
    HeifScan scan;
    if (!HeifScanLimits(data, size, &scan)) return 0;
    HeifObjects o;
    o.ctx = heif_context_alloc();
    if (!o.ctx) return 0;
    heif_context_set_max_decoding_threads(o.ctx, 2);
    std::vector<uint8_t> firstFrame;
    bool limitedAlpha = false;
    if (heif_context_read_from_memory_without_copy(o.ctx, data, size, nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(o.ctx, &o.primary).code != heif_error_Ok || !o.primary) {
        try {
            if (!SynthesizeFromTracks(data, size, &firstFrame, &limitedAlpha)) return 0;
        } catch (...) {
            NoteTooLarge();
            return 0;
        }
        heif_context_free(o.ctx);
        o.ctx = heif_context_alloc();
        if (!o.ctx) return 0;
        if (heif_context_read_from_memory_without_copy(o.ctx, firstFrame.data(), firstFrame.size(), nullptr).code !=
                heif_error_Ok ||
            heif_context_get_primary_image_handle(o.ctx, &o.primary).code != heif_error_Ok || !o.primary)
            return 0;
        HeifScanLimits(firstFrame.data(), firstFrame.size(), &scan);
    }
    const int fullW = heif_image_handle_get_width(o.primary), fullH = heif_image_handle_get_height(o.primary);
    const bool alpha = heif_image_handle_has_alpha_channel(o.primary) != 0;
    int bits = heif_image_handle_get_luma_bits_per_pixel(o.primary);
    size_t dibBytes = 0;
    if (!DibImageBytes(fullW, fullH, 32, &dibBytes)) {
        NoteTooLarge();
        return 0;
    }
    if (meta) CollectMeta(o.primary, meta);
    if (request) request->FullSize = PmSize{fullW, fullH};

    // A phone's own thumbnail serves a small output: it is an image of the
    // whole picture, already decoded to the same colours. Only of the whole
    // coded picture, though: where the primary image is cropped, the
    // thumbnail still shows what the crop removed. libheif reports a
    // thumbnail's size as the primary's, so its own stored size is taken,
    // turned as the primary is.
    heif_image_handle* source = o.primary;
    PmSize target{0, 0};
    const int codedW = heif_image_handle_get_ispe_width(o.primary);
    const int codedH = heif_image_handle_get_ispe_height(o.primary);
    const bool turned = codedW == fullH && codedH == fullW && codedW != codedH;
    const bool cropped = !turned && !(codedW == fullW && codedH == fullH);
    if (!cropped && request && request->TargetSize &&
        request->TargetSize(request->Context, &request->FullSize, &target) &&
        heif_image_handle_get_number_of_thumbnails(o.primary) > 0) {
        heif_item_id id = 0;
        if (heif_image_handle_get_list_of_thumbnail_IDs(o.primary, &id, 1) == 1 &&
            heif_image_handle_get_thumbnail(o.primary, id, &o.thumb).code == heif_error_Ok && o.thumb) {
            int tw = heif_image_handle_get_ispe_width(o.thumb), th = heif_image_handle_get_ispe_height(o.thumb);
            if (turned) std::swap(tw, th);
            if (HeifThumbnailServes(PmSize{fullW, fullH}, PmSize{tw, th}, target) &&
                heif_image_handle_has_alpha_channel(o.thumb) == heif_image_handle_has_alpha_channel(o.primary)) {
                source = o.thumb;
                bits = heif_image_handle_get_luma_bits_per_pixel(o.thumb);
            }
        }
    }
    const int w = heif_image_handle_get_width(source), h = heif_image_handle_get_height(source);
    if (bits <= 0 || bits > 16) bits = 8;
    if (!DibImageBytes(w, h, 32, &dibBytes) || TooMuchMemory(w, h, bits, alpha, scan.monochrome) ||
        (scan.codedWidth > 0 && TooMuchMemory(scan.codedWidth, scan.codedHeight, bits, alpha, scan.monochrome))) {
        NoteTooLarge();
        return 0;
    }

    o.options = heif_decoding_options_alloc();
    if (!o.options) return 0;
    const bool mono = scan.monochrome;
    heif_colorspace cs = mono ? heif_colorspace_monochrome : heif_colorspace_RGB;
    heif_chroma chroma = mono ? heif_chroma_monochrome
                         : bits > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_error err = heif_decode_image(source, &o.image, cs, chroma, o.options);
    const heif_channel plane = mono ? heif_channel_Y : heif_channel_interleaved;
    // A thumbnail that decodes to another shape than the picture's is not
    // the picture: its own properties turned it otherwise.
    if (source != o.primary && err.code == heif_error_Ok && o.image &&
        !HeifThumbnailServes(PmSize{fullW, fullH},
                             PmSize{heif_image_get_width(o.image, plane), heif_image_get_height(o.image, plane)},
                             target)) {
        heif_image_release(o.image);
        o.image = nullptr;
        source = o.primary;
        bits = heif_image_handle_get_luma_bits_per_pixel(o.primary);
        if (bits <= 0 || bits > 16) bits = 8;
        if (!mono)
            chroma = bits > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                              : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        err = heif_decode_image(source, &o.image, cs, chroma, o.options);
    }
    if (err.code != heif_error_Ok || !o.image) {
        if (err.code == heif_error_Memory_allocation_error) NoteTooLarge();
        return 0;
    }
    const int iw = heif_image_get_width(o.image, plane);
    const int ih = heif_image_get_height(o.image, plane);
    if (iw <= 0 || ih <= 0 || !DibImageBytes(iw, ih, 32, &dibBytes)) return 0;
    const bool dibAlpha = alpha && (mono ? heif_image_has_channel(o.image, heif_channel_Alpha) != 0 : true);
    if (!NewDib(iw, ih, dibAlpha ? 32 : mono ? 8 : 24, out)) return 0;
    DibHeader* dh = out->header;
    const bool premultiplied = heif_image_is_premultiplied_alpha(o.image) != 0;

    if (mono) {
        int stride = 0, astride = 0;
        const uint8_t* y = heif_image_get_plane_readonly(o.image, heif_channel_Y, &stride);
        const uint8_t* a = dibAlpha ? heif_image_get_plane_readonly(o.image, heif_channel_Alpha, &astride) : nullptr;
        const int ybits = heif_image_get_bits_per_pixel_range(o.image, heif_channel_Y);
        const int abits = a ? heif_image_get_bits_per_pixel_range(o.image, heif_channel_Alpha) : 8;
        if (!y || ybits < 8 || ybits > 16 || (dibAlpha && (!a || abits < 8 || abits > 16))) return 0;
        // libheif passes the luma of a grey image on as it is coded; a
        // limited-range one still needs expanding.
        bool full = true;
        NclxRecord nclx;
        if (heif_image_get_nclx_color_profile(o.image, &nclx.p).code == heif_error_Ok && nclx.p)
            full = nclx.p->full_range_flag != 0;
        if (!dibAlpha) GreyRamp(dh, 256);
        const uint32_t ymax = (1u << ybits) - 1, amax = (1u << abits) - 1;
        for (int r = 0; r < ih; ++r) {
            uint8_t* dst = TopRow(dh, out->bits, r);
            const uint8_t* yr = y + size_t(r) * size_t(stride);
            const uint8_t* ar = a ? a + size_t(r) * size_t(astride) : nullptr;
            for (int x = 0; x < iw; ++x) {
                uint32_t v = ybits > 8 ? uint32_t(yr[2 * x] | yr[2 * x + 1] << 8) : yr[x];
                uint8_t g = full ? To8(v, ymax) : Expand(v, ybits);
                if (!dibAlpha) {
                    dst[x] = g;
                    continue;
                }
                uint32_t av = abits > 8 ? uint32_t(ar[2 * x] | ar[2 * x + 1] << 8) : ar[x];
                uint8_t* px = dst + 4 * x;
                px[0] = px[1] = px[2] = g;
                px[3] = To8(av, amax);
                if (premultiplied) Unpremultiply(px);
            }
        }
    } else {
        int stride = 0;
        const uint8_t* src = heif_image_get_plane_readonly(o.image, heif_channel_interleaved, &stride);
        const int ibits = heif_image_get_bits_per_pixel_range(o.image, heif_channel_interleaved);
        if (!src || ibits < 8 || ibits > 16) return 0;
        const int channels = alpha ? 4 : 3;
        const uint32_t max = (1u << ibits) - 1;
        for (int r = 0; r < ih; ++r) {
            uint8_t* dst = TopRow(dh, out->bits, r);
            const uint8_t* s = src + size_t(r) * size_t(stride);
            if (bits > 8) {
                for (int x = 0; x < iw; ++x, s += 2 * channels, dst += channels) {
                    dst[0] = To8(uint32_t(s[4] | s[5] << 8), max);
                    dst[1] = To8(uint32_t(s[2] | s[3] << 8), max);
                    dst[2] = To8(uint32_t(s[0] | s[1] << 8), max);
                    if (alpha) dst[3] = To8(uint32_t(s[6] | s[7] << 8), max);
                    if (alpha && premultiplied) Unpremultiply(dst);
                }
            } else {
                for (int x = 0; x < iw; ++x, s += channels, dst += channels) {
                    dst[0] = s[2];
                    dst[1] = s[1];
                    dst[2] = s[0];
                    if (alpha) {
                        dst[3] = s[3];
                        if (premultiplied) Unpremultiply(dst);
                    }
                }
            }
        }
    }

    if (limitedAlpha && dibAlpha)
        for (int r = 0; r < ih; ++r) {
            uint8_t* row = TopRow(dh, out->bits, r);
            for (int x = 0; x < iw; ++x) row[4 * x + 3] = Expand(row[4 * x + 3], 8);
        }

    // A colour image described by nclx rather than a profile gets the
    // profile its primaries and transfer make, for the same conversion.
    if (meta && meta->icc.empty() && !mono) {
        try {
            NclxRecord nclx;
            if (heif_image_handle_get_nclx_color_profile(o.primary, &nclx.p).code != heif_error_Ok || !nclx.p) {
                nclx.Reset();
                heif_image_get_nclx_color_profile(o.image, &nclx.p);
            }
            if (nclx.p) meta->icc = ProfileForNclx(*nclx.p);
        } catch (...) {
            meta->icc.clear();
        }
    }
    // The handle's sides are those stored (ispe), before the transform
    // properties crop and turn the picture; the caller needs the picture's.
    if (request) {
        if (source == o.primary) request->FullSize = PmSize{iw, ih};
        else if ((int64_t(iw) - ih) * (int64_t(w) - h) < 0) request->FullSize = PmSize{fullH, fullW};
    }
    if (request && source != o.primary) {
        request->Reduction = unsigned((request->FullSize.cx + iw - 1) / iw);
        request->WholePicture = 1;
    }
    return bits * ((mono ? 1 : 3) + (alpha ? 1 : 0));
}

bool HeifThumbnailServes(PmSize full, PmSize thumb, PmSize target) {
    if (thumb.cx <= 0 || thumb.cy <= 0 || full.cx <= 0 || full.cy <= 0) return false;
    // The same picture: the sides in the same ratio, within two pixels of
    // the thumbnail's, since encoders round its sides to even numbers for
    // the halved chroma (4608x1976 gets a 320x136 thumbnail, not 320x137).
    const int64_t skew = int64_t(thumb.cx) * full.cy - int64_t(thumb.cy) * full.cx;
    const int64_t tolerance = 2 * int64_t(full.cx > full.cy ? full.cx : full.cy);
    if (skew > tolerance || -skew > tolerance) return false;
    return int64_t(thumb.cx) * kHeifThumbMarginDen > int64_t(target.cx) * kHeifThumbMarginNum &&
           int64_t(thumb.cy) * kHeifThumbMarginDen > int64_t(target.cy) * kHeifThumbMarginNum;
}

int HeifRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta) {
    int64_t size = in.Size();
    if (size <= 0) return 0;
    if (uint64_t(size) > kHeifFileLimit) {
        NoteTooLarge();
        return 0;
    }
    std::vector<uint8_t> data;
    try {
        data.resize(size_t(size));
    } catch (...) {
        NoteTooLarge();
        return 0;
    }
    if (!in.Seek(0) || !in.ReadExact(data.data(), data.size())) return 0;
    return HeifReadMemory(data.data(), data.size(), nullptr, info, out, meta);
}

}  // namespace pmio
