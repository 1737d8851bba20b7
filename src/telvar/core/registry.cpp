// The registry tree: construction and the plugins property, registration,
// lookup and unregistration of connection classes by OS, platform, model,
// OS flavour and chassis type.
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
// `view` is a view of self, and one again when this returns.
int validated_path(const Call& args, PyObject* os, PyObject* platform, PyObject* model,
                   PyObject* os_flavor, PyObject* chassis_type, PyObject* path[4],
                   ManagerView& view) {
    PyObject* params[] = {args[0], os, platform, model, chassis_type};
    if (call_validate_arguments(params, args.thread, view) < 0) {
        return -1;
    }
    return build_path(os, platform, model, os_flavor, path);
}

Ref registry_root(PyObject* self) {
    return self_attribute(self, Site::plugins, names.plugins_attr);
}

// `key in mapping` and `mapping[key]` in one look-up, where no Python code
// can tell the difference (see peek_str_key): 1 with `value` set, 0 when
// absent, -1 when only the API can tell.
int peek_entry(PyObject* mapping, PyObject* key, Ref& value) {
    PyObject* found = nullptr;
    const int present = peek_str_key(mapping, key, &found);
    if (present > 0) {
        value = Ref::hold(found);
    }
    return present;
}

// `key in mapping` and, when true, `mapping[key]`: 1 with `value` set, 0
// when absent, -1 on error.
int find_entry(PyObject* mapping, PyObject* key, Ref& value) {
    const int peeked = peek_entry(mapping, key, value);
    if (peeked >= 0) {
        return peeked;
    }
    const int present = python_contains(mapping, key);
    if (present <= 0) {
        return present;
    }
    value = get_item(mapping, key);
    return value ? 1 : -1;
}

// `element in node.keys()`
int in_keys(PyObject* node, PyObject* element) {
    if (PyDict_CheckExact(node)) {
        return python_dict_contains(node, element);  // what keys() would answer
    }
    Ref keys = call_method0(node, names.keys);
    return keys ? python_contains(keys.get(), element) : -1;
}

inline bool is_reserved_text(PyObject* element) {
    if (PyUnicode_CheckExact(element)) {
        // The common case, without a call: four ASCII characters.
        return PyUnicode_GET_LENGTH(element) == 4 && PyUnicode_IS_ASCII(element) &&
               std::memcmp(PyUnicode_DATA(element), "data", 4) == 0;
    }
    // A str subclass by its text; PyUnicode_EqualToUTF8 takes str only.
    return PyUnicode_Check(element) && PyUnicode_EqualToUTF8(element, "data") == 1;
}

// Whether `child`, the value that the comparison of `element` with the
// node's keys found, is the node's data map: the same comparison that
// decides where an element is stored decides whether it is reserved.
bool is_data_entry(PyObject* node, PyObject* child) {
    if (!PyDict_Check(node)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(node, &pos, &key, &value)) {
        if (value == child && is_reserved_text(key)) {
            return true;
        }
    }
    return false;
}

enum class Step { failed = -1, absent = 0, child = 1, reserved = 2 };

// One step of a walk: is `element` a child of `node` (a membership test on
// node.keys(), then node[element])? The reserved "data" entry is never a
// child.
Step find_child(PyObject* node, PyObject* element, Ref& child) {
    if (is_reserved_text(element)) {
        return Step::reserved;
    }
    const int peeked = peek_entry(node, element, child);
    if (peeked >= 0) {
        return static_cast<Step>(peeked);
    }
    const int present = in_keys(node, element);
    if (present <= 0) {
        return static_cast<Step>(present);
    }
    child = get_item(node, element);
    if (!child) {
        return Step::failed;
    }
    return is_data_entry(node, child.get()) ? Step::reserved : Step::child;
}

enum class Missing { skip, stop };

PyObject* refuse_reserved() {
    Ref message = Ref::steal(
        PyUnicode_FromString("'data' is reserved and cannot be used as a plugin path element"));
    return message ? raise_infra_text(message.get()) : nullptr;
}

// Walks `path` down from `node`, which ends at the node reached. At an
// element that is not a child the walk goes on at the same node
// (Missing::skip) or stops (Missing::stop). Returns the number of elements
// walked, or -1 with an exception set; `refuse_data` makes an element that
// reaches a data map an error instead of a missing child.
int walk(Ref& node, PyObject* const* path, int length, Missing missing, bool refuse_data) {
    for (int i = 0; i < length; ++i) {
        Ref child;
        const Step step = find_child(node.get(), path[i], child);
        if (step == Step::failed) {
            return -1;
        }
        if (step == Step::reserved && refuse_data) {
            refuse_reserved();
            return -1;
        }
        if (step == Step::child) {
            node = std::move(child);
        } else if (missing == Missing::stop) {
            return i;
        }
    }
    return length;
}

// --- registration -----------------------------------------------------------

Ref new_record(PyObject* cls, PyObject* class_path) {
    Ref record = Ref::steal(PyDict_New());
    if (!record || python_dict_set(record.get(), names.cls, cls) < 0 ||
        python_dict_set(record.get(), names.path, class_path) < 0) {
        return {};
    }
    return record;
}

Ref new_single_entry(PyObject* key, PyObject* value) {
    Ref map = Ref::steal(PyDict_New());
    if (!map || python_dict_set(map.get(), key, value) < 0) {
        return {};
    }
    return map;
}

Ref path_list(PyObject* const* path, int length) {
    Ref list = Ref::steal(PyList_New(length));
    for (int i = 0; list && i < length; ++i) {
        PyList_SET_ITEM(list.get(), i, Py_NewRef(path[i]));
    }
    return list;
}

// A class whose __name__ is read without running Python code: an instance
// of `type` itself, defined in Python.
bool is_plain_class(PyObject* cls) {
    return Py_IS_TYPE(cls, &PyType_Type) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE);
}

// The __module__ of a plain class when it is an exact str that the class's
// dict gives without running Python code (a dict whose keys are all exact
// str); null when only the interpreter's look-up can tell.
Ref plain_class_module(PyObject* cls) {
    PyObject* type_dict = heap_type_dict(reinterpret_cast<PyTypeObject*>(cls));
    PyObject* found = nullptr;
    if (type_dict == nullptr || peek_str_key(type_dict, names.dunder_module, &found) <= 0 ||
        !PyUnicode_CheckExact(found)) {
        return {};
    }
    return Ref::hold(found);
}

// Non-null wherever plain_class_module() is.
Ref plain_class_name(PyObject* cls) {
    return Ref::hold(heap_type_name(reinterpret_cast<PyTypeObject*>(cls)));
}

// repr() of an exact str that needs no escapes: the text in single quotes.
bool quotes_plainly(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) {
        return false;
    }
    const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        if (chars[i] < 0x20 || chars[i] > 0x7e || chars[i] == '\'' || chars[i] == '\\') {
            return false;
        }
    }
    return true;
}

// The replacement message for plain classes and str path elements, as
// str.format would make it; null without an error when it cannot be made
// here.
Ref plain_replacement_message(PyObject* existing_cls, PyObject* const* path, int length,
                              PyObject* cls) {
    if (!is_plain_class(existing_cls) || !is_plain_class(cls)) {
        return {};
    }
    // Every piece is held: making the pieces calls the C API.
    Ref cls_module = plain_class_module(cls);
    if (!cls_module) {
        return {};
    }
    Ref existing_name = plain_class_name(existing_cls);
    Ref cls_name = plain_class_name(cls);
    Ref reprs[4];
    // The head (3 pieces), each element quoted (3) with a comma before all
    // but the first, and the tail (5).
    PyObject* pieces[3 + 4 * 4 + 5];
    int count = 0;
    pieces[count++] = names.blank_one;
    pieces[count++] = existing_name.get();
    pieces[count++] = names.registered_for;
    for (int i = 0; i < length; ++i) {
        if (!PyUnicode_CheckExact(path[i])) {
            return {};
        }
        if (i > 0) {
            pieces[count++] = names.comma;
        }
        if (quotes_plainly(path[i])) {
            pieces[count++] = names.quote;
            pieces[count++] = path[i];
            pieces[count++] = names.quote;
        } else {
            reprs[i] = Ref::steal(PyObject_Repr(path[i]));  // an exact str: no Python code
            if (!reprs[i]) {
                return {};
            }
            pieces[count++] = reprs[i].get();
        }
    }
    pieces[count++] = names.close_bracket;
    pieces[count++] = cls_name.get();
    pieces[count++] = names.from_word;
    pieces[count++] = cls_module.get();
    pieces[count++] = names.overriding;
    return join_texts(pieces, count);
}

// Logs " {} already registered for {}, {} from {} is overriding this class".
bool log_replacement(PyObject* existing_record, PyObject* const* path, int length, PyObject* cls) {
    Ref existing_cls = get_item(existing_record, names.cls);
    if (!existing_cls) {
        return false;
    }
    Ref message = plain_replacement_message(existing_cls.get(), path, length, cls);
    if (message) {
        // Nothing above ran Python code, so the logger is looked up now.
        Ref logger = lookup_global(names.log);
        PyObject* call_args[] = {logger.get(), message.get()};
        return logger && Ref::steal(PyObject_VectorcallMethod(
                             names.debug, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (PyErr_Occurred()) {
        return false;
    }
    Ref debug = global_attribute(names.log, names.debug);
    Ref format = debug ? Ref::steal(PyObject_GetAttr(names.replaced_template, names.format))
                       : Ref();
    Ref existing_name = format ? Ref::steal(PyObject_GetAttr(existing_cls.get(), names.dunder_name))
                               : Ref();
    Ref hierarchy = existing_name ? path_list(path, length) : Ref();
    Ref cls_name = hierarchy ? Ref::steal(PyObject_GetAttr(cls, names.dunder_name)) : Ref();
    Ref cls_module = cls_name ? Ref::steal(PyObject_GetAttr(cls, names.dunder_module)) : Ref();
    if (!cls_module) {
        return false;
    }
    PyObject* format_args[] = {existing_name.get(), hierarchy.get(), cls_name.get(),
                               cls_module.get()};
    Ref formatted = Ref::steal(PyObject_Vectorcall(format.get(), format_args, 4, nullptr));
    return formatted && Ref::steal(PyObject_CallOneArg(debug.get(), formatted.get()));
}

// The record goes into the data map the node already has; 0 when the node
// has none, 1 when stored, -1 on error.
int store_in_data_map(PyObject* node, PyObject* const* path, int length, PyObject* cls,
                      PyObject* chassis_type, PyObject* class_path) {
    Ref data;
    const int has_data = find_entry(node, names.data, data);
    if (has_data <= 0) {
        return has_data;
    }
    Ref existing;
    const int registered = find_entry(data.get(), chassis_type, existing);
    if (registered < 0 || (registered > 0 && !log_replacement(existing.get(), path, length, cls))) {
        return -1;
    }
    Ref record = new_record(cls, class_path);
    if (!record || python_set_item(data.get(), chassis_type, record.get()) < 0 ||
        python_set_item(node, names.data, data.get()) < 0) {
        return -1;
    }
    return 1;
}

// The missing levels path[depth:] with the new data map at the bottom,
// built bottom up and attached to `node` with one store.
bool attach_branch(PyObject* node, PyObject* const* path, int depth, int length, PyObject* cls,
                   PyObject* chassis_type, PyObject* class_path) {
    Ref record = new_record(cls, class_path);
    Ref branch = record ? new_single_entry(chassis_type, record.get()) : Ref();
    PyObject* key = names.data;
    for (int i = length - 1; branch && i >= depth; --i) {
        branch = new_single_entry(key, branch.get());
        key = path[i];
    }
    return branch && python_set_item(node, key, branch.get()) == 0;
}

}  // namespace

// Registration never leaves a half-made change behind: the existing part of
// the path is walked first without changes, everything that can fail
// (hashing the new elements, getfile, the replacement record) happens next,
// and the tree is then changed by attaching a finished branch.
PyObject* register_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* cls = args[1];
    PyObject* chassis_type = args[6];
    PyObject* path[4];
    ManagerView view(self);
    const int length = validated_path(args, args[2], args[3], args[4], args[5], chassis_type, path,
                                      view);
    if (length < 0) {
        return nullptr;
    }
    for (int i = 0; i < length; ++i) {
        const int reserved = python_compare(path[i], names.data, Py_EQ);
        if (reserved != 0) {
            return reserved < 0 ? nullptr : refuse_reserved();
        }
    }
    Ref node = registry_root(self);
    const int depth = node ? walk(node, path, length, Missing::stop, true) : -1;
    if (depth < 0) {
        return nullptr;
    }
    // The new levels would be tested against new empty nodes: an unhashable
    // element fails there, before anything is created.
    for (int i = depth; i < length; ++i) {
        if (python_hash(path[i]) == -1) {
            return nullptr;
        }
    }
    Ref getfile = lookup_global(names.getfile);
    Ref class_path = getfile ? Ref::steal(PyObject_CallOneArg(getfile.get(), cls)) : Ref();
    if (!class_path) {
        return nullptr;
    }
    if (depth == length) {
        const int stored = store_in_data_map(node.get(), path, length, cls, chassis_type,
                                             class_path.get());
        if (stored != 0) {
            return stored < 0 ? nullptr : Py_NewRef(Py_None);
        }
    }
    if (!attach_branch(node.get(), path, depth, length, cls, chassis_type, class_path.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- lookup -----------------------------------------------------------------

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
// "), type: " + str(chassis_type) + " ")
PyObject* raise_not_found(PyObject* const* path, int length, PyObject* chassis_type) {
    return raise_infra_error([&]() -> Ref {
        bool all_text = PyUnicode_CheckExact(chassis_type);
        for (int i = 0; all_text && i < length; ++i) {
            all_text = PyUnicode_Check(path[i]);
        }
        if (all_text) {
            // The head, the elements with a slash between them, the tail.
            PyObject* pieces[1 + 4 * 2 + 3];
            int count = 0;
            pieces[count++] = names.not_found_for_open;
            for (int i = 0; i < length; ++i) {
                if (i > 0) {
                    pieces[count++] = names.slash;
                }
                pieces[count++] = path[i];
            }
            pieces[count++] = names.not_found_type;
            pieces[count++] = chassis_type;
            pieces[count++] = names.blank_one;
            return join_texts(pieces, count);
        }
        // The join raises its own TypeError for an element that is not a str.
        Ref elements = Ref::steal(PyTuple_New(length));
        for (int i = 0; elements && i < length; ++i) {
            PyTuple_SET_ITEM(elements.get(), i, Py_NewRef(path[i]));
        }
        Ref joined = elements ? Ref::steal(PyUnicode_Join(names.slash, elements.get())) : Ref();
        Ref chassis_text = joined ? Ref::steal(PyObject_Str(chassis_type)) : Ref();
        return chassis_text ? Ref::steal(PyUnicode_FromFormat("Plugin data not found for (%U), "
                                                              "type: %U ",
                                                              joined.get(), chassis_text.get()))
                            : Ref();
    });
}

}  // namespace

namespace {

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
    PyObject* path[4];
    ManagerView view(self);
    const int length = validated_path(args, args[1], args[2], args[3], args[4], chassis_type, path,
                                      view);
    if (length < 0) {
        return nullptr;
    }
    // The tree is borrowed while nothing can run Python code.
    const Borrowed root(view.attribute(Site::plugins));
    PyObject* plain_cls = nullptr;
    const int plain = root ? plain_lookup(root.get(), path, length, chassis_type, &plain_cls) : -1;
    if (plain > 0) {
        return Py_NewRef(plain_cls);
    }
    if (plain == 0) {
        return raise_not_found(path, length, chassis_type);
    }
    Ref node = registry_root(self);
    if (!node || walk(node, path, length, Missing::skip, false) < 0) {
        return nullptr;
    }
    Ref cls;
    const int found = find_record_class(node.get(), chassis_type, cls);
    if (found != 0) {
        return cls.release();
    }
    return raise_not_found(path, length, chassis_type);
}

// --- unregistration -----------------------------------------------------------

// Addresses one exact node; every check comes before the one deletion.
PyObject* unregister_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    PyObject* path[4];
    // The caller's chassis type is never validated here.
    ManagerView view(self);
    const int length = validated_path(args, args[1], args[2], args[3], args[4], names.single_rp,
                                      path, view);
    if (length < 0) {
        return nullptr;
    }
    Ref node = registry_root(self);
    const int walked = node ? walk(node, path, length, Missing::stop, false) : -1;
    if (walked < length) {
        return walked < 0 ? nullptr : raise_infra_text(names.not_found);
    }
    if (chassis_type == Py_None) {
        const int has_data = python_contains(node.get(), names.data);
        if (has_data <= 0) {
            return has_data < 0 ? nullptr : raise_infra_text(names.not_found);
        }
        return python_del_item(node.get(), names.data) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data <= 0) {
        return has_data < 0 ? nullptr : raise_infra_text(names.not_found);
    }
    const int registered = python_contains(data.get(), chassis_type);
    if (registered == 0) {
        return raise_infra_error(
            [&] { return Ref::steal(PyUnicode_Format(names.not_found_for, chassis_type)); });
    }
    if (registered < 0 || python_del_item(data.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- construction and the plugins property --------------------------------

PyObject* init_impl(const Call& args) {
    PyObject* self = args[0];
    Ref registry = Ref::steal(PyDict_New());
    if (!registry || python_set_attribute(self, names.plugins_attr, registry.get()) < 0) {
        return nullptr;
    }
    Ref chassis = lookup_global(names.supported_chassis);
    if (!chassis || python_set_attribute(self, names.chassis_type_list, chassis.get()) < 0) {
        return nullptr;
    }
    Ref supported = lookup_global(names.supported_os);
    if (!supported || python_set_attribute(self, names.supported_os, supported.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* plugins_get_impl(const Call& args) { return registry_root(args[0]).release(); }

PyObject* plugins_set_impl(const Call& /*args*/) {
    // The leading blank is part of the message callers have always seen.
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

}  // namespace telvar
