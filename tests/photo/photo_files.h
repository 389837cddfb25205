// Camera-like files for the tests, written with the image libraries
// directly (the system's writers store no colour profile): JPEG with EXIF,
// ICC chunks, XMP and IPTC; PNG with eXIf and iCCP; TIFF with an
// Orientation tag and a profile. Pixels come from a 24-bit DIB.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmdibcore.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace phototest {

struct Segment {
    int marker;
    std::vector<uint8_t> data;
};

// Top row first, RGB.
inline std::vector<uint8_t> RgbRows(const DibHeader* h, const uint8_t* bits) {
    const int w = h->biWidth, rows = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    const int stride = DibCore_GetRowStride(h, 0);
    std::vector<uint8_t> out(size_t(w) * rows * 3);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* src = bits + size_t(h->biHeight < 0 ? y : rows - 1 - y) * size_t(stride);
        for (int x = 0; x < w; ++x) {
            out[(size_t(y) * w + x) * 3] = src[x * 3 + 2];
            out[(size_t(y) * w + x) * 3 + 1] = src[x * 3 + 1];
            out[(size_t(y) * w + x) * 3 + 2] = src[x * 3];
        }
    }
    return out;
}

inline bool WriteJpeg(const std::string& path, const DibHeader* h, const uint8_t* bits,
                      const std::vector<uint8_t>& exif, const std::vector<uint8_t>& icc,
                      const std::vector<Segment>& segments, int quality = 95) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(h->biWidth);
    c.image_height = JDIMENSION(h->biHeight < 0 ? -h->biHeight : h->biHeight);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    // Full-resolution chroma: colour comparisons should see the profile,
    // not the subsampling.
    for (int i = 0; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    c.write_JFIF_header = FALSE;  // cameras write EXIF first
    jpeg_start_compress(&c, TRUE);
    if (!exif.empty()) {
        std::vector<uint8_t> app1{'E', 'x', 'i', 'f', 0, 0};
        app1.insert(app1.end(), exif.begin(), exif.end());
        jpeg_write_marker(&c, JPEG_APP0 + 1, app1.data(), unsigned(app1.size()));
    }
    if (!icc.empty()) jpeg_write_icc_profile(&c, icc.data(), unsigned(icc.size()));
    for (const Segment& s : segments) jpeg_write_marker(&c, s.marker, s.data.data(), unsigned(s.data.size()));
    std::vector<uint8_t> rgb = RgbRows(h, bits);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = rgb.data() + size_t(c.next_scanline) * c.image_width * 3;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

// `exifLast`: the eXIf chunk follows the image data, as some writers put it.
inline bool WritePng(const std::string& path, const DibHeader* h, const uint8_t* bits, const std::vector<uint8_t>& exif,
                     const std::vector<uint8_t>& icc, bool exifLast = false) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    const png_uint_32 w = png_uint_32(h->biWidth), rows = png_uint_32(h->biHeight < 0 ? -h->biHeight : h->biHeight);
    png_set_IHDR(png, info, w, rows, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!icc.empty()) png_set_iCCP(png, info, "test", 0, icc.data(), png_uint_32(icc.size()));
    auto setExif = [&] { png_set_eXIf_1(png, info, png_uint_32(exif.size()), const_cast<png_bytep>(exif.data())); };
    if (!exif.empty() && !exifLast) setExif();
    png_write_info(png, info);
    std::vector<uint8_t> rgb = RgbRows(h, bits);
    for (png_uint_32 y = 0; y < rows; ++y) png_write_row(png, rgb.data() + size_t(y) * w * 3);
    if (!exif.empty() && exifLast) setExif();
    png_write_end(png, exifLast ? info : nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

inline bool WriteTiff(const std::string& path, const DibHeader* h, const uint8_t* bits, int orientation,
                      const std::vector<uint8_t>& icc) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    const uint32_t w = uint32_t(h->biWidth), rows = uint32_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    if (orientation) TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t(orientation));
    if (!icc.empty()) TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    std::vector<uint8_t> rgb = RgbRows(h, bits);
    bool ok = true;
    for (uint32_t y = 0; y < rows && ok; ++y) ok = TIFFWriteScanline(t, rgb.data() + size_t(y) * w * 3, y, 0) >= 0;
    TIFFClose(t);
    return ok;
}

// A camera TIFF as another program writes it with libtiff's own calls:
// Make and Model in the main IFD, an Exif IFD (exposure 1/250 s, f/2.8,
// ISO 200, the time taken), XMP and IPTC in their tags.
inline bool WriteCameraTiff(const std::string& path, const DibHeader* h, const uint8_t* bits, int orientation,
                            const std::vector<uint8_t>& xmp, const std::vector<uint8_t>& iptc) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    const uint32_t w = uint32_t(h->biWidth), rows = uint32_t(h->biHeight < 0 ? -h->biHeight : h->biHeight);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t(orientation));
    TIFFSetField(t, TIFFTAG_MAKE, "Pentax");
    TIFFSetField(t, TIFFTAG_MODEL, "K-1");
    if (!xmp.empty()) TIFFSetField(t, TIFFTAG_XMLPACKET, uint32_t(xmp.size()), xmp.data());
    if (!iptc.empty()) TIFFSetField(t, TIFFTAG_RICHTIFFIPTC, uint32_t(iptc.size()), iptc.data());
    TIFFSetField(t, TIFFTAG_EXIFIFD, uint64_t(0));
    std::vector<uint8_t> rgb = RgbRows(h, bits);
    bool ok = true;
    for (uint32_t y = 0; y < rows && ok; ++y) ok = TIFFWriteScanline(t, rgb.data() + size_t(y) * w * 3, y, 0) >= 0;
    ok = ok && TIFFWriteDirectory(t) && TIFFCreateEXIFDirectory(t) == 0;
    uint16_t iso[1] = {200};
    uint64_t exifAt = 0;
    ok = ok && TIFFSetField(t, EXIFTAG_EXPOSURETIME, 1.0 / 250) && TIFFSetField(t, EXIFTAG_FNUMBER, 2.8) &&
         TIFFSetField(t, EXIFTAG_ISOSPEEDRATINGS, 1, iso) &&
         TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, "2024:05:01 10:20:30") && TIFFWriteCustomDirectory(t, &exifAt);
    ok = ok && TIFFSetDirectory(t, 0) && TIFFSetField(t, TIFFTAG_EXIFIFD, exifAt) && TIFFRewriteDirectory(t);
    TIFFClose(t);
    return ok;
}

// An XMP packet and an IPTC block as photo software writes them.
inline Segment Xmp() {
    std::string s = std::string("http://ns.adobe.com/xap/1.0/") + '\0' +
                    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/>Nikko 日光</x:xmpmeta>";
    return Segment{0xE1, std::vector<uint8_t>(s.begin(), s.end())};
}
inline Segment Iptc() {
    std::string s = std::string("Photoshop 3.0") + '\0' + "8BIM" + '\x04' + '\x04' + std::string(2, '\0') +
                    std::string("\0\0\0\x0b", 4) + std::string("\x1c\x02\x78\x00\x06", 5) + "Kyoto!" + '\0';
    return Segment{0xED, std::vector<uint8_t>(s.begin(), s.end())};
}

}  // namespace phototest

namespace phototest {

// A CMYK JPEG of one ink colour per column, stored as Adobe software stores
// it (inverted samples, Adobe marker), optionally with a profile.
inline bool WriteCmykJpeg(const std::string& path, const std::vector<std::array<uint8_t, 4>>& inks, int rows,
                          const std::vector<uint8_t>& icc) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(inks.size() * 8);
    c.image_height = JDIMENSION(rows);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 98, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty()) jpeg_write_icc_profile(&c, icc.data(), unsigned(icc.size()));
    std::vector<uint8_t> row(size_t(c.image_width) * 4);
    for (size_t x = 0; x < c.image_width; ++x)
        for (int k = 0; k < 4; ++k) row[x * 4 + k] = uint8_t(255 - inks[x / 8][k]);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

// The same ink columns as a CMYK TIFF (ink amounts as they are, LZW in
// strips of two rows), with a profile.
inline bool WriteCmykTiff(const std::string& path, const std::vector<std::array<uint8_t, 4>>& inks, int rows,
                          const std::vector<uint8_t>& icc) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    const uint32_t w = uint32_t(inks.size() * 8);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(rows));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2);
    if (!icc.empty()) TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    std::vector<uint8_t> line(size_t(w) * 4);
    for (uint32_t x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c) line[x * 4 + c] = inks[x / 8][size_t(c)];
    bool ok = true;
    for (int y = 0; y < rows && ok; ++y) ok = TIFFWriteScanline(t, line.data(), uint32_t(y), 0) >= 0;
    TIFFClose(t);
    return ok;
}

}  // namespace phototest
