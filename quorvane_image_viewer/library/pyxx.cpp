// The layer's out-of-line parts and the module's function type.
#include "pyxx.hpp"

#include <structmember.h>

#include <cstdarg>
#include <new>
#include <vector>

namespace qv {

// ---- raising -------------------------------------------------------------

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw_error();
}

void raise_with(PyObject* type, handle arg) {
    ref exc = steal(PyObject_CallOneArg(type, arg.ptr()));
    PyErr_SetObject(type, exc.ptr());
    throw_error();
}

void require_text(handle value) {
    if (value.is_none() || PyUnicode_CheckExact(value.ptr())) return;
    raise_format(PyExc_TypeError, "Expected %.42s, got %.200s", "str", Py_TYPE(value.ptr())->tp_name);
}

bool clear_if(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

saved_error::saved_error() {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = steal(PyErr_GetRaisedException());
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    type_ = steal(t);
    value_ = steal(v);
    if (tb) traceback_ = steal(tb);
#endif
}

saved_error::~saved_error() = default;

handle saved_error::type() const {
#if PY_VERSION_HEX >= 0x030C0000
    return handle(reinterpret_cast<PyObject*>(Py_TYPE(value_.ptr())));
#else
    return type_;
#endif
}

handle saved_error::traceback() const {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* tb = PyException_GetTraceback(value_.ptr());
    Py_XDECREF(tb);  // the exception keeps it alive
    return handle(tb ? tb : Py_None);
#else
    return traceback_ ? handle(traceback_) : none();
#endif
}

void saved_error::restore() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

const name n_enter{"__enter__"}, n_exit{"__exit__"};

void exit_with_pending(handle exit) {
    saved_error pending;
    exit(pending.type(), pending.value(), pending.traceback());
    pending.restore();
}

// ---- names -----------------------------------------------------------------

namespace {
const name* name_list = nullptr;
}

name::name(const char* text) : text_(text), next_(name_list) { name_list = this; }

void name::build_all() {
    for (const name* n = name_list; n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) throw_error();
    }
}

void name::release_all() {
    for (const name* n = name_list; n; n = n->next_) Py_CLEAR(n->obj_);
}

// ---- handle ------------------------------------------------------------------

ref handle::attr(handle name) const { return steal(PyObject_GetAttr(p_, name.ptr())); }

void handle::set_attr(handle name, handle value) const {
    if (PyObject_SetAttr(p_, name.ptr(), value.ptr()) < 0) throw_error();
}

bool handle::has_attr(handle name) const {
    PyObject* value = PyObject_GetAttr(p_, name.ptr());
    if (value) { Py_DECREF(value); return true; }
    if (clear_if(PyExc_AttributeError)) return false;
    throw_error();
}

bool handle::truthy() const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) throw_error();
    return r != 0;
}

bool handle::equals(handle other) const {
    int r = PyObject_RichCompareBool(p_, other.ptr(), Py_EQ);
    if (r < 0) throw_error();
    return r != 0;
}

ref handle::str() const { return steal(PyObject_Str(p_)); }

ref handle::item(handle key) const { return steal(PyObject_GetItem(p_, key.ptr())); }

void handle::set_item(handle key, handle value) const {
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) throw_error();
}

ref to_int(handle value) { return steal(PyNumber_Long(value.ptr())); }
ref to_float(handle value) { return steal(PyNumber_Float(value.ptr())); }

bool compare(handle a, handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw_error();
    return r != 0;
}

std::pair<ref, ref> unpack_pair(handle value) {
    ref items[2];
    Py_ssize_t count = 0;
    for (ref item : iterate(value)) {
        if (count == 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        items[count++] = std::move(item);
    }
    if (count < 2) raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", count);
    return {std::move(items[0]), std::move(items[1])};
}

bool contains(handle container, handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

ref concat(handle a, handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }

// ---- globals -------------------------------------------------------------------

namespace {
PyObject* g_dict = nullptr;
PyObject* g_builtins = nullptr;
}  // namespace

ref global(handle name) {
    PyObject* value = PyDict_GetItemWithError(g_dict, name.ptr());
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(g_builtins, name.ptr());
    if (value) return borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error();
}

handle module_dict() { return g_dict; }

void set_module_dict(handle dict, handle builtins) {
    Py_XSETREF(g_dict, borrow(dict).release());
    Py_XSETREF(g_builtins, borrow(builtins).release());
}

void clear_module_dict() {
    Py_CLEAR(g_dict);
    Py_CLEAR(g_builtins);
}

// ---- keyword calls ---------------------------------------------------------------

namespace {
ref vectorcall_kw(handle callable, PyObject** argv, std::size_t npos, std::initializer_list<kwarg> keywords,
                  std::size_t offset_flag) {
    ref kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    std::size_t i = 0;
    for (const kwarg& kw : keywords) {
        PyTuple_SET_ITEM(kwnames.ptr(), i, borrow(kw.name).release());
        argv[npos + i] = kw.value.ptr();
        ++i;
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv, npos | offset_flag, kwnames.ptr()));
}
constexpr std::size_t max_call_args = 16;
}  // namespace

ref call_kw(handle callable, std::initializer_list<handle> positional, std::initializer_list<kwarg> keywords) {
    PyObject* argv[max_call_args];
    std::size_t n = 0;
    for (handle h : positional) argv[n++] = h.ptr();
    return vectorcall_kw(callable, argv, n, keywords, 0);
}

ref method_kw(handle self, handle method, std::initializer_list<handle> positional,
              std::initializer_list<kwarg> keywords) {
    return call_kw(self.attr(method), positional, keywords);
}

// ---- the function type -------------------------------------------------------------

namespace {

const name n_inspect{"inspect"}, n_Parameter{"Parameter"}, n_Signature{"Signature"},
    n_POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"}, n_default{"default"}, n_annotation{"annotation"},
    n_return_annotation{"return_annotation"}, n_return{"return"};

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_spec* spec;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* dict;
    PyObject* param_names[max_params];
};

PyTypeObject* function_type = nullptr;

function_object* as_function(PyObject* self) { return reinterpret_cast<function_object*>(self); }

const char* name_of(function_object* f) { return PyUnicode_AsUTF8(f->name); }

[[noreturn]] void raise_arity(function_object* f, bool too_many, Py_ssize_t given) {
    bool has_defaults = f->nrequired != f->nparams;
    const char* more = !has_defaults ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t expected = too_many ? f->nparams : f->nrequired;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_of(f), more,
                 expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, or -1: identity first, then text equality.
Py_ssize_t find_param(function_object* f, PyObject* key) {
    for (Py_ssize_t p = 0; p < f->nparams; ++p)
        if (f->param_names[p] == key) return p;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t p = 0; p < f->nparams; ++p)
        if (PyUnicode_Compare(f->param_names[p], key) == 0) return p;
    return -1;
}

// Fills `values` from positionals, keywords and defaults, or raises the binding error.
void bind(function_object* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (f->nparams == 0) {
        if (nargs > 0) raise_format(PyExc_TypeError, "%.200s() %s (%zd given)", name_of(f), "takes no arguments", nargs);
        if (nkw > 0) raise_format(PyExc_TypeError, "%.200s() %s", name_of(f), "takes no keyword arguments");
        return;
    }
    if (nargs > f->nparams) raise_arity(f, true, nargs);
    Py_ssize_t filled_by[max_params];
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        filled_by[p] = -1;
        values[p] = p < nargs ? args[p] : nullptr;
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        Py_ssize_t p = find_param(f, PyTuple_GET_ITEM(kwnames, j));
        if (p >= nargs && filled_by[p] < 0) {
            filled_by[p] = j;
            values[p] = args[nargs + j];
        }
    }
    for (Py_ssize_t p = nargs; p < f->nparams; ++p) {
        if (values[p]) continue;
        if (p < f->nrequired) raise_arity(f, false, p);
        values[p] = PyTuple_GET_ITEM(f->defaults, p - f->nrequired);
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name_of(f));
        Py_ssize_t p = find_param(f, key);
        if (p < 0) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_of(f), key);
        if (filled_by[p] != j)
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_of(f), key);
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    function_object* f = as_function(self);
    try {
        PyObject* values[max_params];
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values);
        return f->spec->impl(values);
    } catch (error_already_set&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A call with a dict goes through the same binding, so its messages are the same.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw) + 1);
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        ref kwnames;
        if (nkw > 0) {
            kwnames = steal(PyTuple_New(nkw));
            Py_ssize_t pos = 0, j = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value) && j < nkw) {
                PyTuple_SET_ITEM(kwnames.ptr(), j, borrow(key).release());
                stack[nargs + j] = value;
                ++j;
            }
        }
        // the dict's values stay alive: the caller holds the dict for the whole call
        return function_vectorcall(self, stack.data(), static_cast<size_t>(nargs), kwnames.ptr());
    } catch (error_already_set&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

ref signature_of(function_object* f) {
    ref inspect = steal(PyImport_Import(n_inspect.ptr()));
    ref parameter = inspect.attr(n_Parameter);
    ref kind = parameter.attr(n_POSITIONAL_OR_KEYWORD);
    ref params = steal(PyList_New(0));
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        ref annotation = text(f->spec->params[p].annotation);
        ref one = p < f->nrequired
                      ? call_kw(parameter, {f->param_names[p], kind}, {{n_annotation, annotation}})
                      : call_kw(parameter, {f->param_names[p], kind},
                                {{n_default, PyTuple_GET_ITEM(f->defaults, p - f->nrequired)}, {n_annotation, annotation}});
        append(params, one);
    }
    ref returns = text(f->spec->returns);
    return call_kw(inspect.attr(n_Signature), {params}, {{n_return_annotation, returns}});
}

PyObject* get_signature(PyObject* self, void*) {
    try {
        return signature_of(as_function(self)).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Stored in a module or a class, the function stays itself: no bound methods.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    Py_INCREF(self);
    return self;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    function_object* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    function_object* f = as_function(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    function_object* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    for (Py_ssize_t p = 0; p < f->nparams; ++p) Py_CLEAR(f->param_names[p]);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(function_object, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(function_object, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(function_object, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(function_object, doc), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(function_object, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(function_object, defaults), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(function_object, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(function_object, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "quorvane_image_viewer.library.function",
    sizeof(function_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    function_slots,
};

}  // namespace

bool ready_function_type() {
    if (function_type) return true;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    if (!function_type) return false;
    // The offsets only tell the type where its slots are; as attributes they would read raw pointers.
    for (const char* offset : {"__dictoffset__", "__vectorcalloffset__"})
        if (PyDict_DelItemString(function_type->tp_dict, offset) < 0) PyErr_Clear();
    PyType_Modified(function_type);
    return true;
}

ref make_function(const function_spec& spec, handle module_name) {
    Py_ssize_t nparams = 0;
    while (nparams < static_cast<Py_ssize_t>(max_params) && spec.params[nparams].name) ++nparams;
    if (static_cast<std::size_t>(nparams) != spec.arity)
        raise_format(PyExc_SystemError, "%s: table lists %zd parameters, body takes %zu", spec.name, nparams, spec.arity);
    ref defaults = spec.defaults ? spec.defaults() : borrow(none());
    Py_ssize_t ndefaults = spec.defaults ? PyTuple_GET_SIZE(defaults.ptr()) : 0;

    ref annotations = new_dict();
    for (Py_ssize_t p = 0; p < nparams; ++p)
        if (PyDict_SetItemString(annotations.ptr(), spec.params[p].name, text(spec.params[p].annotation).ptr()) < 0)
            throw_error();
    annotations.set_item(n_return, text(spec.returns));

    ref fname = steal(PyUnicode_InternFromString(spec.name));
    ref doc = spec.doc ? text(spec.doc) : borrow(none());
    ref self = steal(PyType_GenericAlloc(function_type, 0));
    function_object* f = as_function(self.ptr());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->nparams = nparams;
    f->nrequired = nparams - ndefaults;
    f->name = borrow(fname).release();
    f->qualname = borrow(fname).release();
    f->module = borrow(module_name).release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->dict = nullptr;
    for (Py_ssize_t p = 0; p < nparams; ++p) {
        PyObject* pname = PyUnicode_InternFromString(spec.params[p].name);
        if (!pname) throw_error();
        f->param_names[p] = pname;
    }
    return self;
}

}  // namespace qv
