// Pixel benchmark and sample renderer. Decodes JPEGs with libjpeg directly
// (the file formats of the system are not needed to time the pixel work) and
// reads and writes binary PPM for the comparison scripts.
//
//   pixbench thumb IN OUT.ppm W H soft|hard   fit into W x H through the pipeline
//   pixbench reduce IN OUT.ppm N              adaptive N colours, error diffusion
//   pixbench mono IN OUT.ppm                  1 bit through the pipeline
//   pixbench palette IN OUT.ppm P             8 bits onto fixed palette P
//   pixbench filter IN OUT.ppm CODE           tone filter
//   pixbench speed FILE...                    timings, medians
// IN is a .jpg or a .ppm.
#include "imaging/transform.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmsingleops.h"

#include <cstdio>  // before jpeglib.h, which needs FILE

#include <jpeglib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Image {
    DibHeader* h = nullptr;
    uint8_t* b = nullptr;
    ~Image() { DibCore_Free(h, b); }
    int height() const { return h->biHeight < 0 ? -h->biHeight : h->biHeight; }
};

bool Create24(int w, int hgt, Image* img) {
    DibHeader t{};
    t.biSize = sizeof(DibHeader);
    t.biWidth = w;
    t.biHeight = hgt;
    t.biPlanes = 1;
    t.biBitCount = 24;
    return DibCore_Create(&t, 0, &img->h, &img->b) != 0;
}

uint8_t* RowTop(const Image& img, int y) {
    int stride = DibCore_GetRowStride(img.h, 0);
    return img.b + size_t(img.height() - 1 - y) * size_t(stride);
}

bool LoadJpeg(const char* path, Image* img) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    bool ok = Create24(int(cinfo.output_width), int(cinfo.output_height), img);
    while (ok && cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = RowTop(*img, int(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    if (ok) jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return ok;
}

bool LoadPpm(const char* path, Image* img) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    int w = 0, h = 0, maxv = 0;
    bool ok = std::fscanf(f, "P6 %d %d %d", &w, &h, &maxv) == 3 && maxv == 255 && std::fgetc(f) != EOF &&
              Create24(w, h, img);
    std::vector<uint8_t> rgb(size_t(w) * 3);
    for (int y = 0; ok && y < h; ++y) {
        ok = std::fread(rgb.data(), 1, rgb.size(), f) == rgb.size();
        uint8_t* row = RowTop(*img, y);
        for (int x = 0; ok && x < w; ++x) {
            row[3 * x] = rgb[3 * x + 2];
            row[3 * x + 1] = rgb[3 * x + 1];
            row[3 * x + 2] = rgb[3 * x];
        }
    }
    std::fclose(f);
    return ok;
}

bool Load(const char* path, Image* img) {
    std::string p = path;
    return p.size() > 4 && p.substr(p.size() - 4) == ".ppm" ? LoadPpm(path, img) : LoadJpeg(path, img);
}

bool SavePpm(const char* path, Image* img) {
    if (ConvertTo24Bit(&img->h, &img->b) != 0) return false;
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    int w = img->h->biWidth, h = img->height();
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    std::vector<uint8_t> rgb(size_t(w) * 3);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = img->h->biHeight < 0 ? img->b + size_t(y) * DibCore_GetRowStride(img->h, 0) : RowTop(*img, y);
        for (int x = 0; x < w; ++x) {
            rgb[3 * x] = row[3 * x + 2];
            rgb[3 * x + 1] = row[3 * x + 1];
            rgb[3 * x + 2] = row[3 * x];
        }
        std::fwrite(rgb.data(), 1, rgb.size(), f);
    }
    return std::fclose(f) == 0;
}

int Transform(Image* img, int bitCount, int resize, int w, int h, int zoomFilter, int filter, int palette) {
    int depth = img->h->biBitCount, index = -1;
    PmSize box{w, h};
    return TransformImage(3, 0, &depth, bitCount, 0, resize, &box, filter, zoomFilter, palette, -1, &index, &img->h,
                          &img->b);
}

int Reduce(Image* img, int n) {
    DibHeader t;
    DibCore_GetHeader(img->h, &t);
    t.biBitCount = uint16_t(n <= 2 ? 1 : n <= 16 ? 4 : 8);
    t.biClrUsed = 0;
    Image dst;
    if (!DibCore_Create(&t, 0, &dst.h, &dst.b)) return 105;
    if (DibOps_ReduceColors(img->h, img->b, 4, n, 0, 0, nullptr, nullptr, dst.h, dst.b) < 0) return 106;
    std::swap(img->h, dst.h);
    std::swap(img->b, dst.b);
    return 0;
}

// <chrono> holds a literal that the code page 932 build cannot express.
double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A copy of `src` fitted to about one megapixel.
bool MegapixelCopy(const Image& src, Image* out) {
    DibHeader t;
    DibCore_GetHeader(src.h, &t);
    double s = std::sqrt(1e6 / (double(t.biWidth) * src.height()));
    if (!Create24(std::max(1, int(t.biWidth * s)), std::max(1, int(src.height() * s)), out)) return false;
    return Geom_ShrinkSmooth(0, 0, src.h, src.b, out->h, out->b) != 0;
}

bool CopyOf(const Image& src, Image* out) {
    if (!Create24(src.h->biWidth, src.height(), out)) return false;
    std::memcpy(out->b, src.b, size_t(DibCore_GetRowStride(src.h, 0)) * size_t(src.height()));
    return true;
}

int Speed(int argc, char** argv) {
    static const int kFilters[19] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 21, 22, 12, 13, 14, 15, 25, 26};
    std::vector<double> decode, soft, hard, reduce, filters[19];
    std::printf("%-44s %9s %8s %8s %8s %9s\n", "file", "Mpx", "decode", "soft96", "hard96", "256col1M");
    for (int i = 2; i < argc; ++i) {
        Image img;
        double t0 = Now();
        if (!Load(argv[i], &img)) continue;
        double td = Now() - t0;
        double mpx = double(img.h->biWidth) * img.height() / 1e6;
        std::vector<double> s, h;
        for (int r = 0; r < 3; ++r) {
            for (int zf = 0; zf < 2; ++zf) {
                Image c;
                if (!CopyOf(img, &c)) return 1;
                double t = Now();
                Transform(&c, 24, 1, 96, 96, zf, 0, 0);
                (zf ? s : h).push_back(Now() - t);
            }
        }
        Image mp;
        if (!MegapixelCopy(img, &mp)) return 1;
        std::vector<double> rd;
        for (int r = 0; r < 3; ++r) {
            Image c;
            CopyOf(mp, &c);
            double t = Now();
            Reduce(&c, 256);
            rd.push_back(Now() - t);
        }
        for (int f = 0; f < 19; ++f) {
            Image c;
            CopyOf(mp, &c);
            double t = Now();
            DibOps_ApplyFilter(kFilters[f], &c.h, &c.b);
            filters[f].push_back(Now() - t);
        }
        decode.push_back(td / mpx);
        soft.push_back(Median(s) / mpx);
        hard.push_back(Median(h) / mpx);
        reduce.push_back(Median(rd));
        const char* name = std::strrchr(argv[i], '/');
        std::printf("%-44s %9.1f %8.1f %8.1f %8.1f %9.1f\n", name ? name + 1 : argv[i], mpx, td, Median(s), Median(h),
                    Median(rd));
    }
    std::printf("medians per megapixel (ms/Mpx): decode %.2f, soft 96x96 %.2f, hard 96x96 %.2f\n", Median(decode),
                Median(soft), Median(hard));
    std::printf("median 256 colours on 1 Mpx: %.1f ms\nfilters on 1 Mpx (ms):", Median(reduce));
    for (int f = 0; f < 19; ++f) std::printf(" %d:%.1f", kFilters[f], Median(filters[f]));
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/pixbench.cpp\n");
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "speed") return Speed(argc, argv);
    if (argc < 4) return 2;
    Image img;
    if (!Load(argv[2], &img)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    int rc = 2;
    if (cmd == "thumb" && argc >= 7) {
        rc = Transform(&img, 24, 1, std::atoi(argv[4]), std::atoi(argv[5]), std::strcmp(argv[6], "soft") == 0, 0, 0);
    } else if (cmd == "reduce" && argc >= 5) {
        rc = Reduce(&img, std::atoi(argv[4]));
    } else if (cmd == "mono") {
        rc = Transform(&img, 1, 0, 0, 0, 1, 0, 0);
    } else if (cmd == "palette" && argc >= 5) {
        rc = Transform(&img, 8, 0, 0, 0, 1, 0, std::atoi(argv[4]));
    } else if (cmd == "filter" && argc >= 5) {
        rc = Transform(&img, 24, 0, 0, 0, 1, std::atoi(argv[4]), 0);
    }
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: %d\n", cmd.c_str(), rc);
        return 1;
    }
    return SavePpm(argv[3], &img) ? 0 : 1;
}
