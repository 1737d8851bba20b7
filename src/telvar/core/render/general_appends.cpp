// The general renderer: a child's lines appended to its parent's text,
// "\n  |" before the first and "\n" and the separator before the others.
// While the parent's text is a plain str and the child's block was written
// into the sink, the appends are only prefixes; otherwise each
// `output = output + piece` runs as the rule runs it.
#include "render/general.hpp"

namespace telvar {

namespace {

// Appends each line as `output = output + piece`; the first line's piece
// is chosen by `key == last_key` when `last_key` is given.
bool append_lines(Level& level, PyObject* lines, const Child& child, PyObject* last_key) {
    Ref iterator = Ref::steal(PyObject_GetIter(lines));
    if (!iterator) {
        return false;
    }
    PyObject* separator = tree_format::step_object(child.last ? Step::blank : Step::bar);
    bool first_line = last_key != nullptr;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int last = 0;
        if (first_line && (last = last_key_test(child.key.get(), last_key)) < 0) {
            return false;
        }
        Ref prefix = first_line && last > 0
                         ? Ref::hold(names.newline_bar)
                         : Ref::steal(PyUnicode_Concat(names.newline, separator));
        Ref piece = prefix ? Ref::steal(PyNumber_Add(prefix.get(), line.get())) : Ref();
        level.output = piece ? Ref::steal(PyNumber_Add(level.output.get(), piece.get())) : Ref();
        first_line = false;
        if (!level.output) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace

bool Renderer::append_child(Level& level, Child& child, PyObject* last_key) {
    PyObject* key = child.key.get();
    const bool known = PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key);
    if (!known) {
        const int last = last_key_test(key, last_key);  // the separator's test
        if (last < 0) {
            return false;
        }
        child.last = last > 0;
        sink_.set_step(child.rest, child.last ? Step::blank : Step::bar);
    }
    if (child.block.object && PyUnicode_CheckExact(child.block.object.get()) && !level.output) {
        // A plain str block from an override: its lines are indented as if
        // written here.
        if (!sink_.line(child.first, child.block.object.get(), child.rest)) {
            return false;
        }
        child.block.object = Ref();
        child.block.written = true;
    }
    if (!level.output && child.block.written) {
        level.appended = true;
        return known || last_key_test(key, last_key) >= 0;  // the first line's test
    }
    if (!level.appended && child.block.written) {
        return append_first_line(level, child, last_key);
    }
    return append_literally(level, child, last_key);
}

// The first append to an output that is not a plain str: `output + piece`
// runs as Python code. When it gives a plain str, the rest of the child's
// lines stay where they were written.
bool Renderer::append_first_line(Level& level, Child& child, PyObject* last_key) {
    Ref line = sink_.cut_first_line(child.mark);
    if (!line) {
        return false;
    }
    const bool known = PyUnicode_CheckExact(child.key.get()) && PyUnicode_CheckExact(last_key);
    if (!known && last_key_test(child.key.get(), last_key) < 0) {
        return false;  // the first line's test
    }
    // "\n  |" + line for the last key, "\n" + "  |" + line for the others.
    Ref piece = Ref::steal(PyUnicode_Concat(names.newline_bar, line.get()));
    Ref output = piece ? Ref::steal(PyNumber_Add(level.output.get(), piece.get())) : Ref();
    level.appended = true;
    if (!output) {
        return false;
    }
    if (PyUnicode_CheckExact(output.get())) {
        level.output = Ref();
        sink_.fill(level.start, std::move(output), level.first, level.rest);
        return true;
    }
    level.output = std::move(output);
    if (!sink_.has_text(child.mark)) {
        return true;
    }
    Ref rest = sink_.take(child.mark, -1, child.rest);
    Ref lines = rest ? Ref::steal(PyUnicode_Split(rest.get(), names.newline, -1)) : Ref();
    return lines && append_lines(level, lines.get(), child, nullptr);
}

// The level's text so far becomes an object, so that the appends can run
// as the Python code they are.
bool Renderer::to_literal(Level& level) {
    if (level.output) {
        return true;
    }
    level.output = sink_.take(level.start, level.first, level.rest);
    return static_cast<bool>(level.output);
}

// The appends of a whole child block, each `output = output + piece` made
// as the rule makes it.
bool Renderer::append_literally(Level& level, Child& child, PyObject* last_key) {
    Ref block = child.block.written ? sink_.take(child.mark, child.first, child.rest)
                                    : std::move(child.block.object);
    if (!block || !to_literal(level)) {
        return false;
    }
    Ref lines = PyUnicode_CheckExact(block.get())
                    ? Ref::steal(PyUnicode_Split(block.get(), names.newline, -1))
                    : Ref::steal(
                          PyObject_CallMethodOneArg(block.get(), names.split, names.newline));
    level.appended = true;
    if (!lines || !append_lines(level, lines.get(), child, last_key)) {
        return false;
    }
    if (PyUnicode_CheckExact(level.output.get())) {
        // Plain text again: the rest of the level is written into the sink.
        level.start = sink_.mark();
        if (!sink_.reserve(level.first)) {
            return false;
        }
        sink_.fill(level.start, std::move(level.output), level.first, level.rest);
    }
    return true;
}

}  // namespace telvar
