// Folder browsing: listing one folder level, ordering a listing, and the user's places.
// A listing is made by system calls where they give exactly the rows pathlib's steps give
// (one stat per entry where pathlib makes three), and by those steps otherwise.
#include "library.hpp"

#include "bytepath.hpp"
#include "files.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

namespace {

const name n_iterdir{"iterdir"}, n_folders{"folders"}, n_files{"files"}, n_startswith{"startswith"},
    n_Pictures{"Pictures"}, n_is_dir{"is_dir"}, n_kind{"kind"}, n_dir{"dir"}, n_image{"image"}, n_slash{"/"};
// The keys of the order table; any other key is the name order.
const name n_date{"date"}, n_type{"type"};

// ---- the rules both routes follow ----

// entry_name.startswith("."): left out unless hidden entries are asked for
bool is_hidden(handle entry_name) {
    if (PyUnicode_CheckExact(entry_name.ptr()))
        return PyUnicode_GET_LENGTH(entry_name.ptr()) > 0 && PyUnicode_READ_CHAR(entry_name.ptr(), 0) == '.';
    return entry_name.method(n_startswith, n_dot).truthy();
}

// {"name", "path", "mtime", "size", "kind"}
ref listing_row(handle entry_name, handle entry_path, handle mtime, handle size, handle kind) {
    ref row = new_dict();
    row.set_item(n_name, entry_name);
    row.set_item(n_path, entry_path);
    row.set_item(n_mtime, mtime);
    row.set_item(n_size, size);
    row.set_item(n_kind, kind);
    return row;
}

// ---- the pathlib steps ----

// entry.stat(), or an empty ref when it raises OSError: such entries are left out.
ref stat_or_skip(handle entry) {
    return absent_on(PyExc_OSError, [&] { return entry.method(n_stat); });
}

ref list_folder(handle folder, handle show_hidden, handle folders, handle files) {
    ref root = resolved_path(folder);
    if (!root.method(n_is_dir).truthy()) raise_not_found(root);
    bool hide = !show_hidden.truthy();
    for (ref entry : iterate(root.method(n_iterdir))) {
        ref entry_name = entry.attr(n_name);
        if (hide && is_hidden(entry_name)) continue;
        ref stat = stat_or_skip(entry);
        if (!stat) continue;
        // int(stat.st_mtime): whole seconds, cut toward zero
        ref mtime = to_int(stat.attr(n_st_mtime));
        ref size = stat.attr(n_st_size);
        if (entry.method(n_is_dir).truthy())
            append(folders, listing_row(entry_name, entry.str(), mtime, size, n_dir));
        else if (is_image_file(entry))
            append(files, listing_row(entry_name, entry.str(), mtime, size, n_image));
    }
    return root;
}

// ---- the system-call route ----

// int(stat_result.st_mtime): the float the interpreter makes, cut toward zero
ref whole_mtime(const struct stat& st) {
    double seconds = static_cast<double>(st.st_mtim.tv_sec) +
                     static_cast<double>(static_cast<unsigned long>(st.st_mtim.tv_nsec)) * 1e-9;
    return steal(PyLong_FromDouble(seconds));
}

// is_image(entry) for a listed regular file: the module's own test from the name, or, when
// show_hidden's truth test rebound it mid-call, the new one called with the entry as pathlib makes it.
bool entry_is_image(handle root, handle entry_name) {
    ref test = global(n_is_image);
    if (is_own_global(n_is_image)) return is_image_name(entry_name);
    return test(root / entry_name).truthy();
}

struct listed_entry {
    explicit listed_entry(std::string_view entry_name) : name(entry_name) {}
    std::string name;
    ref text;            // the name as os.fsdecode gives it
    bool wanted = true;  // not hidden, or hidden ones asked for
    struct stat st {};
    bool stat_ok = false;
};

// os.listdir(path) without "." and ".."; the errno of a failure, or 0. Like os.listdir
// the folder is closed before anything is stat-ed, so an open descriptor of ours never
// shows up in what is listed (a process's own fd folder).
int read_names(const std::string& path, std::vector<listed_entry>& entries) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (!dir) return errno;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry) return errno;
        std::string_view entry_name(entry->d_name);
        if (entry_name != "." && entry_name != "..") entries.emplace_back(entry_name);
    }
}

// entry.stat() for each entry still wanted: one stat of its full path, following links,
// as pathlib makes it (so a path too long for the system fails here as well).
void stat_entries(const std::string& prefix, std::vector<listed_entry>& entries) {
    std::string path = prefix;
    for (listed_entry& entry : entries) {
        if (!entry.wanted) continue;
        path.resize(prefix.size());
        path.append(entry.name);
        entry.stat_ok = stat(path.c_str(), &entry.st) == 0;
    }
}

// Fills `folders` (unsorted) and `files` with the rows and returns the resolved folder as a
// Path; returns nothing when the pathlib steps must list the folder. Taken only while `Path`
// and is_image are the module's own.
ref list_folder_fast(handle folder, handle show_hidden, handle folders, handle files) {
    if (!is_own_global(n_Path) || !is_own_global(n_is_image)) return ref();
    // the class the pathlib steps would make the folder's Path with, before any caller code runs
    ref path_type = global(n_Path);
    std::string argument;
    if (!argument_bytes(folder, argument)) return ref();

    resolved_bytes root;
    bool resolved;
    {
        gil_released lock_free;
        resolved = resolve(argument, root);
    }
    if (!resolved) return ref();
    ref root_text = fs_text(root.path);
    if (!root.found() || !S_ISDIR(root.st.st_mode)) raise_not_found(root_text);

    // In pathlib's order: the truth of show_hidden, then the folder is read, then each entry stat-ed.
    bool hide = !show_hidden.truthy();
    std::vector<listed_entry> entries;
    int list_error;
    {
        gil_released lock_free;
        list_error = read_names(root.path, entries);
    }
    // os.listdir's own error, naming the folder
    if (list_error) raise_os_error(list_error, root_text);
    for (listed_entry& entry : entries) {
        entry.text = fs_text(entry.name);
        entry.wanted = !hide || !is_hidden(entry.text);
    }
    bool at_top = root.path == "/";
    {
        gil_released lock_free;
        stat_entries(at_top ? root.path : root.path + "/", entries);
    }

    ref root_path = path_type(root_text);
    ref prefix = at_top ? root_text : root_text + n_slash;
    for (const listed_entry& entry : entries) {
        if (!entry.stat_ok) continue;
        bool is_dir = S_ISDIR(entry.st.st_mode);
        if (!is_dir && !S_ISREG(entry.st.st_mode)) continue;
        if (!is_dir && !entry_is_image(root_path, entry.text)) continue;
        append(is_dir ? folders : files, listing_row(entry.text, prefix + entry.text, whole_mtime(entry.st),
                                                     number(entry.st.st_size), is_dir ? n_dir : n_image));
    }
    return root_path;
}

}  // namespace

ref list_dir(handle folder, handle show_hidden) {
    ref folders = new_list();
    ref files = new_list();
    ref root = list_folder_fast(folder, show_hidden, folders, files);
    if (!root) root = list_folder(folder, show_hidden, folders, files);
    folders = sorted_by_name(folders);

    ref listing = new_dict();
    listing.set_item(n_path, root.str());
    ref parent = root.attr(n_parent);
    listing.set_item(n_parent, parent.equals(root) ? borrow(none()) : parent.str());
    listing.set_item(n_folders, folders);
    listing.set_item(n_files, files);
    return listing;
}

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
