// HEIF and AVIF images (phone photos, mostly) through libheif: recognised by their `ftyp`
// box whatever their name, decoded upright into ordinary Pillow images, and read for their
// size and EXIF without decoding a pixel.
#pragma once

#include "pyxx.hpp"

#include <string>
#include <vector>

namespace qv {

// True when the file begins with an ISO-BMFF `ftyp` box naming a HEIF or AVIF brand.
// False for anything else, and for a path that cannot be opened or read.
bool is_heif_file(handle path);

// The file's primary image as a Pillow image: mode "RGB", or "RGBA" with an alpha plane,
// 8 bits; format "HEIF" or "AVIF"; info["exif"] without its Orientation entry (the container's
// own turn is applied already) and info["icc_profile"] when the file has them. Broken files
// raise OSError subclasses naming the path; a size above Pillow's pixel limit is refused
// before any pixel is decoded.
ref open_heif(handle path);

// The image a thumbnail of `edge` pixels is made from: the smallest thumbnail item whose long
// edge covers `edge` (the primary image is not decoded then), else the primary image.
ref open_heif_for_thumbnail(handle path, long edge);

// What file information reports, read from the container alone: the upright size (a tuple),
// the format, and the EXIF block as an Image.Exif (empty when there is none).
struct heif_header {
    ref size;
    ref format;
    ref exif;
};
heif_header read_heif_header(handle path);

// One of the container's turns of an image: a mirror (`value` as libheif reads it: 0 top to
// bottom, 1 left to right) or a counter-clockwise turn by `value` quarters.
struct heif_transform {
    bool mirror;
    int value;
};

// The primary image's EXIF block as TIFF data, Orientation left in (empty when there is none
// or it cannot be read), and the turns libheif applies to that image, in their order
// (`transforms_read` false when they could not be read); from the container alone, no pixel
// decoded. A broken file raises as open_heif does.
struct heif_exif {
    std::string tiff;
    std::vector<heif_transform> transforms;
    bool transforms_read = false;
};
heif_exif read_heif_exif(handle path);

}  // namespace qv
