// Lookup and unregistration of connection classes by OS, platform, model,
// OS flavour and chassis type (the tree: registry.hpp).
#include "registry/registry.hpp"

namespace telvar {

namespace {

// `"data" in node and chassis_type in node["data"]`, then
// `node["data"][chassis_type]["cls"]`: 1 with `cls` set, 0 when there is no
// record, -1 on error. The data map is read again for the record, as the
// rule reads it: the membership test may have run Python code.
int find_record_class(PyObject* node, PyObject* chassis_type, Ref& cls) {
    Ref data;
    const int has_data = find_entry(node, names.data, data);
    if (has_data <= 0) {
        return has_data;
    }
    const int registered = has_key(data.get(), chassis_type);
    if (registered <= 0) {
        return registered;
    }
    data = get_item(node, names.data);
    Ref record = data ? get_item(data.get(), chassis_type) : Ref();
    cls = record ? get_item(record.get(), names.cls) : Ref();
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
        Ref joined = elements ? py::join(not_found_texts[kSlash], elements.get()) : Ref();
        Ref chassis_text = joined ? py::str(chassis_type) : Ref();
        if (!chassis_text) {
            return {};
        }
        PyObject* const pieces[] = {not_found_texts[kOpen], joined.get(), not_found_texts[kType],
                                    chassis_text.get(), not_found_texts[kEnd]};
        return join_texts(pieces, 5);
    });
}

// The lookup where no step can run Python code (exact dicts of exact str
// keys, searched for exact str), by the walk's own rule: the class
// (borrowed from the tree), absent when there is no record, or unknown
// when only the general walk can tell.
Inert<> inert_lookup(const Inert<>& root, PyObject* const* path, int length,
                     PyObject* chassis_type) {
    const Inert<Py_hash_t> data_hash = inert_hash(names.data);
    if (!root.found() || !data_hash.found()) {
        return {};
    }
    PyObject* node = root.value.get();
    for (int i = 0; i < length; ++i) {
        const Inert<Py_hash_t> hash = inert_hash(path[i]);
        const Inert<> child = hash.found() ? inert_child(node, path[i], hash.value, data_hash.value)
                                           : Inert<>{};
        if (child.unknown()) {
            return {};
        }
        node = child.found() ? child.value.get() : node;
    }
    const Inert<> data = inert_probe(node, names.data, data_hash.value);
    const Inert<> record = data.found() ? inert_find(data.value.get(), chassis_type) : data;
    const Inert<> cls = record.found() ? inert_find(record.value.get(), names.cls) : record;
    // A record without "cls" is left to the general path's KeyError.
    return record.found() && !cls.found() ? Inert<>{} : cls;
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
    const Inert<> inert = inert_lookup(inert_self_attribute(self, Site::plugins), at.path,
                                       at.length, chassis_type);
    if (inert.found()) {
        return Py_NewRef(inert.value.get());
    }
    if (inert.told == Told::absent) {
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
        return unregister_texts.ready() ? py::percent(unregister_texts[kNothingFor], chassis_type)
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
        const int has_data = has_key(node.get(), names.data);
        if (has_data <= 0) {
            return has_data < 0 ? nullptr : raise_nothing_found();
        }
        return py::del_item(node.get(), names.data) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data <= 0) {
        return has_data < 0 ? nullptr : raise_nothing_found();
    }
    const int registered = has_key(data.get(), chassis_type);
    if (registered == 0) {
        return raise_nothing_found_for(chassis_type);
    }
    if (registered < 0 || py::del_item(data.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
