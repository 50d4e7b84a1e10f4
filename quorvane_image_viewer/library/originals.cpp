// The module's own objects, as its namespace stood when the exec step completed.
#include "library.hpp"

namespace qv {

namespace {
static_ref g_own_globals;
}

void remember_own_globals(handle dict) { g_own_globals = steal(PyDict_Copy(dict.ptr())); }

handle own_global(handle key) {
    return g_own_globals ? PyDict_GetItemWithError(g_own_globals.ptr(), key.ptr()) : nullptr;
}

bool is_own_global(handle key) {
    handle own = own_global(key);
    if (!own) return false;
    try {
        return global(key).is(own);
    } catch (error_already_set&) {
        if (clear_if(PyExc_NameError)) return false;
        throw;
    }
}

}  // namespace qv
