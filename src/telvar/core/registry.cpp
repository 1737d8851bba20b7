// The registry tree: registration, lookup and unregistration of connection
// classes by OS, platform, model, OS flavour and chassis type.
//
// A node is a dict of child names and at most one "data" entry, the data
// map from chassis type to the record {"cls": class, "path": source file}.
#include "common.hpp"

namespace telvar {

int node_has_key(PyObject* node, PyObject* element) {
    if (PyDict_CheckExact(node)) {
        return PyDict_Contains(node, element);
    }
    Ref keys = call_method0(node, names.keys);
    if (!keys) {
        return -1;
    }
    return PySequence_Contains(keys.get(), element);
}

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

namespace {

// self.validate_arguments(os, platform, model, chassis_type)
bool validate(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
              PyObject* chassis_type) {
    PyObject* stack[] = {self, os, platform, model, chassis_type};
    return static_cast<bool>(call_method(self, names.validate_arguments, stack, 5, nullptr,
                                         Fn::validate_arguments, stack));
}

Ref registry_root(PyObject* self) {
    return Ref::steal(PyObject_GetAttr(self, names.plugins_attr));
}

Ref get_item(PyObject* mapping, PyObject* key) {
    return Ref::steal(PyObject_GetItem(mapping, key));
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
bool log_replacement(PyObject* existing_record, PyObject* const* path, int length,
                     PyObject* cls) {
    Ref existing_cls = get_item(existing_record, names.cls);
    if (!existing_cls) {
        return false;
    }
    Ref log = lookup_global(names.log);
    if (!log) {
        return false;
    }
    Ref debug = Ref::steal(PyObject_GetAttr(log.get(), names.debug));
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
    PyObject* os = args[2];
    PyObject* platform = args[3];
    PyObject* model = args[4];
    PyObject* os_flavor = args[5];
    PyObject* chassis_type = args[6];

    if (!validate(self, os, platform, model, chassis_type)) {
        return nullptr;
    }
    PyObject* path[4];
    const int length = build_path(os, platform, model, os_flavor, path);
    if (refuse_reserved(path, length) == nullptr) {
        return nullptr;
    }
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    int depth = 0;
    for (; depth < length; ++depth) {
        const int found = node_has_key(node.get(), path[depth]);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            break;
        }
        Ref child = get_item(node.get(), path[depth]);
        if (!child) {
            return nullptr;
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
        const int has_data = PySequence_Contains(node.get(), names.data);
        if (has_data < 0) {
            return nullptr;
        }
        if (has_data > 0) {
            Ref data = get_item(node.get(), names.data);
            if (!data) {
                return nullptr;
            }
            const int registered = PySequence_Contains(data.get(), chassis_type);
            if (registered < 0) {
                return nullptr;
            }
            if (registered > 0) {
                Ref existing = get_item(data.get(), chassis_type);
                if (!existing || !log_replacement(existing.get(), path, length, cls)) {
                    return nullptr;
                }
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
    PyObject* os = args[1];
    PyObject* platform = args[2];
    PyObject* model = args[3];
    PyObject* os_flavor = args[4];
    PyObject* chassis_type = args[5];

    if (!validate(self, os, platform, model, chassis_type)) {
        return nullptr;
    }
    PyObject* path[4];
    const int length = build_path(os, platform, model, os_flavor, path);
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    // Missing levels are skipped: the next element is matched at the same node.
    for (int i = 0; i < length; ++i) {
        const int found = node_has_key(node.get(), path[i]);
        if (found < 0) {
            return nullptr;
        }
        if (found > 0) {
            Ref child = get_item(node.get(), path[i]);
            if (!child) {
                return nullptr;
            }
            node = std::move(child);
        }
    }
    const int has_data = PySequence_Contains(node.get(), names.data);
    if (has_data < 0) {
        return nullptr;
    }
    if (has_data > 0) {
        Ref data = get_item(node.get(), names.data);
        if (!data) {
            return nullptr;
        }
        const int registered = PySequence_Contains(data.get(), chassis_type);
        if (registered < 0) {
            return nullptr;
        }
        if (registered > 0) {
            data = get_item(node.get(), names.data);
            if (!data) {
                return nullptr;
            }
            Ref record = get_item(data.get(), chassis_type);
            if (!record) {
                return nullptr;
            }
            return PyObject_GetItem(record.get(), names.cls);
        }
    }

    // "Plugin data not found for (a/b/c), type: <chassis> "
    Ref error_class = lookup_global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref hierarchy = path_list(path, length);
    if (!hierarchy) {
        return nullptr;
    }
    Ref joined = Ref::steal(PyUnicode_Join(names.slash, hierarchy.get()));
    if (!joined) {
        return nullptr;
    }
    Ref chassis_text = Ref::steal(PyObject_Str(chassis_type));
    if (!chassis_text) {
        return nullptr;
    }
    return raise_connection_error(
        std::move(error_class), concat({names.not_found_path, joined.get(), names.not_found_type,
                                        chassis_text.get(), names.blank}));
}

// Addresses one exact node; every check comes before the one deletion.
PyObject* unregister_plugin_impl(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* os = args[1];
    PyObject* platform = args[2];
    PyObject* model = args[3];
    PyObject* os_flavor = args[4];
    PyObject* chassis_type = args[5];

    // The chassis type is never validated here.
    if (!validate(self, os, platform, model, names.single_rp)) {
        return nullptr;
    }
    PyObject* path[4];
    const int length = build_path(os, platform, model, os_flavor, path);
    Ref node = registry_root(self);
    if (!node) {
        return nullptr;
    }
    for (int i = 0; i < length; ++i) {
        const int found = node_has_key(node.get(), path[i]);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            return raise_text(names.not_found);
        }
        Ref child = get_item(node.get(), path[i]);
        if (!child) {
            return nullptr;
        }
        node = std::move(child);
    }
    const int has_data = PySequence_Contains(node.get(), names.data);
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
    Ref data = get_item(node.get(), names.data);
    if (!data) {
        return nullptr;
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
