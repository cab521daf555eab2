// Load records and module-level name resolution (see globals.hpp).
#include "globals.hpp"

#include "names.hpp"

namespace velmora {

LoadRecords records{};

PyObject* module_namespace() { return PyModule_GetDict(records.module); }

Ref resolve_global(PyObject* global) {
    PyObject* value = nullptr;
    if (records.module) {
        if (PyDict_GetItemRef(module_namespace(), global, &value) < 0) return {};
        if (value) return Ref::steal(value);
    }
    if (records.builtins) {
        if (PyDict_GetItemRef(records.builtins, global, &value) < 0) return {};
        if (value) return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", global);
    return {};
}

Ref global_attr(PyObject* global, PyObject* attr) {
    Ref owner = resolve_global(global);
    return owner ? get_attr(owner.get(), attr) : Ref{};
}

}  // namespace velmora

namespace velmora {

int pending_exception_matches(PyObject* global, PyObject* attr) {
    PyObject* pending = PyErr_GetRaisedException();
    Ref handled = global_attr(global, attr);
    if (!handled) {
        PyObject* lookup_error = PyErr_GetRaisedException();
        PyException_SetContext(lookup_error, pending);
        PyErr_SetRaisedException(lookup_error);
        return -1;
    }
    const int matches = PyErr_GivenExceptionMatches(pending, handled.get());
    PyErr_SetRaisedException(pending);
    return matches;
}

}  // namespace velmora
