// The function objects that carry the members of AddinServerManager.
#pragma once

#include <Python.h>

#include "members.hpp"
#include "ref.hpp"

namespace velmora {

// Makes the function type once per load (module_state.hpp). -1 with an exception set on failure.
int ready_member_function_type();

// The function object of one member, named "<class>.<member>", attributed to
// `module_name` and resolving its annotation texts in `globals`.
Ref make_member_function(const MemberSpec& spec, PyObject* class_name, PyObject* module_name,
                         PyObject* globals);

}  // namespace velmora
