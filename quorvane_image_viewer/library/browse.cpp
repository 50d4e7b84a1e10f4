// Folder browsing: listing one folder level.
#include "library.hpp"

namespace qv {

namespace {

const name n_iterdir{"iterdir"}, n_path{"path"}, n_mtime{"mtime"}, n_kind{"kind"}, n_dir{"dir"}, n_image{"image"},
    n_folders{"folders"}, n_files{"files"}, n_sort{"sort"}, n_key{"key"}, n_startswith{"startswith"};

// entry.stat(), or an empty ref when it raises OSError: such entries are left out.
ref stat_or_skip(handle entry) {
    try {
        return entry.method(n_stat);
    } catch (error_already_set&) {
        if (clear_if(PyExc_OSError)) return ref();
        throw;
    }
}

ref listing_row(handle entry, handle entry_name, handle stat) {
    ref row = new_dict();
    row.set_item(n_name, entry_name);
    row.set_item(n_path, entry.str());
    row.set_item(n_mtime, to_int(stat.attr(n_st_mtime)));
    row.set_item(n_size, stat.attr(n_st_size));
    return row;
}

// Sort key of a folder row: its name lower-cased, computed without a Python frame.
PyObject* lowered_name_key(PyObject*, PyObject* row) {
    try {
        return handle(row).item(n_name).method(n_lower).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

PyMethodDef lowered_name_def = {"lowered_name", lowered_name_key, METH_O, nullptr};

}  // namespace

ref list_dir(handle folder, handle show_hidden) {
    ref root = resolved_path(folder);
    if (!root.method(n_is_dir).truthy()) raise_not_found(root);
    ref folders = new_list();
    ref files = new_list();
    bool hide = !show_hidden.truthy();
    for (ref entry : iterate(root.method(n_iterdir))) {
        ref entry_name = entry.attr(n_name);
        if (hide && entry_name.method(n_startswith, n_dot).truthy()) continue;
        ref stat = stat_or_skip(entry);
        if (!stat) continue;
        ref row = listing_row(entry, entry_name, stat);
        if (entry.method(n_is_dir).truthy()) {
            row.set_item(n_kind, n_dir);
            append(folders, row);
        } else if (entry.method(n_is_file).truthy() && global(n_is_image)(entry).truthy()) {
            row.set_item(n_kind, n_image);
            append(files, row);
        }
    }
    ref key = steal(PyCFunction_New(&lowered_name_def, nullptr));
    method_kw(folders, n_sort, {}, {{n_key, key}});

    ref listing = new_dict();
    listing.set_item(n_path, root.str());
    ref parent = root.attr(n_parent);
    listing.set_item(n_parent, parent.equals(root) ? borrow(none()) : parent.str());
    listing.set_item(n_folders, folders);
    listing.set_item(n_files, files);
    return listing;
}

}  // namespace qv
