// The validators' entry point for the other parts of the module.
#pragma once

#include "internals/internals.hpp"

namespace telvar {

// self.validate_arguments(os, platform, model, chassis_type): `params` are
// self and the four values; `view` is a view of self, current again when
// this returns. 0, or -1 with an exception set.
int call_validate_arguments(PyObject* const* params, ManagerView& view);

}  // namespace telvar
