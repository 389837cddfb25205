// The HEIF/AVIF reader's pieces that tests and the fuzz target reach.
#pragma once
#include "makerlibs/pmdibio/dibio_stream.h"
#include "makerlibs/pmdibio.h"
#include <cstddef>
#include <cstdint>

namespace pmio {

// Items a file may declare and tiles its primary grid may name. A phone
// photo has a few dozen items and 48 tiles; every tile is a decoder run, so
// a file of thousands of tiny tiles would take minutes.
constexpr uint32_t kHeifMaxItems = 8192;
constexpr uint32_t kHeifMaxTiles = 4096;
// One EXIF or XMP block beyond this is dropped (the image still reads).
constexpr size_t kHeifMetadataMax = 4u * 1024 * 1024;
// Files are decoded from memory; larger ones are refused as too large.
constexpr uint64_t kHeifFileLimit = 256ull * 1024 * 1024;
// Peak bytes of one decode (decoder planes, converted copy, DIB).
constexpr uint64_t kHeifPeakBudget64 = 2048ull * 1024 * 1024;
constexpr uint64_t kHeifPeakBudget32 = 768ull * 1024 * 1024;
// The file's thumbnail replaces the primary image when each of its sides is
// more than Num/Den of the output's. A phone's thumbnail is coded coarsely:
// shrunk to an output of its own size it scores an SSIM of 0.89 against the
// full picture shrunk, 0.93 at 0.8 of it, 0.97 at 0.4; vipsthumbnail takes
// it likewise only for smaller outputs, with the same scores.
constexpr int64_t kHeifThumbMarginNum = 1;
constexpr int64_t kHeifThumbMarginDen = 1;

// Replaces the budget above (0: back to it), so that the fuzz target's
// runs stay small and fast.
void HeifSetPeakBudgetForTest(uint64_t bytes);

// What the box structure says before libheif parses it.
struct HeifScan {
    uint32_t primary = 0;
    uint32_t items = 0;  // declared in iinf
    uint32_t tiles = 0;  // inputs of the primary item (grid tiles)
    bool monochrome = false;
    // The largest picture an item makes: the output size a grid declares,
    // the largest frame an AV1 sequence header allows. libheif and the
    // decoder size their pictures by these, not by the declared ispe.
    uint32_t codedWidth = 0, codedHeight = 0;
};
// False when the declared counts exceed the limits above.
bool HeifScanLimits(const uint8_t* data, size_t size, HeifScan* scan);
// An ISO base media file whose ftyp names a HEIF or AVIF brand.
bool HeifLooksLike(const uint8_t* data, size_t size);
// Whether a thumbnail of size `thumb` shows the `full` picture well enough
// for an output of `target`.
bool HeifThumbnailServes(PmSize full, PmSize thumb, PmSize target);

int HeifRead(InStream& in, DibIOOptions* info, DibHolder* out, DibMetadata* meta);
// `request` may be null (every pixel of the primary image).
int HeifReadMemory(const uint8_t* data, size_t size, DibReadRequest* request, DibIOOptions* info, DibHolder* out,
                   DibMetadata* meta);

}  // namespace pmio
