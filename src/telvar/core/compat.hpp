// The strong-reference calls that Python 3.13 added to the public C API,
// supplied on 3.12 so that the module uses one style on both versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030D0000

// 1 with a new reference in *result, 0 when absent, -1 with an exception set.
inline int PyDict_GetItemRef(PyObject* mapping, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(mapping, key);  // borrowed
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_GetItemStringRef(PyObject* mapping, const char* key, PyObject** result) {
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyDict_GetItemRef(mapping, key_object, result);
    Py_DECREF(key_object);
    return found;
}

// 1 when the str equals the UTF-8 text, else 0; never raises. As in 3.13,
// `unicode` must be a str.
inline int PyUnicode_EqualToUTF8(PyObject* unicode, const char* text) {
    if (!PyUnicode_Check(unicode)) {
        return 0;
    }
    Py_ssize_t size = 0;
    const char* utf8 = nullptr;
    if (PyUnicode_IS_ASCII(unicode)) {
        utf8 = static_cast<const char*>(PyUnicode_DATA(unicode));
        size = PyUnicode_GET_LENGTH(unicode);
    } else {
        utf8 = PyUnicode_AsUTF8AndSize(unicode, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();  // lone surrogates: equal to no UTF-8 text
            return 0;
        }
    }
    return static_cast<size_t>(size) == std::strlen(text) &&
           std::memcmp(utf8, text, static_cast<size_t>(size)) == 0;
}

// 1 with a new reference in *result, 0 when the attribute is missing
// (AttributeError cleared), -1 with another exception set.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

#endif
