// The tree's text format, the one writer of the renderers' text, and the
// inert renderer's entry.
//
// A line of the tree is its prefix (one step per level: "  |" or "  "),
// then "__ " and a key or the caller's `output`, then for a leaf " = " and
// the leaf's text. A line break inside a key, an output or a leaf's text
// begins a further line, which gets the prefix of the child's further
// lines. Both renderers write through this header, so the format is
// spelled here only.
#pragma once

#include "calls/calls.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace telvar {

namespace tree_format {

// The texts themselves are spelled in names.hpp (TELVAR_TREE_TEXTS).
constexpr char kBreak = tree_texts::newline[0];
static_assert(sizeof tree_texts::newline == 2, "a line break is one character");

constexpr bool is_joined(std::string_view whole, std::string_view head, std::string_view tail) {
    return whole.size() == head.size() + tail.size() && whole.starts_with(head) &&
           whole.ends_with(tail);
}
static_assert(is_joined(tree_texts::newline_bar, tree_texts::newline, tree_texts::bar));
static_assert(is_joined(tree_texts::newline_blank, tree_texts::newline, tree_texts::blank));

constexpr std::string_view kConnector = tree_texts::connector;
constexpr std::string_view kEquals = tree_texts::equals;
constexpr std::string_view kBar = tree_texts::bar;
constexpr std::string_view kBlank = tree_texts::blank;

}  // namespace tree_format

template <class Char>
TELVAR_ALWAYS_INLINE Py_ssize_t find_in(const void* data, Py_ssize_t start, Py_ssize_t end) {
    const auto* chars = static_cast<const Char*>(data);
    for (Py_ssize_t i = start; i < end; ++i) {
        if (chars[i] == Char{tree_format::kBreak}) {
            return i;
        }
    }
    return -1;
}

// The first line break in text[start:end], or -1. Any str, read by its own
// kind; a short one is searched here, without a call.
TELVAR_ALWAYS_INLINE Py_ssize_t find_break(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: {
            if (end - start < 32) {
                return find_in<Py_UCS1>(data, start, end);
            }
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

// `a < b` for two exact str (the callers check): code point order, str's
// own. Two one-byte texts, the common keys, are compared here, without a
// call; others by PyUnicode_Compare, inert on two str.
TELVAR_ALWAYS_INLINE bool text_less(PyObject* a, PyObject* b) {
    if (PyUnicode_KIND(a) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(b) != PyUnicode_1BYTE_KIND) {
        return PyUnicode_Compare(a, b) < 0;
    }
    const Py_UCS1* left = PyUnicode_1BYTE_DATA(a);
    const Py_UCS1* right = PyUnicode_1BYTE_DATA(b);
    const Py_ssize_t length = std::min(PyUnicode_GET_LENGTH(a), PyUnicode_GET_LENGTH(b));
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (left[i] != right[i]) {
            return left[i] < right[i];
        }
    }
    return PyUnicode_GET_LENGTH(a) < PyUnicode_GET_LENGTH(b);
}

// A growable array of plain values on the Python allocator: no C++
// exceptions, and a failed allocation leaves MemoryError set.
template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T>, "items are moved by their bytes");

  public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { PyMem_Free(items_); }

    bool push(const T& item) {
        return (size_ < capacity_ || reserve(size_ + 1)) && (items_[size_++] = item, true);
    }
    T& operator[](size_t i) { return items_[i]; }
    T* begin() { return items_; }
    T* end() { return items_ + size_; }
    size_t size() const { return size_; }

    bool append(const T* items, size_t count) {
        if (!reserve(size_ + count)) {
            return false;
        }
        if (count > 0) {
            std::memcpy(static_cast<void*>(items_ + size_), items, count * sizeof(T));
            size_ += count;
        }
        return true;
    }
    // Room for `size` items.
    bool reserve(size_t size) {
        if (size <= capacity_) {
            return true;
        }
        size_t capacity = capacity_ == 0 ? 32 : capacity_ * 2;
        while (capacity < size) {
            capacity *= 2;
        }
        auto* items = static_cast<T*>(PyMem_Realloc(items_, capacity * sizeof(T)));
        if (items == nullptr) {
            PyErr_NoMemory();  // the renderers write only while no exception is set
            return false;
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }
    void truncate(size_t size) { size_ = size; }

  private:
    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Copies `count` characters of kind `from_kind` as the wider `to_kind`.
void widen_into(int from_kind, const void* from, int to_kind, void* to, size_t count);

// Collects text of any width from str objects (exact or not: each is read
// by its own kind) and ASCII pieces. The buffer widens when a wider text
// arrives; the result is made in the narrowest form its characters allow.
class TextWriter {
  public:
    TextWriter() = default;
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter() { PyMem_Free(data_); }

    // text[start:end] of a str.
    TELVAR_ALWAYS_INLINE bool text(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        const int kind = PyUnicode_KIND(text);
        ascii_ = ascii_ && PyUnicode_IS_ASCII(text);
        return write(kind, static_cast<const char*>(PyUnicode_DATA(text)) + start * kind,
                     static_cast<size_t>(end - start));
    }
    bool text(PyObject* text) { return this->text(text, 0, PyUnicode_GET_LENGTH(text)); }
    TELVAR_ALWAYS_INLINE bool ascii(std::string_view chars) {
        return write(PyUnicode_1BYTE_KIND, chars.data(), chars.size());
    }

    // Writes again the `count` characters written from `start` on; the room
    // first, as they are read from the buffer.
    bool repeat(size_t start, size_t count) {
        return (size_ + count <= capacity_ || make_room(count, kind_)) &&
               write(kind_, data_ + start * static_cast<size_t>(kind_), count);
    }
    size_t size() const { return size_; }

    // A str as lines: after each line break in it, `next_prefix()` writes
    // the prefix of the line that begins.
    template <class NextPrefix>
    TELVAR_ALWAYS_INLINE bool lines(PyObject* text, NextPrefix&& next_prefix) {
        const Py_ssize_t end = PyUnicode_GET_LENGTH(text);
        Py_ssize_t start = 0;
        for (Py_ssize_t at; (at = find_break(text, start, end)) >= 0; start = at + 1) {
            if (!this->text(text, start, at + 1) || !next_prefix()) {
                return false;
            }
        }
        return this->text(text, start, end);
    }

    // The text written, as a new str; the writer is left empty.
    Ref finish();

  private:
    TELVAR_ALWAYS_INLINE bool write(int kind, const char* chars, size_t count) {
        if (count == 0) {
            return true;  // nothing to widen to, nor room to make
        }
        if ((kind > kind_ || size_ + count > capacity_) && !make_room(count, kind)) {
            return false;
        }
        char* at = data_ + size_ * static_cast<size_t>(kind_);
        if (kind == kind_) {
            std::memcpy(at, chars, count * static_cast<size_t>(kind));
        } else {
            widen_into(kind, chars, kind_, at, count);
        }
        size_ += count;
        return true;
    }
    bool make_room(size_t count, int kind);

    char* data_ = nullptr;
    size_t size_ = 0;      // in characters
    size_t capacity_ = 0;  // in characters
    int kind_ = PyUnicode_1BYTE_KIND;
    bool ascii_ = true;  // every character written is ASCII
};

// print_tree(data, output) of a non-empty exact dict, rendered by the
// module's own print_tree in one pass (inert.cpp), when every step of the
// rule runs no Python code: found with the text (null with an exception
// set), or unknown when a step would run Python code (nothing observable
// has been done then; the general renderer starts over).
Inert<Ref> render_inertly(PyObject* data, PyObject* output);

}  // namespace telvar
