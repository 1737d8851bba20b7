// Lookup and unregistration of connection classes by OS, platform, model,
// OS flavour and chassis type (the tree: registry.hpp).
#include "registry.hpp"

namespace telvar {

namespace {

// `"data" in node and chassis_type in node["data"]`, then
// `node["data"][chassis_type]["cls"]`: 1 with `cls` set, 0 when there is no
// record, -1 on error. The data map is read again for the record, unless no
// Python code can tell.
int find_record_class(PyObject* node, PyObject* chassis_type, Ref& cls) {
    Ref data;
    int has_data = peek_entry(node, names.data, data);
    const bool plain_node = has_data >= 0;
    if (!plain_node) {
        has_data = find_entry(node, names.data, data);
    }
    if (has_data <= 0) {
        return has_data;
    }
    Ref record;
    const int peeked = plain_node ? peek_entry(data.get(), chassis_type, record) : -1;
    if (peeked == 0) {
        return 0;
    }
    if (peeked < 0) {
        const int registered = python_contains(data.get(), chassis_type);
        if (registered <= 0) {
            return registered;
        }
        Ref again = plain_node ? std::move(data) : get_item(node, names.data);
        record = again ? get_item(again.get(), chassis_type) : Ref();
        if (!record) {
            return -1;
        }
    }
    cls = get_item(record.get(), names.cls);
    return cls ? 1 : -1;
}

// ConnectionInfraError("Plugin data not found for (" + "/".join(path) +
// "), type: " + str(chassis_type) + " "), from these texts.
enum NotFoundText { kOpen, kSlash, kType, kEnd };
MessageTexts<4> not_found_texts("Plugin data not found for (", "/", "), type: ", " ");

// The message when every piece is a str already: the head, the elements
// with a slash between them, the tail.
Ref plain_not_found_message(PyObject* const* path, int length, PyObject* chassis_type) {
    PyObject* pieces[1 + 4 * 2 + 3];
    int count = 0;
    pieces[count++] = not_found_texts[kOpen];
    for (int i = 0; i < length; ++i) {
        if (i > 0) {
            pieces[count++] = not_found_texts[kSlash];
        }
        pieces[count++] = path[i];
    }
    pieces[count++] = not_found_texts[kType];
    pieces[count++] = chassis_type;
    pieces[count++] = not_found_texts[kEnd];
    return join_texts(pieces, count);
}

PyObject* raise_not_found(PyObject* const* path, int length, PyObject* chassis_type) {
    return raise_infra_error([&]() -> Ref {
        if (!not_found_texts.ready()) {
            return {};
        }
        bool all_text = PyUnicode_CheckExact(chassis_type);
        for (int i = 0; all_text && i < length; ++i) {
            all_text = PyUnicode_Check(path[i]);
        }
        if (all_text) {
            return plain_not_found_message(path, length, chassis_type);
        }
        // The join raises its own TypeError for an element that is not a str.
        Ref elements = Ref::steal(PyTuple_New(length));
        for (int i = 0; elements && i < length; ++i) {
            PyTuple_SET_ITEM(elements.get(), i, Py_NewRef(path[i]));
        }
        Ref joined = elements ? Ref::steal(PyUnicode_Join(not_found_texts[kSlash], elements.get()))
                              : Ref();
        Ref chassis_text = joined ? Ref::steal(PyObject_Str(chassis_type)) : Ref();
        if (!chassis_text) {
            return {};
        }
        PyObject* const pieces[] = {not_found_texts[kOpen], joined.get(), not_found_texts[kType],
                                    chassis_text.get(), not_found_texts[kEnd]};
        return join_texts(pieces, 5);
    });
}

// The lookup where no step can run Python code (exact dicts of exact str
// keys, searched for exact str): 1 with `cls` (borrowed from the tree), 0
// when there is no record, -1 when only the general walk can tell.
int plain_lookup(PyObject* root, PyObject* const* path, int length, PyObject* chassis_type,
                 PyObject** cls) {
    if (!fast_paths()) {
        return -1;
    }
    PyObject* node = root;
    for (int i = 0; i < length; ++i) {
        PyObject* element = path[i];
        if (!PyUnicode_CheckExact(element) || kept_hash(element) == -1) {
            return -1;
        }
        // "data" is never a child; the walk stays where it is.
        if (is_reserved_text(element)) {
            continue;
        }
        PyObject* child = nullptr;
        const int found = peek_hashed(node, element, kept_hash(element), &child);
        if (found < 0) {
            return -1;
        }
        // The node's own data map is never a child, whatever key reaches it.
        PyObject* data = nullptr;
        if (found > 0 &&
            !(peek_hashed(node, names.data, kept_hash(names.data), &data) > 0 && data == child)) {
            node = child;
        }
    }
    PyObject* data = nullptr;
    PyObject* record = nullptr;
    int found = peek_hashed(node, names.data, kept_hash(names.data), &data);
    if (found > 0) {
        found = peek_str_key(data, chassis_type, &record);
    }
    if (found > 0) {
        // A record without "cls" is left to the general path's KeyError.
        found = peek_hashed(record, names.cls, kept_hash(names.cls), cls) > 0 ? 1 : -1;
    }
    return found;
}

}  // namespace

PyObject* get_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    CallPath at(args, 1, chassis_type);
    if (at.length < 0) {
        return nullptr;
    }
    // The tree is borrowed while nothing can run Python code.
    const Borrowed root(at.view.attribute(Site::plugins));
    PyObject* plain_cls = nullptr;
    const int plain = root ? plain_lookup(root.get(), at.path, at.length, chassis_type, &plain_cls)
                           : -1;
    if (plain > 0) {
        return Py_NewRef(plain_cls);
    }
    if (plain == 0) {
        return raise_not_found(at.path, at.length, chassis_type);
    }
    Ref node = registry_root(self);
    if (!node || walk(node, at.path, at.length, Missing::skip, false) < 0) {
        return nullptr;
    }
    Ref cls;
    const int found = find_record_class(node.get(), chassis_type, cls);
    if (found != 0) {
        return cls.release();
    }
    return raise_not_found(at.path, at.length, chassis_type);
}

// --- unregistration -----------------------------------------------------------

namespace {

// ConnectionInfraError("Plugin data not found"), and
// ConnectionInfraError("Plugin data not found for %s" % chassis_type).
enum UnregisterText { kNothing, kNothingFor };
MessageTexts<2> unregister_texts("Plugin data not found", "Plugin data not found for %s");

PyObject* raise_nothing_found() {
    return raise_infra_error(
        [] { return unregister_texts.ready() ? Ref::hold(unregister_texts[kNothing]) : Ref(); });
}

PyObject* raise_nothing_found_for(PyObject* chassis_type) {
    return raise_infra_error([chassis_type] {
        return unregister_texts.ready()
                   ? Ref::steal(PyUnicode_Format(unregister_texts[kNothingFor], chassis_type))
                   : Ref();
    });
}

}  // namespace

// Addresses one exact node; every check comes before the one deletion.
PyObject* unregister_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    // The caller's chassis type is never validated here.
    CallPath at(args, 1, names.single_rp);
    if (at.length < 0) {
        return nullptr;
    }
    Ref node = registry_root(self);
    const int walked = node ? walk(node, at.path, at.length, Missing::stop, false) : -1;
    if (walked < at.length) {
        return walked < 0 ? nullptr : raise_nothing_found();
    }
    if (chassis_type == Py_None) {
        const int has_data = python_contains(node.get(), names.data);
        if (has_data <= 0) {
            return has_data < 0 ? nullptr : raise_nothing_found();
        }
        return python_del_item(node.get(), names.data) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data <= 0) {
        return has_data < 0 ? nullptr : raise_nothing_found();
    }
    const int registered = python_contains(data.get(), chassis_type);
    if (registered == 0) {
        return raise_nothing_found_for(chassis_type);
    }
    if (registered < 0 || python_del_item(data.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
