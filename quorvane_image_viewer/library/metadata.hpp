// What an image carries besides its pixels, and how it survives a re-encoding: the EXIF
// and colour profile of edited files, the side panel's camera fields, and transparency
// laid over white for encoders that store none.
#pragma once

#include "pyxx.hpp"

namespace qv {

// The EXIF tag that says how the stored pixels must be turned to stand upright.
inline constexpr long orientation_tag = 274;

extern const name n_getexif, n_get, n_exif, n_icc_profile, n_RGBA, n_P, n_LA, n_WEBP;

// True for RGBA, LA and PA images, and for P images with "transparency" in their info;
// a colour key on an RGB or L image does not count.
bool has_transparency(handle image);

// image.convert("RGB"), except that an image with transparency is first composited over
// opaque white, so what lay under transparent pixels never shows.
ref rgb_on_white(handle image);

// The ICC profile of `source` when it describes the pixels of `written` encoded by `pil`
// (its colour space is theirs), else None.
ref profile_for(handle source, handle written, handle pil);

// Adds to `options` the "exif" and "icc_profile" keywords that carry what `source` holds into
// `written` encoded by `pil`; encoders that can hold neither get nothing.
void add_metadata_options(handle options, handle source, handle written, handle pil);

// The Image.Transpose value that stands an image of this EXIF orientation upright, as
// exif_transpose() turns it; -1 for 1, None or anything else.
long upright_transpose(handle orientation);

// The image turned upright by its EXIF orientation (2 to 8), with its EXIF block left out;
// empty when the orientation is upright or cannot be read. For a photo whose damaged block
// Pillow cannot rewrite after turning it.
ref turned_without_exif(handle image);

// The side panel's camera fields, label to str(value) in label order, from an EXIF mapping;
// an Exif sub-IFD that cannot be read counts as empty.
ref camera_fields(handle exif);

}  // namespace qv
