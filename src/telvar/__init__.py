"""telvar: connections to network devices, served by connection plugins."""

import logging

# Like any library's logger: silent until the application configures logging.
log = logging.getLogger("telvar")
log.addHandler(logging.NullHandler())

__all__ = ["log"]
