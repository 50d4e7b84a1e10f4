// Batch edits: renaming one file, rename patterns, and deleting image files.
#include "library.hpp"

namespace qv {

namespace {

const name n_rename{"rename"}, n_replace{"replace"}, n_count{"count"}, n_now{"now"}, n_year{"year"},
    n_month{"month"}, n_day{"day"}, n_dotdot{".."}, n_hash{"#"}, n_empty{""}, n_spec_year{"04d"},
    n_spec_two{"02d"}, n_token_year{"[%YYYY]"}, n_token_month{"[%MM]"}, n_token_day{"[%DD]"},
    n_token_folder{"[%P]"}, n_token_stem{"[%N]"}, n_token_shot{"[%PD]"};

ref joined(handle base, handle part) { return steal(PyNumber_TrueDivide(base.ptr(), part.ptr())); }

// format(value, spec) as the builtin does it
ref formatted(handle value, handle spec) { return steal(PyObject_Format(value.ptr(), spec.ptr())); }

// text.replace(token, value) over every occurrence
ref replaced(handle text, handle token, handle value) { return text.method(n_replace, token, value); }

// A pattern must be exactly a str; None fails as its missing replace() would.
void require_pattern(handle pattern) {
    if (PyUnicode_CheckExact(pattern.ptr())) return;
    if (pattern.is_none())
        raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "replace");
    raise_format(PyExc_TypeError, "Expected %.42s, got %.200s", "str", Py_TYPE(pattern.ptr())->tp_name);
}

}  // namespace

ref rename_file(handle path, handle new_name) {
    ref source = resolved_path(path);
    if (!source.method(n_is_file).truthy()) raise_not_found(source);
    ref cleaned = global(n_Path)(new_name).attr(n_name);
    if (!cleaned.truthy() || cleaned.equals(n_dot) || cleaned.equals(n_dotdot)) raise(PyExc_ValueError, "bad name");
    ref dest = joined(source.attr(n_parent), cleaned);
    if (dest.method(n_exists).truthy() && !dest.method(n_resolve).equals(source.method(n_resolve)))
        raise_with(PyExc_FileExistsError, dest.str());
    source.method(n_rename, dest);
    return dest.str();
}

ref apply_rename_pattern(handle name, handle pattern, handle index, handle folder, handle shot) {
    ref stem = global(n_Path)(name).attr(n_stem);
    ref suffix = global(n_Path)(name).attr(n_suffix);
    ref now = global(n_datetime).attr(n_now)();
    require_pattern(pattern);
    ref text = borrow(pattern);

    text = replaced(text, n_token_year, formatted(now.attr(n_year), n_spec_year));
    text = replaced(text, n_token_month, formatted(now.attr(n_month), n_spec_two));
    text = replaced(text, n_token_day, formatted(now.attr(n_day), n_spec_two));
    text = replaced(text, n_token_folder, folder);
    text = replaced(text, n_token_stem, stem);
    text = replaced(text, n_token_shot, shot.truthy() ? handle(shot) : handle(n_empty));

    ref width = text.method(n_count, n_hash);
    if (width.truthy()) {
        ref spec = steal(PyUnicode_FromFormat("0%Sd", width.ptr()));
        ref counter = formatted(index, spec);
        // Only a single unbroken run of every "#" takes the counter.
        ref run = steal(PyNumber_Multiply(n_hash.ptr(), width.ptr()));
        text = text.method(n_replace, run, counter, number(1));
        text = replaced(text, n_hash, n_empty);
    }
    return concat(text, suffix);
}

ref delete_files(handle paths) {
    ref removed = new_list();
    for_each_element(paths, [&](handle raw) {
        require_text(raw);
        ref source = resolved_path(raw);
        if (!is_image_file(source)) return;
        source.method(n_unlink);
        append(removed, source.str());
    });
    return removed;
}

}  // namespace qv
