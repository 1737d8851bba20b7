// A growable array of plain values on the Python allocator, for the tree
// renderers: no C++ exceptions, and a failed allocation leaves MemoryError
// set.
#pragma once

#include "internals/versions.hpp"

#include <cstring>
#include <type_traits>

namespace telvar {

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
            PyErr_NoMemory();
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

}  // namespace telvar
