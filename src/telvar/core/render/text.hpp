// The tree's text format, and the one writer of the renderers' text.
//
// A line of the tree is its prefix (one step per level: "  |" or "  "),
// then "__ " and a key or the caller's `output`, then for a leaf " = " and
// the leaf's text. A line break inside a key, an output or a leaf's text
// begins a further line, which gets the prefix of the child's further
// lines. Both renderers write through this header, so the format is
// spelled here only.
#pragma once

#include "calls.hpp"
#include "render/array.hpp"

#include <cstdint>
#include <cstring>

namespace telvar {

// One indentation step.
enum class Indent : uint8_t { none, bar, blank };

// What a piece of a line writes before its text.
enum class Lead : uint8_t { none, connector, equals };

namespace tree_format {

// The texts themselves are spelled in names.hpp (TELVAR_TREE_TEXTS).
constexpr char kBreak = tree_texts::newline[0];
static_assert(sizeof tree_texts::newline == 2, "a line break is one character");

template <size_t size>
constexpr Py_ssize_t length_of(const char (&/*text*/)[size]) {
    return static_cast<Py_ssize_t>(size - 1);
}

constexpr Py_ssize_t kLeadLength = length_of(tree_texts::connector);
static_assert(length_of(tree_texts::equals) == kLeadLength, "both leads are equally long");

// Whether `whole` is `head` followed by `tail`.
constexpr bool is_joined(const char* whole, const char* head, const char* tail) {
    while (*head != '\0') {
        if (*whole++ != *head++) {
            return false;
        }
    }
    while (*tail != '\0') {
        if (*whole++ != *tail++) {
            return false;
        }
    }
    return *whole == '\0';
}
static_assert(is_joined(tree_texts::newline_bar, tree_texts::newline, tree_texts::bar));
static_assert(is_joined(tree_texts::newline_blank, tree_texts::newline, tree_texts::blank));

// Before a child's first line, and before the further lines of a child
// that is not the last: bar; the further lines of the last child: blank.
inline const char* step_text(Indent step) {
    return step == Indent::bar ? tree_texts::bar : step == Indent::blank ? tree_texts::blank : "";
}
inline Py_ssize_t step_length(Indent step) {
    return step == Indent::bar     ? length_of(tree_texts::bar)
           : step == Indent::blank ? length_of(tree_texts::blank)
                                   : 0;
}
inline const char* lead_text(Lead lead) {
    return lead == Lead::connector ? tree_texts::connector : tree_texts::equals;
}

}  // namespace tree_format

// The first line break in text[start:end], or -1. Any str, read by its own
// kind; runs no Python code.
Py_ssize_t find_break(PyObject* text, Py_ssize_t start, Py_ssize_t end);

// Collects text of any width from str objects (exact or not: each is read
// by its own kind) and ASCII pieces. The buffer widens when a wider text
// arrives; the result is made in the narrowest form its characters allow.
class TextWriter {
  public:
    TextWriter() = default;
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    TextWriter(TextWriter&&) = delete;
    TextWriter& operator=(TextWriter&&) = delete;
    ~TextWriter() { PyMem_Free(data_); }

    // text[start:end] of a str.
    TELVAR_ALWAYS_INLINE bool text(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        const int kind = PyUnicode_KIND(text);
        const auto count = static_cast<size_t>(end - start);
        if (count == 0) {
            return true;  // nothing to widen to, nor room to make
        }
        if ((kind > kind_ || size_ + count > capacity_) && !make_room(count, kind)) {
            return false;
        }
        put(kind, static_cast<const char*>(PyUnicode_DATA(text)) + start * kind, count);
        return true;
    }
    bool text(PyObject* text) { return this->text(text, 0, PyUnicode_GET_LENGTH(text)); }

    TELVAR_ALWAYS_INLINE bool ascii(const char* chars, size_t count) {
        if (size_ + count > capacity_ && !make_room(count, 1)) {
            return false;
        }
        put(1, chars, count);
        return true;
    }
    bool ascii(const char* chars) { return ascii(chars, std::strlen(chars)); }
    bool line_break() { return ascii("\n", 1); }
    bool step(Indent step) {
        return ascii(tree_format::step_text(step),
                     static_cast<size_t>(tree_format::step_length(step)));
    }
    bool lead(Lead lead) {
        return lead == Lead::none ||
               ascii(tree_format::lead_text(lead), static_cast<size_t>(tree_format::kLeadLength));
    }

    // text[start:end] as lines: after each line break in it,
    // `next_prefix()` writes the prefix of the line that begins.
    template <class NextPrefix>
    bool lines(PyObject* text, Py_ssize_t start, Py_ssize_t end, NextPrefix&& next_prefix) {
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
    TELVAR_ALWAYS_INLINE void put(int kind, const char* chars, size_t count) {
        if (count == 0) {
            return;  // the buffer may not exist yet
        }
        char* at = data_ + size_ * static_cast<size_t>(kind_);
        if (kind == kind_) {
            std::memcpy(at, chars, count * static_cast<size_t>(kind));
        } else {
            widen(kind, chars, at, count);
        }
        size_ += count;
    }
    void widen(int kind, const char* chars, char* at, size_t count) const;
    bool make_room(size_t count, int kind);

    char* data_ = nullptr;
    size_t size_ = 0;      // in characters
    size_t capacity_ = 0;  // in characters
    int kind_ = PyUnicode_1BYTE_KIND;
};

}  // namespace telvar
