// The native JPEG routes and preview_bytes: bytes read once, the codec and the EXIF editor run
// with the interpreter lock released, Python touched only to read the file, build a Pillow
// image for scaling, and hand back bytes.
#include "jpeg_routes.hpp"

#include "exif_block.hpp"
#include "files.hpp"
#include "heif.hpp"
#include "jpeg.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

namespace {

const name n_MAX_IMAGE_PIXELS{"MAX_IMAGE_PIXELS"}, n_frombytes{"frombytes"}, n_tobytes{"tobytes"},
    n_resize{"resize"}, n_Resampling{"Resampling"}, n_BICUBIC{"BICUBIC"}, n_reducing_gap{"reducing_gap"};

constexpr int preview_quality = 90;
constexpr int thumbnail_quality = 80;
// An embedded preview is a small picture; one claiming more pixels is not decoded.
constexpr long long preview_max_pixels = 4096LL * 4096;
// Enough of a camera JPEG to hold every segment before its first scan.
constexpr std::size_t head_bytes = 256 * 1024;
// The most of a file read for its preview: a TIFF's directories may lie anywhere in it, but
// a preview past this would not be worth the wait.
constexpr std::size_t most_bytes = 64 * 1024 * 1024;

std::string_view view_of(handle bytes) {
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

ref bytes_of(const std::string& data) {
    return steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// Codec work with the interpreter lock released: any failure in it, running out of memory
// included, is `false`, and the caller takes the Pillow steps.
template <class F> bool unlocked_work(F&& work) {
    gil_released lock_free;
    try {
        return static_cast<bool>(work());
    } catch (...) {
        return false;
    }
}

// Pillow's Image.MAX_IMAGE_PIXELS: past it Pillow warns or refuses, so the routes leave such
// files to Pillow. -1 when the setting is not a plain number.
long long pixel_limit() {
    ref limit = optional_attr(global(n_Image), n_MAX_IMAGE_PIXELS);
    if (!limit) return -1;
    if (limit.is_none()) return LLONG_MAX;
    if (!PyLong_CheckExact(limit.ptr())) return -1;
    long long value = PyLong_AsLongLong(limit.ptr());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return value;
}

// The orientation Pillow reads from a JPEG, when it is certain: -1 when the EXIF block is
// damaged in a way readers may disagree on, or the file may keep it in XMP instead.
long certain_orientation(std::string_view file, const exif::jpeg_layout& layout) {
    if (layout.exif_found && !layout.exif_clean) return -1;
    long orientation = 0;
    if (layout.exif_found) {
        exif::tiff_layout tiff = exif::read_tiff(file.substr(layout.exif_at, layout.exif_size));
        if (!tiff.readable || !tiff.orientation_plain) return -1;
        orientation = tiff.orientation;
    }
    return orientation == 0 && layout.has_xmp ? -1 : orientation;
}

// `file` stood upright by its EXIF orientation and then turned by `requested`, in one lossless
// transform, with its EXIF block edited to match. `expected` (when not -1) is the orientation
// the caller already read; another reading here refuses the route.
bool turned_file(std::string_view file, jpeg::turn requested, long expected, long long max_pixels, std::string& out) {
    exif::jpeg_layout layout = exif::scan_jpeg(file);
    if (!layout.is_jpeg || !layout.complete || layout.multi_picture) return false;
    // CMYK and YCCK files are left to Pillow, whose steps write them as RGB.
    jpeg::header h;
    if (!jpeg::read_header(file, h) || !jpeg::decodes_as_rgb(h) ||
        static_cast<long long>(h.width) * h.height > max_pixels)
        return false;
    long orientation = certain_orientation(file, layout);
    if (orientation < 0 || (expected != -1 && orientation != expected)) return false;
    const jpeg::turn t = jpeg::upright_turn(orientation).then(requested);
    std::string transformed;
    if (!jpeg::transform(file, t, layout.progressive, transformed)) return false;
    if (!layout.exif_found) {
        out = std::move(transformed);
        return true;
    }
    std::string_view block = file.substr(layout.exif_at, layout.exif_size);
    exif::tiff_layout tiff = exif::read_tiff(block);
    // A preview that points outside the block or at something else is left to the Pillow steps.
    if (tiff.preview_found && !tiff.preview_valid) return false;
    std::string preview;
    if (tiff.preview_valid &&
        !jpeg::turned_anyhow(exif::preview_of(block, tiff), t, preview_quality, preview_max_pixels, preview))
        return false;
    std::string edited;
    const long width = t.swaps_sides() ? h.height : h.width, height = t.swaps_sides() ? h.width : h.height;
    if (!exif::edited(block, tiff, width, height, tiff.preview_valid ? &preview : nullptr, edited)) return false;
    // The transform copied the block; it must be found again, whole, to be replaced.
    exif::jpeg_layout copied = exif::scan_jpeg(transformed);
    if (!copied.complete || !copied.exif_clean || copied.exif_size != layout.exif_size) return false;
    return exif::with_block(transformed, copied, edited, out);
}

// One of the four turns rotate_files accepts, in degrees clockwise.
long degrees_of(handle degrees) {
    for (long d : {90L, -90L, 180L, 270L})
        if (degrees.equals(number(d))) return d;
    return 0;
}

// Up to `limit` bytes from the start of the file at `path`; false when it cannot be opened
// or read. `whole` tells whether that was all of it.
bool read_head(const char* path, std::size_t limit, std::string& out, bool& whole) {
    descriptor fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    std::size_t wanted = std::min(limit, size);
    out.resize(wanted);
    std::size_t done = 0;
    while (done < wanted) {
        ssize_t n = ::pread(fd.get(), out.data() + done, wanted - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    whole = done >= size;
    return true;
}

bool is_tiff_data(std::string_view data) {
    return data.substr(0, 4) == std::string_view("II*\0", 4) || data.substr(0, 4) == std::string_view("MM\0*", 4);
}

bool turned_preview(std::string_view block, const exif::tiff_layout& tiff, jpeg::turn t, std::string& out);

// The upright embedded preview of the file at `path`, or false when it has none or it cannot
// be read.
bool upright_preview(const char* path, std::string& out) {
    std::string data;
    bool whole = false;
    if (!read_head(path, head_bytes, data, whole)) return false;
    std::string_view block;
    exif::jpeg_layout layout = exif::scan_jpeg(data);
    if (layout.is_jpeg) {
        if (!layout.complete && !whole) {
            if (!read_head(path, most_bytes, data, whole)) return false;
            layout = exif::scan_jpeg(data);
        }
        if (!layout.exif_found || !layout.exif_clean) return false;
        block = std::string_view(data).substr(layout.exif_at, layout.exif_size);
    } else if (is_tiff_data(data)) {
        // A TIFF's directories may lie anywhere in it.
        if (!whole && !read_head(path, most_bytes, data, whole)) return false;
        block = data;
    } else {
        return false;
    }
    exif::tiff_layout tiff = exif::read_tiff(block);
    if (!tiff.readable || !tiff.preview_valid) return false;
    return turned_preview(block, tiff, jpeg::upright_turn(tiff.orientation_plain ? tiff.orientation : 1), out);
}

// The upright embedded preview in a HEIF file's EXIF block, or false. libheif's encoders
// store the pixels (and so the preview) as given and turn them by the container, whose turn
// they also copy into the EXIF Orientation: the preview takes the container's turn, as the
// picture does, and the Orientation is left unread.
bool upright_heif_preview(const heif_exif& exif, std::string& out) {
    exif::tiff_layout tiff = exif::read_tiff(exif.tiff);
    if (!exif.transforms_read || !tiff.readable || !tiff.preview_valid) return false;
    jpeg::turn t;
    for (const heif_transform& step : exif.transforms)
        t = t.then(step.mirror ? jpeg::turn{true, step.value == 0 ? 2 : 0} : jpeg::clockwise(-90L * step.value));
    return turned_preview(exif.tiff, tiff, t, out);
}

// The preview the valid IFD1 of TIFF data `block` names, turned by `t`.
bool turned_preview(std::string_view block, const exif::tiff_layout& tiff, jpeg::turn t, std::string& out) {
    std::string_view preview = exif::preview_of(block, tiff);
    // The codec reads past a segment that overruns, Pillow does not: such a preview is none.
    if (!exif::scan_jpeg(preview).complete) return false;
    jpeg::header h;
    if (!jpeg::read_header(preview, h)) return false;
    if (t.identity()) {
        out.assign(preview);
        return true;
    }
    return jpeg::turned_anyhow(preview, t, preview_quality, preview_max_pixels, out);
}

// The size Pillow's thumbnail() gives a `width` by `height` image in an `edge` square: the
// side that fits, the other rounded to keep the proportions best (never below one pixel).
std::pair<long, long> thumbnail_size(long width, long height, long edge) {
    if (edge >= width && edge >= height) return {width, height};
    const double aspect = double(width) / double(height);
    auto round_aspect = [](double n, auto&& off) {
        double low = std::floor(n), high = std::ceil(n);
        return std::max(static_cast<long>(off(high) < off(low) ? high : low), 1L);
    };
    if (1.0 >= aspect)
        return {round_aspect(edge * aspect, [&](double n) { return std::fabs(aspect - n / edge); }), edge};
    return {edge, round_aspect(edge / aspect, [&](double n) { return n == 0 ? 0.0 : std::fabs(aspect - edge / n); })};
}

// True while open_oriented, Image and ImageOps are the module's own: the routes stand in for
// opening a file with them.
bool own_opener() {
    return is_own_global(n_open_oriented) && is_own_global(n_Image) && is_own_global(n_ImageOps);
}

}  // namespace

ref losslessly_turned(handle source, handle degrees) {
    long clockwise = degrees_of(degrees);
    long long limit = clockwise && own_opener() ? pixel_limit() : -1;
    if (limit < 0) return ref();
    ref data = read_file(source, read_mode::follow_links);
    std::string out;
    if (!unlocked_work([&] { return turned_file(view_of(data), jpeg::clockwise(clockwise), -1, limit, out); }))
        return ref();
    return bytes_of(out);
}

ref losslessly_upright(handle target, handle orientation) {
    // The re-encoding it stands in for writes through BytesIO.
    if (!PyLong_CheckExact(orientation.ptr()) || !is_own_global(n_BytesIO)) return ref();
    long stored = PyLong_AsLong(orientation.ptr());
    if (stored == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return ref();
    }
    long long limit = stored >= 2 && stored <= 8 && own_opener() ? pixel_limit() : -1;
    if (limit < 0) return ref();
    ref data = read_file(target, read_mode::follow_links);
    std::string out;
    if (!unlocked_work([&] { return turned_file(view_of(data), jpeg::turn{}, stored, limit, out); })) return ref();
    return bytes_of(out);
}

ref jpeg_thumbnail(handle target, handle edge) {
    // The steps it stands in for open, turn and then encode through BytesIO.
    long long limit = own_opener() && is_own_global(n_BytesIO) ? pixel_limit() : -1;
    long long_edge = PyLong_AsLong(edge.ptr());
    if (long_edge == -1 && PyErr_Occurred()) throw_error();
    if (limit < 0) return ref();
    ref data = read_file(target, read_mode::follow_links);
    std::string_view file = view_of(data);
    // The first picture of a multi-picture file is a JPEG like any other.
    exif::jpeg_layout layout = exif::scan_jpeg(file);
    jpeg::header h;
    if (!layout.is_jpeg || !layout.complete || !jpeg::read_header(file, h) || !jpeg::decodes_as_rgb(h) ||
        static_cast<long long>(h.width) * h.height > limit)
        return ref();
    long orientation = certain_orientation(file, layout);
    if (orientation < 0) return ref();
    const jpeg::turn t = jpeg::upright_turn(orientation);

    // The long side covers twice the edge, as Pillow's reducing gap asks: a decode scaled to
    // barely the edge is blotchier than a thumbnail of the full picture. Only the long side
    // counts, so a panorama still decodes at the smallest scale.
    int width = 0, height = 0;
    jpeg::scaled_size(h, static_cast<int>(2 * long_edge), width, height);
    ref decoded = steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(width) * height * 3));
    // The buffer is this call's alone until Pillow is handed it.
    auto* decoded_at = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(decoded.ptr()));
    if (!unlocked_work([&] { return jpeg::decode_into(file, width, height, decoded_at); })) return ref();

    // The size comes from the full picture, as a full decode would give it; the picture is
    // scaled as stored and turned once small, which gives the same pixels for less work.
    auto [upright_width, upright_height] = t.swaps_sides() ? std::pair<long, long>{h.height, h.width}
                                                           : std::pair<long, long>{h.width, h.height};
    auto [out_width, out_height] = thumbnail_size(upright_width, upright_height, long_edge);
    if (t.swaps_sides()) std::swap(out_width, out_height);

    // Image.frombytes("RGB", (width, height), decoded), scaled as thumbnail() scales
    ref Image = global(n_Image);
    ref image = Image.attr(n_frombytes)(n_RGB, pair(number(width), number(height)), decoded);
    ref small = out_width == width && out_height == height ? image : closing(image, [&] {
        ref gap = steal(PyFloat_FromDouble(2.0));
        ref size = pair(number(out_width), number(out_height));
        return call_kw(image.attr(n_resize), {size, Image.attr(n_Resampling).attr(n_BICUBIC)}, {{n_reducing_gap, gap}});
    });
    return closing(small, [&] {
        ref pixels = small.method(n_tobytes);
        const auto* rgb = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(pixels.ptr()));
        const int w = static_cast<int>(out_width), hgt = static_cast<int>(out_height);
        std::string out;
        if (!unlocked_work([&] {
                if (t.identity()) return jpeg::encode(rgb, w, hgt, thumbnail_quality, out);
                std::vector<unsigned char> upright(std::size_t(w) * hgt * 3);
                jpeg::turn_into(rgb, w, hgt, t, upright.data());
                const int turned_width = t.swaps_sides() ? hgt : w, turned_height = t.swaps_sides() ? w : hgt;
                return jpeg::encode(upright.data(), turned_width, turned_height, thumbnail_quality, out);
            }))
            return ref();
        return bytes_of(out);
    });
}

ref preview_bytes(handle path) {
    ref target = resolved_path(path);
    if (!is_image_file(target)) raise_not_found(target);
    ref encoded = fs_encoded(target);
    const char* at = PyBytes_AS_STRING(encoded.ptr());
    std::string out;
    if (is_heif_file(target)) {
        heif_exif exif;
        try {
            exif = read_heif_exif(target);
        } catch (error_already_set&) {
            // A container that cannot be read has no preview to show; an interrupt still stops.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();
            return borrow(none());
        }
        if (!unlocked_work([&] { return upright_heif_preview(exif, out); })) return borrow(none());
        return bytes_of(out);
    }
    if (!unlocked_work([&] { return upright_preview(at, out); })) return borrow(none());
    return bytes_of(out);
}

}  // namespace qv
