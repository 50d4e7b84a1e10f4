// A thin C++ layer over the CPython C API: owning references, interned names, calls,
// Python errors as C++ exceptions and the one boundary that hands them back, iteration,
// `with`, optional attributes and arithmetic. Nothing in it knows the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace qv {

// A Python exception is pending; the entry-point boundary hands it back to the interpreter.
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
inline ref borrow(handle h) { return ref::borrow(h); }

// A process-wide reference held from module execution on; it has no destructor,
// since the interpreter is gone by the time static destructors run.
class static_ref : public handle {
public:
    static_ref& operator=(ref value) { reset(); p_ = value.release(); return *this; }
    void reset() { Py_CLEAR(p_); }
};

// ---- raising and parking errors ----------------------------------------------

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// type(arg): the single argument is also the message, as for FileNotFoundError(str(path))
[[noreturn]] void raise_with(PyObject* type, handle arg);
// Refuses anything but an exact str (or None): "Expected str, got <type>"
void require_text(handle value);
// True when the pending exception matches `type`; then it is cleared.
bool clear_if(PyObject* type);

// call(), or an empty ref when it raises `type`, which is then cleared.
template <class F> ref absent_on(PyObject* type, F&& call) {
    try {
        return call();
    } catch (error_already_set&) {
        if (clear_if(type)) return ref();
        throw;
    }
}

// A pending Python exception taken out of the interpreter and put back later.
class saved_error {
public:
    saved_error();
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

// Runs `cleanup` while the pending exception waits; it stays the one reported, since
// the first failure is the one worth seeing, whatever the cleanup raises.
template <class F> void keeping_error(F&& cleanup) {
    saved_error pending;
    try {
        cleanup();
    } catch (error_already_set&) {
        PyErr_Clear();
    }
    pending.restore();
}

// ---- the entry-point boundary --------------------------------------------------

// Every way in from the interpreter runs its C++ through here: whatever `body` throws
// becomes the pending Python error (std::bad_alloc a MemoryError). A body returning a
// ref gives a new reference or nullptr; a body returning nothing gives 0 or -1.
template <class F> auto boundary(F&& body) noexcept {
    constexpr bool status = std::is_void_v<decltype(body())>;
    try {
        if constexpr (status) {
            body();
            return 0;
        } else {
            return body().release();
        }
    } catch (error_already_set&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if constexpr (status) return -1;
    else return static_cast<PyObject*>(nullptr);
}

// ---- interned names ----------------------------------------------------------

// A name declared at file scope in any source; all are interned in the exec step.
class name {
public:
    explicit name(const char* text);
    operator handle() const { return handle(obj_); }
    PyObject* ptr() const { return obj_; }
    static void build_all();

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
    const name* next_;
};

// ---- module globals --------------------------------------------------------------

// Looked up at every call: rebinding a module global changes behaviour at once.
ref global(handle name);
// The module dictionary global() reads, and the builtins it falls back to.
void set_module_dict(handle dict, handle builtins);
void clear_module_dict();

// ---- calls -------------------------------------------------------------------------

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
// import module
inline ref import_module(handle module) { return steal(PyImport_Import(module.ptr())); }

// ---- optional attributes and items -----------------------------------------------

// getattr(obj, name), or an empty ref when obj has no such attribute (AttributeError).
ref optional_attr(handle obj, handle name);
// A dict's entry for key, or an empty ref when it has none.
ref optional_item(handle dict, handle key);

// ---- small object helpers ------------------------------------------------------------

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
// max(lower, min(value, upper)) as the builtins pick; without `upper`, max(lower, value)
ref clamp(handle value, handle lower, handle upper = handle());

// ---- arithmetic: the interpreter's operators, so `folder / name` joins paths ----------

inline ref operator+(handle a, handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }
inline ref operator-(handle a) { return steal(PyNumber_Negative(a.ptr())); }
inline ref operator*(handle a, handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
inline ref operator/(handle a, handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

// ---- finishing on every way out ---------------------------------------------------

// body(), then done(); when the body raises, failed() runs instead and the error goes on.
template <class F, class Done, class Failed>
auto finishing(F&& body, Done&& done, Failed&& failed) -> decltype(body()) {
    using result_type = decltype(body());
    if constexpr (std::is_void_v<result_type>) {
        try {
            body();
        } catch (error_already_set&) {
            failed();
            throw;
        }
        done();
    } else {
        result_type result{};
        try {
            result = body();
        } catch (error_already_set&) {
            failed();
            throw;
        }
        done();
        return result;
    }
}

extern const class name n_enter, n_exit, n_close;
// exit(*sys.exc_info()) for the pending exception; an error of exit itself replaces it.
void exit_with_pending(handle exit);

// `with manager as value: body(value)`: __exit__ runs on every way out of the body,
// with the exception when the body raised; an error of __exit__ itself replaces it.
template <class F> auto with(handle manager, F&& body) -> decltype(body(handle())) {
    ref exit = manager.attr(n_exit);
    ref value = manager.method(n_enter);
    return finishing([&] { return body(handle(value)); }, [&] { exit(none(), none(), none()); },
                     [&] { exit_with_pending(exit); });
}

// Runs `body`, then closes `image` on every way out: a derived image's pixels are freed
// at once, even while a propagating traceback still refers to it.
template <class F> auto closing(handle image, F&& body) -> decltype(body()) {
    return finishing(std::forward<F>(body), [&] { image.method(n_close); },
                     [&] { keeping_error([&] { image.method(n_close); }); });
}

// ---- iteration ------------------------------------------------------------------------

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

// ---- buffers and the interpreter lock -------------------------------------------

// A read-only buffer view of `data`, released on every way out.
class byte_view {
public:
    explicit byte_view(handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) < 0) throw_error();
    }
    ~byte_view() { PyBuffer_Release(&view_); }
    byte_view(const byte_view&) = delete;
    byte_view& operator=(const byte_view&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// Releases the interpreter lock for its scope, as a scoped release does, so other threads go
// on meanwhile; the lock is taken back on every way out, an exception included, so a
// std::bad_alloc thrown inside reaches the boundary as a MemoryError. The scope touches no
// Python object.
class gil_released {
public:
    gil_released() : state_(PyEval_SaveThread()) {}
    ~gil_released() { PyEval_RestoreThread(state_); }
    gil_released(const gil_released&) = delete;
    gil_released& operator=(const gil_released&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace qv
