// The reference handles: every reference the module owns is held by one of
// them.
#pragma once

#include "python/python_code.hpp"

#include <utility>

namespace telvar {

// Every reference the module owns is held by one of two types: `Ref` for
// one that ends with its scope, `Kept` for one kept for the life of the
// process. A reference it does not own is a `Borrowed` (python_code.hpp),
// or a bare `PyObject*` read and used with no point in between where
// Python code can run.

// An owned (strong) reference, released when it goes out of scope.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference; a null pointer (a failed call) stays null.
    // New references come from calls, which may have run Python code.
    static Ref steal(PyObject* obj) noexcept {
        python_may_have_run();
        return Ref(obj);
    }
    // Takes a new strong reference to a borrowed object.
    static Ref hold(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
        return *this;
    }
    ~Ref() { release_reference(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A strong reference kept for the life of the process (interned names,
// fetched built-ins, the module's own functions). It is never released
// except when replaced, so lending it out as a plain pointer is safe.
class Kept {
  public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    Kept(Kept&&) = delete;
    Kept& operator=(Kept&&) = delete;
    ~Kept() = default;  // never released: the module outlives every use

    // Replaces the kept object (the old one is released).
    void reset(Ref obj) noexcept { Ref old = Ref::steal(std::exchange(obj_, obj.release())); }
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }  // NOLINT(google-explicit-constructor)

  private:
    PyObject* obj_ = nullptr;
};

}  // namespace telvar
