// File-system primitives under the module's sources: descriptors that close themselves,
// paths as the system calls take them, OSError from an errno, and reading whole files.
#pragma once

#include "pyxx.hpp"

#include <unistd.h>

#include <string>
#include <utility>

namespace qv {

// A descriptor closed on every way out.
class descriptor {
public:
    descriptor() = default;
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    descriptor& operator=(descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// A str, bytes or os.PathLike: something to open by name rather than a file object.
bool is_path_like(handle value);

// os.fsencode(path): bytes for the system calls.
ref fs_encoded(handle path);

// OSError(code, strerror(code), os.fspath(path)), as the os module raises it (the subclass
// for the code: FileNotFoundError, PermissionError, ...).
[[noreturn]] void raise_os_error(int code, handle path);

// How a whole-file read treats links and files that are not regular.
enum class read_mode {
    follow_links,       // a link is read through; a missing file raises
    regular_file_only,  // missing, a link, or not a regular file: no bytes, nothing raised
};

// The bytes of the file at `path`; an empty ref where `mode` says so. Other failures raise
// as reading the file would. The interpreter lock is released while the bytes are read.
ref read_file(handle path, read_mode mode);

// What reading a file that must be a regular file found. It touches no Python object, so
// it may run without the interpreter lock; running out of memory throws std::bad_alloc.
enum class entry_read {
    hit,     // `data` holds the file's bytes
    miss,    // missing, a link, or not a regular file
    failed,  // `error` holds the errno
};
entry_read read_regular_file(const char* path, std::string& data, int& error);

// True when `path`, links followed, is a regular file (not a FIFO, socket, device or folder).
bool is_regular_file(handle path);

// Up to `length` of the first bytes of the file at `path` into `into`: how many were read,
// 0 when it cannot be opened or read. A FIFO gives its bytes only when a writer has some ready.
std::size_t read_head(handle path, char* into, std::size_t length);

// True when the file at `path` begins with one of the byte strings in `heads` (each of
// `length` bytes); false when it does not, or cannot be opened or read.
bool starts_with(handle path, const char* const* heads, std::size_t count, std::size_t length);

}  // namespace qv
