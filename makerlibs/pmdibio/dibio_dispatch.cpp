// DibIO_Read and DibIO_Write: the format switch, the option record and the
// result convention (> 0 done, < 0 failed system call, 0 anything else).
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibcore/dibpixels.h"
#include "makerlibs/pmdibio/dibio_codecs.h"
#include "makerlibs/pmdibio/dibio_heif.h"
#include "makerlibs/pmimgkit.h"

namespace {

// Larger JPEG and WebP files are read through the stream (JPEG) or refused
// (WebP, whose container allows 4 GB): holding such a file whole would add
// its size to the peak of a read that is big anyway.
constexpr uint64_t kWholeFileLimit = 256ull * 1024 * 1024;

// A WebP is always read from memory. The file's own failure (< 0) is
// reported as such; one too large to hold counts as too large an image.
int ReadWebp(PmFileHandle file, DibReadRequest* request, DibIOOptions* info, DibMetadata* meta,
             pmio::DibHolder* dib) {
    pmio::WholeFile whole(file, kWholeFileLimit);
    if (!whole.ok()) {
        if (whole.SysFailed()) return whole.Result(0);
        pmio::NoteTooLarge();
        return 0;
    }
    return pmio::WebpReadMemory(whole.data(), whole.size(), request, info, dib, meta);
}

int ReadAny(PmFileHandle file, int type, DibIOOptions* info, DibMetadata* meta, DibHeader** header, uint8_t** bits,
            DibReadRequest* request = nullptr) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!file || !header || !bits) return 0;
    DibIOOptions scratch;
    if (!info) {
        DibIO_GetDefaultOptions(type, &scratch);
        info = &scratch;
    }
    pmio::TakeTooLarge();
    if (type == kTypeWebp) {
        pmio::DibHolder dib;
        int depth = ReadWebp(file, nullptr, info, meta, &dib);
        if (depth < 0) return depth;
        if (depth == 0 || !dib.header) return pmio::TooLargeResult(0);
        dib.Release(header, bits);
        return depth;
    }
    pmio::InStream in(file);
    pmio::DibHolder dib;
    int depth = 0;
    if (in.ok()) {
        switch (type) {
        case kTypeBmp: depth = pmio::BmpRead(in, info, &dib, request); break;
        case kTypeJpeg: depth = pmio::JpegRead(in, info, &dib, meta); break;
        case kTypePng: depth = pmio::PngRead(in, info, &dib, meta, request); break;
        case kTypeTiff: depth = pmio::TiffRead(in, info, &dib, meta, request); break;
        case kTypeGif: depth = pmio::GifRead(in, info, &dib); break;
        case kTypePhotoCd: depth = pmio::PcdRead(in, info, &dib); break;
        case kTypeHeif:
        case kTypeAvif: depth = pmio::HeifRead(in, info, &dib, meta); break;
        default: break;
        }
    }
    if (depth <= 0 || !dib.header) {
        dib.Reset();
        return pmio::TooLargeResult(in.Result(0));
    }
    dib.Release(header, bits);
    return depth;
}

// A metadata record starts empty, keeping only what the caller asks of it.
void ClearMeta(DibMetadata* meta) {
    if (!meta) return;
    bool convertCmyk = meta->convertCmyk;
    *meta = DibMetadata{};
    meta->convertCmyk = convertCmyk;
}

int WriteAny(PmFileHandle file, int type, const DibIOOptions* options, const DibMetadata* meta,
             const DibHeader* header, const uint8_t* bits) {
    if (!file || !pmio::UsableDib(header, bits)) return 0;
    // The coders write the plain layouts of 16 and 32 bits. An image with
    // channel masks of its own goes out from a plain copy: 16 bits widen to
    // 24 (every format has that), 32 bits keep their fourth byte.
    pmio::DibHolder plain;
    pmpix::Layout layout;
    if (pmpix::LayoutOf(header, &layout) && !layout.plain) {
        int depth = header->biBitCount == 16 ? 24 : 32;
        if (!pmio::NewDib(header->biWidth, pmio::DibRows(header), depth, &plain) ||
            !DibCore_ConvertDepth(header, bits, plain.header, plain.bits))
            return 0;
        header = plain.header;
        bits = plain.bits;
    }
    DibIOOptions defaults;
    if (!options) {
        if (!DibIO_GetDefaultOptions(type, &defaults)) return 0;
        options = &defaults;
    }
    if (type == kTypeTiff) {
        unsigned err = 0;
        int r = pmio::TiffWrite(file, *options, header, bits, meta, &err);
        if (r <= 0 && err) {
            PmFile_SetLastError(err);
            return -1;
        }
        return r;
    }
    pmio::OutStream out(file);
    int r = 0;
    if (out.ok()) {
        switch (type) {
        case kTypeBmp: r = pmio::BmpWrite(out, *options, header, bits); break;
        case kTypeJpeg: r = pmio::JpegWrite(out, *options, header, bits, meta); break;
        case kTypePng: r = pmio::PngWrite(out, *options, header, bits, meta); break;
        case kTypeGif: r = pmio::GifWrite(out, *options, header, bits); break;
        case kTypeWebp: r = pmio::WebpWrite(out, *options, header, bits, meta); break;
        default: break;
        }
    }
    return r > 0 ? r : out.Result(0);
}

}  // namespace

int DibIO_Read(int, PmFileHandle file, int type, int, int, int, DibIOOptions* info, DibHeader** header,
               uint8_t** bits) {
    return ReadAny(file, type, info, nullptr, header, bits);
}

int DibIO_ReadMeta(int, PmFileHandle file, int type, DibIOOptions* info, DibMetadata* meta, DibHeader** header,
                   uint8_t** bits) {
    ClearMeta(meta);
    int depth = ReadAny(file, type, info, meta, header, bits);
    if (depth <= 0) ClearMeta(meta);
    return depth;
}

int DibIO_ReadRequested(PmFileHandle file, int type, DibReadRequest* request, DibIOOptions* info,
                        DibHeader** header, uint8_t** bits) {
    if (header) *header = nullptr;
    if (bits) *bits = nullptr;
    if (!request || request->Size < sizeof(DibReadRequest))
        return DibIO_Read(0, file, type, 0, 0, 0, info, header, bits);
    request->FullSize = PmSize{0, 0};
    request->Reduction = 1;
    request->WholePicture = 0;
    DibMetadata* meta = request->Meta;
    ClearMeta(meta);
    if (!file || !header || !bits) return 0;
    int depth = 0;
    bool read = false;
    pmio::TakeTooLarge();
    if (type == kTypeJpeg) {
        pmio::WholeFile whole(file, kWholeFileLimit);
        if (whole.ok()) {
            DibIOOptions scratch;
            if (!info) {
                DibIO_GetDefaultOptions(type, &scratch);
                info = &scratch;
            }
            pmio::DibHolder dib;
            depth = pmio::JpegReadMemory(whole.data(), whole.size(), request, info, &dib, meta);
            if (depth > 0 && dib.header) dib.Release(header, bits);
            else depth = pmio::TooLargeResult(0);
            read = true;
        } else if (whole.SysFailed()) {
            return whole.Result(0);
        }
    } else if (type == kTypeWebp) {
        DibIOOptions scratch;
        if (!info) {
            DibIO_GetDefaultOptions(type, &scratch);
            info = &scratch;
        }
        pmio::DibHolder dib;
        depth = ReadWebp(file, request, info, meta, &dib);
        if (depth > 0 && dib.header) dib.Release(header, bits);
        else if (depth == 0) depth = pmio::TooLargeResult(0);
        read = true;
    } else if (type == kTypeHeif || type == kTypeAvif) {
        // libheif reads from memory; the thumbnail path needs the request.
        pmio::WholeFile whole(file, pmio::kHeifFileLimit);
        if (whole.ok()) {
            pmio::DibHolder dib;
            depth = pmio::HeifReadMemory(whole.data(), whole.size(), request, info, &dib, meta);
            if (depth > 0 && dib.header) dib.Release(header, bits);
            else depth = pmio::TooLargeResult(0);
            read = true;
        } else if (whole.SysFailed()) {
            return whole.Result(0);
        }
    }
    if (!read) {
        depth = ReadAny(file, type, info, meta, header, bits, request);
        if (depth > 0 && *header && request->Reduction <= 1) {
            int32_t h = (*header)->biHeight;
            request->FullSize = PmSize{(*header)->biWidth, h < 0 ? -h : h};
        }
    }
    if (depth <= 0) ClearMeta(meta);
    return depth;
}

int DibIO_Write(int, PmFileHandle file, int type, int, int, const DibIOOptions* options, const DibHeader* header,
                const uint8_t* bits) {
    return WriteAny(file, type, options, nullptr, header, bits);
}

int DibIO_WriteMeta(int, PmFileHandle file, int type, const DibIOOptions* options, const DibMetadata* meta,
                    const DibHeader* header, const uint8_t* bits) {
    return WriteAny(file, type, options, meta, header, bits);
}
