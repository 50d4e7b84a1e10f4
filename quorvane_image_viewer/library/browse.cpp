// Folder browsing: listing one folder level, ordering a listing, and the user's places.
#include "fastfs.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qv {

namespace {

const name n_iterdir{"iterdir"}, n_path{"path"}, n_mtime{"mtime"}, n_kind{"kind"}, n_dir{"dir"}, n_image{"image"},
    n_folders{"folders"}, n_files{"files"}, n_sort{"sort"}, n_key{"key"}, n_startswith{"startswith"},
    n_date{"date"}, n_type{"type"}, n_home{"home"}, n_Pictures{"Pictures"};

// entry.stat(), or an empty ref when it raises OSError: such entries are left out.
ref stat_or_skip(handle entry) {
    try {
        return entry.method(n_stat);
    } catch (error_already_set&) {
        if (clear_if(PyExc_OSError)) return ref();
        throw;
    }
}

ref listing_row(handle entry, handle entry_name, handle stat) {
    ref row = new_dict();
    row.set_item(n_name, entry_name);
    row.set_item(n_path, entry.str());
    row.set_item(n_mtime, to_int(stat.attr(n_st_mtime)));
    row.set_item(n_size, stat.attr(n_st_size));
    return row;
}

// Sort keys are computed in C++ so that a sort runs no Python frame per row.
// Each key is a METH_O builtin whose bound `self` carries what the order needs.

// row["name"].lower(): the name order, and the order of a listing's folders.
PyObject* lowered_name_key(PyObject*, PyObject* row) {
    try {
        return handle(row).item(n_name).method(n_lower).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

// row[self], unconverted: the size and date orders.
PyObject* row_value_key(PyObject* row_key, PyObject* row) {
    try {
        return handle(row).item(row_key).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

// Path(row["name"]).suffix.lower(), with `self` the Path the sort call looked up.
PyObject* lowered_suffix_key(PyObject* path_type, PyObject* row) {
    try {
        return handle(path_type)(handle(row).item(n_name)).attr(n_suffix).method(n_lower).release();
    } catch (error_already_set&) {
        return nullptr;
    }
}

PyMethodDef lowered_name_def = {"lowered_name", lowered_name_key, METH_O, nullptr};

ref key_function(PyMethodDef& def, handle bound) { return steal(PyCFunction_New(&def, bound.ptr())); }

// One of the sort keys above with what it is bound to, called directly from C++.
struct order_key_fn {
    PyCFunction key;
    ref bound;
    ref operator()(handle row) const { return steal(key(bound.ptr(), row.ptr())); }
};

// The order table, compared by equality in its order; anything else orders by name.
order_key_fn order_key(handle key) {
    if (key.equals(n_size)) return {row_value_key, borrow(n_size)};
    if (key.equals(n_date)) return {row_value_key, borrow(n_mtime)};
    if (key.equals(n_type)) return {lowered_suffix_key, global(n_Path)};
    return {lowered_name_key, ref()};
}

// Hands back keys already computed, one per call, in the order sorted() asks for them.
PyObject* replayed_key(PyObject* keys, PyObject*) { return PyIter_Next(keys); }

PyMethodDef replayed_def = {"replayed", replayed_key, METH_O, nullptr};

// Exact ints within 64 bits, each with its row's index; empty when any key is not one.
std::vector<std::pair<long long, std::size_t>> int_keys(const std::vector<ref>& keys) {
    std::vector<std::pair<long long, std::size_t>> values;
    values.reserve(keys.size());
    for (const ref& key : keys) {
        if (!PyLong_CheckExact(key.ptr())) return {};
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
        if (overflow) return {};
        values.emplace_back(value, values.size());
    }
    return values;
}

// An exact str key; one-byte texts compare as bytes, in code point order as str does.
struct text_key {
    PyObject* text;
    std::size_t row;
    bool operator<(const text_key& other) const {
        if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(other.text) == PyUnicode_1BYTE_KIND) {
            Py_ssize_t a = PyUnicode_GET_LENGTH(text), b = PyUnicode_GET_LENGTH(other.text);
            int c = std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(other.text), static_cast<std::size_t>(std::min(a, b)));
            return c != 0 ? c < 0 : a < b;
        }
        return PyUnicode_Compare(text, other.text) < 0;
    }
};

std::vector<text_key> text_keys(const std::vector<ref>& keys) {
    std::vector<text_key> values;
    values.reserve(keys.size());
    for (const ref& key : keys) {
        if (!PyUnicode_CheckExact(key.ptr())) return {};
        values.push_back({key.ptr(), values.size()});
    }
    return values;
}

std::size_t row_of(const std::pair<long long, std::size_t>& key) { return key.second; }
std::size_t row_of(const text_key& key) { return key.row; }

// A new list of rows[order[0]], rows[order[1]], ...
ref rows_in(handle rows, const std::vector<std::size_t>& order) {
    ref ordered = steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i)
        PyList_SET_ITEM(ordered.ptr(), i, borrow(PyList_GET_ITEM(rows.ptr(), order[i])).release());
    return ordered;
}

template <class Key> std::vector<std::size_t> stable_order(std::vector<Key>& values) {
    std::stable_sort(values.begin(), values.end(), [](const Key& a, const Key& b) { return a < b; });
    std::vector<std::size_t> order;
    order.reserve(values.size());
    for (const Key& v : values) order.push_back(row_of(v));
    return order;
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

std::size_t row_of(const ascii_key& key) { return key.row; }

ascii_key lowered_ascii(std::string& arena, handle name, std::size_t row) {
    const char* data = static_cast<const char*>(PyUnicode_DATA(name.ptr()));
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name.ptr()));
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

bool is_ascii_text(handle value) { return PyUnicode_CheckExact(value.ptr()) && PyUnicode_IS_ASCII(value.ptr()); }

// The rows in the order of their keys: a stable C++ sort when the keys are all exact
// ints or all exact strs, which yields the very order sorted() gives; sorted() itself,
// with the keys already computed, for any other keys and their own comparisons.
ref ordered_rows(handle rows, std::vector<ref>& keys) {
    std::size_t count = keys.size();
    std::vector<std::size_t> order;
    if (auto ints = int_keys(keys); !ints.empty() || count == 0) {
        order = stable_order(ints);
    } else if (auto texts = text_keys(keys); !texts.empty()) {
        order = stable_order(texts);
    } else {
        ref computed = new_list();
        for (const ref& key : keys) append(computed, key);
        ref replay = steal(PyCFunction_New(&replayed_def, steal(PyObject_GetIter(computed.ptr())).ptr()));
        return call_kw(builtin_sorted(), {rows}, {{n_key, replay}});
    }
    return rows_in(rows, order);
}

// sorted(files, key=sort_key): the keys are computed once, row by row, as sorted() would.
ref sorted_by(handle files, const order_key_fn& sort_key) {
    ref rows = steal(PySequence_List(files.ptr()));
    std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(rows.ptr()));
    std::vector<ref> keys(count);
    if (sort_key.key == lowered_name_key) {
        // ASCII names are lowered in C++; any other name gets its lower() in row order.
        std::string arena;
        arena.reserve(count * 16);
        std::vector<ascii_key> ascii;
        ascii.reserve(count);
        std::vector<ref> names(count);
        for (std::size_t i = 0; i < count; ++i) {
            names[i] = handle(PyList_GET_ITEM(rows.ptr(), i)).item(n_name);
            if (is_ascii_text(names[i])) ascii.push_back(lowered_ascii(arena, names[i], i));
            else keys[i] = names[i].method(n_lower);
        }
        if (ascii.size() == count) return rows_in(rows, stable_order(ascii));
        for (std::size_t i = 0; i < count; ++i)
            if (!keys[i]) keys[i] = names[i].method(n_lower);
    } else {
        for (std::size_t i = 0; i < count; ++i) keys[i] = sort_key(PyList_GET_ITEM(rows.ptr(), i));
    }
    return ordered_rows(rows, keys);
}


}  // namespace

ref list_dir(handle folder, handle show_hidden) {
    ref folders = new_list();
    ref files = new_list();
    // System calls instead of pathlib where they give the same rows; else pathlib lists.
    ref root = list_folder_fast(folder, show_hidden, folders, files);
    if (!root) {
        root = resolved_path(folder);
        if (!root.method(n_is_dir).truthy()) raise_not_found(root);
        bool hide = !show_hidden.truthy();
        for (ref entry : iterate(root.method(n_iterdir))) {
            ref entry_name = entry.attr(n_name);
            if (hide && entry_name.method(n_startswith, n_dot).truthy()) continue;
            ref stat = stat_or_skip(entry);
            if (!stat) continue;
            ref row = listing_row(entry, entry_name, stat);
            if (entry.method(n_is_dir).truthy()) {
                row.set_item(n_kind, n_dir);
                append(folders, row);
            } else if (entry.method(n_is_file).truthy() && global(n_is_image)(entry).truthy()) {
                row.set_item(n_kind, n_image);
                append(files, row);
            }
        }
    }
    method_kw(folders, n_sort, {}, {{n_key, key_function(lowered_name_def, handle())}});

    ref listing = new_dict();
    listing.set_item(n_path, root.str());
    ref parent = root.attr(n_parent);
    listing.set_item(n_parent, parent.equals(root) ? borrow(none()) : parent.str());
    listing.set_item(n_folders, folders);
    listing.set_item(n_files, files);
    return listing;
}

ref sort_files(handle files, handle key, handle descending) {
    ref ordered = sorted_by(files, order_key(key));
    // Reversing the ascending result mirrors ties too, unlike sorted(reverse=True).
    if (descending.truthy() && PyList_Reverse(ordered.ptr()) < 0) throw_error();
    return ordered;
}

ref home_folder() {
    ref pictures = joined(global(n_Path).attr(n_home)(), n_Pictures);
    if (pictures.method(n_is_dir).truthy()) return pictures.str();
    return global(n_Path).attr(n_home)().str();
}

ref make_folder(handle parent, handle name) {
    ref root = resolved_path(parent);
    ref cleaned = global(n_Path)(name).attr(n_name);
    if (!cleaned.truthy()) raise(PyExc_ValueError, "bad name");
    ref dest = joined(root, cleaned);
    method_kw(dest, n_mkdir, {}, {{n_parents, boolean(false)}, {n_exist_ok, boolean(false)}});
    return dest.str();
}

}  // namespace qv
