"""Where records come from: the plugin entry points, their distributions, and the files they own.

Everything here reads installed distributions' own files, so it reads what it
can: a file that is not UTF-8 is read with its undecodable bytes replaced, and
``on_unreadable`` hears of it once per distribution.
"""

import contextlib
import os.path
import re
import sys
from collections.abc import Callable
from importlib import metadata

BUILTIN = "built-in"
UNKNOWN = "unknown"


class Source:
    """Where records come from: built in, or one distribution.

    Its label (``built-in``, ``<name> <version>`` or ``unknown``) is read from
    the distribution's metadata on first use only: most runs never need it.
    """

    def __init__(
        self,
        dist: metadata.Distribution | None,
        label: str | None = None,
        on_unreadable: Callable[["Source"], object] | None = None,
    ) -> None:
        self.dist = dist
        self._label = label
        self.on_unreadable = on_unreadable
        self.unreadable: list[str] = []  # its metadata files that are not UTF-8

    @property
    def label(self) -> str:
        if self._label is None:
            self._label = distribution_label(self)
        return self._label

    @property
    def name(self) -> str:
        """The distribution's name, as its label gives it."""
        return self.label.rpartition(" ")[0] or self.label

    def named(self, name: str) -> bool:
        """Whether ``name`` is this distribution's name (``-``, ``_`` and ``.`` alike)."""
        return self.dist is not None and _normalized(name) == _normalized(self.name)

    def read_text(self, filename: str) -> str | None:
        """A file of the distribution's metadata, or None; never fails on its encoding."""
        if self.dist is None:
            return None
        try:
            return self.dist.read_text(filename)
        except UnicodeDecodeError as exc:
            text = bytes(exc.object).decode("utf-8", errors="replace")
        except OSError:
            return None
        first = not self.unreadable
        self.unreadable.append(filename)
        if first and self.on_unreadable is not None:
            if self._label is None and filename in ("METADATA", "PKG-INFO"):
                self._label = headers_label(text)
            self.label  # noqa: B018 - the warning names the distribution
            self.on_unreadable(self)
        return text


BUILTIN_SOURCE = Source(None, BUILTIN)
UNKNOWN_SOURCE = Source(None, UNKNOWN)


def headers_label(text: str) -> str | None:
    """``<name> <version>`` from the headers of a METADATA text, or None."""
    fields: dict[str, str] = {}
    for line in text.splitlines():
        if not line:
            break
        key, _, value = line.partition(":")
        if key in ("Name", "Version"):
            fields.setdefault(key, value.strip())
    if len(fields) < 2:
        return None
    return f"{fields['Name']} {fields['Version']}"


def distribution_label(source: Source) -> str:
    """``<name> <version>`` of a distribution, or ``unknown``."""
    if source.dist is None:
        return UNKNOWN
    # The two headers alone: much quicker than the whole parse of dist.metadata.
    text = source.read_text("METADATA") or source.read_text("PKG-INFO") or ""
    label = headers_label(text)
    if label is None:
        with contextlib.suppress(Exception):
            label = f"{source.dist.name} {source.dist.version}"
    return label or UNKNOWN


def source_files(source: Source) -> list[str]:
    """The absolute paths of the Python files a distribution installed."""
    dist = source.dist
    if dist is None:
        return []
    listing = source.read_text("RECORD")
    if listing is None:  # not installed from a wheel: the slower general reading
        try:
            names = [str(file) for file in dist.files or ()]
        except Exception:  # an unreadable file list: no file is known to be its
            names = []
    else:  # quick reading of the usual case
        import csv  # only a distribution's RECORD needs it; most commands read none

        names = [row[0] for row in csv.reader(listing.splitlines()) if row]
    base = str(dist.locate_file(""))
    return [os.path.abspath(os.path.join(base, name)) for name in names if name.endswith(".py")]


class FileOwners:
    """Which plugin distribution owns a file, read from their file lists on first use."""

    def __init__(self, sources: list[Source]) -> None:
        self.sources = sources
        self.owners: dict[str, Source] | None = None
        self.found: dict[str, Source | None] = {}  # per path asked for: records share files

    def owner(self, path: str) -> Source | None:
        if path in self.found:
            return self.found[path]
        if self.owners is None:
            self.owners = {}
            for source in self.sources:
                for file in source_files(source):
                    self.owners.setdefault(file, source)
        found = self.found[path] = self.owners.get(os.path.abspath(path))
        return found


def label_named(label: str, name: str) -> bool:
    """Whether a ``<name> <version>`` label is that of the distribution ``name``."""
    return _normalized(label.rpartition(" ")[0]) == _normalized(name)


def _normalized(name: str) -> str:
    return re.sub(r"[-_.]+", "_", name).lower()


def _folder(dist: metadata.Distribution) -> tuple[str, str]:
    """The folder that holds a distribution's metadata, and the metadata folder's name."""
    base = os.path.abspath(str(dist.locate_file("")))
    info = getattr(dist, "_path", None)  # the dist-info folder of an installed distribution
    return base, getattr(info, "name", "")


def load_order(
    found: list[tuple[metadata.EntryPoint, metadata.Distribution]],
) -> list[tuple[metadata.EntryPoint, metadata.Distribution]]:
    """Entry points in the order the plugin manager's own discovery loads them.

    Folders in the order of ``sys.path``; in one folder, the distributions in
    the order of their metadata folders' names; in one distribution, the order
    of its ``entry_points.txt``.
    """
    rank = {os.path.abspath(entry or "."): index for index, entry in enumerate(sys.path)}
    keys: dict[int, tuple[int, str]] = {}

    def key(pair: tuple[metadata.EntryPoint, metadata.Distribution]) -> tuple[int, str]:
        dist = pair[1]
        if id(dist) not in keys:
            try:
                base, name = _folder(dist)
            except Exception:  # a distribution that is not in a folder: after the others
                base, name = "", ""
            keys[id(dist)] = (rank.get(base, len(rank)), name)
        return keys[id(dist)]

    return sorted(found, key=key)


def entry_points(
    group: str, on_unreadable: Callable[[Source], object]
) -> list[tuple[metadata.EntryPoint, Source]]:
    """The entry points of ``group`` with their distributions, in load order.

    One source per distribution, shared by its entry points. An entry-point
    list that is not UTF-8 is read as far as it can be.
    """
    sources: dict[int, Source] = {}

    def source(dist: metadata.Distribution) -> Source:
        if id(dist) not in sources:
            sources[id(dist)] = Source(dist, on_unreadable=on_unreadable)
        return sources[id(dist)]

    try:
        pairs = [(point, point.dist) for point in metadata.entry_points(group=group)]
        found = [(point, dist) for point, dist in pairs if dist is not None]
    except Exception:  # a file not UTF-8, or unreadable: one distribution at a time
        found = []
        seen: set[str] = set()
        for dist in metadata.distributions():
            text = source(dist).read_text("entry_points.txt")
            name = _normalized(_folder(dist)[1].partition("-")[0] or source(dist).label)
            if not text or name in seen:
                continue
            seen.add(name)
            found += [(point, dist) for point in parse_entry_points(text, group)]
    return [(point, source(dist)) for point, dist in load_order(found)]


class MalformedEntryPoint(metadata.EntryPoint):
    """An entry point whose value names no object. Python 3.15 refuses one when it is made;
    it is listed like the others here, and its own load reports it."""

    def __init__(self, name: str, value: str, group: str) -> None:
        vars(self).update(name=name, value=value, group=group)


def parse_entry_points(text: str, group: str) -> list[metadata.EntryPoint]:
    """The entry points of one group in an ``entry_points.txt`` text."""
    found = []
    section = None
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].strip()
        elif section == group and "=" in line:
            name, _, value = line.partition("=")
            try:
                found.append(metadata.EntryPoint(name.strip(), value.strip(), group))
            except ValueError:
                found.append(MalformedEntryPoint(name.strip(), value.strip(), group))
    return found
