// The inert renderer. A tree of exact dicts with exact str keys, whose
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
#include "render/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

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

// A step of the renderer: found when it could be taken without running
// Python code, with whether it was (false: an exception is set); unknown
// when only the general renderer can take it.
using Written = Inert<bool>;

// Whether a value is true, read without running Python code; unknown for
// a value not of the kinds above (or an integer beyond a machine word).
Inert<bool> inert_truth(PyObject* value) {
    auto truth = [](bool yes) { return Inert<bool>{Told::found, yes}; };
    if (PyUnicode_CheckExact(value)) {
        return truth(PyUnicode_GET_LENGTH(value) != 0);
    }
    if (PyDict_CheckExact(value)) {
        return truth(PyDict_GET_SIZE(value) != 0);
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = py::exact_int_value(value, &overflow);
        return overflow != 0 ? Inert<bool>{} : truth(number != 0);
    }
    // Neither None, bool nor a class of metaclass type runs code in its truth test.
    if (value == Py_None || PyBool_Check(value)) {
        return truth(value == Py_True);
    }
    return Py_IS_TYPE(value, &PyType_Type) ? truth(true) : Inert<bool>{};
}

class InertRenderer {
  public:
    Inert<Ref> render(PyObject* data, PyObject* output) {
        if (!PyUnicode_CheckExact(output)) {
            return {};  // its `+` runs as the code it is
        }
        depth_left_ = levels_left();
        if (!out_.text(output) || !indent_.push(tree_format::kBreak)) {
            return {Told::found, Ref()};
        }
        Written done = open(data, indent_.size());
        while (done.found() && done.value && levels_.size() > 0) {
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
        if (done.unknown()) {
            return {};
        }
        return {Told::found, done.value ? out_.finish() : Ref()};
    }

  private:
    // A str whose further lines belong to a child: each after the
    // indentation of the level (indent_ without its line break) and
    // `separator`.
    bool lines(PyObject* text, std::string_view separator) {
        return out_.lines(text, [&] {
            return out_.ascii({&indent_[1], indent_.size() - 1}) && out_.ascii(separator);
        });
    }
    static Written written(bool ok) { return {Told::found, ok}; }

    Written class_text(PyObject* cls, std::string_view separator);
    Written leaf(PyObject* value, std::string_view separator);
    Written child(const Entry& entry, bool last);
    Written open(PyObject* data, size_t indent);

    TextWriter out_;
    Array<char> indent_;    // a line break and the indentation of the level
    Array<Entry> entries_;  // the sorted entries of every level being written
    Array<Level> levels_;
    int depth_left_ = 0;
    // The last class written, and where its text is in `out_`.
    Borrowed last_class_;
    size_t class_at_ = 0;
    size_t class_length_ = 0;
};

// str() of a class: "<class 'module.qualname'>", or "<class 'qualname'>"
// for a builtin, which these are not. While its text is one line, the next
// leaf of the same class copies it: nothing can change a class meanwhile.
Written InertRenderer::class_text(PyObject* cls, std::string_view separator) {
    if (cls == last_class_.get()) {
        return written(out_.repeat(class_at_, class_length_));
    }
    const Inert<ClassNames> inert = inert_class_names(cls);
    const ClassNames& names = inert.value;
    // The module's name is a str when the names are found.
    if (!inert.found() || PyUnicode_CompareWithASCIIString(names.module, "builtins") == 0) {
        return {};
    }
    const size_t at = out_.size();
    if (!out_.ascii("<class '") || !lines(names.module, separator) || !out_.ascii(".") ||
        !lines(names.qualname, separator) || !out_.ascii("'>")) {
        return written(false);
    }
    const size_t length = out_.size() - at;
    // A line break would have added a prefix to the pieces.
    if (length == static_cast<size_t>(11 + PyUnicode_GET_LENGTH(names.module) +
                                      PyUnicode_GET_LENGTH(names.qualname))) {
        last_class_ = Borrowed(cls);
        class_at_ = at;
        class_length_ = length;
    }
    return written(true);
}

// " = " and str() of a true leaf, its further lines after `separator`.
Written InertRenderer::leaf(PyObject* value, std::string_view separator) {
    if (!out_.ascii(tree_format::kEquals)) {
        return written(false);
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
        char digits[24];
        const int length = std::snprintf(digits, sizeof digits, "%lld", number);
        return overflow != 0 ? Written{}
                             : written(out_.ascii({digits, static_cast<size_t>(length)}));
    }
    return class_text(value, separator);
}

Written InertRenderer::child(const Entry& entry, bool last) {
    PyObject* value = entry.value.get();
    const Inert<bool> truth = inert_truth(value);
    if (truth.unknown()) {
        return {};
    }
    // The first line of the child's block: its prefix, then unless the
    // block is empty, "__ " and the key.
    if (!out_.ascii({indent_.begin(), indent_.size()}) || !out_.ascii(tree_format::kBar)) {
        return written(false);
    }
    if (!truth.value) {
        return written(true);
    }
    const std::string_view separator = last ? tree_format::kBlank : tree_format::kBar;
    if (!out_.ascii(tree_format::kConnector) || !lines(entry.key.get(), separator)) {
        return written(false);
    }
    if (!PyDict_CheckExact(value)) {
        return leaf(value, separator);
    }
    const size_t indent = indent_.size();
    return indent_.append(separator.data(), separator.size()) ? open(value, indent)
                                                              : written(false);
}

// A non-empty dict begins: its entries, in the order of their keys.
Written InertRenderer::open(PyObject* data, size_t indent) {
    if (static_cast<int>(levels_.size()) >= depth_left_) {
        // Every step before succeeded: no exception is set.
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return written(false);
    }
    const size_t base = entries_.size();
    if (!entries_.reserve(base + static_cast<size_t>(PyDict_GET_SIZE(data)))) {
        return written(false);
    }
    const auto keep = [&](PyObject* key, PyObject* value) {
        entries_.push(Entry{Borrowed(key), Borrowed(value)});  // within the room reserved
    };
    if (visit_inert_entries(data, keep) == Told::unknown) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(data, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return {};
            }
            keep(key, value);
        }
    }
    // No key is equal to another.
    std::sort(entries_.begin() + base, entries_.end(),
              [](const Entry& a, const Entry& b) { return text_less(a.key.get(), b.key.get()); });
    return written(levels_.push(Level{base, entries_.size() - base, 0, indent}));
}

}  // namespace

Inert<Ref> render_inertly(PyObject* data, PyObject* output) {
    InertRenderer renderer;
    return renderer.render(data, output);
}

}  // namespace telvar
