// posixpath and pathlib on bytes, step by step, so that what comes out is what they give.
#include "bytepath.hpp"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace qv {

namespace {

// Links followed while resolving one path before pathlib is left to do it.
constexpr int max_links = 40;

// The stat errors that pathlib's is_dir() and is_file() read as "not there"; any other raises.
bool means_absent(int error) { return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP; }

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

}  // namespace

bool fs_bytes(handle text, std::string& out) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (!bytes) {
        if (clear_if(PyExc_UnicodeEncodeError)) return false;
        throw_error();
    }
    ref owned = steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    return out.find('\0') == std::string::npos;
}

ref fs_text(std::string_view bytes) {
    return steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

void join_into(std::string& a, std::string_view b) {
    if (!b.empty() && b.front() == '/') a.assign(b);
    else if (a.empty() || a.back() == '/') a.append(b);
    else a.append("/").append(b);
}

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
    // resolve() turns a loop met by this stat into an error of its own; is_dir() and
    // is_file() raise any error that does not mean "not there"
    return out.found() || (out.stat_error != ELOOP && means_absent(out.stat_error));
}

}  // namespace qv
