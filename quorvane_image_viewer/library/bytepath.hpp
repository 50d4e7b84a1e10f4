// Paths as the bytes os.fsencode gives, with the arithmetic posixpath and pathlib do on them:
// joining, normalising and resolving links. Undecodable names come back as the same
// surrogate escapes. It knows nothing of the module, so any source may build on it.
#pragma once

#include "pyxx.hpp"

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace qv {

// os.fsencode(text); false when the text cannot be encoded or holds a NUL, which pathlib
// refuses its own way.
bool fs_bytes(handle text, std::string& out);

// os.fsdecode(bytes)
ref fs_text(std::string_view bytes);

// posixpath.join(a, b), into `a`
void join_into(std::string& a, std::string_view b);

// Path(text).resolve() and the stat that is_dir() or is_file() then makes of the result.
struct resolved_bytes {
    std::string path;
    struct stat st {};
    int stat_error = 0;  // errno of that stat, 0 when it succeeded: then the path was found
    bool found() const { return stat_error == 0; }
};

// Fills `out` for the path `input`; false where only pathlib gives the outcome exactly (a link
// loop, a link that cannot be read, a stat error that is_dir() and is_file() raise). Touches
// no Python object, so it may run with the interpreter lock released.
bool resolve(const std::string& input, resolved_bytes& out);

}  // namespace qv
