"""The installed plugins: the entry points of the group, read once per load.

``scan`` lists the entry points of the group ``corvane.plugins`` with one
call of ``importlib.metadata.entry_points`` and reads the name and version
of each distribution that declares them once, from one parse of its
metadata. The loading order, the sources of the registrations, the matching
of disabled names, the failures and ``check``'s detectors all work from
that one scan.

``normalised_name`` is the package's one comparison of distribution names.

``importlib.metadata`` takes a metadata file that is there and cannot be
read (no permission, a folder, a broken link) for a missing one: the
distribution's entry points vanish, or its name and version.
``unreadable_metadata`` finds such files, and ``name_and_version`` names a
distribution whose METADATA cannot be read after its folder, so that it
keeps its place in the loading order and its name.
"""

# No postponed annotations here: typing.NamedTuple compiles each field's
# annotation given as text, at every import.
import operator
import os
import re
import stat
from collections.abc import Iterable
from importlib import metadata
from typing import Any, NamedTuple

from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.records import Listed, Source

__all__ = [
    "UnreadableMetadata",
    "name_and_version",
    "normalised_name",
    "read_installed",
    "scan",
    "unreadable_metadata",
]

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
    return read_installed()[0]


def read_installed() -> tuple[list[Listed], list["UnreadableMetadata"]]:
    """Return ``scan()`` and the ``unreadable_metadata`` of what it listed,
    read together: from the cache of ``corvane.installed_cache`` when it
    proves that nothing they read changed since an earlier process did.

    Returns:
        The entry points in loading order, and the metadata files that
        cannot be read.
    """
    from corvane import installed_cache

    return installed_cache.through(_read)


def _read() -> tuple[list[Listed], list["UnreadableMetadata"]]:
    # The reading itself: everything it reports goes into what it returns,
    # which the cache keeps.
    listed = _scan()
    return listed, unreadable_metadata(listed)


def _scan() -> list[Listed]:
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
    folder = _folder(dist) if text is None else None
    if folder is not None and _unreadable(folder, "METADATA") is not None:
        _METADATA_UNREAD.add(folder)
        return _named_by_folder(folder)
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
# characters but the colon, then a colon. Compiled on first use: a load that
# reads no METADATA does without it.
_FIELD_PATTERN = r"([\041-\071\073-\176]+):[ \t]*(.*)"
_FIELD: re.Pattern[str] | None = None


def _field() -> re.Pattern[str]:
    global _FIELD
    _FIELD = re.compile(_FIELD_PATTERN)
    return _FIELD


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
        field = (_FIELD or _field()).fullmatch(line)
        if field is None:
            return None
        key = field[1].lower()
        if key not in found:
            found[key] = field[2]
    if "name" not in found or "version" not in found:
        return None
    return found["name"], found["version"]


class UnreadableMetadata(NamedTuple):
    """A metadata file of an installed distribution that is there and cannot
    be read: its ``entry_points.txt`` (the distribution's plugins are not
    loaded) or its ``METADATA`` (the distribution is named after its folder)."""

    path: str
    # Why it cannot be read ("Permission denied", "Is a directory").
    error: str
    # The distribution's name and version as its folder gives them.
    distribution: str
    version: str | None

    def describe(self) -> str:
        """Return one line naming the file, why it cannot be read, and what follows."""
        named = f"{self.distribution} {self.version or '?'}"
        if os.path.basename(self.path) == "entry_points.txt":
            follows = f"the plugins of {named} are not loaded"
        else:
            follows = f"{named} is named after its folder"
        return f"cannot read {self.path} ({self.error}): {follows}"

    def as_json(self) -> dict[str, Any]:
        """Return the file, the error and the distribution as a JSON-ready object."""
        return {
            "path": self.path,
            "error": self.error,
            "distribution": self.distribution,
            "version": self.version,
        }


def unreadable_metadata(listed: Iterable[Listed]) -> list[UnreadableMetadata]:
    """Find the metadata files that are there and cannot be read.

    Looks at the ``entry_points.txt`` of every distribution on the path (the
    first of each name, the one ``importlib.metadata`` reads), with a
    ``stat`` call or two each and without reading any, and at the
    ``METADATA`` of those distributions of ``listed`` that
    ``name_and_version`` could not read.

    Returns:
        One ``UnreadableMetadata`` per such file, in the order of the path.
    """
    found = []
    names: set[str] = set()
    for dist in metadata.distributions():
        folder = _folder(dist)
        if folder is None:
            continue
        # The name as importlib.metadata tells copies apart, from the folder's.
        name = normalised_name(os.path.basename(folder).partition("-")[0])
        if name in names:
            continue
        names.add(name)
        error = _unreadable(folder, "entry_points.txt")
        if error:
            found.append(_unreadable_file(folder, "entry_points.txt", error))
    folders: set[str] = set()
    for item in listed:
        folder = _folder(getattr(item.entry_point, "dist", None))
        if folder is None or folder not in _METADATA_UNREAD or folder in folders:
            continue
        folders.add(folder)
        error = _unreadable(folder, "METADATA")
        if error:
            found.append(_unreadable_file(folder, "METADATA", error))
    return found


# The folders whose METADATA name_and_version could not read (looked at
# again when reported): the one record, so that a load asks nothing more of
# the others.
_METADATA_UNREAD: set[str] = set()


def _folder(dist: Any) -> str | None:
    # The metadata folder of a distribution installed as files (a .dist-info
    # or .egg-info folder); None for any other kind.
    path = getattr(dist, "_path", None)
    try:
        return os.fspath(path) if path is not None else None
    except TypeError:
        return None


def _unreadable(folder: str, filename: str) -> str | None:
    # Why the file cannot be read when it is there and importlib.metadata
    # would take it for missing; None when it can be read, or is not there
    # (told by one call that raises nothing, the usual case).
    path = os.path.join(folder, filename)
    if _ASK_THE_LINK and not os.access(path, os.F_OK, follow_symlinks=False):
        return None
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        # A link to nothing; or not there (in an .egg-info file rather than a
        # folder, say) when the link could not be asked about.
        return "a broken link" if os.path.islink(path) else None
    except OSError as error:
        return error.strerror or type(error).__name__
    if stat.S_ISDIR(mode):
        return "Is a directory"
    if not os.access(path, os.R_OK):
        return "Permission denied"
    return None


# Whether os.access can tell a link from what it names here.
_ASK_THE_LINK = os.access in os.supports_follow_symlinks


def _named_by_folder(folder: str) -> tuple[str, str | None]:
    # "acme_plugins-1.0.dist-info" is acme_plugins 1.0, as installers name it.
    stem = os.path.splitext(os.path.basename(os.path.normpath(folder)))[0]
    name, _, rest = stem.partition("-")
    return name, rest.partition("-")[0] or None


def _unreadable_file(folder: str, filename: str, error: str) -> UnreadableMetadata:
    name, version = _named_by_folder(folder)
    return UnreadableMetadata(os.path.join(folder, filename), error, name, version)
