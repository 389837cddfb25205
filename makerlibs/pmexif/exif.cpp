// PMEXIF: reading the orientation of an EXIF block and preparing the block
// for a converted image. Offsets in the block count from its first byte (the
// byte-order mark); every one is checked before use.
#include "makerlibs/pmexif.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t kTagImageWidth = 0x0100;
constexpr uint16_t kTagImageLength = 0x0101;
constexpr uint16_t kTagStripOffsets = 0x0111;
constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagStripByteCounts = 0x0117;
constexpr uint16_t kTagThumbOffset = 0x0201;
constexpr uint16_t kTagThumbLength = 0x0202;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagPixelX = 0xA002;
constexpr uint16_t kTagPixelY = 0xA003;
constexpr uint16_t kTagInteropIfd = 0xA005;
constexpr uint16_t kTagColorSpace = 0xA001;
constexpr uint16_t kTagInteropIndex = 0x0001;
constexpr uint32_t kColorSpaceSrgb = 1;

constexpr uint16_t kTypeAscii = 2;

constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;

// Bytes of one value of a TIFF field type; 0 for types this reader does not
// know (their values are never looked at, and take no room it can name).
uint32_t TypeBytes(uint16_t type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
    case 3: case 8: return 2;                  // SHORT, SSHORT
    case 4: case 9: case 11: case 13: return 4;  // LONG, SLONG, FLOAT, IFD
    case 5: case 10: case 12: return 8;        // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
    }
}

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    size_t at;  // offset of the 12-byte entry
};

struct Region {
    size_t begin, end;
};

class Tiff {
public:
    Tiff(const uint8_t* data, size_t size) : d_(data), n_(data ? size : 0) {}

    // Checks the header; false for anything that is not a TIFF structure.
    bool Open(uint32_t* ifd0) {
        if (n_ < 8) return false;
        if (d_[0] == 'I' && d_[1] == 'I') big_ = false;
        else if (d_[0] == 'M' && d_[1] == 'M') big_ = true;
        else return false;
        if (U16(2) != 42) return false;
        *ifd0 = U32(4);
        return true;
    }

    uint16_t U16(size_t at) const {
        return big_ ? uint16_t(d_[at] << 8 | d_[at + 1]) : uint16_t(d_[at] | d_[at + 1] << 8);
    }
    uint32_t U32(size_t at) const {
        return big_ ? uint32_t(d_[at]) << 24 | uint32_t(d_[at + 1]) << 16 | uint32_t(d_[at + 2]) << 8 | d_[at + 3]
                    : uint32_t(d_[at + 3]) << 24 | uint32_t(d_[at + 2]) << 16 | uint32_t(d_[at + 1]) << 8 | d_[at];
    }
    bool BigEndian() const { return big_; }
    size_t Size() const { return n_; }

    // The entries of the IFD at `offset`, its table's extent, and the offset
    // of the next IFD (0 when the table ends the block without one). False
    // when the table does not lie inside the block.
    bool ReadIfd(uint32_t offset, std::vector<Entry>* entries, Region* table, uint32_t* next) const {
        entries->clear();
        if (offset < 8 || uint64_t(offset) + 2 > n_) return false;
        uint32_t count = U16(offset);
        uint64_t end = uint64_t(offset) + 2 + 12ull * count;
        if (end > n_) return false;
        for (uint32_t i = 0; i < count; ++i) {
            size_t at = offset + 2 + 12 * size_t(i);
            entries->push_back(Entry{U16(at), U16(at + 2), U32(at + 4), at});
        }
        *next = end + 4 <= n_ ? U32(size_t(end)) : 0;
        *table = Region{offset, size_t(end + 4 <= n_ ? end + 4 : end)};
        return true;
    }

    // Where an entry's values lie: inside the entry when they fit 4 bytes,
    // else at the offset it holds. False when they reach outside the block
    // or the type is unknown.
    bool Values(const Entry& e, Region* where) const {
        uint64_t bytes = uint64_t(TypeBytes(e.type)) * e.count;
        if (bytes == 0) return false;
        if (bytes <= 4) {
            *where = Region{e.at + 8, size_t(e.at + 8 + bytes)};
            return true;
        }
        uint32_t off = U32(e.at + 8);
        if (off < 8 || off + bytes > n_) return false;
        *where = Region{off, size_t(off + bytes)};
        return true;
    }

    // The first value of a SHORT or LONG entry.
    bool Scalar(const Entry& e, uint32_t* value) const {
        Region r;
        if (e.count < 1 || !Values(e, &r)) return false;
        if (e.type == kTypeShort) *value = U16(r.begin);
        else if (e.type == kTypeLong) *value = U32(r.begin);
        else return false;
        return true;
    }

private:
    const uint8_t* d_;
    size_t n_;
    bool big_ = false;
};

const Entry* Find(const std::vector<Entry>& entries, uint16_t tag) {
    for (const Entry& e : entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

int OrientationOf(const Tiff& t, const std::vector<Entry>& ifd0) {
    const Entry* e = Find(ifd0, kTagOrientation);
    uint32_t v = 0;
    if (!e || !t.Scalar(*e, &v) || v < 1 || v > 8) return kExifUpright;
    return int(v);
}

// Writes into the copy with the block's byte order.
class Patcher {
public:
    Patcher(std::vector<uint8_t>* out, bool big) : o_(*out), big_(big) {}
    void U16(size_t at, uint16_t v) {
        o_[at + (big_ ? 0 : 1)] = uint8_t(v >> 8);
        o_[at + (big_ ? 1 : 0)] = uint8_t(v);
    }
    void U32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) o_[at + (big_ ? 3 - i : i)] = uint8_t(v >> (8 * i));
    }
    // Makes the entry one SHORT (or one LONG when the value needs it) held
    // inside the entry itself, whatever it was before.
    void SetScalar(size_t entryAt, uint32_t value) {
        bool asShort = value <= 0xFFFF;
        U16(entryAt + 2, asShort ? kTypeShort : kTypeLong);
        U32(entryAt + 4, 1);
        U32(entryAt + 8, 0);
        if (asShort) U16(entryAt + 8, uint16_t(value));
        else U32(entryAt + 8, value);
    }

private:
    std::vector<uint8_t>& o_;
    bool big_;
};

// The extents an IFD keeps in use: its table and the values of its entries.
void AddUsed(const Tiff& t, const std::vector<Entry>& entries, const Region& table, std::vector<Region>* used) {
    used->push_back(table);
    for (const Entry& e : entries) {
        Region r;
        if (t.Values(e, &r)) used->push_back(r);
    }
}

// Sorted, non-empty, non-overlapping extents. A hostile block may name the
// same megabyte from thousands of entries: everything below works on these
// merged intervals, never byte by byte per entry.
std::vector<Region> Merged(std::vector<Region> regions) {
    std::vector<Region> out;
    std::sort(regions.begin(), regions.end(), [](const Region& a, const Region& b) { return a.begin < b.begin; });
    for (const Region& r : regions) {
        if (r.begin >= r.end) continue;
        if (!out.empty() && r.begin <= out.back().end) {
            if (r.end > out.back().end) out.back().end = r.end;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// Clears the bytes of `removed` that no extent of `kept` covers. Both are
// merged, so the work is one walk over the two lists plus the bytes cleared.
void ClearOutside(const std::vector<Region>& removed, const std::vector<Region>& kept, std::vector<uint8_t>* out) {
    size_t k = 0;
    for (const Region& r : removed) {
        size_t at = r.begin;
        const size_t end = std::min(r.end, out->size());
        while (k < kept.size() && kept[k].end <= at) ++k;
        for (size_t j = k; at < end; ++j) {
            const size_t stop = j < kept.size() ? std::min(kept[j].begin, end) : end;
            if (stop > at) std::fill(out->begin() + long(at), out->begin() + long(stop), uint8_t(0));
            if (j >= kept.size()) break;
            at = std::max(at, kept[j].end);
        }
    }
}

// Follows a sub-IFD pointer of `entries` once.
bool SubIfd(const Tiff& t, const std::vector<Entry>& entries, uint16_t tag, std::vector<Entry>* sub, Region* table) {
    const Entry* e = Find(entries, tag);
    uint32_t offset = 0, next = 0;
    if (!e || e->count < 1 || (e->type != kTypeLong && e->type != 13) || !t.Scalar(Entry{e->tag, kTypeLong, 1, e->at}, &offset))
        return false;
    return t.ReadIfd(offset, sub, table, &next);
}

}  // namespace

int Exif_OrientationFromBytes(const uint8_t* data, size_t size) {
    Tiff t(data, size);
    uint32_t ifd0 = 0, next = 0;
    std::vector<Entry> entries;
    Region table;
    if (!t.Open(&ifd0) || !t.ReadIfd(ifd0, &entries, &table, &next)) return kExifUpright;
    return OrientationOf(t, entries);
}

const uint8_t* Exif_TiffFromApp1(const uint8_t* payload, size_t payloadSize, size_t* size) {
    static const uint8_t kSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
    *size = 0;
    if (!payload || payloadSize <= sizeof kSignature || std::memcmp(payload, kSignature, sizeof kSignature) != 0)
        return nullptr;
    *size = payloadSize - sizeof kSignature;
    return payload + sizeof kSignature;
}

ExifSummary Exif_Inspect(const uint8_t* data, size_t size) {
    ExifSummary s{false, 0, false, false, -1, -1, -1, -1};
    Tiff t(data, size);
    uint32_t ifd0 = 0, next = 0;
    std::vector<Entry> entries, sub;
    Region table;
    if (!t.Open(&ifd0) || !t.ReadIfd(ifd0, &entries, &table, &next)) return s;
    s.valid = true;
    uint32_t v = 0;
    if (const Entry* e = Find(entries, kTagOrientation); e && t.Scalar(*e, &v)) s.orientation = int(v);
    if (const Entry* e = Find(entries, kTagImageWidth); e && t.Scalar(*e, &v)) s.imageWidth = v;
    if (const Entry* e = Find(entries, kTagImageLength); e && t.Scalar(*e, &v)) s.imageHeight = v;
    if (SubIfd(t, entries, kTagExifIfd, &sub, &table)) {
        if (const Entry* e = Find(sub, kTagPixelX); e && t.Scalar(*e, &v)) s.pixelWidth = v;
        if (const Entry* e = Find(sub, kTagPixelY); e && t.Scalar(*e, &v)) s.pixelHeight = v;
    }
    s.hasIfd1 = next != 0;
    uint32_t after = 0;
    if (next != 0 && t.ReadIfd(next, &sub, &table, &after)) {
        uint32_t off = 0, len = 0;
        const Entry* o = Find(sub, kTagThumbOffset);
        const Entry* l = Find(sub, kTagThumbLength);
        if (o && l && t.Scalar(*o, &off) && t.Scalar(*l, &len) && len > 0 && uint64_t(off) + len <= size)
            s.hasThumbnail = true;
        if (Find(sub, kTagStripOffsets)) s.hasThumbnail = true;
    }
    return s;
}

bool Exif_PrepareForOutput(const uint8_t* data, size_t size, const ExifOutput& o, std::vector<uint8_t>* out) {
    out->clear();
    Tiff t(data, size);
    uint32_t ifd0 = 0, next = 0;
    std::vector<Entry> entries;
    Region table0;
    if (!t.Open(&ifd0) || !t.ReadIfd(ifd0, &entries, &table0, &next)) return false;
    out->assign(data, data + size);
    Patcher p(out, t.BigEndian());

    std::vector<Region> used{Region{0, 8}};
    AddUsed(t, entries, table0, &used);
    if (const Entry* e = Find(entries, kTagOrientation)) p.SetScalar(e->at, o.orientation);
    if (const Entry* e = Find(entries, kTagImageWidth)) p.SetScalar(e->at, o.width);
    if (const Entry* e = Find(entries, kTagImageLength)) p.SetScalar(e->at, o.height);

    std::vector<Entry> exif, sub;
    Region table;
    if (SubIfd(t, entries, kTagExifIfd, &exif, &table)) {
        AddUsed(t, exif, table, &used);
        if (const Entry* e = Find(exif, kTagPixelX)) p.SetScalar(e->at, o.width);
        if (const Entry* e = Find(exif, kTagPixelY)) p.SetScalar(e->at, o.height);
        // Pixels brought to sRGB must not still claim another space, or a
        // reader that trusts the tag (Uncalibrated, with the DCF option
        // file's "R03" for Adobe RGB) gives them that space's colours again.
        if (o.srgb) {
            if (const Entry* e = Find(exif, kTagColorSpace)) p.SetScalar(e->at, kColorSpaceSrgb);
        }
        if (SubIfd(t, exif, kTagInteropIfd, &sub, &table)) {
            AddUsed(t, sub, table, &used);
            const Entry* index = Find(sub, kTagInteropIndex);
            Region r;
            if (o.srgb && index && index->type == kTypeAscii && t.Values(*index, &r) && r.end - r.begin >= 3 &&
                std::memcmp(data + r.begin, "R03", 3) == 0)
                std::memcpy(out->data() + r.begin, "R98", 3);
        }
    }
    if (SubIfd(t, entries, kTagGpsIfd, &sub, &table)) AddUsed(t, sub, table, &used);

    if (next == 0) return true;
    // Cut the link to IFD1 (the last 4 bytes of IFD0's table), then clear
    // what only IFD1 used: its table, its values and the thumbnail.
    p.U32(table0.begin + 2 + 12 * entries.size(), 0);
    std::vector<Region> removed;
    uint32_t after = 0;
    if (t.ReadIfd(next, &sub, &table, &after)) {
        AddUsed(t, sub, table, &removed);
        uint32_t off = 0, len = 0;
        const Entry* ol = Find(sub, kTagThumbOffset);
        const Entry* l = Find(sub, kTagThumbLength);
        if (ol && l && t.Scalar(*ol, &off) && t.Scalar(*l, &len) && uint64_t(off) + len <= size)
            removed.push_back(Region{off, size_t(off) + len});
        // An uncompressed thumbnail keeps its rows in strips. Offsets and
        // counts are SHORTs or LONGs; any other type says nothing about
        // where the strips are (and its values are not 2 or 4 bytes wide).
        const Entry* so = Find(sub, kTagStripOffsets);
        const Entry* sc = Find(sub, kTagStripByteCounts);
        auto sized = [](const Entry* e) { return e->type == kTypeShort || e->type == kTypeLong; };
        Region ro, rc;
        if (so && sc && so->count == sc->count && sized(so) && sized(sc) && t.Values(*so, &ro) && t.Values(*sc, &rc)) {
            const size_t step = TypeBytes(so->type), cstep = TypeBytes(sc->type);
            for (uint32_t i = 0; i < so->count; ++i) {
                uint32_t a = step == 2 ? t.U16(ro.begin + i * step) : t.U32(ro.begin + i * step);
                uint32_t b = cstep == 2 ? t.U16(rc.begin + i * cstep) : t.U32(rc.begin + i * cstep);
                if (uint64_t(a) + b <= size) removed.push_back(Region{a, size_t(a) + b});
            }
        }
    }
    removed = Merged(std::move(removed));
    if (removed.empty()) return true;

    // A byte that a kept IFD still uses is never cleared, however the links
    // of a broken block overlap.
    used = Merged(std::move(used));
    ClearOutside(removed, used, out);
    // Camera blocks put IFD1 and the thumbnail last: end the block there.
    // Bytes between the kept data and IFD1 stay (maker notes may point there).
    const size_t usedEnd = used.back().end, removedStart = removed.front().begin;
    if (removedStart >= usedEnd && removedStart >= 8) out->resize(removedStart);
    return true;
}

bool Exif_PrepareForOutput(const uint8_t* data, size_t size, uint32_t orientation, uint32_t width, uint32_t height,
                           std::vector<uint8_t>* out) {
    return Exif_PrepareForOutput(data, size, ExifOutput{orientation, width, height, false}, out);
}
