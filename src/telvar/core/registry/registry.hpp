// The registry tree, shared by registration (registration.cpp) and by
// lookup and unregistration (lookup.cpp): the path of the arguments and
// the walk down the tree (registry.cpp).
//
// A node is a dict of child names and at most one "data" entry, the data
// map from chassis type to the record {"cls": class, "path": source file}.
// The data map is never a child: an element whose text is "data", or any
// element that reaches the node's data map, is not walked into.
#pragma once

#include "calls/calls.hpp"
#include "registry/validation.hpp"

namespace telvar {

// The path of a registration, lookup or unregistration, taken after
// self.validate_arguments(os, platform, model, chassis_type): os is the
// argument at `first`, and platform, model and os_flavor follow it. The
// path is [os], [os, platform] or [os, platform, model], then os_flavor
// when it is not None (borrowed from the arguments); `length` is -1 with an
// exception set when the validation failed.
struct CallPath {
    TELVAR_ALWAYS_INLINE CallPath(const Call& args, int first, PyObject* chassis_type) {
        PyObject* os = args[first];
        PyObject* platform = args[first + 1];
        PyObject* model = args[first + 2];
        PyObject* os_flavor = args[first + 3];
        PyObject* params[] = {args[0], os, platform, model, chassis_type};
        if (call_validate_arguments(params) < 0) {
            length = -1;
            return;
        }
        path[length++] = os;
        if (model != Py_None) {
            path[length++] = platform;
            path[length++] = model;
        } else if (platform != Py_None) {
            path[length++] = platform;
        }
        if (os_flavor != Py_None) {
            path[length++] = os_flavor;
        }
    }

    PyObject* path[4];
    int length = 0;
};

// self._plugins
inline Ref registry_root(PyObject* self) { return self_attribute(self, Site::plugins); }

// Whether a path element's text is "data": an exact str or a str subclass,
// read by its characters (PyUnicode_Compare of two str runs no Python code).
TELVAR_ALWAYS_INLINE bool is_reserved_text(PyObject* element) {
    if (PyUnicode_CheckExact(element)) {
        return same_text(element, names.data);
    }
    return PyUnicode_Check(element) && PyUnicode_Compare(element, names.data) == 0;
}

// ConnectionInfraError for a path element that is "data"; returns nullptr.
PyObject* refuse_reserved();

// The child that `element` names in `node`, read where that runs no Python
// code (an exact dict of exact str keys, an exact str element whose
// inert_hash() is `hash`; `data_hash` is that of "data"): found (borrowed),
// absent (also for an element whose text is "data", which is never a
// child), or unknown. An element that reaches the node's data map under
// another key is left to the general step, which refuses it.
TELVAR_ALWAYS_INLINE Inert<> inert_child(PyObject* node, PyObject* element, Py_hash_t hash,
                                         Py_hash_t data_hash) {
    if (is_reserved_text(element)) {
        return {Told::absent, Borrowed()};
    }
    const Inert<> found = inert_probe(node, element, hash);
    if (!found.found()) {
        return found;
    }
    const Inert<> data = inert_probe(node, names.data, data_hash);
    const bool reaches_data = data.found() && data.value.get() == found.value.get();
    return data.unknown() || reaches_data ? Inert<>{} : found;
}

// One step of the general walk: whether `element` names a child of the node.
enum class Step { failed = -1, absent, child, reserved };

enum class Missing { skip, stop };

// Walks `path` down from `node`, which ends at the node reached. At an
// element that is not a child the walk goes on at the same node
// (Missing::skip) or stops (Missing::stop). Returns the number of elements
// walked, or -1 with an exception set; `refuse_data` makes an element that
// reaches a data map an error instead of a missing child.
int walk(Ref& node, PyObject* const* path, int length, Missing missing, bool refuse_data);

}  // namespace telvar
