// The module frame: definition, create and exec steps, the function table, the
// constant tables, and the name-based classification of files.
#include "library.hpp"

#include "bytepath.hpp"
#include "function.hpp"

#include <frameobject.h>

#include <cstdio>

namespace qv {

const name n_Path{"Path"}, n_Image{"Image"}, n_ImageOps{"ImageOps"}, n_BytesIO{"BytesIO"}, n_datetime{"datetime"},
    n_hashlib{"hashlib"}, n_shutil{"shutil"}, n_SAVE_FORMATS{"SAVE_FORMATS"}, n_is_image{"is_image"},
    n_open_oriented{"open_oriented"}, n_copy2{"copy2"};
const name n_suffix{"suffix"}, n_lower{"lower"}, n_lstrip{"lstrip"}, n_resolve{"resolve"}, n_is_file{"is_file"},
    n_name{"name"}, n_parent{"parent"}, n_stat{"stat"}, n_st_size{"st_size"}, n_st_mtime{"st_mtime"},
    n_mkdir{"mkdir"}, n_parents{"parents"}, n_exist_ok{"exist_ok"}, n_format{"format"}, n_quality{"quality"},
    n_mode{"mode"}, n_size{"size"}, n_convert{"convert"}, n_save{"save"}, n_getvalue{"getvalue"}, n_jpg{"jpg"},
    n_RGB{"RGB"}, n_dot{"."};
const name n_jpeg{"jpeg"}, n_JPEG{"JPEG"}, n_octet_stream{"application/octet-stream"};
const name n_empty{""}, n_path{"path"}, n_mtime{"mtime"}, n_home{"home"}, n_width{"width"}, n_height{"height"};

namespace {

constexpr const char* module_qualname = "quorvane_image_viewer.library";

const name n_IMAGE_SUFFIXES{"IMAGE_SUFFIXES"}, n_expanduser{"expanduser"};
const name n_sorted{"sorted"}, n_round{"round"}, n___builtins__{"__builtins__"}, n___test__{"__test__"},
    n_module_qualname{module_qualname}, n_loader{"loader"}, n_origin{"origin"},
    n_submodule_search_locations{"submodule_search_locations"}, n___loader__{"__loader__"}, n___file__{"__file__"},
    n___package__{"__package__"}, n___path__{"__path__"}, n_io{"io"}, n_pathlib{"pathlib"}, n_PIL{"PIL"};

const char* const image_suffixes[] = {".avif", ".bmp", ".gif", ".heic", ".heif", ".ico",  ".jfif", ".jpe", ".jpeg",
                                      ".jpg",  ".pbm", ".pgm", ".png",  ".ppm",  ".tif", ".tiff", ".webp"};

struct pair_text {
    const char* key;
    const char* value;
};
const pair_text save_formats[] = {{"bmp", "BMP"}, {"gif", "GIF"},   {"jpg", "JPEG"},
                                  {"png", "PNG"}, {"tif", "TIFF"}, {"webp", "WEBP"}};

// A dict of texts, in the rows' order.
template <std::size_t N> ref text_table(const pair_text (&rows)[N]) {
    ref table = new_dict();
    for (const pair_text& row : rows) table.set_item(text(row.key), text(row.value));
    return table;
}



// What a viewer is told a file holds, by its suffix exactly as given.
const pair_text media_types[] = {{".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".jpe", "image/jpeg"},
                                 {".jfif", "image/jpeg"}, {".png", "image/png"},  {".webp", "image/webp"},
                                 {".gif", "image/gif"},   {".bmp", "image/bmp"}};

// Other spellings of the format keys, as file suffixes carry them.
const pair_text format_aliases[] = {{"jpeg", "jpg"}, {"jpe", "jpg"}, {"jfif", "jpg"}, {"tiff", "tif"}};

static_ref g_media_table, g_format_aliases;

void build_classification_tables() {
    g_media_table = text_table(media_types);
    g_format_aliases = text_table(format_aliases);
}

void release_classification_tables() {
    g_media_table.reset();
    g_format_aliases.reset();
}



// Process-wide statics: the module supports one interpreter and one initialisation.
PyObject* g_module = nullptr;
static_ref g_sorted, g_round, g_own_globals, g_own_copy2;

ref defaults_false() { return steal(PyTuple_Pack(1, Py_False)); }
ref defaults_256() { return steal(Py_BuildValue("(i)", 256)); }

constexpr const char display_source_doc[] =
    "Return the file itself when the pixels are already upright.\n"
    "\n"
    "    Re-encoding every JPEG is what makes a folder feel slow. Orientation\n"
    "    other than 1 still goes through Pillow.\n"
    "    ";

// The twenty functions in namespace order, then the ones added since.
const function_spec function_table[] = {
    {"is_image", {{"path", "Path"}}, "bool", nullptr, nullptr, body<is_image>},
    {"open_oriented", {{"path", "Path"}}, "Image.Image", nullptr, nullptr, body<open_oriented>},
    {"list_dir", {{"folder", "str"}, {"show_hidden", "bool"}}, "dict", defaults_false, nullptr, body<list_dir>},
    {"sort_files", {{"files", "list[dict]"}, {"key", "str"}, {"descending", "bool"}}, "list[dict]", nullptr, nullptr,
     body<sort_files>},
    {"file_info", {{"path", "str"}}, "dict", nullptr, nullptr, body<file_info>},
    {"thumb_cache_dir", {}, "Path", nullptr, nullptr, body<thumb_cache_dir>},
    {"thumbnail_bytes", {{"path", "str"}, {"long_edge", "int"}}, "bytes", defaults_256, nullptr, body<thumbnail_bytes>},
    {"display_source", {{"path", "str"}}, "tuple[Path | bytes, str]", nullptr, display_source_doc, body<display_source>},
    {"_media_type", {{"suffix", "str"}}, "str", nullptr, nullptr, body<media_type>},
    {"_destination",
     {{"path", "Path"}, {"folder", "str | None"}, {"suffix", "str | None"}, {"on_conflict", "str"}},
     "Path", nullptr, nullptr, body<destination>},
    {"rotate_files", {{"paths", "list[str]"}, {"degrees", "int"}, {"keep_original", "bool"}}, "list[str]", nullptr,
     nullptr, body<rotate_files>},
    {"_save_image", {{"image", "Image.Image"}, {"dest", "Path"}, {"fmt_key", "str"}, {"quality", "int"}}, "None",
     nullptr, nullptr, body<save_image>},
    {"resize_files",
     {{"paths", "list[str]"},
      {"basis", "str"},
      {"value", "float"},
      {"width", "int | None"},
      {"height", "int | None"},
      {"folder", "str | None"},
      {"on_conflict", "str"}},
     "list[str]", nullptr, nullptr, body<resize_files>},
    {"_fmt_key", {{"suffix", "str"}}, "str", nullptr, nullptr, body<fmt_key>},
    {"convert_files",
     {{"paths", "list[str]"},
      {"fmt", "str"},
      {"quality", "int"},
      {"folder", "str | None"},
      {"on_conflict", "str"},
      {"delete_source", "bool"}},
     "list[str]", nullptr, nullptr, body<convert_files>},
    {"rename_file", {{"path", "str"}, {"new_name", "str"}}, "str", nullptr, nullptr, body<rename_file>},
    {"apply_rename_pattern",
     {{"name", "str"}, {"pattern", "str"}, {"index", "int"}, {"folder", "str"}, {"shot", "str | None"}},
     "str", nullptr, nullptr, body<apply_rename_pattern>},
    {"delete_files", {{"paths", "list[str]"}}, "list[str]", nullptr, nullptr, body<delete_files>},
    {"make_folder", {{"parent", "str"}, {"name", "str"}}, "str", nullptr, nullptr, body<make_folder>},
    {"home_folder", {}, "str", nullptr, nullptr, body<home_folder>},
    {"preview_bytes", {{"path", "str"}}, "bytes | None", nullptr, nullptr, body<preview_bytes>},
};

// ---- create step ----

PY_INT64_T g_interpreter_id = -1;

// Copies one attribute of the import spec onto the module; a missing one is skipped.
void copy_spec_attr(handle spec, handle module, handle from, handle to, bool allow_none) {
    ref value = optional_attr(spec, from);
    if (value && (allow_none || !value.is_none())) module.set_attr(to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return boundary([&] {
        PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) throw_error();
        if (g_interpreter_id == -1) g_interpreter_id = current;
        else if (g_interpreter_id != current)
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        if (g_module) return borrow(g_module);
        name::build_all();
        ref module = steal(PyModule_NewObject(handle(spec).attr(n_name).ptr()));
        copy_spec_attr(spec, module, n_loader, n___loader__, true);
        copy_spec_attr(spec, module, n_origin, n___file__, true);
        copy_spec_attr(spec, module, n_parent, n___package__, true);
        copy_spec_attr(spec, module, n_submodule_search_locations, n___path__, false);
        return module;
    });
}

// ---- exec step ----

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
    if (!has) handle(modules).set_item(n_module_qualname, module);
}

ref builtin(handle builtins, handle key) {
    ref value = optional_attr(builtins, key);
    if (!value) raise_format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    return value;
}

ref import_from(handle module_name, std::initializer_list<handle> names, handle globals) {
    ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (handle n : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, borrow(n).release());
    return steal(PyImport_ImportModuleLevelObject(module_name.ptr(), globals.ptr(), nullptr, fromlist.ptr(), 0));
}

ref import_name(handle module, handle key) {
    ref value = optional_attr(module, key);
    if (!value) raise_format(PyExc_ImportError, "cannot import name %S", key.ptr());
    return value;
}

void build_namespace(handle module) {
    handle dict = PyModule_GetDict(module.ptr());
    handle builtins = PyImport_AddModule("builtins");
    if (!builtins) throw_error();
    name::build_all();
    dict.set_item(n___builtins__, builtins);
    set_module_dict(dict, PyModule_GetDict(builtins.ptr()));
    warn_on_version_mismatch();

    ready_function_type(module_qualname);
    build_classification_tables();
    register_in_sys_modules(module);

    g_sorted = builtin(builtins, n_sorted);
    g_round = builtin(builtins, n_round);

    dict.set_item(n_hashlib, import_module(n_hashlib));
    dict.set_item(n_shutil, import_module(n_shutil));
    dict.set_item(n_datetime, import_name(import_from(n_datetime, {n_datetime}, dict), n_datetime));
    dict.set_item(n_BytesIO, import_name(import_from(n_io, {n_BytesIO}, dict), n_BytesIO));
    dict.set_item(n_Path, import_name(import_from(n_pathlib, {n_Path}, dict), n_Path));
    ref pil = import_from(n_PIL, {n_Image, n_ImageOps}, dict);
    dict.set_item(n_Image, import_name(pil, n_Image));
    dict.set_item(n_ImageOps, import_name(pil, n_ImageOps));

    ref suffixes = steal(PySet_New(nullptr));
    for (const char* s : image_suffixes)
        if (PySet_Add(suffixes.ptr(), text(s).ptr()) < 0) throw_error();
    dict.set_item(n_IMAGE_SUFFIXES, suffixes);
    dict.set_item(n_SAVE_FORMATS, text_table(save_formats));

    for (const function_spec& spec : function_table) {
        ref function = make_function(spec);
        if (PyDict_SetItemString(dict.ptr(), spec.name, function.ptr()) < 0) throw_error();
    }
    dict.set_item(n___test__, new_dict());
    g_own_globals = steal(PyDict_Copy(dict.ptr()));
    g_own_copy2 = handle(dict).item(n_shutil).attr(n_copy2);
}

// Adds the traceback entry that names the failed initialisation; it raises nothing itself.
void add_init_traceback() {
    saved_error pending;
    PyCodeObject* code = PyCode_NewEmpty("quorvane_image_viewer/library", "init quorvane_image_viewer.library", 0);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    pending.restore();
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

void release_statics() {
    release_classification_tables();
    g_sorted.reset();
    g_round.reset();
    g_own_globals.reset();
    g_own_copy2.reset();
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
    if (boundary([&] { build_namespace(module); }) == 0) return 0;
    // A failed initialisation abandons the module: the importer sees where, and nothing of it stays.
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

// suffix.lower() in IMAGE_SUFFIXES: the image test of every route
bool is_image_suffix(handle suffix) { return contains(global(n_IMAGE_SUFFIXES), suffix.method(n_lower)); }

}  // namespace

// ---- shared helpers ----

ref resolved_path(handle value) { return global(n_Path)(value).method(n_expanduser).method(n_resolve); }

bool argument_bytes(handle value, std::string& out) {
    if (!PyUnicode_CheckExact(value.ptr())) return false;
    if (PyUnicode_GET_LENGTH(value.ptr()) > 0 && PyUnicode_READ_CHAR(value.ptr(), 0) == '~')
        return fs_bytes(global(n_Path)(value).method(n_expanduser).str(), out);
    return fs_bytes(value, out);
}

bool is_image_file(handle target) {
    return target.method(n_is_file).truthy() && global(n_is_image)(target).truthy();
}

void raise_not_found(handle path) { raise_with(PyExc_FileNotFoundError, path.str()); }

// ---- file classification ----

ref is_image(handle path) { return py_bool(is_image_suffix(path.attr(n_suffix))); }

// pathlib's suffix of a final name: from the last dot, unless that dot starts or ends the name
bool is_image_name(handle name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw_error();
    ref suffix = dot > 0 && dot < length - 1 ? steal(PyUnicode_Substring(name.ptr(), dot, length)) : borrow(n_empty);
    return is_image_suffix(suffix);
}

ref media_type(handle suffix) {
    // MEDIA_TYPES.get(suffix, "application/octet-stream")
    ref media = optional_item(g_media_table, suffix);
    return media ? media : borrow(n_octet_stream);
}

ref fmt_key(handle suffix) {
    ref key = suffix.method(n_lower).method(n_lstrip, n_dot);  // suffix.lower().lstrip(".")
    require_text(key);
    // an alias, else the key itself when it is a format, else "jpg"
    if (ref alias = optional_item(g_format_aliases, key)) return alias;
    if (contains(global(n_SAVE_FORMATS), key)) return key;
    return borrow(n_jpg);
}

// A turned .jpeg file keeps "jpeg", which _save_image takes as "jpg".
ref aliased_format_key(handle key) {
    if (key.equals(n_jpeg)) return borrow(key);
    ref alias = optional_item(g_format_aliases, key);
    return alias ? alias : borrow(key);
}

// ---- what the module bound at execution ----

handle own_global(handle key) { return PyDict_GetItemWithError(g_own_globals.ptr(), key.ptr()); }
handle own_copy2() { return g_own_copy2; }

bool is_own_global(handle key) {
    handle own = own_global(key);
    if (!own) return false;
    ref now = absent_on(PyExc_NameError, [&] { return global(key); });
    return now && now.is(own);
}
handle builtin_sorted() { return g_sorted; }
handle builtin_round() { return g_round; }

}  // namespace qv

PyMODINIT_FUNC PyInit_library() { return PyModuleDef_Init(&qv::module_def); }
