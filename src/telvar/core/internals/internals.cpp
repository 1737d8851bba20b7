// The cold half of the reads of CPython's internal layout (see
// internals.hpp): learning a manager class's shape, the names of a
// class, the method look-up and the import-time self-test.
#include "internals/internals.hpp"

#include "python/python_code.hpp"
#include "table/names.hpp"

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

// Whether the type has a valid version tag, given one if it can have one.
bool tag_assigned(PyTypeObject* type) {
    return PyUnstable_Type_AssignVersionTag(type) != 0 && has_valid_tag(type);
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

// The class attribute `name` as the interpreter finds it (the first dict
// of the MRO that holds it), read inline: unknown when a dict of the MRO
// could run Python code while it is searched (a key that is not an exact
// str compares by its own __eq__), so that nothing is learnt from it.
Inert<> lookup_in_mro(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || stored_hash(name) == -1) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        // The type holds its dict: this reference is never the last.
        Ref dict = Ref::steal(
            PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict || !is_exact_str_dict(dict.get())) {
            return {};
        }
        const Inert<> found = probe(keys_of(dict.get()), name, stored_hash(name));
        if (found.told != Told::absent) {
            return found;
        }
    }
    return {Told::absent, Borrowed()};
}

// The type's answer for one site: for a method, whether it is one of the
// module's own functions; for a value, whether nothing on the type takes
// precedence over the instance's own attribute, as long as the attribute's
// type keeps the version tag it has now. False when the MRO cannot tell.
bool learn_site(PyTypeObject* type, Site site, bool keeps) {
    const int i = static_cast<int>(site);
    const Inert<> in_mro = lookup_in_mro(type, site_name(site));
    if (in_mro.unknown()) {
        return false;
    }
    PyObject* found = in_mro.value.get();
    shape.found[i] = found;
    shape.unshadowed_own[i] = false;  // learnt with the shared keys
    shape.descriptor_type[i] = nullptr;
    if (is_method_site(site)) {
        shape.usable[i] = keeps && found != nullptr && is_own_function(found);
        return true;
    }
    shape.usable[i] = keeps && (found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr);
    PyTypeObject* kind = found != nullptr ? Py_TYPE(found) : nullptr;
    if (shape.usable[i] && kind != nullptr && !PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)) {
        shape.usable[i] = tag_assigned(kind);
        shape.descriptor_type[i] = kind;
        shape.descriptor_version[i] = kind->tp_version_tag;
    }
    return true;
}

}  // namespace

// Nothing here runs Python code, so the type cannot change while it is
// learnt; a type whose MRO could run code is learnt as answering nothing.
TELVAR_NOINLINE TELVAR_COLD bool learn_type(PyTypeObject* type) {
    // Views taken from the shape before are stale: they take themselves again.
    python_may_have_run();
    shape.type = nullptr;
    if (!fast || !tag_assigned(type)) {
        return false;
    }
    bool keeps = keeps_values(type);
    for (int i = 0; keeps && i < kSites; ++i) {
        keeps = learn_site(type, static_cast<Site>(i), keeps);
    }
    shape.keeps_values = keeps;
    if (!keeps) {
        for (bool& usable : shape.usable) {
            usable = false;
        }
    }
    shape.type = type;
    shape.version = type->tp_version_tag;
    shape.keys = &kNoKeys;
    return true;
}

// Where every site's name sits in the shared keys (-1: not there).
TELVAR_NOINLINE TELVAR_COLD bool learn_keys(const DictKeys* keys) {
    python_may_have_run();  // as in learn_type
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

Inert<ClassNames> inert_class_names([[maybe_unused]] PyObject* cls) {
#ifdef TELVAR_HAVE_INTERNALS
    auto* type = reinterpret_cast<PyHeapTypeObject*>(cls);
    if (fast_paths() && Py_IS_TYPE(cls, &PyType_Type) &&
        PyType_HasFeature(&type->ht_type, Py_TPFLAGS_HEAPTYPE) &&
        type->ht_type.tp_dict != nullptr) {
        const Inert<> module = inert_find(type->ht_type.tp_dict, names.dunder_module);
        const ClassNames found{type->ht_name, type->ht_qualname, module.value.get()};
        if (module.found() && PyUnicode_Check(found.module) && PyUnicode_Check(found.qualname) &&
            PyUnicode_Check(found.name)) {
            return {Told::found, found};
        }
    }
#endif
    return {};
}

// --- method look-ups ---------------------------------------------------------------

Ref method_for_call(PyObject* obj, PyObject* name, bool* unbound) {
#ifdef TELVAR_PY312_GET_METHOD
    if (internals::fast) {
        // Makes no bound method only to take it apart.
        Ref found;
        *unbound = py::get_method(obj, name, found) == 1;
        return found;
    }
#endif
    Ref found = py::attribute(obj, name);
    // A method bound to `obj` itself is called as its function with `obj`.
    *unbound = found && PyMethod_Check(found.get()) && PyMethod_GET_SELF(found.get()) == obj;
    return *unbound ? Ref::hold(PyMethod_GET_FUNCTION(found.get())) : std::move(found);
}

// --- the self-test -----------------------------------------------------------------

namespace {

#ifdef TELVAR_HAVE_INTERNALS

// Whether the kind read for a dict agrees with what its keys are, and the
// inline probe with the dict's own look-up.
bool dicts_agree() {
    Ref empty = Ref::steal(PyDict_New());
    Ref text_keys = Ref::steal(PyDict_New());
    Ref number = Ref::steal(PyLong_FromLong(7));
    if (!empty || !text_keys || !number || py::dict_set(text_keys.get(), names.data, Py_None) < 0 ||
        py::dict_set(text_keys.get(), names.cls, names.path) < 0) {
        return false;
    }
    // An equal str that is another object, whose hash is not yet made.
    Ref copy = Ref::steal(PyUnicode_FromString("cls"));
    if (!copy) {
        return false;
    }
    const Inert<> hit = inert_find(text_keys.get(), names.cls);
    const Inert<> equal = inert_find(text_keys.get(), copy.get());
    const bool probes = hit.found() && hit.value.get() == names.path && equal.found() &&
                        equal.value.get() == names.path &&
                        inert_find(text_keys.get(), names.keys).told == Told::absent &&
                        inert_find(empty.get(), names.cls).told == Told::absent;
    return probes && py::dict_set(text_keys.get(), number.get(), Py_None) == 0 &&
           inert_find(text_keys.get(), names.cls).unknown();
}

// A manager's attributes read both ways, before and after an instance
// attribute shadows a method and after its __dict__ is made.
bool attributes_agree(PyObject* manager_class) {
    constexpr Site probed = site_of<Fn::print_tree>();
    Ref own = py::attribute(manager_class, site_name(probed));  // the function itself
    Ref manager = own ? py::call_no_args(manager_class) : Ref();
    Ref plugins = manager ? py::attribute(manager.get(), site_name(Site::plugins)) : Ref();
    if (!plugins) {
        return false;
    }
    ManagerView view(manager.get());
    const bool inert = view.attribute(Site::plugins).value.get() == plugins.get() &&
                       view.own_method(probed).value.get() == own.get();
    if (!inert || py::set_attribute(manager.get(), site_name(probed), Py_None) < 0) {
        return false;
    }
    const bool shadowed = view.own_method(probed).unknown();
    Ref dict = py::attribute(manager.get(), names.dunder_dict);
    if (!dict || py::dict_del(dict.get(), site_name(probed)) < 0) {
        return false;
    }
    const Inert<> again = view.attribute(Site::plugins);
    return shadowed && (again.unknown() || again.value.get() == plugins.get());
}

#endif

}  // namespace

void internals_self_test(PyObject* manager_class) {
#ifdef TELVAR_HAVE_INTERNALS
    using internals::fast;
    fast = false;
    internals::shape = internals::Shape{};
    const char* off = std::getenv("TELVAR_NO_FAST_PATHS");
    if (off != nullptr && off[0] != '\0' && off[0] != '0') {
        return;
    }
    fast = true;
    fast = dicts_agree() && attributes_agree(manager_class);
    if (PyErr_Occurred()) {
        py::clear_error();
        fast = false;
    }
    internals::shape = internals::Shape{};
#else
    (void)manager_class;
#endif
}

}  // namespace telvar
