// The one way the module puts a file on disk: complete or absent, never through a link,
// no debris. Paths are anything os.fsencode accepts; errors name the target, never a temporary.
#pragma once

#include "files.hpp"
#include "pyxx.hpp"

#include <functional>

namespace qv {

// Writes the bytes of `data` (any buffer) to `target`. Whatever stands at the target's name
// is replaced, a link included (its target is never touched); an existing regular file keeps
// its permission bits and, where allowed, its owner; a write-protected one is refused.
void write_file(handle target, handle data);

// shutil.copy2(source, target), but the copy only ever appears complete, and never replaces
// a file already at `target` (FileExistsError); a link standing there is replaced.
void copy_file(handle source, handle target);

// The folder at `path`, created when missing, opened without following a link: whatever
// else stands there (a link, a file) raises FileExistsError naming `path`.
descriptor open_own_folder(handle path);

// copy_file into an opened folder, under the name of the path that `choose` gives (errors
// name `folder`). When another writer takes that name first, `choose` is asked again, as
// a free name is chosen a moment later; EEXIST only when it gives the same name twice.
void copy_file_into(handle source, const descriptor& opened, handle folder, const std::function<ref()>& choose);

}  // namespace qv
