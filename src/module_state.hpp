// The module's process-wide state: one struct, filled while the module loads,
// read by every member, and emptied by one clear() when the interpreter that
// loaded it is finalised.
//
// The module loads into the main interpreter only, once per process
// (module.cpp), so the state of the one loaded module is the process's. It is
// cleared whole when that interpreter is finalised, so that an interpreter
// started later in the same process (Py_FinalizeEx, then Py_Initialize) loads
// the module afresh instead of reaching objects of the one that ended; a
// member called after that finds no module and refuses (function.cpp).
#pragma once

#include <Python.h>

#include <cstdint>

#include "names.hpp"

namespace velmora {

// One remembered lookup of a module-level name, or of an attribute of one
// (globals.cpp): it holds while `epoch` is the cache's.
struct RememberedLookup {
    PyObject* global;  // interned name
    PyObject* attr;    // interned name, or null for the global itself
    PyObject* owner;   // borrowed: the module `attr` was read from, null for a global
    PyObject* value;   // borrowed: it stays in a watched namespace while `epoch` is current
    uint64_t epoch;
};

struct LookupCache {
    int watcher = -1;    // the dict watcher that advances `epoch`; -1: none, nothing is remembered
    uint64_t epoch = 1;  // advanced by every change to a watched namespace
    RememberedLookup slots[64] = {};
};

struct ModuleState {
    int64_t interpreter_id = -1;        // interpreter that first created the module
    PyObject* module = nullptr;         // strong; the module whose execution step ran
    PyObject* builtins = nullptr;       // strong; the builtins module's namespace
    PyObject* print = nullptr;          // strong; built-ins captured at load
    PyObject* property = nullptr;
    PyObject* function_type = nullptr;  // strong; the members' type, made at load
    InternedNames names = {};           // strong, each; made by the create step
    LookupCache lookups = {};           // borrowed only, so clearing drops no reference

    // Makes the names still missing; later calls do nothing. -1 with an exception set.
    int intern_names();

    // Releases everything above and the dict watcher: the interpreter is being finalised.
    void clear();
};

extern ModuleState state;

// The names by the name every member body uses: `interned.port`.
inline constexpr InternedNames& interned = state.names;

}  // namespace velmora
