// PMEXIF: the camera's data taken apart into fields and laid out anew, for
// formats that keep it elsewhere than in one EXIF block (a TIFF file keeps
// it in its own IFDs). Nothing read is trusted: every entry is checked on
// its own, and what is written is built from the checked fields only, so a
// broken source can lose fields but never make a broken structure.
#include "makerlibs/pmexif.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

// Caps on what one structure may hand over: the fields of a camera block
// fit a JPEG segment (64 KB); a TIFF file's own Exif IFD is not much larger.
constexpr uint32_t kMaxEntries = 1024;
constexpr uint32_t kMaxValueBytes = 1u << 20;
constexpr uint64_t kMaxTotalBytes = 4u << 20;

constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagInteropIfd = 0xA005;
// Windows' photo tools reserve room for in-place edits (Padding) and note
// how far they moved the maker note (OffsetSchema): neither means anything
// once the fields are laid out anew.
constexpr uint16_t kTagPadding = 0xEA1C;
constexpr uint16_t kTagOffsetSchema = 0xEA1D;
constexpr uint16_t kTypeIfd = 13;
constexpr uint16_t kTypeUndefined = 7;

// Only these IFD0 tags describe the picture rather than the way its pixels
// are stored (which the new file decides for itself).
constexpr uint16_t kIfd0Kept[] = {
    0x010E,  // ImageDescription
    0x010F,  // Make
    0x0110,  // Model
    0x0112,  // Orientation
    0x011A,  // XResolution
    0x011B,  // YResolution
    0x0128,  // ResolutionUnit
    0x0131,  // Software
    0x0132,  // DateTime
    0x013B,  // Artist
    0x8298,  // Copyright
};

// Bytes of one value of a type, and the unit its bytes swap in (rationals
// are two 4-byte halves). 0 for types without a known size.
uint32_t TypeBytes(uint16_t type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
    }
}
uint32_t SwapUnit(uint16_t type) { return type == 5 || type == 10 ? 4 : TypeBytes(type); }

void Reverse(std::vector<uint8_t>* v, uint32_t unit) {
    if (unit < 2) return;
    for (size_t i = 0; i + unit <= v->size(); i += unit) std::reverse(v->begin() + long(i), v->begin() + long(i + unit));
}

// UNDEFINED values that hold numbers of their own, in the structure's byte
// order: the CFA pattern, OECF and spatial frequency tables (two SHORTs of
// columns and rows ahead), and the device settings (SHORTs and UCS-2 text).
constexpr uint16_t kTagOecf = 0x8828;
constexpr uint16_t kTagSpatialFrequency = 0xA20C;
constexpr uint16_t kTagCfaPattern = 0xA302;
constexpr uint16_t kTagDeviceSettings = 0xA40B;

// Makes such a value of a big-endian structure little-endian. False when it
// does not have the layout its tag promises: then it cannot be carried into
// another byte order truthfully and is left out.
bool EmbeddedToLittle(uint16_t tag, std::vector<uint8_t>* v) {
    if (tag != kTagOecf && tag != kTagSpatialFrequency && tag != kTagCfaPattern && tag != kTagDeviceSettings)
        return true;
    if (v->size() < 4) return false;
    if (tag == kTagDeviceSettings) {
        if (v->size() & 1) return false;
        Reverse(v, 2);
        return true;
    }
    const size_t columns = size_t((*v)[0]) << 8 | (*v)[1], rows = size_t((*v)[2]) << 8 | (*v)[3];
    size_t at = 4;
    if (tag == kTagCfaPattern) {
        // Some cameras write these two little-endian whatever the block's
        // order; those are kept as they are.
        if (4 + columns * rows != v->size())
            return 4 + (size_t((*v)[1]) << 8 | (*v)[0]) * (size_t((*v)[3]) << 8 | (*v)[2]) == v->size();
    } else {
        for (size_t c = 0; c < columns; ++c) {  // one name a column
            while (at < v->size() && (*v)[at] != 0) ++at;
            if (at++ >= v->size()) return false;
        }
        if (v->size() - at != columns * rows * 8) return false;
        // Rationals: two 4-byte halves each.
        for (size_t i = at; i + 4 <= v->size(); i += 4) std::reverse(v->begin() + long(i), v->begin() + long(i + 4));
    }
    std::swap((*v)[0], (*v)[1]);
    std::swap((*v)[2], (*v)[3]);
    return true;
}

class MemorySource : public ExifSource {
public:
    MemorySource(const uint8_t* d, size_t n) : d_(d), n_(d ? n : 0) {}
    uint64_t Size() override { return n_; }
    bool Read(uint64_t offset, void* out, size_t n) override {
        if (offset > n_ || n > n_ - offset) return false;
        std::memcpy(out, d_ + offset, n);
        return true;
    }

private:
    const uint8_t* d_;
    size_t n_;
};

class Collector {
public:
    explicit Collector(ExifSource& s) : s_(s), size_(s.Size()) {}

    bool Header(uint32_t* ifd0) {
        uint8_t h[8];
        if (!s_.Read(0, h, 8)) return false;
        if (h[0] == 'I' && h[1] == 'I') big_ = false;
        else if (h[0] == 'M' && h[1] == 'M') big_ = true;
        else return false;
        if (U16(h + 2) != 42) return false;  // BigTIFF (43) holds no EXIF here
        *ifd0 = U32(h + 4);
        return true;
    }

    // Reads the table of the IFD at `offset`; false when it is not inside.
    bool Table(uint32_t offset, std::vector<uint8_t>* table) {
        uint8_t c[2];
        if (offset < 8 || !s_.Read(offset, c, 2)) return false;
        uint32_t count = U16(c);
        if (count == 0 || count > kMaxEntries) return false;
        table->resize(size_t(count) * 12);
        return s_.Read(uint64_t(offset) + 2, table->data(), table->size());
    }

    // The field of the entry at `e`, its values read and made little-endian.
    // False for an entry that cannot be carried.
    bool Field(const uint8_t* e, ExifField* f) {
        f->tag = U16(e);
        f->type = U16(e + 2);
        f->count = U32(e + 4);
        uint64_t bytes = uint64_t(TypeBytes(f->type)) * f->count;
        if (bytes == 0 || bytes > kMaxValueBytes || total_ + bytes > kMaxTotalBytes) return false;
        if (bytes <= 4) {
            f->value.assign(e + 8, e + 8 + bytes);
        } else {
            uint32_t off = U32(e + 8);
            if (off < 8 || off > size_ || bytes > size_ - off) return false;
            f->value.resize(size_t(bytes));
            if (!s_.Read(off, f->value.data(), f->value.size())) return false;
        }
        if (big_) Reverse(&f->value, SwapUnit(f->type));
        if (big_ && f->type == kTypeUndefined && !EmbeddedToLittle(f->tag, &f->value)) return false;
        total_ += bytes;
        return true;
    }

    // The offset a link entry (LONG or IFD, one value) holds.
    bool Link(const uint8_t* e, uint32_t* offset) const {
        uint16_t type = U16(e + 2);
        if ((type != 4 && type != kTypeIfd) || U32(e + 4) != 1) return false;
        *offset = U32(e + 8);
        return true;
    }

    // Every carried field of a sub-IFD: no links, no maker note.
    void SubIfd(uint32_t offset, std::vector<ExifField>* out) {
        std::vector<uint8_t> table;
        if (!Table(offset, &table)) return;
        for (size_t at = 0; at < table.size(); at += 12) {
            ExifField f;
            uint16_t tag = U16(&table[at]);
            if (tag == kTagMakerNote || tag == kTagInteropIfd || tag == kTagPadding || tag == kTagOffsetSchema ||
                tag == kExifTagExifIfd || tag == kExifTagGpsIfd || U16(&table[at + 2]) == kTypeIfd)
                continue;
            if (Field(&table[at], &f)) out->push_back(std::move(f));
        }
    }

    uint16_t U16(const uint8_t* p) const { return big_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[0] | p[1] << 8); }
    uint32_t U32(const uint8_t* p) const {
        return big_ ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                    : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }

private:
    ExifSource& s_;
    uint64_t size_;
    bool big_ = false;
    uint64_t total_ = 0;
};

// Sorted by tag, the first of a repeated tag kept (as readers take it).
void Tidy(std::vector<ExifField>* fields) {
    std::stable_sort(fields->begin(), fields->end(), [](const ExifField& a, const ExifField& b) { return a.tag < b.tag; });
    fields->erase(std::unique(fields->begin(), fields->end(),
                              [](const ExifField& a, const ExifField& b) { return a.tag == b.tag; }),
                  fields->end());
}

// Lays out IFDs one after the other, each table followed by its values, in
// little-endian order: the fields are already, and libtiff writes files in
// the order of the machine.
class Layout {
public:
    Layout(uint64_t base, std::vector<uint8_t>* out) : base_(base), o_(*out) {}

    static uint64_t IfdBytes(const std::vector<ExifField>& fields) {
        uint64_t n = 2 + 12 * uint64_t(fields.size()) + 4;
        for (const ExifField& f : fields)
            if (f.value.size() > 4) n += f.value.size() + (f.value.size() & 1);
        return n;
    }

    // The file offset the next IFD will have.
    uint64_t Next() const { return base_ + o_.size(); }

    // `links` are extra LONG entries (tag, offset) merged in tag order.
    void Ifd(const std::vector<ExifField>& fields, const std::vector<std::pair<uint16_t, uint32_t>>& links) {
        std::vector<ExifField> all = fields;
        for (const auto& [tag, offset] : links) {
            ExifField f{tag, 4, 1, {}};
            for (int i = 0; i < 4; ++i) f.value.push_back(uint8_t(offset >> (8 * i)));
            all.push_back(std::move(f));
        }
        std::stable_sort(all.begin(), all.end(), [](const ExifField& a, const ExifField& b) { return a.tag < b.tag; });
        size_t table = o_.size();
        uint64_t data = Next() + 2 + 12 * uint64_t(all.size()) + 4;
        o_.resize(table + 2 + 12 * all.size() + 4, 0);
        Put16(table, uint16_t(all.size()));
        for (size_t i = 0; i < all.size(); ++i) {
            const ExifField& f = all[i];
            size_t e = table + 2 + 12 * i;
            Put16(e, f.tag);
            Put16(e + 2, f.type);
            Put32(e + 4, f.count);
            const std::vector<uint8_t>& v = f.value;
            if (v.size() <= 4) {
                std::copy(v.begin(), v.end(), o_.begin() + long(e + 8));
            } else {
                Put32(e + 8, uint32_t(data));
                o_.insert(o_.end(), v.begin(), v.end());
                if (v.size() & 1) o_.push_back(0);
                data += v.size() + (v.size() & 1);
            }
        }
        // The next-IFD link stays 0: these IFDs end no chain.
    }

private:
    void Put16(size_t at, uint16_t v) {
        o_[at] = uint8_t(v);
        o_[at + 1] = uint8_t(v >> 8);
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) o_[at + i] = uint8_t(v >> (8 * i));
    }
    uint64_t base_;
    std::vector<uint8_t>& o_;
};

}  // namespace

bool Exif_CollectFields(ExifSource& source, ExifFields* out) {
    *out = ExifFields{};
    try {
        Collector c(source);
        uint32_t ifd0 = 0;
        std::vector<uint8_t> table;
        if (!c.Header(&ifd0) || !c.Table(ifd0, &table)) return false;
        uint32_t exifAt = 0, gpsAt = 0;
        for (size_t at = 0; at < table.size(); at += 12) {
            const uint8_t* e = &table[at];
            uint16_t tag = c.U16(e);
            if (tag == kExifTagExifIfd && !exifAt) {
                c.Link(e, &exifAt);
            } else if (tag == kExifTagGpsIfd && !gpsAt) {
                c.Link(e, &gpsAt);
            } else if (std::find(std::begin(kIfd0Kept), std::end(kIfd0Kept), tag) != std::end(kIfd0Kept)) {
                ExifField f;
                if (c.Field(e, &f)) out->ifd0.push_back(std::move(f));
            }
        }
        // A link back to IFD0 or to the other sub-IFD is a broken block's
        // loop, not data.
        if (exifAt && exifAt != ifd0) c.SubIfd(exifAt, &out->exif);
        if (gpsAt && gpsAt != ifd0 && gpsAt != exifAt) c.SubIfd(gpsAt, &out->gps);
        Tidy(&out->ifd0);
        Tidy(&out->exif);
        Tidy(&out->gps);
        return true;
    } catch (const std::bad_alloc&) {
        *out = ExifFields{};
        return false;
    }
}

bool Exif_CollectFields(const uint8_t* data, size_t size, ExifFields* out) {
    MemorySource m(data, size);
    return Exif_CollectFields(m, out);
}

std::vector<uint8_t> Exif_BuildBlock(const ExifFields& fields) {
    std::vector<uint8_t> out;
    if (fields.empty()) return out;
    out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    // IFD0 comes first; its links need the sizes of what follows it.
    uint64_t ifd0Bytes = Layout::IfdBytes(fields.ifd0) + 12 * (!fields.exif.empty() + !fields.gps.empty());
    uint64_t exifAt = fields.exif.empty() ? 0 : 8 + ifd0Bytes;
    uint64_t gpsAt = fields.gps.empty() ? 0 : 8 + ifd0Bytes + (exifAt ? Layout::IfdBytes(fields.exif) : 0);
    if (8 + ifd0Bytes + Layout::IfdBytes(fields.exif) + Layout::IfdBytes(fields.gps) > 0xFFFFFFFFu) return {};
    std::vector<std::pair<uint16_t, uint32_t>> links;
    if (exifAt) links.emplace_back(kExifTagExifIfd, uint32_t(exifAt));
    if (gpsAt) links.emplace_back(kExifTagGpsIfd, uint32_t(gpsAt));
    std::vector<uint8_t> body;
    Layout l(8, &body);
    l.Ifd(fields.ifd0, links);
    if (exifAt) l.Ifd(fields.exif, {});
    if (gpsAt) l.Ifd(fields.gps, {});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool Exif_BuildSubIfds(const ExifFields& fields, uint64_t base, std::vector<uint8_t>* out,
                       uint32_t* exifAt, uint32_t* gpsAt) {
    out->clear();
    *exifAt = *gpsAt = 0;
    if ((fields.exif.empty() && fields.gps.empty()) || (base & 1)) return false;
    if (base + Layout::IfdBytes(fields.exif) + Layout::IfdBytes(fields.gps) > 0xFFFFFFFFu) return false;
    Layout l(base, out);
    if (!fields.exif.empty()) {
        *exifAt = uint32_t(l.Next());
        l.Ifd(fields.exif, {});
    }
    if (!fields.gps.empty()) {
        *gpsAt = uint32_t(l.Next());
        l.Ifd(fields.gps, {});
    }
    return true;
}

// --- XMP and IPTC -------------------------------------------------------------

namespace {

constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // with its NUL: 29 bytes
constexpr char kPhotoshopSignature[] = "Photoshop 3.0";            // with its NUL: 14 bytes
constexpr uint16_t kIptcResource = 0x0404;

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

const uint8_t* Exif_XmpFromApp1(const uint8_t* payload, size_t payloadSize, size_t* size) {
    *size = 0;
    if (!payload || payloadSize <= sizeof kXmpSignature ||
        std::memcmp(payload, kXmpSignature, sizeof kXmpSignature) != 0)
        return nullptr;
    *size = payloadSize - sizeof kXmpSignature;
    return payload + sizeof kXmpSignature;
}

const uint8_t* Exif_IptcFromApp13(const uint8_t* payload, size_t payloadSize, size_t* size) {
    *size = 0;
    if (!payload || payloadSize < sizeof kPhotoshopSignature ||
        std::memcmp(payload, kPhotoshopSignature, sizeof kPhotoshopSignature) != 0)
        return nullptr;
    // Image resources: "8BIM", id, a Pascal name padded to even length, a
    // size, the data padded to even length.
    size_t at = sizeof kPhotoshopSignature;
    while (payloadSize - at >= 12) {
        const uint8_t* r = payload + at;
        if (std::memcmp(r, "8BIM", 4) != 0) return nullptr;
        uint16_t id = uint16_t(r[4] << 8 | r[5]);
        size_t name = (size_t(1) + r[6] + 1) & ~size_t(1);
        if (payloadSize - at < 6 + name + 4) return nullptr;
        uint32_t bytes = Be32(r + 6 + name);
        size_t data = at + 6 + name + 4;
        if (bytes > payloadSize - data) return nullptr;
        if (id == kIptcResource) {
            if (bytes == 0) return nullptr;
            *size = bytes;
            return payload + data;
        }
        at = data + bytes + (bytes & 1);
        if (at > payloadSize) return nullptr;
    }
    return nullptr;
}

std::vector<uint8_t> Exif_XmpApp1(const uint8_t* xmp, size_t size) {
    std::vector<uint8_t> out(kXmpSignature, kXmpSignature + sizeof kXmpSignature);
    out.insert(out.end(), xmp, xmp + size);
    return out;
}

std::vector<uint8_t> Exif_IptcApp13(const uint8_t* iptc, size_t size) {
    std::vector<uint8_t> out(kPhotoshopSignature, kPhotoshopSignature + sizeof kPhotoshopSignature);
    const uint8_t head[] = {'8', 'B', 'I', 'M', uint8_t(kIptcResource >> 8), uint8_t(kIptcResource & 0xFF), 0, 0,
                            uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), iptc, iptc + size);
    if (size & 1) out.push_back(0);
    return out;
}

namespace {

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Replaces every plain-number value of the property `name` in `text`. One
// pass that copies: a packet of megabytes with a match every few bytes
// must not cost a move of the rest per match.
void SetXmpNumber(std::string* text, const char* name, uint32_t value) {
    const std::string& t = *text;
    const std::string key(name), number = std::to_string(value);
    std::string out;
    size_t copied = 0;
    for (size_t at = t.find(key); at != std::string::npos; at = t.find(key, at + 1)) {
        // Only the property itself: not a closing tag, not a longer name.
        if (at > 0 && !IsSpace(uint8_t(t[at - 1])) && t[at - 1] != '<') continue;
        size_t v = at + key.size();
        while (v < t.size() && IsSpace(uint8_t(t[v]))) ++v;
        if (v >= t.size()) break;
        char close;
        if (t[v] == '=') {
            ++v;
            while (v < t.size() && IsSpace(uint8_t(t[v]))) ++v;
            if (v >= t.size() || (t[v] != '"' && t[v] != '\'')) continue;
            close = t[v++];
        } else if (t[v] == '>') {
            ++v;
            close = '<';
        } else {
            continue;
        }
        size_t end = t.find(close, v);
        if (end == std::string::npos) break;
        size_t a = v, b = end;
        while (a < b && IsSpace(uint8_t(t[a]))) ++a;
        while (b > a && IsSpace(uint8_t(t[b - 1]))) --b;
        if (a == b) continue;
        bool digits = true;
        for (size_t i = a; i < b && digits; ++i) digits = t[i] >= '0' && t[i] <= '9';
        if (!digits) continue;
        out.append(t, copied, a - copied);
        out += number;
        copied = b;
        at = b;
    }
    if (copied == 0) return;
    out.append(t, copied, std::string::npos);
    text->swap(out);
}

}  // namespace

std::vector<uint8_t> Exif_XmpForOutput(const uint8_t* xmp, size_t size, const ExifOutput& o) {
    std::string text(reinterpret_cast<const char*>(xmp), size);
    SetXmpNumber(&text, "tiff:Orientation", o.orientation);
    SetXmpNumber(&text, "tiff:ImageWidth", o.width);
    SetXmpNumber(&text, "tiff:ImageLength", o.height);
    SetXmpNumber(&text, "exif:PixelXDimension", o.width);
    SetXmpNumber(&text, "exif:PixelYDimension", o.height);
    if (o.srgb) SetXmpNumber(&text, "exif:ColorSpace", 1);
    return std::vector<uint8_t>(text.begin(), text.end());
}
