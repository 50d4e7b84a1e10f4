// The one writer. Bytes go to an unnamed file in the target's folder (a hidden named
// temporary where the file system refuses unnamed ones), reach the disk, and only then take
// the target's name in one step; every count of every write is checked on the way.
#include "writer.hpp"

#include "files.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace qv {

namespace {

// The target split into its folder and its name; every later step names the same opened
// folder, so a folder swapped meanwhile cannot redirect the file.
struct place {
    std::string folder_path;
    std::string name;
    descriptor folder;
};

place split(const char* path) {
    std::string text(path);
    std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return {".", text, {}};
    return {slash == 0 ? "/" : text.substr(0, slash), text.substr(slash + 1), {}};
}

int open_folder(place& at) {
    if (at.name.empty() || at.name == "." || at.name == "..") return EISDIR;
    int fd = open(at.folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    at.folder = descriptor(fd);
    return 0;
}

// A hidden name that is not an image name: listings and sweeps pass it over.
void temporary_name(char (&out)[32]) {
    static std::atomic<unsigned long> counter{0};
    unsigned long long token = 0;
    if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        token = static_cast<unsigned long long>(now.tv_nsec) * 2654435761u ^ (counter.fetch_add(1) << 32) ^ getpid();
    }
    std::snprintf(out, sizeof out, ".qv-%016llx.tmp", token);
}

bool is_link(const place& at) {
    struct stat st{};
    return fstatat(at.folder.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

int write_all(int fd, const char* at, std::size_t left) {
    while (left > 0) {
        ssize_t written = write(fd, at, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

// A file being written: unnamed while the file system allows it, otherwise under a hidden
// temporary name that is removed again unless it became the target.
class pending_file {
public:
    explicit pending_file(const place& at) : at_(at) {}
    pending_file(const pending_file&) = delete;
    pending_file& operator=(const pending_file&) = delete;
    ~pending_file() {
        if (temp_[0]) unlinkat(at_.folder.get(), temp_, 0);
    }

    int fd() const { return fd_.get(); }

    int create() {
        int fd = openat(at_.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = descriptor(fd);
            return 0;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[32];
            temporary_name(name);
            fd = openat(at_.folder.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = descriptor(fd);
                std::memcpy(temp_, name, sizeof name);
                return 0;
            }
            if (errno != EEXIST && errno != EINTR) return errno;
        }
        return EEXIST;
    }

    // Gives the file the target's name. `replace_files`: whatever stands there is replaced;
    // otherwise only a link is, and a file standing there fails with EEXIST.
    int publish(bool replace_files) {
        const char* name = at_.name.c_str();
        if (!temp_[0]) {
            int result = link_unnamed(name);
            if (result != EEXIST) return result;
            if (!replace_files && !is_link(at_)) return EEXIST;
            // Something stands at the name: a temporary name first, then one rename over it.
            for (int attempt = 0; attempt < 100 && !temp_[0]; ++attempt) {
                char temp[32];
                temporary_name(temp);
                result = link_unnamed(temp);
                if (result == 0) std::memcpy(temp_, temp, sizeof temp);
                else if (result != EEXIST) return result;
            }
            if (!temp_[0]) return EEXIST;
        } else if (!replace_files) {
            if (renameat2(at_.folder.get(), temp_, at_.folder.get(), name, RENAME_NOREPLACE) == 0) {
                temp_[0] = 0;
                return 0;
            }
            int result = errno;
            if (result == EINVAL || result == ENOSYS) {
                // No exclusive rename on this file system: a hard link never replaces either.
                if (linkat(at_.folder.get(), temp_, at_.folder.get(), name, 0) == 0) return 0;
                result = errno;
            }
            if (result != EEXIST || !is_link(at_)) return result;
        }
        if (renameat(at_.folder.get(), temp_, at_.folder.get(), name) != 0) return errno;
        temp_[0] = 0;
        return 0;
    }

private:
    int link_unnamed(const char* name) {
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_.get());
        if (linkat(AT_FDCWD, proc, at_.folder.get(), name, AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno != ENOENT) return errno;
        // Without /proc only a privileged process can name an unnamed file.
        if (linkat(fd_.get(), "", at_.folder.get(), name, AT_EMPTY_PATH) == 0) return 0;
        return errno;
    }

    const place& at_;
    descriptor fd_;
    char temp_[32] = {};
};

// The replacement keeps the old file's owner where allowed, then its permission bits
// (chown clears set-id bits, so chmod comes last).
int keep_owner_and_mode(int fd, const struct stat& old) {
    struct stat now{};
    if (fstat(fd, &now) != 0) return errno;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0 &&
        errno != EPERM)
        return errno;
    return fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

int write_steps(place& at, const char* data, std::size_t size) {
    if (int result = open_folder(at)) return result;
    struct stat old{};
    bool replaces_file =
        fstatat(at.folder.get(), at.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    // A write-protected file stays protected: writing in place would have been refused.
    if (replaces_file && faccessat(at.folder.get(), at.name.c_str(), W_OK, 0) != 0) return errno;
    pending_file file(at);
    if (int result = file.create()) return result;
    if (int result = write_all(file.fd(), data, size)) return result;
    if (replaces_file)
        if (int result = keep_owner_and_mode(file.fd(), old)) return result;
    // the bytes reach the disk before the name does
    if (fdatasync(file.fd()) != 0) return errno;
    return file.publish(true);
}

// The errno of a failed copy, and whether reading the source failed.
struct copy_failure {
    int code = 0;
    bool at_source = false;
};

copy_failure copy_steps(const char* source, place& at) {
    descriptor input(open(source, O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) return {errno, true};
    struct stat st{};
    if (fstat(input.get(), &st) != 0) return {errno, true};
    if (int result = open_folder(at)) return {result, false};
    pending_file file(at);
    if (int result = file.create()) return {result, false};
    static thread_local char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(input.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return {errno, true};
        }
        if (got == 0) break;
        if (int result = write_all(file.fd(), buffer, static_cast<std::size_t>(got))) return {result, false};
    }
    // shutil.copy2's metadata: permission bits, then access and modification times
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (fchmod(file.fd(), st.st_mode & 07777) != 0 || futimens(file.fd(), times) != 0 || fsync(file.fd()) != 0)
        return {errno, false};
    return {file.publish(false), false};
}

}  // namespace

void write_file(handle target, handle data) {
    ref encoded = fs_encoded(target);
    byte_view bytes(data);
    place at = split(PyBytes_AS_STRING(encoded.ptr()));
    int result;
    {
        gil_released lock_free;
        result = write_steps(at, bytes.data(), bytes.size());
    }
    if (result) raise_os_error(result, target);
}

void copy_file(handle source, handle target) {
    ref source_encoded = fs_encoded(source);
    ref encoded = fs_encoded(target);
    place at = split(PyBytes_AS_STRING(encoded.ptr()));
    copy_failure failed;
    {
        gil_released lock_free;
        failed = copy_steps(PyBytes_AS_STRING(source_encoded.ptr()), at);
    }
    if (failed.code) raise_os_error(failed.code, failed.at_source ? source : target);
}

}  // namespace qv
