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

// The folder at `path`, created when missing, opened without following a link: whatever
// else stands there (a link, a file) raises FileExistsError naming `path`.
descriptor open_own_folder(handle path);

// shutil.copy2(source, target) into an opened folder, where target is the path that `choose`
// gives (errors before it name `folder`). The copy only ever appears complete, and never
// replaces a file already there (a link standing there is replaced): when another writer
// takes the name first, `choose` is asked again, as a free name is chosen a moment later;
// FileExistsError only when it gives the same name twice.
void copy_file_into(handle source, const descriptor& opened, handle folder, const std::function<ref()>& choose);

}  // namespace qv
