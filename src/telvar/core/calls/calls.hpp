// The calls every part of the module makes: global look-ups, raising the
// host package's error, the from-import rule, method calls on `self`,
// levels of recursion, and the small truth and text tests.
#pragma once

#include "calls/state.hpp"
#include "internals/internals.hpp"
#include "python/python_code.hpp"
#include "table/names.hpp"

#include <cstddef>

namespace telvar {

// --- look-ups and raising (calls.cpp) ------------------------------------------

// A global name looked up at use: module globals, then builtins, else
// NameError.
Ref lookup_global(PyObject* name);

// `<global>.<attribute>`, the global looked up at use (log.debug, os.path).
Ref global_attribute(PyObject* global, PyObject* attribute);

// `raise obj` for whatever the error class returned.
PyObject* raise_object(PyObject* obj);

// `raise ConnectionInfraError(<message>)`: the class is looked up first, as
// the interpreter evaluates the expression, then `build_message()` makes
// the message (a Ref, null with an exception set). Always returns nullptr.
template <class BuildMessage>
PyObject* raise_infra_error(BuildMessage&& build_message) {
    Ref error_class = lookup_global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref message = build_message();
    if (!message) {
        return nullptr;
    }
    Ref error = py::call_one(error_class.get(), message.get());
    return error ? raise_object(error.get()) : nullptr;
}

// ConnectionInfraError(text) for a fixed text.
TELVAR_COLD PyObject* raise_infra_text(const char* text);

// ConnectionInfraError(template % value)
TELVAR_COLD PyObject* raise_infra_formatted(const char* template_text, PyObject* value);

// `key in mapping` and, when true, `mapping[key]`: 1 with `value` set, 0
// when absent, -1 on error. One inline look-up where no Python code can
// tell the difference, else the two operations.
int find_entry(PyObject* mapping, PyObject* key, Ref& value);

// `key in mapping`, inline where no Python code can tell.
int has_key(PyObject* mapping, PyObject* key);

// mapping[key]; an exact dict is searched once, even for the KeyError.
Ref get_item(PyObject* mapping, PyObject* key);

// The concatenation of str pieces, made in one allocation.
Ref join_texts(PyObject* const* pieces, int count);

// The fixed texts of one message, written once beside the code that raises
// it and made into str objects at their first use, then kept.
template <int N>
class MessageTexts {
  public:
    template <class... Texts>
    constexpr explicit MessageTexts(Texts... texts) : texts_{texts...} {
        static_assert(sizeof...(Texts) == N);
    }

    // Makes every text's str; false with an exception set.
    bool ready() {
        for (int i = 0; i < N; ++i) {
            if (objects_[i] == nullptr) {
                Ref made = Ref::steal(PyUnicode_InternFromString(texts_[i]));
                if (!made) {
                    return false;
                }
                objects_[i].reset(std::move(made));
            }
        }
        return true;
    }

    // The str of text `index`, once ready().
    PyObject* operator[](int index) const { return objects_[index]; }

  private:
    const char* texts_[N];
    Kept objects_[N];
};

// NameError "name '<name>' is not defined", with its `name` set.
void raise_name_error(PyObject* name);

// The from-import rule: an attribute of the module, else an already
// imported submodule of that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name);

// --- levels of recursion (function.cpp) ------------------------------------

// One level of the module's own recursion: counted against
// sys.getrecursionlimit(), as a call of a Python function is, and guarded
// against C stack overflow by Py_EnterRecursiveCall. False with
// RecursionError set.
bool enter_level();
void leave_level();
// How many more levels the recursion limit allows.
int levels_left();

// --- callables (function.cpp) --------------------------------------------

bool function_type_ready();
// Creates the function object of a role; nullptr with an exception set.
Ref make_function(Fn role);

// `obj.name` looked up as the interpreter does for a method call, without a
// bound-method object where the interpreter would not make one either.
class Method {
  public:
    bool lookup(PyObject* obj, Site site);
    // Calls the method. `stack[0]` must be the object itself, followed by
    // the positional and then the keyword values (`nargs` counts the object
    // and the positional values). One of the module's own functions gets
    // the same stack through its binder.
    Ref call(PyObject* const* stack, size_t nargs, PyObject* kwnames) const;

  private:
    Ref callable_;
    bool unbound_ = false;
};

// self.<site>(...) looked up and called at once.
inline Ref call_method(PyObject* obj, Site site, PyObject* const* stack, size_t nargs,
                       PyObject* kwnames) {
    Method method;
    if (!method.lookup(obj, site)) {
        return {};
    }
    return method.call(stack, nargs, kwnames);
}

// `self.<site>` read as an attribute, found where that runs no Python code.
TELVAR_ALWAYS_INLINE Inert<> inert_self_attribute(PyObject* self, Site site) {
    return ManagerView(self).attribute(site);
}

// The module's own function that `self.<site>` resolves to, found where the
// look-up runs no Python code.
TELVAR_ALWAYS_INLINE Inert<> inert_own_method(PyObject* self, Site site) {
    return ManagerView(self).own_method(site);
}

// `self.<site>` read as an attribute.
inline Ref self_attribute(PyObject* self, Site site) {
    const Inert<> value = inert_self_attribute(self, site);
    return value.found() ? Ref::hold(value.value.get()) : py::attribute(self, site_name(site));
}

// --- shared small operations ---------------------------------------------

// The truth value, with None, bools, exact str, exact dicts and
// classes answered inline: 1, 0, or -1 with an exception set.
TELVAR_ALWAYS_INLINE int is_true(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {  // the usual argument, so first
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    if (value == Py_None || value == Py_False) {
        return 0;
    }
    if (value == Py_True) {
        return 1;
    }
    if (PyDict_CheckExact(value)) {
        return PyDict_GET_SIZE(value) != 0;
    }
    if (Py_IS_TYPE(value, &PyType_Type)) {
        return 1;  // `type` defines neither __bool__ nor __len__
    }
    return py::truth(value);
}

// `a == b` followed by a truth test: the operator itself, without the
// identity shortcut of PyObject_RichCompareBool.
inline int equals(PyObject* a, PyObject* b) {
    Ref result = py::rich_compare(a, b, Py_EQ);
    return result ? is_true(result.get()) : -1;
}

}  // namespace telvar
