// The sort engine: rows in the order of one key, exactly as sorted() with that key gives
// them. Keys are builtins, so a sort runs no Python frame per row; two shapes of key are
// sorted in C++ because that measurably pays: listing rows with ASCII names, and with
// exact int sizes or times.
#include "library.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qv {

namespace {

const name n_key{"key"};

// ---- the keys, as METH_O builtins whose `self` carries what the order needs ----

// row["name"].lower()
PyObject* lowered_name_key(PyObject*, PyObject* row) {
    return boundary([&] { return handle(row).item(n_name).method(n_lower); });
}

// row[self], unconverted
PyObject* field_key(PyObject* field, PyObject* row) {
    return boundary([&] { return handle(row).item(field); });
}

// self(row["name"]).suffix.lower(), with `self` the Path the sort call looked up
PyObject* lowered_suffix_key(PyObject* path_type, PyObject* row) {
    return boundary([&] { return handle(path_type)(handle(row).item(n_name)).attr(n_suffix).method(n_lower); });
}

PyMethodDef lowered_name_def = {"lowered_name", lowered_name_key, METH_O, nullptr};
PyMethodDef field_def = {"field", field_key, METH_O, nullptr};
PyMethodDef lowered_suffix_def = {"lowered_suffix", lowered_suffix_key, METH_O, nullptr};

// sorted(rows, key=<def with self>)
ref sorted_with(handle rows, PyMethodDef& def, handle self) {
    ref key = steal(PyCFunction_New(&def, self.ptr()));
    return call_kw(builtin_sorted(), {rows}, {{n_key, key}});
}

// ---- sorting in C++ ----

// row[field] when row is an exact dict holding it, else null: reading it runs no Python
// code, so a scan that gives up part way has changed nothing.
PyObject* plain_field(PyObject* row, handle field) {
    if (!PyDict_CheckExact(row)) return nullptr;
    PyObject* value = PyDict_GetItemWithError(row, field.ptr());
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

// A new list of rows[order[0]], rows[order[1]], ...
template <class Key> ref rows_in(handle rows, const std::vector<Key>& order) {
    ref ordered = steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i)
        PyList_SET_ITEM(ordered.ptr(), i, borrow(PyList_GET_ITEM(rows.ptr(), order[i].row)).release());
    return ordered;
}

template <class Key> ref stably_sorted(handle rows, std::vector<Key>& keys) {
    std::stable_sort(keys.begin(), keys.end());
    return rows_in(rows, keys);
}

struct int_key {
    long long value;
    std::size_t row;
    bool operator<(const int_key& other) const { return value < other.value; }
};

// Each row's field as an exact int within 64 bits, or nothing when any row's is not one.
std::vector<int_key> int_keys(handle rows, handle field) {
    Py_ssize_t count = PyList_GET_SIZE(rows.ptr());
    std::vector<int_key> keys;
    keys.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = plain_field(PyList_GET_ITEM(rows.ptr(), i), field);
        if (!value || !PyLong_CheckExact(value)) return {};
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return {};
        keys.push_back({v, keys.size()});
    }
    return keys;
}

// A lowered ASCII name: str.lower() of such a text only maps A-Z, so it needs no str.
// Its first eight bytes, big-endian, settle most comparisons without touching the
// text, which lives in one shared buffer so that the sort moves only small records.
struct ascii_key {
    std::uint64_t prefix;
    const std::string* arena;
    std::size_t offset, length, row;
    bool operator<(const ascii_key& other) const {
        if (prefix != other.prefix) return prefix < other.prefix;
        std::size_t shorter = std::min(length, other.length);
        if (shorter <= 8) return length < other.length;
        int c = std::memcmp(arena->data() + offset + 8, arena->data() + other.offset + 8, shorter - 8);
        return c != 0 ? c < 0 : length < other.length;
    }
};

ascii_key lowered_ascii(std::string& arena, PyObject* name, std::size_t row) {
    const char* data = static_cast<const char*>(PyUnicode_DATA(name));
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
    ascii_key key{0, &arena, arena.size(), length, row};
    for (std::size_t i = 0; i < length; ++i) {
        char c = data[i];
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        arena.push_back(c);
        // shorter names pad with zero bytes, which sort first as a shorter text does
        if (i < 8) key.prefix |= std::uint64_t(static_cast<unsigned char>(c)) << (8 * (7 - i));
    }
    return key;
}

// Each row's lowered name, or nothing when any row's name is not an exact ASCII str.
std::vector<ascii_key> ascii_name_keys(handle rows, std::string& arena) {
    Py_ssize_t count = PyList_GET_SIZE(rows.ptr());
    std::vector<PyObject*> names;
    names.reserve(static_cast<std::size_t>(count));
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = plain_field(PyList_GET_ITEM(rows.ptr(), i), n_name);
        if (!name || !PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name)) return {};
        names.push_back(name);
        total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
    }
    arena.reserve(total);
    std::vector<ascii_key> keys;
    keys.reserve(names.size());
    for (PyObject* name : names) keys.push_back(lowered_ascii(arena, name, keys.size()));
    return keys;
}

}  // namespace

ref sorted_by_name(handle rows) {
    ref listed = steal(PySequence_List(rows.ptr()));
    std::string arena;
    if (auto keys = ascii_name_keys(listed, arena); !keys.empty()) return stably_sorted(listed, keys);
    return sorted_with(listed, lowered_name_def, handle());
}

ref sorted_by_field(handle rows, handle field) {
    ref listed = steal(PySequence_List(rows.ptr()));
    if (auto keys = int_keys(listed, field); !keys.empty()) return stably_sorted(listed, keys);
    return sorted_with(listed, field_def, field);
}

ref sorted_by_suffix(handle rows, handle path_type) { return sorted_with(rows, lowered_suffix_def, path_type); }

}  // namespace qv
