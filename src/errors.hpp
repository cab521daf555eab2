// Raising and chaining exceptions the way Python statements do.
//
//     raise value                    -> raise_object(value)
//     except E: <code that raises>   -> a HandledException guard around <code>
//
// An exception raised while another one is being handled carries that one as
// its __context__; C code that calls out while it holds an exception has to
// say so, or the new error arrives without its cause.
#pragma once

#include <Python.h>

namespace velmora {

// `raise value`: an exception instance is raised as it is, an exception class
// is instantiated without arguments, anything else is the TypeError Python
// gives. Always returns null, with the exception set.
inline PyObject* raise_object(PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    } else if (PyExceptionClass_Check(value)) {
        PyObject* instance = PyObject_CallNoArgs(value);
        if (instance && PyExceptionInstance_Check(instance)) {
            PyErr_SetObject(value, instance);
        } else if (instance) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         value, Py_TYPE(instance));
        }
        Py_XDECREF(instance);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// The pending exception takes the place of `earlier` (a stolen reference),
// with `earlier` as its __context__, as when an `except` or `finally` block
// raises. Without a pending exception, `earlier` is raised again.
inline void replace_chaining(PyObject* earlier) {
    if (!earlier) return;
    PyObject* later = PyErr_GetRaisedException();
    if (!later) {
        PyErr_SetRaisedException(earlier);
        return;
    }
    if (later != earlier) {
        PyException_SetContext(later, earlier);  // steals
    } else {
        Py_DECREF(earlier);
    }
    PyErr_SetRaisedException(later);
}

// For its lifetime `exc` is the exception being handled (sys.exception()), as
// inside an `except` block: whatever is raised meanwhile is chained to it.
class HandledException {
public:
    explicit HandledException(PyObject* exc) noexcept : outer_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~HandledException() {
        PyErr_SetHandledException(outer_);
        Py_XDECREF(outer_);
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* outer_;
};

}  // namespace velmora
