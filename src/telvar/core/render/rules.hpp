// Steps of the rendering rule that both print_tree's entry and the general
// renderer take, each making the calls the rule makes.
#pragma once

#include "calls.hpp"

namespace telvar {

// `not data or data == {}`: 1 when it renders as the empty str, 0 when not,
// -1 on error.
int renders_empty(PyObject* data);

// `output + " = " + str(data)`
Ref render_leaf(PyObject* data, PyObject* output);

// The keys of a dict in ascending order, as sorted(data.keys()) gives them.
// A small plain dict of exact str keys is sorted here, without a list.
class SortedKeys {
  public:
    bool collect(PyObject* data);

    Py_ssize_t count() const { return list_ ? PyList_GET_SIZE(list_.get()) : small_count_; }
    // A new reference: the list may be changed by the code that runs.
    Ref operator[](Py_ssize_t i) const {
        return Ref::hold(list_ ? PyList_GET_ITEM(list_.get(), i) : small_[i].get());
    }

  private:
    static constexpr Py_ssize_t kSmall = 8;

    bool collect_small(PyObject* data);

    Ref list_;
    Ref small_[kSmall];
    Py_ssize_t small_count_ = 0;
};

}  // namespace telvar
