// Construction and state of AddinServerManager: __init__, url, pid, is_running.
//
// Roughly the Python:
//
//     def __init__(self, use_compiled=False, port=3000, server_port=8000, watchdog_port=0,
//                  docs_port=0, auth_token="", addin_path=None, timeout=30.0, capture_output=False):
//         ...coerce and validate every argument first, then...
//         self.use_compiled = bool(use_compiled); self.port = port; ...; self._process = None
//         self._config = Config(addin_path)
//         self._cert_manager = CertificateManager()
//
//     url        -> f"https://localhost:{self.port}"
//     pid        -> self._process.pid if self._process else None
//     is_running -> self._process is not None and self._process.poll() is None
//                   and self._is_port_in_use()
#include "calls.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace velmora {
namespace {

enum InitArg { kSelf, kUseCompiled, kPort, kServerPort, kWatchdogPort, kDocsPort, kAuthToken, kAddinPath,
               kTimeout, kCaptureOutput };

PyObject* incorrect_type(const char* argument, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                 expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

// The error for an argument that must be exactly a str; a str subclass gets a
// note saying why it was not taken as one.
PyObject* not_exact_str(const char* argument, PyObject* value) {
    incorrect_type(argument, "str", value);
    if (PyUnicode_Check(value)) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref note = Ref::steal(PyUnicode_FromString(
            "Subclasses of built-in types are rejected: pass an exact str instance."));
        Ref added = note ? call_method(error.get(), interned.add_note, note.get()) : Ref{};
        if (!added) PyErr_Clear();
        PyErr_SetRaisedException(error.release());
    }
    return nullptr;
}

Ref as_bool(PyObject* value) {
    const int truth = PyObject_IsTrue(value);
    return truth < 0 ? Ref{} : Ref::borrow(truth ? Py_True : Py_False);
}

// An exact int stays as it is; any other number becomes its int().
Ref port_value(PyObject* value, const char* argument) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    if (PyNumber_Check(value)) return Ref::steal(PyNumber_Long(value));
    incorrect_type(argument, "int", value);
    return {};
}

}  // namespace

VELMORA_MEMBER_BODY(init) {
    PyObject* self = args[kSelf];

    // Every argument is checked before the first one is stored.
    Ref use_compiled = as_bool(args[kUseCompiled]);
    if (!use_compiled) return nullptr;
    Ref port = port_value(args[kPort], "port");
    if (!port) return nullptr;
    Ref server_port = port_value(args[kServerPort], "server_port");
    if (!server_port) return nullptr;
    Ref watchdog_port = port_value(args[kWatchdogPort], "watchdog_port");
    if (!watchdog_port) return nullptr;
    Ref docs_port = port_value(args[kDocsPort], "docs_port");
    if (!docs_port) return nullptr;
    Ref timeout = PyFloat_CheckExact(args[kTimeout]) ? Ref::borrow(args[kTimeout]) : Ref{};
    if (!timeout) {
        const double seconds = PyFloat_AsDouble(args[kTimeout]);
        if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
        timeout = Ref::steal(PyFloat_FromDouble(seconds));
        if (!timeout) return nullptr;
    }
    Ref capture_output = as_bool(args[kCaptureOutput]);
    if (!capture_output) return nullptr;
    if (!PyUnicode_CheckExact(args[kAuthToken])) return not_exact_str("auth_token", args[kAuthToken]);
    PyObject* addin_path = args[kAddinPath];
    if (addin_path != Py_None && !PyUnicode_CheckExact(addin_path))
        return not_exact_str("addin_path", addin_path);

    if (set_attr(self, interned.use_compiled, std::move(use_compiled)) < 0 ||
        set_attr(self, interned.port, std::move(port)) < 0 ||
        set_attr(self, interned.server_port, std::move(server_port)) < 0 ||
        set_attr(self, interned.watchdog_port, std::move(watchdog_port)) < 0 ||
        set_attr(self, interned.docs_port, std::move(docs_port)) < 0 ||
        set_attr(self, interned.auth_token, Ref::borrow(args[kAuthToken])) < 0 ||
        set_attr(self, interned.timeout, std::move(timeout)) < 0 ||
        set_attr(self, interned.capture_output, std::move(capture_output)) < 0 ||
        set_attr(self, interned.process, Ref::borrow(Py_None)) < 0)
        return nullptr;

    Ref config_class = resolve_global(interned.Config);
    if (!config_class || set_attr(self, interned.config, call(config_class.get(), addin_path)) < 0) return nullptr;
    Ref cert_manager_class = resolve_global(interned.CertificateManager);
    if (!cert_manager_class ||
        set_attr(self, interned.cert_manager, Ref::steal(PyObject_CallNoArgs(cert_manager_class.get()))) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

VELMORA_MEMBER_BODY(url) {
    Ref port = get_attr(args[0], interned.port);
    Ref port_text = port ? formatted(port.get()) : Ref{};
    if (!port_text) return nullptr;
#ifdef VELMORA_DELIBERATE_LEAK
    Py_INCREF(port_text.get());  // the leak checks must catch this
#endif
    return PyUnicode_Concat(interned.url_prefix, port_text.get());
}

VELMORA_MEMBER_BODY(pid) {
    Ref process = get_attr(args[0], interned.process);
    if (!process) return nullptr;
    const int held = PyObject_IsTrue(process.get());
    if (held < 0) return nullptr;
    if (!held) Py_RETURN_NONE;
    Ref process_id = get_attr(process.get(), interned.pid);
    if (!process_id) return nullptr;
    if (process_id.get() == Py_None || PyLong_CheckExact(process_id.get())) return process_id.release();
    if (PyNumber_Check(process_id.get())) return PyNumber_Long(process_id.get());
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(process_id.get())->tp_name);
    return nullptr;
}

VELMORA_MEMBER_BODY(is_running) {
    PyObject* self = args[0];
    Ref process = get_attr(self, interned.process);
    if (!process) return nullptr;
    if (process.get() == Py_None) Py_RETURN_FALSE;
    Ref status = call_method(process.get(), interned.poll);
    if (!status) return nullptr;
    if (status.get() != Py_None) Py_RETURN_FALSE;
    return call_method(self, interned.is_port_in_use).release();
}

}  // namespace velmora
