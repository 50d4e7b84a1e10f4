// Listing and cache lookups by system calls, mirroring pathlib step by step: paths are
// handled as the bytes os.fsencode gives, so undecodable names come back as the same
// surrogate escapes, and the interpreter lock is released around every stretch of
// system calls so that a slow disk never stalls the caller's other threads.
#include "fastfs.hpp"

#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

namespace {


// Links followed while resolving one path before pathlib is left to do it.
constexpr int max_links = 40;
constexpr std::string_view cache_subfolder = ".quorvane/image_viewer/thumbs";

// The stat errors that pathlib's is_dir() and is_file() read as "not there"; any other raises.
bool means_absent(int error) { return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP; }

// without_gil() for work that allocates: running out of memory there raises MemoryError
// once the lock is back, instead of ending the process.
template <class F> auto unlocked(F&& work) -> decltype(work()) {
    bool out_of_memory = false;
    auto result = without_gil([&]() noexcept {
        try {
            return work();
        } catch (std::bad_alloc&) {
            out_of_memory = true;
            return decltype(work()){};
        }
    });
    if (out_of_memory) throw std::bad_alloc();
    return result;
}

// ---- texts and bytes ----

// os.fsencode(text); false when the text cannot be encoded or holds a NUL, which pathlib refuses its own way
bool encoded(handle text, std::string& out) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (!bytes) {
        if (clear_if(PyExc_UnicodeEncodeError)) return false;
        throw_error();
    }
    ref owned = steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    return out.find('\0') == std::string::npos;
}

// os.fsdecode(bytes)
ref decoded(std::string_view bytes) {
    return steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The argument of a fast route as bytes: an exact str, a leading "~" expanded by pathlib.
// false: the pathlib steps must take the call (another type, a NUL, an unencodable text).
bool argument_bytes(handle value, std::string& out) {
    if (!PyUnicode_CheckExact(value.ptr())) return false;
    if (PyUnicode_GET_LENGTH(value.ptr()) > 0 && PyUnicode_READ_CHAR(value.ptr(), 0) == '~')
        return encoded(global(n_Path)(value).method(n_expanduser).str(), out);
    return encoded(value, out);
}

// ---- posixpath on bytes ----

// posixpath.join(a, b)
void join_into(std::string& a, std::string_view b) {
    if (!b.empty() && b.front() == '/') a.assign(b);
    else if (a.empty() || a.back() == '/') a.append(b);
    else a.append("/").append(b);
}

// posixpath.split(path): returns the tail and leaves the head in `path`
std::string split_tail(std::string& path) {
    std::size_t cut = path.rfind('/');
    cut = cut == std::string::npos ? 0 : cut + 1;
    std::string tail = path.substr(cut);
    path.resize(cut);
    if (path.find_first_not_of('/') != std::string::npos)
        while (path.back() == '/') path.pop_back();
    return tail;
}

// posixpath.normpath
std::string normalised(std::string_view path) {
    if (path.empty()) return ".";
    std::size_t initial = path.front() == '/' ? 1 : 0;
    if (initial && path.substr(0, 2) == "//" && path.substr(0, 3) != "///") initial = 2;
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t cut = path.find('/');
        std::string_view part = path.substr(0, cut);
        path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
        if (part.empty() || part == ".") continue;
        if (part != ".." || (!initial && parts.empty()) || (!parts.empty() && parts.back() == ".."))
            parts.push_back(part);
        else if (!parts.empty())
            parts.pop_back();
    }
    std::string result(initial, '/');
    for (std::size_t i = 0; i < parts.size(); ++i) result.append(i ? "/" : "").append(parts[i]);
    return result.empty() ? "." : result;
}

struct link_walk {
    std::map<std::string, std::optional<std::string>, std::less<>> seen;  // a link and what it resolved to
    int links = 0;
};

// os.readlink(path); false when it fails
bool read_link(const std::string& path, std::string& target) {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) return false;
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// posixpath._joinrealpath, not strict. false where the outcome is one that only pathlib
// gives exactly: a loop (its error differs between interpreters), a link that cannot be
// read, or more links than a path normally holds.
bool join_real(std::string& path, std::string_view rest, link_walk& walk) {
    if (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
        path = "/";
    }
    while (!rest.empty()) {
        std::size_t cut = rest.find('/');
        std::string_view name = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (path.empty()) {
                path = "..";
            } else if (split_tail(path) == "..") {
                join_into(path, "..");
                join_into(path, "..");
            }
            continue;
        }
        std::string next = path;
        join_into(next, name);
        struct stat st;
        if (lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            path = std::move(next);
            continue;
        }
        if (auto known = walk.seen.find(next); known != walk.seen.end()) {
            if (!known->second) return false;
            path = *known->second;
            continue;
        }
        std::string target;
        if (++walk.links > max_links || !read_link(next, target)) return false;
        walk.seen[next] = std::nullopt;
        if (!join_real(path, target, walk)) return false;
        walk.seen[next] = path;
    }
    return true;
}

// os.getcwd() as bytes
bool working_folder(std::string& out) {
    std::vector<char> buffer(PATH_MAX);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return false;
        buffer.resize(buffer.size() * 2);
    }
    out.assign(buffer.data());
    return true;
}

// Path(text).resolve() and the stat that resolve itself makes of the result.
struct resolved_bytes {
    std::string path;
    struct stat st {};
    int stat_error = 0;  // errno of that stat, 0 when it succeeded
};

// Runs without the interpreter lock; false when pathlib must resolve the path.
bool resolve(const std::string& input, resolved_bytes& out) {
    link_walk walk;
    std::string path;
    if (!join_real(path, input, walk)) return false;
    if (path.empty() || path.front() != '/') {
        std::string absolute;
        if (!working_folder(absolute)) return false;
        join_into(absolute, path);
        path = std::move(absolute);
    }
    out.path = normalised(path);
    out.stat_error = stat(out.path.c_str(), &out.st) == 0 ? 0 : errno;
    // resolve() turns a loop met by this stat into an error of its own
    return out.stat_error != ELOOP;
}

// ---- records ----

// stat_result.st_mtime_ns
ref mtime_ns(const struct stat& st) {
    long long total = 0;
    if (!__builtin_mul_overflow(static_cast<long long>(st.st_mtim.tv_sec), 1000000000LL, &total) &&
        !__builtin_add_overflow(total, static_cast<long long>(st.st_mtim.tv_nsec), &total))
        return number(total);
    return number(st.st_mtim.tv_sec) * number(1000000000LL) + number(st.st_mtim.tv_nsec);
}

// int(stat_result.st_mtime): the float the interpreter makes, cut toward zero
ref whole_mtime(const struct stat& st) {
    double seconds = static_cast<double>(st.st_mtim.tv_sec) +
                     static_cast<double>(static_cast<unsigned long>(st.st_mtim.tv_nsec)) * 1e-9;
    return steal(PyLong_FromDouble(seconds));
}

// is_image(Path(...)) as the module's own is_image answers it, from the final name:
// pathlib's suffix (from the last dot, unless that dot starts or ends the name), lower-cased.
bool is_image_name(handle name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw_error();
    ref suffix = dot > 0 && dot < length - 1 ? steal(PyUnicode_Substring(name.ptr(), dot, length)) : borrow(n_empty);
    return contains(global(n_IMAGE_SUFFIXES), suffix.method(n_lower));
}

// is_image(entry) for a listed entry: the module's own test, or, when show_hidden's truth
// test rebound it mid-call, the new one called with the entry as pathlib makes it.
bool entry_is_image(handle root, handle entry_name) {
    ref test = global(n_is_image);
    if (is_own_global(n_is_image)) return is_image_name(entry_name);
    return test(root / entry_name).truthy();
}

// ---- listing ----

struct listed_entry {
    std::string name;
    struct stat st {};
    bool stat_ok = false;
};

// os.listdir(path) without "." and ".."; the errno of a failure, or 0. Like os.listdir
// the folder is closed before anything is stat-ed, so an open descriptor of ours never
// shows up in what is listed (a process's own fd folder).
int read_names(const std::string& path, std::vector<listed_entry>& entries) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return errno;
    int failure = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            failure = errno;
            break;
        }
        std::string_view entry_name(entry->d_name);
        if (entry_name != "." && entry_name != "..") entries.push_back({std::string(entry_name)});
    }
    closedir(dir);
    return failure;
}

// entry.stat() for each entry still wanted: one stat of its full path, following links,
// as pathlib makes it (so a path too long for the system fails here as well).
void stat_entries(const std::string& prefix, bool hide, std::vector<listed_entry>& entries) {
    std::string path = prefix;
    for (listed_entry& entry : entries) {
        if (hide && entry.name.front() == '.') continue;
        path.resize(prefix.size());
        path.append(entry.name);
        entry.stat_ok = stat(path.c_str(), &entry.st) == 0;
    }
}

ref row_of(handle entry_path, handle entry_name, const struct stat& st, handle kind) {
    ref row = listing_row(entry_name, entry_path, whole_mtime(st), number(st.st_size));
    row.set_item(n_kind, kind);
    return row;
}

// ---- thumbnail cache ----

// The folder the module's own thumb_cache_dir() names, as bytes: Path.home() as pathlib
// gives it, joined with the three folder names. false for a home that is not absolute.
bool cache_folder_bytes(handle path_type, std::string& out) {
    if (!encoded(path_type.method(n_home).str(), out) || out.empty() || out.front() != '/') return false;
    if (out.back() != '/') out.push_back('/');
    out.append(cache_subfolder);
    return true;
}

enum class entry_state { hit, miss, unsure };

// The cache entry's bytes when it is a regular file. A link, a folder, a pipe or a device
// is a miss, so a fresh entry replaces it; no open here can block. `unsure`: the folder is
// missing (thumb_cache_dir() makes it), or an error that pathlib's steps must raise.
entry_state read_entry(const std::string& folder, const std::string& entry, std::string& data) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return entry_state::unsure;
    int error = 0;
    switch (read_regular_file(entry.c_str(), data, error)) {
        case entry_read::hit: return entry_state::hit;
        case entry_read::miss: return entry_state::miss;
        case entry_read::failed: break;
    }
    return entry_state::unsure;
}

}  // namespace

ref list_folder_fast(handle folder, handle show_hidden, handle folders, handle files) {
    if (!is_own_global(n_Path) || !is_own_global(n_is_image)) return ref();
    // the class the pathlib steps would make the folder's Path with, before any caller code runs
    ref path_type = global(n_Path);
    std::string argument;
    if (!argument_bytes(folder, argument)) return ref();

    resolved_bytes root;
    if (!unlocked([&] { return resolve(argument, root); })) return ref();
    // is_dir() raises the stat's error itself
    if (root.stat_error != 0 && !means_absent(root.stat_error)) return ref();
    ref root_text = decoded(root.path);
    if (root.stat_error != 0 || !S_ISDIR(root.st.st_mode)) raise_not_found(root_text);

    // In pathlib's order: the truth of show_hidden, then the folder is read, then each entry stat-ed.
    bool hide = !show_hidden.truthy();
    std::string prefix = root.path == "/" ? root.path : root.path + "/";
    std::vector<listed_entry> entries;
    int list_error = unlocked([&] {
        int failure = read_names(root.path, entries);
        if (!failure) stat_entries(prefix, hide, entries);
        return failure;
    });
    // os.listdir's own error, naming the folder
    if (list_error) raise_os_error(list_error, root_text);

    ref root_path = path_type(root_text);
    Py_ssize_t name_start = PyUnicode_GET_LENGTH(root_text.ptr()) + (root.path == "/" ? 0 : 1);
    // One stat per entry, where pathlib makes three of the same file: the row's values,
    // "dir" and "image" all come from it.
    for (const listed_entry& entry : entries) {
        if (!entry.stat_ok) continue;
        bool is_dir = S_ISDIR(entry.st.st_mode);
        if (!is_dir && !S_ISREG(entry.st.st_mode)) continue;
        ref entry_path = decoded(prefix + entry.name);
        ref entry_name = steal(PyUnicode_Substring(entry_path.ptr(), name_start, PY_SSIZE_T_MAX));
        if (is_dir) append(folders, row_of(entry_path, entry_name, entry.st, n_dir));
        else if (entry_is_image(root_path, entry_name)) append(files, row_of(entry_path, entry_name, entry.st, n_image));
    }
    return root_path;
}

cache_probe probe_cache_fast(handle path, handle long_edge) {
    if (!is_own_global(n_Path) || !is_own_global(n_is_image)) return {};
    ref path_type = global(n_Path);
    std::string argument;
    if (!argument_bytes(path, argument)) return {};
    resolved_bytes source;
    bool resolved = unlocked([&] { return resolve(argument, source); });
    // is_file() raises the stat's error itself
    if (!resolved || (source.stat_error != 0 && !means_absent(source.stat_error))) return {};
    ref target_text = decoded(source.path);
    if (source.stat_error != 0 || !S_ISREG(source.st.st_mode)) raise_not_found(target_text);
    // the resolved path is absolute, so its final name follows the last slash
    Py_ssize_t slash = PyUnicode_FindChar(target_text.ptr(), '/', 0, PY_SSIZE_T_MAX, -1);
    if (slash == -2) throw_error();
    if (!is_image_name(steal(PyUnicode_Substring(target_text.ptr(), slash + 1, PY_SSIZE_T_MAX))))
        raise_not_found(target_text);

    cache_probe probe;
    probe.edge = clamped_long_edge(long_edge);
    probe.key = cache_key(target_text, mtime_ns(source.st), number(source.st.st_size), probe.edge);
    // The edge's own conversion may have rebound a global, so ownership is asked again.
    std::string folder, key;
    // a key that is not one plain name (another hashlib may give anything) joins as pathlib decides
    if (is_own_global(n_thumb_cache_dir) && is_own_global(n_Path) && PyUnicode_CheckExact(probe.key.ptr()) &&
        encoded(probe.key, key) && key.find('/') == std::string::npos &&
        cache_folder_bytes(global(n_Path), folder)) {
        std::string entry = folder + "/" + key + ".jpg";
        std::string data;
        entry_state state = unlocked([&] { return read_entry(folder, entry, data); });
        if (state == entry_state::hit) {
            probe.data = steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
            return probe;
        }
        if (state == entry_state::miss) probe.cached = global(n_Path)(decoded(entry));
    }
    probe.target = path_type(target_text);
    return probe;
}

}  // namespace qv
