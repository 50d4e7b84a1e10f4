// Viewing: opening images upright, the display source, the thumbnail cache and
// file information.
#include "fastfs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace qv {

namespace {

const name n_exif_transpose{"exif_transpose"}, n_getexif{"getexif"}, n_get{"get"}, n_get_ifd{"get_ifd"},
    n_home{"home"}, n_read_bytes{"read_bytes"}, n_thumbnail{"thumbnail"}, n_sha1{"sha1"}, n_hexdigest{"hexdigest"},
    n_encode{"encode"}, n_utf_8{"utf-8"}, n_draft{"draft"}, n_surrogateescape{"surrogateescape"}, n_RGBA{"RGBA"},
    n_P{"P"}, n_LA{"LA"}, n_image_jpeg{"image/jpeg"},
    n_quorvane_dir{".quorvane"}, n_image_viewer_dir{"image_viewer"}, n_thumbs_dir{"thumbs"}, n_dot_jpg{".jpg"},
    n_path{"path"}, n_mtime{"mtime"}, n_width{"width"}, n_height{"height"}, n_exif{"exif"}, n_make{"make"},
    n_model{"model"}, n_datetime_label{"datetime"}, n_exposure{"exposure"}, n_iso{"iso"}, n_focal{"focal"};

constexpr long orientation_tag = 274;
constexpr long exif_ifd_tag = 0x8769;
constexpr long display_quality = 90;
constexpr long thumbnail_quality = 80;
constexpr long min_long_edge = 32;
constexpr long max_long_edge = 1024;

struct camera_field {
    long tag;
    const name* label;
};
// The side panel's labels, in the order the record lists them.
const camera_field camera_fields[] = {{271, &n_make},       {272, &n_model},   {306, &n_datetime_label},
                                      {33434, &n_exposure}, {34855, &n_iso},   {37386, &n_focal}};

// rgb_image.save(buf, format="JPEG", quality=quality); buf.getvalue()
ref jpeg_bytes(handle rgb_image, long quality) {
    ref buf = global(n_BytesIO)();
    method_kw(rgb_image, n_save, {buf}, {{n_format, n_JPEG}, {n_quality, number(quality)}});
    return buf.method(n_getvalue);
}

// The steps inside `with open_oriented(target) as image:` on a cache miss.
ref thumbnail_of(handle image, handle edge) {
    ref mode = image.attr(n_mode);
    ref small = image.method(n_convert, mode.equals(n_P) || mode.equals(n_LA) ? n_RGBA : n_RGB);
    small.method(n_thumbnail, pair(edge, edge));
    if (!small.attr(n_mode).equals(n_RGB)) small = small.method(n_convert, n_RGB);
    return jpeg_bytes(small, thumbnail_quality);
}

// The thumbnail of a cache miss. While open_oriented is the module's own, a JPEG is
// decoded already shrunk (draft) to the smallest scale that still covers twice the edge,
// which is what Pillow's own thumbnail() asks for; otherwise the replacement opens it.
ref thumbnail_made(handle target, handle edge) {
    ref opener = global(n_open_oriented);
    if (!is_own_global(n_open_oriented))
        return with(opener(target), [&](handle image) { return thumbnail_of(image, edge); });
    return with(open_image(target), [&](handle image) {
        if (image.attr(n_format).equals(n_JPEG)) {
            ref box = number(2 * PyLong_AsLong(edge.ptr()));
            image.method(n_draft, none(), pair(box, box));
        }
        return thumbnail_of(global(n_ImageOps).attr(n_exif_transpose)(image), edge);
    });
}

// exif_transpose() swaps width and height for these orientations (5 to 8).
bool quarter_turned(handle orientation) {
    for (long turned = 5; turned <= 8; ++turned)
        if (orientation.equals(number(turned))) return true;
    return false;
}

// The side panel's camera fields, by label, from the image's EXIF.
void add_camera_fields(handle image, handle exif) {
    ref raw = image.method(n_getexif);
    // Cameras keep exposure, ISO and focal length in the Exif sub-IFD, read only when needed.
    ref camera;
    for (const camera_field& field : camera_fields) {
        ref tag = number(field.tag);
        ref value = raw.method(n_get, tag);
        if (value.is_none()) {
            if (!camera) camera = raw.method(n_get_ifd, number(exif_ifd_tag));
            value = camera.method(n_get, tag);
        }
        if (!value.is_none()) exif.set_item(*field.label, value.str());
    }
}

// ---- writing a cache entry ----

// os.fsencode(path), for the system calls
ref fs_bytes(handle path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw_error();
    return steal(encoded);
}

const char* fs_text(handle encoded) { return PyBytes_AS_STRING(encoded.ptr()); }

[[noreturn]] void raise_errno(int code, handle filename, handle filename2 = handle()) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, filename.ptr(), filename2.ptr());
    throw_error();
}

// A buffer view of `data`, released on every way out.
class byte_view {
public:
    explicit byte_view(handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) < 0) throw_error();
    }
    ~byte_view() { PyBuffer_Release(&view_); }
    byte_view(const byte_view&) = delete;
    byte_view& operator=(const byte_view&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
};

// A temporary entry file: its path, that path for the system calls, and its descriptor.
struct temporary {
    ref path;
    ref encoded;
    int fd = -1;
};

// A hidden, non-image name in the cache folder that no other writer uses: O_EXCL
// refuses a taken one, and pid, counter and clock make a retry rare.
temporary create_temporary(handle folder, handle entry_name) {
    static unsigned long counter = 0;
    for (int attempt = 0;; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        ref tmp_name = steal(PyUnicode_FromFormat(".%S.%ld-%lu-%lx.tmp", entry_name.ptr(), static_cast<long>(getpid()),
                                                  ++counter, static_cast<unsigned long>(now.tv_nsec)));
        temporary tmp{joined(folder, tmp_name), ref(), -1};
        tmp.encoded = fs_bytes(tmp.path);
        // 0666 and the umask: the same permissions a plain write would give the entry
        tmp.fd = open(fs_text(tmp.encoded), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (tmp.fd >= 0) return tmp;
        int failure = errno;
        if (failure == EINTR && PyErr_CheckSignals() < 0) throw_error();
        if ((failure != EEXIST && failure != EINTR) || attempt >= 100) raise_errno(failure, tmp.path.str());
    }
}

// Writes all of data to tmp and flushes it to disk; the errno of the failure, or 0.
int write_all(const temporary& tmp, const byte_view& data) {
    const char* at = data.data();
    Py_ssize_t left = data.size();
    while (left > 0) {
        ssize_t written = write(tmp.fd, at, static_cast<size_t>(left));
        if (written < 0) {
            if (errno != EINTR) return errno;
            if (PyErr_CheckSignals() < 0) return -1;
            continue;
        }
        at += written;
        left -= written;
    }
    // Without this a power cut after the rename could leave an empty entry under the final name.
    if (fdatasync(tmp.fd) < 0) return errno;
    return 0;
}

// The entry appears under its final name complete or not at all: bytes go to a
// temporary file that is renamed onto `cached`, and removed when anything fails.
void store_entry(handle cached, handle data) {
    byte_view bytes(data);
    ref final_encoded = fs_bytes(cached);
    temporary tmp = create_temporary(cached.attr(n_parent), cached.attr(n_name));
    int failure = write_all(tmp, bytes);
    if (close(tmp.fd) < 0 && failure == 0) failure = errno;
    bool rename_failed = false;
    if (failure == 0) {
        if (rename(fs_text(tmp.encoded), fs_text(final_encoded)) == 0) return;
        failure = errno;
        rename_failed = true;
    }
    unlink(fs_text(tmp.encoded));
    // -1: a signal handler raised while writing; its exception is already pending.
    if (failure < 0) throw_error();
    if (rename_failed) raise_errno(failure, tmp.path.str(), cached.str());
    raise_errno(failure, tmp.path.str());
}

}  // namespace

// max(32, min(int(long_edge), 1024))
ref clamped_long_edge(handle long_edge) {
    ref edge = to_int(long_edge);
    ref upper = number(max_long_edge);
    if (less(upper, edge)) edge = upper;
    ref lower = number(min_long_edge);
    return less(lower, edge) ? edge : lower;
}

// sha1(f"{target}:{st_mtime_ns}:{st_size}:{edge}").hexdigest(); undecodable name bytes
// go back to the bytes they came from, so every valid UTF-8 key is unchanged.
ref cache_key(handle target, handle mtime_ns, handle size, handle edge) {
    ref key_text = steal(PyUnicode_FromFormat("%S:%S:%S:%S", target.ptr(), mtime_ns.ptr(), size.ptr(), edge.ptr()));
    ref encoded = key_text.method(n_encode, n_utf_8, n_surrogateescape);
    return global(n_hashlib).attr(n_sha1)(encoded).method(n_hexdigest);
}

// ---- oriented open and display source ----

ref open_image(handle path) { return global(n_Image).attr(n_open)(path); }

ref open_oriented(handle path) {
    // The file is closed once its upright copy exists, so no descriptor outlives the call.
    return with(open_image(path), [&](handle original) {
        ref upright = global(n_ImageOps).attr(n_exif_transpose)(original);
        // Derived images carry no format; keep the file's own so callers can report it.
        upright.set_attr(n_format, original.attr(n_format));
        return upright;
    });
}

ref display_source(handle path) {
    ref target = resolved_path(path);
    if (!is_image_file(target)) raise_not_found(target);
    ref suffix = target.attr(n_suffix).method(n_lower);
    ref media = global(n_media_type)(suffix);
    if (!media.equals(n_octet_stream)) {
        ref orientation = with(open_image(target), [&](handle image) {
            return image.method(n_getexif).method(n_get, number(orientation_tag), number(1));
        });
        if (orientation.equals(number(0)) || orientation.equals(number(1))) return pair(target, media);
    }
    return with(global(n_open_oriented)(target), [&](handle image) {
        return pair(jpeg_bytes(image.method(n_convert, n_RGB), display_quality), n_image_jpeg);
    });
}

// ---- thumbnail cache ----

ref thumb_cache_dir() {
    ref folder = joined(joined(joined(global(n_Path).method(n_home), n_quorvane_dir), n_image_viewer_dir),
                        n_thumbs_dir);
    method_kw(folder, n_mkdir, {}, {{n_parents, boolean(true)}, {n_exist_ok, boolean(true)}});
    return folder;
}

ref thumbnail_bytes(handle path, handle long_edge) {
    // System calls instead of pathlib where they give the same; its steps do the rest.
    cache_probe probe = probe_cache_fast(path, long_edge);
    if (probe.data) return probe.data;
    ref target = probe.target, edge = probe.edge, key = probe.key, cached = probe.cached;
    if (!key) {
        target = resolved_path(path);
        if (!is_image_file(target)) raise_not_found(target);
        edge = clamped_long_edge(long_edge);
        ref stat = target.method(n_stat);
        key = cache_key(target, stat.attr(n_st_mtime_ns), stat.attr(n_st_size), edge);
    }
    if (!cached) {
        cached = joined(global(n_thumb_cache_dir)(), concat(key, n_dot_jpg));
        if (cached.method(n_is_file).truthy()) return cached.method(n_read_bytes);
    }
    ref data = thumbnail_made(target, edge);
    store_entry(cached, data);
    return data;
}

// ---- file information ----

ref file_info(handle path) {
    ref target = resolved_path(path);
    if (!is_image_file(target)) raise_not_found(target);
    ref stat = target.method(n_stat);
    ref info = new_dict();
    info.set_item(n_path, target.str());
    info.set_item(n_name, target.attr(n_name));
    info.set_item(n_size, stat.attr(n_st_size));
    info.set_item(n_mtime, to_int(stat.attr(n_st_mtime)));
    info.set_item(n_width, none());
    info.set_item(n_height, none());
    info.set_item(n_format, none());
    ref exif = new_dict();
    info.set_item(n_exif, exif);
    ref opener = global(n_open_oriented);
    if (is_own_global(n_open_oriented)) {
        // All of it is in the file's header: the upright size is the stored one, turned
        // for a quarter-turn orientation, and no pixel is decoded (but for a PNG's EXIF).
        with(open_image(target), [&](handle image) {
            auto [width, height] = unpack_pair(image.attr(n_size));
            if (quarter_turned(image.method(n_getexif).method(n_get, number(orientation_tag)))) std::swap(width, height);
            info.set_item(n_width, width);
            info.set_item(n_height, height);
            info.set_item(n_format, image.attr(n_format));
            add_camera_fields(image, exif);
        });
        return info;
    }
    with(opener(target), [&](handle image) {
        auto [width, height] = unpack_pair(image.attr(n_size));
        info.set_item(n_width, width);
        info.set_item(n_height, height);
        info.set_item(n_format, image.attr(n_format));
        add_camera_fields(image, exif);
    });
    return info;
}

}  // namespace qv
