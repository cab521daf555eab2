// What the process handle says about its child without asking the system again.
#pragma once

#include <Python.h>

#include "module_state.hpp"
#include "ref.hpp"

namespace velmora {

// The exit status the handle has already collected (its `returncode` when that
// is an int), or an empty Ref when the child is still held: running, or a
// zombie whose pid cannot be reused yet. `poll` is not called. An empty Ref
// with an exception set means reading the attribute failed.
inline Ref collected_exit_code(PyObject* process) {
    PyObject* code = nullptr;
    if (PyObject_GetOptionalAttr(process, interned.returncode, &code) < 0) return {};
    Ref owned = Ref::steal(code);
    return owned && PyLong_Check(owned.get()) ? owned : Ref{};
}

}  // namespace velmora
