// Reads of CPython's internal layout, for speed. This header, the layouts
// it reads (internals_layout.hpp) and internals.cpp are the only places
// that make them, each behind a feature of the version fence
// (internals_versions.hpp) that names what it reads.
// Builds outside the fence, a failed import-time self-test and
// TELVAR_NO_FAST_PATHS=1 leave them off: every answer here is then
// "unknown" and the callers take the public API's path. The answers the hot
// paths ask for are inline, so that they cost no call.
#pragma once

#include "functions.hpp"
#include "internals/layout.hpp"
#include "python/refs.hpp"

#include <cstdint>

namespace telvar {

// Checks the internal reads against the public API once; they stay off when
// they disagree, on other versions and when TELVAR_NO_FAST_PATHS is set.
void internals_self_test();

// One level of recursion of the module's own code, guarded against C stack
// overflow as the interpreter guards its own C code. On 3.12 and 3.13 it is
// also counted against sys.getrecursionlimit() as a call of a Python
// function is, through the thread state's two counters (read directly while
// the fast paths are on, else through Py_EnterRecursiveCall, which counts the
// C one). From 3.14 the interpreter bounds C code by the real stack only, and
// Py_EnterRecursiveCall is the check. Returns the thread state to hand to
// leave_level(), or nullptr with RecursionError set. `known` is the thread
// state when the caller has it at hand (a call between the module's own
// functions).
namespace levels {
inline bool count_python = false;  // the counters behave as documented (the self-test)

// Whether a call from the interpreter runs a body of the module with no
// other body of it running (in any thread: the flag belongs to the entry
// that set it until that entry returns).
inline bool outermost_running = false;

TELVAR_ALWAYS_INLINE bool enter_outermost() {
#ifdef Py_GIL_DISABLED
    return false;
#else
    if (outermost_running) {
        return false;
    }
    outermost_running = true;
    return true;
#endif
}

TELVAR_ALWAYS_INLINE void leave_outermost() { outermost_running = false; }
}  // namespace levels

TELVAR_ALWAYS_INLINE PyThreadState* current_thread() {
#ifdef TELVAR_PY312_BACKFILL
    return PyThreadState_Get();  // the module runs only with the GIL held
#else
    return PyThreadState_GetUnchecked();
#endif
}

PyThreadState* enter_level_slowly(PyThreadState* thread);
void leave_level_slowly();

TELVAR_ALWAYS_INLINE PyThreadState* enter_level(PyThreadState* known = nullptr) {
    PyThreadState* thread = known != nullptr ? known : current_thread();
#ifdef TELVAR_PY312_RECURSION_COUNTERS
    if (levels::count_python && thread->c_recursion_remaining > 0 &&
        thread->py_recursion_remaining > 0) {
        --thread->c_recursion_remaining;
        --thread->py_recursion_remaining;
        return thread;
    }
#endif
    return enter_level_slowly(thread);
}

TELVAR_ALWAYS_INLINE void leave_level(PyThreadState* thread) {
#ifdef TELVAR_PY312_RECURSION_COUNTERS
    if (levels::count_python) {
        ++thread->c_recursion_remaining;
        ++thread->py_recursion_remaining;
        return;
    }
#else
    (void)thread;
#endif
    leave_level_slowly();
}

// `obj.<name>` for a call, as LOAD_ATTR finds it (instance attributes, data
// descriptors and custom __getattribute__ honoured), with *unbound true
// when it is the type's function to call with `obj` first; null with an
// exception set.
Ref method_for_call(PyObject* obj, PyObject* name, bool* unbound);

// --- the answers -------------------------------------------------------------

// Whether the reads of internal layout are on.
TELVAR_ALWAYS_INLINE bool fast_paths() {
#ifdef TELVAR_HAVE_INTERNALS
    return internals::fast;
#else
    return false;
#endif
}

// The hash an exact str keeps, or -1 while it has none.
TELVAR_ALWAYS_INLINE Py_hash_t kept_hash(PyObject* text) {
#ifdef TELVAR_HAVE_INTERNALS
    return reinterpret_cast<PyASCIIObject*>(text)->hash;
#else
    (void)text;
    return -1;
#endif
}

// peek_str_key() for an exact str key of known hash, with fast_paths() on.
TELVAR_ALWAYS_INLINE int peek_hashed(PyObject* dict, PyObject* key, Py_hash_t hash,
                                     PyObject** value) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    if (!PyDict_CheckExact(dict)) {
        return -1;
    }
    const DictKeys* keys = keys_of(dict);
    // A table of this kind is never split, so it holds the values itself.
    return keys->kind == kUnicodeKeys ? probe(keys, key, hash, value) : -1;
#else
    (void)dict;
    (void)key;
    (void)hash;
    (void)value;
    return -1;
#endif
}

// `key in dict` and `dict[key]` in one look-up, when that can run no
// Python code: an exact dict of exact str keys searched for an exact str.
// 1 with *value (borrowed) when found, 0 when absent, -1 when only the
// API can tell.
TELVAR_ALWAYS_INLINE int peek_str_key(PyObject* dict, PyObject* key, PyObject** value) {
    if (!fast_paths() || !PyUnicode_CheckExact(key) || kept_hash(key) == -1) {
        return -1;
    }
    return peek_hashed(dict, key, kept_hash(key), value);
}

// A heap type's namespace and its __name__ (borrowed), read from the type
// object; nullptr while the fast paths are off.
TELVAR_ALWAYS_INLINE PyObject* heap_type_dict(PyTypeObject* type) {
#ifdef TELVAR_HAVE_INTERNALS
    return fast_paths() ? type->tp_dict : nullptr;
#else
    (void)type;
    return nullptr;
#endif
}

TELVAR_ALWAYS_INLINE PyObject* heap_type_name(PyTypeObject* type) {
#ifdef TELVAR_HAVE_INTERNALS
    return fast_paths() ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_name : nullptr;
#else
    (void)type;
    return nullptr;
#endif
}

// PyDict_GetItemRef for an exact dict, answered inline where peek_str_key()
// can.
inline int find_str_key(PyObject* exact_dict, PyObject* key, PyObject** value) {
    PyObject* found = nullptr;
    const int answer = peek_str_key(exact_dict, key, &found);
    if (answer >= 0) {
        *value = answer > 0 ? Py_NewRef(found) : nullptr;
        return answer;
    }
    return python_dict_get(exact_dict, key, value);
}

// What the shape tells of one manager's attributes. A view read before
// Python code may have run is stale: every answer first takes the view
// again when the generation has moved since it was taken, so no caller
// keeps a stale one. The manager itself must outlive the view (it is the
// `self` of the running call).
class ManagerView {
  public:
    TELVAR_ALWAYS_INLINE explicit ManagerView(PyObject* obj) noexcept { take(obj); }

    TELVAR_ALWAYS_INLINE void take(PyObject* obj) noexcept {
        obj_ = obj;
        taken_ = generation_now();
        values_ = nullptr;
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        PyTypeObject* type = Py_TYPE(obj);
        if (!knows_type(type) || !shape.keeps_values) {
            return;
        }
        PyObject** values = instance_values(obj, type, &capacity_);
        const auto* keys = reinterpret_cast<const DictKeys*>(
            reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
        // shape.keys is never null, so an equal pointer can be read.
        if (values == nullptr ||
            ((keys != shape.keys || keys->nentries != shape.entries) && !learn_keys(keys))) {
            return;
        }
        type_ = type;
        values_ = values;
#endif
    }

    // The module's own function that `obj.<site>` resolves to, when the
    // look-up can run no Python code and the instance has no attribute of
    // that name (borrowed); nullptr when only the interpreter can tell.
    TELVAR_ALWAYS_INLINE PyObject* own_method(Site site) noexcept {
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        refresh();
        const int i = static_cast<int>(site);
        if (values_ == nullptr || shape.type != type_) {
            return nullptr;
        }
        if (shape.unshadowed_own[i]) {
            return shape.found[i];
        }
        const Py_ssize_t index = shape.index[i];
        const bool shadowed = index >= 0 && (index >= capacity_ || values_[index] != nullptr);
        return shape.usable[i] && !shadowed ? shape.found[i] : nullptr;
#else
        (void)site;
        return nullptr;
#endif
    }

    // `obj.<site>` (borrowed), when it is the instance's own attribute and
    // nothing on the type takes precedence; nullptr when only the
    // interpreter can tell.
    TELVAR_ALWAYS_INLINE PyObject* attribute(Site site) noexcept {
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        refresh();
        const int i = static_cast<int>(site);
        if (values_ == nullptr || shape.type != type_ || !shape.usable[i] || !descriptor_holds(i)) {
            return nullptr;
        }
        const Py_ssize_t index = shape.index[i];
        return index >= 0 && index < capacity_ ? values_[index] : nullptr;
#else
        (void)site;
        return nullptr;
#endif
    }

  private:
    TELVAR_ALWAYS_INLINE void refresh() noexcept {
        if (taken_ != generation_now()) [[unlikely]] {
            take(obj_);
        }
    }

    PyObject* obj_ = nullptr;
    uint64_t taken_ = 0;
    PyTypeObject* type_ = nullptr;
    PyObject** values_ = nullptr;  // null: the shape does not answer for the manager
    Py_ssize_t capacity_ = 0;
};

TELVAR_ALWAYS_INLINE PyObject* cached_own_method(PyObject* obj, Site site) {
    return ManagerView(obj).own_method(site);
}

TELVAR_ALWAYS_INLINE PyObject* peek_instance_attribute(PyObject* obj, Site site) {
    return ManagerView(obj).attribute(site);
}

}  // namespace telvar
