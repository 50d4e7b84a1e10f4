// Batch edits: output placement, image encoding, the convert, rotate and resize batches,
// renaming one file, rename patterns, and deleting image files.
#include "library.hpp"
#include "metadata.hpp"

#include "files.hpp"
#include "jpeg_routes.hpp"
#include "writer.hpp"

namespace qv {

namespace {

const name n_destination{"_destination"}, n_save_image{"_save_image"}, n_fmt_key{"_fmt_key"}, n_stem{"stem"},
    n_exists{"exists"}, n_unlink{"unlink"};
// The conflict policies; anything else numbers the name with "_" and a counter.
const name n_skip{"skip"}, n_overwrite{"overwrite"}, n_rename{"rename"}, n_underscore{"_"};
const name n_rotate{"rotate"}, n_expand{"expand"}, n_backup_folder{"ZEL originals"};
const name n_resize{"resize"}, n_Resampling{"Resampling"}, n_LANCZOS{"LANCZOS"};
const name n_dotdot{".."};
// The pattern's tokens and the format specs of the date and counter they become.
const name n_token_year{"[%YYYY]"}, n_token_month{"[%MM]"}, n_token_day{"[%DD]"}, n_token_folder{"[%P]"},
    n_token_stem{"[%N]"}, n_token_shot{"[%PD]"}, n_hash{"#"}, n_spec_year{"04d"}, n_spec_two{"02d"}, n_count{"count"},
    n_now{"now"}, n_year{"year"}, n_month{"month"}, n_day{"day"};

// The batch skeleton shared by the edit operations: walk `paths`, refuse non-text elements,
// pass over anything that is not an existing image file, and list what `edit` reports.
// The first exception ends the walk; whatever was done before it stays done on disk.
// One path given as a str or bytes is refused before anything is done: walked, it would be
// its characters, and the batch would find nothing to do and say it had done it.
template <class F> ref edit_each_image(handle paths, F&& edit) {
    if (PyUnicode_Check(paths.ptr()) || PyBytes_Check(paths.ptr()))
        raise_format(PyExc_TypeError, "paths must be a list or tuple of paths, not %.200s",
                     Py_TYPE(paths.ptr())->tp_name);
    ref written = new_list();
    for_each_element(paths, [&](handle raw) {
        require_text(raw);
        ref source = resolved_path(raw);
        if (!is_image_file(source)) return;
        append(written, edit(handle(source)));
    });
    return written;
}

// `with open_oriented(source) as image: body(image)`
template <class F> ref with_upright(handle source, F&& body) {
    return with(global(n_open_oriented)(source), std::forward<F>(body));
}

// image.save(target, **options)
void encode(handle image, handle target, handle options) {
    ref args = steal(PyTuple_Pack(1, target.ptr()));
    steal(PyObject_Call(image.attr(n_save).ptr(), args.ptr(), options.ptr()));
}

// image.save(buf, **options) into memory, so that only the writer touches the disk and
// every byte it writes is counted.
ref encoded_bytes(handle image, handle options) {
    ref buf = own_global(n_BytesIO)();
    encode(image, buf, options);
    return buf.method(n_getvalue);
}

// encoded_bytes(image, options), but an EXIF copy the encoder rejects (Pillow's TIFF writer
// raises on some damaged blocks) costs the output its EXIF, never the output itself: it is
// encoded again without it, and a UserWarning names the file. Other failures propagate.
ref encoded_dropping_rejected_exif(handle image, handle options, handle dest) {
    try {
        return encoded_bytes(image, options);
    } catch (error_already_set&) {
        if (!contains(options, n_exif) || !PyErr_ExceptionMatches(PyExc_Exception) ||
            PyErr_ExceptionMatches(PyExc_MemoryError))
            throw;
        saved_error failure;
        if (PyDict_DelItem(options.ptr(), n_exif.ptr()) < 0) throw_error();
        ref data;
        try {
            data = encoded_bytes(image, options);
        } catch (error_already_set&) {
            PyErr_Clear();  // not the EXIF after all: the first failure is the one to report
            failure.restore();
            throw;
        }
        if (PyErr_WarnFormat(PyExc_UserWarning, 1, "%S: the EXIF block could not be written and was left out",
                             dest.str().ptr()) < 0)
            throw_error();
        return data;
    }
}

// The larger (or smaller) of two sizes, as max() and min() pick them.
ref larger(handle a, handle b) { return borrow(compare(b, a, Py_GT) ? b : a); }
ref smaller(handle a, handle b) { return borrow(compare(b, a, Py_LT) ? b : a); }

// max(1, round(x)): never below one pixel
ref side(handle x) { return clamp(builtin_round()(x), number(1)); }

// max(1, int(given or 1))
ref exact_side(handle given) {
    ref one = number(1);
    return clamp(to_int(given.truthy() ? given : handle(one)), one);
}


// The size rules' names; "width" and "height" are shared record keys.
const name n_percent{"percent"}, n_resolution{"resolution"}, n_long{"long"}, n_short{"short"};

// The new size under one of the six size rules.
ref new_size(handle basis, handle value, handle width, handle height, handle w, handle h) {
    if (basis.equals(n_percent)) {
        ref scale = to_float(value) / number(100);
        return pair(side(w * scale), side(h * scale));
    }
    if (basis.equals(n_resolution)) return pair(exact_side(width), exact_side(height));
    if (basis.equals(n_long)) {
        ref scale = to_float(value) / larger(w, h);
        return pair(side(w * scale), side(h * scale));
    }
    if (basis.equals(n_short)) {
        ref scale = to_float(value) / smaller(w, h);
        return pair(side(w * scale), side(h * scale));
    }
    if (basis.equals(n_width)) {
        ref v = to_float(value);
        ref scale = v / w;
        return pair(side(v), side(h * scale));
    }
    if (basis.equals(n_height)) {
        ref v = to_float(value);
        ref scale = v / h;
        return pair(side(w * scale), side(v));
    }
    raise(PyExc_ValueError, "unknown basis");
}

const name n_MAX_IMAGE_PIXELS{"MAX_IMAGE_PIXELS"};

// An output larger than Pillow's own pixel limit is refused before anything is allocated:
// a size rule can ask for far more memory than the machine has (a million percent).
void require_within_pixel_limit(handle size) {
    ref limit = global(n_Image).attr(n_MAX_IMAGE_PIXELS);
    if (limit.is_none()) return;
    auto [w, h] = unpack_pair(size);
    if (compare(w * h, limit, Py_GT))
        raise_format(PyExc_ValueError, "a size of %S x %S pixels is more than Image.MAX_IMAGE_PIXELS (%S)", w.ptr(),
                     h.ptr(), limit.ptr());
}

// The format a turned file is written back in: its own suffix through the aliases.
ref own_format_key(handle source) {
    return aliased_format_key(source.attr(n_suffix).method(n_lower).method(n_lstrip, n_dot));
}

// format(value, spec) as the builtin does it
ref formatted(handle value, handle spec) { return steal(PyObject_Format(value.ptr(), spec.ptr())); }

const name n_replace{"replace"};

// text.replace(token, value) over every occurrence
ref replaced(handle text, handle token, handle value) { return text.method(n_replace, token, value); }

// A pattern must be exactly a str; None fails as its missing replace() would.
void require_pattern(handle pattern) {
    if (PyUnicode_CheckExact(pattern.ptr())) return;
    if (pattern.is_none())
        raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "replace");
    require_text(pattern);
}

// The unturned file copied into the backup folder beside it, when asked for: a real folder
// beside the file, never a link, and the backup goes through it.
void back_up(handle source, handle keep_original) {
    if (!keep_original.truthy()) return;
    ref backup = source.attr(n_parent) / n_backup_folder;
    descriptor folder = open_own_folder(backup);
    ref copy2 = global(n_shutil).attr(n_copy2);
    auto named = [&] { return global(n_destination)(source, backup.str(), none(), n_rename); };
    // shutil.copy2(source, named), but the backup is complete or absent
    if (copy2.is(own_copy2()) && is_own_global(n_destination)) copy_file_into(source, folder, backup, named);
    else copy2(source, named());
}

// A JPEG written back as JPEG by the module's own steps, which the lossless turn stands in for.
bool turns_as_jpeg(handle source) {
    if (!is_own_global(n_save_image) || !is_own_global(n_SAVE_FORMATS)) return false;
    ref key = own_format_key(source);
    if (!key.equals(n_jpg) && !key.equals(n_jpeg)) return false;
    ref encoder = optional_item(global(n_SAVE_FORMATS), n_jpg);
    return encoder && encoder.equals(n_JPEG);
}

}  // namespace

ref destination(handle path, handle folder, handle suffix, handle on_conflict) {
    ref parent = folder.truthy() ? resolved_path(folder) : path.attr(n_parent);
    method_kw(parent, n_mkdir, {}, {{n_parents, Py_True}, {n_exist_ok, Py_True}});
    ref stem = path.attr(n_stem);
    ref name = stem + (suffix.is_none() ? path.attr(n_suffix) : borrow(suffix));
    ref dest = parent / name;
    if (dest.method(n_resolve).equals(path.method(n_resolve))) return dest;
    if (!dest.method(n_exists).truthy()) return dest;
    if (on_conflict.equals(n_skip)) raise_with(PyExc_FileExistsError, dest.str());
    if (on_conflict.equals(n_overwrite)) return dest;
    ref named = global(n_Path)(name);
    ref numbered_stem = named.attr(n_stem) + n_underscore;
    ref numbered_suffix = named.attr(n_suffix);
    for (long long n = 1;; ++n) {
        ref candidate = parent / (numbered_stem + number(n).str() + numbered_suffix);
        if (!candidate.method(n_exists).truthy()) return candidate;
    }
}

ref save_image(handle image, handle dest, handle fmt_key, handle quality) {
    ref pil = global(n_SAVE_FORMATS).item(fmt_key.equals(n_jpeg) ? handle(n_jpg) : fmt_key);
    ref converted;
    if ((fmt_key.equals(n_jpg) || fmt_key.equals(n_jpeg)) && differs(image.attr(n_mode), n_RGB))
        converted = rgb_on_white(image);
    handle to_write = converted ? handle(converted) : image;
    auto write = [&] {
        ref options = new_dict();
        options.set_item(n_format, pil);
        if (pil.equals(n_JPEG) || pil.equals(n_WEBP)) {
            // max(1, min(quality, 100))
            options.set_item(n_quality, clamp(quality, number(1), number(100)));
        }
        // What the photo carries is read from the image as given, before any conversion.
        add_metadata_options(options, image, to_write, pil);
        // Pillow writes to a file object itself; a path gets the one writer.
        if (is_path_like(dest)) write_file(dest, encoded_dropping_rejected_exif(to_write, options, dest));
        else encode(to_write, dest, options);
    };
    if (converted) closing(converted, write);
    else write();
    return borrow(none());
}

ref convert_files(handle paths, handle fmt, handle quality, handle folder, handle on_conflict, handle delete_source) {
    ref key = fmt.method(n_lower);
    require_text(key);
    if (!contains(global(n_SAVE_FORMATS), key)) raise(PyExc_ValueError, "unsupported format");
    ref suffix = n_dot + key;
    return edit_each_image(paths, [&](handle source) {
        ref dest = global(n_destination)(source, folder, suffix, on_conflict);
        with_upright(source, [&](handle image) { return global(n_save_image)(image, dest, key, quality); });
        if (delete_source.truthy() && differs(dest.method(n_resolve), source.method(n_resolve)))
            source.method(n_unlink);
        return dest.str();
    });
}

ref rotate_files(handle paths, handle degrees, handle keep_original) {
    if (!degrees.equals(number(90)) && !degrees.equals(number(-90)) && !degrees.equals(number(180)) &&
        !degrees.equals(number(270)))
        raise(PyExc_ValueError, "degrees must be 90, -90, 180, or 270");
    return edit_each_image(paths, [&](handle source) {
        ref key = own_format_key(source);
        // A format the module cannot write fails as _save_image would, but before the
        // backup: nothing is written for a file that cannot be turned.
        if (is_own_global(n_save_image)) {
            handle written_as = key.equals(n_jpeg) ? handle(n_jpg) : handle(key);
            if (!contains(global(n_SAVE_FORMATS), written_as)) {
                PyErr_SetObject(PyExc_KeyError, written_as.ptr());
                throw_error();
            }
        }
        // No generation loss where JPEG allows it: the compressed blocks are rearranged.
        if (ref turned = turns_as_jpeg(source) ? losslessly_turned(source, degrees) : ref()) {
            back_up(source, keep_original);
            write_file(source, turned);
            return source.str();
        }
        return with_upright(source, [&](handle image) {
            ref turned = method_kw(image, n_rotate, {-degrees}, {{n_expand, Py_True}});
            return closing(turned, [&] {
                back_up(source, keep_original);
                global(n_save_image)(turned, source, key, number(90));
                return source.str();
            });
        });
    });
}

ref resize_files(handle paths, handle basis, handle value, handle width, handle height, handle folder,
                 handle on_conflict) {
    return edit_each_image(paths, [&](handle source) {
        return with_upright(source, [&](handle image) {
            auto [w, h] = unpack_pair(image.attr(n_size));
            ref size = new_size(basis, value, width, height, w, h);
            require_within_pixel_limit(size);
            ref lanczos = global(n_Image).attr(n_Resampling).attr(n_LANCZOS);
            ref resized = image.method(n_resize, size, lanczos);
            return closing(resized, [&] {
                ref dest = global(n_destination)(source, folder, none(), on_conflict);
                ref save = global(n_save_image);
                save(resized, dest, global(n_fmt_key)(dest.attr(n_suffix)), number(90));
                return dest.str();
            });
        });
    });
}

ref rename_file(handle path, handle new_name) {
    ref source = resolved_path(path);
    if (!source.method(n_is_file).truthy()) raise_not_found(source);
    ref cleaned = global(n_Path)(new_name).attr(n_name);
    if (!cleaned.truthy() || cleaned.equals(n_dot) || cleaned.equals(n_dotdot)) raise(PyExc_ValueError, "bad name");
    ref dest = source.attr(n_parent) / cleaned;
    if (dest.method(n_exists).truthy() && !dest.method(n_resolve).equals(source.method(n_resolve)))
        raise_with(PyExc_FileExistsError, dest.str());
    source.method(n_rename, dest);
    return dest.str();
}

ref apply_rename_pattern(handle name, handle pattern, handle index, handle folder, handle shot) {
    ref stem = global(n_Path)(name).attr(n_stem);
    ref suffix = global(n_Path)(name).attr(n_suffix);
    ref now = global(n_datetime).attr(n_now)();
    require_pattern(pattern);
    ref text = borrow(pattern);

    text = replaced(text, n_token_year, formatted(now.attr(n_year), n_spec_year));
    text = replaced(text, n_token_month, formatted(now.attr(n_month), n_spec_two));
    text = replaced(text, n_token_day, formatted(now.attr(n_day), n_spec_two));
    text = replaced(text, n_token_folder, folder);
    text = replaced(text, n_token_stem, stem);
    text = replaced(text, n_token_shot, shot.truthy() ? handle(shot) : handle(n_empty));

    ref width = text.method(n_count, n_hash);
    if (width.truthy()) {
        ref spec = steal(PyUnicode_FromFormat("0%Sd", width.ptr()));
        ref counter = formatted(index, spec);
        // Only a single unbroken run of every "#" takes the counter.
        ref run = n_hash * width;
        text = text.method(n_replace, run, counter, number(1));
        text = replaced(text, n_hash, n_empty);
    }
    return text + suffix;
}

ref delete_files(handle paths) {
    return edit_each_image(paths, [&](handle source) {
        source.method(n_unlink);
        return source.str();
    });
}

}  // namespace qv
