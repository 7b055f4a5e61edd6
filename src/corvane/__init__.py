"""corvane: drives devices through connection classes chosen by the plugin manager."""

from __future__ import annotations

# Importing the package imports nothing (not even typing), so that the
# command-line tool is running its own code, which takes an interrupt as it
# should, from its first moment.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import logging
del TYPE_CHECKING

# The package logger (with a NullHandler), made on first use.
log: logging.Logger
# Read from the installed distribution's metadata on first use, so that
# importing the package does not import importlib.metadata.
__version__: str


def __getattr__(name: str) -> logging.Logger | str:
    """Return ``log``, the package logger ``corvane``, or ``__version__``, the
    version of the installed distribution, each made on first use.

    The version is ``"0+unknown"`` when the package is imported from a source
    tree that was never installed.

    Raises:
        AttributeError: for any other name.
    """
    if name == "log":
        import logging

        logger = logging.getLogger("corvane")
        logger.addHandler(logging.NullHandler())
        globals()["log"] = logger
        return logger
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("corvane")
    except metadata.PackageNotFoundError:
        version = "0+unknown"
    globals()["__version__"] = version
    return version
