// The server's command line: _build_command.
//
// Roughly the Python:
//
//     cert_paths = self._cert_manager.ensure_certificates()
//     print("=" * 50)
//     print(f"PATHS:\tCA Certificate: {cert_paths.ca_cert}")
//     print(f"PATHS:\tServer Certificate: {cert_paths.server_cert}")
//     print(f"PATHS:\tServer Key: {cert_paths.server_key}")
//     print("=" * 50)
//     if self.use_compiled:
//         cmd = [str(self._config.get_binary_path())]
//     else:
//         if self._config.addin_path is None:
//             raise <the add-in directory error>
//         cmd = ["node", str(self._config.addin_path / "server.js")]
//     cmd += ["--cert", str(cert_paths.server_cert), "--key", str(cert_paths.server_key),
//             "--port", str(self.port), "--server-port", str(self.server_port),
//             "--logging-level", str(logging.getLevelName(logger.getEffectiveLevel()))]
//     if self.watchdog_port: cmd += ["--watchdog-port", str(self.watchdog_port)]
//     if self.auth_token:    cmd += ["--auth-token", self.auth_token]
//     if self.docs_port:     cmd += ["--docs-port", str(self.docs_port)]
//     return cmd
#include <initializer_list>

#include "calls.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace velmora {
namespace {

int print_line(PyObject* line) { return line && call(state.print, line) ? 0 : -1; }

// One report line: the label, then the value as an f-string would show it.
int print_path(PyObject* label, PyObject* cert_paths, PyObject* attr) {
    Ref value = get_attr(cert_paths, attr);
    Ref shown = value ? formatted(value.get()) : Ref{};
    return shown ? print_line(concat(label, shown.get()).get()) : -1;
}

Ref str_of_attr(PyObject* obj, PyObject* attr) {
    Ref value = get_attr(obj, attr);
    return value ? str_of(value.get()) : Ref{};
}

int append_all(PyObject* list, std::initializer_list<PyObject*> items) {
    for (PyObject* item : items)
        if (PyList_Append(list, item) < 0) return -1;
    return 0;
}

// Appends `option` and the text of the field when the field is true.
int append_if_set(PyObject* self, PyObject* command, PyObject* field, PyObject* option, bool as_text) {
    Ref value = get_attr(self, field);
    if (!value) return -1;
    const int set = PyObject_IsTrue(value.get());
    if (set <= 0) return set;
    Ref text = as_text ? str_of(value.get()) : value;
    return text ? append_all(command, {option, text.get()}) : -1;
}

// Raises whatever the manager offers as `addin_path_error`; without it, a
// ServerStartError that says what is missing.
PyObject* raise_missing_addin_path(PyObject* self) {
    PyObject* offered = nullptr;
    if (PyObject_GetOptionalAttr(self, interned.addin_path_error, &offered) < 0) return nullptr;
    Ref error = Ref::steal(offered);
    if (!error) {
        Ref message = Ref::steal(PyUnicode_FromString(
            "Add-in directory not found: cannot locate server.js to run in development mode"));
        return raise_global(interned.ServerStartError, message.get());
    }
    return raise_object(error.get());
}

}  // namespace

VELMORA_MEMBER_BODY(build_command) {
    PyObject* self = args[0];

    Ref cert_manager = get_attr(self, interned.cert_manager);
    Ref cert_paths = cert_manager ? call_method(cert_manager.get(), interned.ensure_certificates) : Ref{};
    if (!cert_paths) return nullptr;
    if (print_line(interned.rule) < 0 || print_path(interned.ca_cert_label, cert_paths.get(), interned.ca_cert) < 0 ||
        print_path(interned.server_cert_label, cert_paths.get(), interned.server_cert) < 0 ||
        print_path(interned.server_key_label, cert_paths.get(), interned.server_key) < 0 || print_line(interned.rule) < 0)
        return nullptr;

    Ref command = Ref::steal(PyList_New(0));
    if (!command) return nullptr;
    const int compiled = is_true(get_attr(self, interned.use_compiled));
    if (compiled < 0) return nullptr;
    if (compiled) {
        Ref config = get_attr(self, interned.config);
        Ref binary = config ? call_method(config.get(), interned.get_binary_path) : Ref{};
        Ref binary_text = binary ? str_of(binary.get()) : Ref{};
        if (!binary_text || PyList_Append(command.get(), binary_text.get()) < 0) return nullptr;
    } else {
        Ref config = get_attr(self, interned.config);
        Ref addin_path = config ? get_attr(config.get(), interned.addin_path) : Ref{};
        if (!addin_path) return nullptr;
        if (addin_path.get() == Py_None) return raise_missing_addin_path(self);
        addin_path = get_attr(config.get(), interned.addin_path);
        Ref script = addin_path ? Ref::steal(PyNumber_TrueDivide(addin_path.get(), interned.server_js)) : Ref{};
        Ref script_text = script ? str_of(script.get()) : Ref{};
        if (!script_text || append_all(command.get(), {interned.node, script_text.get()}) < 0) return nullptr;
    }

    Ref cert_text = str_of_attr(cert_paths.get(), interned.server_cert);
    Ref key_text = cert_text ? str_of_attr(cert_paths.get(), interned.server_key) : Ref{};
    Ref port_text = key_text ? str_of_attr(self, interned.port) : Ref{};
    Ref server_port_text = port_text ? str_of_attr(self, interned.server_port) : Ref{};
    Ref get_level_name = server_port_text ? global_attr(interned.logging, interned.getLevelName) : Ref{};
    Ref logger = get_level_name ? resolve_global(interned.logger) : Ref{};
    Ref level = logger ? call_method(logger.get(), interned.getEffectiveLevel) : Ref{};
    Ref level_name = level ? call(get_level_name.get(), level.get()) : Ref{};
    Ref level_text = level_name ? str_of(level_name.get()) : Ref{};
    if (!level_text ||
        append_all(command.get(), {interned.opt_cert, cert_text.get(), interned.opt_key, key_text.get(), interned.opt_port,
                                   port_text.get(), interned.opt_server_port, server_port_text.get(),
                                   interned.opt_logging_level, level_text.get()}) < 0)
        return nullptr;

    if (append_if_set(self, command.get(), interned.watchdog_port, interned.opt_watchdog_port, true) < 0 ||
        append_if_set(self, command.get(), interned.auth_token, interned.opt_auth_token, false) < 0 ||
        append_if_set(self, command.get(), interned.docs_port, interned.opt_docs_port, true) < 0)
        return nullptr;
    return command.release();
}

}  // namespace velmora
