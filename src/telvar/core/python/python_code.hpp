// The points where Python code can run, and what each of them ends.
//
// Python code can run at any call, at a comparison or hash of anything but
// an exact str, at a look-up in a dict that is not an exact dict of exact
// str keys, and at every release of a reference that may be the last (a
// finaliser, a weakref callback). That code may change the tree, the
// manager, its class, or anything the module remembered from before. So
// every such point moves one counter, the generation, and anything read
// before it holds only while the generation stays where it was:
//
// - every object that a call returns is taken by `Ref::steal`, and every
//   release by a `Ref` that may be the last one, moves it (refs.hpp);
// - the calls that return only a status (truth tests, comparisons, hashes,
//   stores into containers, sorts) go through the wrappers of this header,
//   which move it; `make lint` refuses those calls anywhere else;
// - a `ManagerView` takes itself again when the generation has moved, and
//   every cache of a call is keyed by the generation it was filled at;
// - a pointer that is not owned is held as `Borrowed`, which checked builds
//   (the sanitizer build) abort on when it is read after the generation
//   moved.
#pragma once

#include "internals/versions.hpp"

#include <atomic>
#include <cstdint>

namespace telvar {

namespace python_code {
// Grows at every point where Python code may have run. Read and written
// with the GIL held; builds without one count atomically, and never keep
// anything across calls.
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

// Releases a strong reference. Only the last release can run a finaliser,
// so only that one ends what was read before it.
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
// Whatever must outlive a call into Python is held by a `Ref` instead.
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

// --- calls that return a status --------------------------------------------
//
// The C API's calls that may run Python code and return no object. Each
// marks the point before it returns.

template <auto call, class... Args>
TELVAR_ALWAYS_INLINE auto marking(Args... args) {
    const auto result = call(args...);
    python_may_have_run();
    return result;
}

// PyObject_IsTrue.
inline int python_truth(PyObject* value) { return marking<PyObject_IsTrue>(value); }

// PyObject_RichCompareBool.
inline int python_compare(PyObject* a, PyObject* b, int op) {
    return marking<PyObject_RichCompareBool>(a, b, op);
}

// PySequence_Contains.
inline int python_contains(PyObject* container, PyObject* value) {
    return marking<PySequence_Contains>(container, value);
}

// PyObject_Hash.
inline Py_hash_t python_hash(PyObject* value) { return marking<PyObject_Hash>(value); }

// PyDict_GetItemRef for a dict or key that may run Python code.
inline int python_dict_get(PyObject* dict, PyObject* key, PyObject** value) {
    return marking<PyDict_GetItemRef>(dict, key, value);
}

// PyDict_SetItem: hashes the key and releases the value it replaces.
inline int python_dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    return marking<PyDict_SetItem>(dict, key, value);
}

// PyDict_DelItem: hashes the key and releases its value.
inline int python_dict_del(PyObject* dict, PyObject* key) {
    return marking<PyDict_DelItem>(dict, key);
}

// PyDict_Contains.
inline int python_dict_contains(PyObject* dict, PyObject* key) {
    return marking<PyDict_Contains>(dict, key);
}

// PyObject_SetItem: container[key] = value.
inline int python_set_item(PyObject* container, PyObject* key, PyObject* value) {
    return marking<PyObject_SetItem>(container, key, value);
}

// PyObject_DelItem: del container[key].
inline int python_del_item(PyObject* container, PyObject* key) {
    return marking<PyObject_DelItem>(container, key);
}

// PyList_Sort: compares the items.
inline int python_list_sort(PyObject* list) { return marking<PyList_Sort>(list); }

// PyObject_GetOptionalAttr: a look-up through the type's dicts and
// descriptors.
inline int python_optional_attribute(PyObject* obj, PyObject* name, PyObject** value) {
    return marking<PyObject_GetOptionalAttr>(obj, name, value);
}

// PyObject_SetAttr: a store through descriptors, releasing the old value.
inline int python_set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
    return marking<PyObject_SetAttr>(obj, name, value);
}

}  // namespace telvar
