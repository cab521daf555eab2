// The context manager protocol: __enter__ and __exit__.
//
//     def __enter__(self):
//         self.start()
//         return self
//
//     def __exit__(self, exc_type, exc_val, exc_tb):
//         try:
//             running = self.is_running
//         except BaseException:                    # a Ctrl-C in the probe, a failing poll
//             if self._process is not None:
//                 if isinstance(self._process.returncode, int):
//                     self._process = None         # exit collected: nothing to signal
//                 else:
//                     self.stop()
//             raise
//         if running or (self._process is not None and self._process.poll() is None):
//             self.stop()
//
// A server still alive whose port no longer accepts is stopped too: left held,
// it would outlive the block. __exit__ returns None, so an exception raised in
// the block keeps propagating.
#include "calls.hpp"
#include "members.hpp"
#include "module_state.hpp"
#include "ref.hpp"
#include "stop.hpp"

namespace velmora {

VELMORA_MEMBER_BODY(enter) {
    PyObject* self = args[0];
    if (!call_method(self, interned.start)) return nullptr;
    return Py_NewRef(self);
}

VELMORA_MEMBER_BODY(exit) {
    PyObject* self = args[0];
    Ref running = get_attr(self, interned.is_running);
    if (!running) return end_child_and_reraise(self);
    const int is_running = PyObject_IsTrue(running.get());
    if (is_running < 0) return nullptr;
    if (is_running ? !call_method(self, interned.stop) : stop_if_alive(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace velmora
