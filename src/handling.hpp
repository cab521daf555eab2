// Exceptions raised while another is being handled, chained as Python chains them.
//
// Whatever Python raises inside an `except` block gets the exception being
// handled as its __context__, so the traceback shows both. The member bodies
// that go on calling services after catching something keep that record.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora {

// The pending exception replaces `earlier` (stolen), which becomes its
// __context__, as raising in an `except` or `finally` block does. A cycle
// through the new exception is cut first, as the interpreter cuts it.
inline void chain_pending_to(PyObject* earlier) {
    PyObject* later = PyErr_GetRaisedException();
    if (!later || later == earlier) {
        PyErr_SetRaisedException(later ? later : earlier);
        if (later) Py_XDECREF(earlier);
        return;
    }
    // Floyd's walk, so that a cycle already in the chain cannot loop forever.
    PyObject* link = earlier;
    PyObject* slow = earlier;
    for (bool move_slow = false;; move_slow = !move_slow) {
        PyObject* context = PyException_GetContext(link);
        Py_XDECREF(context);  // borrowed from here on: the chain holds it
        if (!context) break;
        if (context == later) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = context;
        if (link == slow) break;
        if (move_slow) {
            slow = PyException_GetContext(slow);
            Py_XDECREF(slow);
        }
    }
    PyException_SetContext(later, earlier);
    PyErr_SetRaisedException(later);
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
