// The cold half of the reads of CPython's internal layout (see
// internals.hpp): learning a manager class's shape, the recursion counters
// and the import-time self-test.
#include "common.hpp"

#include <cstdlib>
#include <iterator>

namespace telvar {

#ifdef TELVAR_HAVE_INTERNALS

namespace internals {

namespace {

// The attribute name of every site, in the order of Site.
constexpr Kept Names::*kSiteNames[] = {
    &Names::validate_arguments, &Names::validate_model,        &Names::validate_platform,
    &Names::validate_os,        &Names::validate_chassis_type, &Names::print_tree,
    &Names::plugins_attr,       &Names::supported_os,          &Names::chassis_type_list,
};
static_assert(std::size(kSiteNames) == kSites);

PyObject* site_name(Site site) { return names.*kSiteNames[static_cast<int>(site)]; }

bool is_method_site(Site site) { return site < Site::plugins; }

bool has_valid_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;  // 3.13 no longer sets the flag
#endif
}

// Whether the type's instances keep their attribute values outside a dict,
// where instance_values() reads them.
bool keeps_values(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HEAPTYPE;
#else
    constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HEAPTYPE |
                                       Py_TPFLAGS_INLINE_VALUES;
#endif
    return (type->tp_flags & kManaged) == kManaged && type->tp_getattro == PyObject_GenericGetAttr;
}

}  // namespace

// The type's answer for every site: for a method, whether it is one of the
// module's own functions; for a value, whether nothing on the type takes
// precedence over the instance's own attribute.
[[gnu::noinline, gnu::cold]] bool learn_type(PyTypeObject* type) {
    shape.type = nullptr;
    if (!fast) {
        return false;
    }
    const bool plain = keeps_values(type);
    shape.keeps_values = plain;
    for (int i = 0; i < kSites; ++i) {
        const auto site = static_cast<Site>(i);
        // Borrowed; _PyType_Lookup runs no Python code.
        PyObject* found = plain ? _PyType_Lookup(type, site_name(site)) : nullptr;
        shape.found[i] = found;
        shape.unshadowed_own[i] = false;  // learnt with the shared keys
        shape.usable[i] = plain &&
                          (is_method_site(site)
                               ? found != nullptr && is_own_function(found)
                               : found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr);
    }
    if (!has_valid_tag(type)) {
        return false;
    }
    shape.type = type;
    shape.version = type->tp_version_tag;
    shape.keys = &kNoKeys;
    return true;
}

// Where every site's name sits in the shared keys (-1: not there).
[[gnu::noinline, gnu::cold]] bool learn_keys(const DictKeys* keys) {
    shape.keys = &kNoKeys;
    for (bool& unshadowed : shape.unshadowed_own) {
        unshadowed = false;
    }
    if (keys == nullptr) {
        return false;
    }
    const UnicodeEntry* entries = unicode_entries(keys);
    for (int site = 0; site < kSites; ++site) {
        PyObject* name = site_name(static_cast<Site>(site));
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < keys->nentries && index < 0; ++i) {
            PyObject* key = entries[i].key;
            if (key == name ||
                (key != nullptr && PyUnicode_CheckExact(key) && same_text(key, name))) {
                index = i;
            }
        }
        shape.index[site] = index;
        shape.unshadowed_own[site] = index < 0 && shape.usable[site] &&
                                     is_method_site(static_cast<Site>(site));
    }
    shape.keys = keys;
    shape.entries = keys->nentries;
    return true;
}

}  // namespace internals

#endif  // TELVAR_HAVE_INTERNALS

// --- recursion levels ------------------------------------------------------------

PyThreadState* current_thread() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

// At either limit the interpreter's own check raises, or the counters are
// not the ones the header documents: the public path decides.
[[gnu::noinline, gnu::cold]] PyThreadState* enter_level_slowly(PyThreadState* thread) {
    if (!levels::count_python) {
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

[[gnu::noinline, gnu::cold]] void leave_level_slowly() { Py_LeaveRecursiveCall(); }

// --- the self-test -----------------------------------------------------------------

namespace {

#ifdef TELVAR_HAVE_INTERNALS

// Whether the kind read for a dict agrees with what its keys are.
bool kind_agrees(PyObject* dict, bool only_str) {
    return (internals::keys_of(dict)->kind == internals::kUnicodeKeys) == only_str;
}

bool dicts_agree() {
    Ref empty = Ref::steal(PyDict_New());
    Ref text_keys = Ref::steal(PyDict_New());
    Ref number = Ref::steal(PyLong_FromLong(7));
    if (!empty || !text_keys || !number ||
        python_dict_set(text_keys.get(), names.data, Py_None) < 0 ||
        python_dict_set(text_keys.get(), names.cls, names.path) < 0) {
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
    return probes && before && python_dict_set(text_keys.get(), number.get(), Py_None) == 0 &&
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
    const bool plain = peek_instance_attribute(manager.get(), Site::plugins) == plugins.get() &&
                       cached_own_method(manager.get(), Site::validate_os) ==
                           own_function(Fn::validate_os);
    if (!plain || python_set_attribute(manager.get(), names.validate_os, Py_None) < 0) {
        return false;
    }
    const bool shadowed = cached_own_method(manager.get(), Site::validate_os) == nullptr;
    Ref dict = Ref::steal(PyObject_GetAttrString(manager.get(), "__dict__"));
    if (!dict || python_dict_del(dict.get(), names.validate_os) < 0) {
        return false;
    }
    PyObject* again = peek_instance_attribute(manager.get(), Site::plugins);
    return shadowed && (again == nullptr || again == plugins.get());
}

#endif

}  // namespace

void internals_self_test() {
    PyThreadState* thread = current_thread();
    // The counter is used only where it behaves as the header documents.
    levels::count_python = levels::count_python ||
                           (thread != nullptr &&
                            thread->py_recursion_limit == Py_GetRecursionLimit() &&
                            thread->py_recursion_remaining <= thread->py_recursion_limit);
#ifdef TELVAR_HAVE_INTERNALS
    using internals::fast;
    fast = false;
    internals::shape = internals::Shape{};
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
    internals::shape = internals::Shape{};
#endif
}

}  // namespace telvar
