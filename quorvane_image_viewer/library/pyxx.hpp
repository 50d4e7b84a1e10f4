// A thin C++ layer over the CPython C API: owning references, interned names,
// vectorcall helpers, module-global lookup and Python errors as C++ exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace qv {

// A Python exception is pending; the function boundary hands it back to the interpreter.
struct error_already_set {};

[[noreturn]] inline void throw_error() { throw error_already_set{}; }

class ref;

// A borrowed reference: never owns, never outlives what it points at.
class handle {
public:
    handle() = default;
    handle(PyObject* p) : p_(p) {}

    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is(handle other) const { return p_ == other.p_; }
    bool is_none() const { return p_ == Py_None; }

    ref attr(handle name) const;
    void set_attr(handle name, handle value) const;
    bool has_attr(handle name) const;
    bool truthy() const;
    bool equals(handle other) const;
    ref str() const;
    ref item(handle key) const;
    void set_item(handle key, handle value) const;

    // callable(args...) through vectorcall
    template <class... A> ref operator()(A&&... args) const;
    // self.name(args...) through PyObject_VectorcallMethod
    template <class... A> ref method(handle name, A&&... args) const;

protected:
    PyObject* p_ = nullptr;
};

// An owning reference: RAII, so no function body releases anything by hand.
class ref : public handle {
public:
    ref() = default;
    ref(const ref& o) : handle(o.p_) { Py_XINCREF(p_); }
    ref(ref&& o) noexcept : handle(o.p_) { o.p_ = nullptr; }
    ref& operator=(ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a null result means the call raised.
    static ref steal(PyObject* p) { if (!p) throw_error(); return ref(p); }
    static ref borrow(handle h) { Py_XINCREF(h.ptr()); return ref(h.ptr()); }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    void reset() { Py_CLEAR(p_); }

private:
    explicit ref(PyObject* p) : handle(p) {}
};

inline ref steal(PyObject* p) { return ref::steal(p); }

// A process-wide reference held from module execution on; it has no destructor,
// since the interpreter is gone by the time static destructors run.
class static_ref : public handle {
public:
    static_ref& operator=(ref value) { reset(); p_ = value.release(); return *this; }
    void reset() { Py_CLEAR(p_); }
};
inline ref borrow(handle h) { return ref::borrow(h); }

// ---- raising -------------------------------------------------------------

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// type(arg): the single argument is also the message, as for FileNotFoundError(str(path))
[[noreturn]] void raise_with(PyObject* type, handle arg);
// Refuses anything but an exact str (or None): "Expected str, got <type>"
void require_text(handle value);
// True when the pending exception matches `type`; then it is cleared.
bool clear_if(PyObject* type);

// ---- interned names and constants -----------------------------------------

// A name declared at file scope in any source; all are interned in the exec step.
class name {
public:
    explicit name(const char* text);
    operator handle() const { return handle(obj_); }
    PyObject* ptr() const { return obj_; }
    static void build_all();
    static void release_all();

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
    const name* next_;
};

// ---- module globals --------------------------------------------------------

// Looked up at every call: rebinding a module global changes behaviour at once.
ref global(handle name);
// The module dictionary the functions read their globals from.
handle module_dict();
void set_module_dict(handle dict, handle builtins);
void clear_module_dict();

// ---- calls -----------------------------------------------------------------

namespace detail {
inline PyObject* as_ptr(handle h) { return h.ptr(); }
inline PyObject* as_ptr(const name& n) { return n.ptr(); }
inline PyObject* as_ptr(PyObject* p) { return p; }
}  // namespace detail

template <class... A> ref handle::operator()(A&&... args) const {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, detail::as_ptr(args)...};
    return steal(PyObject_Vectorcall(p_, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A> ref handle::method(handle name, A&&... args) const {
    PyObject* argv[sizeof...(A) + 1] = {p_, detail::as_ptr(args)...};
    return steal(PyObject_VectorcallMethod(name.ptr(), argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

struct kwarg {
    handle name;
    handle value;
};

// callable(*positional, **keywords) through vectorcall
ref call_kw(handle callable, std::initializer_list<handle> positional, std::initializer_list<kwarg> keywords);
// self.method(*positional, **keywords)
ref method_kw(handle self, handle method, std::initializer_list<handle> positional,
              std::initializer_list<kwarg> keywords);

// ---- small object helpers ----------------------------------------------------

inline ref new_list() { return steal(PyList_New(0)); }
inline ref new_dict() { return steal(PyDict_New()); }
inline void append(handle list, handle item) { if (PyList_Append(list.ptr(), item.ptr()) < 0) throw_error(); }
inline ref number(long long v) { return steal(PyLong_FromLongLong(v)); }
inline ref text(const char* s) { return steal(PyUnicode_FromString(s)); }
inline handle boolean(bool b) { return handle(b ? Py_True : Py_False); }
inline handle none() { return handle(Py_None); }
inline ref py_bool(bool b) { return borrow(boolean(b)); }
ref to_int(handle value);    // int(value)
ref to_float(handle value);  // float(value)
bool compare(handle a, handle b, int op);  // a <op> b, as PyObject_RichCompareBool
inline bool less(handle a, handle b) { return compare(a, b, Py_LT); }
inline bool differs(handle a, handle b) { return compare(a, b, Py_NE); }
inline ref pair(handle a, handle b) { return steal(PyTuple_Pack(2, a.ptr(), b.ptr())); }
// first, second = value, with the interpreter's unpacking errors
std::pair<ref, ref> unpack_pair(handle value);
bool contains(handle container, handle item);
ref concat(handle a, handle b);       // a + b

// A pending Python exception taken out of the interpreter and put back later.
class saved_error {
public:
    saved_error();
    ~saved_error();
    saved_error(const saved_error&) = delete;
    saved_error& operator=(const saved_error&) = delete;
    handle type() const;
    handle value() const { return value_; }
    handle traceback() const;
    void restore();  // makes it the pending exception again

private:
    ref value_;
#if PY_VERSION_HEX < 0x030C0000
    ref type_, traceback_;
#endif
};

extern const class name n_enter, n_exit;
void exit_with_pending(handle exit);

// `with manager as value: body(value)`: __exit__ runs on every way out of the body,
// with the exception when the body raised; an error of __exit__ itself replaces it.
template <class F> auto with(handle manager, F&& body) -> decltype(body(handle())) {
    using result_type = decltype(body(handle()));
    ref exit = manager.attr(n_exit);
    ref value = manager.method(n_enter);
    if constexpr (std::is_void_v<result_type>) {
        try {
            body(handle(value));
        } catch (error_already_set&) {
            exit_with_pending(exit);
            throw;
        }
        exit(none(), none(), none());
    } else {
        result_type result{};
        try {
            result = body(handle(value));
        } catch (error_already_set&) {
            exit_with_pending(exit);
            throw;
        }
        exit(none(), none(), none());
        return result;
    }
}

// for (ref item : iterate(obj)): PyIter_Next with errors turned into exceptions.
class iterate {
public:
    explicit iterate(handle iterable) : it_(steal(PyObject_GetIter(iterable.ptr()))) {}
    class iterator {
    public:
        iterator(handle it, bool end) : it_(it) { if (!end) advance(); }
        ref operator*() { return std::move(current_); }
        iterator& operator++() { advance(); return *this; }
        bool operator!=(const iterator&) const { return bool(current_); }

    private:
        void advance() {
            current_ = ref();
            PyObject* next = PyIter_Next(it_.ptr());
            if (next) current_ = steal(next);
            else if (PyErr_Occurred()) throw_error();
        }
        handle it_;
        ref current_;
    };
    iterator begin() { return iterator(it_, false); }
    iterator end() { return iterator(it_, true); }

private:
    ref it_;
};

// Walks a list or tuple by index (it may change while walked), anything else by iterator.
template <class F> void for_each_element(handle sequence, F&& body) {
    if (PyList_Check(sequence.ptr()) || PyTuple_Check(sequence.ptr())) {
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t size = PyList_Check(sequence.ptr()) ? PyList_GET_SIZE(sequence.ptr()) : PyTuple_GET_SIZE(sequence.ptr());
            if (i >= size) break;
            ref element = borrow(PyList_Check(sequence.ptr()) ? PyList_GET_ITEM(sequence.ptr(), i)
                                                              : PyTuple_GET_ITEM(sequence.ptr(), i));
            body(handle(element));
        }
        return;
    }
    for (ref element : iterate(sequence)) body(handle(element));
}

// Runs `work` with the interpreter lock released, so other threads go on meanwhile; it must
// touch no Python object, and an exception escaping it ends the process.
template <class F> auto without_gil(F&& work) noexcept -> decltype(work()) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
}

// ---- the function type -------------------------------------------------------

struct param {
    const char* name;
    const char* annotation;
};

using impl_fn = PyObject* (*)(PyObject* const* args);

inline constexpr std::size_t max_params = 7;

struct function_spec {
    const char* name;
    param params[max_params];  // unused rows have a null name
    const char* returns;
    ref (*defaults)();  // nullptr: no defaults
    const char* doc;
    impl_fn impl;       // nullptr: not built yet, so not bound
    std::size_t arity;
};

namespace detail {
template <class R, class... A, std::size_t... I>
PyObject* invoke(R (*f)(A...), PyObject* const* args, std::index_sequence<I...>) {
    return f(handle(args[I])...).release();
}
template <auto F> struct thunk;
template <class R, class... A, R (*F)(A...)> struct thunk<F> {
    static PyObject* call(PyObject* const* args) { return invoke(F, args, std::index_sequence_for<A...>{}); }
    static constexpr std::size_t arity = sizeof...(A);
};
}  // namespace detail

// Registers a plain C++ function `ref f(handle...)` as a module function body.
template <auto F> constexpr impl_fn body = &detail::thunk<F>::call;
template <auto F> constexpr std::size_t arity_of = detail::thunk<F>::arity;

// Makes the function object for one table row; it reads globals from module_dict().
ref make_function(const function_spec& spec, handle module_name);
bool ready_function_type();

}  // namespace qv
