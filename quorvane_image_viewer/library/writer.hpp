// The one way the module puts a file on disk: complete or absent, never through a link,
// no debris. Paths are anything os.fsencode accepts; errors name the target, never a temporary.
#pragma once

#include "pyxx.hpp"

namespace qv {

// Writes the bytes of `data` (any buffer) to `target`. Whatever stands at the target's name
// is replaced, a link included (its target is never touched); an existing regular file keeps
// its permission bits and, where allowed, its owner; a write-protected one is refused.
void write_file(handle target, handle data);

// shutil.copy2(source, target), but the copy only ever appears complete, and never replaces
// a file already at `target` (FileExistsError); a link standing there is replaced.
void copy_file(handle source, handle target);

}  // namespace qv
