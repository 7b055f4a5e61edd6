"""The key path: how a device description names a node of the plugin tree.

The plugin manager files and looks up a class along this path; the registry,
the lookup explanation and the command-line tool all build and show it here.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

__all__ = ["class_name", "format_key_path", "key_path_json", "key_path_of"]


def key_path_of(
    os: Any = None, platform: Any = None, model: Any = None, os_flavor: Any = None
) -> list[Any]:
    """Build the key path the plugin manager files a device description under.

    The keys are ``os``, then ``platform`` and ``model`` as present, then the
    OS flavour; presence is tested against ``None``, not truth.

    Returns:
        The list of tree keys.
    """
    if model is not None:
        path = [os, platform, model]
    elif platform is not None:
        path = [os, platform]
    else:
        path = [os]
    if os_flavor is not None:
        path.append(os_flavor)
    return path


def format_key_path(key_path: Sequence[Any]) -> str:
    """Return a key path as text, its keys joined by ``/`` (``generic/edge``)."""
    return "/".join(str(key) for key in key_path)


def key_path_json(key_path: Sequence[Any]) -> list[Any]:
    """Return a key path as a JSON array: keys JSON can hold as they are, others as text."""
    return [
        key if key is None or isinstance(key, str | int | float) else str(key) for key in key_path
    ]


def class_name(cls: Any) -> str:
    """Return ``module.qualname`` of a connection class (its repr for other objects)."""
    module = getattr(cls, "__module__", None)
    qualname = getattr(cls, "__qualname__", None)
    if isinstance(module, str) and isinstance(qualname, str):
        return f"{module}.{qualname}"
    return repr(cls)
