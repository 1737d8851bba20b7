// Registration of a connection class by OS, platform, model, OS flavour and
// chassis type (the tree: registry.hpp).
#include "registry.hpp"

#include <initializer_list>

namespace telvar {

namespace {

Ref new_record(PyObject* cls, PyObject* class_path) {
    Ref record = Ref::steal(PyDict_New());
    if (!record || py::dict_set(record.get(), names.cls, cls) < 0 ||
        py::dict_set(record.get(), names.path, class_path) < 0) {
        return {};
    }
    return record;
}

Ref new_single_entry(PyObject* key, PyObject* value) {
    Ref map = Ref::steal(PyDict_New());
    if (!map || py::dict_set(map.get(), key, value) < 0) {
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

// The debug record of a replacement, as str.format makes it from
//   " {} already registered for {}, {} from {} is overriding this class"
// with existing.__name__, [path...], cls.__name__ and cls.__module__:
// format(value, "") of each value, in order, between these texts (and, for
// a list of str that need no escapes, its brackets and quotes).
enum ReplacedText { kLead, kRegisteredFor, kComma, kFrom, kOverriding, kOpen, kQuote, kClose };
MessageTexts<8> replaced_texts(" ", " already registered for ", ", ", " from ",
                               " is overriding this class", "[", "'", "]");

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

// The record for plain classes and a path of plain str, whose reads and
// formatting run no Python code: the same text in one allocation (str() of
// the list alone would cost more than the rest). Null when it cannot be
// made so.
Ref plain_message(PyObject* existing_cls, PyObject* const* path, int length, PyObject* cls) {
    ClassNames existing{};
    ClassNames added{};
    if (!quiet_class_names(existing_cls, existing) || !quiet_class_names(cls, added) ||
        !PyUnicode_CheckExact(existing.name) || !PyUnicode_CheckExact(added.name) ||
        !PyUnicode_CheckExact(added.module)) {
        return {};
    }
    PyObject* pieces[3 + 2 + 4 * 4 + 5];
    int count = 0;
    for (PyObject* piece : {replaced_texts[kLead], existing.name, replaced_texts[kRegisteredFor],
                            replaced_texts[kOpen]}) {
        pieces[count++] = piece;
    }
    for (int i = 0; i < length; ++i) {
        if (!quotes_plainly(path[i])) {
            return {};
        }
        if (i > 0) {
            pieces[count++] = replaced_texts[kComma];
        }
        pieces[count++] = replaced_texts[kQuote];
        pieces[count++] = path[i];
        pieces[count++] = replaced_texts[kQuote];
    }
    for (PyObject* piece : {replaced_texts[kClose], replaced_texts[kComma], added.name,
                            replaced_texts[kFrom], added.module, replaced_texts[kOverriding]}) {
        pieces[count++] = piece;
    }
    return join_texts(pieces, count);
}

// The record made by the rule: the logger and its method are looked up
// first, then the values read and formatted.
bool log_formatted(Ref debug, PyObject* existing_cls, PyObject* const* path, int length,
                   PyObject* cls) {
    Ref values[4];
    values[0] = debug ? py::attribute(existing_cls, names.dunder_name) : Ref();
    values[1] = values[0] ? path_list(path, length) : Ref();
    values[2] = values[1] ? py::attribute(cls, names.dunder_name) : Ref();
    values[3] = values[2] ? py::attribute(cls, names.dunder_module) : Ref();
    Ref texts[4];
    for (int i = 0; i < 4; ++i) {
        texts[i] = values[3] ? py::format(values[i].get(), names.empty) : Ref();
        if (!texts[i]) {
            return false;
        }
    }
    PyObject* const pieces[] = {
        replaced_texts[kLead], texts[0].get(),         replaced_texts[kRegisteredFor],
        texts[1].get(),        replaced_texts[kComma], texts[2].get(),
        replaced_texts[kFrom], texts[3].get(),         replaced_texts[kOverriding]};
    Ref message = join_texts(pieces, 9);
    return message && py::call_one(debug.get(), message.get());
}

// Logs the debug record of a replacement.
bool log_replacement(PyObject* existing_record, PyObject* const* path, int length, PyObject* cls) {
    Ref existing_cls = get_item(existing_record, names.cls);
    if (!existing_cls || !replaced_texts.ready()) {
        return false;
    }
    Ref message = plain_message(existing_cls.get(), path, length, cls);
    if (!message) {
        return !PyErr_Occurred() && log_formatted(global_attribute(names.log, names.debug),
                                                  existing_cls.get(), path, length, cls);
    }
    // Nothing above ran Python code: the logger is looked up now, as it is
    // used, without a bound method.
    Ref logger = lookup_global(names.log);
    PyObject* call_args[] = {logger.get(), message.get()};
    return logger &&
           py::vectorcall_method(names.debug, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
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
    if (!record || py::set_item(data.get(), chassis_type, record.get()) < 0 ||
        py::set_item(node, names.data, data.get()) < 0) {
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
    return branch && py::set_item(node, key, branch.get()) == 0;
}

// Everything about the path that can fail or run Python code before the
// tree is read: an element equal to "data" is refused, and every element
// is hashed as a dict's membership test hashes it (an unhashable one fails
// here with that test's error, before anything is created).
bool path_accepted(PyObject* const* path, int length) {
    Ref empty;
    for (int i = 0; i < length; ++i) {
        PyObject* element = path[i];
        const int reserved = PyUnicode_CheckExact(element)
                                 ? is_reserved_text(element)
                                 : py::compare(element, names.data, Py_EQ);
        if (reserved != 0) {
            if (reserved > 0) {
                refuse_reserved();
            }
            return false;
        }
    }
    for (int i = 0; i < length; ++i) {
        if (PyUnicode_CheckExact(path[i])) {
            continue;  // hashed without running Python code
        }
        if (!empty && !(empty = Ref::steal(PyDict_New()))) {
            return false;
        }
        if (py::dict_contains(empty.get(), path[i]) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Everything that can fail or run Python code of its own (refusing "data",
// hashing the elements, getfile) comes before the tree is read, so that
// the tree walked is the one changed. The existing part of the path is
// walked without changes, and the tree is then changed by one store: into
// the data map the node has, or of a finished branch.
PyObject* register_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* cls = args[1];
    PyObject* chassis_type = args[6];
    CallPath at(args, 2, chassis_type);
    if (at.length < 0 || !path_accepted(at.path, at.length)) {
        return nullptr;
    }
    Ref getfile = lookup_global(names.getfile);
    Ref class_path = getfile ? py::call_one(getfile.get(), cls) : Ref();
    Ref node = class_path ? registry_root(self) : Ref();
    const int depth = node ? walk(node, at.path, at.length, Missing::stop, true) : -1;
    if (depth < 0) {
        return nullptr;
    }
    if (depth == at.length) {
        const int stored = store_in_data_map(node.get(), at.path, at.length, cls, chassis_type,
                                             class_path.get());
        if (stored != 0) {
            return stored < 0 ? nullptr : Py_NewRef(Py_None);
        }
    }
    if (!attach_branch(node.get(), at.path, depth, at.length, cls, chassis_type,
                       class_path.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
