// The module frame: definition, create and exec steps, the function table, the
// constant tables, and the name-based classification of files.
#include "library.hpp"

#include <frameobject.h>

#include <cstdio>

namespace qv {

const name n_Path{"Path"}, n_Image{"Image"}, n_ImageOps{"ImageOps"}, n_BytesIO{"BytesIO"}, n_datetime{"datetime"},
    n_hashlib{"hashlib"}, n_shutil{"shutil"}, n_IMAGE_SUFFIXES{"IMAGE_SUFFIXES"}, n_SAVE_FORMATS{"SAVE_FORMATS"},
    n_is_image{"is_image"}, n_open_oriented{"open_oriented"}, n_media_type{"_media_type"}, n_fmt_key{"_fmt_key"},
    n_destination{"_destination"}, n_save_image{"_save_image"}, n_thumb_cache_dir{"thumb_cache_dir"};
const name n_suffix{"suffix"}, n_stem{"stem"}, n_lower{"lower"}, n_lstrip{"lstrip"}, n_expanduser{"expanduser"},
    n_resolve{"resolve"}, n_is_file{"is_file"}, n_is_dir{"is_dir"}, n_exists{"exists"}, n_name{"name"},
    n_parent{"parent"}, n_stat{"stat"}, n_st_size{"st_size"}, n_st_mtime{"st_mtime"}, n_st_mtime_ns{"st_mtime_ns"},
    n_mkdir{"mkdir"}, n_unlink{"unlink"}, n_parents{"parents"}, n_exist_ok{"exist_ok"}, n_format{"format"},
    n_quality{"quality"}, n_mode{"mode"}, n_size{"size"}, n_convert{"convert"}, n_save{"save"},
    n_getvalue{"getvalue"}, n_open{"open"}, n_jpg{"jpg"}, n_RGB{"RGB"}, n_dot{"."};
const name n_jpeg{"jpeg"}, n_tif{"tif"}, n_JPEG{"JPEG"}, n_octet_stream{"application/octet-stream"};

namespace {

constexpr const char* module_qualname = "quorvane_image_viewer.library";

const name n_jpe{"jpe"}, n_jfif{"jfif"}, n_tiff{"tiff"},
    n_sorted{"sorted"}, n_round{"round"}, n___builtins__{"__builtins__"}, n___test__{"__test__"},
    n_module_qualname{module_qualname}, n_loader{"loader"}, n_origin{"origin"}, n_spec_parent{"parent"},
    n_submodule_search_locations{"submodule_search_locations"}, n___loader__{"__loader__"}, n___file__{"__file__"},
    n___package__{"__package__"}, n___path__{"__path__"}, n_io{"io"}, n_pathlib{"pathlib"}, n_PIL{"PIL"};

const char* const image_suffixes[] = {".avif", ".bmp", ".gif", ".ico", ".jfif", ".jpe",  ".jpeg", ".jpg",
                                      ".pbm",  ".pgm", ".png", ".ppm", ".tif",  ".tiff", ".webp"};

struct pair_text {
    const char* key;
    const char* value;
};
const pair_text save_formats[] = {{"bmp", "BMP"}, {"gif", "GIF"},   {"jpg", "JPEG"},
                                  {"png", "PNG"}, {"tif", "TIFF"}, {"webp", "WEBP"}};
const pair_text media_types[] = {{".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".jpe", "image/jpeg"},
                                 {".jfif", "image/jpeg"}, {".png", "image/png"},  {".webp", "image/webp"},
                                 {".gif", "image/gif"},   {".bmp", "image/bmp"}};

// Process-wide statics: the module supports one interpreter and one initialisation.
PyObject* g_module = nullptr;
static_ref g_media_table, g_sorted, g_round;

ref defaults_false() { return steal(PyTuple_Pack(1, Py_False)); }
ref defaults_256() { return steal(Py_BuildValue("(i)", 256)); }

#define BODY(f) body<f>, arity_of<f>
#define LATER nullptr, 0

constexpr const char display_source_doc[] =
    "Return the file itself when the pixels are already upright.\n"
    "\n"
    "    Re-encoding every JPEG is what makes a folder feel slow. Orientation\n"
    "    other than 1 still goes through Pillow.\n"
    "    ";

// The twenty functions in namespace order; a row without a body is not bound yet.
const function_spec function_table[] = {
    {"is_image", {{"path", "Path"}}, "bool", nullptr, nullptr, BODY(is_image)},
    {"open_oriented", {{"path", "Path"}}, "Image.Image", nullptr, nullptr, BODY(open_oriented)},
    {"list_dir", {{"folder", "str"}, {"show_hidden", "bool"}}, "dict", defaults_false, nullptr, BODY(list_dir)},
    {"sort_files", {{"files", "list[dict]"}, {"key", "str"}, {"descending", "bool"}}, "list[dict]", nullptr, nullptr,
     BODY(sort_files)},
    {"file_info", {{"path", "str"}}, "dict", nullptr, nullptr, BODY(file_info)},
    {"thumb_cache_dir", {}, "Path", nullptr, nullptr, BODY(thumb_cache_dir)},
    {"thumbnail_bytes", {{"path", "str"}, {"long_edge", "int"}}, "bytes", defaults_256, nullptr, BODY(thumbnail_bytes)},
    {"display_source", {{"path", "str"}}, "tuple[Path | bytes, str]", nullptr, display_source_doc, BODY(display_source)},
    {"_media_type", {{"suffix", "str"}}, "str", nullptr, nullptr, BODY(media_type)},
    {"_destination",
     {{"path", "Path"}, {"folder", "str | None"}, {"suffix", "str | None"}, {"on_conflict", "str"}},
     "Path", nullptr, nullptr, BODY(destination)},
    {"rotate_files", {{"paths", "list[str]"}, {"degrees", "int"}, {"keep_original", "bool"}}, "list[str]", nullptr,
     nullptr, BODY(rotate_files)},
    {"_save_image", {{"image", "Image.Image"}, {"dest", "Path"}, {"fmt_key", "str"}, {"quality", "int"}}, "None",
     nullptr, nullptr, BODY(save_image)},
    {"resize_files",
     {{"paths", "list[str]"},
      {"basis", "str"},
      {"value", "float"},
      {"width", "int | None"},
      {"height", "int | None"},
      {"folder", "str | None"},
      {"on_conflict", "str"}},
     "list[str]", nullptr, nullptr, BODY(resize_files)},
    {"_fmt_key", {{"suffix", "str"}}, "str", nullptr, nullptr, BODY(fmt_key)},
    {"convert_files",
     {{"paths", "list[str]"},
      {"fmt", "str"},
      {"quality", "int"},
      {"folder", "str | None"},
      {"on_conflict", "str"},
      {"delete_source", "bool"}},
     "list[str]", nullptr, nullptr, BODY(convert_files)},
    {"rename_file", {{"path", "str"}, {"new_name", "str"}}, "str", nullptr, nullptr, BODY(rename_file)},
    {"apply_rename_pattern",
     {{"name", "str"}, {"pattern", "str"}, {"index", "int"}, {"folder", "str"}, {"shot", "str | None"}},
     "str", nullptr, nullptr, BODY(apply_rename_pattern)},
    {"delete_files", {{"paths", "list[str]"}}, "list[str]", nullptr, nullptr, BODY(delete_files)},
    {"make_folder", {{"parent", "str"}, {"name", "str"}}, "str", nullptr, nullptr, BODY(make_folder)},
    {"home_folder", {}, "str", nullptr, nullptr, BODY(home_folder)},
};

// ---- create step ----

PY_INT64_T g_interpreter_id = -1;

// Copies one attribute of the import spec onto the module; a missing one is skipped.
void copy_spec_attr(handle spec, handle module, handle from, handle to, bool allow_none) {
    PyObject* value = PyObject_GetAttr(spec.ptr(), from.ptr());
    if (!value) {
        if (clear_if(PyExc_AttributeError)) return;
        throw_error();
    }
    ref owned = steal(value);
    if (allow_none || !owned.is_none()) module.set_attr(to, owned);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module) return borrow(g_module).release();
    try {
        name::build_all();
        ref spec_name = handle(spec).attr(n_name);
        ref module = steal(PyModule_NewObject(spec_name.ptr()));
        copy_spec_attr(spec, module, n_loader, n___loader__, true);
        copy_spec_attr(spec, module, n_origin, n___file__, true);
        copy_spec_attr(spec, module, n_spec_parent, n___package__, true);
        copy_spec_attr(spec, module, n_submodule_search_locations, n___path__, false);
        return module.release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

// ---- exec step ----

void bind(handle dict, handle key, handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}

void warn_on_version_mismatch() {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, module_qualname, "does not match", major, minor) < 0)
        throw_error();
}

void register_in_sys_modules(handle module) {
    PyObject* modules = PyImport_GetModuleDict();
    int has = PyDict_Contains(modules, n_module_qualname.ptr());
    if (has < 0) throw_error();
    if (!has) bind(modules, n_module_qualname, module);
}

ref builtin(handle builtins, handle key) {
    PyObject* value = PyObject_GetAttr(builtins.ptr(), key.ptr());
    if (value) return steal(value);
    if (clear_if(PyExc_AttributeError)) raise_format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw_error();
}

ref import_from(handle module_name, std::initializer_list<handle> names, handle globals) {
    ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (handle n : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, borrow(n).release());
    return steal(PyImport_ImportModuleLevelObject(module_name.ptr(), globals.ptr(), nullptr, fromlist.ptr(), 0));
}

ref import_name(handle module, handle key) {
    PyObject* value = PyObject_GetAttr(module.ptr(), key.ptr());
    if (value) return steal(value);
    if (clear_if(PyExc_AttributeError)) raise_format(PyExc_ImportError, "cannot import name %S", key.ptr());
    throw_error();
}

ref text_table(const pair_text* rows, std::size_t count) {
    ref table = new_dict();
    for (std::size_t i = 0; i < count; ++i) bind(table, text(rows[i].key), text(rows[i].value));
    return table;
}

void build_namespace(handle module) {
    handle dict = PyModule_GetDict(module.ptr());
    handle builtins = PyImport_AddModule("builtins");
    if (!builtins) throw_error();
    name::build_all();
    bind(dict, n___builtins__, builtins);
    set_module_dict(dict, PyModule_GetDict(builtins.ptr()));
    warn_on_version_mismatch();

    if (!ready_function_type()) throw_error();
    g_media_table = text_table(media_types, std::size(media_types));
    register_in_sys_modules(module);

    g_sorted = builtin(builtins, n_sorted);
    g_round = builtin(builtins, n_round);

    bind(dict, n_hashlib, steal(PyImport_Import(n_hashlib.ptr())));
    bind(dict, n_shutil, steal(PyImport_Import(n_shutil.ptr())));
    bind(dict, n_datetime, import_name(import_from(n_datetime, {n_datetime}, dict), n_datetime));
    bind(dict, n_BytesIO, import_name(import_from(n_io, {n_BytesIO}, dict), n_BytesIO));
    bind(dict, n_Path, import_name(import_from(n_pathlib, {n_Path}, dict), n_Path));
    ref pil = import_from(n_PIL, {n_Image, n_ImageOps}, dict);
    bind(dict, n_Image, import_name(pil, n_Image));
    bind(dict, n_ImageOps, import_name(pil, n_ImageOps));

    ref suffixes = steal(PySet_New(nullptr));
    for (const char* s : image_suffixes)
        if (PySet_Add(suffixes.ptr(), text(s).ptr()) < 0) throw_error();
    bind(dict, n_IMAGE_SUFFIXES, suffixes);
    bind(dict, n_SAVE_FORMATS, text_table(save_formats, std::size(save_formats)));

    for (const function_spec& spec : function_table) {
        if (!spec.impl) continue;
        ref function = make_function(spec, n_module_qualname);
        if (PyDict_SetItemString(dict.ptr(), spec.name, function.ptr()) < 0) throw_error();
    }
    bind(dict, n___test__, new_dict());
    remember_own_globals(dict);
}

// Adds the traceback entry that names the failed initialisation.
void add_init_traceback() {
    saved_error pending;
    PyCodeObject* code = PyCode_NewEmpty("quorvane_image_viewer/library", "init quorvane_image_viewer.library", 0);
    PyFrameObject* frame = nullptr;
    if (code) {
        ref globals = new_dict();
        frame = PyFrame_New(PyThreadState_Get(), code, globals.ptr(), nullptr);
    }
    pending.restore();
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void release_statics() {
    g_media_table.reset();
    g_sorted.reset();
    g_round.reset();
    clear_module_dict();
    Py_CLEAR(g_module);
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'library' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = borrow(module).release();
    try {
        build_namespace(module);
        return 0;
    } catch (error_already_set&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_init_traceback();
    release_statics();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "library",
    "Folder listing and image edits. Paths stay on this machine.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

handle builtin_sorted() { return g_sorted; }
handle builtin_round() { return g_round; }

// ---- shared helpers ----

ref resolved_path(handle value) { return global(n_Path)(value).method(n_expanduser).method(n_resolve); }

bool is_image_file(handle target) {
    return target.method(n_is_file).truthy() && global(n_is_image)(target).truthy();
}

void raise_not_found(handle path) { raise_with(PyExc_FileNotFoundError, path.str()); }

// ---- file classification ----

ref is_image(handle path) {
    ref suffix = path.attr(n_suffix).method(n_lower);
    return py_bool(contains(global(n_IMAGE_SUFFIXES), suffix));
}

ref media_type(handle suffix) {
    PyObject* media = PyDict_GetItemWithError(g_media_table.ptr(), suffix.ptr());
    if (!media && PyErr_Occurred()) throw_error();
    return borrow(media ? media : n_octet_stream.ptr());
}

ref fmt_key(handle suffix) {
    ref key = suffix.method(n_lower).method(n_lstrip, n_dot);
    require_text(key);
    if (key.equals(n_jpeg)) return borrow(n_jpg);
    ref aliased = aliased_format_key(key);
    if (!aliased.is(key)) return aliased;
    if (contains(global(n_SAVE_FORMATS), key)) return key;
    return borrow(n_jpg);
}

ref aliased_format_key(handle key) {
    if (key.equals(n_jpe) || key.equals(n_jfif)) return borrow(n_jpg);
    if (key.equals(n_tiff)) return borrow(n_tif);
    return borrow(key);
}

}  // namespace qv

PyMODINIT_FUNC PyInit_library() { return PyModuleDef_Init(&qv::module_def); }
