// The module's function type: one object per row of the function table, with the
// row's parameters, annotations and defaults, bound and called like a Python function.
#pragma once

#include "pyxx.hpp"

#include <cstddef>
#include <utility>

namespace qv {

struct param {
    const char* name;
    const char* annotation;
};

inline constexpr std::size_t max_params = 7;

// A C++ body `ref f(handle...)` and how many parameters it takes.
struct function_body {
    ref (*call)(PyObject* const* args);
    std::size_t arity;
};

namespace detail {
template <auto F> struct thunk;
template <class... A, ref (*F)(A...)> struct thunk<F> {
    template <std::size_t... I> static ref invoke(PyObject* const* args, std::index_sequence<I...>) {
        return F(handle(args[I])...);
    }
    static ref call(PyObject* const* args) { return invoke(args, std::index_sequence_for<A...>{}); }
    static constexpr std::size_t arity = sizeof...(A);
};
}  // namespace detail

template <auto F> constexpr function_body body = {&detail::thunk<F>::call, detail::thunk<F>::arity};

struct function_spec {
    const char* name;
    param params[max_params];  // unused rows have a null name
    const char* returns;
    ref (*defaults)();  // nullptr: no defaults
    const char* doc;
    function_body impl;
};

// Creates the type once, named "<module>.function" so that its __module__ is the module's name.
void ready_function_type(const char* module_name);
// The function object for one table row.
ref make_function(const function_spec& spec);

}  // namespace qv
