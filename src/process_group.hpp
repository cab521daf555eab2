// Signals to the server and to what is left of its process group (POSIX).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora {

// How long a SIGTERM is given before SIGKILL, to the server and to what is
// left of its group alike; also how long a killed server is waited for.
constexpr long kGraceSeconds = 5;

// os.<sender>(target, signal.<signal_name>), or signal 0 for a null
// signal_name, the sender being interned.kill or interned.killpg. 0, or -1 with an
// exception set.
int send_signal(PyObject* sender, PyObject* target, PyObject* signal_name);

// The same, where a ProcessLookupError means nobody is left to signal: 0 when
// sent, 1 after such an error (dropped), -1 with any other exception set.
int signal_unless_gone(PyObject* sender, PyObject* target, PyObject* signal_name);

// time.monotonic() + kGraceSeconds: the end of the grace period, taken right after a SIGTERM.
Ref grace_deadline();

// Roughly:
//
//     while True:
//         try:
//             os.killpg(group, 0)              # anyone left in the group?
//         except ProcessLookupError:
//             return
//         if time.monotonic() >= deadline:
//             break
//         time.sleep(0.05)
//     try:
//         os.killpg(group, signal.SIGKILL)
//     except ProcessLookupError:
//         pass                                 # emptied meanwhile
//
// Probing keeps a group id in use only while the group has members, and such
// an id is never given to another process, so no stranger is signalled. When
// the wait itself fails (a Ctrl-C during the pause), the group gets its
// SIGKILL at once and the exception goes on. 0, or -1 with an exception set.
int end_group_survivors(PyObject* group, PyObject* deadline);

// What is left of the group an exited server led, its id being the server's
// former pid (the server called setsid):
//
//     try:
//         os.killpg(group, signal.SIGTERM)
//     except ProcessLookupError:
//         return                               # nobody left
//     end_group_survivors(group, time.monotonic() + 5)
//
// While the group has members its id is given to no other process, so only
// what the server left behind is reached; once it is empty the id is free, and
// the callers call this only right after collecting the exit or while no
// process holds the pid. 0, or -1 with an exception set.
int end_former_group(PyObject* group);

}  // namespace velmora
