// The registry tree: registration, lookup and unregistration of connection
// classes by OS, platform, model, OS flavour and chassis type.
//
// A node is a dict of child names and at most one "data" entry, the data
// map from chassis type to the record {"cls": class, "path": source file}.
#include "common.hpp"

namespace telvar {

namespace {

// The path of a registration, lookup or unregistration: [os], [os, platform]
// or [os, platform, model], then os_flavor when it is not None. Returns its
// length; the elements are borrowed from the arguments.
int build_path(PyObject* os, PyObject* platform, PyObject* model, PyObject* os_flavor,
               PyObject* path[4]) {
    int length = 0;
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
    return length;
}

// self.validate_arguments(os, platform, model, chassis_type), then the path
// of the arguments into `path`: its length, or -1 with an exception set.
int validated_path(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                   PyObject* os_flavor, PyObject* chassis_type, PyObject* path[4]) {
    PyObject* stack[] = {self, os, platform, model, chassis_type};
    if (!call_method(self, names.validate_arguments, stack, 5, nullptr, Fn::validate_arguments,
                     stack)) {
        return -1;
    }
    return build_path(os, platform, model, os_flavor, path);
}

Ref registry_root(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, names.plugins_attr)); }

// mapping[key]
Ref get_item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);  // borrowed
        if (value != nullptr || PyErr_Occurred()) {
            return Ref::hold(value);
        }
    }
    return Ref::steal(PyObject_GetItem(mapping, key));  // raises the KeyError
}

// A plain dict searched for an exact str runs no Python code: one lookup
// answers both the membership test and the read that follows it.
bool plain_lookup(PyObject* mapping, PyObject* key) {
    return PyDict_CheckExact(mapping) && PyUnicode_CheckExact(key);
}

int plain_find(PyObject* mapping, PyObject* key, Ref& value) {
    PyObject* found = PyDict_GetItemWithError(mapping, key);  // borrowed
    if (found != nullptr) {
        value = Ref::hold(found);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `element in node.keys()` and, when true, `node[element]`: 1 with `child`
// set, 0 when absent, -1 on error.
int find_child(PyObject* node, PyObject* element, Ref& child) {
    if (plain_lookup(node, element)) {
        return plain_find(node, element, child);
    }
    int found;
    if (PyDict_CheckExact(node)) {
        found = PyDict_Contains(node, element);  // what keys() would answer
    } else {
        Ref keys = call_method0(node, names.keys);
        if (!keys) {
            return -1;
        }
        found = PySequence_Contains(keys.get(), element);
    }
    if (found <= 0) {
        return found;
    }
    child = get_item(node, element);
    return child ? 1 : -1;
}

// `key in mapping` and, when true, `mapping[key]`.
int find_entry(PyObject* mapping, PyObject* key, Ref& value) {
    if (plain_lookup(mapping, key)) {
        return plain_find(mapping, key, value);
    }
    const int found = PySequence_Contains(mapping, key);
    if (found <= 0) {
        return found;
    }
    value = get_item(mapping, key);
    return value ? 1 : -1;
}

Ref new_record(PyObject* cls, PyObject* class_path) {
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), names.cls, cls) < 0 ||
        PyDict_SetItem(record.get(), names.path, class_path) < 0) {
        return {};
    }
    return record;
}

Ref new_single_entry(PyObject* key, PyObject* value) {
    Ref map = Ref::steal(PyDict_New());
    if (!map || PyDict_SetItem(map.get(), key, value) < 0) {
        return {};
    }
    return map;
}

// The path as the list `tree_hierarchy`, for the replacement record.
Ref path_list(PyObject* const* path, int length) {
    Ref list = Ref::steal(PyList_New(length));
    if (!list) {
        return {};
    }
    for (int i = 0; i < length; ++i) {
        PyList_SET_ITEM(list.get(), i, Py_NewRef(path[i]));
    }
    return list;
}

// Logs " {} already registered for {}, {} from {} is overriding this class".
bool log_replacement(PyObject* existing_record, PyObject* const* path, int length, PyObject* cls) {
    Ref existing_cls = get_item(existing_record, names.cls);
    if (!existing_cls) {
        return false;
    }
    Ref debug = global_attribute(names.log, names.debug);
    if (!debug) {
        return false;
    }
    Ref format = Ref::steal(PyObject_GetAttr(names.replaced_template, names.format));
    if (!format) {
        return false;
    }
    Ref existing_name = Ref::steal(PyObject_GetAttr(existing_cls.get(), names.dunder_name));
    if (!existing_name) {
        return false;
    }
    Ref hierarchy = path_list(path, length);
    if (!hierarchy) {
        return false;
    }
    Ref cls_name = Ref::steal(PyObject_GetAttr(cls, names.dunder_name));
    if (!cls_name) {
        return false;
    }
    Ref cls_module = Ref::steal(PyObject_GetAttr(cls, names.dunder_module));
    if (!cls_module) {
        return false;
    }
    PyObject* format_args[] = {existing_name.get(), hierarchy.get(), cls_name.get(),
                               cls_module.get()};
    Ref message = Ref::steal(PyObject_Vectorcall(format.get(), format_args, 4, nullptr));
    if (!message) {
        return false;
    }
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(debug.get(), message.get())));
}

// "data" is the reserved key of every node: a path element equal to it would
// walk into a data map and corrupt it.
PyObject* refuse_reserved(PyObject* const* path, int length) {
    for (int i = 0; i < length; ++i) {
        const int reserved = PyObject_RichCompareBool(path[i], names.data, Py_EQ);
        if (reserved < 0) {
            return nullptr;
        }
        if (reserved > 0) {
            Ref error_class = lookup_global(names.ConnectionInfraError);
            if (!error_class) {
                return nullptr;
            }
            return raise_connection_error(
                std::move(error_class),
                Ref::steal(PyUnicode_FromString(
                    "'data' is reserved and cannot be used as a plugin path element")));
        }
    }
    return Py_None;
}

PyObject* raise_text(PyObject* text) {
    Ref error_class = lookup_global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    return raise_connection_error(std::move(error_class), Ref::hold(text));
}

}  // namespace

// Registration never leaves a half-made change behind: the existing part of
// the path is walked first without changes, everything that can fail
// (hashing the new elements, getfile, the replacement record) happens next,
// and the tree is then changed by attaching a finished branch.
PyObject* register_plugin_impl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* cls = args[1];
    PyObject* chassis_type = args[6];
    PyObject* path[4];
    const int length = validated_path(self, args[2], args[3], args[4], args[5], chassis_type, path);
    if (length < 0 || refuse_reserved(path, length) == nullptr) {
        return nullptr;
    }
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    int depth = 0;
    for (; depth < length; ++depth) {
        Ref child;
        const int found = find_child(node.get(), path[depth], child);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            break;
        }
        node = std::move(child);
    }
    // The new levels would be tested against new empty nodes: an unhashable
    // element fails there, before anything is created.
    for (int i = depth; i < length; ++i) {
        if (PyObject_Hash(path[i]) == -1) {
            return nullptr;
        }
    }
    Ref getfile = lookup_global(names.getfile);
    if (!getfile) {
        return nullptr;
    }
    Ref class_path = Ref::steal(PyObject_CallOneArg(getfile.get(), cls));
    if (!class_path) {
        return nullptr;
    }

    if (depth == length) {
        Ref data;
        const int has_data = find_entry(node.get(), names.data, data);
        if (has_data < 0) {
            return nullptr;
        }
        if (has_data > 0) {
            Ref existing;
            const int registered = find_entry(data.get(), chassis_type, existing);
            if (registered < 0) {
                return nullptr;
            }
            if (registered > 0 && !log_replacement(existing.get(), path, length, cls)) {
                return nullptr;
            }
            Ref record = new_record(cls, class_path.get());
            if (!record || PyObject_SetItem(data.get(), chassis_type, record.get()) < 0 ||
                PyObject_SetItem(node.get(), names.data, data.get()) < 0) {
                return nullptr;
            }
            Py_RETURN_NONE;
        }
    }

    // Build the missing branch bottom up, then attach it with one store.
    Ref record = new_record(cls, class_path.get());
    if (!record) {
        return nullptr;
    }
    Ref data = new_single_entry(chassis_type, record.get());
    if (!data) {
        return nullptr;
    }
    if (depth == length) {
        if (PyObject_SetItem(node.get(), names.data, data.get()) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref branch = new_single_entry(names.data, data.get());
    for (int i = length - 1; branch && i > depth; --i) {
        branch = new_single_entry(path[i], branch.get());
    }
    if (!branch || PyObject_SetItem(node.get(), path[depth], branch.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_plugin_impl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    PyObject* path[4];
    const int length = validated_path(self, args[1], args[2], args[3], args[4], chassis_type, path);
    if (length < 0) {
        return nullptr;
    }
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    // Missing levels are skipped: the next element is matched at the same node.
    for (int i = 0; i < length; ++i) {
        Ref child;
        const int found = find_child(node.get(), path[i], child);
        if (found < 0) {
            return nullptr;
        }
        if (found > 0) {
            node = std::move(child);
        }
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data < 0) {
        return nullptr;
    }
    if (has_data > 0) {
        Ref record;
        int registered;
        if (plain_lookup(data.get(), chassis_type)) {
            registered = plain_find(data.get(), chassis_type, record);
        } else {
            // The membership test may have run Python code: read the data
            // map again before the record.
            registered = PySequence_Contains(data.get(), chassis_type);
            if (registered > 0) {
                data = get_item(node.get(), names.data);
                record = data ? get_item(data.get(), chassis_type) : Ref();
                registered = record ? 1 : -1;
            }
        }
        if (registered < 0) {
            return nullptr;
        }
        if (registered > 0) {
            return get_item(record.get(), names.cls).release();
        }
    }

    // "Plugin data not found for (a/b/c), type: <chassis> "
    Ref error_class = lookup_global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref joined;  // "/".join(path), made only when an element is not a str
    for (int i = 0; i < length && !joined; ++i) {
        if (!PyUnicode_Check(path[i])) {
            // The join's own TypeError names the offending item.
            Ref hierarchy = path_list(path, length);
            joined = hierarchy ? Ref::steal(PyUnicode_Join(names.slash, hierarchy.get())) : Ref();
            if (!joined) {
                return nullptr;
            }
        }
    }
    Ref chassis_text = Ref::steal(PyObject_Str(chassis_type));
    if (!chassis_text) {
        return nullptr;
    }
    PyObject* pieces[12];
    int count = 0;
    pieces[count++] = names.not_found_path;
    for (int i = 0; i < length && !joined; ++i) {
        if (i > 0) {
            pieces[count++] = names.slash;
        }
        pieces[count++] = path[i];
    }
    if (joined) {
        pieces[count++] = joined.get();
    }
    pieces[count++] = names.not_found_type;
    pieces[count++] = chassis_text.get();
    pieces[count++] = names.blank;
    Ref message = Ref::steal(PyTuple_New(count));
    if (!message) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(message.get(), i, Py_NewRef(pieces[i]));
    }
    return raise_connection_error(std::move(error_class),
                                  Ref::steal(PyUnicode_Join(names.empty, message.get())));
}

// Addresses one exact node; every check comes before the one deletion.
PyObject* unregister_plugin_impl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    PyObject* path[4];
    // The caller's chassis type is never validated here.
    const int length = validated_path(self, args[1], args[2], args[3], args[4], names.single_rp,
                                      path);
    if (length < 0) {
        return nullptr;
    }
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    for (int i = 0; i < length; ++i) {
        Ref child;
        const int found = find_child(node.get(), path[i], child);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            return raise_text(names.not_found);
        }
        node = std::move(child);
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data < 0) {
        return nullptr;
    }
    if (has_data == 0) {
        return raise_text(names.not_found);
    }
    if (chassis_type == Py_None) {
        if (PyObject_DelItem(node.get(), names.data) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    const int registered = PySequence_Contains(data.get(), chassis_type);
    if (registered < 0) {
        return nullptr;
    }
    if (registered == 0) {
        Ref error_class = lookup_global(names.ConnectionInfraError);
        if (!error_class) {
            return nullptr;
        }
        return raise_connection_error(
            std::move(error_class),
            Ref::steal(PyUnicode_Format(names.not_found_for, chassis_type)));
    }
    if (PyObject_DelItem(data.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
