// The registry tree, shared by registration (registration.cpp) and by
// lookup and unregistration (lookup.cpp): the path of the arguments, the
// root, and the walk down the tree (registry.cpp).
//
// A node is a dict of child names and at most one "data" entry, the data
// map from chassis type to the record {"cls": class, "path": source file}.
#pragma once

#include "calls.hpp"
#include "validation.hpp"

namespace telvar {

// The path of a registration, lookup or unregistration, taken after
// self.validate_arguments(os, platform, model, chassis_type): os is the
// argument at `first`, and platform, model and os_flavor follow it. The
// path is [os], [os, platform] or [os, platform, model], then os_flavor
// when it is not None (borrowed from the arguments); `length` is -1 with an
// exception set when the validation failed. `view` is a view of self.
struct CallPath {
    TELVAR_ALWAYS_INLINE CallPath(const Call& args, int first, PyObject* chassis_type)
        : view(args[0]) {
        PyObject* os = args[first];
        PyObject* platform = args[first + 1];
        PyObject* model = args[first + 2];
        PyObject* os_flavor = args[first + 3];
        PyObject* params[] = {args[0], os, platform, model, chassis_type};
        if (call_validate_arguments(params, args.thread, view) < 0) {
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

    ManagerView view;
    PyObject* path[4];
    int length = 0;
};

// self._plugins
inline Ref registry_root(PyObject* self) { return self_attribute(self, Site::plugins); }

// `key in mapping` and `mapping[key]` in one look-up, where no Python code
// can tell the difference (see peek_str_key): 1 with `value` set, 0 when
// absent, -1 when only the API can tell.
inline int peek_entry(PyObject* mapping, PyObject* key, Ref& value) {
    PyObject* found = nullptr;
    const int present = peek_str_key(mapping, key, &found);
    if (present > 0) {
        value = Ref::hold(found);
    }
    return present;
}

// `key in mapping` and, when true, `mapping[key]`: 1 with `value` set, 0
// when absent, -1 on error.
int find_entry(PyObject* mapping, PyObject* key, Ref& value);

// Whether a path element is the reserved text "data".
inline bool is_reserved_text(PyObject* element) {
    if (PyUnicode_CheckExact(element)) {
        // The common case, without a call: four ASCII characters.
        return PyUnicode_GET_LENGTH(element) == 4 && PyUnicode_IS_ASCII(element) &&
               std::memcmp(PyUnicode_DATA(element), "data", 4) == 0;
    }
    // A str subclass by its text; PyUnicode_EqualToUTF8 takes str only.
    return PyUnicode_Check(element) && PyUnicode_EqualToUTF8(element, "data") == 1;
}

// ConnectionInfraError for a path element that is "data"; returns nullptr.
PyObject* refuse_reserved();

enum class Missing { skip, stop };

// Walks `path` down from `node`, which ends at the node reached. At an
// element that is not a child the walk goes on at the same node
// (Missing::skip) or stops (Missing::stop). Returns the number of elements
// walked, or -1 with an exception set; `refuse_data` makes an element that
// reaches a data map an error instead of a missing child.
int walk(Ref& node, PyObject* const* path, int length, Missing missing, bool refuse_data);

}  // namespace telvar
