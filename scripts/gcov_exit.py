"""A pytest plugin for the coverage run (scripts/coverage-report loads it with -p gcov_exit).

gcov writes a process's counters from a destructor that the C library's exit() runs. A test
child that leaves through os._exit (pytest-forked's children, the bounded children of the
edge tests) would lose its counters, and with them every line only such a test reaches: under
coverage those children leave through the C library's exit() instead, with the same status.
Python's own finalisation still does not run there, as with os._exit.
"""

import ctypes
import os

_libc = ctypes.CDLL(None)
_libc.exit.argtypes = [ctypes.c_int]
_os_exit = os._exit


def _exit_writing_counters(status):
    # Python's buffers are left unwritten, as os._exit leaves them: a forked child's copy of
    # its parent's pending output must not be written twice.
    _libc.exit(status)
    _os_exit(status)  # not reached: exit() does not return


os._exit = _exit_writing_counters
