"""``python -m morvane.filters.rank``: the command line, as ``morvane-rank``."""

import sys

from .cli import main

sys.exit(main())
