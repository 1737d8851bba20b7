// Helpers that every part of the module uses: global look-ups, raising the
// host package's error, and the from-import rule.
#include "common.hpp"

namespace telvar {

Names names;
State state;

Ref lookup_global(PyObject* name) {
    PyObject* value = nullptr;
    // Both are plain dicts and every name the module looks up is an exact str.
    int found = find_str_key(state.globals, name, &value);
    if (found == 0) {
        found = find_str_key(state.builtins_dict, name, &value);
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::steal(value);
}

Ref global_attribute(PyObject* global, PyObject* attribute) {
    Ref value = lookup_global(global);
    return value ? Ref::steal(PyObject_GetAttr(value.get(), attribute)) : Ref();
}

PyObject* raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        PyErr_SetNone(obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

Ref get_item(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) {
        return Ref::steal(PyObject_GetItem(mapping, key));
    }
    PyObject* value = nullptr;
    const int found = PyUnicode_CheckExact(key) ? find_str_key(mapping, key, &value)
                                                : PyDict_GetItemRef(mapping, key, &value);
    if (found == 0) {
        // The KeyError of `mapping[key]`, without searching a second time.
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return Ref::steal(value);
}

Ref join_texts(PyObject* const* pieces, int count) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7f;
    bool all_ascii = true;
    for (int i = 0; i < count; ++i) {
        length += PyUnicode_GET_LENGTH(pieces[i]);
        all_ascii = all_ascii && PyUnicode_IS_ASCII(pieces[i]);
    }
    for (int i = 0; !all_ascii && i < count; ++i) {
        const Py_UCS4 piece_widest = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
        widest = piece_widest > widest ? piece_widest : widest;
    }
    Ref text = Ref::steal(PyUnicode_New(length, widest));
    if (!text) {
        return {};
    }
    if (all_ascii) {
        // The common case: one byte per character throughout.
        auto* out = PyUnicode_1BYTE_DATA(text.get());
        for (int i = 0; i < count; ++i) {
            const auto piece_length = static_cast<size_t>(PyUnicode_GET_LENGTH(pieces[i]));
            std::memcpy(out, PyUnicode_1BYTE_DATA(pieces[i]), piece_length);
            out += piece_length;
        }
        return text;
    }
    Py_ssize_t at = 0;
    for (int i = 0; i < count; ++i) {
        const Py_ssize_t piece_length = PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_CopyCharacters(text.get(), at, pieces[i], 0, piece_length) < 0) {
            return {};
        }
        at += piece_length;
    }
    return text;
}

PyObject* raise_infra_text(PyObject* text) {
    return raise_infra_error([text] { return Ref::hold(text); });
}

namespace {

// ImportError "cannot import name ..." with the module's file when it has one.
void set_cannot_import(PyObject* module, PyObject* name, PyObject* package) {
    PyObject* shown = package != nullptr ? package : Py_None;
    Ref location = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module)
                                                     : nullptr);
    if (!location) {
        PyErr_Clear();
    }
    Ref message = Ref::steal(
        location ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown,
                                        location.get())
                 : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                        shown));
    if (message) {
        PyErr_SetImportError(message.get(), package, location.get());
    }
}

}  // namespace

Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) != 0) {
        return Ref::steal(value);  // found, or an error other than AttributeError
    }
    PyObject* package_name = nullptr;
    if (PyObject_GetOptionalAttr(module, names.dunder_name, &package_name) < 0) {
        PyErr_Clear();
    }
    Ref package = Ref::steal(package_name);
    if (package && PyUnicode_Check(package.get())) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full_name) {
            return {};
        }
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule || PyErr_Occurred()) {
            return submodule;
        }
    }
    set_cannot_import(module, name, package.get());
    return {};
}

}  // namespace telvar
