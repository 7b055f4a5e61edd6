"""The key path and the class of a registration as text and as JSON.

``corvane.tree`` builds the key path (``key_path_of``, also importable from
here); the registry, the lookup explanation and the command-line tool show it
with the functions of this module.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from corvane.tree import key_path_of

__all__ = ["LISTING_FORMAT", "class_name", "format_key_path", "key_path_json", "key_path_of"]

# The version of the format of list --json: 2 is an object with "format" and
# "registrations"; the first was the array of the registrations alone.
LISTING_FORMAT = 2


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
