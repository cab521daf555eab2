// The members of AddinServerManager: how each is described (its parameters,
// annotations and documentation) and the C++ bodies that implement them.
#pragma once

#include <Python.h>

#include <span>

namespace velmora {

// args[0] is the instance; args[i] the i-th parameter after binding, or null
// for an optional parameter the caller left out. Returns a new reference, or
// null with an exception set.
using MemberBodyFn = PyObject* (*)(PyObject* const* args);

// A body and where it is written, shown in the traceback entry of its member.
struct MemberBody {
    MemberBodyFn fn;
    const char* file;
    int line;
};

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

#define VELMORA_MEMBER_BODY(fn) ::velmora::MemberBody{&fn, ::velmora::source_path(__FILE__), __LINE__}

struct Parameter {
    const char* name;
    const char* annotation;  // text; null when the parameter has none
};

struct MemberSpec {
    const char* name;
    std::span<const Parameter> params;  // self first
    Py_ssize_t required;                // how many leading parameters have no default
    const char* return_annotation;      // null: no "return" entry
    const char* doc;
    PyObject* (*defaults)();            // borrowed tuple for __defaults__; null: no defaults
    const MemberBody* body;
    bool is_property;
};

// The thirteen members in definition order.
std::span<const MemberSpec> manager_members();

// Construction and state: __init__, url, pid, is_running.
extern const MemberBody init_body, url_body, pid_body, is_running_body;
// The (use_compiled, ..., capture_output) defaults the constructor applies; built at load.
PyObject* constructor_defaults();
int make_constructor_defaults();
// Launch command.
extern const MemberBody build_command_body;
// Start sequence.
extern const MemberBody start_body, get_platform_popen_args_body;
// Readiness wait and port probe.
extern const MemberBody wait_for_ready_body, is_port_in_use_body;
// Stop and termination.
extern const MemberBody stop_body, terminate_process_body;
// Context manager protocol.
extern const MemberBody enter_body, exit_body;

}  // namespace velmora
