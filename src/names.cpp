// The process's interned names (see names.hpp).
#include "names.hpp"

namespace velmora {

InternedNames name{};

int intern_names() {
    static bool done = false;
    if (done) return 0;
#define VELMORA_INTERN_NAME(id, text) \
    if (!name.id && !(name.id = PyUnicode_InternFromString(text))) return -1;
    VELMORA_INTERNED_NAMES(VELMORA_INTERN_NAME)
#undef VELMORA_INTERN_NAME
    done = true;
    return 0;
}

}  // namespace velmora
