// The module's functions, one declaration per row of the function table, and the
// names and helpers the subsystems share.
#pragma once

#include "pyxx.hpp"

#include <string>

namespace qv {

// Module globals and attribute names used by more than one subsystem.
extern const name n_Path, n_Image, n_ImageOps, n_BytesIO, n_datetime, n_hashlib, n_shutil, n_SAVE_FORMATS, n_is_image,
    n_open_oriented, n_copy2;
extern const name n_suffix, n_lower, n_lstrip, n_resolve, n_is_file, n_name, n_parent, n_stat, n_st_size, n_st_mtime,
    n_mkdir, n_parents, n_exist_ok, n_format, n_quality, n_mode, n_size, n_convert, n_save, n_getvalue, n_jpg, n_RGB,
    n_dot;
extern const name n_jpeg, n_JPEG, n_octet_stream;
// Record keys and values shared by the listing, file information and the edits.
extern const name n_empty, n_path, n_mtime, n_home, n_width, n_height;

// A format key through the suffix aliases "jpe" and "jfif" (to "jpg") and "tiff" (to "tif");
// any other key, "jpeg" included, comes back as it is.
ref aliased_format_key(handle key);

// Path(value).expanduser().resolve(), with Path looked up at the call.
ref resolved_path(handle value);
// The path the fast routes resolve for `value`, as bytes: an exact str as os.fsencode gives
// it, a leading "~" expanded by Path. false: the pathlib steps must take the call (another
// type, a NUL, a text that cannot be encoded).
bool argument_bytes(handle value, std::string& out);
// is_image(Path(...)) as the module's own is_image answers it, from the final name alone.
bool is_image_name(handle name);
// target.is_file() and then is_image(target)
bool is_image_file(handle target);
// FileNotFoundError(str(path))
[[noreturn]] void raise_not_found(handle path);
// What the module itself bound under `key` at execution, whatever the name holds now:
// a fast route is taken only while global(key) is still this object.
handle own_global(handle key);
// shutil.copy2 as it was when the module was executed.
handle own_copy2();
// Image.open(path); a TIFF is handed to Pillow as its bytes, never as a descriptor.
ref open_image(handle path);
// global(key) is own_global(key); a name deleted from the module is not its own.
bool is_own_global(handle key);
// The builtins bound once at module execution.
handle builtin_sorted();
handle builtin_round();

// ---- the sort engine: new lists of rows, in the order sorted() gives them ----
// sorted(rows, key=lambda row: row["name"].lower())
ref sorted_by_name(handle rows);
// sorted(rows, key=lambda row: row[field])
ref sorted_by_field(handle rows, handle field);
// sorted(rows, key=lambda row: path_type(row["name"]).suffix.lower())
ref sorted_by_suffix(handle rows, handle path_type);

// ---- module frame ----
ref is_image(handle path);
ref media_type(handle suffix);
ref fmt_key(handle suffix);

// ---- folder browsing ----
ref list_dir(handle folder, handle show_hidden);
ref sort_files(handle files, handle key, handle descending);
ref home_folder();
ref make_folder(handle parent, handle name);

// ---- viewing ----
ref open_oriented(handle path);
ref display_source(handle path);
ref thumb_cache_dir();
ref thumbnail_bytes(handle path, handle long_edge);
ref file_info(handle path);
// The file's embedded EXIF preview, upright, as JPEG bytes; None when it has none.
ref preview_bytes(handle path);

// ---- batch edits ----
ref destination(handle path, handle folder, handle suffix, handle on_conflict);
ref save_image(handle image, handle dest, handle fmt_key, handle quality);
ref convert_files(handle paths, handle fmt, handle quality, handle folder, handle on_conflict, handle delete_source);
ref rotate_files(handle paths, handle degrees, handle keep_original);
ref resize_files(handle paths, handle basis, handle value, handle width, handle height, handle folder,
                 handle on_conflict);
ref rename_file(handle path, handle new_name);
ref apply_rename_pattern(handle name, handle pattern, handle index, handle folder, handle shot);
ref delete_files(handle paths);

}  // namespace qv
