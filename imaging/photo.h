// What a photo goes through between its reading and the transform pipeline
// (upright by the camera's orientation, sRGB by its colour profile), what
// travels with it into the output file, and the zoom that never enlarges.
// Pure code.
#pragma once
#include "makerlibs/pmdib.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmsingleops.h"
#include <cstdint>

// Turns and mirrors the image held in *header / *bits as the stored
// orientation (1..8) says; other values leave it alone. 0, or 105/106 with
// the image unchanged.
int Photo_Upright(int orientation, DibHeader** header, uint8_t** bits);

// Where the picture of a reduced decode (`extent`, in the image as stored,
// `stored` pixels) lies once Photo_Upright turned the image by `orientation`.
PmExtent Photo_OrientExtent(int orientation, PmExtent extent, PmSize stored);

// One picture's geometry from its file to the pipeline: the size the file
// stores, the orientation it stores, the pixels the reader decoded (a
// reduced read holds fewer) and whether they were turned upright since.
// Every size, place and orientation the conversion needs is derived here,
// so no caller keeps several values that must agree.
class PictureGeometry {
public:
    // `decoded`: the pixels as the reader handed them back; `full`: the
    // file's size (cx 0 when the reader did not say: the decoded size);
    // `reduction`: what the reader divided the sides by (rounded up);
    // `orientation`: as stored, anything but 2..8 counting as upright.
    PictureGeometry(PmSize decoded, PmSize full, uint32_t reduction, int orientation);

    int StoredOrientation() const { return orientation_; }
    PmSize Stored() const { return full_; }
    // The file's full size the right way up.
    PmSize Upright() const { return Oriented(full_); }
    // A size of the upright picture as the file stores it, and back (the
    // same swap both ways).
    PmSize AsStored(PmSize upright) const { return Oriented(upright); }
    // The full size and the decoded pixels as the pixels lie now.
    PmSize Full() const { return turned_ ? Upright() : full_; }
    PmSize Decoded() const { return turned_ ? Oriented(decoded_) : decoded_; }
    bool Reduced() const { return reduction_ > 1 && (full_.cx != decoded_.cx || full_.cy != decoded_.cy); }
    uint32_t Reduction() const { return reduction_; }
    bool TurnedUpright() const { return turned_; }

    // The pixels were turned upright by the stored orientation.
    void SetTurnedUpright() { turned_ = true; }

    // Where the picture of a reduced decode lies in the pixels as they lie
    // now: full / reduction from the top left as stored, wherever turning
    // moved that corner.
    PmExtent PictureExtent() const;

    // The orientation of pixels made from these by a turn of `angle`
    // (counter-clockwise, degrees x 65536): pixels turned upright, then
    // turned by the Direction rule, are the picture the settings asked for
    // (1); pixels left as stored keep the camera's statement of which way is
    // up, composed with the turn, so a viewer that honours it neither loses
    // nor repeats a turn.
    int OutputOrientation(int32_t angle) const;

private:
    PmSize Oriented(PmSize s) const { return orientation_ >= 5 ? PmSize{s.cy, s.cx} : s; }
    PmSize decoded_, full_;
    uint32_t reduction_;
    int orientation_;
    bool turned_ = false;
};

// The orientation (1..8) of pixels that were stored with `orientation` and
// then turned by `angle` (counter-clockwise, degrees x 65536; multiples of
// 90 only, others count as none).
int Orientation_AfterTurn(int orientation, int32_t angle);

// Converts the pixels to sRGB by the profile the file carried, unless the
// reader already did or the profile is missing, sRGB, broken or does not
// fit the image. True when the pixels changed.
bool Photo_ToSrgb(const DibMetadata& meta, DibHeader* header, uint8_t* bits);

// Zoom settings that never enlarge, for an image of width x height turned by
// `angle` (the Direction turn): fit (1) keeps the size of an image that
// fits the box already; stretch (any value but 0 and 1) takes no axis beyond
// the image's own. Resize 0 stays.
void ApplyNoEnlarge(int32_t angle, int* resize, PmSize* box, int width, int height);

// What an output file is, for the metadata that goes into it.
struct PhotoOutput {
    int type;                // output image type
    int orientation;         // of the written pixels (PictureGeometry::OutputOrientation)
    uint32_t width, height;  // the written pixels
    bool srgb;               // the pixels were converted to sRGB from the file's own colours
    bool keepCamera;         // the camera's EXIF, XMP and IPTC go along (KeepMetadata)
};

// The metadata for an output file. With `keepCamera`: the EXIF prepared for
// the converted picture (its orientation, no thumbnail, the new size, the
// colour space when converted), plus for JPEG, TIFF and WebP the XMP and the IPTC
// (for JPEG and TIFF an APP13 rebuilt from the IPTC record alone: the other image resources,
// a Photoshop thumbnail among them, describe the old picture). Always, for
// JPEG, PNG and TIFF: the file's RGB or grey profile when the pixels are
// still in its colours, since without it they lose their meaning. False
// when nothing is to be written.
bool Photo_OutputMeta(const DibMetadata& in, const PhotoOutput& output, DibMetadata* out);
// The camera's data for pixels in their own colours, as a developer's
// convert keeps it.
bool Photo_OutputMeta(const DibMetadata& in, int outputType, int orientation, uint32_t width, uint32_t height,
                      DibMetadata* out);
