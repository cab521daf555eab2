// Module loading: the entry point, the create step and the execution step.
//
// The module's working data is process-wide (module_state.hpp): it loads into the
// main interpreter only, once per process, and loading it again hands back the
// module that is already there. The execution step behaves roughly like this Python:
//
//     import subprocess, sys, os, atexit, time, signal, socket
//     from pathlib import Path
//     from typing import Optional
//     from .config import Config
//     from .certificate_manager import CertificateManager
//     from .exceptions import ServerStartError, ServerStopError, ServerNotRunningError
//     import logging
//     from ..logging_config import setup_logging_subprocess, get_logger
//     logger = get_logger(__name__)
//     class AddinServerManager: ...
#include <Python.h>

#include <initializer_list>

#include "calls.hpp"
#include "class_surface.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "ref.hpp"
#include "traceback.hpp"

// A build meant for the debug interpreter must see its headers, not the release ones.
#if defined(VELMORA_REQUIRE_PY_DEBUG) && !defined(Py_DEBUG)
#error "built for the debug interpreter, but its headers do not define Py_DEBUG"
#endif
// ... and with the assertions of those headers live, which NDEBUG would compile out.
#if defined(VELMORA_REQUIRE_PY_DEBUG) && defined(NDEBUG)
#error "built for the debug interpreter with NDEBUG: the headers' assertions would be compiled out"
#endif

namespace velmora {
namespace {

// The namespace entry `module_attr` from the import specification's `spec_attr`.
int copy_spec_attr(PyObject* spec, PyObject* spec_attr, PyObject* module, PyObject* module_attr, bool skip_none) {
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttr(spec, spec_attr, &value);
    Ref owned = Ref::steal(value);
    if (found <= 0 || (skip_none && value == Py_None)) return found;
    return PyObject_SetAttr(module, module_attr, value);
}

// Run while the interpreter that holds the load is finalised, after its
// modules are gone and before its objects are freed.
void clear_state(void*) { state.clear(); }

// The recorded module is handed back only under the name it was loaded as:
// under another name the import system would rewrite its __spec__ and name.
PyObject* recorded_module(PyObject* spec) {
    Ref requested = get_attr(spec, interned.name);
    Ref loaded = requested ? Ref::steal(PyModule_GetNameObject(state.module)) : Ref{};
    if (!loaded) return nullptr;
    const int same = PyObject_RichCompareBool(requested.get(), loaded.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
        PyErr_Format(PyExc_ImportError, "server_manager is already loaded as %R and cannot also be loaded as %R",
                     loaded.get(), requested.get());
        return nullptr;
    }
    return Py_NewRef(state.module);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    PyInterpreterState* interpreter_state = PyInterpreterState_Get();
    const int64_t interpreter = PyInterpreterState_GetID(interpreter_state);
    if (interpreter < 0) return nullptr;
    if (state.interpreter_id != -1 && state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        return nullptr;
    }
    // The module slot declares no support for subinterpreters, but a legacy one
    // does not check it: refused here, before anything is recorded, so that it
    // cannot lock the main interpreter out.
    if (interpreter_state != PyInterpreterState_Main()) {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (name) PyErr_Format(PyExc_ImportError, "module %S does not support loading in subinterpreters", name.get());
        return nullptr;
    }
    if (state.interpreter_id == -1) {
        if (PyUnstable_AtExit(interpreter_state, clear_state, nullptr) < 0) return nullptr;
        state.interpreter_id = interpreter;
    }
    if (state.intern_names() < 0) return nullptr;
    if (state.module) return recorded_module(spec);

    Ref module_name = get_attr(spec, interned.name);
    Ref module = module_name ? Ref::steal(PyModule_NewObject(module_name.get())) : Ref{};
    if (!module || copy_spec_attr(spec, interned.loader, module.get(), interned.dunder_loader, false) < 0 ||
        copy_spec_attr(spec, interned.origin, module.get(), interned.dunder_file, false) < 0 ||
        copy_spec_attr(spec, interned.parent, module.get(), interned.dunder_package, false) < 0 ||
        copy_spec_attr(spec, interned.submodule_search_locations, module.get(), interned.dunder_path, true) < 0)
        return nullptr;
    return module.release();
}

int capture_builtin(PyObject* builtin, PyObject** slot) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(state.builtins, builtin, &value) < 0) return -1;
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", builtin);
        return -1;
    }
    Py_XSETREF(*slot, value);
    return 0;
}

int bind(PyObject* ns, PyObject* key, Ref value) {
    return value ? PyDict_SetItem(ns, key, value.get()) : -1;
}

// import <module> (absolute), bound under its own name.
int import_module(PyObject* ns, PyObject* module) {
    return bind(ns, module, Ref::steal(PyImport_ImportModuleLevelObject(module, ns, nullptr, nullptr, 0)));
}

// from <level dots><module> import <names...>, each bound under its own name, in order.
int import_names(PyObject* ns, const char* module, int level, std::initializer_list<PyObject*> names) {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = module_name ? Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size()))) : Ref{};
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), ns, nullptr, fromlist.get(), level));
    if (!imported) return -1;

    for (PyObject* n : names) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(imported.get(), n, &value) < 0) return -1;
        if (!value) {
            // A submodule of that name that is already imported stands in for the attribute.
            Ref package_name = get_attr(imported.get(), interned.dunder_name);
            Ref full_name = package_name ? Ref::steal(PyUnicode_FromFormat("%S.%U", package_name.get(), n)) : Ref{};
            if (!full_name) return -1;
            value = PyImport_GetModule(full_name.get());
            if (!value && PyErr_Occurred()) return -1;
        }
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", n);
            return -1;
        }
        if (bind(ns, n, Ref::steal(value)) < 0) return -1;
    }
    return 0;
}

int run_execution_steps(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    if (state.intern_names() < 0) return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Py_XSETREF(state.builtins, Py_NewRef(PyModule_GetDict(builtins.get())));
    if (capture_builtin(interned.property, &state.property) < 0 || capture_builtin(interned.print, &state.print) < 0 ||
        watch_namespaces(ns, state.builtins) < 0)
        return -1;

    for (PyObject* standard : {interned.subprocess, interned.sys, interned.os, interned.atexit, interned.time, interned.signal, interned.socket})
        if (import_module(ns, standard) < 0) return -1;
    if (import_names(ns, "pathlib", 0, {interned.Path}) < 0 || import_names(ns, "typing", 0, {interned.Optional}) < 0 ||
        import_names(ns, "config", 1, {interned.Config}) < 0 ||
        import_names(ns, "certificate_manager", 1, {interned.CertificateManager}) < 0 ||
        import_names(ns, "exceptions", 1,
                     {interned.ServerStartError, interned.ServerStopError, interned.ServerNotRunningError}) < 0 ||
        import_module(ns, interned.logging) < 0 ||
        import_names(ns, "logging_config", 2, {interned.setup_logging_subprocess, interned.get_logger}) < 0)
        return -1;

    Ref get_logger = resolve_global(interned.get_logger);
    Ref module_name = get_logger ? resolve_global(interned.dunder_name) : Ref{};
    if (!module_name || bind(ns, interned.logger, call(get_logger.get(), module_name.get())) < 0) return -1;

    return bind(ns, interned.AddinServerManager, build_manager_class());
}

int exec_module(PyObject* module) {
    if (state.module == module) return 0;
    if (state.module) {
        // The loaded module stays recorded: forgetting it would let the next
        // import initialise a second copy, the very thing refused here.
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'server_manager' has already been imported. Re-initialisation is not "
                        "supported.");
    } else {
        state.module = Py_NewRef(module);
        if (run_execution_steps(module) == 0) return 0;
        Py_CLEAR(state.module);
    }
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    Ref code = make_traceback_code(source_path(__FILE__), "init " VELMORA_MODULE_NAME, __LINE__);
    if (!code) PyErr_Clear();  // the import still fails with its own error, only without this entry
    PyErr_SetRaisedException(failure.release());
    if (code) add_traceback_entry(code.get(), PyModule_GetDict(module));
    return -1;
}

// The working data is process-wide, so one interpreter holds the module: the
// main one (create_module refuses others the interpreter lets through).
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "server_manager",
    nullptr,  // no module docstring
    0,        // all working data is process-wide
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_server_manager(void) { return PyModuleDef_Init(&velmora::module_def); }
