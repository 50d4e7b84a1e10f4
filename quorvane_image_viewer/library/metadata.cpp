// What an image carries besides its pixels: the EXIF and colour profile written into edited
// files, the camera fields of the side panel, and transparency laid over white.
#include "metadata.hpp"

#include "library.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qv {

const name n_getexif{"getexif"}, n_get{"get"}, n_exif{"exif"}, n_icc_profile{"icc_profile"}, n_RGBA{"RGBA"},
    n_P{"P"}, n_LA{"LA"}, n_WEBP{"WEBP"};

namespace {

const name n_transpose{"transpose"}, n_pop{"pop"};
const name n_get_ifd{"get_ifd"}, n_PA{"PA"}, n_info{"info"}, n_transparency{"transparency"}, n_new{"new"},
    n_white{"white"}, n_alpha_composite{"alpha_composite"}, n_Exif{"Exif"}, n_endian{"endian"},
    n_tobytes{"tobytes"}, n_load{"load"}, n_PNG{"PNG"}, n_TIFF{"TIFF"},
    n_collections_abc{"collections.abc"}, n_Mapping{"Mapping"}, n_make{"make"}, n_model{"model"},
    n_exposure{"exposure"}, n_iso{"iso"}, n_focal{"focal"}, n_taken{"taken"}, n_fnumber{"fnumber"}, n_lens{"lens"},
    n_latitude{"latitude"}, n_longitude{"longitude"};

constexpr long exif_ifd_tag = 0x8769;
constexpr long gps_ifd_tag = 0x8825;
constexpr long interop_ifd_tag = 0xA005;
constexpr long pixel_x_tag = 0xA002;
constexpr long pixel_y_tag = 0xA003;
// The most one JPEG marker holds; a longer block would overflow its length field. Other
// formats keep a block of any size.
constexpr Py_ssize_t max_exif_bytes = 65533;

// Tags that describe a TIFF's own pixel layout: the TIFF writer merges EXIF into its own
// directory, where a source's width or sample layout would contradict the pixels written.
constexpr long tiff_structure_tags[] = {254, 255, 256, 257, 258, 259, 262, 266, 273, 277, 278, 279, 284, 317,
                                        320, 322, 323, 324, 325, 338, 339, 347, 513, 514, 530, 532};

bool is_tiff_structure_tag(long tag) {
    for (long t : tiff_structure_tags)
        if (t == tag) return true;
    return false;
}

struct camera_field {
    long tag;
    const name* label;
};
// The side panel's labels, in the order the record lists them ("datetime" is the text the
// datetime global is bound under, declared once); the position follows them.
const camera_field camera_field_table[] = {{271, &n_make},       {272, &n_model},    {306, &n_datetime},
                                           {33434, &n_exposure}, {34855, &n_iso},    {37386, &n_focal},
                                           {36867, &n_taken},    {33437, &n_fnumber}, {42036, &n_lens}};

// The GPS IFD's reference and value tags of each coordinate, the letter that makes it
// negative, and its largest magnitude.
struct coordinate_field {
    long ref_tag;
    long value_tag;
    char negative;
    char positive;
    double limit;
    const name* label;
};
const coordinate_field coordinate_table[] = {{1, 2, 'S', 'N', 90.0, &n_latitude},
                                             {3, 4, 'W', 'E', 180.0, &n_longitude}};

std::string_view text_of(handle value) {
    if (!PyUnicode_Check(value.ptr())) return {};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw_error();
    return {data, static_cast<std::size_t>(size)};
}

// isinstance(value, collections.abc.Mapping)
bool is_mapping(handle value) {
    if (PyDict_Check(value.ptr())) return true;
    ref abc = steal(PyImport_Import(n_collections_abc.ptr()));
    int r = PyObject_IsInstance(value.ptr(), abc.attr(n_Mapping).ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// ---- colour profile ----

// The colour space an ICC profile names for the pixels an encoder stores from `mode`,
// or nullptr when no profile fits them.
const char* colour_space_of(handle pil, handle mode) {
    if (pil.equals(n_WEBP)) return "RGB ";  // the WebP encoder stores RGB whatever the mode
    std::string_view m = text_of(mode);
    if (m == "RGB" || m == "RGBA" || m == "RGBX" || m == "RGBa" || m == "P" || m == "PA") return "RGB ";
    if (m == "L" || m == "LA" || m == "La" || m == "1" || m == "I" || m == "F" || m.starts_with("I;16"))
        return "GRAY";
    if (m == "CMYK") return "CMYK";
    return nullptr;
}

// source.info.get("icc_profile"), or an empty ref when there is none
ref stored_profile(handle source) {
    ref info = optional_attr(source, n_info);
    if (!info || !PyDict_Check(info.ptr())) return ref();
    ref profile = optional_item(info, n_icc_profile);
    return profile && !profile.is_none() ? profile : ref();
}

// True when the profile's colour space, bytes 16 to 19, is that of the pixels stored.
bool profile_fits(handle profile, handle written, handle pil) {
    if (!PyBytes_Check(profile.ptr()) || PyBytes_GET_SIZE(profile.ptr()) < 20) return false;
    const char* space = colour_space_of(pil, written.attr(n_mode));
    return space && std::memcmp(PyBytes_AS_STRING(profile.ptr()) + 16, space, 4) == 0;
}

// ---- EXIF copy ----

// The IFD a pointer tag leads to, as a fresh dict: a nested dict is taken as it is, an offset
// is read through get_ifd. Anything else (text where an offset belongs) fails the whole copy.
ref ifd_behind(handle exif, handle tag, handle value) {
    ref ifd = PyDict_Check(value.ptr()) ? borrow(value) : exif.method(n_get_ifd, tag);
    if (!PyDict_Check(ifd.ptr())) raise(PyExc_ValueError, "malformed EXIF pointer");
    return steal(PyDict_Copy(ifd.ptr()));
}

// dict[key] = value, only where the key is present already
void replace_present(handle dict, handle key, handle value) {
    int r = PyDict_Contains(dict.ptr(), key.ptr());
    if (r < 0) throw_error();
    if (r) dict.set_item(key, value);
}

// The Exif sub-IFD for an output of width by height: its Interop IFD copied along, its pixel
// dimensions the output's.
ref exif_sub_ifd(handle exif, handle value, handle width, handle height) {
    ref sub = ifd_behind(exif, number(exif_ifd_tag), value);
    ref interop_tag = number(interop_ifd_tag);
    if (PyObject* interop = PyDict_GetItemWithError(sub.ptr(), interop_tag.ptr())) {
        ref interop_ifd = ifd_behind(exif, interop_tag, borrow(interop));
        if (interop_ifd.truthy()) sub.set_item(interop_tag, interop_ifd);
        else if (PyDict_DelItem(sub.ptr(), interop_tag.ptr()) < 0) throw_error();
    } else if (PyErr_Occurred()) {
        throw_error();
    }
    replace_present(sub, number(pixel_x_tag), width);
    replace_present(sub, number(pixel_y_tag), height);
    return sub;
}

// A private copy of image.getexif() for an output of `size`: Orientation gone (the pixels are
// upright), sub-IFDs carried as nested dicts, and for TIFF no tag of the TIFF's own layout.
// Empty when nothing of the main IFD is left or, for JPEG, the block would not fit one marker.
ref exif_copy(handle image, handle size, handle pil) {
    bool tiff = pil.equals(n_TIFF);
    ref source = image.method(n_getexif);
    auto [width, height] = unpack_pair(size);
    ref exif_class = global(n_Image).attr(n_Exif);
    ref copy = exif_class();
    copy.set_attr(n_endian, source.attr(n_endian));  // the source's byte order
    for (ref tag : iterate(source)) {
        long key = PyLong_AsLong(tag.ptr());
        if (key == -1 && PyErr_Occurred()) throw_error();
        if (key == orientation_tag || (tiff && is_tiff_structure_tag(key))) continue;
        ref value = source.item(tag);
        if (key == exif_ifd_tag || key == gps_ifd_tag) {
            value = key == exif_ifd_tag ? exif_sub_ifd(source, value, width, height) : ifd_behind(source, tag, value);
            if (!value.truthy()) continue;  // an empty IFD is not worth a pointer
        }
        copy.set_item(tag, value);
    }
    if (!copy.truthy()) return ref();
    ref data = copy.method(n_tobytes);
    if (pil.equals(n_JPEG) && PyBytes_Size(data.ptr()) > max_exif_bytes) return ref();
    // Loaded from its own bytes: the TIFF writer reads sub-IFDs through get_ifd, which needs one.
    ref written = exif_class();
    written.method(n_load, data);
    // get_ifd leaves the Interop pointer an offset into this block, which means nothing in a
    // TIFF's directory; the TIFF writer must find the Interop IFD itself there.
    ref sub = written.method(n_get_ifd, number(exif_ifd_tag));
    ref interop_tag = number(interop_ifd_tag);
    if (contains(sub, interop_tag) && !PyDict_Check(sub.item(interop_tag).ptr()))
        sub.set_item(interop_tag, written.method(n_get_ifd, interop_tag));
    return written;
}

// ---- transparency ----

// Image.alpha_composite(Image.new("RGBA", image.size, "white"), image.convert("RGBA")).convert("RGB")
ref flattened_on_white(handle image) {
    ref rgba = text_of(image.attr(n_mode)) == "RGBA" ? borrow(image) : image.method(n_convert, n_RGBA);
    ref Image = global(n_Image);
    ref canvas = Image.attr(n_new)(n_RGBA, rgba.attr(n_size), n_white);
    return Image.attr(n_alpha_composite)(canvas, rgba).method(n_convert, n_RGB);
}

// The Exif sub-IFD as a mapping, or an empty ref when reading it raises or gives anything else
// (a photo program may leave text where its offset belongs).
ref readable_sub_ifd(handle exif) {
    return absent_on(PyExc_Exception, [&] {
        ref sub = exif.method(n_get_ifd, number(exif_ifd_tag));
        return is_mapping(sub) ? sub : ref();
    });
}

// sub.get(tag), where an error while reading counts as absent
ref sub_ifd_value(handle sub, handle tag) {
    if (PyDict_Check(sub.ptr())) {
        PyObject* value = PyDict_GetItemWithError(sub.ptr(), tag.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw_error();
        return borrow(none());
    }
    ref value = absent_on(PyExc_Exception, [&] { return sub.method(n_get, tag); });
    return value ? value : borrow(none());
}

// The first letter of a GPS reference ("N", "S", "E", "W"), as text or bytes; 0 for anything else.
char reference_letter(handle value) {
    if (PyUnicode_Check(value.ptr())) {
        std::string_view text = text_of(value);
        return text.empty() ? 0 : text.front();
    }
    if (PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) > 0) return PyBytes_AS_STRING(value.ptr())[0];
    return 0;
}

// f"{sign * (d + m / 60 + s / 3600):.6f}" from the GPS IFD, or an empty ref when the IFD does
// not hold that coordinate whole and sane.
ref coordinate(handle gps, const coordinate_field& field) {
    ref letter = gps.method(n_get, number(field.ref_tag));
    ref parts = gps.method(n_get, number(field.value_tag));
    char sign = reference_letter(letter);
    if ((sign != field.negative && sign != field.positive) || parts.is_none()) return ref();
    double degrees = 0.0, scale = 1.0;
    int count = 0;
    for (ref part : iterate(parts)) {
        if (++count > 3) return ref();
        degrees += PyFloat_AsDouble(to_float(part).ptr()) / scale;
        scale *= 60.0;
    }
    if (count == 0 || !std::isfinite(degrees) || std::fabs(degrees) > field.limit) return ref();
    if (sign == field.negative) degrees = -degrees;
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.6f", degrees);
    // A position that rounds to zero has no side.
    return text(std::string_view(printed) == "-0.000000" ? printed + 1 : printed);
}

// The photo's position from its GPS IFD, when it has one; a damaged IFD adds nothing.
void add_position(handle record, handle exif) {
    ref gps = absent_on(PyExc_Exception, [&] {
        ref ifd = exif.method(n_get_ifd, number(gps_ifd_tag));
        return is_mapping(ifd) ? ifd : ref();
    });
    if (!gps) return;
    for (const coordinate_field& field : coordinate_table)
        if (ref value = absent_on(PyExc_Exception, [&] { return coordinate(gps, field); }))
            record.set_item(*field.label, value);
}

}  // namespace

bool has_transparency(handle image) {
    ref mode = image.attr(n_mode);
    if (mode.equals(n_RGBA) || mode.equals(n_LA) || mode.equals(n_PA)) return true;
    return mode.equals(n_P) && contains(image.attr(n_info), n_transparency);
}

ref rgb_on_white(handle image) {
    return has_transparency(image) ? flattened_on_white(image) : image.method(n_convert, n_RGB);
}

ref profile_for(handle source, handle written, handle pil) {
    ref profile = stored_profile(source);
    return profile && profile_fits(profile, written, pil) ? profile : borrow(none());
}

void add_metadata_options(handle options, handle source, handle written, handle pil) {
    if (!pil.equals(n_TIFF) && !pil.equals(n_JPEG) && !pil.equals(n_PNG) && !pil.equals(n_WEBP)) return;
    // A damaged EXIF block costs the output its EXIF, never the output itself.
    ref exif = absent_on(PyExc_Exception, [&] { return exif_copy(source, written.attr(n_size), pil); });
    if (exif) options.set_item(n_exif, exif);
    // None, not absence, for a profile that does not fit: the PNG and TIFF writers would
    // otherwise take it from info themselves.
    if (ref profile = stored_profile(source))
        options.set_item(n_icc_profile, profile_fits(profile, written, pil) ? handle(profile) : none());
}

ref camera_fields(handle exif) {
    ref record = new_dict();
    // Cameras keep exposure, ISO and focal length in the Exif sub-IFD, read only when needed.
    ref sub;
    bool sub_read = false;
    for (const camera_field& field : camera_field_table) {
        ref tag = number(field.tag);
        ref value = exif.method(n_get, tag);
        if (value.is_none()) {
            if (!sub_read) {
                sub = readable_sub_ifd(exif);
                sub_read = true;
            }
            if (sub) value = sub_ifd_value(sub, tag);
        }
        if (!value.is_none()) record.set_item(*field.label, value.str());
    }
    add_position(record, exif);
    return record;
}

long upright_transpose(handle orientation) {
    // Image.Transpose for orientations 2 to 8, as exif_transpose() turns them: FLIP_LEFT_RIGHT,
    // ROTATE_180, FLIP_TOP_BOTTOM, TRANSPOSE, ROTATE_270, TRANSVERSE, ROTATE_90.
    static constexpr long transpose_for[] = {0, 3, 1, 5, 4, 6, 2};
    for (long value = 2; value <= 8; ++value)
        if (orientation.equals(number(value))) return transpose_for[value - 2];
    return -1;
}

ref turned_without_exif(handle image) {
    ref orientation = absent_on(PyExc_Exception, [&] {
        return image.method(n_getexif).method(n_get, number(orientation_tag));
    });
    long transpose = orientation ? upright_transpose(orientation) : -1;
    if (transpose < 0) return ref();
    ref turned = image.method(n_transpose, number(transpose));
    // The block still says the pixels need turning, and Pillow could not say otherwise.
    turned.attr(n_info).method(n_pop, n_exif, none());
    return turned;
}

}  // namespace qv
