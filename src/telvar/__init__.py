"""telvar: connections to network devices, served by connection plugins."""

import logging
import sys
import warnings

# Like any library's logger: silent until the application configures logging.
log = logging.getLogger("telvar")
log.addHandler(logging.NullHandler())

__all__ = ["log"]


def _serve_pkg_resources() -> None:
    """Import pkg_resources before the plugin manager does; stand in for it if it is gone.

    pkg_resources warns about its own deprecation when first imported: nothing a
    user of telvar can act on. It is imported here with only that warning
    silenced, and only for this import; the extension's own import then finds it
    in sys.modules. No filter outlives the block.

    When it is missing, or what is left of it is a namespace package or a module
    without iter_entry_points, telvar._pkg_resources takes its place in sys.modules
    (see there for what it offers). Nothing is done over an explicit block
    (sys.modules["pkg_resources"] = None), over a pkg_resources whose own import
    raised or that is still being imported: the plugin manager's import then fails
    as it would without telvar's help. The stand-in warns through telvar's logger
    only, never through the warnings module: importing telvar stays silent, and
    the telvar command names the repair.

    ``telvar.core`` calls it when first imported, before the plugin manager: only
    what uses the core pays for pkg_resources (``telvar -V`` does not).
    """
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "pkg_resources is deprecated", UserWarning)
        try:
            from pkg_resources import iter_entry_points  # noqa: F401
        except ImportError as exc:
            failure: ImportError = exc
        except Exception:  # its own import raised: the extension's own import reports it
            return
        else:
            return
    if "pkg_resources" not in sys.modules:  # missing, unless its own import failed
        if not (isinstance(failure, ModuleNotFoundError) and failure.name == "pkg_resources"):
            return
    else:  # a module without iter_entry_points, unless blocked or still being imported
        present = sys.modules["pkg_resources"]
        if present is None or getattr(getattr(present, "__spec__", None), "_initializing", False):
            return
    from telvar import _pkg_resources as stand_in

    stand_in.reason = f"{type(failure).__name__}: {failure}"
    sys.modules["pkg_resources"] = stand_in
    log.warning("%s", stand_in.describe())
