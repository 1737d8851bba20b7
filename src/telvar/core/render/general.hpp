// The general renderer: print_tree of any non-empty dict, making every call
// the rule makes, in the rule's order: for each key, a look-up of
// self.print_tree, `data[key]`, `"__ " + key` and the call; the comparisons
// of the key with the last key; the split of the child's block; and each
// `output = output + piece`.
#pragma once

#include "calls.hpp"

namespace telvar {

// print_tree(data, output) for a non-empty dict; null with an exception set.
Ref render_general(PyObject* self, PyObject* data, PyObject* output);

}  // namespace telvar
