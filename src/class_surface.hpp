// Builds the AddinServerManager class from its member table.
#pragma once

#include "ref.hpp"

namespace velmora {

// The class object; needs the captured built-in `property` (module_state.hpp).
Ref build_manager_class();

}  // namespace velmora
