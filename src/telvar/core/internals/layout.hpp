// The internal layout that the reads of internals.hpp rely on: the
// characters of an exact str, CPython's dict keys and instance values, and what the module learnt
// about the manager class (its shape). Only behind the version fence.
#pragma once

#include "python/refs.hpp"
#include "table/functions.hpp"

#include <cstdint>
#include <cstring>

namespace telvar {

template <class Word>
TELVAR_ALWAYS_INLINE Word load_word(const unsigned char* at) {
    Word word = 0;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Whether n bytes are equal, compared inline in words (the last one may
// overlap the one before): the texts compared are short.
TELVAR_ALWAYS_INLINE bool same_bytes(const unsigned char* a, const unsigned char* b, size_t n) {
    if (n >= sizeof(uint64_t)) {
        for (size_t at = 0; at + sizeof(uint64_t) < n; at += sizeof(uint64_t)) {
            if (load_word<uint64_t>(a + at) != load_word<uint64_t>(b + at)) {
                return false;
            }
        }
        const size_t last = n - sizeof(uint64_t);
        return load_word<uint64_t>(a + last) == load_word<uint64_t>(b + last);
    }
    if (n >= sizeof(uint32_t)) {
        const size_t last = n - sizeof(uint32_t);
        return load_word<uint32_t>(a) == load_word<uint32_t>(b) &&
               load_word<uint32_t>(a + last) == load_word<uint32_t>(b + last);
    }
    if (n >= sizeof(uint16_t)) {
        const size_t last = n - sizeof(uint16_t);
        return load_word<uint16_t>(a) == load_word<uint16_t>(b) &&
               load_word<uint16_t>(a + last) == load_word<uint16_t>(b + last);
    }
    return n == 0 || *a == *b;
}

// Text equality of two exact str, which runs no Python code. The common
// case, two ASCII texts, is compared inline: an exact str keeps its
// characters right after its header.
TELVAR_ALWAYS_INLINE bool same_text(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    if (PyUnicode_IS_ASCII(a) && PyUnicode_IS_ASCII(b)) {
        return same_bytes(
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyASCIIObject*>(a) + 1),
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyASCIIObject*>(b) + 1),
            static_cast<size_t>(length));
    }
    return PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace telvar

namespace telvar::internals {

#ifdef TELVAR_HAVE_INTERNALS

// --- dict layout ------------------------------------------------------------

// The head of a dict's keys object; the index table follows it, then the
// entries.
struct DictKeys {
    Py_ssize_t refcount;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // DICT_KEYS_GENERAL, DICT_KEYS_UNICODE or DICT_KEYS_SPLIT
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(DictKeys) == 4 * sizeof(Py_ssize_t));

constexpr uint8_t kUnicodeKeys = 1;
constexpr Py_ssize_t kEmptySlot = -1;  // DKIX_EMPTY

// An entry of a keys object whose keys are all exact str.
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

TELVAR_ALWAYS_INLINE const DictKeys* keys_of(PyObject* dict) {
    return reinterpret_cast<const DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

TELVAR_ALWAYS_INLINE Py_ssize_t index_at(const DictKeys* keys, size_t slot) {
    const char* indices = reinterpret_cast<const char*>(keys + 1);
    if (keys->log2_size < 8) [[likely]] {
        return reinterpret_cast<const int8_t*>(indices)[slot];
    }
    if (keys->log2_size < 16) {
        return reinterpret_cast<const int16_t*>(indices)[slot];
    }
    if (keys->log2_size < 32) {
        return reinterpret_cast<const int32_t*>(indices)[slot];
    }
    return static_cast<Py_ssize_t>(reinterpret_cast<const int64_t*>(indices)[slot]);
}

TELVAR_ALWAYS_INLINE const UnicodeEntry* unicode_entries(const DictKeys* keys) {
    return reinterpret_cast<const UnicodeEntry*>(reinterpret_cast<const char*>(keys + 1) +
                                                 (size_t{1} << keys->log2_index_bytes));
}

TELVAR_ALWAYS_INLINE Py_hash_t stored_hash(PyObject* text) {
    return reinterpret_cast<PyASCIIObject*>(text)->hash;
}

// The probe sequence of a table of exact str keys for an exact str of
// known hash, as the interpreter's own look-up makes it: it stops at the
// key itself or at an equal str (found, the value borrowed), or at an
// empty slot (absent). Comparing two exact str runs no Python code.
TELVAR_ALWAYS_INLINE Inert<> probe(const DictKeys* keys, PyObject* key, Py_hash_t hash) {
    const size_t mask = (size_t{1} << keys->log2_size) - 1;
    const UnicodeEntry* entries = unicode_entries(keys);
    auto perturb = static_cast<size_t>(hash);
    size_t slot = perturb & mask;
    while (true) {
        const Py_ssize_t ix = index_at(keys, slot);
        if (ix >= 0) {
            PyObject* const entry_key = entries[ix].key;
            // The key itself is the usual find; an equal str is told by its hash and text.
            if (entry_key == key || (stored_hash(entry_key) == hash && same_text(entry_key, key)))
                [[likely]] {
                return {Told::found, Borrowed(entries[ix].value)};
            }
        } else if (ix == kEmptySlot) {
            return {Told::absent, Borrowed()};
        }
        perturb >>= 5;  // PERTURB_SHIFT
        slot = mask & (slot * 5 + perturb + 1);
    }
}

// Whether a dict is exact and holds exact str keys only: a look-up of an
// exact str in it runs no Python code.
TELVAR_ALWAYS_INLINE bool is_exact_str_dict(PyObject* dict) {
    return PyDict_CheckExact(dict) && keys_of(dict)->kind == kUnicodeKeys;
}

// --- instance attribute values ---------------------------------------------

#ifdef TELVAR_PY313_INLINE_VALUES
// 3.13's inline values, after the object: a header, then one slot per key
// of the class's shared keys.
struct InlineValues {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
#endif

// The attribute slots of an instance of a type whose values CPython keeps
// outside a dict (Shape::keeps_values), with their number; nullptr when the
// instance has a dict.
TELVAR_ALWAYS_INLINE PyObject** instance_values(PyObject* obj, PyTypeObject* type,
                                                Py_ssize_t* capacity) {
#ifdef TELVAR_PY312_VALUES_BEFORE_OBJECT
    (void)type;
    // 3 words before the object: the dict, or the values tagged with 1.
    char* dict_or_values = reinterpret_cast<char* const*>(obj)[-3];
    if ((reinterpret_cast<uintptr_t>(dict_or_values) & 1) == 0) {
        return nullptr;
    }
    // Sized for every key the shared keys can ever hold.
    *capacity = PY_SSIZE_T_MAX;
    return reinterpret_cast<PyObject**>(dict_or_values + 1);
#else
    auto* inline_values = reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) +
                                                          type->tp_basicsize);
    if (inline_values->valid == 0) {
        return nullptr;
    }
    *capacity = inline_values->capacity;
    return inline_values->values;
#endif
}

// --- the shape of a manager class -------------------------------------------

// Stands for "no shared keys learnt": no type's keys are at its address.
inline constexpr DictKeys kNoKeys{};

// What the module last learnt about one class of managers: the type's
// answer for every site, valid while the type keeps its version tag, and
// where each site's name sits in the class's shared keys, valid while those
// keep their size. One class at a time: a program has one manager class.
struct Shape {
    PyTypeObject* type = nullptr;  // borrowed; the version tag guards it
    unsigned int version = 0;
    bool keeps_values = false;     // instances keep attribute values outside a dict
    PyObject* found[kSites] = {};  // the type's attribute per site (borrowed, as the type)
    bool usable[kSites] = {};      // false for all when instances keep a dict
    // A value site whose class attribute is of a type that may still gain
    // __set__ or __delete__ (a class defined in Python): that type and its
    // version tag when learnt, as the manager class's tag does not change
    // with it. nullptr where nothing can change the decision.
    PyTypeObject* descriptor_type[kSites] = {};
    unsigned int descriptor_version[kSites] = {};
    // A method site that resolves to the module's own function of its name,
    // which no instance can shadow while the shared keys lack the name.
    bool unshadowed_own[kSites] = {};
    const DictKeys* keys = &kNoKeys;
    Py_ssize_t entries = -1;
    Py_ssize_t index[kSites] = {};
};

inline Shape shape;

// Learn the type's answers (false when it has no valid version tag to guard
// them) and the shared keys' slots (false when the type has none).
bool learn_type(PyTypeObject* type);
bool learn_keys(const DictKeys* keys);

TELVAR_ALWAYS_INLINE bool knows_type(PyTypeObject* type) {
    return (type == shape.type && type->tp_version_tag == shape.version) || learn_type(type);
}

// Whether the class attribute of a value site is still no data descriptor:
// its type is the one learnt (__class__ may be assigned) and unchanged.
TELVAR_ALWAYS_INLINE bool descriptor_holds(int site) {
    PyTypeObject* learnt = shape.descriptor_type[site];
    return learnt == nullptr || (Py_TYPE(shape.found[site]) == learnt &&
                                 learnt->tp_version_tag == shape.descriptor_version[site]);
}

#endif  // TELVAR_HAVE_INTERNALS

}  // namespace telvar::internals
