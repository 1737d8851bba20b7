// Lookup of connection classes by OS, platform, model, OS flavour and
// chassis type (the tree: registry.hpp).
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

// "/".join(path) for a path with an element that is not a str: the join's
// own TypeError, which it always raises then.
Ref join_error(PyObject* const* path, int length) {
    Ref elements = Ref::steal(PyTuple_New(length));
    for (int i = 0; elements && i < length; ++i) {
        PyTuple_SET_ITEM(elements.get(), i, Py_NewRef(path[i]));
    }
    return elements ? py::join(not_found_texts[kSlash], elements.get()) : Ref();
}

// The message is made in one allocation: making "/".join(path) first costs
// the "not found" row 15 % more instructions.
PyObject* raise_not_found(PyObject* const* path, int length, PyObject* chassis_type) {
    return raise_infra_error([&]() -> Ref {
        if (!not_found_texts.ready()) {
            return {};
        }
        PyObject* pieces[1 + 4 * 2 + 3];
        int count = 0;
        pieces[count++] = not_found_texts[kOpen];
        for (int i = 0; i < length; ++i) {
            if (!PyUnicode_Check(path[i])) {
                return join_error(path, length);
            }
            if (i > 0) {
                pieces[count++] = not_found_texts[kSlash];
            }
            pieces[count++] = path[i];
        }
        Ref chassis_text = py::str(chassis_type);
        if (!chassis_text) {
            return {};
        }
        pieces[count++] = not_found_texts[kType];
        pieces[count++] = chassis_text.get();
        pieces[count++] = not_found_texts[kEnd];
        return join_texts(pieces, count);
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

}  // namespace telvar
