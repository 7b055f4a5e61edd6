"""corvane: drives devices through connection classes chosen by the plugin manager."""

import logging

log = logging.getLogger("corvane")
log.addHandler(logging.NullHandler())

# Read from the installed distribution's metadata on first use, so that
# importing the package does not import importlib.metadata.
__version__: str


def __getattr__(name: str) -> str:
    """Return ``__version__``: the version of the installed distribution.

    It is ``"0+unknown"`` when the package is imported from a source tree that
    was never installed.

    Raises:
        AttributeError: for any other name.
    """
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("corvane")
    except metadata.PackageNotFoundError:
        version = "0+unknown"
    globals()["__version__"] = version
    return version
