// Thumbnails made in memory bounded by the decoded image, whatever its size or mode.
#pragma once

#include "pyxx.hpp"

namespace qv {

// Image.Transpose values that turn an image a quarter, so width and height trade places.
bool swaps_sides(long transpose);

// What image.thumbnail((edge, edge)) would give, as RGB laid over white, then turned by
// `transpose` (an Image.Transpose value, or -1 for none; the edge bounds the turned image).
// The image itself is left as it is, and no full-size copy of it is made.
ref thumbnail_on_white(handle image, long edge, long transpose);

}  // namespace qv
