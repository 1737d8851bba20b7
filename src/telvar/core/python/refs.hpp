// What the module owns and what it only reads, and what ends a read.
//
// Python code can run at any call that is not classified inert
// (python/boundary.txt) and at every release of a reference that may be the
// last (a finaliser, a weakref callback). That code may change the tree,
// the manager, its class or anything the module read before. So each such
// point moves one counter, the generation: the wrappers of python_code.hpp
// move it, and so does a release here that may be the last. A reference
// the module owns is a `Ref` (or a `Kept`, for the life of the process); one
// it only reads is a `Borrowed`, valid while the generation stays where it
// was (checked builds abort otherwise).
#pragma once

#include "fence/versions.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace telvar {

namespace python_code {
// Read and written with the GIL held; builds without one count atomically
// (and keep nothing across calls).
#ifdef Py_GIL_DISABLED
inline std::atomic<uint64_t> generation{0};
#else
inline uint64_t generation = 0;
#endif
}  // namespace python_code

// Marks a point where Python code may have run.
TELVAR_ALWAYS_INLINE void python_may_have_run() noexcept {
#ifdef Py_GIL_DISABLED
    python_code::generation.fetch_add(1, std::memory_order_relaxed);
#else
    ++python_code::generation;
#endif
}

TELVAR_ALWAYS_INLINE uint64_t generation_now() noexcept {
#ifdef Py_GIL_DISABLED
    return python_code::generation.load(std::memory_order_relaxed);
#else
    return python_code::generation;
#endif
}

// Releases a strong reference: the boundary's one wrapper of Py_DECREF
// (python/boundary.txt). Only the last release can run a finaliser, so
// only that one ends what was read before it.
TELVAR_ALWAYS_INLINE void release_reference(PyObject* obj) noexcept {
    if (obj == nullptr) {
        return;
    }
#ifndef Py_GIL_DISABLED
    if (Py_REFCNT(obj) == 1)
#endif
    {
        python_may_have_run();
    }
    Py_DECREF(obj);
}

[[noreturn]] TELVAR_NOINLINE TELVAR_COLD inline void borrowed_after_python_code() {
    Py_FatalError("telvar: a borrowed reference was used after Python code may have run");
}

// A reference that is not owned, read at one generation. It may be read
// only while no Python code has run since; checked builds abort otherwise.
class Borrowed {
  public:
    Borrowed() noexcept = default;
    TELVAR_ALWAYS_INLINE explicit Borrowed(PyObject* obj) noexcept
        : obj_(obj)
#ifdef TELVAR_CHECKED
          ,
          taken_(generation_now())
#endif
    {
    }

    TELVAR_ALWAYS_INLINE PyObject* get() const noexcept {
#ifdef TELVAR_CHECKED
        if (obj_ != nullptr && taken_ != generation_now()) {
            borrowed_after_python_code();
        }
#endif
        return obj_;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject* obj_ = nullptr;
#ifdef TELVAR_CHECKED
    uint64_t taken_ = 0;
#endif
};

// What a read that runs no Python code (an inert read) tells: found, with
// what it found; absent; or unknown, when only the general path, which may
// run Python code, can tell. Every inline read and every step that chooses
// between the inline and the general path answers with it, so an int result
// always means -1 with an exception set, and a null pointer a failure.
enum class Told : uint8_t { absent, found, unknown };

template <class Value = Borrowed>
struct Inert {
    Told told = Told::unknown;
    Value value{};  // with `found`

    bool found() const { return told == Told::found; }
    bool unknown() const { return told == Told::unknown; }
};

// An owned (strong) reference, released when it goes out of scope.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference; a null pointer (a failed call) stays null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new strong reference to an object read but not owned.
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
