// Load records and module-level name resolution (see globals.hpp).
//
// Lookups are remembered until a namespace they came from changes. A dict
// watcher bumps `namespace_epoch` whenever the module namespace, the builtins
// or the namespace of a module whose attribute was remembered is modified, the
// way the interpreter's own caches for globals work, so a remembered result is
// always the one a fresh lookup would give: replacing `subprocess` in the
// module, or `Popen` in `subprocess`, takes effect at the next use.
#include "globals.hpp"

#include <cstdint>

#include "names.hpp"

namespace velmora {

LoadRecords records{};

namespace {

int namespace_watcher = -1;
uint64_t namespace_epoch = 1;

struct RememberedLookup {
    PyObject* global;  // interned name
    PyObject* attr;    // interned name, or null for the global itself
    PyObject* value;   // borrowed: it stays in a watched namespace while `epoch` is current
    uint64_t epoch;
};

RememberedLookup remembered[64];

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_epoch;
    return 0;
}

RememberedLookup& slot_for(PyObject* global, PyObject* attr) {
    const auto key = (reinterpret_cast<uintptr_t>(global) >> 4) ^ (reinterpret_cast<uintptr_t>(attr) >> 3);
    return remembered[key % (sizeof remembered / sizeof remembered[0])];
}

PyObject* recall(PyObject* global, PyObject* attr) {
    const RememberedLookup& slot = slot_for(global, attr);
    return slot.epoch == namespace_epoch && slot.global == global && slot.attr == attr ? slot.value : nullptr;
}

void remember(PyObject* global, PyObject* attr, PyObject* value) {
    slot_for(global, attr) = {global, attr, value, namespace_epoch};
}

}  // namespace

int watch_namespaces(PyObject* module_namespace, PyObject* builtins) {
    if (namespace_watcher < 0 && (namespace_watcher = PyDict_AddWatcher(on_namespace_change)) < 0) return -1;
    ++namespace_epoch;  // a new module namespace: nothing remembered holds
    if (PyDict_Watch(namespace_watcher, module_namespace) < 0) return -1;
    return PyDict_Watch(namespace_watcher, builtins);
}

PyObject* module_namespace() { return PyModule_GetDict(records.module); }

Ref resolve_global(PyObject* global) {
    if (PyObject* known = recall(global, nullptr)) return Ref::borrow(known);
    PyObject* value = nullptr;
    for (PyObject* ns : {records.module ? module_namespace() : nullptr, records.builtins}) {
        if (!ns) continue;
        if (PyDict_GetItemRef(ns, global, &value) < 0) return {};
        if (value) {
            if (namespace_watcher >= 0) remember(global, nullptr, value);
            return Ref::steal(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", global);
    return {};
}

Ref global_attr(PyObject* global, PyObject* attr) {
    if (PyObject* known = recall(global, attr)) return Ref::borrow(known);
    Ref owner = resolve_global(global);
    Ref value = owner ? get_attr(owner.get(), attr) : Ref{};
    // Only a plain module's attribute is remembered: it is an entry of the
    // module's namespace, which can be watched. Other objects may compute theirs.
    if (value && namespace_watcher >= 0 && PyModule_CheckExact(owner.get())) {
        PyObject* owner_namespace = PyModule_GetDict(owner.get());
        PyObject* entry = nullptr;
        if (PyDict_GetItemRef(owner_namespace, attr, &entry) < 0) return {};
        Ref owned_entry = Ref::steal(entry);
        if (entry == value.get()) {
            if (PyDict_Watch(namespace_watcher, owner_namespace) == 0) remember(global, attr, entry);
            else PyErr_Clear();  // not remembered, still a correct answer
        }
    }
    return value;
}

int platform_is_windows() {
    Ref platform = global_attr(name.sys, name.platform);
    return platform ? PyObject_RichCompareBool(platform.get(), name.win32, Py_EQ) : -1;
}

PyObject* raise_global(PyObject* error_class, PyObject* message) {
    Ref cls = message ? resolve_global(error_class) : Ref{};
    Ref error = cls ? call(cls.get(), message) : Ref{};
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

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
