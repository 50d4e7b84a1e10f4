// Viewing: opening images upright, the display source, the thumbnail cache and
// file information.
#include "library.hpp"
#include "metadata.hpp"
#include "reduce.hpp"

#include "bytepath.hpp"
#include "files.hpp"
#include "heif.hpp"
#include "jpeg_routes.hpp"
#include "writer.hpp"

#include <sys/stat.h>

#include <iterator>
#include <string>

namespace qv {

namespace {

const name n_exif_transpose{"exif_transpose"},
    n_sha1{"sha1"}, n_hexdigest{"hexdigest"},
    n_encode{"encode"}, n_utf_8{"utf-8"}, n_draft{"draft"}, n_surrogateescape{"surrogateescape"},
    n_image_jpeg{"image/jpeg"}, n_dot_jpg{".jpg"}, n_st_mtime_ns{"st_mtime_ns"}, n_thumb_cache_dir{"thumb_cache_dir"},
    n_media_type{"_media_type"}, n_open{"open"};

constexpr long display_quality = 90;
constexpr long thumbnail_quality = 80;
constexpr long min_long_edge = 32;
constexpr long max_long_edge = 1024;

// rgb_image.save(buf, format="JPEG", quality=quality, icc_profile=profile); buf.getvalue()
ref jpeg_bytes(handle rgb_image, long quality, handle profile = none()) {
    ref buf = global(n_BytesIO)();
    method_kw(rgb_image, n_save, {buf},
              {{n_format, n_JPEG}, {n_quality, number(quality)}, {n_icc_profile, profile}});
    return buf.method(n_getvalue);
}

// The steps inside `with open_oriented(target) as image:` on a cache miss, turned by
// `transpose` (-1: none) after reducing: memory stays near the decoded image's own.
ref thumbnail_of(handle image, handle edge, long transpose = -1) {
    return jpeg_bytes(thumbnail_on_white(image, PyLong_AsLong(edge.ptr()), transpose), thumbnail_quality);
}

// ImageOps.exif_transpose(image). Pillow turns the pixels, then rewrites the EXIF block
// without its orientation; a block too damaged to rewrite must not make the photo unviewable,
// so the turned image is made without it. Errors reading the pixels still propagate.
ref upright_of(handle original) {
    try {
        return global(n_ImageOps).attr(n_exif_transpose)(original);
    } catch (error_already_set&) {
        if (!is_own_global(n_ImageOps) || PyErr_ExceptionMatches(PyExc_OSError) ||
            PyErr_ExceptionMatches(PyExc_MemoryError))
            throw;
        saved_error failure;
        if (ref turned = turned_without_exif(original)) return turned;
        failure.restore();
        throw;
    }
}

// The thumbnail of a cache miss. While open_oriented is the module's own, a JPEG is made by
// the codec, decoded at the smallest scale whose long side covers twice the edge; one the
// codec leaves to Pillow is decoded already shrunk (draft) to cover twice the edge in both
// sides, as Pillow's own thumbnail() asks; otherwise the replacement opens it.
ref thumbnail_made(handle target, handle edge) {
    ref opener = global(n_open_oriented);
    if (!is_own_global(n_open_oriented))
        return with(opener(target), [&](handle image) { return thumbnail_of(image, edge); });
    // A HEIF file's thumbnail item, when it covers the edge, spares decoding the photo; its
    // pixels stand upright already, so Pillow's own exif_transpose has nothing to turn.
    if (is_heif_file(target))
        return with(open_heif_for_thumbnail(target, PyLong_AsLong(edge.ptr())), [&](handle image) {
            return is_own_global(n_ImageOps) ? thumbnail_of(image, edge) : thumbnail_of(upright_of(image), edge);
        });
    if (ref made = jpeg_thumbnail(target, edge)) return made;
    return with(open_image(target), [&](handle image) {
        if (image.attr(n_format).equals(n_JPEG)) {
            ref box = number(2 * PyLong_AsLong(edge.ptr()));
            image.method(n_draft, none(), pair(box, box));
        }
        // Only Pillow's own exif_transpose may be put off until the image is small.
        if (!is_own_global(n_ImageOps)) return thumbnail_of(upright_of(image), edge);
        ref orientation = image.method(n_getexif).method(n_get, number(orientation_tag));
        return thumbnail_of(image, edge, upright_transpose(orientation));
    });
}

// exif_transpose() swaps width and height for these orientations (5 to 8).
bool quarter_turned(handle orientation) {
    for (long turned = 5; turned <= 8; ++turned)
        if (orientation.equals(number(turned))) return true;
    return false;
}

// A TIFF reaches Pillow as its bytes: Pillow's TIFF decoder closes a descriptor it is given
// twice, and the second close can hit a file another thread has just opened.
bool is_tiff(handle path) {
    static const char* const heads[] = {"II*\0", "MM\0*", "II+\0", "MM\0+"};
    if (!is_path_like(path)) return false;
    try {
        return starts_with(path, heads, std::size(heads), 4);
    } catch (error_already_set&) {
        PyErr_Clear();  // a path the system refuses: Image.open reports it in its own words
        return false;
    }
}

// ---- the rules both thumbnail routes follow ----

// max(32, min(int(long_edge), 1024))
ref clamped_long_edge(handle long_edge) {
    return clamp(to_int(long_edge), number(min_long_edge), number(max_long_edge));
}

// sha1(f"{target}:{st_mtime_ns}:{st_size}:{edge}").hexdigest(); undecodable name bytes
// go back to the bytes they came from, so every valid UTF-8 key is unchanged.
ref cache_key(handle target, handle mtime_ns, handle size, handle edge) {
    ref key_text = steal(PyUnicode_FromFormat("%S:%S:%S:%S", target.ptr(), mtime_ns.ptr(), size.ptr(), edge.ptr()));
    ref encoded = key_text.method(n_encode, n_utf_8, n_surrogateescape);
    return global(n_hashlib).attr(n_sha1)(encoded).method(n_hexdigest);
}

// home / ".quorvane" / "image_viewer" / "thumbs", each step by `join`: a Path's own on the
// pathlib route, posixpath's on bytes on the system-call route.
template <class Join> void into_cache_folder(Join&& join) {
    for (const char* part : {".quorvane", "image_viewer", "thumbs"}) join(part);
}

// key + ".jpg"
ref cache_entry_name(handle key) { return key + n_dot_jpg; }

// ---- the system-call route ----

// stat_result.st_mtime_ns
ref mtime_ns(const struct stat& st) {
    long long total = 0;
    if (!__builtin_mul_overflow(static_cast<long long>(st.st_mtim.tv_sec), 1000000000LL, &total) &&
        !__builtin_add_overflow(total, static_cast<long long>(st.st_mtim.tv_nsec), &total))
        return number(total);
    return number(st.st_mtim.tv_sec) * number(1000000000LL) + number(st.st_mtim.tv_nsec);
}

// The folder the module's own thumb_cache_dir() names, as bytes: Path.home() as pathlib
// gives it, then the cache folder's names. false for a home that is not absolute.
bool cache_folder_bytes(handle path_type, std::string& out) {
    if (!fs_bytes(path_type.method(n_home).str(), out) || out.empty() || out.front() != '/') return false;
    into_cache_folder([&](const char* part) { join_into(out, part); });
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

// thumbnail_bytes up to its hit test, filled from the front. Without a key the pathlib
// steps must run from the start; without an entry path they must find the cache folder
// and test the entry; with data the request is a hit.
struct cache_probe {
    ref target;  // the resolved source, a Path (absent on a hit)
    ref edge;    // the clamped long edge
    ref key;     // the entry's key
    ref cached;  // the entry, a Path (absent on a hit)
    ref data;    // the entry's bytes on a hit
};

// Taken only while `Path`, is_image and thumb_cache_dir are the module's own.
cache_probe probe_cache_fast(handle path, handle long_edge) {
    if (!is_own_global(n_Path) || !is_own_global(n_is_image)) return {};
    ref path_type = global(n_Path);
    std::string argument;
    if (!argument_bytes(path, argument)) return {};
    resolved_bytes source;
    bool resolved;
    {
        gil_released lock_free;
        resolved = resolve(argument, source);
    }
    if (!resolved) return {};
    ref target_text = fs_text(source.path);
    if (!source.found() || !S_ISREG(source.st.st_mode)) raise_not_found(target_text);
    // the resolved path is absolute, so its final name follows the last slash
    Py_ssize_t slash = PyUnicode_FindChar(target_text.ptr(), '/', 0, PY_SSIZE_T_MAX, -1);
    if (slash == -2) throw_error();
    if (!is_image_name(steal(PyUnicode_Substring(target_text.ptr(), slash + 1, PY_SSIZE_T_MAX))))
        raise_not_found(target_text);

    cache_probe probe;
    probe.edge = clamped_long_edge(long_edge);
    probe.key = cache_key(target_text, mtime_ns(source.st), number(source.st.st_size), probe.edge);
    // The edge's own conversion may have rebound a global, so ownership is asked again.
    std::string folder, entry_name;
    // a key that is not one plain name (another hashlib may give anything) joins as pathlib decides
    if (is_own_global(n_thumb_cache_dir) && is_own_global(n_Path) && PyUnicode_CheckExact(probe.key.ptr()) &&
        fs_bytes(cache_entry_name(probe.key), entry_name) && entry_name.find('/') == std::string::npos &&
        cache_folder_bytes(global(n_Path), folder)) {
        std::string entry = folder;
        join_into(entry, entry_name);
        std::string data;
        entry_state state;
        {
            gil_released lock_free;
            state = read_entry(folder, entry, data);
        }
        if (state == entry_state::hit) {
            probe.data = steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
            return probe;
        }
        if (state == entry_state::miss) probe.cached = global(n_Path)(fs_text(entry));
    }
    probe.target = path_type(target_text);
    return probe;
}

}  // namespace

// ---- oriented open and display source ----

ref open_image(handle path) {
    // Pillow cannot read these; libheif can, whatever the file is named.
    if (is_heif_file(path)) return open_heif(path);
    ref image_module = global(n_Image);
    if (image_module.is(own_global(n_Image)) && is_tiff(path))
        return image_module.attr(n_open)(own_global(n_BytesIO)(read_file(path, read_mode::follow_links)));
    return image_module.attr(n_open)(path);
}

ref open_oriented(handle path) {
    // A FIFO, socket or device named like an image would block Pillow's open, or never end.
    if (is_path_like(path) && !is_regular_file(path)) {
        ref text = steal(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(fs_encoded(path).ptr())));
        raise_not_found(resolved_path(text));
    }
    // The file is closed once its upright copy exists, so no descriptor outlives the call.
    return with(open_image(path), [&](handle original) {
        ref upright = upright_of(original);
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
    // A HEIF photo named like a JPEG is no JPEG for the viewer: it is re-encoded.
    if (!media.equals(n_octet_stream) && !is_heif_file(target)) {
        ref orientation = with(open_image(target), [&](handle image) {
            return image.method(n_getexif).method(n_get, number(orientation_tag), number(1));
        });
        if (orientation.equals(number(0)) || orientation.equals(number(1))) return pair(target, media);
        // A JPEG stands upright by rearranging its compressed blocks, every stored pixel kept.
        if (media.equals(n_image_jpeg))
            if (ref upright = losslessly_upright(target, orientation)) return pair(upright, n_image_jpeg);
    }
    return with(global(n_open_oriented)(target), [&](handle image) {
        ref rgb = rgb_on_white(image);
        // The same colours whether the viewer gets the file or this re-encoding.
        ref profile = profile_for(image, rgb, n_JPEG);
        return pair(jpeg_bytes(rgb, display_quality, profile), n_image_jpeg);
    });
}

// ---- thumbnail cache ----

ref thumb_cache_dir() {
    ref folder = global(n_Path).method(n_home);
    into_cache_folder([&](const char* part) { folder = folder / text(part); });
    method_kw(folder, n_mkdir, {}, {{n_parents, boolean(true)}, {n_exist_ok, boolean(true)}});
    return folder;
}

ref thumbnail_bytes(handle path, handle long_edge) {
    // System calls where they give what pathlib gives; its steps do the rest.
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
        cached = global(n_thumb_cache_dir)() / cache_entry_name(key);
        // Only a regular file is a hit: a link or anything else in its place is made afresh.
        if (ref hit = read_file(cached, read_mode::regular_file_only)) return hit;
    }
    ref data = thumbnail_made(target, edge);
    write_file(cached, data);
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
    info.set_item(n_exif, new_dict());
    ref opener = global(n_open_oriented);
    if (is_own_global(n_open_oriented) && is_heif_file(target)) {
        // The container has it all: the size after its own turn, and its EXIF.
        heif_header header = read_heif_header(target);
        auto [width, height] = unpack_pair(header.size);
        info.set_item(n_width, width);
        info.set_item(n_height, height);
        info.set_item(n_format, header.format);
        info.set_item(n_exif, camera_fields(header.exif));
        return info;
    }
    if (is_own_global(n_open_oriented)) {
        // All of it is in the file's header: the upright size is the stored one, turned
        // for a quarter-turn orientation, and no pixel is decoded (but for a PNG's EXIF).
        with(open_image(target), [&](handle image) {
            auto [width, height] = unpack_pair(image.attr(n_size));
            ref exif = image.method(n_getexif);
            if (quarter_turned(exif.method(n_get, number(orientation_tag)))) std::swap(width, height);
            info.set_item(n_width, width);
            info.set_item(n_height, height);
            info.set_item(n_format, image.attr(n_format));
            info.set_item(n_exif, camera_fields(exif));
        });
        return info;
    }
    with(opener(target), [&](handle image) {
        auto [width, height] = unpack_pair(image.attr(n_size));
        info.set_item(n_width, width);
        info.set_item(n_height, height);
        info.set_item(n_format, image.attr(n_format));
        info.set_item(n_exif, camera_fields(image.method(n_getexif)));
    });
    return info;
}

}  // namespace qv
