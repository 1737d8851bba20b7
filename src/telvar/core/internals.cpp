// Reads of CPython's internal layout, for speed. Everything here assumes
// CPython 3.12 or 3.13 built with the GIL; other builds, a failed self-test
// and TELVAR_NO_FAST_PATHS=1 leave every read off, and the callers take the
// public API's path.
#include "common.hpp"

#include <cstdint>
#include <cstdlib>

namespace telvar {

namespace {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TELVAR_HAVE_INTERNALS 1

// The head of a dict's keys object (Include/internal/pycore_dict.h in 3.12
// and 3.13): a reference count, two sizes, then the kind of keys it holds.
struct DictKeysHead {
    Py_ssize_t refcount;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
};

// DICT_KEYS_GENERAL: any keys; DICT_KEYS_UNICODE and DICT_KEYS_SPLIT hold
// exact str keys only.
constexpr uint8_t kGeneralKeys = 0;

uint8_t keys_kind(PyObject* exact_dict) {
    const auto* head = reinterpret_cast<const DictKeysHead*>(
        reinterpret_cast<PyDictObject*>(exact_dict)->ma_keys);
    return head->kind;
}

#endif

bool enabled = false;
bool count_python_levels = false;

PyThreadState* current_thread() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

}  // namespace

// A level also counts against the interpreter's recursion limit
// (sys.getrecursionlimit()), as a call of a Python function does: the
// thread state's public counter of remaining Python levels (3.12, 3.13).
bool enter_level() {
    if (Py_EnterRecursiveCall("")) {
        return false;
    }
    if (count_python_levels) {
        PyThreadState* thread = current_thread();
        if (--thread->py_recursion_remaining < 0) {
            ++thread->py_recursion_remaining;
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
    }
    return true;
}

void leave_level() {
    if (count_python_levels) {
        ++current_thread()->py_recursion_remaining;
    }
    Py_LeaveRecursiveCall();
}

bool has_only_str_keys(PyObject* exact_dict) {
#ifdef TELVAR_HAVE_INTERNALS
    return enabled && keys_kind(exact_dict) != kGeneralKeys;
#else
    (void)exact_dict;
    return false;
#endif
}

#ifdef TELVAR_HAVE_INTERNALS
namespace {

// Whether the kind read for a dict agrees with what its keys are.
bool agrees(PyObject* dict, bool only_str) {
    return dict != nullptr && (keys_kind(dict) != kGeneralKeys) == only_str;
}

bool self_test() {
    Ref empty = Ref::steal(PyDict_New());
    Ref text_keys = Ref::steal(PyDict_New());
    Ref mixed = Ref::steal(PyDict_New());
    Ref number = Ref::steal(PyLong_FromLong(7));
    if (!empty || !text_keys || !mixed || !number ||
        PyDict_SetItem(text_keys.get(), names.data, Py_None) < 0 ||
        PyDict_SetItem(text_keys.get(), names.cls, Py_None) < 0 ||
        PyDict_SetItem(mixed.get(), names.data, Py_None) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool before = agrees(mixed.get(), true);
    if (PyDict_SetItem(mixed.get(), number.get(), Py_None) < 0) {
        PyErr_Clear();
        return false;
    }
    return agrees(empty.get(), true) && agrees(text_keys.get(), true) && before &&
           agrees(mixed.get(), false);
}

}  // namespace
#endif

void internals_self_test() {
    const char* off = std::getenv("TELVAR_NO_FAST_PATHS");
    enabled = false;
    PyThreadState* thread = current_thread();
    // The counter is read only where it behaves as documented in the header.
    count_python_levels = thread != nullptr &&
                          thread->py_recursion_limit == Py_GetRecursionLimit() &&
                          thread->py_recursion_remaining <= thread->py_recursion_limit;
#ifdef TELVAR_HAVE_INTERNALS
    enabled = (off == nullptr || off[0] == '\0' || off[0] == '0') && self_test();
#else
    (void)off;
#endif
}

}  // namespace telvar
