// The module's function type: binding arguments to parameters, metadata, signature,
// and pickling by reference.
#include "function.hpp"

#include <structmember.h>

#include <string>

namespace qv {

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
    return boundary([&] {
        function_object* f = as_function(self);
        PyObject* values[max_params];
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values);
        return f->spec->impl.call(values);
    });
}

ref signature_of(function_object* f) {
    ref inspect = import_module(n_inspect);
    ref parameter = inspect.attr(n_Parameter);
    ref kind = parameter.attr(n_POSITIONAL_OR_KEYWORD);
    ref params = new_list();
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
    return boundary([&] { return signature_of(as_function(self)); });
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Stored in a module or a class, the function stays itself: no bound methods.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference, as built-in functions are: its name, found again in its module.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

// `__module__` is the type's own text, read through it; like the rest of the metadata
// it cannot be set on a function.
int function_setattro(PyObject* self, PyObject* attr, PyObject* value) {
    if (PyUnicode_Check(attr) && PyUnicode_CompareWithASCIIString(attr, "__module__") == 0) {
        PyErr_SetString(PyExc_AttributeError, "readonly attribute");
        return -1;
    }
    return PyObject_GenericSetAttr(self, attr, value);
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
    Py_CLEAR(f->doc);
    for (Py_ssize_t p = 0; p < f->nparams; ++p) Py_CLEAR(f->param_names[p]);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(function_object, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(function_object, qualname), READONLY, nullptr},
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

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    // A call with a dict is unpacked onto the vectorcall, so both report the same errors.
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

}  // namespace

void ready_function_type(const char* module_name) {
    if (function_type) return;
    // The PyType_Spec name must outlive the type: its tp_name points into it.
    static const std::string type_name = std::string(module_name) + ".function";
    static PyType_Spec spec = {
        type_name.c_str(),
        sizeof(function_object),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        // only the module makes these: an empty one would have no body to call
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    function_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&spec)).release());
    // The offsets only tell the type where its slots are; as attributes they would read raw pointers.
    for (const char* offset : {"__dictoffset__", "__vectorcalloffset__"})
        if (PyDict_DelItemString(function_type->tp_dict, offset) < 0) PyErr_Clear();
    PyType_Modified(function_type);
}

ref make_function(const function_spec& spec) {
    Py_ssize_t nparams = 0;
    while (nparams < static_cast<Py_ssize_t>(max_params) && spec.params[nparams].name) ++nparams;
    if (static_cast<std::size_t>(nparams) != spec.impl.arity)
        raise_format(PyExc_SystemError, "%s: table lists %zd parameters, body takes %zu", spec.name, nparams,
                     spec.impl.arity);
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
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->dict = nullptr;
    for (Py_ssize_t p = 0; p < nparams; ++p) f->param_names[p] = steal(PyUnicode_InternFromString(spec.params[p].name)).release();
    return self;
}

}  // namespace qv
