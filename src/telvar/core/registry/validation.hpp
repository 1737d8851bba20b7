// The validators' entry point for the other parts of the module.
#pragma once

#include "python/refs.hpp"

namespace telvar {

// self.validate_arguments(os, platform, model, chassis_type): `params` are
// self and the four values. 0, or -1 with an exception set.
int call_validate_arguments(PyObject* const* params);

}  // namespace telvar
