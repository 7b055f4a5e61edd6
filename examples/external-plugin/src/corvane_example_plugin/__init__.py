"""An external corvane plugin for devices running acmeos.

Installed as its own distribution, it declares the entry point ``acmeos`` in
the group ``corvane.plugins``; loading that entry point imports this module,
which registers its connection class with the package's shared manager.
"""

from corvane.registry import plugin_manager


class AcmeConnection:
    """Connection class of acmeos devices (an example: it does no device I/O)."""

    os = "acmeos"


plugin_manager.register_plugin(AcmeConnection, os="acmeos")
