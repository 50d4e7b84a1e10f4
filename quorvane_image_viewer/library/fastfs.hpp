// File-system routes by system calls for the calls a viewer waits on: the folder
// listing and the thumbnail cache lookup. Each runs only while `Path` is pathlib's own
// class and the module helpers it stands in for are the module's own, and gives
// exactly what the pathlib steps give; an input or outcome it does not mirror (another
// argument type, a link loop, an unexpected error) is handed back to those steps.
#pragma once

#include "library.hpp"

namespace qv {

// thumbnail_bytes up to its hit test, filled from the front. Without a key the pathlib
// steps must run from the start; without an entry path they must find the cache folder
// and test the entry; with data the request is a hit.
struct cache_probe {
    ref target;  // the resolved source, a Path (absent on a hit)
    ref edge;    // the clamped long edge
    ref key;     // the entry's key
    ref cached;  // the entry, a Path (absent on a hit)
    ref data;    // the entry's bytes on a hit
};
cache_probe probe_cache_fast(handle path, handle long_edge);

// Fills `folders` (unsorted) and `files` with list_dir's rows and returns the resolved
// folder as a Path; returns nothing when the pathlib steps must list the folder.
ref list_folder_fast(handle folder, handle show_hidden, handle folders, handle files);

}  // namespace qv
