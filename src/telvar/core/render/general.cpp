// The general renderer (general.hpp). Every call that can run Python code
// is made as the rule makes it; only the concatenations of exact str, which
// no code can observe, are collected in one writer instead of making a new
// str for each.
#include "render/general.hpp"

#include "render/rules.hpp"
#include "render/text.hpp"

namespace telvar {

namespace {

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

}  // namespace

Ref render_general(PyObject* self, PyObject* data, PyObject* output) {
    SortedKeys keys;
    Output text;
    if (!keys.collect(data) || !text.start(output)) {
        return {};
    }
    Ref last_key = keys[keys.count() - 1];
    for (Py_ssize_t i = 0; i < keys.count(); ++i) {
        Ref key = keys[i];
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

}  // namespace telvar
