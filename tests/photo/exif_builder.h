// Builds EXIF blocks (TIFF structures) the way cameras lay them out: header,
// IFD0, the Exif sub-IFD, a maker note, IFD1 and its JPEG thumbnail last.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace exiftest {

struct Field {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::vector<uint8_t> value;  // raw bytes in the block's byte order
};

class Builder {
public:
    explicit Builder(bool bigEndian) : big_(bigEndian) {}

    std::vector<uint8_t> Short(uint16_t v) const {
        return big_ ? std::vector<uint8_t>{uint8_t(v >> 8), uint8_t(v)} : std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)};
    }
    std::vector<uint8_t> Long(uint32_t v) const {
        std::vector<uint8_t> b(4);
        for (int i = 0; i < 4; ++i) b[big_ ? 3 - i : i] = uint8_t(v >> (8 * i));
        return b;
    }

    // A camera-like block: IFD0 with Make, Orientation (0 = no tag), the
    // Exif pointer; the Exif IFD with pixel sizes and a maker note; IFD1
    // with a thumbnail of `thumbBytes` bytes (0 = no IFD1).
    std::vector<uint8_t> Camera(int orientation, uint32_t pixelW, uint32_t pixelH, size_t thumbBytes = 64) {
        std::vector<Field> ifd0;
        ifd0.push_back(Field{0x010F, 2, 6, {'C', 'a', 'n', 'o', 'n', 0}});
        if (orientation) ifd0.push_back(Field{0x0112, 3, 1, Short(uint16_t(orientation))});
        ifd0.push_back(Field{0x8769, 4, 1, Long(0)});  // patched below
        std::vector<Field> exif;
        exif.push_back(Field{0x927C, 7, 12, {'M', 'A', 'K', 'E', 'R', 'N', 'O', 'T', 'E', '!', '!', '!'}});
        exif.push_back(Field{0xA002, 4, 1, Long(pixelW)});
        exif.push_back(Field{0xA003, 3, 1, Short(uint16_t(pixelH))});

        std::vector<uint8_t> out = Header();
        size_t ifd0At = out.size();
        size_t exifAt = ifd0At + IfdSize(ifd0);
        size_t ifd1At = exifAt + IfdSize(exif);
        ifd0.back().value = Long(uint32_t(exifAt));
        Put(&out, ifd0, thumbBytes ? uint32_t(ifd1At) : 0);
        Put(&out, exif, 0);
        if (thumbBytes) {
            std::vector<Field> ifd1;
            ifd1.push_back(Field{0x0103, 3, 1, Short(6)});
            ifd1.push_back(Field{0x0201, 4, 1, Long(0)});
            ifd1.push_back(Field{0x0202, 4, 1, Long(uint32_t(thumbBytes))});
            size_t thumbAt = ifd1At + IfdSize(ifd1);
            ifd1[1].value = Long(uint32_t(thumbAt));
            Put(&out, ifd1, 0);
            thumbAt_ = out.size();
            for (size_t i = 0; i < thumbBytes; ++i) out.push_back(uint8_t(0xD8 + i));
        }
        return out;
    }

    std::vector<uint8_t> Rational(uint32_t num, uint32_t den) const {
        std::vector<uint8_t> v = Long(num), d = Long(den);
        v.insert(v.end(), d.begin(), d.end());
        return v;
    }
    static std::vector<uint8_t> Ascii(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s) + 1); }

    // A fuller camera block: IFD0 with Make, Model, Orientation, DateTime
    // and links; the Exif IFD with exposure 1/250 s, f/2.8, ISO 200, the time
    // taken, a maker note, pixel sizes and an interoperability IFD; a GPS
    // IFD; IFD1 with a thumbnail. `adobe`: the colour space a camera set to
    // Adobe RGB states (Uncalibrated, interoperability index "R03").
    std::vector<uint8_t> Photo(int orientation, uint32_t pixelW, uint32_t pixelH, bool adobe = false) {
        std::vector<Field> ifd0{
            {0x010F, 2, 6, Ascii("Canon")},
            {0x0110, 2, 13, Ascii("EOS 5D Mk IV")},
            {0x0112, 3, 1, Short(uint16_t(orientation))},
            {0x0132, 2, 20, Ascii("2024:05:01 11:00:00")},
            {0x8769, 4, 1, Long(0)},
            {0x8825, 4, 1, Long(0)},
            // Out of tag order, as some cameras write it; readers cope.
            {0x011A, 5, 1, Rational(72, 1)},
            {0x011B, 5, 1, Rational(72, 1)},
            {0x0128, 3, 1, Short(2)},
        };
        std::vector<Field> exif{
            {0x829A, 5, 1, Rational(1, 250)},
            {0x829D, 5, 1, Rational(28, 10)},
            {0x8827, 3, 1, Short(200)},
            {0x9003, 2, 20, Ascii("2024:05:01 10:20:30")},
            {0x927C, 7, 12, {'M', 'A', 'K', 'E', 'R', 'N', 'O', 'T', 'E', '!', '!', '!'}},
            {0xA001, 3, 1, Short(adobe ? 0xFFFF : 1)},
            {0xA002, 4, 1, Long(pixelW)},
            {0xA003, 4, 1, Long(pixelH)},
            {0xA005, 4, 1, Long(0)},
            {0xA434, 2, 9, Ascii("EF50mm f")},
        };
        std::vector<Field> interop{{0x0001, 2, 4, {'R', uint8_t(adobe ? '0' : '9'), uint8_t(adobe ? '3' : '8'), 0}}};
        std::vector<Field> gps{
            {0x0000, 1, 4, {2, 3, 0, 0}},
            {0x0001, 2, 2, {'N', 0}},
            {0x0002, 5, 3, Rational(35, 1)},
        };
        std::vector<uint8_t> minutes = Rational(41, 1), seconds = Rational(2259, 100);
        gps[2].value.insert(gps[2].value.end(), minutes.begin(), minutes.end());
        gps[2].value.insert(gps[2].value.end(), seconds.begin(), seconds.end());
        std::vector<Field> ifd1{{0x0103, 3, 1, Short(6)}, {0x0201, 4, 1, Long(0)}, {0x0202, 4, 1, Long(40)}};

        size_t exifAt = 8 + IfdSize(ifd0), interopAt = exifAt + IfdSize(exif), gpsAt = interopAt + IfdSize(interop);
        size_t ifd1At = gpsAt + IfdSize(gps), thumbAt = ifd1At + IfdSize(ifd1);
        ifd0[4].value = Long(uint32_t(exifAt));
        ifd0[5].value = Long(uint32_t(gpsAt));
        exif[8].value = Long(uint32_t(interopAt));
        ifd1[1].value = Long(uint32_t(thumbAt));
        std::vector<uint8_t> out = Header();
        Put(&out, ifd0, uint32_t(ifd1At));
        Put(&out, exif, 0);
        Put(&out, interop, 0);
        Put(&out, gps, 0);
        Put(&out, ifd1, 0);
        for (int i = 0; i < 40; ++i) out.push_back(uint8_t(0xD8 + i));
        return out;
    }

    // Offset of the thumbnail in the last Camera() block.
    size_t thumbAt() const { return thumbAt_; }

    std::vector<uint8_t> Header() const {
        std::vector<uint8_t> h = big_ ? std::vector<uint8_t>{'M', 'M', 0, 42} : std::vector<uint8_t>{'I', 'I', 42, 0};
        std::vector<uint8_t> off = Long(8);
        h.insert(h.end(), off.begin(), off.end());
        return h;
    }

    static size_t IfdSize(const std::vector<Field>& fields) {
        size_t n = 2 + 12 * fields.size() + 4;
        for (const Field& f : fields)
            if (f.value.size() > 4) n += f.value.size() + (f.value.size() & 1);
        return n;
    }

    // Appends an IFD whose out-of-line values follow its table.
    void Put(std::vector<uint8_t>* out, const std::vector<Field>& fields, uint32_t next) const {
        size_t at = out->size();
        size_t data = at + 2 + 12 * fields.size() + 4;
        std::vector<uint8_t> tail;
        Append(out, Short(uint16_t(fields.size())));
        for (const Field& f : fields) {
            Append(out, Short(f.tag));
            Append(out, Short(f.type));
            Append(out, Long(f.count));
            if (f.value.size() <= 4) {
                std::vector<uint8_t> v = f.value;
                v.resize(4, 0);
                Append(out, v);
            } else {
                Append(out, Long(uint32_t(data + tail.size())));
                tail.insert(tail.end(), f.value.begin(), f.value.end());
                if (tail.size() & 1) tail.push_back(0);
            }
        }
        Append(out, Long(next));
        Append(out, tail);
    }

private:
    static void Append(std::vector<uint8_t>* out, const std::vector<uint8_t>& b) { out->insert(out->end(), b.begin(), b.end()); }
    bool big_;
    size_t thumbAt_ = 0;
};

}  // namespace exiftest
