// Registration of a connection class by OS, platform, model, OS flavour and
// chassis type (the tree: registry.hpp).
#include "registry.hpp"

namespace telvar {

namespace {

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

// The debug record of a replacement, as the rule writes it:
//   " {} already registered for {}, {} from {} is overriding this class"
//   .format(existing.__name__, [path...], cls.__name__, cls.__module__)
// Its fixed texts, and those of a list of str as str() writes it.
enum ReplacedText { kLead, kRegisteredFor, kComma, kFrom, kOverriding, kOpen, kQuote, kClose };
MessageTexts<8> replaced_texts(" ", " already registered for ", ", ", " from ",
                               " is overriding this class", "[", "'", "]");

// The path as str() writes a list of exact str into `pieces`: the number
// of pieces, or -1 when it cannot be written here (`reprs` holds the
// quoted elements that need escapes).
int plain_path_text(PyObject* const* path, int length, PyObject** pieces, Ref* reprs) {
    int count = 0;
    pieces[count++] = replaced_texts[kOpen];
    for (int i = 0; i < length; ++i) {
        if (!PyUnicode_CheckExact(path[i])) {
            return -1;
        }
        if (i > 0) {
            pieces[count++] = replaced_texts[kComma];
        }
        if (quotes_plainly(path[i])) {
            pieces[count++] = replaced_texts[kQuote];
            pieces[count++] = path[i];
            pieces[count++] = replaced_texts[kQuote];
        } else {
            reprs[i] = Ref::steal(PyObject_Repr(path[i]));  // an exact str: no Python code
            if (!reprs[i]) {
                return -1;
            }
            pieces[count++] = reprs[i].get();
        }
    }
    pieces[count++] = replaced_texts[kClose];
    return count;
}

// The record for plain classes and str path elements, made without running
// Python code; null without an error when it cannot be made here.
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
    // The head (3 pieces), the list (2, and 4 for each element) and the tail (5).
    PyObject* pieces[3 + 2 + 4 * 4 + 5];
    int count = 0;
    pieces[count++] = replaced_texts[kLead];
    pieces[count++] = existing_name.get();
    pieces[count++] = replaced_texts[kRegisteredFor];
    const int list_pieces = plain_path_text(path, length, pieces + count, reprs);
    if (list_pieces < 0) {
        return {};
    }
    count += list_pieces;
    pieces[count++] = replaced_texts[kComma];
    pieces[count++] = cls_name.get();
    pieces[count++] = replaced_texts[kFrom];
    pieces[count++] = cls_module.get();
    pieces[count++] = replaced_texts[kOverriding];
    return join_texts(pieces, count);
}

// The record as str.format makes it: format(value, "") of each value, in
// order, between the fixed texts.
Ref formatted_replacement_message(PyObject* const (&values)[4]) {
    Ref texts[4];
    for (int i = 0; i < 4; ++i) {
        texts[i] = Ref::steal(PyObject_Format(values[i], names.empty));
        if (!texts[i]) {
            return {};
        }
    }
    PyObject* const pieces[] = {
        replaced_texts[kLead], texts[0].get(),         replaced_texts[kRegisteredFor],
        texts[1].get(),        replaced_texts[kComma], texts[2].get(),
        replaced_texts[kFrom], texts[3].get(),         replaced_texts[kOverriding]};
    return join_texts(pieces, 9);
}

// Logs the debug record of a replacement.
bool log_replacement(PyObject* existing_record, PyObject* const* path, int length, PyObject* cls) {
    Ref existing_cls = get_item(existing_record, names.cls);
    if (!existing_cls || !replaced_texts.ready()) {
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
    Ref existing_name = debug ? Ref::steal(PyObject_GetAttr(existing_cls.get(), names.dunder_name))
                              : Ref();
    Ref hierarchy = existing_name ? path_list(path, length) : Ref();
    Ref cls_name = hierarchy ? Ref::steal(PyObject_GetAttr(cls, names.dunder_name)) : Ref();
    Ref cls_module = cls_name ? Ref::steal(PyObject_GetAttr(cls, names.dunder_module)) : Ref();
    if (!cls_module) {
        return false;
    }
    Ref formatted = formatted_replacement_message(
        {existing_name.get(), hierarchy.get(), cls_name.get(), cls_module.get()});
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
    CallPath at(args, 2, chassis_type);
    if (at.length < 0) {
        return nullptr;
    }
    for (int i = 0; i < at.length; ++i) {
        const int reserved = python_compare(at.path[i], names.data, Py_EQ);
        if (reserved != 0) {
            return reserved < 0 ? nullptr : refuse_reserved();
        }
    }
    Ref node = registry_root(self);
    const int depth = node ? walk(node, at.path, at.length, Missing::stop, true) : -1;
    if (depth < 0) {
        return nullptr;
    }
    // The new levels would be tested against new empty nodes: an unhashable
    // element fails there, before anything is created.
    for (int i = depth; i < at.length; ++i) {
        if (python_hash(at.path[i]) == -1) {
            return nullptr;
        }
    }
    Ref getfile = lookup_global(names.getfile);
    Ref class_path = getfile ? Ref::steal(PyObject_CallOneArg(getfile.get(), cls)) : Ref();
    if (!class_path) {
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
