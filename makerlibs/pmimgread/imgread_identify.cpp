// Image type of a file, by its extension or by its first bytes.
#include "makerlibs/pmimgread.h"
#include "makerlibs/pmfile.h"
#include "makerlibs/pmimgkit.h"

#include <cstring>

namespace {

// The Photo CD image pack information sector starts at byte 2048.
constexpr unsigned long kPcdSignatureAt = 2048;
constexpr unsigned long kIdentifyBytes = kIdentifyHeadBytes;
static_assert(kIdentifyBytes == kPcdSignatureAt + 7);

int Lower(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool ExtEquals(const char* ext, const char* want) {
    for (; *ext && *want; ++ext, ++want)
        if (Lower(static_cast<unsigned char>(*ext)) != *want) return false;
    return *ext == 0 && *want == 0;
}

// The extension of the file-name part. Code page 932 trail bytes can equal
// '\\' and '.', so the name is walked character by character.
const char* Extension(const char* path) {
    const char* dot = nullptr;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p;) {
        if ((*p >= 0x81 && *p <= 0x9F) || (*p >= 0xE0 && *p <= 0xFC)) {
            p += p[1] ? 2 : 1;
            continue;
        }
        if (*p == '\\' || *p == '/' || *p == ':')
            dot = nullptr;
        else if (*p == '.')
            dot = reinterpret_cast<const char*>(p);
        ++p;
    }
    return dot;
}

int ByExtension(const char* path) {
    const char* ext = Extension(path);
    if (!ext) return kTypeNone;
    static const struct {
        const char* ext;
        int type;
    } kExts[] = {{".bmp", kTypeBmp}, {".jpg", kTypeJpeg}, {".jpeg", kTypeJpeg},
                 {".jpe", kTypeJpeg}, {".tif", kTypeTiff}, {".tiff", kTypeTiff}, {".gif", kTypeGif},
                 {".png", kTypePng}, {".pcd", kTypePhotoCd}, {".heic", kTypeHeif}, {".heif", kTypeHeif},
                 {".hif", kTypeHeif}, {".avif", kTypeAvif}, {".avifs", kTypeAvif}, {".webp", kTypeWebp}};
    for (const auto& e : kExts)
        if (ExtEquals(ext, e.ext)) return e.type;
    return kTypeNone;
}

// An ISO base media file (HEIF, AVIF) names its kinds in the ftyp box: the
// major brand, then the compatible ones. AVIF and HEIF files often both say
// mif1, so the codec's own brand decides; a file naming neither codec brand
// but a HEIF structure brand (mif1, msf1) is read as HEIF.
int ByBrand(const unsigned char* d, unsigned long n) {
    if (n < 16 || std::memcmp(d + 4, "ftyp", 4) != 0) return kTypeNone;
    unsigned long size = (unsigned long)d[0] << 24 | (unsigned long)d[1] << 16 | (unsigned long)d[2] << 8 | d[3];
    if (size < 16) return kTypeNone;
    if (size > n) size = n;
    static const char* const kAvif[] = {"avif", "avis"};
    static const char* const kHeif[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"};
    static const char* const kStructure[] = {"mif1", "mif2", "msf1", "miaf"};
    auto names = [&](const char* const* list, int count) {
        for (unsigned long at = 8; at + 4 <= size; at += 4) {
            if (at == 12) continue;  // the minor version
            for (int i = 0; i < count; ++i)
                if (std::memcmp(d + at, list[i], 4) == 0) return true;
        }
        return false;
    };
    // The major brand first: a HEIC that also lists avif is still a HEIC.
    for (const char* b : kAvif)
        if (std::memcmp(d + 8, b, 4) == 0) return kTypeAvif;
    for (const char* b : kHeif)
        if (std::memcmp(d + 8, b, 4) == 0) return kTypeHeif;
    if (names(kAvif, 2)) return kTypeAvif;
    if (names(kHeif, 8) || names(kStructure, 4)) return kTypeHeif;
    return kTypeNone;
}

}  // namespace

int ImgRead_IdentifyBytes(const unsigned char* d, unsigned long n) {
    if (!d) return kTypeNone;
    if (n >= 2 && d[0] == 'B' && d[1] == 'M') return kTypeBmp;
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return kTypeJpeg;
    if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
                   (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43))))
        return kTypeTiff;
    if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0)) return kTypeGif;
    if (n >= 8 && std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) == 0) return kTypePng;
    if (n >= 12 && std::memcmp(d, "RIFF", 4) == 0 && std::memcmp(d + 8, "WEBP", 4) == 0) return kTypeWebp;
    if (n >= kIdentifyBytes && std::memcmp(d + kPcdSignatureAt, "PCD_IPI", 7) == 0) return kTypePhotoCd;
    if (int t = ByBrand(d, n)) return t;
    return kTypeNone;
}

int ImgRead_IdentifyFile(const char* path, int, int mode, int) {
    if (!path || !*path) return kTypeNone;
    if (mode == 2) return ByExtension(path);
    PmFileHandle f = PmFile_OpenRead(path);
    if (!f) return kTypeNone;
    unsigned char head[kIdentifyBytes];
    int64_t got = PmFile_Read(f, head, sizeof head);
    PmFile_Close(f);
    return got > 0 ? ImgRead_IdentifyBytes(head, static_cast<unsigned long>(got)) : kTypeNone;
}
