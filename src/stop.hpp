// What start and __exit__ share of stopping the server (stop.cpp).
#pragma once

#include <Python.h>

namespace velmora {

// `finally: self._process = None` after a step that succeeded (`done`) or raised
// (its exception pending). 0, or -1 with the step's exception set; an error in
// clearing takes its place, with it as __context__.
int drop_handle_finally(PyObject* self, bool done);

//     if self._process is not None and self._process.poll() is None:
//         self.stop()                          # alive, though its port no longer accepts
//
// 0, or -1 with an exception set.
int stop_if_alive(PyObject* self);

// Before a launch, what the previous child left is ended: the child itself
// when it is alive, else (POSIX) what its former group still holds, as stop
// ends it for a crashed server:
//
//     stop_if_alive(self)
//     if self._process is not None and exit_collected(self._process):
//         end_former_group_unless_pid_held(self._process)
//
// The handle itself stays until the launch replaces it. 0, or -1 with an
// exception set.
int end_previous_child(PyObject* self);

// The pending exception interrupted something while a child may be held:
//
//     except BaseException:
//         if self._process is not None:
//             if isinstance(self._process.returncode, int):
//                 self._process = None         # exit collected: nothing to signal
//             else:
//                 self.stop()
//         raise
//
// Always null: the original exception, or one raised in ending the child with
// the original as its __context__.
PyObject* end_child_and_reraise(PyObject* self);

}  // namespace velmora
