// The start sequence: start and _get_platform_popen_args.
//
// Roughly the Python:
//
//     def start(self):
//         if self.is_running:
//             raise ServerStartError("Server is already running")
//         if self._process is not None and self._process.poll() is None:
//             self.stop()                          # alive, but its port no longer accepts
//         elif exit_collected(self._process) and sys.platform != "win32":
//             end_former_group_unless_pid_held(self._process)   # what a crashed server left; see stop.hpp
//         cmd = self._build_command()
//         self._process = subprocess.Popen(
//             cmd, cwd=self._config.addin_path,
//             stdout=subprocess.PIPE if self.capture_output else None,
//             stderr=subprocess.PIPE if self.capture_output else None,
//             **self._get_platform_popen_args())
//         atexit.register(self._terminate_process)
//         try:
//             ready = self._wait_for_ready()
//         except BaseException:                    # Ctrl-C or any error: end the child first
//             if self._process is not None:
//                 if isinstance(self._process.returncode, int):
//                     self._process = None
//                 else:
//                     self.stop()
//             raise
//         if not ready:
//             if isinstance(self._process.returncode, int):   # died before listening
//                 code = self._process.returncode
//                 try:
//                     if sys.platform != "win32":
//                         end_former_group(self._process.pid)  # it led its own group; see process_group.hpp
//                 finally:
//                     self._process = None
//                 raise ServerStartError(f"Server exited with code {code} before accepting connections")
//             self.stop()
//             raise ServerStartError(f"Server failed to start within {self.timeout} seconds")
//
//     def _get_platform_popen_args(self):
//         if sys.platform == "win32":
//             return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
//         return {"start_new_session": True}
//
// A child left behind by a start that did not succeed, or dropped for a new one
// while still alive, would be held by nobody and outlive the interpreter, as
// would the helpers of a crashed one once its handle is replaced, hence the
// ending before a launch and the clean-up on every way out of the wait (a
// Ctrl-C while the former group is ended included). start_new_session makes
// the child call setsid without running Python code between fork and exec,
// which is safe in a threaded program and keeps the fast launch path that
// preexec_fn would forbid.
#include "calls.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "process_group.hpp"
#include "process_status.hpp"
#include "ref.hpp"
#include "stop.hpp"

namespace velmora {
namespace {

PyObject* raise_start_error(Ref message) { return raise_global(interned.ServerStartError, message.get()); }

// PIPE when capture_output is true, else None; read afresh for each stream.
Ref output_stream(PyObject* self) {
    const int captured = is_true(get_attr(self, interned.capture_output));
    if (captured < 0) return {};
    return captured ? global_attr(interned.subprocess, interned.PIPE) : Ref::borrow(Py_None);
}

// kwargs.update(options) as a call's **options does it: a mapping of str keys, none repeated.
int merge_keyword_options(PyObject* kwargs, PyObject* options) {
    Ref keys;
    if (PyDict_Check(options)) {
        keys = Ref::steal(PyDict_Keys(options));
    } else {
        PyObject* keys_method = nullptr;
        if (PyObject_GetOptionalAttr(options, interned.keys, &keys_method) < 0) return -1;
        Ref owned = Ref::steal(keys_method);
        if (!keys_method) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(options)->tp_name);
            return -1;
        }
        Ref mapping_keys = Ref::steal(PyObject_CallNoArgs(keys_method));
        if (!mapping_keys) return -1;
        keys = Ref::steal(PySequence_List(mapping_keys.get()));
    }
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return -1;
        }
        const int present = PyDict_Contains(kwargs, key);
        if (present < 0) return -1;
        if (present) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key);
            return -1;
        }
        Ref value = Ref::steal(PyObject_GetItem(options, key));
        if (!value || PyDict_SetItem(kwargs, key, value.get()) < 0) return -1;
    }
    return 0;
}

// What is left of the group an exited child led: its helpers, which would
// otherwise outlive it unnoticed (nothing to do on Windows, where taskkill /T
// follows the process tree).
int end_what_it_left(PyObject* process) {
    const int windows = platform_is_windows();
    if (windows) return windows < 0 ? -1 : 0;
    Ref group = get_attr(process, interned.pid);
    return group ? end_former_group(group.get()) : -1;
}

}  // namespace

VELMORA_MEMBER_BODY(start) {
    PyObject* self = args[0];

    const int is_running = is_true(get_attr(self, interned.is_running));
    if (is_running < 0) return nullptr;
    if (is_running) return raise_start_error(Ref::steal(PyUnicode_FromString("Server is already running")));
    if (end_previous_child(self) < 0) return nullptr;

    Ref command = call_method(self, interned.build_command);
    if (!command) return nullptr;
    Ref popen = global_attr(interned.subprocess, interned.Popen);
    Ref kwargs = popen ? Ref::steal(PyDict_New()) : Ref{};
    if (!kwargs) return nullptr;
    Ref config = get_attr(self, interned.config);
    Ref cwd = config ? get_attr(config.get(), interned.addin_path) : Ref{};
    if (!cwd || PyDict_SetItem(kwargs.get(), interned.cwd, cwd.get()) < 0) return nullptr;
    Ref stdout_stream = output_stream(self);
    if (!stdout_stream || PyDict_SetItem(kwargs.get(), interned.stdout_, stdout_stream.get()) < 0) return nullptr;
    Ref stderr_stream = output_stream(self);
    if (!stderr_stream || PyDict_SetItem(kwargs.get(), interned.stderr_, stderr_stream.get()) < 0) return nullptr;
    Ref platform_options = call_method(self, interned.get_platform_popen_args);
    if (!platform_options || merge_keyword_options(kwargs.get(), platform_options.get()) < 0) return nullptr;

    Ref positional = Ref::steal(PyTuple_Pack(1, command.get()));
    Ref process = positional ? Ref::steal(PyObject_Call(popen.get(), positional.get(), kwargs.get())) : Ref{};
    if (!process || set_attr(self, interned.process, std::move(process)) < 0) return nullptr;

    Ref register_hook = global_attr(interned.atexit, interned.register_);
    Ref hook = register_hook ? get_attr(self, interned.terminate_process) : Ref{};
    if (!hook || !call(register_hook.get(), hook.get())) return nullptr;

    Ref ready = call_method(self, interned.wait_for_ready);
    if (!ready) return end_child_and_reraise(self);
    const int is_ready = is_true(ready);
    if (is_ready < 0) return nullptr;
    if (is_ready) Py_RETURN_NONE;

    // A child whose exit is already collected is not signalled itself (its pid
    // is free for reuse): what is left of its group is ended, then how it ended
    // is reported.
    Ref held = get_attr(self, interned.process);
    if (!held) return nullptr;
    Ref exit_code = collected_exit_code(held.get());
    if (!exit_code && PyErr_Occurred()) return nullptr;
    if (exit_code) {
        if (drop_handle_finally(self, end_what_it_left(held.get()) == 0) < 0) return nullptr;
        return raise_start_error(Ref::steal(
            PyUnicode_FromFormat("Server exited with code %S before accepting connections", exit_code.get())));
    }

    if (!call_method(self, interned.stop)) return nullptr;
    Ref timeout = get_attr(self, interned.timeout);
    Ref timeout_text = timeout ? formatted(timeout.get()) : Ref{};
    if (!timeout_text) return nullptr;
    return raise_start_error(
        Ref::steal(PyUnicode_FromFormat("Server failed to start within %U seconds", timeout_text.get())));
}

VELMORA_MEMBER_BODY(get_platform_popen_args) {
    const int windows = platform_is_windows();
    if (windows < 0) return nullptr;
    Ref option = windows ? global_attr(interned.subprocess, interned.CREATE_NEW_PROCESS_GROUP) : Ref::borrow(Py_True);
    Ref options = option ? Ref::steal(PyDict_New()) : Ref{};
    if (!options ||
        PyDict_SetItem(options.get(), windows ? interned.creationflags : interned.start_new_session, option.get()) < 0)
        return nullptr;
    return options.release();
}

}  // namespace velmora
