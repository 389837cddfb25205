// PMEXIF: the camera's EXIF block as a TIFF structure ("II*\0" or "MM\0*",
// IFD0 with its Exif, GPS and interoperability sub-IFDs, IFD1 with the
// embedded thumbnail). Pure code over untrusted bytes: every offset is
// checked against the block, every IFD is visited at most once, and nothing
// here ever fails loudly; a block that cannot be read says "upright".
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// The stored orientation 1..8 of a TIFF-structured EXIF block; 1 (upright)
// for a missing, zero, out-of-range or unreadable value. The entry point of
// the EXIF fuzz target.
int Exif_OrientationFromBytes(const uint8_t* data, size_t size);

// A JPEG APP1 segment's payload that holds EXIF starts with "Exif\0\0";
// returns the TIFF structure behind it, or null with *size 0 when the
// payload is something else (XMP, another APP1 user).
const uint8_t* Exif_TiffFromApp1(const uint8_t* payload, size_t payloadSize, size_t* size);

// The block as it may travel with a converted image: Orientation says
// `orientation` (1 when the pixels were turned upright; a block without the
// tag stays without it), the width and height tags say width x height, and
// IFD1 with the embedded thumbnail is gone (its link is cut, its bytes are
// cleared, and the block ends where IFD1 began when nothing kept lies
// behind). Everything else stays byte for byte at its offset, so maker notes
// that point into the block stay valid. False when the block does not parse
// as a TIFF structure (nothing is then kept).
bool Exif_PrepareForOutput(const uint8_t* data, size_t size, uint32_t orientation, uint32_t width, uint32_t height,
                           std::vector<uint8_t>* out);

// What Exif_Inspect reports of a block, for checks of a written file.
struct ExifSummary {
    bool valid;            // the header and IFD0 parse
    int orientation;       // 0 when the tag is missing
    bool hasIfd1;          // IFD0 links to a next IFD
    bool hasThumbnail;     // IFD1 names thumbnail data inside the block
    int64_t pixelWidth;    // Exif IFD PixelXDimension, -1 when missing
    int64_t pixelHeight;   // Exif IFD PixelYDimension, -1 when missing
    int64_t imageWidth;    // IFD0 ImageWidth, -1 when missing
    int64_t imageHeight;   // IFD0 ImageLength, -1 when missing
};
ExifSummary Exif_Inspect(const uint8_t* data, size_t size);

// Orientation values: how the stored rows and columns map onto the upright
// picture.
constexpr int kExifUpright = 1;
// True for the values that swap width and height (5 to 8).
constexpr bool Exif_SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }
