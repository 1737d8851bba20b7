// The plain renderer: one pass over a tree whose rendering makes no call
// that Python code can observe.
#pragma once

#include "calls.hpp"

namespace telvar {

enum class Plain { done, not_plain, failed };

// print_tree(data, output) of a non-empty exact dict, rendered by the
// module's own print_tree, when every step of the rule runs no Python
// code: done with `text` set, failed with an exception set, or not_plain
// when a step would run Python code (nothing observable has been done
// then; the general renderer starts over).
Plain render_plainly(PyObject* data, PyObject* output, Ref& text);

}  // namespace telvar
