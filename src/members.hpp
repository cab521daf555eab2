// The members of AddinServerManager: how each is described (its parameters,
// defaults, annotations and documentation) and the C++ bodies that implement them.
#pragma once

#include <Python.h>

#include <span>

#include "traceback.hpp"

// The module's one name: __module__ of the class and its functions, the type
// name of the function objects and the traceback entries are all built from it.
#define VELMORA_MODULE_NAME "velmora_master.addin_launcher.server_manager"

namespace velmora {

// args[0] is the instance; args[i] the i-th parameter after binding, defaults
// filled in. Returns a new reference, or null with an exception set.
using MemberBodyFn = PyObject* (*)(PyObject* const* args);

// A body and where it is written, shown in the traceback entry of its member.
struct MemberBody {
    MemberBodyFn fn;
    const char* file;
    int line;
};

// Defines the body of member `member` and registers it, as `member_body`, at
// this very line, so the member's traceback entries point at its body:
//
//     VELMORA_MEMBER_BODY(stop) {
//         PyObject* self = args[0];
//         ...
//     }
#define VELMORA_MEMBER_BODY(member)                                                        \
    PyObject* member##_impl(PyObject* const* args);                                         \
    const MemberBody member##_body{&member##_impl, source_path(__FILE__), __LINE__};        \
    PyObject* member##_impl([[maybe_unused]] PyObject* const* args)

// A parameter's default, as a constant the table can hold; made into a Python
// object when the class is built.
struct Default {
    enum class Kind { required, none, boolean, integer, real, text };
    Kind kind = Kind::required;
    long long integer = 0;  // also a boolean's 0 or 1
    double real = 0.0;
    const char* text = "";

    static constexpr Default none() { return {.kind = Kind::none}; }
    static constexpr Default boolean(bool value) { return {.kind = Kind::boolean, .integer = value}; }
    static constexpr Default int_(long long value) { return {.kind = Kind::integer, .integer = value}; }
    static constexpr Default float_(double value) { return {.kind = Kind::real, .real = value}; }
    static constexpr Default str(const char* value) { return {.kind = Kind::text, .text = value}; }
};

struct Parameter {
    const char* name;
    const char* annotation = nullptr;  // text; null when the parameter has none
    Default default_value = {};        // Kind::required when the caller must give it
};

enum class MemberKind { method, property };

// One row of the member table.
struct MemberSpec {
    const char* name;
    std::span<const Parameter> params;  // self first
    const char* returns = nullptr;      // return annotation text; null: no "return" entry
    const char* doc;
    const MemberBody* body;
    MemberKind kind = MemberKind::method;

    // How many leading parameters have no default.
    constexpr Py_ssize_t required() const {
        Py_ssize_t count = 0;
        while (static_cast<size_t>(count) < params.size() &&
               params[static_cast<size_t>(count)].default_value.kind == Default::Kind::required)
            ++count;
        return count;
    }
};

// The binder works on the stack: no member may have more parameters than this.
constexpr size_t kMaxParams = 16;

// The thirteen members in definition order.
std::span<const MemberSpec> manager_members();

// Construction and state: __init__, url, pid, is_running.
extern const MemberBody init_body, url_body, pid_body, is_running_body;
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
