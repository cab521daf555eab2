// Interned strings for every name the module looks up: module-level names,
// attribute names, keyword names and the few fixed texts compared or passed on.
// They are part of the module's state (module_state.hpp), made while it loads
// and dropped when the interpreter that loaded it is finalised.
#pragma once

#include <Python.h>

#define VELMORA_INTERNED_NAMES(X)                                                 \
    /* module-level names, bound by the execution step */                        \
    X(subprocess, "subprocess") X(sys, "sys") X(os, "os") X(atexit, "atexit")     \
    X(time, "time") X(signal, "signal") X(socket, "socket") X(Path, "Path")       \
    X(Optional, "Optional") X(Config, "Config")                                   \
    X(CertificateManager, "CertificateManager")                                   \
    X(ServerStartError, "ServerStartError") X(ServerStopError, "ServerStopError") \
    X(ServerNotRunningError, "ServerNotRunningError") X(logging, "logging")       \
    X(setup_logging_subprocess, "setup_logging_subprocess")                       \
    X(get_logger, "get_logger") X(logger, "logger") X(dunder_name, "__name__")    \
    X(AddinServerManager, "AddinServerManager")                                   \
    X(property, "property") X(print, "print")                                     \
    /* manager fields */                                                          \
    X(use_compiled, "use_compiled") X(port, "port") X(server_port, "server_port") \
    X(watchdog_port, "watchdog_port") X(docs_port, "docs_port")                   \
    X(auth_token, "auth_token") X(addin_path, "addin_path") X(timeout, "timeout") \
    X(capture_output, "capture_output") X(process, "_process")                    \
    X(config, "_config") X(cert_manager, "_cert_manager")                         \
    X(addin_path_error, "addin_path_error")                                       \
    /* manager operations reached by attribute lookup */                          \
    X(is_running, "is_running") X(start, "start") X(stop, "stop")                 \
    X(build_command, "_build_command") X(wait_for_ready, "_wait_for_ready")       \
    X(is_port_in_use, "_is_port_in_use")                                          \
    X(terminate_process, "_terminate_process")                                    \
    X(get_platform_popen_args, "_get_platform_popen_args")                        \
    /* collaborators and services */                                              \
    X(ensure_certificates, "ensure_certificates") X(ca_cert, "ca_cert")           \
    X(server_cert, "server_cert") X(server_key, "server_key")                     \
    X(get_binary_path, "get_binary_path") X(getEffectiveLevel, "getEffectiveLevel") \
    X(getLevelName, "getLevelName") X(Popen, "Popen") X(PIPE, "PIPE")             \
    X(cwd, "cwd") X(stdout_, "stdout") X(stderr_, "stderr") X(register_, "register") \
    X(platform, "platform") X(win32, "win32")                                     \
    X(CREATE_NEW_PROCESS_GROUP, "CREATE_NEW_PROCESS_GROUP")                       \
    X(creationflags, "creationflags")                                             \
    X(pid, "pid") X(poll, "poll") X(returncode, "returncode") X(wait, "wait")     \
    X(TimeoutExpired, "TimeoutExpired") X(run, "run") X(getpgid, "getpgid")       \
    X(killpg, "killpg") X(SIGTERM, "SIGTERM") X(SIGKILL, "SIGKILL")               \
    X(AF_INET, "AF_INET") X(SOCK_STREAM, "SOCK_STREAM") X(settimeout, "settimeout") \
    X(connect, "connect") X(localhost, "localhost") X(sleep, "sleep")             \
    X(enter, "__enter__") X(exit, "__exit__") X(aenter, "__aenter__")             \
    X(aexit, "__aexit__") X(keys, "keys") X(add_note, "add_note")                 \
    X(start_new_session, "start_new_session") X(getpgrp, "getpgrp") X(kill, "kill") \
    X(monotonic, "monotonic")                                                     \
    /* texts of the launch command and the path report */                         \
    X(node, "node") X(server_js, "server.js") X(url_prefix, "https://localhost:") \
    X(opt_cert, "--cert") X(opt_key, "--key") X(opt_port, "--port")               \
    X(opt_server_port, "--server-port") X(opt_logging_level, "--logging-level")   \
    X(opt_watchdog_port, "--watchdog-port") X(opt_auth_token, "--auth-token")     \
    X(opt_docs_port, "--docs-port")                                               \
    X(rule, "==================================================")                  \
    X(ca_cert_label, "PATHS:\tCA Certificate: ")                                  \
    X(server_cert_label, "PATHS:\tServer Certificate: ")                          \
    X(server_key_label, "PATHS:\tServer Key: ")                                   \
    /* import specification attributes and the module attributes they fill */    \
    X(name, "name") X(loader, "loader") X(origin, "origin") X(parent, "parent")   \
    X(submodule_search_locations, "submodule_search_locations")                   \
    X(dunder_loader, "__loader__") X(dunder_file, "__file__")                     \
    X(dunder_package, "__package__") X(dunder_path, "__path__")                   \
    X(replace, "replace")

namespace velmora {

struct InternedNames {
#define VELMORA_DECLARE_NAME(id, text) PyObject* id;
    VELMORA_INTERNED_NAMES(VELMORA_DECLARE_NAME)
#undef VELMORA_DECLARE_NAME
};

}  // namespace velmora
