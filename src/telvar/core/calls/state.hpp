// Everything the module keeps between calls. One module object per process.
#pragma once

#include "python/refs.hpp"
#include "table/functions.hpp"

namespace telvar {

// The built-in names fetched at module execution.
struct Builtins {
    Kept object;
    Kept property;
    Kept staticmethod;
    Kept import_error;
    Kept hex;
    Kept id;
};

struct State {
    Kept module;
    PyObject* globals = nullptr;  // borrowed: the dict of `module`, which lives forever
    Kept builtins_dict;
    Builtins builtins;
    Kept own[kFunctionCount];  // the module's own function objects, by role
};

extern State state;

inline PyObject* own_function(Fn role) { return state.own[static_cast<int>(role)]; }

}  // namespace telvar
