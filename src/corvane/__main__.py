"""``python -m corvane``: the same command-line tool as ``corvane-plugins``."""

import sys

from corvane.cli import main

sys.exit(main())
