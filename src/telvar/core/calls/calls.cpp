// The calls that every part of the module makes (calls.hpp): global look-ups, raising the
// host package's error, and the from-import rule.
#include "calls/calls.hpp"

namespace telvar {

State state;

namespace {

// What an inert read found, as the general operations answer: 1 with
// `value` set, or 0.
int inert_entry(const Inert<>& read, Ref& value) {
    value = Ref::hold(read.value.get());
    return read.found() ? 1 : 0;
}

// `dict[key]` of an exact dict: inline where no Python code can run.
int dict_entry(PyObject* dict, PyObject* key, Ref& value) {
    const Inert<> read = inert_find(dict, key);
    return read.unknown() ? py::dict_get(dict, key, value) : inert_entry(read, value);
}

}  // namespace

Ref lookup_global(PyObject* name) {
    Ref value;
    // Both are plain dicts and every name the module looks up is an exact str.
    int found = dict_entry(state.globals, name, value);
    if (found == 0) {
        found = dict_entry(state.builtins_dict, name, value);
        if (found == 0) {
            raise_name_error(name);
        }
    }
    return value;
}

Ref global_attribute(PyObject* global, PyObject* attribute) {
    Ref value = lookup_global(global);
    return value ? py::attribute(value.get(), attribute) : Ref();
}

PyObject* raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        py::set_error(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        py::set_error_none(obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

int find_entry(PyObject* mapping, PyObject* key, Ref& value) {
    const Inert<> read = inert_find(mapping, key);
    if (!read.unknown()) {
        return inert_entry(read, value);
    }
    const int present = py::contains(mapping, key);
    if (present <= 0) {
        return present;
    }
    value = get_item(mapping, key);
    return value ? 1 : -1;
}

int has_key(PyObject* mapping, PyObject* key) {
    const Inert<> read = inert_find(mapping, key);
    return read.unknown() ? py::contains(mapping, key) : read.found() ? 1 : 0;
}

Ref get_item(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) {
        return py::item(mapping, key);
    }
    Ref value;
    if (dict_entry(mapping, key, value) == 0) {
        // The KeyError of `mapping[key]`, without searching a second time.
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            py::set_error(PyExc_KeyError, args.get());
        }
    }
    return value;
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

PyObject* raise_infra_text(const char* text) {
    return raise_infra_error([text] { return Ref::steal(PyUnicode_FromString(text)); });
}

PyObject* raise_infra_formatted(const char* template_text, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref format = Ref::steal(PyUnicode_FromString(template_text));
        return format ? py::percent(format.get(), value) : Ref();
    });
}

namespace {

// Sets `attribute` on the exception being raised, as the interpreter does
// for the hints of its tracebacks; a failure leaves the exception as it is.
void annotate_raised(PyObject* attribute, PyObject* value) {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (py::set_attribute(raised.get(), attribute, value) < 0) {
        py::clear_error();
    }
    py::restore_error(std::move(raised));
}

// Whether the module's __spec__ says it is still being initialised (a
// circular import). 3.12 takes any error here for "no"; later versions
// raise it.
int is_initializing(PyObject* module) {
    Ref spec;
    int answer = py::optional_attribute(module, names.dunder_spec, spec);
    if (answer > 0) {
        Ref value;
        answer = py::optional_attribute(spec.get(), names.initializing, value);
        answer = answer > 0 ? is_true(value.get()) : answer;
    }
    if (answer < 0 && Py_Version < 0x030D0000) {
        py::clear_error();
        return 0;
    }
    return answer;
}

// The ImportError of `from <module> import <name>` for a name it lacks:
// the interpreter's message, with `name`, `path` and `name_from` set.
void raise_cannot_import(PyObject* module, PyObject* name, PyObject* package) {
    Ref shown = package != nullptr ? Ref::hold(package)
                                   : Ref::steal(PyUnicode_FromString("<unknown module name>"));
    Ref location = PyModule_Check(module) ? py::module_filename(module) : Ref();
    if (!shown || (!location && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_SystemError))) {
        return;
    }
    py::clear_error();
    Ref message;
    if (!location || !PyUnicode_Check(location.get())) {
        location = Ref();
        message = py::format_text("cannot import name %R from %R (unknown location)", name,
                                  shown.get());
    } else {
        const int initializing = is_initializing(module);
        if (initializing < 0) {
            return;
        }
        message = py::format_text(
            initializing > 0 ? "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import) (%S)"
                             : "cannot import name %R from %R (%S)",
            name, shown.get(), location.get());
    }
    if (message) {
        PyErr_SetImportError(message.get(), package, location.get());
        annotate_raised(names.name_from, name);
    }
}

}  // namespace

void raise_name_error(PyObject* name) {
    py::set_error_format(PyExc_NameError, "name '%U' is not defined", name);
    annotate_raised(names.name, name);
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value;
    if (py::optional_attribute(module, name, value) != 0) {
        return value;  // found, or an error other than AttributeError
    }
    // A circular import: the submodule may be in sys.modules already.
    Ref package;
    if (py::optional_attribute(module, names.dunder_name, package) < 0) {
        return {};
    }
    if (package && !PyUnicode_Check(package.get())) {
        package = Ref();
    }
    if (package) {
        Ref full_name = py::format_text("%U.%U", package.get(), name);
        if (!full_name) {
            return {};
        }
        Ref submodule = py::imported_module(full_name.get());
        if (submodule || PyErr_Occurred()) {
            return submodule;
        }
    }
    raise_cannot_import(module, name, package.get());
    return {};
}

}  // namespace telvar
