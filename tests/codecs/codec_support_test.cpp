// Helpers of the coder tests (the suite's sources are picked up by their
// _test suffix, so the helpers live in a file named like one).
#include "codec_support.h"

#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"

#include <cstdio>
#include <cstring>

namespace codectest {

void MakePattern(int width, int height, int bitCount, Dib* out) {
    out->Reset();
    DibHeader t{};
    t.biSize = sizeof t;
    t.biWidth = width;
    t.biHeight = height;
    t.biPlanes = 1;
    t.biBitCount = uint16_t(bitCount);
    if (!DibCore_Create(&t, 0, &out->h, &out->b)) return;
    int stride = DibCore_GetRowStride(out->h, 0);
    if (bitCount <= 8) {
        int n = 0;
        RgbQuad* table = DibCore_GetColorTable(out->h, &n, nullptr);
        for (int i = 0; i < n; ++i)
            table[i] = RgbQuad{uint8_t(i * 37 + 11), uint8_t(255 - i * 13), uint8_t(i * 91), 0};
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = out->b + size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            switch (bitCount) {
            case 1: if ((x + y / 3) & 1) row[x >> 3] |= uint8_t(0x80 >> (x & 7)); break;
            case 4: row[x >> 1] |= uint8_t(((x * 3 + y) % 16) << ((x & 1) ? 0 : 4)); break;
            case 8: row[x] = uint8_t((x / 2 + y * 7) % 256); break;
            default: {
                uint8_t* p = row + size_t(x) * (bitCount / 8);
                p[0] = uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
                p[1] = uint8_t(y * 255 / (height > 1 ? height - 1 : 1));
                p[2] = uint8_t((x ^ y) * 5);
                if (bitCount == 32) p[3] = uint8_t((x / 4 % 4) * 85);
            }
            }
        }
    }
}

int ReadImage(const std::string& path, int type, Dib* out, DibIOOptions* info) {
    out->Reset();
    PmFileHandle f = PmFile_OpenRead(path.c_str());
    if (!f) return -1000;
    DibIOOptions scratch;
    if (!info) info = &scratch;
    DibIO_GetDefaultOptions(type, info);
    int r = DibIO_Read(0, f, type, 0, 0, 0, info, &out->h, &out->b);
    PmFile_Close(f);
    return r;
}

int WriteImage(const std::string& path, int type, const DibIOOptions& options, const Dib& dib) {
    PmFileHandle f = PmFile_CreateWrite(path.c_str());
    if (!f) return -1000;
    int r = DibIO_Write(0, f, type, 0, 0, &options, dib.h, dib.b);
    PmFile_Close(f);
    return r;
}

std::vector<uint32_t> Colours(const DibHeader* h, const uint8_t* bits) {
    std::vector<uint32_t> out;
    if (!h || !bits) return out;
    const int w = h->biWidth, rows = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    const int stride = DibCore_GetRowStride(h, 0);
    int n = 0;
    const RgbQuad* t = DibCore_GetColorTable(const_cast<DibHeader*>(h), &n, nullptr);
    out.reserve(size_t(w) * rows);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* row = bits + size_t(h->biHeight < 0 ? y : rows - 1 - y) * stride;
        for (int x = 0; x < w; ++x) {
            uint32_t a = 255, r = 0, g = 0, b = 0;
            switch (h->biBitCount) {
            case 24: b = row[x * 3]; g = row[x * 3 + 1]; r = row[x * 3 + 2]; break;
            case 32: b = row[x * 4]; g = row[x * 4 + 1]; r = row[x * 4 + 2]; a = row[x * 4 + 3]; break;
            default: {
                int i = h->biBitCount == 1 ? (row[x >> 3] >> (7 - (x & 7))) & 1
                        : h->biBitCount == 4 ? (x & 1 ? row[x >> 1] & 15 : row[x >> 1] >> 4)
                                             : row[x];
                if (i < n) {
                    b = t[i].blue;
                    g = t[i].green;
                    r = t[i].red;
                    if (t[i].reserved == kTransparentMark) a = 0;
                }
            }
            }
            out.push_back(a << 24 | r << 16 | g << 8 | b);
        }
    }
    return out;
}

size_t CountDiffs(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    if (a.size() != b.size()) return a.size() > b.size() ? a.size() : b.size();
    size_t d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && ((a[i] >> 24) != 0 || (b[i] >> 24) != 0)) ++d;
    return d;
}

std::string RunTool(const std::string& command) {
#ifdef _WIN32
    (void)command;
    return "";
#else
    std::string out;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) out.clear();
    return out;
#endif
}

}  // namespace codectest
