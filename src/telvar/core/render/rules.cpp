// Steps of the rendering rule shared by print_tree's entry and the general
// renderer.
#include "render/rules.hpp"

#include "render/text.hpp"

namespace telvar {

namespace {

// Objects whose truth and comparison with {} run no Python code.
bool compares_inertly(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
           PyLong_CheckExact(obj) || Py_IS_TYPE(obj, &PyType_Type) || PyDict_CheckExact(obj);
}

}  // namespace

int renders_empty(PyObject* data) {
    const int truth = is_true(data);
    if (truth <= 0) {
        return truth < 0 ? -1 : 1;
    }
    if (compares_inertly(data)) {
        return 0;  // a true value of these types never equals {}
    }
    Ref empty = Ref::steal(PyDict_New());
    return empty ? equals(data, empty.get()) : -1;
}

Ref render_leaf(PyObject* data, PyObject* output) {
    Ref head = py::add(output, names.equals);
    Ref text = head ? py::str(data) : Ref();
    return text ? py::add(head.get(), text.get()) : Ref();
}

bool SortedKeys::collect(PyObject* data) {
    if (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) <= kSmall && collect_small(data)) {
        return true;
    }
    if (PyDict_CheckExact(data)) {
        list_ = Ref::steal(PyDict_Keys(data));  // a new list already
    } else {
        Ref keys = py::call_method0(data, names.keys);
        list_ = keys ? py::list(keys.get()) : Ref();
    }
    if (!list_ || py::sort(list_.get()) < 0) {
        return false;
    }
    if (count() == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");  // sorted_keys[-1]
        return false;
    }
    return true;
}

bool SortedKeys::collect_small(PyObject* data) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing here runs Python code: the keys are exact str, compared by
    // code point, which is str's own order. Keys held when another kind
    // turns up are released with the rest.
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            small_count_ = 0;
            return false;
        }
        Py_ssize_t at = small_count_++;
        for (; at > 0 && text_less(key, small_[at - 1].get()); --at) {
            small_[at] = std::move(small_[at - 1]);
        }
        small_[at] = Ref::hold(key);
    }
    return small_count_ > 0;
}

}  // namespace telvar
