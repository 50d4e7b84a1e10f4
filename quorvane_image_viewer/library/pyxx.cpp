// The layer's out-of-line parts.
#include "pyxx.hpp"

#include <cstdarg>
#include <vector>

namespace qv {

namespace {
// Every name declared so far, interned together in the exec step.
const name* name_list = nullptr;
// The module dictionary global() reads, and the builtins it falls back to.
PyObject* g_dict = nullptr;
PyObject* g_builtins = nullptr;
}  // namespace

// ---- raising and parking errors ----------------------------------------------

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

const name n_enter{"__enter__"}, n_exit{"__exit__"}, n_close{"close"};

void exit_with_pending(handle exit) {
    saved_error pending;
    exit(pending.type(), pending.value(), pending.traceback());
    pending.restore();
}

// ---- names -----------------------------------------------------------------

name::name(const char* text) : text_(text), next_(name_list) { name_list = this; }

void name::build_all() {
    for (const name* n = name_list; n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) throw_error();
    }
}

// ---- handle ------------------------------------------------------------------

ref handle::attr(handle name) const { return steal(PyObject_GetAttr(p_, name.ptr())); }

void handle::set_attr(handle name, handle value) const {
    if (PyObject_SetAttr(p_, name.ptr(), value.ptr()) < 0) throw_error();
}

bool handle::truthy() const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) throw_error();
    return r != 0;
}

bool handle::equals(handle other) const { return compare(*this, other, Py_EQ); }

ref handle::str() const { return steal(PyObject_Str(p_)); }

ref handle::item(handle key) const { return steal(PyObject_GetItem(p_, key.ptr())); }

void handle::set_item(handle key, handle value) const {
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) throw_error();
}

// ---- optional attributes and items -----------------------------------------------

ref optional_attr(handle obj, handle name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) return steal(value);
    if (clear_if(PyExc_AttributeError)) return ref();
    throw_error();
}

ref optional_item(handle dict, handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw_error();
    return borrow(value);
}

// ---- small object helpers ------------------------------------------------------------

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

ref clamp(handle value, handle lower, handle upper) {
    ref within = borrow(value);
    if (upper && less(upper, within)) within = borrow(upper);
    return less(lower, within) ? within : borrow(lower);
}

// ---- globals -------------------------------------------------------------------

ref global(handle name) {
    PyObject* value = PyDict_GetItemWithError(g_dict, name.ptr());
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(g_builtins, name.ptr());
    if (value) return borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error();
}

void set_module_dict(handle dict, handle builtins) {
    Py_XSETREF(g_dict, borrow(dict).release());
    Py_XSETREF(g_builtins, borrow(builtins).release());
}

void clear_module_dict() {
    Py_CLEAR(g_dict);
    Py_CLEAR(g_builtins);
}

// ---- keyword calls ---------------------------------------------------------------

ref call_kw(handle callable, std::initializer_list<handle> positional, std::initializer_list<kwarg> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(positional.size() + keywords.size());
    for (handle h : positional) argv.push_back(h.ptr());
    ref kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const kwarg& kw : keywords) {
        PyTuple_SET_ITEM(kwnames.ptr(), i++, borrow(kw.name).release());
        argv.push_back(kw.value.ptr());
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv.data(), positional.size(), kwnames.ptr()));
}

ref method_kw(handle self, handle method, std::initializer_list<handle> positional,
              std::initializer_list<kwarg> keywords) {
    return call_kw(self.attr(method), positional, keywords);
}

}  // namespace qv
