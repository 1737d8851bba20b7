// Reads of CPython's internal layout, for speed. This folder is the only
// place that makes them, each behind a feature of the version fence
// (versions.hpp) that names what it reads. Builds outside the fence, a
// failed import-time self-test and TELVAR_NO_FAST_PATHS=1 leave them off:
// every answer here is then unknown and the callers take the public API's
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
// none yet, which runs no Python code); unknown for anything else.
TELVAR_ALWAYS_INLINE Inert<Py_hash_t> inert_hash([[maybe_unused]] PyObject* key) {
#ifdef TELVAR_HAVE_INTERNALS
    if (fast_paths() && PyUnicode_CheckExact(key)) {
        const Py_hash_t hash = internals::stored_hash(key);
        return {Told::found, hash != -1 ? hash : py::exact_str_hash(key)};
    }
#endif
    return {};
}

// `key in dict` and `dict[key]` in one inline look-up, where that runs no
// Python code: an exact dict of exact str keys searched for an exact str
// whose inert_hash() is `hash`.
TELVAR_ALWAYS_INLINE Inert<> inert_probe([[maybe_unused]] PyObject* dict,
                                         [[maybe_unused]] PyObject* key,
                                         [[maybe_unused]] Py_hash_t hash) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    if (is_exact_str_dict(dict)) {
        return probe(keys_of(dict), key, hash);
    }
#endif
    return {};
}

// inert_probe() for any key; with `own_storage`, also in a dict subclass's
// own storage (whose methods are not asked).
TELVAR_ALWAYS_INLINE Inert<> inert_find([[maybe_unused]] PyObject* dict,
                                        [[maybe_unused]] PyObject* key,
                                        [[maybe_unused]] bool own_storage = false) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    const Inert<Py_hash_t> hash = inert_hash(key);
    if (hash.found() && (own_storage ? PyDict_Check(dict) : PyDict_CheckExact(dict)) &&
        keys_of(dict)->kind == kUnicodeKeys) {
        return probe(keys_of(dict), key, hash.value);
    }
#endif
    return {};
}

// Calls visit(key, value) for each entry of an exact dict of exact str
// keys, in the dict's order, read from its table: found when read so,
// unknown (nothing visited) when only PyDict_Next can tell.
template <class Visit>
TELVAR_ALWAYS_INLINE Told visit_inert_entries([[maybe_unused]] PyObject* dict,
                                              [[maybe_unused]] Visit&& visit) {
#ifdef TELVAR_HAVE_INTERNALS
    using namespace internals;
    if (fast_paths() && is_exact_str_dict(dict)) {
        const DictKeys* keys = keys_of(dict);
        const UnicodeEntry* entries = unicode_entries(keys);
        for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
            if (entries[i].value != nullptr) {  // null where an entry was deleted
                visit(entries[i].key, entries[i].value);
            }
        }
        return Told::found;
    }
#endif
    return Told::unknown;
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

Inert<ClassNames> inert_class_names(PyObject* cls);

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
    // The module's own function that `obj.<site>` resolves to, found when
    // the look-up can run no Python code and the instance has no attribute
    // of that name.
    TELVAR_ALWAYS_INLINE Inert<> own_method([[maybe_unused]] Site site) noexcept {
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        refresh();
        const int i = static_cast<int>(site);
        if (values_ != nullptr && shape.unshadowed_own[i]) {
            return {Told::found, Borrowed(shape.found[i])};
        }
        const Py_ssize_t index = shape.index[i];
        if (values_ != nullptr && shape.usable[i] &&
            !(index >= 0 && (index >= capacity_ || values_[index] != nullptr))) {
            return {Told::found, Borrowed(shape.found[i])};
        }
#endif
        return {};
    }

    // `obj.<site>`, found when it is the instance's own attribute and
    // nothing on the type takes precedence.
    TELVAR_ALWAYS_INLINE Inert<> attribute([[maybe_unused]] Site site) noexcept {
#ifdef TELVAR_HAVE_INTERNALS
        using namespace internals;
        refresh();
        const int i = static_cast<int>(site);
        const Py_ssize_t index = shape.index[i];
        if (values_ != nullptr && shape.usable[i] && descriptor_holds(i) && index >= 0 &&
            index < capacity_ && values_[index] != nullptr) {
            return {Told::found, Borrowed(values_[index])};
        }
#endif
        return {};
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

}  // namespace telvar
