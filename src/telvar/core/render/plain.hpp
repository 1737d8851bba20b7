// The plain renderer: one pass over a tree whose rendering makes no call
// that Python code can observe.
#pragma once

#include "calls.hpp"

namespace telvar {

// print_tree(data, output) of a non-empty exact dict, rendered by the
// module's own print_tree, when every step of the rule runs no Python
// code: 1 with `text` set, -1 on error, and 0 when it would (nothing
// observable has been done then; the general renderer starts over).
int render_plainly(PyObject* data, PyObject* output, PyThreadState* thread, Ref& text);

}  // namespace telvar
