// The module's process-wide state (see module_state.hpp).
#include "module_state.hpp"

namespace velmora {

ModuleState state{};

int ModuleState::intern_names() {
#define VELMORA_INTERN_NAME(id, text) \
    if (!names.id && !(names.id = PyUnicode_InternFromString(text))) return -1;
    VELMORA_INTERNED_NAMES(VELMORA_INTERN_NAME)
#undef VELMORA_INTERN_NAME
    return 0;
}

void ModuleState::clear() {
    Py_CLEAR(module);
    Py_CLEAR(builtins);
    Py_CLEAR(print);
    Py_CLEAR(property);
    Py_CLEAR(function_type);
    interpreter_id = -1;
    if (lookups.watcher >= 0 && PyDict_ClearWatcher(lookups.watcher) < 0) PyErr_Clear();
    lookups = {};
#define VELMORA_RELEASE_NAME(id, text) Py_CLEAR(names.id);
    VELMORA_INTERNED_NAMES(VELMORA_RELEASE_NAME)
#undef VELMORA_RELEASE_NAME
}

}  // namespace velmora
