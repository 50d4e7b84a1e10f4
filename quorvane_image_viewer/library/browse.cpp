// Folder browsing: listing one folder level, ordering a listing, and the user's places.
#include "library.hpp"

namespace qv {

namespace {

const name n_iterdir{"iterdir"}, n_path{"path"}, n_mtime{"mtime"}, n_kind{"kind"}, n_dir{"dir"}, n_image{"image"},
    n_folders{"folders"}, n_files{"files"}, n_sort{"sort"}, n_key{"key"}, n_startswith{"startswith"},
    n_date{"date"}, n_type{"type"}, n_home{"home"}, n_Pictures{"Pictures"};

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

// Sort keys are computed in C++ so that a sort runs no Python frame per row.
// Each key is a METH_O builtin whose bound `self` carries what the order needs.

// row["name"].lower(): the name order, and the order of a listing's folders.
PyObject* lowered_name_key(PyObject*, PyObject* row) {
    try {
        return handle(row).item(n_name).method(n_lower).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

// row[self], unconverted: the size and date orders.
PyObject* row_value_key(PyObject* row_key, PyObject* row) {
    try {
        return handle(row).item(row_key).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

// Path(row["name"]).suffix.lower(), with `self` the Path the sort call looked up.
PyObject* lowered_suffix_key(PyObject* path_type, PyObject* row) {
    try {
        return handle(path_type)(handle(row).item(n_name)).attr(n_suffix).method(n_lower).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

PyMethodDef lowered_name_def = {"lowered_name", lowered_name_key, METH_O, nullptr};
PyMethodDef row_value_def = {"row_value", row_value_key, METH_O, nullptr};
PyMethodDef lowered_suffix_def = {"lowered_suffix", lowered_suffix_key, METH_O, nullptr};

ref key_function(PyMethodDef& def, handle bound) { return steal(PyCFunction_New(&def, bound.ptr())); }

// The order table, compared by equality in its order; anything else orders by name.
ref order_key(handle key) {
    if (key.equals(n_size)) return key_function(row_value_def, n_size);
    if (key.equals(n_date)) return key_function(row_value_def, n_mtime);
    if (key.equals(n_type)) return key_function(lowered_suffix_def, global(n_Path));
    return key_function(lowered_name_def, handle());
}

ref joined(handle base, handle part) { return steal(PyNumber_TrueDivide(base.ptr(), part.ptr())); }

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
    method_kw(folders, n_sort, {}, {{n_key, key_function(lowered_name_def, handle())}});

    ref listing = new_dict();
    listing.set_item(n_path, root.str());
    ref parent = root.attr(n_parent);
    listing.set_item(n_parent, parent.equals(root) ? borrow(none()) : parent.str());
    listing.set_item(n_folders, folders);
    listing.set_item(n_files, files);
    return listing;
}

ref sort_files(handle files, handle key, handle descending) {
    ref sort_key = order_key(key);
    ref ordered = call_kw(builtin_sorted(), {files}, {{n_key, sort_key}});
    // Reversing the ascending result mirrors ties too, unlike sorted(reverse=True).
    if (descending.truthy() && PyList_Reverse(ordered.ptr()) < 0) throw_error();
    return ordered;
}

ref home_folder() {
    ref pictures = joined(global(n_Path).attr(n_home)(), n_Pictures);
    if (pictures.method(n_is_dir).truthy()) return pictures.str();
    return global(n_Path).attr(n_home)().str();
}

ref make_folder(handle parent, handle name) {
    ref root = resolved_path(parent);
    ref cleaned = global(n_Path)(name).attr(n_name);
    if (!cleaned.truthy()) raise(PyExc_ValueError, "bad name");
    ref dest = joined(root, cleaned);
    method_kw(dest, n_mkdir, {}, {{n_parents, boolean(false)}, {n_exist_ok, boolean(false)}});
    return dest.str();
}

}  // namespace qv
