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

// What the converted picture is, for the block that travels with it.
struct ExifOutput {
    uint32_t orientation;    // how the written pixels map onto the upright picture
    uint32_t width, height;  // the written pixels
    bool srgb;               // the pixels were converted to sRGB from another space
};

// The block as it may travel with a converted image: Orientation says
// `orientation` (a block without the tag stays without it), the width and
// height tags say width x height, the colour space says sRGB when the
// pixels were converted to it (ColorSpace 1, an interoperability index
// "R03" becomes "R98"), and IFD1 with the embedded thumbnail is gone (its
// link is cut, its bytes are cleared, and the block ends where IFD1 began
// when nothing kept lies behind). Everything else stays byte for byte at
// its offset, so maker notes that point into the block stay valid; their
// own previews stay with them. False when the block does not parse as a
// TIFF structure (nothing is then kept).
bool Exif_PrepareForOutput(const uint8_t* data, size_t size, const ExifOutput& output, std::vector<uint8_t>* out);
// The same for pixels whose colours were not converted.
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

// --- Carrying the camera's data into another file format ---------------------

// One field of an IFD as it travels, its values in little-endian order
// whatever the order of the structure it came from.
struct ExifField {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::vector<uint8_t> value;  // count values of the type, whole
};

// The fields that keep their meaning in another file: from IFD0 those that
// describe the picture and the camera (never the layout of pixels), the
// Exif and GPS sub-IFDs whole but for links to other IFDs, the maker note
// (whose offsets point into the structure it came from) and the editing
// room Windows reserves. Each list is
// sorted by tag, no tag twice, every value of a known type.
struct ExifFields {
    std::vector<ExifField> ifd0, exif, gps;
    bool empty() const { return ifd0.empty() && exif.empty() && gps.empty(); }
};

// Random access to a TIFF structure that is not held in memory (a TIFF
// file, whose own Exif IFD is the camera's data).
class ExifSource {
public:
    virtual ~ExifSource() = default;
    virtual uint64_t Size() = 0;
    // Exactly n bytes from `offset`, or false.
    virtual bool Read(uint64_t offset, void* out, size_t n) = 0;
};

// Takes the fields out of a TIFF structure (an EXIF block or a classic TIFF
// file). Entries that do not fit the structure are left out one by one; the
// amount taken is capped, so a hostile file costs little. False when the
// header or IFD0 do not parse.
bool Exif_CollectFields(ExifSource& source, ExifFields* out);
bool Exif_CollectFields(const uint8_t* data, size_t size, ExifFields* out);

// A new EXIF block ("II*\0", IFD0 linking the Exif and GPS IFDs) holding
// the fields. Empty when there are none.
std::vector<uint8_t> Exif_BuildBlock(const ExifFields& fields);

// The Exif and GPS IFDs laid out for a little-endian ("II") TIFF file whose
// bytes `out` will become from file offset `base` (even). *exifAt and
// *gpsAt: the file offsets of the two IFDs, 0 for one without fields. False
// when neither has fields or the layout would pass 4 GB.
bool Exif_BuildSubIfds(const ExifFields& fields, uint64_t base, std::vector<uint8_t>* out, uint32_t* exifAt,
                       uint32_t* gpsAt);

// Tags of IFD0 and of the links to the sub-IFDs.
constexpr uint16_t kExifTagMake = 0x010F;
constexpr uint16_t kExifTagModel = 0x0110;
constexpr uint16_t kExifTagDateTime = 0x0132;
constexpr uint16_t kExifTagExifIfd = 0x8769;
constexpr uint16_t kExifTagGpsIfd = 0x8825;
constexpr uint16_t kExifTypeAscii = 2;

// XMP and IPTC travel in JPEG as APP1 "http://ns.adobe.com/xap/1.0/" and
// APP13 "Photoshop 3.0" (image resource 0x0404); TIFF holds the bare XMP
// packet and IPTC record in tags of their own. These move them between the
// two forms. The readers return null with *size 0 for any other payload.
const uint8_t* Exif_XmpFromApp1(const uint8_t* payload, size_t payloadSize, size_t* size);
const uint8_t* Exif_IptcFromApp13(const uint8_t* payload, size_t payloadSize, size_t* size);
std::vector<uint8_t> Exif_XmpApp1(const uint8_t* xmp, size_t size);
std::vector<uint8_t> Exif_IptcApp13(const uint8_t* iptc, size_t size);

// An XMP packet made to describe the converted picture: the values of
// tiff:Orientation, tiff:ImageWidth, tiff:ImageLength, exif:PixelXDimension
// and exif:PixelYDimension (as attributes or as elements) say `output`'s,
// and exif:ColorSpace says 1 when the pixels were converted to sRGB. The
// rest stays byte for byte; a value that is not a plain number is left.
std::vector<uint8_t> Exif_XmpForOutput(const uint8_t* xmp, size_t size, const ExifOutput& output);
