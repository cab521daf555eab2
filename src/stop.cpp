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
//             return
//         pid, group, alone = self._signal_server(signal.SIGTERM)
//         if not alone:
//             deadline = time.monotonic() + 5
//         try:
//             self._process.wait(timeout=5)
//         except subprocess.TimeoutExpired:
//             self._signal_server(signal.SIGKILL)
//             try:
//                 self._process.wait(timeout=5)
//             except subprocess.TimeoutExpired:
//                 raise ServerStopError(f"Server process {self._process.pid} did not exit after SIGKILL")
//             return
//         except BaseException:                    # Ctrl-C during the grace period
//             try:
//                 if not alone:
//                     os.killpg(group, signal.SIGKILL)
//                 elif <exit not collected>:
//                     os.kill(pid, signal.SIGKILL)
//             except ProcessLookupError:
//                 pass
//             raise
//         if not alone:
//             <end_group_survivors(group, deadline): see process_group.hpp>
//
//     def _signal_server(self, sig):                # not a member; spelled out here
//         if <exit already collected>:
//             pid = self._process.pid
//             try:
//                 os.kill(pid, 0)                   # does any process hold the pid?
//             except ProcessLookupError:
//                 end_former_group(pid)             # see process_group.hpp
//             except PermissionError:
//                 pass                              # a stranger's process: send nothing
//             raise ProcessLookupError(errno.ESRCH, "No such process")
//         pid = self._process.pid
//         group = os.getpgid(pid)
//         alone = group == os.getpgrp()
//         if alone:
//             os.kill(pid, sig)
//         else:
//             os.killpg(group, sig)
//         return pid, group, alone
//
// Once the handle has collected the child's exit its pid is free for reuse, so
// no signal or taskkill is ever aimed at it. Its former group may still hold
// helpers the server started, and is ended while no process holds the pid: a
// group id stays reserved while the group has members, and a free pid means no
// stranger leads a group of that id (a pid in use again is a stranger's, and
// then nothing is sent; a stranger's group whose leader took the freed pid and
// has gone again is the one case this cannot tell apart). The caller still
// sees the no-such-process error. A server that shares the interpreter's own
// process group (a subclass may launch it so) is signalled alone: signalling
// the group would hit the interpreter. Waiting after the SIGKILL makes a
// returned stop mean the server is reaped and its port free.
#include <cerrno>

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

// What is left of the former group of a child whose exit the handle has
// collected, ended only while no process holds its pid (POSIX):
//
//     try:
//         os.kill(pid, 0)                      # does any process hold the pid?
//     except ProcessLookupError:
//         end_former_group(pid)
//     except PermissionError:
//         pass                                 # a stranger's process: send nothing
//
// 0, or -1 with an exception set.
int end_former_group_unless_pid_held(PyObject* process) {
    Ref pid = get_attr(process, interned.pid);
    if (!pid) return -1;
    if (send_signal(interned.kill, pid.get(), nullptr) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_ProcessLookupError)) {
        HandledException pid_free;
        return end_former_group(pid.get());
    }
    if (!PyErr_ExceptionMatches(PyExc_PermissionError)) return -1;
    PyErr_Clear();
    return 0;
}

// 0 when the child is still held. When the handle has already collected the
// exit: what is left of the former group is ended as above, then -1 with
// ProcessLookupError (or the error of that ending).
int ensure_still_held(PyObject* process) {
    Ref exit_code = collected_exit_code(process);
    if (PyErr_Occurred()) return -1;
    if (!exit_code) return 0;
    if (end_former_group_unless_pid_held(process) < 0) return -1;
    errno = ESRCH;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

// Where the termination's signals go: the server's group, or the server alone
// when that group is the interpreter's own.
struct SignalTarget {
    Ref pid;
    Ref group;
    bool alone = false;
};

int send_to(const SignalTarget& target, PyObject* signal_name) {
    return target.alone ? send_signal(interned.kill, target.pid.get(), signal_name)
                        : send_signal(interned.killpg, target.group.get(), signal_name);
}

// The same, where nobody left to signal is no error.
int send_unless_gone(const SignalTarget& target, PyObject* signal_name) {
    return target.alone ? signal_unless_gone(interned.kill, target.pid.get(), signal_name)
                        : signal_unless_gone(interned.killpg, target.group.get(), signal_name);
}

// _signal_server of the header: finds the target afresh and signals it.
int signal_server(PyObject* self, PyObject* signal_name, SignalTarget& target) {
    Ref process = get_attr(self, interned.process);
    if (!process || ensure_still_held(process.get()) < 0) return -1;
    Ref getpgid = global_attr(interned.os, interned.getpgid);
    target.pid = getpgid ? get_attr(process.get(), interned.pid) : Ref{};
    target.group = target.pid ? call(getpgid.get(), target.pid.get()) : Ref{};
    Ref getpgrp = target.group ? global_attr(interned.os, interned.getpgrp) : Ref{};
    Ref own_group = getpgrp ? Ref::steal(PyObject_CallNoArgs(getpgrp.get())) : Ref{};
    const int alone = own_group ? PyObject_RichCompareBool(target.group.get(), own_group.get(), Py_EQ) : -1;
    if (alone < 0) return -1;
    target.alone = alone != 0;
    return send_to(target, signal_name);
}

// self._process.wait(timeout=kGraceSeconds): true when it returned, else false
// with its exception pending.
bool waited(PyObject* process) {
    Ref wait = get_attr(process, interned.wait);
    Ref no_args = wait ? Ref::steal(PyTuple_New(0)) : Ref{};
    Ref grace = no_args ? Ref::steal(Py_BuildValue("{sl}", "timeout", kGraceSeconds)) : Ref{};
    return grace && Ref::steal(PyObject_Call(wait.get(), no_args.get(), grace.get()));
}

PyObject* terminate_windows(PyObject* process) {
    Ref exit_code = collected_exit_code(process);
    if (PyErr_Occurred()) return nullptr;
    if (exit_code) Py_RETURN_NONE;
    Ref run = global_attr(interned.subprocess, interned.run);
    Ref process_id = run ? get_attr(process, interned.pid) : Ref{};
    Ref pid_text = process_id ? str_of(process_id.get()) : Ref{};
    Ref command = pid_text ? Ref::steal(Py_BuildValue("[ssssO]", "taskkill", "/F", "/T", "/PID", pid_text.get()))
                           : Ref{};
    Ref positional = command ? Ref::steal(PyTuple_Pack(1, command.get())) : Ref{};
    Ref options = positional ? Ref::steal(Py_BuildValue("{sO}", "capture_output", Py_True)) : Ref{};
    if (!options || !Ref::steal(PyObject_Call(run.get(), positional.get(), options.get()))) return nullptr;
    Py_RETURN_NONE;
}

// The grace period ran out (TimeoutExpired is being handled).
PyObject* kill_after_grace(PyObject* self) {
    SignalTarget target;
    if (signal_server(self, interned.SIGKILL, target) < 0) return nullptr;
    Ref process = get_attr(self, interned.process);
    if (!process) return nullptr;
    if (waited(process.get())) Py_RETURN_NONE;
    const int timed_out = pending_exception_matches(interned.subprocess, interned.TimeoutExpired);
    if (timed_out <= 0) return nullptr;
    HandledException still_running;
    Ref held = get_attr(self, interned.process);
    Ref pid = held ? get_attr(held.get(), interned.pid) : Ref{};
    Ref pid_text = pid ? formatted(pid.get()) : Ref{};
    Ref message = pid_text ? Ref::steal(PyUnicode_FromFormat("Server process %U did not exit after SIGKILL",
                                                             pid_text.get()))
                           : Ref{};
    return message ? raise_global(interned.ServerStopError, message.get()) : nullptr;
}

// The grace wait was interrupted (the exception is being handled): the server
// must not outlive the caller who gave up waiting for it.
int kill_after_interrupt(PyObject* process, const SignalTarget& target) {
    if (target.alone) {
        Ref exit_code = collected_exit_code(process);
        if (PyErr_Occurred()) return -1;
        if (exit_code) return 0;
    }
    return send_unless_gone(target, interned.SIGKILL) < 0 ? -1 : 0;
}

PyObject* terminate_posix(PyObject* self) {
    SignalTarget target;
    if (signal_server(self, interned.SIGTERM, target) < 0) return nullptr;
    Ref deadline = target.alone ? Ref::borrow(Py_None) : grace_deadline();
    Ref process = deadline ? get_attr(self, interned.process) : Ref{};
    if (!process) return nullptr;

    if (waited(process.get())) {
        if (!target.alone && end_group_survivors(target.group.get(), deadline.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    const int timed_out = pending_exception_matches(interned.subprocess, interned.TimeoutExpired);
    if (timed_out < 0) return nullptr;
    HandledException failure;
    if (timed_out) return kill_after_grace(self);
    if (kill_after_interrupt(process.get(), target) < 0) return nullptr;
    return failure.reraise();
}

}  // namespace

int drop_handle_finally(PyObject* self, bool done) {
    Ref failure = done ? Ref{} : Ref::steal(PyErr_GetRaisedException());
    if (set_attr(self, interned.process, Ref::borrow(Py_None)) < 0) {
        chain_pending_to(std::move(failure));
        return -1;
    }
    if (!failure) return 0;
    PyErr_SetRaisedException(failure.release());
    return -1;
}

int stop_if_alive(PyObject* self) {
    Ref process = get_attr(self, interned.process);
    if (!process) return -1;
    if (process.get() == Py_None) return 0;
    Ref status = call_method(process.get(), interned.poll);
    if (!status) return -1;
    return status.get() == Py_None && !call_method(self, interned.stop) ? -1 : 0;
}

int end_previous_child(PyObject* self) {
    if (stop_if_alive(self) < 0) return -1;
    Ref process = get_attr(self, interned.process);
    if (!process) return -1;
    if (process.get() == Py_None) return 0;
    Ref exit_code = collected_exit_code(process.get());
    if (!exit_code) return PyErr_Occurred() ? -1 : 0;
    const int windows = platform_is_windows();
    if (windows) return windows < 0 ? -1 : 0;
    return end_former_group_unless_pid_held(process.get());
}

PyObject* end_child_and_reraise(PyObject* self) {
    HandledException failure;
    Ref process = get_attr(self, interned.process);
    if (!process) return nullptr;
    if (process.get() == Py_None) return failure.reraise();
    Ref exit_code = collected_exit_code(process.get());
    if (PyErr_Occurred()) return nullptr;
    if (exit_code ? set_attr(self, interned.process, Ref::borrow(Py_None)) < 0 : !call_method(self, interned.stop))
        return nullptr;
    return failure.reraise();
}

VELMORA_MEMBER_BODY(stop) {
    PyObject* self = args[0];
    Ref process = get_attr(self, interned.process);
    if (!process) return nullptr;
    if (process.get() == Py_None) {
        Ref message = Ref::steal(PyUnicode_FromString("No server process to stop"));
        return raise_global(interned.ServerNotRunningError, message.get());
    }
    process.reset();

    const bool terminated = static_cast<bool>(call_method(self, interned.terminate_process));
    if (drop_handle_finally(self, terminated) < 0) return nullptr;
    Py_RETURN_NONE;
}

VELMORA_MEMBER_BODY(terminate_process) {
    PyObject* self = args[0];
    Ref process = get_attr(self, interned.process);
    const int held = is_true(process);
    if (held < 0) return nullptr;
    if (!held) Py_RETURN_NONE;

    const int windows = platform_is_windows();
    if (windows < 0) return nullptr;
    return windows ? terminate_windows(process.get()) : terminate_posix(self);
}

}  // namespace velmora
