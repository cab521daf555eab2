// Traceback entries for code written in C++ (see traceback.hpp).
#include "traceback.hpp"

#include <frameobject.h>

namespace velmora {

Ref make_traceback_code(const char* file, const char* name, int line) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
}

void add_traceback_entry(PyObject* code, PyObject* globals) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    // Without a frame the exception still propagates, only without this entry.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace velmora
