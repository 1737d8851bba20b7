"""Helpers shared by several test modules."""

import ctypes

# PyObject_Vectorcall itself: lets a test pass keyword names that Python
# source cannot spell (non-str ones).
_vectorcall = ctypes.PYFUNCTYPE(
    ctypes.py_object,
    ctypes.py_object,
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_size_t,
    ctypes.py_object,
)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(func, positional, kwnames, values):
    """Call func as the interpreter does, with any keyword names."""
    items = list(positional) + list(values)
    return _vectorcall(
        func, (ctypes.py_object * len(items))(*items), len(positional), tuple(kwnames)
    )


def reference_tree(data, output="plugin"):
    """The tree rendering rules in plain Python."""
    if not data or data == {}:
        return ""
    if not isinstance(data, dict):
        return output + " = " + str(data)
    keys = sorted(data.keys())
    for key in keys:
        for number, line in enumerate(reference_tree(data[key], "__ " + key).split("\n")):
            output += ("\n  " if key == keys[-1] and number else "\n  |") + line
    return output
