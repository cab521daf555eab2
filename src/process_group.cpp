// Signals to the server and to what is left of its process group (see process_group.hpp).
//
// A server may start helpers of its own. They share its process group, and
// they may outlive it or ignore SIGTERM, so whoever ends the server also ends
// them, bounded by the same grace period the server had.
#include "process_group.hpp"

#include "calls.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "module_state.hpp"

namespace velmora {
namespace {

// How often the group is probed for survivors during the grace period.
constexpr double kSurvivorProbeSeconds = 0.05;

}  // namespace

int send_signal(PyObject* sender, PyObject* target, PyObject* signal_name) {
    Ref send = global_attr(interned.os, sender);
    Ref signal_number = !send ? Ref{}
                        : signal_name ? global_attr(interned.signal, signal_name)
                                      : Ref::steal(PyLong_FromLong(0));
    if (!signal_number) return -1;
    return Ref::steal(PyObject_CallFunctionObjArgs(send.get(), target, signal_number.get(), nullptr)) ? 0 : -1;
}

int signal_unless_gone(PyObject* sender, PyObject* target, PyObject* signal_name) {
    if (send_signal(sender, target, signal_name) == 0) return 0;
    if (!PyErr_ExceptionMatches(PyExc_ProcessLookupError)) return -1;
    PyErr_Clear();
    return 1;
}

namespace {

// time.monotonic(), looked up afresh.
Ref monotonic_now() {
    Ref monotonic = global_attr(interned.time, interned.monotonic);
    return monotonic ? Ref::steal(PyObject_CallNoArgs(monotonic.get())) : Ref{};
}

}  // namespace

Ref grace_deadline() {
    Ref now = monotonic_now();
    Ref grace = now ? Ref::steal(PyLong_FromLong(kGraceSeconds)) : Ref{};
    return grace ? Ref::steal(PyNumber_Add(now.get(), grace.get())) : Ref{};
}

namespace {

// Probes the group until it is empty (1) or the deadline has passed (0); -1 with an exception set.
int wait_for_survivors(PyObject* group, PyObject* deadline) {
    for (;;) {
        const int probed = signal_unless_gone(interned.killpg, group, nullptr);
        if (probed != 0) return probed;
        Ref now = monotonic_now();
        const int over = now ? PyObject_RichCompareBool(now.get(), deadline, Py_GE) : -1;
        if (over != 0) return over < 0 ? -1 : 0;
        Ref sleep = global_attr(interned.time, interned.sleep);
        Ref pause = sleep ? Ref::steal(PyFloat_FromDouble(kSurvivorProbeSeconds)) : Ref{};
        if (!pause || !call(sleep.get(), pause.get())) return -1;
    }
}

}  // namespace

int end_group_survivors(PyObject* group, PyObject* deadline) {
    const int waited = wait_for_survivors(group, deadline);
    if (waited > 0) return 0;
    if (waited == 0) return signal_unless_gone(interned.killpg, group, interned.SIGKILL) < 0 ? -1 : 0;
    // A wait cut short (a Ctrl-C in the pause) must not leave the survivors
    // running: they get the SIGKILL now, then the exception goes on.
    HandledException failure;
    if (signal_unless_gone(interned.killpg, group, interned.SIGKILL) < 0) return -1;
    failure.reraise();
    return -1;
}

int end_former_group(PyObject* group) {
    const int sent = signal_unless_gone(interned.killpg, group, interned.SIGTERM);
    if (sent != 0) return sent < 0 ? -1 : 0;
    Ref deadline = grace_deadline();
    return deadline ? end_group_survivors(group, deadline.get()) : -1;
}

}  // namespace velmora
