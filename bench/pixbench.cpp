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
//   pixbench convert IN OUT.ppm W H full|reduced   (JPEG, HEIF, AVIF, GIF, ...)
//                                             soft fit as per-file conversion does
//                                             it, reading the file whole or reduced
//   pixbench time full|reduced RUNS FILE...   median ms per file of a 96x96 soft fit
//                                             as per-file conversion does it, the
//                                             files taken in turn RUNS times
//   pixbench pipeline OUTDIR FILE...          per-file conversion to 96x96 JPEGs
//                                             (read, turn, zoom, write), for profiles
//   pixbench ssim A B                         mean SSIM of two images (R, G, B)
// PM_BENCH_PNG_ONESHOT=BYTES sets the PNG reader's one-call inflate limit
// (0: every PNG streams through zlib), to compare the two.
// IN is a .jpg or a .ppm; convert, time and pipeline also take .png, .tif,
// .tiff and .bmp.
#include "imaging/transform.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmfile.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmsingleops.h"

#include <cstdio>  // before jpeglib.h, which needs FILE

#include <jpeglib.h>
#include <time.h>

#include <algorithm>
#include <cctype>
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

struct Hint {
    PmSize box;
};

int TargetOf(void* context, const PmSize* full, PmSize* target) {
    return ShrinkTargetSize(0, 1, &static_cast<Hint*>(context)->box, *full, target) ? 1 : 0;
}

int TypeOf(const char* path) {
    std::string p = path;
    std::string ext = p.substr(p.find_last_of('.') + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "png") return kTypePng;
    if (ext == "tif" || ext == "tiff") return kTypeTiff;
    if (ext == "bmp") return kTypeBmp;
    if (ext == "heic" || ext == "heif" || ext == "hif") return kTypeHeif;
    if (ext == "avif" || ext == "avifs") return kTypeAvif;
    if (ext == "webp") return kTypeWebp;
    if (ext == "gif") return kTypeGif;
    return kTypeJpeg;
}

// Reads a file as per-file conversion does and fits it into w x h (soft).
int ConvertLikeABatch(const char* path, int w, int h, bool reduced, Image* img) {
    const int type = TypeOf(path);
    PmFileHandle f = PmFile_OpenRead(path);
    if (!f) return 1;
    DibIOOptions info;
    DibIO_GetDefaultOptions(type, &info);
    Hint hint{{w, h}};
    DibReadRequest request{};
    request.Size = sizeof request;
    request.TargetSize = TargetOf;
    request.Context = &hint;
    // A GIF is read as the batch reads it for a still output: 24 bits.
    int depth = type == kTypeGif ? (reduced ? GifKit_ReadImageRequested(f, &request, &img->h, &img->b)
                                            : GifKit_ReadImage(0, f, -1, 24, -1, 0, &img->h, &img->b))
                : reduced        ? DibIO_ReadRequested(f, type, &request, &info, &img->h, &img->b)
                                 : DibIO_Read(0, f, type, 0, 0, 0, &info, &img->h, &img->b);
    PmFile_Close(f);
    if (depth <= 0) return 1;
    PmSize decoded{img->h->biWidth, img->height()};
    PmSize full = reduced ? request.FullSize : decoded;
    ZoomPlan plan = PlanZoom(0, 1, &hint.box, full, decoded, reduced ? request.Reduction : 1);
    if (plan.reduced && request.WholePicture) plan.extent = PmExtent{0, 0, double(decoded.cx), double(decoded.cy)};
    int index = -1;
    return TransformImageFrom(plan.Extent(), 3, 0, &depth, 0, plan.angle, plan.resize, &plan.box, 0, 1, 0, -1, &index,
                              &img->h, &img->b);
}

int Time(int argc, char** argv) {
    const bool reduced = std::strcmp(argv[2], "reduced") == 0;
    const int runs = std::atoi(argv[3]);
    std::vector<std::vector<double>> ms(size_t(argc - 4));
    for (int r = 0; r < runs; ++r)
        for (int i = 4; i < argc; ++i) {
            Image img;
            double start = Now();
            if (ConvertLikeABatch(argv[i], 96, 96, reduced, &img) != 0) {
                std::fprintf(stderr, "cannot convert %s\n", argv[i]);
                return 1;
            }
            ms[size_t(i - 4)].push_back(Now() - start);
        }
    for (int i = 4; i < argc; ++i) std::printf("%8.1f ms  %s\n", Median(ms[size_t(i - 4)]), argv[i]);
    return 0;
}

int Pipeline(int argc, char** argv) {
    std::string dir = argv[2];
    // PM_BENCH_BOX sets the box (96), PM_BENCH_FULL=1 decodes every pixel.
    const char* boxText = std::getenv("PM_BENCH_BOX");
    const int box = boxText && std::atoi(boxText) > 0 ? std::atoi(boxText) : 96;
    const char* fullText = std::getenv("PM_BENCH_FULL");
    const bool reduced = !(fullText && std::strcmp(fullText, "1") == 0);
    double start = Now();
    for (int i = 3; i < argc; ++i) {
        Image img;
        if (ConvertLikeABatch(argv[i], box, box, reduced, &img) != 0) continue;
        DibIOOptions opt;
        DibIO_GetDefaultOptions(kTypeJpeg, &opt);
        PmFileHandle out = PmFile_CreateWrite((dir + "/" + std::to_string(i) + ".jpg").c_str());
        if (!out) return 1;
        DibIO_Write(0, out, kTypeJpeg, 0, 0, &opt, img.h, img.b);
        PmFile_Close(out);
    }
    if (argc > 3) std::printf("%d files in %.1f ms\n", argc - 3, Now() - start);
    return 0;
}

// One channel (0 blue, 1 green, 2 red) of an image as doubles, top row first.
std::vector<double> Channel(const Image& img, int c) {
    int w = img.h->biWidth, h = img.height();
    std::vector<double> v(size_t(w) * size_t(h));
    for (int r = 0; r < h; ++r) {
        const uint8_t* row = RowTop(img, r);
        for (int x = 0; x < w; ++x) v[size_t(r) * w + x] = row[3 * x + c];
    }
    return v;
}

// Mean SSIM (Wang et al. 2004) of one channel: 11x11 Gaussian window, sigma
// 1.5, windows wholly inside the image.
double SsimOf(const std::vector<double>& x, const std::vector<double>& y, int w, int h) {
    double g[11], gs = 0;
    for (int i = 0; i < 11; ++i) gs += g[i] = std::exp(-double((i - 5) * (i - 5)) / (2 * 1.5 * 1.5));
    for (double& v : g) v /= gs;
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    double sum = 0;
    long n = 0;
    for (int cy = 5; cy + 5 < h; ++cy) {
        for (int cx = 5; cx + 5 < w; ++cx) {
            double mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;
            for (int j = -5; j <= 5; ++j)
                for (int i = -5; i <= 5; ++i) {
                    double wt = g[j + 5] * g[i + 5];
                    double p = x[size_t(cy + j) * w + cx + i], q = y[size_t(cy + j) * w + cx + i];
                    mx += wt * p;
                    my += wt * q;
                    sxx += wt * p * p;
                    syy += wt * q * q;
                    sxy += wt * p * q;
                }
            double vx = sxx - mx * mx, vy = syy - my * my, cov = sxy - mx * my;
            sum += ((2 * mx * my + c1) * (2 * cov + c2)) / ((mx * mx + my * my + c1) * (vx + vy + c2));
            ++n;
        }
    }
    return n ? sum / double(n) : 1.0;
}

// SSIM of two images: the mean over the red, green and blue channels.
int Ssim(const char* a, const char* b) {
    Image ia, ib;
    if (!Load(a, &ia) || !Load(b, &ib) || ConvertTo24Bit(&ia.h, &ia.b) != 0 || ConvertTo24Bit(&ib.h, &ib.b) != 0)
        return 1;
    int w = ia.h->biWidth, h = ia.height();
    if (w != ib.h->biWidth || h != ib.height()) {
        std::fprintf(stderr, "sizes differ\n");
        return 1;
    }
    double sum = 0;
    for (int c = 0; c < 3; ++c) sum += SsimOf(Channel(ia, c), Channel(ib, c), w, h);
    std::printf("%.5f\n", sum / 3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/pixbench.cpp\n");
        return 2;
    }
    if (const char* oneShot = std::getenv("PM_BENCH_PNG_ONESHOT"))
        pmio::PngSetOneShotLimit(size_t(std::strtoull(oneShot, nullptr, 10)));
    std::string cmd = argv[1];
    if (cmd == "speed") return Speed(argc, argv);
    if (cmd == "pipeline" && argc >= 3) return Pipeline(argc, argv);
    if (cmd == "time" && argc >= 5) return Time(argc, argv);
    if (cmd == "ssim" && argc >= 4) return Ssim(argv[2], argv[3]);
    if (cmd == "convert" && argc >= 7) {
        Image img;
        int rc = ConvertLikeABatch(argv[2], std::atoi(argv[4]), std::atoi(argv[5]), std::strcmp(argv[6], "reduced") == 0,
                                   &img);
        return rc == 0 && SavePpm(argv[3], &img) ? 0 : 1;
    }
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
