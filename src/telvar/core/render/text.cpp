// The writer of the renderers' text.
#include "render/text.hpp"

#include <algorithm>

namespace telvar {

namespace {

template <class From, class To>
void widen_chars(const void* from, void* to, size_t count) {
    std::copy_n(static_cast<const From*>(from), count, static_cast<To*>(to));
}

}  // namespace

void widen_into(int from_kind, const void* from, int to_kind, void* to, size_t count) {
    if (from_kind == PyUnicode_1BYTE_KIND && to_kind == PyUnicode_2BYTE_KIND) {
        widen_chars<Py_UCS1, Py_UCS2>(from, to, count);
    } else if (from_kind == PyUnicode_1BYTE_KIND) {
        widen_chars<Py_UCS1, Py_UCS4>(from, to, count);
    } else {
        widen_chars<Py_UCS2, Py_UCS4>(from, to, count);
    }
}

// The renderers write only while no exception is set, so MemoryError
// replaces none.
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
    // A wider buffer is a new one, the characters widened into it.
    const size_t bytes = capacity * static_cast<size_t>(new_kind);
    auto* data = static_cast<char*>(new_kind == kind_ ? PyMem_Realloc(data_, bytes)
                                                      : PyMem_Malloc(bytes));
    if (data == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    if (new_kind != kind_) {
        if (size_ > 0) {
            widen_into(kind_, data_, new_kind, data, size_);
        }
        PyMem_Free(data_);
        kind_ = new_kind;
    }
    data_ = data;
    capacity_ = capacity;
    return true;
}

Ref TextWriter::finish() {
    static const char kNothing[4] = {};
    // ASCII throughout: the form is known, no search for the widest
    // character. Otherwise the written characters may all be narrower than
    // the widest text they were cut from: the str is made in the form they
    // need.
    const auto size = static_cast<Py_ssize_t>(size_);
    Ref text = Ref::steal(
        ascii_ ? PyUnicode_New(size, 0x7f)
               : PyUnicode_FromKindAndData(kind_, size > 0 ? data_ : kNothing, size));
    if (ascii_ && text && size > 0) {
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), data_, size_);
    }
    size_ = 0;
    ascii_ = true;
    return text;
}

}  // namespace telvar
