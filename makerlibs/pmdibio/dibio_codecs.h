// The per-format coders behind DibIO_Read and DibIO_Write. Each reader
// returns the source colour depth (> 0) or 0; each writer > 0 or 0. A failed
// system call is left in the stream, which the caller turns into < 0.
#pragma once
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmdibio/dibio_stream.h"

#include <cstring>
#include <vector>

namespace pmio {

// Whether a colour profile (its header's colour space, bytes 16 to 19) can
// describe pixels of `channels` colour channels: a file claiming another
// space for its pixels is worse than one without a profile.
inline bool IccFitsChannels(const std::vector<uint8_t>& icc, int channels) {
    return icc.size() >= 132 && std::memcmp(icc.data() + 16, channels == 1 ? "GRAY" : "RGB ", 4) == 0;
}

// Readers given a `request` (may be null) that asks for a thumbnail of a
// picture stored row by row stream it through a box reduction instead of
// holding it whole, and fill request->FullSize and Reduction.
int BmpRead(InStream& in, DibIOOptions* info, DibHolder* out, DibReadRequest* request = nullptr);
int BmpWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits);
// `meta` may be null (nothing beside the pixels is looked at or written).
int JpegRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta);
// Reads a JPEG held whole in memory, reduced as `request` allows (null: not
// reduced); fills request->FullSize and Reduction.
int JpegReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions* info, DibHolder* out,
                   DibMetadata* meta);
// The same read at 1/`scale` (2, 4 or 8) whatever the image's size, for
// checking the reduced reads against other decoders.
int JpegReadMemoryAt(const uint8_t* data, size_t size, unsigned scale, DibIOOptions* info, DibHolder* out);
int JpegWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta);
int PngRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta, DibReadRequest* request = nullptr);
// PNG image data that inflates to fewer than this many bytes, with its
// compressed size, is inflated in one call; larger data streams through
// zlib. Returns the previous limit; 0 turns the one-call inflate off,
// size_t(-1) restores the default. For tests and measurements.
size_t PngSetOneShotLimit(size_t bytes);
// Reads on the calling thread that took the one-call inflate.
unsigned PngOneShotReads();
int PngWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
             const DibMetadata* meta);
// TIFF seeks and reads back while writing, so it takes the file itself.
int TiffRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta, DibReadRequest* request = nullptr);
int TiffWrite(PmFileHandle file, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta, unsigned* sysError);
int GifRead(InStream& in, DibIOOptions* info, DibHolder* out);
int GifWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits);
int PcdRead(InStream& in, DibIOOptions* info, DibHolder* out);
// Reads a WebP held whole in memory: the still image, reduced as `request`
// allows (null: not reduced), or an animation's first frame on its canvas.
int WebpReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions* info, DibHolder* out,
                   DibMetadata* meta);
int WebpWrite(OutStream& out, const DibIOOptions& opt, const DibHeader* h, const uint8_t* bits,
              const DibMetadata* meta);

}  // namespace pmio
