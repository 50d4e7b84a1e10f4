// Folder browsing: listing one folder level, ordering a listing, and the user's places.
#include "fastfs.hpp"

namespace qv {

namespace {

const name n_iterdir{"iterdir"}, n_folders{"folders"}, n_files{"files"}, n_startswith{"startswith"},
    n_Pictures{"Pictures"};

// entry.stat(), or an empty ref when it raises OSError: such entries are left out.
ref stat_or_skip(handle entry) {
    return absent_on(PyExc_OSError, [&] { return entry.method(n_stat); });
}

}  // namespace

ref listing_row(handle entry_name, handle entry_path, handle mtime, handle size) {
    ref row = new_dict();
    row.set_item(n_name, entry_name);
    row.set_item(n_path, entry_path);
    row.set_item(n_mtime, mtime);
    row.set_item(n_size, size);
    return row;
}

ref list_dir(handle folder, handle show_hidden) {
    ref folders = new_list();
    ref files = new_list();
    // System calls instead of pathlib where they give the same rows; else pathlib lists.
    ref root = list_folder_fast(folder, show_hidden, folders, files);
    if (!root) {
        root = resolved_path(folder);
        if (!root.method(n_is_dir).truthy()) raise_not_found(root);
        bool hide = !show_hidden.truthy();
        for (ref entry : iterate(root.method(n_iterdir))) {
            ref entry_name = entry.attr(n_name);
            if (hide && entry_name.method(n_startswith, n_dot).truthy()) continue;
            ref stat = stat_or_skip(entry);
            if (!stat) continue;
            // int(stat.st_mtime): whole seconds, cut toward zero
            ref row = listing_row(entry_name, entry.str(), to_int(stat.attr(n_st_mtime)), stat.attr(n_st_size));
            if (entry.method(n_is_dir).truthy()) {
                row.set_item(n_kind, n_dir);
                append(folders, row);
            } else if (entry.method(n_is_file).truthy() && global(n_is_image)(entry).truthy()) {
                row.set_item(n_kind, n_image);
                append(files, row);
            }
        }
    }
    folders = sorted_by_name(folders);

    ref listing = new_dict();
    listing.set_item(n_path, root.str());
    ref parent = root.attr(n_parent);
    listing.set_item(n_parent, parent.equals(root) ? borrow(none()) : parent.str());
    listing.set_item(n_folders, folders);
    listing.set_item(n_files, files);
    return listing;
}

namespace {
// The keys of the order table; any other key is the name order.
const name n_date{"date"}, n_type{"type"};
}  // namespace

ref sort_files(handle files, handle key, handle descending) {
    // The order table, compared by equality in its order.
    ref ordered = key.equals(n_size)   ? sorted_by_field(files, n_size)
                  : key.equals(n_date) ? sorted_by_field(files, n_mtime)
                  : key.equals(n_type) ? sorted_by_suffix(files, global(n_Path))
                                       : sorted_by_name(files);
    // Reversing the ascending result mirrors ties too, unlike sorted(reverse=True).
    if (descending.truthy() && PyList_Reverse(ordered.ptr()) < 0) throw_error();
    return ordered;
}

ref home_folder() {
    ref pictures = global(n_Path).attr(n_home)() / n_Pictures;
    if (pictures.method(n_is_dir).truthy()) return pictures.str();
    return global(n_Path).attr(n_home)().str();
}

ref make_folder(handle parent, handle name) {
    ref root = resolved_path(parent);
    ref cleaned = global(n_Path)(name).attr(n_name);
    if (!cleaned.truthy()) raise(PyExc_ValueError, "bad name");
    ref dest = root / cleaned;
    method_kw(dest, n_mkdir, {}, {{n_parents, boolean(false)}, {n_exist_ok, boolean(false)}});
    return dest.str();
}

}  // namespace qv
