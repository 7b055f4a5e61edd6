"""Comparing two listings written by ``corvane-plugins list --json``.

A listing is the registrations of one environment; ``diff_listings`` tells
which registrations one environment has and the other lacks, which
descriptions (a key path and a chassis type) have another class, and which
plugin distributions have another version. Listings of every format
``list --json`` wrote are read: the first, an array of the registrations,
and the object with ``format`` and ``registrations`` after it.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field
from typing import Any

from corvane.installed import normalised_name
from corvane.keys import LISTING_FORMAT, format_key_path
from corvane.records import Source

__all__ = ["DIFF_FORMAT", "ListingDiff", "ListingError", "diff_listings", "read_listing"]

# The version of the format of diff --json: 2 added "format" and "versions";
# output without "format" is the first.
DIFF_FORMAT = 2

_SOURCE_FIELDS = list(Source.__match_args__)


class ListingError(ValueError):
    """A file that cannot be read, or is not a listing written by ``list --json``."""


def read_listing(path: str) -> list[dict[str, Any]]:
    """Read a listing written by ``corvane-plugins list --json`` (``-``: stdin).

    A listing of the first format (an array, without ``format``) is read as
    one of the current format.

    Returns:
        Its rows, each an object with at least ``key_path`` (an array),
        ``chassis_type`` and ``class``.

    Raises:
        ListingError: when the file cannot be read or is not such a listing,
            or is of a format newer than this version reads.
    """
    try:
        if path == "-":
            listing = json.load(sys.stdin)
        else:
            with open(path, encoding="utf-8") as file:
                listing = json.load(file)
    except OSError as error:
        raise ListingError(f"{path}: {error.strerror or error}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise ListingError(f"{path}: not JSON ({error})") from None
    rows = _rows(path, listing)
    for number, row in enumerate(rows, 1):
        wrong = _wrong(row)
        if wrong:
            raise ListingError(
                f"{path}: not a listing written by list --json (row {number} {wrong})"
            )
    return rows


def _rows(path: str, listing: Any) -> list[Any]:
    # The registrations of a listing of any format.
    if isinstance(listing, list):
        return listing
    not_listing = f"{path}: not a listing written by list --json"
    if not isinstance(listing, dict):
        raise ListingError(f"{not_listing} (neither an array nor an object)")
    version = listing.get("format")
    if type(version) is not int or version < 2:
        raise ListingError(f"{not_listing} (no format number)")
    if version > LISTING_FORMAT:
        raise ListingError(
            f"{path}: a listing of format {version}, newer than this version of corvane "
            f"reads (up to {LISTING_FORMAT})"
        )
    rows = listing.get("registrations")
    if not isinstance(rows, list):
        raise ListingError(f"{not_listing} (no registrations array)")
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
    one has (``added``), those only the old one has (``removed``), the pairs
    of rows, old then new, of a description whose class changed, and the
    distributions whose version changed (``versions``: name, old and new
    version)."""

    added: list[dict[str, Any]] = field(default_factory=list)
    removed: list[dict[str, Any]] = field(default_factory=list)
    changed: list[tuple[dict[str, Any], dict[str, Any]]] = field(default_factory=list)
    versions: list[tuple[str, str, str]] = field(default_factory=list)

    @property
    def differs(self) -> bool:
        """Whether anything differs."""
        return bool(self.added or self.removed or self.changed or self.versions)

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
        if self.versions:
            lines.append("versions:")
            lines += [f"  {name}: {old} -> {new}" for name, old, new in self.versions]
        return lines

    def as_json(self) -> dict[str, Any]:
        """Return the differences as a JSON-ready object: its ``format``;
        ``added`` and ``removed`` hold rows as ``list --json`` writes them;
        each of ``changed`` has the description and the ``old`` and ``new``
        class, file and source; each of ``versions`` a ``distribution`` and its
        ``old`` and ``new`` version."""

        def side(row: dict[str, Any]) -> dict[str, Any]:
            return {key: row.get(key) for key in ("class", "file", "source")}

        return {
            "format": DIFF_FORMAT,
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
            "versions": [
                {"distribution": name, "old": old, "new": new} for name, old, new in self.versions
            ],
        }


def diff_listings(old: list[dict[str, Any]], new: list[dict[str, Any]]) -> ListingDiff:
    """Compare two listings, row by row, on their key path and chassis type,
    and the versions of the distributions their entry points come from
    (names compared as installers normalise them).

    Returns:
        A ``ListingDiff``; its rows keep the order of the listing they come
        from (``list --json`` sorts them by key path and chassis type); the
        versions are sorted by distribution.
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
    was, now = _versions(old), _versions(new)
    found.versions = sorted(
        (now[name][0], was[name][1], now[name][1])
        for name in was.keys() & now.keys()
        if was[name][1] != now[name][1]
    )
    return found


def _versions(rows: list[dict[str, Any]]) -> dict[str, tuple[str, str]]:
    # Normalised distribution name -> (its name as written, its versions as
    # one text): from the sources of the entry points' registrations.
    found: dict[str, tuple[str, set[str]]] = {}
    for row in rows:
        source = row.get("source")
        if not isinstance(source, dict) or source.get("kind") != "entry_point":
            continue
        name, version = source.get("distribution"), source.get("version")
        if isinstance(name, str) and isinstance(version, str):
            found.setdefault(normalised_name(name), (name, set()))[1].add(version)
    return {key: (name, ", ".join(sorted(each))) for key, (name, each) in found.items()}


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
