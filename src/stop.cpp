// Stopping the server: stop and _terminate_process (also the exit hook).
//
// Roughly the Python:
//
//     def stop(self):
//         if self._process is None:
//             raise ServerNotRunningError("No server process to stop")
//         try:
//             self._terminate_process()
//         finally:
//             self._process = None
//
//     def _terminate_process(self):
//         if not self._process:
//             return
//         if sys.platform == "win32":
//             if <exit already collected>: return
//             subprocess.run(["taskkill", "/F", "/T", "/PID", str(self._process.pid)], capture_output=True)
//         else:
//             if <exit already collected>: raise ProcessLookupError(errno.ESRCH, "No such process")
//             os.killpg(os.getpgid(self._process.pid), signal.SIGTERM)
//             try:
//                 self._process.wait(timeout=5)
//             except subprocess.TimeoutExpired:
//                 if <exit already collected>: raise ProcessLookupError(...)
//                 os.killpg(os.getpgid(self._process.pid), signal.SIGKILL)
//
// Once the handle has collected the child's exit its pid is free for reuse, so
// no signal or taskkill is ever aimed at it.
#include <cerrno>

#include "globals.hpp"
#include "members.hpp"
#include "names.hpp"
#include "process_status.hpp"
#include "ref.hpp"

namespace velmora {
namespace {

PyObject* stop(PyObject* const* args) {
    PyObject* self = args[0];
    Ref process = get_attr(self, name.process);
    if (!process) return nullptr;
    if (process.get() == Py_None) {
        Ref message = Ref::steal(PyUnicode_FromString("No server process to stop"));
        return raise_global(name.ServerNotRunningError, message.get());
    }
    process.reset();

    Ref terminated = call_method(self, name.terminate_process);
    // The handle is dropped whatever the termination did; an error in doing
    // so takes the place of the termination's own, as a `finally` would.
    PyObject* failure = terminated ? nullptr : PyErr_GetRaisedException();
    if (set_attr(self, name.process, Ref::borrow(Py_None)) < 0) {
        if (failure) {
            PyObject* cleanup_error = PyErr_GetRaisedException();
            PyException_SetContext(cleanup_error, failure);
            PyErr_SetRaisedException(cleanup_error);
        }
        return nullptr;
    }
    if (failure) {
        PyErr_SetRaisedException(failure);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// -1 with ProcessLookupError when the handle has already collected the exit, 0 when the child is still held.
int ensure_still_held(PyObject* process) {
    Ref exit_code = collected_exit_code(process);
    if (PyErr_Occurred()) return -1;
    if (!exit_code) return 0;
    errno = ESRCH;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

// os.killpg(os.getpgid(self._process.pid), <signal>)
int signal_process_group(PyObject* self, PyObject* signal_name) {
    Ref process = get_attr(self, name.process);
    if (!process || ensure_still_held(process.get()) < 0) return -1;
    Ref killpg = global_attr(name.os, name.killpg);
    Ref getpgid = killpg ? global_attr(name.os, name.getpgid) : Ref{};
    Ref process_id = getpgid ? get_attr(process.get(), name.pid) : Ref{};
    Ref group = process_id ? call(getpgid.get(), process_id.get()) : Ref{};
    Ref signal_number = group ? global_attr(name.signal, signal_name) : Ref{};
    if (!signal_number) return -1;
    Ref sent = Ref::steal(PyObject_CallFunctionObjArgs(killpg.get(), group.get(), signal_number.get(), nullptr));
    return sent ? 0 : -1;
}

PyObject* terminate_windows(PyObject* process) {
    Ref exit_code = collected_exit_code(process);
    if (PyErr_Occurred()) return nullptr;
    if (exit_code) Py_RETURN_NONE;
    Ref run = global_attr(name.subprocess, name.run);
    Ref process_id = run ? get_attr(process, name.pid) : Ref{};
    Ref pid_text = process_id ? text_of(process_id.get()) : Ref{};
    Ref command = pid_text ? Ref::steal(Py_BuildValue("[ssssO]", "taskkill", "/F", "/T", "/PID", pid_text.get()))
                           : Ref{};
    Ref positional = command ? Ref::steal(PyTuple_Pack(1, command.get())) : Ref{};
    Ref options = positional ? Ref::steal(Py_BuildValue("{sO}", "capture_output", Py_True)) : Ref{};
    if (!options || !Ref::steal(PyObject_Call(run.get(), positional.get(), options.get()))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* terminate_posix(PyObject* self) {
    if (signal_process_group(self, name.SIGTERM) < 0) return nullptr;

    Ref process = get_attr(self, name.process);
    Ref wait = process ? get_attr(process.get(), name.wait) : Ref{};
    Ref no_args = wait ? Ref::steal(PyTuple_New(0)) : Ref{};
    Ref grace = no_args ? Ref::steal(Py_BuildValue("{si}", "timeout", 5)) : Ref{};
    if (!grace) return nullptr;
    if (Ref::steal(PyObject_Call(wait.get(), no_args.get(), grace.get()))) Py_RETURN_NONE;

    const int timed_out = pending_exception_matches(name.subprocess, name.TimeoutExpired);
    if (timed_out <= 0) return nullptr;
    PyErr_Clear();
    if (signal_process_group(self, name.SIGKILL) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* terminate_process(PyObject* const* args) {
    PyObject* self = args[0];
    Ref process = get_attr(self, name.process);
    const int held = truth(process);
    if (held < 0) return nullptr;
    if (!held) Py_RETURN_NONE;

    const int windows = platform_is_windows();
    if (windows < 0) return nullptr;
    return windows ? terminate_windows(process.get()) : terminate_posix(self);
}

}  // namespace

const MemberBody stop_body = VELMORA_MEMBER_BODY(stop);
const MemberBody terminate_process_body = VELMORA_MEMBER_BODY(terminate_process);

}  // namespace velmora
