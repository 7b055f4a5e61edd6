"""corvane: drives devices through connection classes chosen by the plugin manager."""

import logging

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())
