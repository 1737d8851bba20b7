// The version fence: what each CPython version offers the reads of its
// internals (internals.hpp, internals.cpp), named once here, with why; and
// the public calls of later versions supplied on 3.12. No other file tests
// the interpreter's version: they test these names.
//
// The fence is open (TELVAR_HAVE_INTERNALS) on a 64-bit CPython 3.12 to
// 3.15 built with the GIL. It is closed, and only the public C API is used,
// on any other build: a later version (whose layouts nobody has checked), a
// free-threaded build (whose dicts and types change under other threads), a
// 32-bit one (the layout assertions are written for 64 bits), and with the
// CMake option TELVAR_PUBLIC_API_ONLY (which defines the macro of that name).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

// --- portable attributes ------------------------------------------------------

#if defined(_MSC_VER) && !defined(__clang__)
#define TELVAR_ALWAYS_INLINE __forceinline
#define TELVAR_NOINLINE __declspec(noinline)
#define TELVAR_COLD
#else
#define TELVAR_ALWAYS_INLINE [[gnu::always_inline]] inline
#define TELVAR_NOINLINE [[gnu::noinline]]
#define TELVAR_COLD [[gnu::cold]]
#endif

// --- the versions -------------------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED) && \
    SIZEOF_VOID_P == 8 && !defined(TELVAR_PUBLIC_API_ONLY) && !defined(Py_LIMITED_API)
// Dict keys objects, their unicode entries and str hashes laid out as
// Include/internal/pycore_dict.h and cpython/unicodeobject.h of 3.12 to 3.15
// have them; heap types' shared keys in ht_cached_keys; _PyType_Lookup.
#define TELVAR_HAVE_INTERNALS 1

#if PY_VERSION_HEX < 0x030D0000
// 3.12 keeps an instance's attribute values behind a tagged pointer three
// words before the object, and marks a valid version tag with a flag;
// _PyObject_GetMethod is exported.
#define TELVAR_PY312_VALUES_BEFORE_OBJECT 1
#define TELVAR_PY312_VERSION_TAG_FLAG 1
#define TELVAR_PY312_GET_METHOD 1
#else
// 3.13 on keeps them inline after the object (Py_TPFLAGS_INLINE_VALUES) and
// tells a valid version tag by its being non-zero.
#define TELVAR_PY313_INLINE_VALUES 1
#endif

#if PY_VERSION_HEX < 0x030E0000
// 3.12 and 3.13 count C recursion in PyThreadState.c_recursion_remaining,
// next to the Python counter. 3.14 bounds the C stack by its real size
// instead, through fields of the private thread state: there the module
// uses Py_EnterRecursiveCall, as the interpreter's own C code does.
#define TELVAR_PY312_RECURSION_COUNTERS 1
#endif
#endif  // the fence is open

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 an unpacking error says how many values an exact list, tuple or
// dict holds.
#define TELVAR_PY314_UNPACK_COUNTS 1
#endif

namespace telvar::internals {
// Whether the reads of internals are on: the fence is open, the self-test
// found them agreeing with the public API and TELVAR_NO_FAST_PATHS is unset.
inline bool fast = false;
}  // namespace telvar::internals

// --- 3.13's public calls, on 3.12 ---------------------------------------------

#if PY_VERSION_HEX < 0x030D0000
// 3.12 lacks the calls below and PyThreadState_GetUnchecked.
#define TELVAR_PY312_BACKFILL 1

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
#ifdef TELVAR_HAVE_INTERNALS
    if (telvar::internals::fast) {
        return _PyObject_LookupAttr(obj, name, result);  // makes no AttributeError to clear
    }
#endif
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

#endif
