// The version fence: what each CPython version offers the reads of its
// internals (internals.hpp, internals.cpp), named once here, with why; and
// what the public API of 3.12 lacks. No other file tests the interpreter's
// version: they test these names.
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
// have them; heap types' shared keys in ht_cached_keys.
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

#endif  // the fence is open

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 an unpacking error says how many values an exact list, tuple or
// dict holds.
#define TELVAR_PY314_UNPACK_COUNTS 1
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.12 lacks PyDict_GetItemRef and PyObject_GetOptionalAttr, which
// python/python_code.hpp makes from older calls there.
#define TELVAR_PY312_BACKFILL 1
#endif
