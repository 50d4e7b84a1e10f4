// The native JPEG routes: lossless turns, upright display without re-encoding, thumbnails
// decoded at the smallest scale that covers them, and embedded previews. Each route that
// stands in for Pillow's steps runs only while the globals it bypasses are the module's own
// and the file is one it reads exactly as Pillow would; otherwise it answers "not taken"
// (an empty ref) and the caller runs those steps, which give today's result or error.
#pragma once

#include "library.hpp"

namespace qv {

// The bytes of the JPEG file `source` turned clockwise by `degrees` without loss: its EXIF
// orientation and the turn in one transform, every marker kept, Orientation 1, pixel
// dimensions and embedded preview turned along. Empty when the transform is not exact or the
// file is not a plain single-picture JPEG.
ref losslessly_turned(handle source, handle degrees);

// display_source for a file whose EXIF orientation Pillow read as `orientation` (2 to 8): the
// file stood upright without loss, or empty.
ref losslessly_upright(handle target, handle orientation);

// The thumbnail entry of a JPEG (or of a multi-picture file's first picture), made with the
// codec; empty for the Pillow steps.
ref jpeg_thumbnail(handle target, handle edge);

}  // namespace qv
