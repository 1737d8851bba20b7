// The writer of the renderers' text and the search for line breaks.
#include "render/text.hpp"

#include <algorithm>

namespace telvar {

namespace {

template <class Char>
Py_ssize_t find_in(const void* data, Py_ssize_t start, Py_ssize_t end) {
    const auto* chars = static_cast<const Char*>(data);
    for (Py_ssize_t i = start; i < end; ++i) {
        if (chars[i] == static_cast<Char>(tree_format::kBreak)) {
            return i;
        }
    }
    return -1;
}

template <class From, class To>
void widen_chars(const void* from, void* to, size_t count) {
    const auto* source = static_cast<const From*>(from);
    auto* target = static_cast<To*>(to);
    for (size_t i = 0; i < count; ++i) {
        target[i] = source[i];
    }
}

// Copies `count` characters of kind `from_kind` as the wider `to_kind`.
void widen_into(int from_kind, const void* from, int to_kind, void* to, size_t count) {
    if (from_kind == PyUnicode_1BYTE_KIND && to_kind == PyUnicode_2BYTE_KIND) {
        widen_chars<Py_UCS1, Py_UCS2>(from, to, count);
    } else if (from_kind == PyUnicode_1BYTE_KIND) {
        widen_chars<Py_UCS1, Py_UCS4>(from, to, count);
    } else {
        widen_chars<Py_UCS2, Py_UCS4>(from, to, count);
    }
}

}  // namespace

Py_ssize_t find_break(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: {
            const auto* chars = static_cast<const char*>(data);
            const void* found = std::memchr(chars + start, tree_format::kBreak,
                                            static_cast<size_t>(end - start));
            return found == nullptr ? -1 : static_cast<const char*>(found) - chars;
        }
        case PyUnicode_2BYTE_KIND:
            return find_in<Py_UCS2>(data, start, end);
        default:
            return find_in<Py_UCS4>(data, start, end);
    }
}

void TextWriter::widen(int kind, const char* chars, char* at, size_t count) const {
    widen_into(kind, chars, kind_, at, count);
}

bool TextWriter::make_room(size_t count, int kind) {
    const int new_kind = std::max(kind, kind_);
    size_t capacity = std::max<size_t>(capacity_, 256);
    while (capacity < size_ + count) {
        capacity *= 2;
    }
    if (new_kind == kind_ && capacity == capacity_) {
        return true;
    }
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / 4) {
        PyErr_NoMemory();
        return false;
    }
    const size_t bytes = capacity * static_cast<size_t>(new_kind);
    if (new_kind == kind_) {
        auto* data = static_cast<char*>(PyMem_Realloc(data_, bytes));
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = data;
    } else {
        auto* data = static_cast<char*>(PyMem_Malloc(bytes));
        if (data == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (size_ > 0) {
            widen_into(kind_, data_, new_kind, data, size_);
        }
        PyMem_Free(data_);
        data_ = data;
        kind_ = new_kind;
    }
    capacity_ = capacity;
    return true;
}

Ref TextWriter::finish() {
    static const char kNothing[4] = {};
    // The written characters may all be narrower than the widest text
    // they were cut from: the str is made in the form they need.
    Ref text = Ref::steal(PyUnicode_FromKindAndData(kind_, size_ > 0 ? data_ : kNothing,
                                                    static_cast<Py_ssize_t>(size_)));
    size_ = 0;
    return text;
}

}  // namespace telvar
