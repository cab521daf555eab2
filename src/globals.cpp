// Module-level name resolution (see globals.hpp).
//
// Lookups are remembered, in the lookup cache of the module's state, until a
// namespace they came from changes. A dict watcher advances the cache's epoch
// whenever the module namespace, the builtins or the namespace of a module
// whose attribute was remembered is modified, the way the interpreter's own
// caches for globals work, so a remembered result is always the one a fresh
// lookup would give: replacing `subprocess` in the module, or `Popen` in
// `subprocess`, takes effect at the next use. Without a free dict watcher
// nothing is remembered and every lookup is made afresh.
#include "globals.hpp"

#include <cstdint>
#include <iterator>

#include "calls.hpp"
#include "errors.hpp"
#include "module_state.hpp"

namespace velmora {
namespace {

constexpr LookupCache& cache = state.lookups;

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++cache.epoch;
    return 0;
}

RememberedLookup& slot_for(PyObject* global, PyObject* attr) {
    const auto key = (reinterpret_cast<uintptr_t>(global) >> 4) ^ (reinterpret_cast<uintptr_t>(attr) >> 3);
    return cache.slots[key % std::size(cache.slots)];
}

PyObject* recall(PyObject* global, PyObject* attr, PyObject* owner) {
    const RememberedLookup& slot = slot_for(global, attr);
    return slot.epoch == cache.epoch && slot.global == global && slot.attr == attr && slot.owner == owner
               ? slot.value
               : nullptr;
}

// `epoch` is the one read before the lookup began: finding a key may run code
// (a str subclass's __eq__) that changes a watched namespace, and the answer
// must then count as stale.
void remember(PyObject* global, PyObject* attr, PyObject* owner, PyObject* value, uint64_t epoch) {
    slot_for(global, attr) = {global, attr, owner, value, epoch};
}

void forget_all() {
    for (RememberedLookup& slot : cache.slots) slot = {};
    ++cache.epoch;
}

}  // namespace

int watch_namespaces(PyObject* module_namespace, PyObject* builtins) {
    forget_all();  // a new module namespace: nothing remembered holds
    if (cache.watcher < 0) {
        cache.watcher = PyDict_AddWatcher(on_namespace_change);
        // Other extensions may hold every watcher id; the lookups are then
        // made afresh each time, which gives the same answers more slowly.
        if (cache.watcher < 0) {
            PyErr_Clear();
            return 0;
        }
    }
    if (PyDict_Watch(cache.watcher, module_namespace) < 0) return -1;
    return PyDict_Watch(cache.watcher, builtins);
}

PyObject* module_namespace() { return PyModule_GetDict(state.module); }

Ref resolve_global(PyObject* global) {
    if (PyObject* known = recall(global, nullptr, nullptr)) return Ref::borrow(known);
    const uint64_t epoch = cache.epoch;
    PyObject* value = nullptr;
    for (PyObject* ns : {state.module ? module_namespace() : nullptr, state.builtins}) {
        if (!ns) continue;
        if (PyDict_GetItemRef(ns, global, &value) < 0) return {};
        if (value) {
            if (cache.watcher >= 0) remember(global, nullptr, nullptr, value, epoch);
            return Ref::steal(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", global);
    return {};
}

Ref global_attr(PyObject* global, PyObject* attr) {
    const uint64_t epoch = cache.epoch;
    Ref owner = resolve_global(global);
    if (!owner) return {};
    // Only a plain module's attribute is remembered: it is an entry of the
    // module's namespace, which can be watched. Other objects may compute
    // theirs, and a module can become one of them by assigning its __class__,
    // which changes no namespace: hence the type test at every recall.
    const bool plain_module = PyModule_CheckExact(owner.get());
    if (plain_module) {
        if (PyObject* known = recall(global, attr, owner.get())) return Ref::borrow(known);
    }
    // Watched before it is read, so that a change made while reading counts.
    PyObject* owner_namespace = plain_module && cache.watcher >= 0 ? PyModule_GetDict(owner.get()) : nullptr;
    if (owner_namespace && PyDict_Watch(cache.watcher, owner_namespace) < 0) {
        PyErr_Clear();  // not remembered, still a correct answer
        owner_namespace = nullptr;
    }
    Ref value = get_attr(owner.get(), attr);
    if (value && owner_namespace) {
        PyObject* entry = nullptr;
        if (PyDict_GetItemRef(owner_namespace, attr, &entry) < 0) return {};
        Ref owned_entry = Ref::steal(entry);
        if (entry == value.get()) remember(global, attr, owner.get(), entry, epoch);
    }
    return value;
}

int platform_is_windows() {
    Ref platform = global_attr(interned.sys, interned.platform);
    return platform ? PyObject_RichCompareBool(platform.get(), interned.win32, Py_EQ) : -1;
}

PyObject* raise_global(PyObject* error_class, PyObject* message) {
    Ref cls = message ? resolve_global(error_class) : Ref{};
    Ref error = cls ? call(cls.get(), message) : Ref{};
    return error ? raise_object(error.get()) : nullptr;
}

namespace {

// An `except` clause names an exception class or a tuple of them. 0, or -1 with TypeError set.
int check_except_clause(PyObject* clause) {
    bool valid = PyTuple_Check(clause) || PyExceptionClass_Check(clause);
    if (PyTuple_Check(clause)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(clause); ++i)
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(clause, i));
    }
    if (valid) return 0;
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return -1;
}

Ref clause_of(Ref named, std::initializer_list<PyObject*> also) {
    if (!named || also.size() == 0) return named;
    Ref clause = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(also.size()) + 1));
    if (!clause) return {};
    PyTuple_SET_ITEM(clause.get(), 0, named.release());
    Py_ssize_t i = 1;
    for (PyObject* item : also) PyTuple_SET_ITEM(clause.get(), i++, Py_NewRef(item));
    return clause;
}

}  // namespace

int pending_exception_matches(PyObject* global, PyObject* attr, std::initializer_list<PyObject*> also) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref clause = clause_of(global_attr(global, attr), also);
    if (!clause || check_except_clause(clause.get()) < 0) {
        chain_pending_to(std::move(pending));
        return -1;
    }
    const int matches = PyErr_GivenExceptionMatches(pending.get(), clause.get());
    PyErr_SetRaisedException(pending.release());
    return matches;
}

}  // namespace velmora
