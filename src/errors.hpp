// Raising and chaining exceptions the way Python statements do.
//
//     raise value                      -> return raise_object(value);
//     except BaseException:           -> HandledException failure;   (takes the pending exception)
//         <code that may raise>            ...anything raised here is chained to it...
//         raise                        -> return failure.reraise();
//     finally: <code that raises>      -> chain_pending_to(std::move(earlier));
//
// An exception raised while another one is being handled carries that one as
// its __context__; C code that calls out while it holds an exception has to
// say so, or the new error arrives without its cause.
#pragma once

#include <Python.h>

#include <utility>

#include "ref.hpp"

namespace velmora {

// `raise value`: an exception instance is raised as it is, an exception class
// is instantiated without arguments, anything else is the TypeError Python
// gives. Always returns null, with the exception set.
inline PyObject* raise_object(PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    } else if (PyExceptionClass_Check(value)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(value));
        if (instance && PyExceptionInstance_Check(instance.get())) {
            PyErr_SetObject(value, instance.get());
        } else if (instance) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         value, Py_TYPE(instance.get()));
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// The pending exception replaces `earlier`, which becomes its __context__, as
// raising in an `except` or `finally` block does; without a pending exception,
// `earlier` is raised again. A cycle through the new exception is cut first,
// as the interpreter cuts it.
inline void chain_pending_to(Ref earlier) {
    Ref later = Ref::steal(PyErr_GetRaisedException());
    if (!earlier || !later || later.get() == earlier.get()) {
        PyErr_SetRaisedException(later ? later.release() : earlier.release());
        return;
    }
    // Floyd's walk, so that a cycle already in the chain cannot loop forever.
    PyObject* link = earlier.get();
    PyObject* slow = earlier.get();
    for (bool move_slow = false;; move_slow = !move_slow) {
        Ref context = Ref::steal(PyException_GetContext(link));
        if (!context) break;
        if (context.get() == later.get()) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = context.get();  // the chain itself keeps it alive
        if (link == slow) break;
        if (move_slow) slow = Ref::steal(PyException_GetContext(slow)).get();
    }
    PyException_SetContext(later.get(), earlier.release());
    PyErr_SetRaisedException(later.release());
}

// Takes the pending exception and, while it lives, makes it the one being
// handled (what sys.exception() returns), as entering an `except` block does:
// anything raised meanwhile, by the member itself or by Python code it calls,
// gets it as __context__ from the interpreter.
class HandledException {
public:
    HandledException()
        : exception_(Ref::steal(PyErr_GetRaisedException())), outer_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception_.get());
    }
    ~HandledException() { PyErr_SetHandledException(outer_.get()); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

    PyObject* exception() const noexcept { return exception_.get(); }

    // A bare `raise`: the handled exception propagates unchanged. Always null.
    PyObject* reraise() const {
        PyErr_SetRaisedException(Py_NewRef(exception_.get()));
        return nullptr;
    }

private:
    Ref exception_;
    Ref outer_;
};

}  // namespace velmora
