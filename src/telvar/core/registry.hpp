// The registry tree, shared by registration (registration.cpp) and by
// lookup and unregistration (lookup.cpp): the path of the arguments and
// the walk down the tree (registry.cpp).
//
// A node is a dict of child names and at most one "data" entry, the data
// map from chassis type to the record {"cls": class, "path": source file}.
// The data map is never a child: an element whose text is "data", or any
// element that reaches the node's data map, is not walked into.
#pragma once

#include "calls.hpp"
#include "validation.hpp"

#include <cstring>

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
        if (call_validate_arguments(params, view) < 0) {
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

// Whether a path element's text is "data" (an exact str or a str subclass,
// read by its characters).
inline bool is_reserved_text(PyObject* element) {
    if (PyUnicode_CheckExact(element)) {
        return PyUnicode_GET_LENGTH(element) == 4 && PyUnicode_IS_ASCII(element) &&
               std::memcmp(PyUnicode_DATA(element), "data", 4) == 0;
    }
    if (!PyUnicode_Check(element) || PyUnicode_GET_LENGTH(element) != 4) {
        return false;
    }
    const int kind = PyUnicode_KIND(element);
    const void* chars = PyUnicode_DATA(element);
    for (int i = 0; i < 4; ++i) {
        if (PyUnicode_READ(kind, chars, i) != static_cast<Py_UCS4>("data"[i])) {
            return false;
        }
    }
    return true;
}

// ConnectionInfraError for a path element that is "data"; returns nullptr.
PyObject* refuse_reserved();

// One step of a walk: whether `element` names a child of the node.
enum class Step { failed = -1, absent, child, reserved, unknown };

// The step where no Python code can run (an exact dict of exact str keys,
// an exact str element whose plain_hash() is `hash`; `data_hash` is that of
// "data"): absent, child (`child` borrowed), reserved, or unknown when only
// the general step can tell.
TELVAR_ALWAYS_INLINE Step peek_child(PyObject* node, PyObject* element, Py_hash_t hash,
                                     Py_hash_t data_hash, Borrowed& child) {
    if (is_reserved_text(element)) {
        return Step::reserved;
    }
    const Peek found = peek_hashed(node, element, hash);
    if (found.answer != Peek::found) {
        return found.answer == Peek::absent ? Step::absent : Step::unknown;
    }
    // The node's own data map is never a child, whatever key reaches it; a
    // node that cannot tell is asked on the general path.
    const Peek data = peek_hashed(node, names.data, data_hash);
    if (data.answer == Peek::unknown) {
        return Step::unknown;
    }
    if (data.answer == Peek::found && data.value.get() == found.value.get()) {
        return Step::reserved;
    }
    child = found.value;
    return Step::child;
}

enum class Missing { skip, stop };

// Walks `path` down from `node`, which ends at the node reached. At an
// element that is not a child the walk goes on at the same node
// (Missing::skip) or stops (Missing::stop). Returns the number of elements
// walked, or -1 with an exception set; `refuse_data` makes an element that
// reaches a data map an error instead of a missing child.
int walk(Ref& node, PyObject* const* path, int length, Missing missing, bool refuse_data);

}  // namespace telvar
