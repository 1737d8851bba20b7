// Presentation: the registry tree rendered as indented text, and the
// manager's summary representation built on it.
#include "common.hpp"

namespace telvar {

namespace {

// print_tree's answer for an empty or false value.
int renders_empty(PyObject* data) {
    const int truth = PyObject_IsTrue(data);
    if (truth <= 0) {
        return truth < 0 ? -1 : 1;
    }
    if (PyDict_CheckExact(data)) {
        return 0;  // a non-empty plain dict never equals {}
    }
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) {
        return -1;
    }
    return PyObject_RichCompareBool(data, empty.get(), Py_EQ);
}

// `output + " = " + str(data)`
Ref render_leaf(PyObject* data, PyObject* output) {
    Ref head = Ref::steal(PyNumber_Add(output, names.equals));
    if (!head) {
        return {};
    }
    Ref text = Ref::steal(PyObject_Str(data));
    if (!text) {
        return {};
    }
    return Ref::steal(PyNumber_Add(head.get(), text.get()));
}

Ref sorted_keys_of(PyObject* data) {
    Ref keys = PyDict_CheckExact(data) ? Ref::steal(PyDict_Keys(data))
                                       : call_method0(data, names.keys);
    if (!keys) {
        return {};
    }
    Ref sorted = Ref::steal(PySequence_List(keys.get()));
    if (!sorted || PyList_Sort(sorted.get()) < 0) {
        return {};
    }
    return sorted;
}

bool append(PyObject* pieces, PyObject* piece) { return PyList_Append(pieces, piece) == 0; }

// Appends the lines of one child block: the first after "\n  |", the others
// after "\n" and the separator.
bool append_child_block(PyObject* pieces, PyObject* block, bool is_last) {
    Ref lines = Ref::steal(PyObject_CallMethodOneArg(block, names.split, names.newline));
    if (!lines) {
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) {
        return false;
    }
    PyObject* later_prefix = is_last ? names.newline_blank_prefix : names.newline_bar_prefix;
    bool first = true;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject* prefix = first && is_last ? names.newline_bar_prefix : later_prefix;
        first = false;
        if (PyUnicode_CheckExact(line.get())) {
            if (!append(pieces, prefix) || !append(pieces, line.get())) {
                return false;
            }
            continue;
        }
        Ref piece = Ref::steal(PyNumber_Add(prefix, line.get()));
        if (!piece || !append(pieces, piece.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

Ref render_dict(PyObject* self, PyObject* data, PyObject* output) {
    Ref sorted = sorted_keys_of(data);
    if (!sorted) {
        return {};
    }
    const Py_ssize_t count = PyList_GET_SIZE(sorted.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    Ref last_key = Ref::hold(PyList_GET_ITEM(sorted.get(), count - 1));
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) {
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref key = Ref::hold(PyList_GET_ITEM(sorted.get(), i));
        Ref child = Ref::steal(PyObject_GetItem(data, key.get()));
        if (!child) {
            return {};
        }
        Ref label = Ref::steal(PyNumber_Add(names.connector, key.get()));
        if (!label) {
            return {};
        }
        // self.print_tree(data=child, output=label)
        PyObject* stack[] = {self, child.get(), label.get()};
        Ref block = call_method(self, names.print_tree, stack, 1, names.kw_data_output,
                                Fn::print_tree, stack);
        if (!block) {
            return {};
        }
        const int is_last = PyObject_RichCompareBool(key.get(), last_key.get(), Py_EQ);
        if (is_last < 0 || !append_child_block(pieces.get(), block.get(), is_last > 0)) {
            return {};
        }
    }
    Ref tail = Ref::steal(PyUnicode_Join(names.empty, pieces.get()));
    if (!tail) {
        return {};
    }
    return Ref::steal(PyNumber_Add(output, tail.get()));
}

}  // namespace

PyObject* print_tree_impl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* data = args[1];
    PyObject* output = args[2];
    const int empty = renders_empty(data);
    if (empty != 0) {
        return empty < 0 ? nullptr : Py_NewRef(names.empty);
    }
    if (!PyDict_Check(data)) {
        return render_leaf(data, output).release();
    }
    if (Py_EnterRecursiveCall(" while rendering a plugin tree")) {
        return nullptr;
    }
    Ref text = render_dict(self, data, output);
    Py_LeaveRecursiveCall();
    return text.release();
}

PyObject* repr_impl(PyObject* const* args) {
    PyObject* self = args[0];
    Ref cls = Ref::steal(PyObject_GetAttr(self, names.dunder_class));
    if (!cls) {
        return nullptr;
    }
    Ref cls_text = Ref::steal(PyObject_Str(cls.get()));
    if (!cls_text) {
        return nullptr;
    }
    Ref identity = Ref::steal(PyObject_CallOneArg(state.builtin_id, self));
    if (!identity) {
        return nullptr;
    }
    Ref hex_identity = Ref::steal(PyObject_CallOneArg(state.builtin_hex, identity.get()));
    if (!hex_identity) {
        return nullptr;
    }
    Ref address = Ref::steal(PyObject_Str(hex_identity.get()));
    if (!address) {
        return nullptr;
    }
    Ref summary = Ref::steal(
        PyUnicode_FromFormat("plugins (%U at %U) ", cls_text.get(), address.get()));
    if (!summary) {
        return nullptr;
    }
    Method print_tree;
    if (!print_tree.lookup(self, names.print_tree)) {
        return nullptr;
    }
    Ref registry = Ref::steal(PyObject_GetAttr(self, names.plugins_attr));
    if (!registry) {
        return nullptr;
    }
    // self.print_tree(data=registry, output=summary)
    PyObject* stack[] = {self, registry.get(), summary.get()};
    return print_tree.call(stack, 1, names.kw_data_output, Fn::print_tree, stack).release();
}

}  // namespace telvar
