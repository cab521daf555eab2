// Readiness: _wait_for_ready and the port probe _is_port_in_use.
//
// Roughly the Python:
//
//     def _wait_for_ready(self):
//         start_time = time.time()
//         while time.time() - start_time < self.timeout:
//             if self._is_port_in_use():
//                 return True
//             if self._process.poll() is not None:
//                 return False
//             time.sleep(0.1)
//         return False
//
//     def _is_port_in_use(self):
//         with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
//             try:
//                 sock.settimeout(1)
//                 sock.connect(("localhost", self.port))
//                 return True
//             except (socket.timeout, ConnectionRefusedError, OSError):
//                 return False
#include "calls.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace velmora {
namespace {

// How long the wait pauses between probes of the port.
constexpr double kReadyPollSeconds = 0.1;
// How long one probe may take to connect.
constexpr long kConnectTimeoutSeconds = 1;

Ref wall_clock() {
    Ref clock = global_attr(interned.time, interned.time);
    return clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref{};
}

// settimeout(kConnectTimeoutSeconds), then connect(("localhost", self.port)).
int try_connect(PyObject* self, PyObject* sock) {
    Ref connect_timeout = Ref::steal(PyLong_FromLong(kConnectTimeoutSeconds));
    if (!connect_timeout || !call_method(sock, interned.settimeout, connect_timeout.get())) return -1;
    Ref port = get_attr(self, interned.port);
    Ref address = port ? Ref::steal(PyTuple_Pack(2, interned.localhost, port.get())) : Ref{};
    return address && call_method(sock, interned.connect, address.get()) ? 0 : -1;
}

// The TypeError of a `with` statement whose object lacks `missed` (looked up on its type).
PyObject* not_a_context_manager(PyObject* obj, const char* missed) {
    Ref aenter = Ref::steal(_PyType_LookupRef(Py_TYPE(obj), interned.aenter));
    Ref aexit = Ref::steal(_PyType_LookupRef(Py_TYPE(obj), interned.aexit));
    const char* hint = aenter && aexit ? " but it supports the asynchronous context manager protocol. "
                                         "Did you mean to use 'async with'?"
                                       : "";
    PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %s method)%s",
                 obj, missed, hint);
    return nullptr;
}

// True when the pending exception is one the probe answers with False.
int is_connection_failure() {
    return pending_exception_matches(interned.socket, interned.timeout,
                                     {PyExc_ConnectionRefusedError, PyExc_OSError});
}

}  // namespace

VELMORA_MEMBER_BODY(wait_for_ready) {
    PyObject* self = args[0];
    Ref start_time = wall_clock();
    if (!start_time) return nullptr;
    Ref pause = Ref::steal(PyFloat_FromDouble(kReadyPollSeconds));
    if (!pause) return nullptr;
    for (;;) {
        Ref now = wall_clock();
        Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), start_time.get())) : Ref{};
        Ref timeout = elapsed ? get_attr(self, interned.timeout) : Ref{};
        const int in_time = timeout ? PyObject_RichCompareBool(elapsed.get(), timeout.get(), Py_LT) : -1;
        if (in_time < 0) return nullptr;
        if (!in_time) Py_RETURN_FALSE;

        const int ready = is_true(call_method(self, interned.is_port_in_use));
        if (ready < 0) return nullptr;
        if (ready) Py_RETURN_TRUE;

        Ref process = get_attr(self, interned.process);
        Ref status = process ? call_method(process.get(), interned.poll) : Ref{};
        if (!status) return nullptr;
        if (status.get() != Py_None) Py_RETURN_FALSE;

        Ref sleep = global_attr(interned.time, interned.sleep);
        if (!sleep || !call(sleep.get(), pause.get())) return nullptr;
    }
}

VELMORA_MEMBER_BODY(is_port_in_use) {
    PyObject* self = args[0];
    Ref socket_class = global_attr(interned.socket, interned.socket);
    Ref family = socket_class ? global_attr(interned.socket, interned.AF_INET) : Ref{};
    Ref kind = family ? global_attr(interned.socket, interned.SOCK_STREAM) : Ref{};
    Ref created = kind ? Ref::steal(PyObject_CallFunctionObjArgs(socket_class.get(), family.get(), kind.get(),
                                                                 nullptr))
                       : Ref{};
    if (!created) return nullptr;
    // As the statement does: __exit__, then __enter__, each from the type.
    Ref exit = special_method(created.get(), interned.exit);
    if (!exit) return PyErr_Occurred() ? nullptr : not_a_context_manager(created.get(), "__exit__");
    Ref enter = special_method(created.get(), interned.enter);
    if (!enter) return PyErr_Occurred() ? nullptr : not_a_context_manager(created.get(), "__enter__");
    Ref sock = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!sock) return nullptr;

    const bool connected = try_connect(self, sock.get()) == 0;
    // An error in testing the exception (looking up socket.timeout) leaves the
    // `with` block like any other error, in place of the one being tested.
    const int connection_failed = connected ? 0 : is_connection_failure();
    if (connected || connection_failed > 0) {
        PyErr_Clear();
        Ref closed = Ref::steal(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
        if (!closed) return nullptr;
        return Py_NewRef(connected ? Py_True : Py_False);
    }
    // Anything else leaves the `with` block with the exception, which closes
    // the socket. __exit__ runs while that exception is being handled, so an
    // error it raises is chained to it.
    HandledException failure;
    PyObject* error = failure.exception();
    Ref traceback = Ref::steal(PyException_GetTraceback(error));
    const int swallow = is_true(Ref::steal(PyObject_CallFunctionObjArgs(
        exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(error)), error, traceback ? traceback.get() : Py_None,
        nullptr)));
    if (swallow < 0) return nullptr;
    if (swallow) Py_RETURN_NONE;
    return failure.reraise();
}

}  // namespace velmora
