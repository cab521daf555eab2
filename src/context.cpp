// The context manager protocol: __enter__ and __exit__.
//
//     def __enter__(self):
//         self.start()
//         return self
//
//     def __exit__(self, exc_type, exc_val, exc_tb):
//         if self.is_running:
//             self.stop()
//
// __exit__ returns None, so an exception raised in the block keeps propagating.
#include "calls.hpp"
#include "members.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace velmora {

VELMORA_MEMBER_BODY(enter) {
    PyObject* self = args[0];
    if (!call_method(self, interned.start)) return nullptr;
    return Py_NewRef(self);
}

VELMORA_MEMBER_BODY(exit) {
    PyObject* self = args[0];
    const int is_running = is_true(get_attr(self, interned.is_running));
    if (is_running < 0) return nullptr;
    if (is_running && !call_method(self, interned.stop)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace velmora
