"""Comparing two listings written by ``corvane-plugins list --json``.

A listing is the registrations of one environment; ``diff_listings`` tells
which registrations one environment has and the other lacks, and which
descriptions (a key path and a chassis type) have another class.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field, fields
from typing import Any

from corvane.keys import format_key_path
from corvane.records import Source

__all__ = ["ListingDiff", "ListingError", "diff_listings", "read_listing"]

_SOURCE_FIELDS = [f.name for f in fields(Source)]


class ListingError(ValueError):
    """A file that cannot be read, or is not a listing written by ``list --json``."""


def read_listing(path: str) -> list[dict[str, Any]]:
    """Read a listing written by ``corvane-plugins list --json`` (``-``: stdin).

    Returns:
        Its rows, each an object with at least ``key_path`` (an array),
        ``chassis_type`` and ``class``.

    Raises:
        ListingError: when the file cannot be read or is not such a listing.
    """
    try:
        if path == "-":
            rows = json.load(sys.stdin)
        else:
            with open(path, encoding="utf-8") as file:
                rows = json.load(file)
    except OSError as error:
        raise ListingError(f"{path}: {error.strerror or error}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise ListingError(f"{path}: not JSON ({error})") from None
    if not isinstance(rows, list):
        raise ListingError(f"{path}: not a listing written by list --json (not an array)")
    for number, row in enumerate(rows, 1):
        wrong = _wrong(row)
        if wrong:
            raise ListingError(
                f"{path}: not a listing written by list --json (row {number} {wrong})"
            )
    return rows


def _wrong(row: Any) -> str | None:
    if not isinstance(row, dict):
        return "is not an object"
    if not isinstance(row.get("key_path"), list):
        return "has no key_path array"
    for key in ("chassis_type", "class"):
        if not isinstance(row.get(key), str):
            return f"has no {key} text"
    return None


@dataclass
class ListingDiff:
    """What differs between an old listing and a new one: the rows only the new
    one has (``added``), those only the old one has (``removed``), and the
    pairs of rows, old then new, of a description whose class changed."""

    added: list[dict[str, Any]] = field(default_factory=list)
    removed: list[dict[str, Any]] = field(default_factory=list)
    changed: list[tuple[dict[str, Any], dict[str, Any]]] = field(default_factory=list)

    @property
    def differs(self) -> bool:
        """Whether anything differs."""
        return bool(self.added or self.removed or self.changed)

    def lines(self) -> list[str]:
        """Return the differences as text lines, one section per kind."""
        if not self.differs:
            return ["no differences"]
        lines: list[str] = []
        for title, rows in (("added", self.added), ("removed", self.removed)):
            if rows:
                lines.append(f"{title}:")
                lines += [f"  {_where(row)}: {_class_and_source(row)}" for row in rows]
        if self.changed:
            lines.append("changed:")
            for old, new in self.changed:
                lines.append(f"  {_where(new)}:")
                lines.append(f"    was {_class_and_source(old)}")
                lines.append(f"    now {_class_and_source(new)}")
        return lines

    def as_json(self) -> dict[str, Any]:
        """Return the differences as a JSON-ready object: ``added`` and ``removed``
        hold rows as ``list --json`` writes them; each of ``changed`` has the
        description and the ``old`` and ``new`` class, file and source."""

        def side(row: dict[str, Any]) -> dict[str, Any]:
            return {key: row.get(key) for key in ("class", "file", "source")}

        return {
            "differ": self.differs,
            "added": self.added,
            "removed": self.removed,
            "changed": [
                {
                    "key_path": new["key_path"],
                    "chassis_type": new["chassis_type"],
                    "old": side(old),
                    "new": side(new),
                }
                for old, new in self.changed
            ],
        }


def diff_listings(old: list[dict[str, Any]], new: list[dict[str, Any]]) -> ListingDiff:
    """Compare two listings, row by row, on their key path and chassis type.

    Returns:
        A ``ListingDiff``; its rows keep the order of the listing they come
        from (``list --json`` sorts them by key path and chassis type).
    """
    before = {_key(row): row for row in old}
    after = {_key(row): row for row in new}
    found = ListingDiff()
    found.added = [row for key, row in after.items() if key not in before]
    found.removed = [row for key, row in before.items() if key not in after]
    found.changed = [
        (before[key], row)
        for key, row in after.items()
        if key in before and before[key]["class"] != row["class"]
    ]
    return found


def _key(row: dict[str, Any]) -> tuple[str, str]:
    # The key path as JSON writes it, so that ["x", "a/b"] and ["x", "a", "b"] differ.
    return json.dumps(row["key_path"]), row["chassis_type"]


def _where(row: dict[str, Any]) -> str:
    return f"{format_key_path(row['key_path'])} [{row['chassis_type']}]"


def _class_and_source(row: dict[str, Any]) -> str:
    source = row.get("source")
    if isinstance(source, dict) and isinstance(source.get("kind"), str):
        known = {name: _text(source.get(name)) for name in _SOURCE_FIELDS}
        origin = Source(source["kind"], *(known[name] for name in _SOURCE_FIELDS[1:])).describe()
    else:
        origin = "an unknown source"
    return f"{row['class']} from {origin}"


def _text(value: Any) -> str | None:
    return None if value is None else str(value)
