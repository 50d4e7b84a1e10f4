// The module's own objects, as its namespace stood when the exec step completed.
#include "library.hpp"

namespace qv {

namespace {
static_ref g_originals;
}

void remember_own_globals(handle dict) { g_originals = steal(PyDict_Copy(dict.ptr())); }

bool is_own_global(handle key) {
    if (!g_originals || !module_dict()) return false;
    // Neither lookup can raise: both dictionaries are plain and the keys are exact str.
    PyObject* now = PyDict_GetItemWithError(module_dict().ptr(), key.ptr());
    return now && now == PyDict_GetItemWithError(g_originals.ptr(), key.ptr());
}

}  // namespace qv
