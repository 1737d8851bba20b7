"""The command's output: its streams, kept from plugins, its messages, JSON and tables."""

import contextlib
import io
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import IO, TYPE_CHECKING

if TYPE_CHECKING:
    pass


EXIT_OK = 0


EXIT_NOT_FOUND = 1


EXIT_USAGE = 2


EXIT_LOAD = 3


EXIT_UNEXPECTED = 4


EXIT_NO_OUTPUT = 5


EXIT_BROKEN_PIPE = 128 + 13  # as for a process that SIGPIPE ended


EXIT_INTERRUPTED = 128 + 2


ECHO_LIMIT = 40  # characters of a value echoed in a message


NAMES_LIMIT = 12  # registered OSes named in a message


class CommandError(Exception):
    """Reported as ``telvar: <message>`` on stderr; ends the command with ``code``."""

    def __init__(self, message: str, code: int, cause: BaseException | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.cause = cause


class OutputError(Exception):
    """Standard output failed (other than by a closed pipe): reported by ``main``."""


# The command's own streams while it runs (see CommandOutput).
_active: list["CommandOutput"] = []


def emit(text: object = "", end: str = "\n") -> None:
    """Print to the command's standard output; a failure to write is an ``OutputError``."""
    try:
        print(text, end=end, file=_active[-1].stream if _active else sys.stdout)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(str(exc)) from exc


def describe_exception(exc: BaseException) -> str:
    """``Type: message``, or the type alone when the message is empty."""
    try:
        text = str(exc)
    except Exception:
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def errors() -> IO[str] | None:
    """The command's standard error: the one it started with, whatever a plugin put in
    ``sys.stderr`` since."""
    return _active[-1].errors if _active else sys.stderr


def err(text: str) -> None:
    """A line on standard error, if there is one: never on standard output."""
    stream = errors()
    if stream is not None:
        with contextlib.suppress(Exception):
            print(text, file=stream, flush=True)


def print_traceback(exc: BaseException) -> None:
    stream = errors()
    if stream is not None:
        import traceback

        with contextlib.suppress(Exception):
            traceback.print_exception(exc, file=stream)


def version() -> str:
    # The name of the installed metadata folder says it: no need for importlib.metadata.
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with contextlib.suppress(OSError):
        for name in os.listdir(here):
            if name.startswith("telvar-") and name.endswith(".dist-info"):
                return name.removeprefix("telvar-").removesuffix(".dist-info")
    from importlib import metadata

    try:
        return metadata.version("telvar")
    except (metadata.PackageNotFoundError, ValueError):
        return "unknown"


def clipped(text: str) -> str:
    """``text``, cut to a readable length."""
    if len(text) <= ECHO_LIMIT:
        return text
    return f"{text[:ECHO_LIMIT]}... ({len(text)} characters)"


def quoted(value: object) -> str:
    """A value given on the command line, quoted and cut to a readable length."""
    text = str(value)
    if len(text) <= ECHO_LIMIT:
        return repr(text)
    return f"{text[:ECHO_LIMIT]!r}... ({len(text)} characters)"


def named_list(names: Sequence[str]) -> str:
    """Names for a message: the first ``NAMES_LIMIT``, then how many more."""
    shown = [clipped(name) for name in names[:NAMES_LIMIT]]
    if len(names) > NAMES_LIMIT:
        shown.append(f"and {len(names) - NAMES_LIMIT} more")
    return ", ".join(shown) or "none"


def did_you_mean(given: object, names: Sequence[str]) -> str:
    """``; did you mean 'NAME'?`` for the name closest to ``given``, or nothing."""
    wanted = str(given)
    close = [name for name in names if name.casefold() == wanted.casefold()]
    if not close and len(wanted) <= 4 * ECHO_LIMIT:
        import difflib

        close = difflib.get_close_matches(wanted, names, n=1)
    return f"; did you mean {quoted(close[0])}?" if close else ""


def print_json(value: object) -> None:
    import json

    emit(json.dumps(value, indent=2, default=str))


def row_cells(row: Mapping[str, object], keys: Sequence[str]) -> list[str]:
    return ["-" if row[key] is None else str(row[key]) for key in keys]


def aligned(cells: list[list[str]]) -> list[str]:
    widths = [max(map(len, column)) for column in zip(*cells, strict=True)]
    return [
        "  ".join([cell.ljust(width) for cell, width in zip(line, widths, strict=True)]).rstrip()
        for line in cells
    ]


class CommandOutput:
    """The command's own standard output, kept for it alone while the command runs.

    Meanwhile ``sys.stdout`` is standard error, and so is the file descriptor
    of standard output, so neither a plugin's ``print()`` nor a subprocess it
    starts can write into the command's output. With standard error closed,
    that stray output goes nowhere.
    """

    def __init__(self) -> None:
        self.real = sys.stdout
        self.errors = sys.stderr
        self.stream: IO[str] = self.real
        self.fd: int | None = None
        self.saved: int | None = None
        self.identity: tuple[int, int] | None = None  # the file of the saved copy
        self.reopen: Callable[[], int | None] = lambda: None
        self.plug: int | None = None  # a stand-in for a closed standard error

    def __enter__(self) -> IO[str]:
        try:
            self.fd = self.real.fileno()
        except (AttributeError, OSError, ValueError):
            self.fd = None  # not a file (a test's capture): Python's writes alone move
        if not descriptor_open(2):
            plug = os.open(os.devnull, os.O_WRONLY)
            if plug == 2:
                self.plug = plug
            else:
                os.close(plug)
        if self.fd is not None:
            self.real.flush()
            self.saved = high_duplicate(self.fd)
            self.identity = file_identity(self.saved)
            self.reopen = reopener(self.saved)
            os.dup2(2 if descriptor_open(2) else self.devnull(), self.fd)
            self.stream = self.wrap(self.saved)
        sys.stdout = StrayOutput(sys.stderr)
        _active.append(self)
        return self.stream

    def wrap(self, fd: int) -> IO[str]:
        return open(  # closed by __exit__
            fd,
            "w",
            encoding=getattr(self.real, "encoding", None),
            errors=getattr(self.real, "errors", None),
            closefd=False,
        )

    def check(self, plugin: str) -> None:
        """After a plugin's load: the saved copy of standard output must still be the
        command's. A plugin that closed it (``os.closerange(3, ...)``) leaves it lost, or
        another file in its place: that is said, and nothing is written there."""
        if self.saved is None or file_identity(self.saved) == self.identity:
            return
        # A file or terminal is opened again by its name; a pipe cannot be.
        fd = self.reopen()
        if fd is not None and file_identity(fd) == self.identity:
            self.saved = high_duplicate(fd)
            os.close(fd)
            self.stream.close()  # closefd=False: the descriptor is no longer ours to close
            self.stream = self.wrap(self.saved)
            return
        if fd is not None:
            os.close(fd)
        self.saved = None
        self.stream = io.StringIO()
        raise OutputError(f"plugin {plugin!r} closed the descriptor of the command's output")

    def devnull(self) -> int:
        if self.plug is None:
            self.plug = os.open(os.devnull, os.O_WRONLY)
        return self.plug

    def discard(self) -> None:
        """Drop what is left to write: its reader is gone or its disk is full."""
        if self.saved is not None:
            os.dup2(self.devnull(), self.saved)

    def __exit__(self, kind: object, error: object, traceback: object) -> None:
        _active.pop()
        sys.stdout = self.real
        try:
            if self.saved is not None:
                if error is not None:
                    self.discard()
                self.stream.close()
        finally:
            if self.saved is not None and self.fd is not None:
                with contextlib.suppress(Exception):  # what was written around sys.stdout
                    self.real.flush()
                os.dup2(self.saved, self.fd)
                os.close(self.saved)
            if self.plug is not None:
                os.close(self.plug)


class StrayOutput(io.TextIOBase):
    """``sys.stdout`` while the command runs: what is written goes to standard error, or
    nowhere when there is none; closing it closes nothing."""

    def __init__(self, target: IO[str] | None) -> None:
        super().__init__()
        self.target = target

    @property
    def encoding(self) -> str:  # type: ignore[override]  # read-only, as TextIOBase's is
        return getattr(self.target, "encoding", None) or "utf-8"

    name = "<stdout>"
    mode = "w"

    @property
    def line_buffering(self) -> bool:
        return bool(getattr(self.target, "line_buffering", False))

    @property
    def write_through(self) -> bool:
        return bool(getattr(self.target, "write_through", False))

    def reconfigure(self, **options: object) -> None:
        """Accepted and ignored: where this output goes is the command's to choose."""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if self.target is not None:
            with contextlib.suppress(OSError, ValueError):
                self.target.write(text)
        return len(text)

    def flush(self) -> None:
        if self.target is not None:
            with contextlib.suppress(OSError, ValueError):
                self.target.flush()

    def fileno(self) -> int:
        if self.target is None:
            raise io.UnsupportedOperation("no standard error")
        return self.target.fileno()

    @property
    def buffer(self) -> IO[bytes]:
        """Bytes written as bytes go the same way."""
        found = getattr(self.target, "buffer", None)
        return found if found is not None else io.BytesIO()

    def close(self) -> None:
        """Not a plugin's to close: standard error stays open for the command."""


def reopener(fd: int) -> Callable[[], int | None]:
    """A way to open the file of ``fd`` again by its name, should the descriptor be closed:
    a file (at the same offset, or appending) or a terminal, where the system names it."""
    try:
        path = os.readlink(f"/proc/self/fd/{fd}")
        append = bool(fcntl_flags(fd) & getattr(os, "O_APPEND", 0))
        offset = os.lseek(fd, 0, os.SEEK_CUR)
    except (OSError, AttributeError):
        path, append, offset = "", False, 0
    if not path.startswith("/"):  # a pipe or socket, or no /proc
        return lambda: None

    def reopen() -> int | None:
        try:
            new = os.open(path, os.O_WRONLY | (os.O_APPEND if append else 0))
        except OSError:
            return None
        with contextlib.suppress(OSError):
            if not append:
                os.lseek(new, offset, os.SEEK_SET)
        return new

    return reopen


def fcntl_flags(fd: int) -> int:
    import fcntl

    return fcntl.fcntl(fd, fcntl.F_GETFL)


def file_identity(fd: int) -> tuple[int, int] | None:
    try:
        found = os.fstat(fd)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def descriptor_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def high_duplicate(fd: int) -> int:
    """A duplicate of ``fd`` above the standard three, which must not take a closed one's place."""
    low = []
    new = os.dup(fd)
    while new <= 2:
        low.append(new)
        new = os.dup(fd)
    for unused in low:
        os.close(unused)
    return new


def discard_stdout() -> None:
    """Leave nothing for the interpreter to fail to flush at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        sys.stdout = None
    finally:
        os.close(devnull)


def print_version() -> int:
    """``telvar -V`` alone: the version, without building the parser."""
    if sys.stdout is None:
        err("telvar: error: standard output is closed")
        return EXIT_NO_OUTPUT
    try:
        print(f"telvar {version()}", flush=True)
    except BrokenPipeError:
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except (OSError, ValueError, AttributeError) as exc:
        err(f"telvar: error: cannot write to standard output: {exc}")
        return EXIT_NO_OUTPUT
    return EXIT_OK
