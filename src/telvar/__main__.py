"""``python -m telvar``: see ``telvar.cli``."""

import sys

from telvar.cli import main

sys.exit(main())
