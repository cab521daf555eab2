// Calls that come back as owned references, the vocabulary of the member
// bodies, and the rule of the error flow that every function of the module
// follows.
//
// Each call returns a Ref that is empty when it failed, with the exception
// set. Once a step has failed, nothing else is called until the function has
// returned with that exception: a call made while an exception is pending may
// fail for that reason alone, or put its own error in place of the first one.
// Two shapes keep to it, each in its own place:
//
// - The chain, for a run of steps that each make a value and together make
//   one result: each step takes what the one before made, or makes one more
//   argument of the call that ends the run. Every step after the first is
//   taken only when the one before succeeded, and one check ends the run:
//
//       Ref config = get_attr(self, interned.config);
//       Ref path = config ? get_attr(config.get(), interned.addin_path) : Ref{};
//       if (!path) return nullptr;   // whichever step failed, its exception is set
//
// - The early return, everywhere else: right after a step whose value decides
//   what happens next (a branch, the end of a loop), after a step that answers
//   with a status (an int, negative on failure; several may share one check
//   through ||, which stops at the first failure), and where a run ends:
//
//       const int held = is_true(process);
//       if (held < 0) return nullptr;
//
// Hence never several values made one after the other and tested together
// (`if (!a || !b) return nullptr;`): b would be made with a's error pending.
// Helpers that take a value which may have failed to come (set_attr, is_true,
// raise_global) pass its error on, so a chain may end in them. An empty Ref
// carries no reference, so nothing needs releasing on the way out.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora {

inline Ref get_attr(PyObject* obj, PyObject* attr) { return Ref::steal(PyObject_GetAttr(obj, attr)); }

// obj.method() with the method found by ordinary attribute lookup, so an
// override on the instance or in a subclass is the one called.
inline Ref call_method(PyObject* obj, PyObject* method) {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, method));
}

inline Ref call_method(PyObject* obj, PyObject* method, PyObject* arg) {
    return Ref::steal(PyObject_CallMethodOneArg(obj, method, arg));
}

inline Ref call(PyObject* callable, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(callable, arg)); }

// type(obj).<name> bound to obj: how the interpreter finds the methods of a
// protocol such as `with`, without looking at the instance. Empty when the
// type has none (no exception set) or when binding it failed (exception set).
inline Ref special_method(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref found = Ref::steal(_PyType_LookupRef(type, name));
    descrgetfunc bind = found ? Py_TYPE(found.get())->tp_descr_get : nullptr;
    return bind ? Ref::steal(bind(found.get(), obj, reinterpret_cast<PyObject*>(type))) : found;
}

// The truth of a value that may have failed to come: 1, 0, or -1 with the exception set.
inline int is_true(const Ref& value) { return value ? PyObject_IsTrue(value.get()) : -1; }

// str(value), sparing the call for a value that already is exactly a str.
inline Ref str_of(PyObject* value) {
    return PyUnicode_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
}

// format(value, "") as an f-string shows it; exact str and int need no format call.
inline Ref formatted(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value)) return Ref::steal(PyObject_Str(value));
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    return empty ? Ref::steal(PyObject_Format(value, empty.get())) : Ref{};
}

inline Ref concat(PyObject* left, PyObject* right) { return Ref::steal(PyUnicode_Concat(left, right)); }

// Sets an attribute, stealing the value: `set_attr(self, interned.port, std::move(port))`.
// An empty value means making it failed: -1, with that error left in place.
inline int set_attr(PyObject* obj, PyObject* attr, Ref value) {
    return value ? PyObject_SetAttr(obj, attr, value.get()) : -1;
}

}  // namespace velmora
