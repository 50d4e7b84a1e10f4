// Viewing: opening images upright.
#include "library.hpp"

namespace qv {

namespace {

const name n_exif_transpose{"exif_transpose"};

}  // namespace

ref open_oriented(handle path) {
    // The file is closed once its upright copy exists, so no descriptor outlives the call.
    return with(global(n_Image).attr(n_open)(path), [&](handle original) {
        ref upright = global(n_ImageOps).attr(n_exif_transpose)(original);
        // Derived images carry no format; keep the file's own so callers can report it.
        upright.set_attr(n_format, original.attr(n_format));
        return upright;
    });
}

}  // namespace qv
