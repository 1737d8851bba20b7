// Presentation: print_tree, the registry tree rendered as indented text,
// and the manager's summary representation built on it.
//
// print_tree renders each child through `self.print_tree` and indents the
// child's block line by line into its own. A tree whose rendering makes no
// call that Python code could observe is written in one pass by the inert
// renderer (inert.cpp). Any other takes the general renderer, here, which
// makes every call the rule makes, in the rule's order: for each key, a
// look-up of self.print_tree, `data[key]`, `"__ " + key` and the call; the
// comparisons of the key with the last key; the split of the child's block;
// and each `output = output + piece`. Only the concatenations of exact str,
// which no code can observe, are collected in one writer instead of making
// a new str for each.
#include "render/text.hpp"

namespace telvar {

namespace {

// --- steps of the rule --------------------------------------------------------

// Objects whose truth and comparison with {} run no Python code.
bool compares_inertly(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
           PyLong_CheckExact(obj) || Py_IS_TYPE(obj, &PyType_Type) || PyDict_CheckExact(obj);
}

// `not data or data == {}`: 1 when it renders as the empty str, 0 when not,
// -1 on error.
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

// `output + " = " + str(data)`
Ref render_leaf(PyObject* data, PyObject* output) {
    Ref head = py::add(output, names.equals);
    Ref text = head ? py::str(data) : Ref();
    return text ? py::add(head.get(), text.get()) : Ref();
}

// sorted(data.keys()), which must not be empty (the rule reads its last
// key): null with an exception set.
Ref sorted_keys(PyObject* data) {
    Ref list;
    if (PyDict_CheckExact(data)) {
        list = Ref::steal(PyDict_Keys(data));  // a new list already
    } else {
        Ref keys = py::call_method0(data, names.keys);
        list = keys ? py::list(keys.get()) : Ref();
    }
    if (!list || py::sort(list.get()) < 0) {
        return {};
    }
    if (PyList_GET_SIZE(list.get()) == 0) {
        // sorted_keys[-1]; the sort succeeded, so no exception is set.
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    return list;
}

// --- the general renderer -----------------------------------------------------

// The text of one level: `output` with its pieces appended. While it is an
// exact str and so is each piece, the pieces go into a writer; from the
// first that is not, each `output = output + piece` runs as Python code.
class Output {
  public:
    bool start(PyObject* output) {
        if (!PyUnicode_CheckExact(output)) {
            text_ = Ref::hold(output);
            return true;
        }
        return writer_.text(output);
    }

    // output = output + (prefix + line)
    bool append(PyObject* prefix, PyObject* line) {
        if (!text_ && PyUnicode_CheckExact(line)) {
            return writer_.text(prefix) && writer_.text(line);
        }
        Ref piece = PyUnicode_CheckExact(line) ? Ref::steal(PyUnicode_Concat(prefix, line))
                                               : py::add(prefix, line);
        if (!piece || (!text_ && !(text_ = writer_.finish()))) {
            return false;
        }
        text_ = py::add(text_.get(), piece.get());
        return static_cast<bool>(text_);
    }

    Ref finish() { return text_ ? std::move(text_) : writer_.finish(); }

  private:
    TextWriter writer_;
    Ref text_;  // the text as an object, once the appends run as Python code
};

// `key == last_key`: 1, 0, or -1 with an exception set.
int is_last(PyObject* key, PyObject* last_key) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key)) {
        return same_text(key, last_key) ? 1 : 0;
    }
    return equals(key, last_key);
}

// self.print_tree(data=data[key], output="__ " + key)
Ref child_block(PyObject* self, PyObject* data, PyObject* key) {
    Method print_tree;
    if (!print_tree.lookup(self, site_of<Fn::print_tree>())) {
        return {};
    }
    Ref value = get_item(data, key);
    Ref label = !value                      ? Ref()
                : PyUnicode_CheckExact(key) ? Ref::steal(PyUnicode_Concat(names.connector, key))
                                            : py::add(names.connector, key);
    if (!label) {
        return {};
    }
    PyObject* stack[] = {self, value.get(), label.get()};
    return print_tree.call(stack, 1, keywords_of(Fn::print_tree));
}

// The child's block split at its line breaks, each line appended after
// "\n  |" (the first line of the last key) or "\n" and the separator.
bool append_block(Output& output, PyObject* block, PyObject* key, PyObject* last_key, bool last) {
    Ref lines = PyUnicode_CheckExact(block) ? Ref::steal(PyUnicode_Split(block, names.newline, -1))
                                            : py::call_method1(block, names.split, names.newline);
    Ref iterator = lines ? py::iter(lines.get()) : Ref();
    if (!iterator) {
        return false;
    }
    PyObject* separator = last ? names.newline_blank : names.newline_bar;
    bool first_line = true;
    while (Ref line = py::next(iterator.get())) {
        // `current_line == 1 and key == last_key`
        const int last_first = first_line ? is_last(key, last_key) : 0;
        if (last_first < 0 ||
            !output.append(last_first > 0 ? names.newline_bar.get() : separator, line.get())) {
            return false;
        }
        first_line = false;
    }
    return !PyErr_Occurred();
}

// print_tree(data, output) for a non-empty dict; null with an exception set.
Ref render_general(PyObject* self, PyObject* data, PyObject* output) {
    Ref keys = sorted_keys(data);
    Output text;
    if (!keys || !text.start(output)) {
        return {};
    }
    // New references: the list may be changed by the code that runs.
    Ref last_key = Ref::hold(PyList_GET_ITEM(keys.get(), PyList_GET_SIZE(keys.get()) - 1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::hold(PyList_GET_ITEM(keys.get(), i));
        // The call's method and arguments are dropped before the key is
        // compared, as the rule drops them.
        Ref block = child_block(self, data, key.get());
        const int last = block ? is_last(key.get(), last_key.get()) : -1;
        if (last < 0 || !append_block(text, block.get(), key.get(), last_key.get(), last > 0)) {
            return {};
        }
    }
    return text.finish();
}

// --- the summary ----------------------------------------------------------------

// "plugins (" + cls_text + " at " + address + ") ", from these texts.
MessageTexts<3> summary_texts("plugins (", " at ", ") ");

// The summary line, concatenated as the rule does, so that a str
// subclass's own `+` runs.
Ref summary_line(PyObject* cls_text, PyObject* address) {
    if (!summary_texts.ready()) {
        return {};
    }
    PyObject* const pieces[] = {cls_text, summary_texts[1], address, summary_texts[2]};
    Ref line = Ref::hold(summary_texts[0]);
    for (PyObject* piece : pieces) {
        if (!(line = py::add(line.get(), piece))) {
            break;
        }
    }
    return line;
}

}  // namespace

PyObject* print_tree_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* data = args[1];
    PyObject* output = args[2];
    const int empty = renders_empty(data);
    if (empty != 0) {
        return empty < 0 ? nullptr : Py_NewRef(names.empty.get());
    }
    if (!PyDict_Check(data)) {
        return render_leaf(data, output).release();
    }
    if (PyDict_CheckExact(data) && inert_own_method(self, site_of<Fn::print_tree>()).value.get() ==
                                       own_function(Fn::print_tree)) {
        Inert<Ref> text = render_inertly(data, output);
        if (text.found()) {
            return text.value.release();
        }
    }
    return render_general(self, data, output).release();
}

PyObject* repr_impl(const Call& args) {
    PyObject* self = args[0];
    Ref cls = py::attribute(self, names.dunder_class);
    Ref cls_text = cls ? py::str(cls.get()) : Ref();
    Ref identity = cls_text ? py::call_one(state.builtins.id, self) : Ref();
    Ref hex_identity = identity ? py::call_one(state.builtins.hex, identity.get()) : Ref();
    Ref address = hex_identity ? py::str(hex_identity.get()) : Ref();
    Ref summary = address ? summary_line(cls_text.get(), address.get()) : Ref();
    Method print_tree;
    if (!summary || !print_tree.lookup(self, site_of<Fn::print_tree>())) {
        return nullptr;
    }
    Ref registry = self_attribute(self, Site::plugins);
    if (!registry) {
        return nullptr;
    }
    // self.print_tree(data=registry, output=summary)
    PyObject* stack[] = {self, registry.get(), summary.get()};
    return print_tree.call(stack, 1, keywords_of(Fn::print_tree)).release();
}

}  // namespace telvar
