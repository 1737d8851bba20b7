// Every C API call that may run Python code, and only here (python/boundary.txt
// classifies each call the module makes; `make boundary` refuses the others
// anywhere else). Each wrapper moves the generation (refs.hpp) when it
// returns, so nothing read before it is used after it unless it is owned.
// Reading `py::` at a call site says: Python code may run here.
#pragma once

#include "python/refs.hpp"

#include <cstdarg>

// 3.13's calls that 3.12 lacks, made there from older ones with the same
// results: 1 with a new reference in *result, 0 when absent, -1 with an
// error set. The wrappers below call them as `backfill::`; on 3.13 on they
// are the C API's own.
namespace telvar::backfill {
#ifdef TELVAR_PY312_BACKFILL
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return *result != nullptr ? 1 : -1;
    }
    PyErr_Clear();
    return 0;
}
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    return *result != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
}
#else
using ::PyDict_GetItemRef;
using ::PyObject_GetOptionalAttr;
#endif
}  // namespace telvar::backfill

namespace telvar::py {

// The result of a call that returns a new reference or null with an
// exception set.
TELVAR_ALWAYS_INLINE Ref ran(PyObject* result) {
    python_may_have_run();
    return Ref::steal(result);
}

// The result of a call that returns a status.
template <class Status>
TELVAR_ALWAYS_INLINE Status ran_status(Status status) {
    python_may_have_run();
    return status;
}

// --- attributes ---------------------------------------------------------------

inline Ref attribute(PyObject* obj, PyObject* name) { return ran(PyObject_GetAttr(obj, name)); }

// 1 with `value` set, 0 when the attribute is missing (its AttributeError
// cleared), -1 with another error set.
inline int optional_attribute(PyObject* obj, PyObject* name, Ref& value) {
    PyObject* found = nullptr;
    const int status = backfill::PyObject_GetOptionalAttr(obj, name, &found);
    value = ran(found);
    return status;
}

inline int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
    return ran_status(PyObject_SetAttr(obj, name, value));
}

// --- calls ----------------------------------------------------------------------

inline Ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames = nullptr) {
    return ran(PyObject_Vectorcall(callable, args, nargsf, kwnames));
}

#ifdef TELVAR_PY312_GET_METHOD
// obj.<name> as 3.12's interpreter looks up a method to call: 1 with the
// function itself in *found when it would bind to `obj`, 0 with the
// attribute, -1 with an error set.
inline int get_method(PyObject* obj, PyObject* name, Ref& found) {
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(obj, name, &method);
    found = ran(method);
    return unbound;
}
#endif

// args[0].<name>(*args[1:]) without a bound method.
inline Ref vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames = nullptr) {
    return ran(PyObject_VectorcallMethod(name, args, nargsf, kwnames));
}

inline Ref call_one(PyObject* callable, PyObject* arg) {
    return ran(PyObject_CallOneArg(callable, arg));
}

inline Ref call_no_args(PyObject* callable) { return ran(PyObject_CallNoArgs(callable)); }

inline Ref call_method0(PyObject* obj, PyObject* name) {
    return ran(PyObject_CallMethodNoArgs(obj, name));
}

inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return ran(PyObject_CallMethodOneArg(obj, name, arg));
}

// --- texts, numbers and comparisons -------------------------------------------

inline Ref str(PyObject* obj) { return ran(PyObject_Str(obj)); }
inline Ref format(PyObject* obj, PyObject* spec) { return ran(PyObject_Format(obj, spec)); }
// template % args
inline Ref percent(PyObject* text, PyObject* args) { return ran(PyUnicode_Format(text, args)); }
// sep.join(items)
inline Ref join(PyObject* separator, PyObject* items) {
    return ran(PyUnicode_Join(separator, items));
}
inline Ref add(PyObject* a, PyObject* b) { return ran(PyNumber_Add(a, b)); }

// PyUnicode_FromFormat: %R and %S run repr() and str().
inline Ref format_text(const char* format, ...) {
    va_list values;
    va_start(values, format);
    PyObject* text = PyUnicode_FromFormatV(format, values);
    va_end(values);
    return ran(text);
}

inline Ref rich_compare(PyObject* a, PyObject* b, int op) {
    return ran(PyObject_RichCompare(a, b, op));
}
inline int compare(PyObject* a, PyObject* b, int op) {
    return ran_status(PyObject_RichCompareBool(a, b, op));
}
inline int truth(PyObject* value) { return ran_status(PyObject_IsTrue(value)); }

// --- containers -------------------------------------------------------------------

inline int contains(PyObject* container, PyObject* value) {
    return ran_status(PySequence_Contains(container, value));
}
inline Ref item(PyObject* container, PyObject* key) {
    return ran(PyObject_GetItem(container, key));
}
inline int set_item(PyObject* container, PyObject* key, PyObject* value) {
    return ran_status(PyObject_SetItem(container, key, value));
}
inline int del_item(PyObject* container, PyObject* key) {
    return ran_status(PyObject_DelItem(container, key));
}

// dict[key] of a dict: 1 with `value` set, 0 when absent, -1 on error.
inline int dict_get(PyObject* dict, PyObject* key, Ref& value) {
    PyObject* found = nullptr;
    const int status = backfill::PyDict_GetItemRef(dict, key, &found);
    value = ran(found);
    return status;
}
inline int dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    return ran_status(PyDict_SetItem(dict, key, value));
}
// dict.setdefault(key, value): 0 when `value` was filed, 1 when another value
// was there (`found` set to it), -1 on error.
inline int dict_setdefault(PyObject* dict, PyObject* key, PyObject* value, Ref& found) {
#ifdef TELVAR_PY312_BACKFILL
    PyObject* result = PyDict_SetDefault(dict, key, value);
    found = Ref::hold(result);
    return ran_status(result == nullptr ? -1 : result == value ? 0 : 1);
#else
    PyObject* result = nullptr;
    const int status = PyDict_SetDefaultRef(dict, key, value, &result);
    found = ran(result);
    return status;
#endif
}
inline int dict_del(PyObject* dict, PyObject* key) { return ran_status(PyDict_DelItem(dict, key)); }
inline int dict_contains(PyObject* dict, PyObject* key) {
    return ran_status(PyDict_Contains(dict, key));
}

inline Ref iter(PyObject* obj) { return ran(PyObject_GetIter(obj)); }
// The next item, or null at the end (PyErr_Occurred() tells an error).
inline Ref next(PyObject* iterator) { return ran(PyIter_Next(iterator)); }
inline Ref list(PyObject* iterable) { return ran(PySequence_List(iterable)); }
inline int sort(PyObject* list) { return ran_status(PyList_Sort(list)); }

// --- imports ------------------------------------------------------------------------

inline Ref import(PyObject* name, PyObject* globals, PyObject* fromlist, int level) {
    return ran(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, level));
}
// sys.modules[name], or null without an error when it is not there.
inline Ref imported_module(PyObject* name) { return ran(PyImport_GetModule(name)); }
inline Ref module_filename(PyObject* module) { return ran(PyModule_GetFilenameObject(module)); }

// --- errors -------------------------------------------------------------------------
//
// Setting an exception may call its class (a class defined in Python), and
// replacing or clearing one releases the one before (its finaliser).

inline void set_error(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    python_may_have_run();
}
inline void set_error_none(PyObject* type) {
    PyErr_SetNone(type);
    python_may_have_run();
}
// PyErr_Format: %R and %S run repr() and str(). Returns nullptr.
inline PyObject* set_error_format(PyObject* type, const char* format, ...) {
    va_list values;
    va_start(values, format);
    PyErr_FormatV(type, format, values);
    va_end(values);
    python_may_have_run();
    return nullptr;
}
inline void clear_error() {
    PyErr_Clear();
    python_may_have_run();
}
inline void restore_error(Ref exception) {
    PyErr_SetRaisedException(exception.release());
    python_may_have_run();
}
inline void set_handled(PyObject* exception) {
    PyErr_SetHandledException(exception);
    python_may_have_run();
}

// --- calls made inert by a check before them -----------------------------------------

// The hash of an exact str, computed once and kept in it (a str subclass could
// run __hash__): -1 for anything else.
inline Py_hash_t exact_str_hash(PyObject* text) {
    return PyUnicode_CheckExact(text) ? PyObject_Hash(text) : -1;
}

// The value of an exact int (an int subclass could run __index__); *overflow
// is set when it does not fit.
inline long long exact_int_value(PyObject* exact_int, int* overflow) {
    return PyLong_CheckExact(exact_int) ? PyLong_AsLongLongAndOverflow(exact_int, overflow)
                                        : (*overflow = 1, 0);
}

}  // namespace telvar::py
