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
