// A growable array on the Python allocator, for the tree renderers: no C++
// exceptions, and a failed allocation leaves MemoryError set.
#pragma once

#include "internals/versions.hpp"

#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace telvar {

template <class T>
class Array {
  public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    Array(Array&&) = delete;
    Array& operator=(Array&&) = delete;
    ~Array() {
        truncate(0);
        PyMem_Free(items_);
    }

    bool push(T&& item) {
        if (size_ == capacity_ && !grow()) {
            return false;
        }
        new (items_ + size_) T(std::move(item));
        ++size_;
        return true;
    }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    T* begin() { return items_; }
    T* end() { return items_ + size_; }
    size_t size() const { return size_; }

    // For plain values: room for `size` items, and bulk appends within it.
    bool reserve(size_t size) {
        while (capacity_ < size) {
            if (!grow()) {
                return false;
            }
        }
        return true;
    }
    void append(const T* items, size_t count) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (count > 0) {
            std::memcpy(static_cast<void*>(items_ + size_), items, count * sizeof(T));
            size_ += count;
        }
    }
    void truncate(size_t size) {
        while (size_ > size) {
            items_[--size_].~T();
        }
    }

  private:
    bool grow() {
        const size_t capacity = capacity_ == 0 ? 32 : capacity_ * 2;
        if constexpr (std::is_trivially_copyable_v<T>) {
            auto* items = static_cast<T*>(PyMem_Realloc(items_, capacity * sizeof(T)));
            if (items == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            items_ = items;
            capacity_ = capacity;
            return true;
        }
        auto* items = static_cast<T*>(PyMem_Malloc(capacity * sizeof(T)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i < size_; ++i) {
            new (items + i) T(std::move(items_[i]));
            items_[i].~T();
        }
        PyMem_Free(items_);
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace telvar
