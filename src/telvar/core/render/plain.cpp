// The plain renderer. A tree of exact dicts with exact str keys, whose
// leaves are exact str, True, integers of a machine word, or classes whose
// str() reads nothing that can run Python code, rendered with an exact str
// `output` by the module's own print_tree: the rule's every step on it
// (truth tests, comparisons with {}, the sort, the look-ups, str(), the
// concatenations) runs no Python code. Its text is written here in one
// pass, every prefix known as it is written, and no object is made until
// the text itself; so the pointers read from the dicts stay valid
// throughout (checked builds verify it through `Borrowed`).
//
// At anything else it gives up at once, having made no call that Python
// code can observe.
#include "render/plain.hpp"

#include "render/text.hpp"

#include <algorithm>

namespace telvar {

namespace {

constexpr int kNotPlain = 0;
constexpr int kDone = 1;
constexpr int kError = -1;

struct Entry {
    Borrowed key;
    Borrowed value;
};

// `name` in a class's dict, found without running Python code: 1 with
// *value (borrowed), 0 when absent, -1 when a key of the dict could run
// Python code when compared.
int find_quietly(PyObject* dict, PyObject* name, PyObject** value) {
    const int peeked = peek_str_key(dict, name, value);
    if (peeked >= 0) {
        return peeked;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* found = nullptr;
    int answer = 0;
    while (PyDict_Next(dict, &pos, &key, &found)) {
        if (!PyUnicode_CheckExact(key)) {
            return -1;  // the look-up may compare `name` with it
        }
        if (same_text(key, name)) {
            *value = found;
            answer = 1;
        }
    }
    return answer;
}

// The parts of str(cls), "<class '" module "." qualname "'>", when taking
// str() of it runs no Python code: a class of metaclass `type` itself,
// defined in Python, whose __module__ is found in its dict without running
// Python code and is a str other than "builtins".
bool quiet_class_text(PyObject* cls, PyObject** module, PyObject** qualname) {
    if (!Py_IS_TYPE(cls, &PyType_Type) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    *qualname = reinterpret_cast<PyHeapTypeObject*>(cls)->ht_qualname;
    return type_dict != nullptr && find_quietly(type_dict, names.dunder_module, module) > 0 &&
           PyUnicode_Check(*module) && PyUnicode_CompareWithASCIIString(*module, "builtins") != 0 &&
           PyUnicode_Check(*qualname);
}

class PlainRenderer {
  public:
    explicit PlainRenderer(PyThreadState* thread)
        : thread_(thread != nullptr ? thread : current_thread()) {}

    int render(PyObject* data, PyObject* output, Ref& text) {
        if (!PyUnicode_CheckExact(output)) {
            return kNotPlain;  // its `+` runs as the code it is
        }
        if (!out_.text(output)) {
            return kError;
        }
        const int done = dict_lines(data);
        if (done != kDone) {
            return done;
        }
        text = out_.finish();
        return text ? kDone : kError;
    }

  private:
    // The prefix of a line: the indentation of the level, then `step`.
    bool prefix(Step step) {
        return (indent_.size() == 0 || out_.ascii(&indent_[0], indent_.size())) && out_.step(step);
    }
    bool new_line(Step step) { return out_.line_break() && prefix(step); }
    // A str whose further lines belong to a child: after `separator`.
    bool lines(PyObject* text, Step separator) {
        return out_.lines(text, 0, PyUnicode_GET_LENGTH(text), [&] { return prefix(separator); });
    }

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
    int leaf(PyObject* value, Step separator);
    int child(const Entry& entry, bool last);
    int dict_lines(PyObject* data);
    int children(PyObject* data);

    PyThreadState* thread_;
    TextWriter out_;
    Array<char> indent_;
    Array<Entry> entries_;  // the sorted entries of every level being written
};

// " = " and str() of a true leaf, its further lines after `separator`.
int PlainRenderer::leaf(PyObject* value, Step separator) {
    if (!out_.lead(Lead::equals)) {
        return kError;
    }
    if (PyUnicode_CheckExact(value)) {
        return lines(value, separator) ? kDone : kError;
    }
    if (value == Py_True) {
        return out_.ascii("True") ? kDone : kError;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return kNotPlain;
        }
        return decimal(number) ? kDone : kError;
    }
    PyObject* module = nullptr;
    PyObject* qualname = nullptr;
    if (!quiet_class_text(value, &module, &qualname)) {
        return kNotPlain;
    }
    return out_.ascii("<class '") && lines(module, separator) && out_.ascii(".") &&
                   lines(qualname, separator) && out_.ascii("'>")
               ? kDone
               : kError;
}

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
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow != 0 ? -1 : number != 0 ? 1 : 0;
    }
    return value == Py_True || Py_IS_TYPE(value, &PyType_Type) ? 1 : -1;
}

int PlainRenderer::child(const Entry& entry, bool last) {
    PyObject* value = entry.value.get();
    const Step separator = last ? Step::blank : Step::bar;
    const int truth = plain_truth(value);
    if (truth < 0) {
        return kNotPlain;
    }
    if (!new_line(Step::bar)) {
        return kError;
    }
    if (truth == 0) {
        return kDone;  // the empty block: the prefix alone
    }
    if (!out_.lead(Lead::connector) || !lines(entry.key.get(), separator)) {
        return kError;
    }
    if (!PyDict_CheckExact(value)) {
        return leaf(value, separator);
    }
    const size_t depth = indent_.size();
    const auto step = static_cast<size_t>(tree_format::step_length(separator));
    if (!indent_.reserve(depth + step)) {
        return kError;
    }
    indent_.append(tree_format::step_text(separator), step);
    const int done = dict_lines(value);
    indent_.truncate(depth);
    return done;
}

int PlainRenderer::dict_lines(PyObject* data) {
    if (enter_level(thread_) == nullptr) {
        return kError;
    }
    const size_t base = entries_.size();
    const int done = children(data);
    entries_.truncate(base);
    leave_level(thread_);
    return done;
}

// The children of a non-empty dict, in the order of their keys.
int PlainRenderer::children(PyObject* data) {
    const size_t base = entries_.size();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return kNotPlain;
        }
        if (!entries_.push(Entry{Borrowed(key), Borrowed(value)})) {
            return kError;
        }
    }
    // Code point order, which is str's own; no key is equal to another.
    std::sort(entries_.begin() + base, entries_.end(), [](const Entry& a, const Entry& b) {
        return PyUnicode_Compare(a.key.get(), b.key.get()) < 0;
    });
    const size_t count = entries_.size() - base;
    for (size_t i = 0; i < count; ++i) {
        // A copy: the array may move while the child pushes its own.
        const Entry entry = entries_[base + i];
        const int done = child(entry, i + 1 == count);
        if (done != kDone) {
            return done;
        }
    }
    return kDone;
}

}  // namespace

int render_plainly(PyObject* data, PyObject* output, PyThreadState* thread, Ref& text) {
    PlainRenderer renderer(thread);
    return renderer.render(data, output, text);
}

}  // namespace telvar
