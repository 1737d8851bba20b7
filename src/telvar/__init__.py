"""telvar: connections to network devices, served by connection plugins."""

import contextlib
import logging
import warnings

# The plugin manager reads entry points through pkg_resources, which warns
# about its own deprecation when first imported: nothing a user of telvar can
# act on. Import it here, before the extension does, with only that warning
# silenced and only for this import; the extension's own import then finds
# it in sys.modules. No filter outlives the block.
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "pkg_resources is deprecated", UserWarning)
    with contextlib.suppress(Exception):  # the extension's own import reports it
        import pkg_resources  # noqa: F401

# Like any library's logger: silent until the application configures logging.
log = logging.getLogger("telvar")
log.addHandler(logging.NullHandler())

__all__ = ["log"]
