// The general renderer: the walk over levels and children.
#include "render/general.hpp"

namespace telvar {

namespace {

// str(value) as the rule takes it.
Ref value_text(PyObject* value) {
    return PyUnicode_CheckExact(value) ? Ref::hold(value) : Ref::steal(PyObject_Str(value));
}

}  // namespace

int last_key_test(PyObject* key, PyObject* last_key) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key)) {
        return same_text(key, last_key) ? 1 : 0;
    }
    return equals(key, last_key);
}

Ref Renderer::render(PyObject* data, PyObject* output) {
    if (!sink_.start()) {
        return {};
    }
    Block block;
    if (!dict_block(data, nullptr, output, Sink::kRoot, Sink::kRoot, block)) {
        return {};
    }
    return block.written ? sink_.finish() : std::move(block.object);
}

bool Renderer::dict_block(PyObject* data, PyObject* head, PyObject* output, int first, int rest,
                          Block& block) {
    PyThreadState* thread = enter_level(thread_);
    if (thread == nullptr) {
        return false;
    }
    Level level{Ref::hold(data), first, rest};
    const bool done = dict_lines(level, head, output, block);
    leave_level(thread);
    return done;
}

// The block of a non-empty dict whose label is `head` + `output` (head
// nullptr: `output` alone).
bool Renderer::dict_lines(Level& level, PyObject* head, PyObject* output, Block& block) {
    level.start = sink_.mark();
    if (head != nullptr) {
        if (!sink_.line(level.first, output, level.rest, Lead::connector)) {
            return false;
        }
    } else if (PyUnicode_CheckExact(output)) {
        if (!sink_.line(level.first, output, level.rest)) {
            return false;
        }
    } else {
        // The first append runs `output + piece` as Python code: the first
        // line is known only then.
        level.output = Ref::hold(output);
        if (!sink_.reserve(level.first)) {
            return false;
        }
    }
    SortedKeys keys;
    if (!keys.collect(level.data.get())) {
        return false;
    }
    for (Py_ssize_t i = 0; i < keys.count(); ++i) {
        if (!render_key(level, keys, i)) {
            return false;
        }
    }
    block.written = !level.output;
    block.object = std::move(level.output);
    return true;
}

// The prefix nodes of a child: "  |" before its first line and, before the
// others, the separator, which stays open until `key == last_key` has run
// when that comparison can run Python code.
bool Renderer::child_prefixes(Level& level, Child& child, PyObject* last_key) {
    if (level.bar < 0 && (level.bar = sink_.node(level.rest, Step::bar)) < 0) {
        return false;
    }
    child.first = level.bar;
    PyObject* key = child.key.get();
    if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(last_key)) {
        child.rest = sink_.node(level.rest, Step::open);
        return child.rest >= 0;
    }
    child.last = same_text(key, last_key);
    if (child.last && level.blank < 0 && (level.blank = sink_.node(level.rest, Step::blank)) < 0) {
        return false;
    }
    child.rest = child.last ? level.blank : level.bar;
    return true;
}

bool Renderer::render_key(Level& level, const SortedKeys& keys, Py_ssize_t index) {
    Child child;
    child.key = keys[index];
    Ref last_key = keys[keys.count() - 1];
    PyObject* key = child.key.get();
    // The rule's order: the method look-up, then data[key], then the label.
    Method print_tree;
    if (!print_tree.lookup(self_, site_of<Fn::print_tree>())) {
        return false;
    }
    Ref value = get_item(level.data.get(), key);
    if (!value) {
        return false;
    }
    Ref label;
    if (!PyUnicode_CheckExact(key)) {
        label = Ref::steal(PyNumber_Add(names.connector, key));
        if (!label) {
            return false;
        }
    }
    child.mark = sink_.mark();
    if (!child_prefixes(level, child, last_key.get()) ||
        !child_block(print_tree, value.get(), key, label.get(), child)) {
        return false;
    }
    // The call is over: its method and arguments go, as the rule drops
    // them, before the comparisons of the appends.
    print_tree = Method();
    value = Ref();
    label = Ref();
    return append_child(level, child, last_key.get());
}

// The child's block, as self.print_tree(data=value, output="__ " + key)
// returns it. `label` is that output when the key is not an exact str.
bool Renderer::child_block(const Method& print_tree, PyObject* value, PyObject* key,
                           PyObject* label, Child& child) {
    PyObject* output = label != nullptr ? label : key;
    PyObject* head = label != nullptr ? nullptr : names.connector.get();
    Block& block = child.block;
    if (!print_tree.resolves_to(Fn::print_tree)) {
        Ref joined = head != nullptr ? Ref::steal(PyUnicode_Concat(head, key)) : Ref::hold(output);
        if (joined) {
            PyObject* stack[] = {self_, value, joined.get()};
            block.object = print_tree.call(stack, 1, keywords_of(Fn::print_tree), thread_);
        }
        return static_cast<bool>(block.object);
    }
    const int empty = renders_empty(value);
    if (empty != 0) {
        // The empty block is one empty line: the prefix alone.
        block.written = empty > 0 && sink_.line(child.first, names.empty, child.rest);
        return block.written;
    }
    if (PyDict_Check(value)) {
        return dict_block(value, head, output, child.first, child.rest, block);
    }
    return leaf_block(value, key, label, child.first, child.rest, block);
}

// `output + " = " + str(value)`
bool Renderer::leaf_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                          Block& block) {
    if (label != nullptr && !PyUnicode_CheckExact(label)) {
        block.object = render_leaf(value, label);
        return static_cast<bool>(block.object);
    }
    Ref text = value_text(value);
    if (!text) {
        return false;
    }
    if (!PyUnicode_CheckExact(text.get())) {
        // A str subclass may answer the concatenation itself.
        PyObject* const pieces[] = {names.connector, key, names.equals};
        Ref head = label != nullptr ? Ref::steal(PyUnicode_Concat(label, names.equals))
                                    : join_texts(pieces, 3);
        block.object = head ? Ref::steal(PyNumber_Add(head.get(), text.get())) : Ref();
        return static_cast<bool>(block.object);
    }
    block.written = (label != nullptr ? sink_.line(first, label, rest)
                                      : sink_.line(first, key, rest, Lead::connector)) &&
                    sink_.more(text.get(), rest, Lead::equals);
    return block.written;
}

}  // namespace telvar
