// Reads of CPython's internal layout, for speed. They assume CPython 3.12 or
// 3.13 built with the GIL (the layouts of Include/internal/pycore_dict.h and
// pycore_object.h of those versions). Other builds, a failed import-time
// self-test and TELVAR_NO_FAST_PATHS=1 leave them off: every function here
// then answers "unknown" and the callers take the public API's path.
#include "common.hpp"

#include <cstdint>
#include <cstdlib>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TELVAR_HAVE_INTERNALS 1
#endif

namespace telvar {

namespace {

bool fast = false;  // the reads below agree with the public API
bool count_python_levels = false;

PyThreadState* current_thread() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

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

constexpr uint8_t kGeneralKeys = 0;
constexpr uint8_t kUnicodeKeys = 1;
constexpr Py_ssize_t kEmptySlot = -1;  // DKIX_EMPTY

// An entry of a keys object whose keys are all exact str.
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

const DictKeys* keys_of(PyObject* dict) {
    return reinterpret_cast<const DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

inline Py_ssize_t index_at(const DictKeys* keys, size_t slot) {
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

const UnicodeEntry* unicode_entries(const DictKeys* keys) {
    return reinterpret_cast<const UnicodeEntry*>(reinterpret_cast<const char*>(keys + 1) +
                                                 (size_t{1} << keys->log2_index_bytes));
}

Py_hash_t cached_hash(PyObject* text) { return reinterpret_cast<PyASCIIObject*>(text)->hash; }

// The probe sequence of a table of exact str keys, stopping at the key
// itself (1), at an empty slot (0), or at another key of the same hash
// (-1: only the API can tell whether the two are equal).
inline int probe(const DictKeys* keys, PyObject* key, Py_hash_t hash, const PyObject** value) {
    const size_t mask = (size_t{1} << keys->log2_size) - 1;
    auto perturb = static_cast<size_t>(hash);
    size_t slot = perturb & mask;
    const UnicodeEntry* entries = unicode_entries(keys);
    while (true) {
        const Py_ssize_t ix = index_at(keys, slot);
        if (ix >= 0) {
            const UnicodeEntry& entry = entries[ix];
            if (entry.key == key) {
                *value = entry.value;
                return 1;
            }
            if (cached_hash(entry.key) == hash) {
                return -1;
            }
        } else if (ix == kEmptySlot) {
            return 0;
        }
        perturb >>= 5;  // PERTURB_SHIFT
        slot = mask & (slot * 5 + perturb + 1);
    }
}

// --- instance attribute values ---------------------------------------------

// 3.13's inline values, after the object: a header, then one slot per key
// of the class's shared keys.
struct InlineValues {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};

// The attribute slots of an instance whose values CPython keeps outside a
// dict, with their number; nullptr when the instance has a dict (or another
// layout).
inline PyObject** instance_values(PyObject* obj, PyTypeObject* type, Py_ssize_t* capacity) {
    constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HEAPTYPE;
    if ((type->tp_flags & kManaged) != kManaged) {
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030D0000
    // 3 words before the object: the dict, or the values tagged with 1.
    char* dict_or_values = reinterpret_cast<char* const*>(obj)[-3];
    if ((reinterpret_cast<uintptr_t>(dict_or_values) & 1) == 0) {
        return nullptr;
    }
    // Sized for every key the shared keys can ever hold.
    *capacity = PY_SSIZE_T_MAX;
    return reinterpret_cast<PyObject**>(dict_or_values + 1);
#else
    if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) == 0) {
        return nullptr;
    }
    auto* inline_values = reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) +
                                                          type->tp_basicsize);
    if (inline_values->valid == 0) {
        return nullptr;
    }
    *capacity = inline_values->capacity;
    return inline_values->values;
#endif
}

// --- guarded answers per look-up site ---------------------------------------

// What the module last learnt about `<instance>.<name>` at one site: the
// type's answer, valid while the type keeps its version tag, and where the
// name sits in the type's shared keys, valid while those keep their size.
struct Guard {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* found = nullptr;  // the type's attribute (borrowed; the version guards it)
    bool usable = false;
    const DictKeys* keys = nullptr;
    Py_ssize_t entries = -1;
    Py_ssize_t index = -1;
};

Guard guards[static_cast<int>(Site::count)];

PyObject* site_name(Site site) {
    switch (site) {
        case Site::validate_arguments:
            return names.validate_arguments;
        case Site::validate_model:
            return names.validate_model;
        case Site::validate_platform:
            return names.validate_platform;
        case Site::validate_os:
            return names.validate_os;
        case Site::validate_chassis_type:
            return names.validate_chassis_type;
        case Site::print_tree:
            return names.print_tree;
        case Site::plugins:
            return names.plugins_attr;
        case Site::supported_os:
            return names.supported_os;
        case Site::chassis_type_list:
            return names.chassis_type_list;
        case Site::count:
            break;
    }
    return nullptr;
}

inline bool has_valid_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;  // 3.13 no longer sets the flag
#endif
}

// Whether the type's answer for the site allows the fast path: for a
// method, one of the module's own functions; for a value, nothing that
// would take precedence over the instance's own attribute.
[[gnu::noinline, gnu::cold]] bool type_allows(Guard& guard, PyTypeObject* type, Site site,
                                              bool method) {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    PyObject* found = _PyType_Lookup(type, site_name(site));  // borrowed; runs no Python code
    if (!has_valid_tag(type)) {
        return false;
    }
    guard.type = type;
    guard.version = type->tp_version_tag;
    guard.found = found;
    guard.usable = method ? found != nullptr && is_own_function(found)
                          : found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr;
    guard.keys = nullptr;
    return guard.usable;
}

// The slot of the site's name in the shared keys, or -1 when they have none.
[[gnu::noinline, gnu::cold]] Py_ssize_t shared_key_index(Guard& guard, const DictKeys* keys,
                                                         Site site) {
    if (guard.keys == keys && guard.entries == keys->nentries) {
        return guard.index;
    }
    PyObject* name = site_name(site);
    const UnicodeEntry* entries = unicode_entries(keys);
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < keys->nentries && index < 0; ++i) {
        PyObject* key = entries[i].key;
        if (key == name || (key != nullptr && PyUnicode_CheckExact(key) && same_text(key, name))) {
            index = i;
        }
    }
    guard.keys = keys;
    guard.entries = keys->nentries;
    guard.index = index;
    return index;
}

// The instance's own value for the site's name: 1 with *value (borrowed,
// nullptr when the instance has none), 0 when only the API can tell.
inline int instance_value(PyObject* obj, PyTypeObject* type, Guard& guard, Site site,
                          PyObject** value) {
    Py_ssize_t capacity = 0;
    PyObject** values = instance_values(obj, type, &capacity);
    if (values == nullptr) {
        return 0;
    }
    const auto* keys = reinterpret_cast<const DictKeys*>(
        reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys == nullptr) {
        return 0;
    }
    Py_ssize_t index = guard.index;
    if (keys != guard.keys || keys->nentries != guard.entries) {
        index = shared_key_index(guard, keys, site);
    }
    if (index >= capacity) {
        return 0;
    }
    *value = index < 0 ? nullptr : values[index];
    return 1;
}

// Whether the guard's answer for the type is current; refreshed when not.
inline bool type_allows_fast(Guard& guard, PyTypeObject* type, Site site, bool method) {
    if (guard.type == type && guard.version == type->tp_version_tag && has_valid_tag(type)) {
        return guard.usable;
    }
    return type_allows(guard, type, site, method);
}

#endif  // TELVAR_HAVE_INTERNALS

}  // namespace

// --- the answers ---------------------------------------------------------------

int find_str_key(PyObject* exact_dict, PyObject* key, PyObject** value) {
#ifdef TELVAR_HAVE_INTERNALS
    const auto* dict = reinterpret_cast<PyDictObject*>(exact_dict);
    const auto* keys = reinterpret_cast<const DictKeys*>(dict->ma_keys);
    const Py_hash_t hash = cached_hash(key);
    if (fast && dict->ma_values == nullptr && keys->kind == kUnicodeKeys && hash != -1) {
        const PyObject* found = nullptr;
        const int answer = probe(keys, key, hash, &found);
        if (answer >= 0) {
            *value = answer > 0 ? Py_NewRef(const_cast<PyObject*>(found)) : nullptr;
            return answer;
        }
    }
#endif
    return PyDict_GetItemRef(exact_dict, key, value);
}

bool has_only_str_keys(PyObject* exact_dict) {
#ifdef TELVAR_HAVE_INTERNALS
    return fast && keys_of(exact_dict)->kind != kGeneralKeys;
#else
    (void)exact_dict;
    return false;
#endif
}

PyObject* cached_own_method(PyObject* obj, Site site) {
#ifdef TELVAR_HAVE_INTERNALS
    Guard& guard = guards[static_cast<int>(site)];
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* shadow = nullptr;
    if (fast && type_allows_fast(guard, type, site, true) &&
        instance_value(obj, type, guard, site, &shadow) != 0 && shadow == nullptr) {
        return guard.found;
    }
#else
    (void)obj;
    (void)site;
#endif
    return nullptr;
}

PyObject* cached_instance_attribute(PyObject* obj, Site site) {
#ifdef TELVAR_HAVE_INTERNALS
    Guard& guard = guards[static_cast<int>(site)];
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* value = nullptr;
    if (fast && type_allows_fast(guard, type, site, false) &&
        instance_value(obj, type, guard, site, &value) != 0 && value != nullptr) {
        return Py_NewRef(value);
    }
#else
    (void)obj;
    (void)site;
#endif
    return nullptr;
}

// --- recursion levels ------------------------------------------------------------

// A level also counts against the interpreter's recursion limit
// (sys.getrecursionlimit()), as a call of a Python function does, through
// the thread state's counters (public fields of cpython/pystate.h in 3.12
// and 3.13). At either limit the interpreter's own check raises.
PyThreadState* enter_level(PyThreadState* known) {
    PyThreadState* thread = known != nullptr ? known : current_thread();
    if (!count_python_levels) {
        return Py_EnterRecursiveCall("") ? nullptr : thread;
    }
    if (thread->c_recursion_remaining <= 0) {
        if (Py_EnterRecursiveCall("")) {
            return nullptr;
        }
        Py_LeaveRecursiveCall();
    }
    if (thread->py_recursion_remaining <= 0) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    --thread->c_recursion_remaining;
    --thread->py_recursion_remaining;
    return thread;
}

void leave_level(PyThreadState* thread) {
    if (!count_python_levels) {
        Py_LeaveRecursiveCall();
        return;
    }
    ++thread->c_recursion_remaining;
    ++thread->py_recursion_remaining;
}

// --- the self-test -----------------------------------------------------------------

namespace {

#ifdef TELVAR_HAVE_INTERNALS

// Whether the kind read for a dict agrees with what its keys are.
bool kind_agrees(PyObject* dict, bool only_str) {
    return (keys_of(dict)->kind != kGeneralKeys) == only_str;
}

bool dicts_agree() {
    Ref empty = Ref::steal(PyDict_New());
    Ref text_keys = Ref::steal(PyDict_New());
    Ref number = Ref::steal(PyLong_FromLong(7));
    if (!empty || !text_keys || !number ||
        PyDict_SetItem(text_keys.get(), names.data, Py_None) < 0 ||
        PyDict_SetItem(text_keys.get(), names.cls, names.path) < 0) {
        return false;
    }
    PyObject* hit = nullptr;
    PyObject* miss = nullptr;
    PyObject* empty_miss = nullptr;
    const int hit_found = find_str_key(text_keys.get(), names.cls, &hit);
    Ref held = Ref::steal(hit);
    const bool probes = hit_found == 1 && held.get() == names.path &&
                        find_str_key(text_keys.get(), names.keys, &miss) == 0 && miss == nullptr &&
                        find_str_key(empty.get(), names.cls, &empty_miss) == 0 &&
                        empty_miss == nullptr;
    Ref unexpected_miss = Ref::steal(miss);  // set only when a miss found something
    Ref unexpected_empty = Ref::steal(empty_miss);
    const bool before = kind_agrees(empty.get(), true) && kind_agrees(text_keys.get(), true);
    return probes && before && PyDict_SetItem(text_keys.get(), number.get(), Py_None) == 0 &&
           kind_agrees(text_keys.get(), false);
}

// A manager's attributes read both ways, before and after an instance
// attribute shadows a method and after its __dict__ is made.
bool attributes_agree() {
    Ref cls = lookup_global(names.PluginManager);
    Ref manager = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    Ref plugins = manager ? Ref::steal(PyObject_GetAttr(manager.get(), names.plugins_attr)) : Ref();
    if (!plugins) {
        return false;
    }
    Ref read = Ref::steal(cached_instance_attribute(manager.get(), Site::plugins));
    const bool plain = read.get() == plugins.get() &&
                       cached_own_method(manager.get(), Site::validate_os) ==
                           own_function(Fn::validate_os);
    if (!plain || PyObject_SetAttr(manager.get(), names.validate_os, Py_None) < 0) {
        return false;
    }
    const bool shadowed = cached_own_method(manager.get(), Site::validate_os) == nullptr;
    Ref dict = Ref::steal(PyObject_GetAttrString(manager.get(), "__dict__"));
    if (!dict || PyDict_DelItem(dict.get(), names.validate_os) < 0) {
        return false;
    }
    Ref again = Ref::steal(cached_instance_attribute(manager.get(), Site::plugins));
    return shadowed && (!again || again.get() == plugins.get());
}

#endif

}  // namespace

void internals_self_test() {
    PyThreadState* thread = current_thread();
    // The counter is used only where it behaves as the header documents.
    count_python_levels = count_python_levels ||
                          (thread != nullptr &&
                           thread->py_recursion_limit == Py_GetRecursionLimit() &&
                           thread->py_recursion_remaining <= thread->py_recursion_limit);
    fast = false;
#ifdef TELVAR_HAVE_INTERNALS
    const char* off = std::getenv("TELVAR_NO_FAST_PATHS");
    if (off != nullptr && off[0] != '\0' && off[0] != '0') {
        return;
    }
    fast = true;
    fast = dicts_agree() && attributes_agree();
    if (PyErr_Occurred()) {
        PyErr_Clear();
        fast = false;
    }
    for (Guard& guard : guards) {
        guard = Guard{};
    }
#endif
}

}  // namespace telvar
