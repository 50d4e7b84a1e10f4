// Reading files with system calls, and the primitives the writer shares.
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace qv {

bool is_path_like(handle value) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return true;
    return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), "__fspath__");
}

ref fs_encoded(handle path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw_error();
    return steal(encoded);
}

void raise_os_error(int code, handle path) {
    ref filename = steal(PyOS_FSPath(path.ptr()));
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw_error();
}

namespace {

// O_NONBLOCK: a FIFO named like a file opens at once instead of waiting for a writer.
int open_for_reading(const char* path, read_mode mode) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (mode == read_mode::regular_file_only) flags |= O_NOFOLLOW;
    return open(path, flags);
}

int read_all(int fd, char* at, std::size_t size) {
    while (size > 0) {
        ssize_t got = read(fd, at, size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return EIO;  // the file shrank under us
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

bool means_missing(int code) { return code == ENOENT || code == ENOTDIR || code == ELOOP || code == ENXIO; }

}  // namespace

entry_read read_regular_file(const char* path, std::string& data, int& error) {
    // Looked at before it is opened: opening a device or socket can itself do harm or fail.
    struct stat st{};
    if (lstat(path, &st) != 0) {
        error = errno;
        return means_missing(error) ? entry_read::miss : entry_read::failed;
    }
    if (!S_ISREG(st.st_mode)) return entry_read::miss;
    descriptor fd(open_for_reading(path, read_mode::regular_file_only));
    if (fd.get() < 0) {
        error = errno;
        return means_missing(error) ? entry_read::miss : entry_read::failed;
    }
    if (fstat(fd.get(), &st) != 0) {
        error = errno;
        return entry_read::failed;
    }
    if (!S_ISREG(st.st_mode)) return entry_read::miss;
    // Read to the end, whatever the size said: the file may grow meanwhile.
    data.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        ssize_t got = read(fd.get(), data.data() + used, data.size() - used);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return entry_read::failed;
        }
        used += static_cast<std::size_t>(got);
    }
    data.resize(used);
    return entry_read::hit;
}

ref read_file(handle path, read_mode mode) {
    ref encoded = fs_encoded(path);
    const char* text = PyBytes_AS_STRING(encoded.ptr());
    if (mode == read_mode::regular_file_only) {
        std::string data;
        int error = 0;
        entry_read found;
        {
            gil_released lock_free;
            found = read_regular_file(text, data, error);
        }
        if (found == entry_read::failed) raise_os_error(error, path);
        if (found == entry_read::miss) return ref();
        return steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    }
    descriptor fd;
    {
        gil_released lock_free;
        fd = descriptor(open_for_reading(text, mode));
    }
    if (fd.get() < 0) raise_os_error(errno, path);
    struct stat st{};
    if (fstat(fd.get(), &st) != 0) raise_os_error(errno, path);
    if (!S_ISREG(st.st_mode)) raise_os_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path);
    // the buffer is the interpreter's, made while the lock is held, so running out of it raises
    ref data = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(st.st_size)));
    char* into = PyBytes_AS_STRING(data.ptr());
    int result;
    {
        gil_released lock_free;
        result = read_all(fd.get(), into, static_cast<std::size_t>(st.st_size));
    }
    if (result) raise_os_error(result, path);
    return data;
}

bool is_regular_file(handle path) {
    ref encoded = fs_encoded(path);
    const char* text = PyBytes_AS_STRING(encoded.ptr());
    struct stat st{};
    gil_released lock_free;
    return stat(text, &st) == 0 && S_ISREG(st.st_mode);
}

std::size_t read_head(handle path, char* into, std::size_t length) {
    ref encoded = fs_encoded(path);
    const char* text = PyBytes_AS_STRING(encoded.ptr());
    ssize_t got;
    {
        gil_released lock_free;
        descriptor fd(open_for_reading(text, read_mode::follow_links));
        got = fd.get() < 0 ? -1 : pread(fd.get(), into, length, 0);
    }
    return got < 0 ? 0 : static_cast<std::size_t>(got);
}

bool starts_with(handle path, const char* const* heads, std::size_t count, std::size_t length) {
    char head[16] = {};
    if (length > sizeof head || read_head(path, head, length) != length) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (std::memcmp(head, heads[i], length) == 0) return true;
    return false;
}

}  // namespace qv
