// The class surface of AddinServerManager, described once: every member with
// its parameters, annotations, documentation and body, in definition order.
// build_manager_class() turns this table into the class, as
//
//     AddinServerManager = type("AddinServerManager", (), {
//         "__module__": "velmora_master.addin_launcher.server_manager",
//         "__qualname__": "AddinServerManager", "__doc__": ...,
//         "__init__": <function>, "url": property(<function>), ...})
#include "class_surface.hpp"

#include "calls.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "module_state.hpp"

namespace velmora {
namespace {

constexpr const char* kClassDoc =
    "\n    Manages the lifecycle of the Velmora Excel Add-in HTTPS server.\n    \n"
    "    Supports two modes:\n"
    "    - Development (use_compiled=False): Uses system Node.js to run server.js\n"
    "    - Production (use_compiled=True): Uses pre-compiled standalone binary\n    ";

constexpr const char* kInitDoc =
    "AddinServerManager.__init__(self, bool use_compiled: bool = False, int port: int = 3000, "
    "int server_port: int = 8000, int watchdog_port: int = 0, int docs_port: int = 0, "
    "str auth_token: str = '', str addin_path: Optional[str] = None, double timeout: float = 30.0, "
    "bool capture_output: bool = False)\n"
    "\n"
    "Initialize the server manager.\n"
    "\n"
    "Args:\n"
    "    use_compiled: If True, use pre-compiled binary. If False, use Node.js.\n"
    "    port: Port number for the HTTPS server (default: 3000).\n"
    "    server_port: Port number for the business layer server (default: 8000).\n"
    "    watchdog_port: Port number for the watchdog HTTP API (default: 0).\n"
    "    docs_port: Port number for the documentation server (default: 0).\n"
    "    auth_token: Auth token for watchdog API (default: \"\").\n"
    "    addin_path: Path to addin directory. Auto-detected if None.\n"
    "    timeout: Maximum seconds to wait for server startup.\n"
    "    capture_output: If True, capture stdout/stderr for programmatic access.";

constexpr Parameter kSelfOnly[] = {{.name = "self"}};

constexpr Parameter kInitParams[] = {
    {.name = "self"},
    {.name = "use_compiled", .annotation = "bool", .default_value = Default::boolean(false)},
    {.name = "port", .annotation = "int", .default_value = Default::int_(3000)},
    {.name = "server_port", .annotation = "int", .default_value = Default::int_(8000)},
    {.name = "watchdog_port", .annotation = "int", .default_value = Default::int_(0)},
    {.name = "docs_port", .annotation = "int", .default_value = Default::int_(0)},
    {.name = "auth_token", .annotation = "str", .default_value = Default::str("")},
    {.name = "addin_path", .annotation = "Optional[str]", .default_value = Default::none()},
    {.name = "timeout", .annotation = "float", .default_value = Default::float_(30.0)},
    {.name = "capture_output", .annotation = "bool", .default_value = Default::boolean(false)},
};

constexpr Parameter kExitParams[] = {{.name = "self"}, {.name = "exc_type"}, {.name = "exc_val"}, {.name = "exc_tb"}};

constexpr MemberSpec kMembers[] = {
    {.name = "__init__", .params = kInitParams, .doc = kInitDoc, .body = &init_body},
    {.name = "url",
     .params = kSelfOnly,
     .returns = "str",
     .doc = "AddinServerManager.url(self) -> str\n\nGet the server URL.",
     .body = &url_body,
     .kind = MemberKind::property},
    {.name = "pid",
     .params = kSelfOnly,
     .returns = "Optional[int]",
     .doc = "AddinServerManager.pid(self) -> Optional[int]\n\nGet the server process ID, or None if not running.",
     .body = &pid_body,
     .kind = MemberKind::property},
    {.name = "is_running",
     .params = kSelfOnly,
     .returns = "bool",
     .doc = "AddinServerManager.is_running(self) -> bool\n\nCheck if the server is currently running.",
     .body = &is_running_body,
     .kind = MemberKind::property},
    {.name = "start",
     .params = kSelfOnly,
     .returns = "None",
     .doc = "AddinServerManager.start(self) -> None\n\nStart the addin server.\n\nRaises:\n"
            "    ServerStartError: If the server fails to start within timeout.",
     .body = &start_body},
    {.name = "stop",
     .params = kSelfOnly,
     .returns = "None",
     .doc = "AddinServerManager.stop(self) -> None\n\nStop the addin server gracefully.\n\nRaises:\n"
            "    ServerNotRunningError: If no server is running.",
     .body = &stop_body},
    {.name = "__enter__",
     .params = kSelfOnly,
     .returns = "'AddinServerManager'",
     .doc = "AddinServerManager.__enter__(self) -> 'AddinServerManager'\n\n"
            "Context manager entry - starts the server.",
     .body = &enter_body},
    {.name = "__exit__",
     .params = kExitParams,
     .returns = "None",
     .doc = "AddinServerManager.__exit__(self, exc_type, exc_val, exc_tb) -> None\n\n"
            "Context manager exit - stops the server.",
     .body = &exit_body},
    {.name = "_build_command",
     .params = kSelfOnly,
     .returns = "list",
     .doc = "AddinServerManager._build_command(self) -> list\n\nBuild the command to start the server.",
     .body = &build_command_body},
    {.name = "_wait_for_ready",
     .params = kSelfOnly,
     .returns = "bool",
     .doc = "AddinServerManager._wait_for_ready(self) -> bool\n\n"
            "Wait for the server to be ready (port accepting connections).",
     .body = &wait_for_ready_body},
    {.name = "_is_port_in_use",
     .params = kSelfOnly,
     .returns = "bool",
     .doc = "AddinServerManager._is_port_in_use(self) -> bool\n\nCheck if the port is accepting connections.",
     .body = &is_port_in_use_body},
    {.name = "_terminate_process",
     .params = kSelfOnly,
     .returns = "None",
     .doc = "AddinServerManager._terminate_process(self) -> None",
     .body = &terminate_process_body},
    {.name = "_get_platform_popen_args",
     .params = kSelfOnly,
     .returns = "dict",
     .doc = "AddinServerManager._get_platform_popen_args(self) -> dict\n\nGet platform-specific Popen arguments.",
     .body = &get_platform_popen_args_body},
};

// The binder's stack array holds every parameter, and a default may only be
// followed by more defaults (the binder fills the tail from them).
constexpr bool table_is_bindable() {
    for (const MemberSpec& spec : kMembers) {
        if (spec.params.size() > kMaxParams) return false;
        for (size_t i = static_cast<size_t>(spec.required()); i < spec.params.size(); ++i)
            if (spec.params[i].default_value.kind == Default::Kind::required) return false;
    }
    return true;
}
static_assert(table_is_bindable(), "a member has too many parameters, or a required one after a default");

}  // namespace

std::span<const MemberSpec> manager_members() { return kMembers; }

Ref build_manager_class() {
    if (ready_member_function_type() < 0) return {};
    Ref module_name = Ref::steal(PyUnicode_FromString(VELMORA_MODULE_NAME));
    Ref class_doc = module_name ? Ref::steal(PyUnicode_FromString(kClassDoc)) : Ref{};
    Ref namespace_ = class_doc ? Ref::steal(PyDict_New()) : Ref{};
    if (!namespace_) return {};
    PyObject* ns = namespace_.get();
    if (PyDict_SetItemString(ns, "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", interned.AddinServerManager) < 0 ||
        PyDict_SetItemString(ns, "__doc__", class_doc.get()) < 0)
        return {};

    for (const MemberSpec& spec : kMembers) {
        Ref member = make_member_function(spec, interned.AddinServerManager, module_name.get(), module_namespace());
        if (member && spec.kind == MemberKind::property) member = call(state.property, member.get());
        if (!member || PyDict_SetItemString(ns, spec.name, member.get()) < 0) return {};
    }
    Ref no_bases = Ref::steal(PyTuple_New(0));
    if (!no_bases) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                   interned.AddinServerManager, no_bases.get(), ns, nullptr));
}

}  // namespace velmora
