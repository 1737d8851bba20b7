// Registration of a connection class by OS, platform, model, OS flavour and
// chassis type (the tree: registry.hpp).
#include "registry/registry.hpp"

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
bool quotes_without_escapes(PyObject* text) {
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

// The record for classes and a path of exact str whose reads and formatting
// run no Python code: the same text in one allocation (formatting the list
// as the rule does costs the replacing row half as much again). Found with
// the message (null with an exception set), or unknown.
Inert<Ref> inert_message(PyObject* existing_cls, PyObject* const* path, int length, PyObject* cls) {
    const Inert<ClassNames> existing_names = inert_class_names(existing_cls);
    const Inert<ClassNames> added_names = inert_class_names(cls);
    const ClassNames& existing = existing_names.value;
    const ClassNames& added = added_names.value;
    if (!existing_names.found() || !added_names.found() || !PyUnicode_CheckExact(existing.name) ||
        !PyUnicode_CheckExact(added.name) || !PyUnicode_CheckExact(added.module)) {
        return {};
    }
    PyObject* pieces[3 + 2 + 4 * 4 + 5];
    int count = 0;
    for (PyObject* piece : {replaced_texts[kLead], existing.name, replaced_texts[kRegisteredFor],
                            replaced_texts[kOpen]}) {
        pieces[count++] = piece;
    }
    for (int i = 0; i < length; ++i) {
        if (!quotes_without_escapes(path[i])) {
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
    return {Told::found, join_texts(pieces, count)};
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
    Inert<Ref> inert = inert_message(existing_cls.get(), path, length, cls);
    if (inert.unknown()) {
        return log_formatted(global_attribute(names.log, names.debug), existing_cls.get(), path,
                             length, cls);
    }
    Ref message = std::move(inert.value);
    if (!message) {
        return false;
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
int store_in_data_map(PyObject* node, const CallPath& at, PyObject* cls, PyObject* chassis_type,
                      PyObject* record) {
    Ref data;
    const int has_data = find_entry(node, names.data, data);
    if (has_data <= 0) {
        return has_data;
    }
    Ref existing;
    const int registered = find_entry(data.get(), chassis_type, existing);
    if (registered < 0 ||
        (registered > 0 && !log_replacement(existing.get(), at.path, at.length, cls))) {
        return -1;
    }
    if (py::set_item(data.get(), chassis_type, record) < 0 ||
        py::set_item(node, names.data, data.get()) < 0) {
        return -1;
    }
    return 1;
}

// What registration adds below the node where its walk ends: at(depth) is
// filed under key(depth), path[depth] or, below the last element, "data";
// it holds the rest of the path and, at the bottom, the data map
// {chassis_type: record}. Building them hashes the chassis type and
// path[1:]: where that could run Python code (a key that is not an exact
// str), they are built at once, before the walk decides where they go, so
// that nothing runs Python code after that decision but the store itself.
class NewLevels {
  public:
    NewLevels(const CallPath& at, PyObject* chassis_type, PyObject* record)
        : at_(at), chassis_type_(chassis_type), record_(record) {}

    bool prepare() {
        bool inert = PyUnicode_CheckExact(chassis_type_);
        for (int i = 1; inert && i < at_.length; ++i) {
            inert = PyUnicode_CheckExact(at_.path[i]);
        }
        return inert || build(0);
    }

    PyObject* key(int depth) const { return depth < at_.length ? at_.path[depth] : names.data; }

    // The level filed under key(depth); null with an exception set.
    PyObject* at(int depth) {
        return levels_[depth] || build(depth) ? levels_[depth].get() : nullptr;
    }

  private:
    bool build(int from) {
        levels_[at_.length] = new_single_entry(chassis_type_, record_);
        for (int i = at_.length - 1; i >= from && levels_[i + 1]; --i) {
            levels_[i] = new_single_entry(key(i + 1), levels_[i + 1].get());
        }
        return static_cast<bool>(levels_[from]);
    }

    const CallPath& at_;
    PyObject* chassis_type_;
    PyObject* record_;
    Ref levels_[5];
};

// Files `level` under `key` in the node, unless Python code filed something
// there while the key was hashed: 1 when filed, 0 with `existing` set to
// what is there instead, -1 on error. A dict subclass's own item assignment
// is used as it is.
int attach(PyObject* node, PyObject* key, PyObject* level, Ref& existing) {
    if (!PyDict_CheckExact(node)) {
        return py::set_item(node, key, level) < 0 ? -1 : 1;
    }
    const int found = py::dict_setdefault(node, key, level, existing);
    return found < 0 ? -1 : found == 0 ? 1 : 0;
}

// Everything about the path that can fail or run Python code before the
// tree is read: an element equal to "data" is refused (a str by its text,
// without asking it),
// and every element is hashed as a dict's membership test hashes it (an
// unhashable one fails here with that test's error, before anything is
// created).
bool path_accepted(PyObject* const* path, int length) {
    Ref empty;
    for (int i = 0; i < length; ++i) {
        PyObject* element = path[i];
        const int reserved = PyUnicode_Check(element) ? is_reserved_text(element)
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

// Walks the existing part of the path and files the record there: into the
// data map the node has, or with the missing levels. Where Python code
// filed the missing level itself meanwhile, the walk goes on from it.
PyObject* file_record(Ref node, const CallPath& at, PyObject* cls, PyObject* chassis_type,
                      PyObject* record, NewLevels& levels) {
    for (int depth = 0;;) {
        const int walked = walk(node, at.path + depth, at.length - depth, Missing::stop, true);
        if (walked < 0) {
            return nullptr;
        }
        depth += walked;
        if (depth == at.length) {
            const int stored = store_in_data_map(node.get(), at, cls, chassis_type, record);
            if (stored != 0) {
                return stored < 0 ? nullptr : Py_NewRef(Py_None);
            }
            PyObject* data = levels.at(depth);
            return data && py::set_item(node.get(), names.data, data) == 0 ? Py_NewRef(Py_None)
                                                                           : nullptr;
        }
        PyObject* level = levels.at(depth);
        Ref existing;
        const int attached = level ? attach(node.get(), levels.key(depth), level, existing) : -1;
        if (attached != 0) {
            return attached < 0 ? nullptr : Py_NewRef(Py_None);
        }
        node = std::move(existing);
        ++depth;
    }
}

}  // namespace

// Everything that can fail or run Python code of its own (refusing "data",
// hashing the elements, getfile, building what is added below a key that
// is not an exact str) comes before the tree is read, so that the tree
// walked is the one changed. The existing part of the path is walked
// without changes, and the tree is then changed by one store: into the
// data map the node has, or of the missing levels.
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
    Ref record = class_path ? new_record(cls, class_path.get()) : Ref();
    NewLevels levels(at, chassis_type, record.get());
    Ref node = record && levels.prepare() ? registry_root(self) : Ref();
    return node ? file_record(std::move(node), at, cls, chassis_type, record.get(), levels)
                : nullptr;
}

}  // namespace telvar
