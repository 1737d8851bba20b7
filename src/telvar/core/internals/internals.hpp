// Reads of CPython's internal layout, for speed. This folder is the only
// place that makes them, each behind a feature of the version fence
// (versions.hpp) that names what it reads. Builds outside the fence, a
// failed import-time self-test and TELVAR_NO_FAST_PATHS=1 leave them off:
// every answer here is then "unknown" and the callers take the public API's
// path. The answers the hot paths ask for are inline, so that they cost no
// call; none of them runs Python code.
#pragma once

#include "internals/layout.hpp"
#include "python/python_code.hpp"

#include <cstdint>

namespace telvar {

namespace internals {
// Whether the reads of internals are on: the fence is open, the self-test
// found them agreeing with the public API and TELVAR_NO_FAST_PATHS is unset.
inline bool fast = false;
}  // namespace internals

// Checks the internal reads against the public API once, on a new instance
// of the manager class; they stay off when they disagree, on other versions
// and when TELVAR_NO_FAST_PATHS is set.
void internals_self_test(PyObject* manager_class);

// `obj.<name>` for a call, as LOAD_ATTR finds it (instance attributes, data
// descriptors and custom __getattribute__ honoured), with *unbound true
// when it is the type's function to call with `obj` first; null with an
// exception set. Python code may run.
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

// The hash of an exact str, when the reads are on (computed if the str has
// none yet, which runs no Python code): -1 when the key is no exact str, or
// the reads are off.
TELVAR_ALWAYS_INLINE Py_hash_t plain_hash(PyObject* key) {
#ifdef TELVAR_HAVE_INTERNALS
    if (!fast_paths() || !PyUnicode_CheckExact(key)) {
        return -1;
    }
    const Py_hash_t hash = internals::cached_hash(key);
    return hash != -1 ? hash : py::exact_str_hash(key);
#else
    (void)key;
    return -1;
#endif
}

// `key in dict` and `dict[key]` in one inline look-up, where that runs no
// Python code: an exact dict of exact str keys searched for an exact str
// whose plain_hash() is `hash` (not -1).
TELVAR_ALWAYS_INLINE Peek peek_hashed(PyObject* dict, PyObject* key, Py_hash_t hash) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    return is_plain_dict(dict) ? probe(keys_of(dict), key, hash) : Peek{};
#else
    (void)dict;
    (void)key;
    (void)hash;
    return {};
#endif
}

// `key in dict` and `dict[key]` read from a dict's own storage, also a dict
// subclass's (whose methods are not asked), for an exact str key, where that
// runs no Python code: its keys are all exact str.
TELVAR_ALWAYS_INLINE Peek peek_storage(PyObject* dict, PyObject* key) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    const Py_hash_t hash = plain_hash(key);
    return hash != -1 && PyDict_Check(dict) && keys_of(dict)->kind == kUnicodeKeys
               ? probe(keys_of(dict), key, hash)
               : Peek{};
#else
    (void)dict;
    (void)key;
    return {};
#endif
}

// peek_hashed() for any key.
TELVAR_ALWAYS_INLINE Peek peek_str_key(PyObject* dict, PyObject* key) {
    const Py_hash_t hash = plain_hash(key);
    return hash != -1 ? peek_hashed(dict, key, hash) : Peek{};
}

// Calls visit(key, value) for each entry of an exact dict of exact str
// keys, in the dict's order, read from its table: true when read so, false
// (nothing visited) when only PyDict_Next can tell.
template <class Visit>
TELVAR_ALWAYS_INLINE bool visit_plain_entries([[maybe_unused]] PyObject* dict,
                                              [[maybe_unused]] Visit&& visit) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    if (fast_paths() && is_plain_dict(dict)) {
        const DictKeys* keys = keys_of(dict);
        const UnicodeEntry* entries = unicode_entries(keys);
        for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
            if (entries[i].value != nullptr) {  // null where an entry was deleted
                visit(entries[i].key, entries[i].value);
            }
        }
        return true;
    }
#endif
    return false;
}

// What str(cls) and cls.__name__ read of a class, read here without
// running Python code: for a class of metaclass `type` itself, defined in
// Python, whose __module__ its own dict gives inline (a str). Borrowed from
// the class.
struct ClassNames {
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
};

// False when only the interpreter can tell.
bool quiet_class_names(PyObject* cls, ClassNames& found);

// What the shape tells of one manager's attributes. A view read before
// Python code may have run is stale: every answer first takes the view
// again when the generation has moved since it was taken, so no caller
// keeps a stale one. The manager itself must outlive the view (it is the
// `self` of the running call).
class ManagerView {
  public:
    TELVAR_ALWAYS_INLINE explicit ManagerView(PyObject* obj) noexcept { take(obj); }

    // Learning a class's shape moves the generation (internals.cpp), so the
    // generation is read last: a view then answers only from the shape it
    // was taken with, and one check per answer keeps it current.
    TELVAR_ALWAYS_INLINE void take(PyObject* obj) noexcept {
        obj_ = obj;
        values_ = nullptr;
        take_values(obj);
        taken_ = generation_now();
    }

  private:
    TELVAR_ALWAYS_INLINE void take_values([[maybe_unused]] PyObject* obj) noexcept {
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
        values_ = values;
#endif
    }

  public:
    // The module's own function that `obj.<site>` resolves to, when the
    // look-up can run no Python code and the instance has no attribute of
    // that name (borrowed); nullptr when only the interpreter can tell.
    TELVAR_ALWAYS_INLINE PyObject* own_method(Site site) noexcept {
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        refresh();
        const int i = static_cast<int>(site);
        if (values_ == nullptr) {
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
        if (values_ == nullptr || !shape.usable[i] || !descriptor_holds(i)) {
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
