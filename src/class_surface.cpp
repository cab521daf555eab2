// The class surface of AddinServerManager, described once: every member with
// its parameters, annotations, documentation and body, in definition order.
// build_manager_class() turns this table into the class, as
//
//     AddinServerManager = type("AddinServerManager", (), {
//         "__module__": "velmora_master.addin_launcher.server_manager",
//         "__qualname__": "AddinServerManager", "__doc__": ...,
//         "__init__": <function>, "url": property(<function>), ...})
#include "class_surface.hpp"

#include "function.hpp"
#include "globals.hpp"
#include "names.hpp"

namespace velmora {
namespace {

constexpr const char* kModuleName = "velmora_master.addin_launcher.server_manager";

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

constexpr Parameter kSelfOnly[] = {{"self", nullptr}};

constexpr Parameter kInitParams[] = {
    {"self", nullptr},           {"use_compiled", "bool"}, {"port", "int"},
    {"server_port", "int"},      {"watchdog_port", "int"}, {"docs_port", "int"},
    {"auth_token", "str"},       {"addin_path", "Optional[str]"}, {"timeout", "float"},
    {"capture_output", "bool"},
};

constexpr Parameter kExitParams[] = {
    {"self", nullptr}, {"exc_type", nullptr}, {"exc_val", nullptr}, {"exc_tb", nullptr}};

const MemberSpec kMembers[] = {
    {"__init__", kInitParams, 1, nullptr, kInitDoc, constructor_defaults, &init_body, false},
    {"url", kSelfOnly, 1, "str", "AddinServerManager.url(self) -> str\n\nGet the server URL.", nullptr,
     &url_body, true},
    {"pid", kSelfOnly, 1, "Optional[int]",
     "AddinServerManager.pid(self) -> Optional[int]\n\nGet the server process ID, or None if not running.",
     nullptr, &pid_body, true},
    {"is_running", kSelfOnly, 1, "bool",
     "AddinServerManager.is_running(self) -> bool\n\nCheck if the server is currently running.", nullptr,
     &is_running_body, true},
    {"start", kSelfOnly, 1, "None",
     "AddinServerManager.start(self) -> None\n\nStart the addin server.\n\nRaises:\n"
     "    ServerStartError: If the server fails to start within timeout.",
     nullptr, &start_body, false},
    {"stop", kSelfOnly, 1, "None",
     "AddinServerManager.stop(self) -> None\n\nStop the addin server gracefully.\n\nRaises:\n"
     "    ServerNotRunningError: If no server is running.",
     nullptr, &stop_body, false},
    {"__enter__", kSelfOnly, 1, "'AddinServerManager'",
     "AddinServerManager.__enter__(self) -> 'AddinServerManager'\n\nContext manager entry - starts the server.",
     nullptr, &enter_body, false},
    {"__exit__", kExitParams, 4, "None",
     "AddinServerManager.__exit__(self, exc_type, exc_val, exc_tb) -> None\n\n"
     "Context manager exit - stops the server.",
     nullptr, &exit_body, false},
    {"_build_command", kSelfOnly, 1, "list",
     "AddinServerManager._build_command(self) -> list\n\nBuild the command to start the server.", nullptr,
     &build_command_body, false},
    {"_wait_for_ready", kSelfOnly, 1, "bool",
     "AddinServerManager._wait_for_ready(self) -> bool\n\n"
     "Wait for the server to be ready (port accepting connections).",
     nullptr, &wait_for_ready_body, false},
    {"_is_port_in_use", kSelfOnly, 1, "bool",
     "AddinServerManager._is_port_in_use(self) -> bool\n\nCheck if the port is accepting connections.", nullptr,
     &is_port_in_use_body, false},
    {"_terminate_process", kSelfOnly, 1, "None", "AddinServerManager._terminate_process(self) -> None", nullptr,
     &terminate_process_body, false},
    {"_get_platform_popen_args", kSelfOnly, 1, "dict",
     "AddinServerManager._get_platform_popen_args(self) -> dict\n\nGet platform-specific Popen arguments.",
     nullptr, &get_platform_popen_args_body, false},
};

}  // namespace

std::span<const MemberSpec> manager_members() { return kMembers; }

Ref build_manager_class() {
    if (ready_member_function_type() < 0 || make_constructor_defaults() < 0) return {};
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    Ref class_doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!module_name || !class_doc || !namespace_) return {};
    PyObject* ns = namespace_.get();
    if (PyDict_SetItemString(ns, "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", name.AddinServerManager) < 0 ||
        PyDict_SetItemString(ns, "__doc__", class_doc.get()) < 0)
        return {};

    for (const MemberSpec& spec : kMembers) {
        Ref member = make_member_function(spec, name.AddinServerManager, module_name.get(), module_namespace());
        if (member && spec.is_property) member = call(records.property, member.get());
        if (!member || PyDict_SetItemString(ns, spec.name, member.get()) < 0) return {};
    }
    Ref no_bases = Ref::steal(PyTuple_New(0));
    if (!no_bases) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                   name.AddinServerManager, no_bases.get(), ns, nullptr));
}

}  // namespace velmora
