// The plain renderer. A tree of exact dicts with exact str keys, whose
// leaves are exact str, True, integers of a machine word, or classes whose
// str() reads nothing that can run Python code, rendered with an exact str
// `output` by the module's own print_tree: the rule's every step on it
// (truth tests, comparisons with {}, the sort, the look-ups, str(), the
// concatenations) runs no Python code. Its text is written here in one
// pass, every prefix known as it is written, and no object is made until
// the text itself; so the pointers read from the dicts stay valid
// throughout (checked builds verify it through `Borrowed`). The levels are
// a stack of its own, not C recursion: each counts against the recursion
// limit, as each is a call of print_tree in the rule.
//
// At anything else it gives up at once, having made no call that Python
// code can observe.
#include "render/plain.hpp"

#include "render/text.hpp"

#include <algorithm>

namespace telvar {

namespace {

struct Entry {
    Borrowed key;
    Borrowed value;
};

// A dict being written: its sorted entries in `entries_`, the next one to
// write, and the indentation to return to when it is done.
struct Level {
    size_t base;
    size_t count;
    size_t next;
    size_t indent;
};

// Whether a value is false, read without running Python code; -1: it is
// not a value of the plain kinds (or an integer beyond a machine word).
int plain_truth(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) != 0 ? 1 : 0;
    }
    if (PyDict_CheckExact(value)) {
        return PyDict_GET_SIZE(value) != 0 ? 1 : 0;
    }
    if (value == Py_None || value == Py_False) {
        return 0;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = py::exact_int_value(value, &overflow);
        return overflow != 0 ? -1 : number != 0 ? 1 : 0;
    }
    return value == Py_True || Py_IS_TYPE(value, &PyType_Type) ? 1 : -1;
}

class PlainRenderer {
  public:
    Plain render(PyObject* data, PyObject* output, Ref& text) {
        if (!PyUnicode_CheckExact(output)) {
            return Plain::not_plain;  // its `+` runs as the code it is
        }
        depth_left_ = levels_left();
        if (!out_.text(output)) {
            return Plain::failed;
        }
        Plain done = open(data, 0);
        while (done == Plain::done && levels_.size() > 0) {
            Level& level = levels_[levels_.size() - 1];
            if (level.next == level.count) {
                entries_.truncate(level.base);
                indent_.truncate(level.indent);
                levels_.truncate(levels_.size() - 1);
                continue;
            }
            const Entry entry = entries_[level.base + level.next];
            done = child(entry, ++level.next == level.count);
        }
        if (done != Plain::done) {
            return done;
        }
        text = out_.finish();
        return text ? Plain::done : Plain::failed;
    }

  private:
    // The prefix of a line: the indentation of the level, then `step`.
    bool prefix(Indent step) {
        return (indent_.size() == 0 || out_.ascii(&indent_[0], indent_.size())) && out_.step(step);
    }
    // A str whose further lines belong to a child: after `separator`.
    bool lines(PyObject* text, Indent separator) {
        return out_.lines(text, 0, PyUnicode_GET_LENGTH(text), [&] { return prefix(separator); });
    }
    Plain written(bool ok) const { return ok ? Plain::done : Plain::failed; }

    // str() of an integer.
    bool decimal(long long number) {
        char digits[24];
        char* at = digits + sizeof digits;
        // Negated digit by digit, so that the smallest value needs no
        // positive counterpart.
        long long rest = number;
        do {
            *--at = static_cast<char>('0' + (rest < 0 ? -(rest % 10) : rest % 10));
            rest /= 10;
        } while (rest != 0);
        if (number < 0) {
            *--at = '-';
        }
        return out_.ascii(at, static_cast<size_t>(digits + sizeof digits - at));
    }
    Plain leaf(PyObject* value, Indent separator);
    Plain child(const Entry& entry, bool last);
    Plain open(PyObject* data, size_t indent);

    TextWriter out_;
    Array<char> indent_;
    Array<Entry> entries_;  // the sorted entries of every level being written
    Array<Level> levels_;
    int depth_left_ = 0;
};

// " = " and str() of a true leaf, its further lines after `separator`.
Plain PlainRenderer::leaf(PyObject* value, Indent separator) {
    if (!out_.lead(Lead::equals)) {
        return Plain::failed;
    }
    if (PyUnicode_CheckExact(value)) {
        return written(lines(value, separator));
    }
    if (value == Py_True) {
        return written(out_.ascii("True"));
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = py::exact_int_value(value, &overflow);
        return overflow != 0 ? Plain::not_plain : written(decimal(number));
    }
    // str() of a class: "<class 'module.qualname'>", or "<class 'qualname'>"
    // for a builtin, which these are not.
    ClassNames cls{};
    if (!quiet_class_names(value, cls) ||
        PyUnicode_CompareWithASCIIString(cls.module, "builtins") == 0) {
        return Plain::not_plain;
    }
    return written(out_.ascii("<class '") && lines(cls.module, separator) && out_.ascii(".") &&
                   lines(cls.qualname, separator) && out_.ascii("'>"));
}

Plain PlainRenderer::child(const Entry& entry, bool last) {
    PyObject* value = entry.value.get();
    const Indent separator = last ? Indent::blank : Indent::bar;
    const int truth = plain_truth(value);
    if (truth < 0) {
        return Plain::not_plain;
    }
    if (!out_.line_break() || !prefix(Indent::bar)) {
        return Plain::failed;
    }
    if (truth == 0) {
        return Plain::done;  // the empty block: the prefix alone
    }
    if (!out_.lead(Lead::connector) || !lines(entry.key.get(), separator)) {
        return Plain::failed;
    }
    if (!PyDict_CheckExact(value)) {
        return leaf(value, separator);
    }
    const size_t depth = indent_.size();
    const auto step = static_cast<size_t>(tree_format::step_length(separator));
    if (!indent_.reserve(depth + step)) {
        return Plain::failed;
    }
    indent_.append(tree_format::step_text(separator), step);
    return open(value, depth);
}

// A non-empty dict begins: its entries, in the order of their keys.
Plain PlainRenderer::open(PyObject* data, size_t indent) {
    if (static_cast<int>(levels_.size()) >= depth_left_) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return Plain::failed;
    }
    const size_t base = entries_.size();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return Plain::not_plain;
        }
        if (!entries_.push(Entry{Borrowed(key), Borrowed(value)})) {
            return Plain::failed;
        }
    }
    // Code point order, which is str's own; no key is equal to another.
    std::sort(entries_.begin() + base, entries_.end(), [](const Entry& a, const Entry& b) {
        return PyUnicode_Compare(a.key.get(), b.key.get()) < 0;
    });
    return written(levels_.push(Level{base, entries_.size() - base, 0, indent}));
}

}  // namespace

Plain render_plainly(PyObject* data, PyObject* output, Ref& text) {
    PlainRenderer renderer;
    return renderer.render(data, output, text);
}

}  // namespace telvar
