// The cold half of the reads of CPython's internal layout (see
// internals.hpp): learning a manager class's shape, the recursion counters
// and the import-time self-test.
#include "calls.hpp"

#include <cstdlib>

namespace telvar {

#ifdef TELVAR_HAVE_INTERNALS

namespace internals {

namespace {

bool has_valid_tag(PyTypeObject* type) {
#ifdef TELVAR_PY312_VERSION_TAG_FLAG
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;  // 3.13 no longer sets the flag
#endif
}

// Whether the type's instances keep their attribute values outside a dict,
// where instance_values() reads them.
bool keeps_values(PyTypeObject* type) {
#ifdef TELVAR_PY312_VALUES_BEFORE_OBJECT
    constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HEAPTYPE;
#else
    constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HEAPTYPE |
                                       Py_TPFLAGS_INLINE_VALUES;
#endif
    return (type->tp_flags & kManaged) == kManaged && type->tp_getattro == PyObject_GenericGetAttr;
}

}  // namespace

// Whether the type has a valid version tag, given one if it can have one.
bool tag_assigned(PyTypeObject* type, PyObject* any_name) {
#ifdef TELVAR_PY312_VERSION_TAG_FLAG
    (void)_PyType_Lookup(type, any_name);  // the method cache assigns a tag
#else
    (void)any_name;
    (void)PyUnstable_Type_AssignVersionTag(type);
#endif
    return has_valid_tag(type);
}

// The type's answer for one site: for a method, whether it is one of the
// module's own functions; for a value, whether nothing on the type takes
// precedence over the instance's own attribute, as long as the attribute's
// type keeps the version tag it has now.
void learn_site(PyTypeObject* type, Site site, bool plain) {
    const int i = static_cast<int>(site);
    // Borrowed; _PyType_Lookup runs no Python code.
    PyObject* found = plain ? _PyType_Lookup(type, site_name(site)) : nullptr;
    shape.found[i] = found;
    shape.unshadowed_own[i] = false;  // learnt with the shared keys
    shape.descriptor_type[i] = nullptr;
    if (is_method_site(site)) {
        shape.usable[i] = plain && found != nullptr && is_own_function(found);
        return;
    }
    shape.usable[i] = plain && (found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr);
    PyTypeObject* kind = found != nullptr ? Py_TYPE(found) : nullptr;
    if (shape.usable[i] && kind != nullptr && !PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)) {
        shape.usable[i] = tag_assigned(kind, site_name(site));
        shape.descriptor_type[i] = kind;
        shape.descriptor_version[i] = kind->tp_version_tag;
    }
}

TELVAR_NOINLINE TELVAR_COLD bool learn_type(PyTypeObject* type) {
    shape.type = nullptr;
    if (!fast) {
        return false;
    }
    const bool plain = keeps_values(type);
    shape.keeps_values = plain;
    for (int i = 0; i < kSites; ++i) {
        learn_site(type, static_cast<Site>(i), plain);
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
TELVAR_NOINLINE TELVAR_COLD bool learn_keys(const DictKeys* keys) {
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

namespace {

// The module's own levels in this thread, where the interpreter's counters
// are not read: bounded by the recursion limit, as Python calls are, since
// from 3.14 Py_EnterRecursiveCall bounds only the C stack (and a recursion
// that builds a longer message at every level would run out of memory
// first).
thread_local int own_levels = 0;

PyThreadState* enter_own_level(PyThreadState* thread) {
    if (own_levels >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    if (Py_EnterRecursiveCall("")) {
        return nullptr;
    }
    ++own_levels;
    return thread;
}

}  // namespace

#ifdef TELVAR_PY312_RECURSION_COUNTERS

// At either limit the interpreter's own check raises, or the counters are
// not read: the public path decides.
TELVAR_NOINLINE TELVAR_COLD PyThreadState* enter_level_slowly(PyThreadState* thread) {
    if (!levels::count_python) {
        return enter_own_level(thread);
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

// Whether the counters behave as cpython/pystate.h documents them.
bool counters_agree() {
    PyThreadState* thread = current_thread();
    return thread != nullptr && thread->py_recursion_limit == Py_GetRecursionLimit() &&
           thread->py_recursion_remaining <= thread->py_recursion_limit;
}

#else

TELVAR_NOINLINE PyThreadState* enter_level_slowly(PyThreadState* thread) {
    return enter_own_level(thread);
}

#endif

TELVAR_NOINLINE void leave_level_slowly() {
    --own_levels;
    Py_LeaveRecursiveCall();
}

// --- method look-ups ---------------------------------------------------------------

Ref method_for_call(PyObject* obj, PyObject* name, bool* unbound) {
#ifdef TELVAR_PY312_GET_METHOD
    if (internals::fast) {
        // Makes no bound method only to take it apart.
        PyObject* found = nullptr;
        *unbound = _PyObject_GetMethod(obj, name, &found) == 1;
        return Ref::steal(found);
    }
#endif
    Ref found = Ref::steal(PyObject_GetAttr(obj, name));
    // A method bound to `obj` itself is called as its function with `obj`.
    *unbound = found && PyMethod_Check(found.get()) && PyMethod_GET_SELF(found.get()) == obj;
    return *unbound ? Ref::hold(PyMethod_GET_FUNCTION(found.get())) : std::move(found);
}

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
    constexpr Site probed = site_of<Fn::print_tree>();
    Ref cls = lookup_global(names.PluginManager);
    Ref manager = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    Ref plugins = manager ? Ref::steal(PyObject_GetAttr(manager.get(), site_name(Site::plugins)))
                          : Ref();
    if (!plugins) {
        return false;
    }
    const bool plain = peek_instance_attribute(manager.get(), Site::plugins) == plugins.get() &&
                       cached_own_method(manager.get(), probed) == own_function(Fn::print_tree);
    if (!plain || python_set_attribute(manager.get(), site_name(probed), Py_None) < 0) {
        return false;
    }
    const bool shadowed = cached_own_method(manager.get(), probed) == nullptr;
    Ref dict = Ref::steal(PyObject_GetAttrString(manager.get(), "__dict__"));
    if (!dict || python_dict_del(dict.get(), site_name(probed)) < 0) {
        return false;
    }
    PyObject* again = peek_instance_attribute(manager.get(), Site::plugins);
    return shadowed && (again == nullptr || again == plugins.get());
}

#endif

}  // namespace

void internals_self_test() {
#ifdef TELVAR_HAVE_INTERNALS
    using internals::fast;
    fast = false;
    levels::count_python = false;
    internals::shape = internals::Shape{};
    const char* off = std::getenv("TELVAR_NO_FAST_PATHS");
    if (off != nullptr && off[0] != '\0' && off[0] != '0') {
        return;
    }
#ifdef TELVAR_PY312_RECURSION_COUNTERS
    // Read directly only where they behave as the header documents.
    levels::count_python = counters_agree();
#endif
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
