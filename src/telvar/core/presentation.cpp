// Presentation: the registry tree rendered as indented text, and the
// manager's summary representation built on it.
#include "common.hpp"

#include <cstdint>
#include <cstring>

namespace telvar {

namespace {

// Objects whose truth, str() and comparison with {} run no Python code.
bool is_inert(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
           PyLong_CheckExact(obj) || Py_IS_TYPE(obj, &PyType_Type) || PyDict_CheckExact(obj);
}

// Equality of two exact str.
bool same_text(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// print_tree's answer for an empty or false value: 1 when it renders as the
// empty str, 0 when not, -1 on error.
int renders_empty(PyObject* data) {
    const int truth = is_true(data);
    if (truth <= 0) {
        return truth < 0 ? -1 : 1;
    }
    if (is_inert(data)) {
        return 0;  // a true inert value never equals {}
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

// --- direct rendering ----------------------------------------------------------
//
// When a child's print_tree is the module's own, its block need not be built
// as a string and split again by the parent: the renderer writes every line
// once, with the whole prefix of its depth, into one text buffer. The
// text is the one the general algorithm gives. Python code that may run on
// the way (a key's comparison, a value's str(), an override) can rebind
// print_tree, so its resolution is repeated after any such step.

// The keys of a dict in ascending order, as sorted(data.keys()) gives them.
// A small plain dict of exact str keys is sorted in place, without a list.
class SortedKeys {
  public:
    bool all_plain = true;  // a plain dict whose keys are all exact str

    bool collect(PyObject* data) {
        if (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) <= kSmall && collect_small(data)) {
            return true;
        }
        list_ = sorted_keys_of(data);
        if (!list_) {
            return false;
        }
        const Py_ssize_t count = PyList_GET_SIZE(list_.get());
        if (count == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return false;
        }
        // Sorting exact str keys of a plain dict ran no Python code.
        all_plain = PyDict_CheckExact(data);
        for (Py_ssize_t i = 0; all_plain && i < count; ++i) {
            all_plain = PyUnicode_CheckExact(PyList_GET_ITEM(list_.get(), i));
        }
        return true;
    }

    Py_ssize_t count() const { return list_ ? PyList_GET_SIZE(list_.get()) : small_count_; }
    // Borrowed: the keys are held here.
    PyObject* operator[](Py_ssize_t i) const {
        return list_ ? PyList_GET_ITEM(list_.get(), i) : small_[i].get();
    }

  private:
    static constexpr Py_ssize_t kSmall = 8;

    bool collect_small(PyObject* data) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        small_count_ = 0;
        while (PyDict_Next(data, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                for (Py_ssize_t i = 0; i < small_count_; ++i) {
                    small_[i] = Ref();
                }
                return false;
            }
            // Insertion sort by code point, which is str's own order.
            Py_ssize_t at = small_count_++;
            Ref held = Ref::hold(key);
            while (at > 0 && PyUnicode_Compare(small_[at - 1].get(), key) > 0) {
                small_[at] = std::move(small_[at - 1]);
                --at;
            }
            small_[at] = std::move(held);
        }
        return small_count_ > 0;
    }

    Ref list_;
    Ref small_[kSmall];
    Py_ssize_t small_count_ = 0;
};

// The text of a rendering, collected piece by piece: in one growing byte
// buffer while every piece is one-byte text (the usual case), then as a list
// of pieces once a wider one appears.
class TextBuffer {
  public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { PyMem_Free(bytes_); }

    // text[start:end]
    bool append(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        if (end <= start) {
            return true;
        }
        if (!wide_ && PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
            const auto length = static_cast<size_t>(end - start);
            if (size_ + length > capacity_ && !grow(length)) {
                return false;
            }
            std::memcpy(bytes_ + size_, PyUnicode_1BYTE_DATA(text) + start, length);
            size_ += length;
            return true;
        }
        if (!wide_ && !switch_to_list()) {
            return false;
        }
        Ref piece = start == 0 && end == PyUnicode_GET_LENGTH(text)
                        ? Ref::hold(text)
                        : Ref::steal(PyUnicode_Substring(text, start, end));
        return piece && PyList_Append(pieces_.get(), piece.get()) == 0;
    }

    bool append(PyObject* text) { return append(text, 0, PyUnicode_GET_LENGTH(text)); }

    Ref finish() {
        if (!wide_) {
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, bytes_,
                                                        static_cast<Py_ssize_t>(size_)));
        }
        return Ref::steal(PyUnicode_Join(names.empty, pieces_.get()));
    }

  private:
    bool grow(size_t more) {
        size_t capacity = capacity_ == 0 ? 4096 : capacity_;
        while (capacity < size_ + more) {
            capacity *= 2;
        }
        auto* bytes = static_cast<Py_UCS1*>(PyMem_Realloc(bytes_, capacity));
        if (bytes == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        bytes_ = bytes;
        capacity_ = capacity;
        return true;
    }

    // The text so far becomes the first piece of the list.
    bool switch_to_list() {
        pieces_ = Ref::steal(PyList_New(0));
        if (!pieces_) {
            return false;
        }
        Ref head = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, bytes_,
                                                        static_cast<Py_ssize_t>(size_)));
        if (!head || PyList_Append(pieces_.get(), head.get()) < 0) {
            return false;
        }
        wide_ = true;
        return true;
    }

    Py_UCS1* bytes_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool wide_ = false;
    Ref pieces_;
};

class DirectRenderer {
  public:
    explicit DirectRenderer(PyObject* self) : self_(self) {}

    bool start() {
        class_texts_ = Ref::steal(PyDict_New());
        return static_cast<bool>(class_texts_);
    }

    // print_tree(data, output) for a non-empty dict and an exact str output.
    Ref render(PyObject* data, PyObject* output) {
        if (!dict_block(data, nullptr, output, names.empty, names.newline)) {
            return {};
        }
        return text_.finish();
    }

  private:
    bool append(PyObject* piece) { return text_.append(piece); }

    // Python code may have run: what was resolved or cached may be stale.
    void ran_python() {
        resolved_ = false;
        PyDict_Clear(class_texts_.get());
    }

    // `text`, its first line after `first` and every further line after `rest`.
    bool write_text(PyObject* text, PyObject* first, PyObject* rest) {
        if (PyUnicode_GET_LENGTH(first) > 0 && !append(first)) {
            return false;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND &&
            std::memchr(PyUnicode_DATA(text), '\n', static_cast<size_t>(length)) == nullptr) {
            return length == 0 || append(text);
        }
        Py_ssize_t line_start = 0;
        Py_ssize_t newline = PyUnicode_FindChar(text, '\n', 0, length, 1);
        if (newline == -1) {
            return length == 0 || append(text);
        }
        while (true) {
            if (newline < -1) {
                return false;
            }
            const Py_ssize_t line_end = newline == -1 ? length : newline;
            if (!text_.append(text, line_start, line_end)) {
                return false;
            }
            if (newline == -1) {
                return true;
            }
            if (!append(rest)) {
                return false;
            }
            line_start = newline + 1;
            newline = PyUnicode_FindChar(text, '\n', line_start, length, 1);
        }
    }

    // The prefixes of the children of a node whose further lines follow
    // `rest`: rest + "  |" and rest + "  ", made once per distinct `rest`.
    struct Prefixes {
        Ref rest;  // held, so that its address names it
        Ref bar;
        Ref blank;
    };

    const Prefixes* prefixes(PyObject* rest) {
        Prefixes& slot = prefixes_[(reinterpret_cast<uintptr_t>(rest) >> 4) %
                                   (sizeof prefixes_ / sizeof prefixes_[0])];
        if (slot.rest.get() != rest) {
            slot.bar = Ref::steal(PyUnicode_FromFormat("%U  |", rest));
            slot.blank = Ref::steal(PyUnicode_FromFormat("%U  ", rest));
            if (!slot.bar || !slot.blank) {
                slot.rest = Ref();
                return nullptr;
            }
            slot.rest = Ref::hold(rest);
        }
        return &slot;
    }

    // str(value); a class's text is kept while no Python code runs.
    Ref value_text(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            return Ref::hold(value);
        }
        if (!Py_IS_TYPE(value, &PyType_Type)) {
            if (!is_inert(value)) {
                ran_python();
            }
            return Ref::steal(PyObject_Str(value));
        }
        PyObject* known = PyDict_GetItemWithError(class_texts_.get(), value);  // borrowed
        if (known != nullptr || PyErr_Occurred()) {
            return Ref::hold(known);
        }
        Ref text = Ref::steal(PyObject_Str(value));
        if (!text || PyDict_SetItem(class_texts_.get(), value, text.get()) < 0) {
            return {};
        }
        return text;
    }

    // The first line of a block: `head` (if any) and `name`, after `first`.
    bool write_label(PyObject* head, PyObject* name, PyObject* first, PyObject* rest) {
        if (PyUnicode_GET_LENGTH(first) > 0 && !append(first)) {
            return false;
        }
        return (head == nullptr || append(head)) && write_text(name, names.empty, rest);
    }

    // The block of the child under `key`, as self.print_tree(data=child,
    // output="__ " + key) gives it.
    bool child_block(PyObject* child, PyObject* key, PyObject* first, PyObject* rest) {
        if (!resolved_) {
            if (!print_tree_.lookup(self_, names.print_tree)) {
                return false;
            }
            own_ = print_tree_.resolves_to(Fn::print_tree);
            resolved_ = true;
        }
        if (own_ && PyUnicode_CheckExact(key)) {
            if (!is_inert(child)) {
                ran_python();
            }
            const int empty = renders_empty(child);
            if (empty != 0) {
                // An empty block is one empty line: the prefix alone.
                return empty > 0 && append(first);
            }
            if (PyDict_Check(child)) {
                return dict_block(child, names.connector, key, first, rest);
            }
            Ref text = value_text(child);
            return text && write_label(names.connector, key, first, rest) && append(names.equals) &&
                   write_text(text.get(), names.empty, rest);
        }
        // An override (or an odd key) renders this child: its block is
        // indented line by line.
        ran_python();
        Ref label = Ref::steal(PyNumber_Add(names.connector, key));
        if (!label) {
            return false;
        }
        PyObject* stack[] = {self_, child, label.get()};
        Ref block = print_tree_.call(stack, 1, names.kw_data_output, Fn::print_tree, stack);
        ran_python();
        if (!block) {
            return false;
        }
        if (PyUnicode_CheckExact(block.get())) {
            return write_text(block.get(), first, rest);
        }
        return foreign_block(block.get(), first, rest);
    }

    // A block that is not a plain str, joined the way the general algorithm
    // joins it: split at line breaks, each line added to its prefix.
    bool foreign_block(PyObject* block, PyObject* first, PyObject* rest) {
        Ref lines = Ref::steal(PyObject_CallMethodOneArg(block, names.split, names.newline));
        Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
        if (!iterator) {
            return false;
        }
        bool first_line = true;
        while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref piece = Ref::steal(PyNumber_Add(first_line ? first : rest, line.get()));
            first_line = false;
            if (!piece) {
                return false;
            }
            if (!PyUnicode_Check(piece.get())) {
                // What `output + piece` raises for a piece that is not a str.
                PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                             Py_TYPE(piece.get())->tp_name);
                return false;
            }
            if (!write_text(piece.get(), names.empty, names.newline)) {
                return false;
            }
        }
        return !PyErr_Occurred();
    }

    bool dict_block(PyObject* data, PyObject* head, PyObject* name, PyObject* first,
                    PyObject* rest) {
        if (Py_EnterRecursiveCall(" while rendering a plugin tree")) {
            return false;
        }
        const bool written = dict_lines(data, head, name, first, rest);
        Py_LeaveRecursiveCall();
        return written;
    }

    bool dict_lines(PyObject* data, PyObject* head, PyObject* name, PyObject* first,
                    PyObject* rest) {
        if (!write_label(head, name, first, rest)) {
            return false;
        }
        SortedKeys keys;
        if (!keys.collect(data)) {
            return false;
        }
        if (!keys.all_plain) {
            ran_python();  // keys() or comparisons of other objects
        }
        const Py_ssize_t count = keys.count();
        PyObject* last_key = keys[count - 1];
        const Prefixes* made = prefixes(rest);
        if (made == nullptr) {
            return false;
        }
        // Held here: the slot may be reused for another prefix below.
        Ref bar = Ref::hold(made->bar.get());
        Ref blank = Ref::hold(made->blank.get());
        const bool plain_dict = PyDict_CheckExact(data);
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref key = Ref::hold(keys[i]);
            const bool plain_key = PyUnicode_CheckExact(key.get());
            Ref child;
            if (plain_dict && plain_key) {
                child = Ref::hold(PyDict_GetItemWithError(data, key.get()));
            }
            if (!child) {
                if (PyErr_Occurred()) {
                    return false;
                }
                ran_python();
                child = Ref::steal(PyObject_GetItem(data, key.get()));
                if (!child) {
                    return false;
                }
            }
            int is_last;
            if (plain_key && PyUnicode_CheckExact(last_key)) {
                is_last = same_text(key.get(), last_key);
            } else {
                is_last = PyObject_RichCompareBool(key.get(), last_key, Py_EQ);
                if (is_last < 0) {
                    return false;
                }
            }
            if (!child_block(child.get(), key.get(), bar.get(),
                             is_last ? blank.get() : bar.get())) {
                return false;
            }
        }
        return true;
    }

    PyObject* self_;
    TextBuffer text_;
    Prefixes prefixes_[32];
    Ref class_texts_;
    Method print_tree_;
    bool resolved_ = false;
    bool own_ = false;
};

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
    if (PyUnicode_CheckExact(output)) {
        DirectRenderer renderer(self);
        return renderer.start() ? renderer.render(data, output).release() : nullptr;
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
