"""``python -m telvar``: the ``telvar`` command (see ``telvar.cli``)."""

import sys

from telvar.cli import main

sys.exit(main())
