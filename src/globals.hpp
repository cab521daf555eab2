// The resolution of module-level names.
//
// Members resolve each module-level name at the moment they use it, as Python
// code does with LOAD_GLOBAL: first the namespace of the loaded module, then
// the builtins (both recorded in module_state.hpp), else NameError.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "ref.hpp"

namespace velmora {

// Starts watching the module namespace and the builtins for changes, so that
// lookups can be remembered until one of them changes. -1 with an exception set.
int watch_namespaces(PyObject* module_namespace, PyObject* builtins);

// The recorded module's namespace (borrowed).
PyObject* module_namespace();

// Looks `name` up in the module namespace, then in the builtins.
Ref resolve_global(PyObject* name);

// resolve_global(global).attr, the shape of nearly every service call.
Ref global_attr(PyObject* global, PyObject* attr);

// sys.platform == "win32", read afresh: 1 on Windows, 0 elsewhere, -1 with an exception set.
int platform_is_windows();

// raise <global>(message): the exception class is a module-level name, so a
// replacement takes effect. A null message, which failed to be made, leaves
// that error in place. Always returns null, with the exception set.
PyObject* raise_global(PyObject* error_class, PyObject* message);

// Whether `except <clause>:` catches the pending exception, the clause being
// resolve_global(global).attr, looked up only now, or the tuple of it and
// `also` when that is not empty. As in Python, the clause must be an exception
// class or a tuple of them, else TypeError. The exception stays pending; -1
// when the lookup or the clause fails: that error then replaces the pending
// one, with the pending one as its context.
int pending_exception_matches(PyObject* global, PyObject* attr, std::initializer_list<PyObject*> also = {});

}  // namespace velmora
