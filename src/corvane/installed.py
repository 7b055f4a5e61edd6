"""The installed plugins: the entry points of the group, read once per load.

``scan`` lists the entry points of the group ``corvane.plugins`` with one
call of ``importlib.metadata.entry_points`` and reads the name and version
of each distribution that declares them once, from one parse of its
metadata. The loading order, the sources of the registrations, the matching
of disabled names, the failures and ``check``'s detectors all work from
that one scan.

``normalised_name`` is the package's one comparison of distribution names.
"""

from __future__ import annotations

import operator
import re
from importlib import metadata
from typing import Any

from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.records import Listed, Source

__all__ = ["name_and_version", "normalised_name", "scan"]

_SEPARATORS = re.compile(r"[-_.]+")


def normalised_name(distribution: str) -> str:
    """Return a distribution name as installers compare it: every run of ``-``,
    ``_`` and ``.`` as one ``-``, in lower case (``Acme_Plugins`` is
    ``acme-plugins``)."""
    return _SEPARATORS.sub("-", distribution).lower()


def scan() -> list[Listed]:
    """List the entry points of the group ``corvane.plugins`` in loading order.

    Calls ``importlib.metadata.entry_points`` once and parses the metadata of
    each distribution declaring entry points once (its entry points share the
    distribution object), unless the cache of ``corvane.installed_cache``
    proves that none of it changed since an earlier process did.

    Returns:
        The entry points sorted by distribution name, normalised as installers
        do (none for an entry point without a distribution sorts first), then
        entry-point name, then value.
    """
    # Answered from the user's cache when it proves nothing read below changed.
    from corvane import installed_cache

    return installed_cache.through(_scan)


def _scan() -> list[Listed]:
    # The scan itself: everything it reports goes into its records, which the
    # cache keeps.
    # id of a distribution -> (the distribution, kept alive; name; version).
    read: dict[int, tuple[Any, str | None, str | None]] = {}
    listed = []
    for entry_point in metadata.entry_points(group=ENTRYPOINT_GROUP):
        dist = getattr(entry_point, "dist", None)
        if dist is None:
            name = version = None
        else:
            known = read.get(id(dist))
            if known is None or known[0] is not dist:
                known = (dist, *name_and_version(dist))
                read[id(dist)] = known
            _, name, version = known
        source = Source(
            "entry_point",
            name=entry_point.name,
            value=entry_point.value,
            distribution=name,
            version=version,
        )
        listed.append(Listed(entry_point, source, normalised_name(name or "")))
    listed.sort(key=_PRECEDENCE)
    return listed


_PRECEDENCE = operator.attrgetter("precedence")
# What 3.15 raises for a distribution without metadata (nothing before it).
_NO_METADATA: type[Exception] | tuple[()] = getattr(metadata, "MetadataNotFound", ())


def name_and_version(dist: Any) -> tuple[Any, Any]:
    """Return ``dist.name`` and ``dist.version``, reading its metadata once.

    When the distribution's METADATA file starts with plain one-line fields
    (the usual case), the two are taken from them as the email parser that
    ``importlib.metadata`` uses would read them, without parsing the rest (a
    long description, often); otherwise from one parse of the metadata (the
    file read again). A distribution whose class reads them its own way is
    asked for each.

    Returns:
        The name and the version, as the distribution gives them.
    """
    kind = type(dist)
    base = metadata.Distribution
    if not (
        isinstance(dist, base)
        and getattr(kind, "name", None) is base.name
        and getattr(kind, "version", None) is base.version
        and getattr(kind, "metadata", None) is base.metadata
    ):
        return dist.name, dist.version
    text = dist.read_text("METADATA")
    fields = _plain_fields(text) if text else None
    if fields is not None:
        return fields
    # No metadata, or a field it lacks, is None, as importlib.metadata gave
    # it before 3.15 (which raises MetadataNotFound and KeyError for them).
    try:
        message = dist.metadata
    except _NO_METADATA:
        return None, None
    if message is None:
        return dist.name, dist.version
    name, version = (message[field] if field in message else None for field in ("Name", "Version"))
    return name, version


# A header line as the email parser reads one: a name of printable ASCII
# characters but the colon, then a colon.
_FIELD = re.compile(r"([\041-\071\073-\176]+):[ \t]*(.*)")


def _plain_fields(text: str) -> tuple[str, str] | None:
    # Name and Version from a header block of plain fields: every line up to
    # the first empty one is "Name: value", none continued on the next line,
    # no carriage return. The first of each wins, as in the parsed message.
    # None for anything else, or when either field is missing.
    head = text.partition("\n\n")[0]
    if "\r" in head:
        return None
    lines = head.split("\n")
    if lines[-1] == "":
        lines.pop()
    found: dict[str, str] = {}
    for line in lines:
        field = _FIELD.fullmatch(line)
        if field is None:
            return None
        key = field[1].lower()
        if key not in found:
            found[key] = field[2]
    if "name" not in found or "version" not in found:
        return None
    return found["name"], found["version"]
