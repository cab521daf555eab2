// Traceback entries for code written in C++: the member bodies and the
// module's execution step show in a traceback as Python frames would.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora {

// "src/stop.cpp" out of whatever path the compiler was given for a source file,
// so traceback entries name the file the same way on every machine.
constexpr const char* source_path(const char* path) {
    const char* last = path;
    const char* before_last = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') {
            before_last = last;
            last = p + 1;
        }
    }
    return before_last;
}

// A code object that names `name` in tracebacks, at `file`:`line`.
Ref make_traceback_code(const char* file, const char* name, int line);

// Adds a traceback entry for `code` to the exception being raised, as a Python
// frame leaving with that exception would. The exception itself is kept.
void add_traceback_entry(PyObject* code, PyObject* globals);

}  // namespace velmora
