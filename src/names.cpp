// The process's interned names (see names.hpp).
#include "names.hpp"

namespace velmora {

InternedNames interned{};

namespace {
bool done = false;
}  // namespace

int intern_names() {
    if (done) return 0;
#define VELMORA_INTERN_NAME(id, text) \
    if (!interned.id && !(interned.id = PyUnicode_InternFromString(text))) return -1;
    VELMORA_INTERNED_NAMES(VELMORA_INTERN_NAME)
#undef VELMORA_INTERN_NAME
    done = true;
    return 0;
}

void release_names() {
#define VELMORA_RELEASE_NAME(id, text) Py_CLEAR(interned.id);
    VELMORA_INTERNED_NAMES(VELMORA_RELEASE_NAME)
#undef VELMORA_RELEASE_NAME
    done = false;
}

}  // namespace velmora
