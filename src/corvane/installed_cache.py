"""The scan of the installed plugins, kept across processes in the user's cache.

``through(read)`` answers the reading of the installed plugins
(``corvane.installed.read_installed``: the scan and the metadata files that
cannot be read) from a file of the user's cache folder when it proves that
nothing the reading read has changed since the file was written; otherwise
it runs ``read`` and writes what it found. The file is kept per
interpreter and ``sys.path`` (the key: ``sys.executable``, ``sys.version``,
``sys.prefix``, every path entry as it is, the working folder when an entry
is relative, and the user and groups), and holds:

- the scan's records, field by field: each entry point (name, value, group
  and its distribution's folder) with its ``Source`` and the distribution's
  name as installers compare it; and each ``UnreadableMetadata``; plain data
  only (a record the file cannot hold is not written);
- the state (device, inode, size, mode, ``st_mtime_ns``, ``st_ctime_ns``)
  of everything the scan read, taken before it read it: each path entry (a
  distribution added, removed or renamed changes its listing), each
  distribution's ``entry_points.txt`` and ``METADATA`` (rewritten in place)
  and, when one of them is missing or empty, its folder (a file added) and
  every file of ``METADATA_FILES`` it holds, and the files of the code that
  makes the records.

Every load states them all again and answers from the file only when the
key and every state are the same. A file changed in place keeps its inode,
and may keep its size and, set back, its modification time; its change time
(``st_ctime_ns``) moves whatever is done to it, to the resolution of the
file system's clock: a file is not written while anything it checks changed
within ``SETTLE_NS`` of the writing, so that a later change in the same tick
cannot go unseen.

The cache is not used when ``CORVANE_PLUGINS_CACHE`` is ``off``, within
``turned_off`` (``corvane-plugins --no-cache``), when the path holds no more
than ``FEW`` distributions (their metadata is read faster), when a finder on
``sys.meta_path`` other than the standard ones offers distributions (they
are no files on the path), when ``importlib.metadata``'s listing is not its
own, or when a path entry is not a folder (a zip file). It lives in
``platformdirs.user_cache_dir("corvane")``, in a folder of mode 0700, each
file of mode 0600 written to a temporary file and renamed into place. A
file that is not a regular file owned by the user, is writable by others,
cannot be read, is of another format or is malformed is not trusted: the
scan runs and the file is written anew. A folder that cannot be made or
written (a read-only or missing home) leaves the scan as it is, silently.
The answer is the scan's own records, so loading order, sources, disabled
matching, findings and messages are the same with and without the cache;
``last_use`` tells how the latest scan was answered (``check`` shows it).
"""

from __future__ import annotations

import itertools
import marshal
import operator
import os
import stat
import sys
import time
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from importlib import machinery, metadata
from pathlib import Path
from typing import Any

from corvane import installed, records
from corvane.installed import UnreadableMetadata
from corvane.records import Listed, Record, Source

# What the reading finds: the entry points, and the files that cannot be read.
Found = tuple[list[Listed], list[UnreadableMetadata]]

__all__ = [
    "CACHE_VARIABLE",
    "FEW",
    "METADATA_FILES",
    "SETTLE_NS",
    "Use",
    "last_use",
    "through",
    "turned_off",
]

# The environment variable that turns the cache off ("off").
CACHE_VARIABLE = "CORVANE_PLUGINS_CACHE"

# The files of a distribution's folder that the scan may read: its entry
# points and its name and version, from METADATA or, when that is missing or
# empty, PKG-INFO (importlib.metadata reads the folder itself after them,
# which for a folder gives nothing).
METADATA_FILES = ("entry_points.txt", "METADATA", "PKG-INFO")
# The ones read of every distribution, before any other.
_READ = METADATA_FILES[:2]

# Nothing a cache file checks may have changed within this many nanoseconds
# of its writing: coarser than the clock of any file system in use (FAT's
# two seconds are the coarsest).
SETTLE_NS = 2_000_000_000

# A path holding this many distributions or fewer is read rather than the
# cache: reading their metadata costs less than finding the cache folder
# (importing platformdirs) does.
FEW = 40

# The first line of a cache file; a file of another format or another
# layout of the records is not read.
_FORMAT = 2
_FOLDER_NAME = "corvane"


class Use(Record):
    """How one scan was answered: ``used`` tells whether from the cache,
    ``file`` names the cache file (``None`` when there is none), ``note``
    says why the cache was not used and whether the scan was written."""

    used: bool
    file: str | None
    note: str

    def __init__(self, used: bool, file: str | None, note: str) -> None:
        self.__dict__.update(used=used, file=file, note=note)

    def describe(self) -> str:
        """Return one line saying where the entry points were read from."""
        if self.used:
            return f"entry points: read from the cache {self.file}"
        return f"entry points: read from the installed metadata ({self.note})"

    def as_json(self) -> dict[str, Any]:
        """Return the use as a JSON-ready object."""
        return {"used": self.used, "file": self.file, "note": self.note}


_last: Use | None = None
_off: list[str] = []


def last_use() -> Use | None:
    """Return how the latest scan of this process was answered (``None``
    before the first)."""
    return _last


@contextmanager
def turned_off(reason: str) -> Iterator[None]:
    """Leave the cache out of the scans run in the block; ``reason`` is what
    ``last_use`` names."""
    _off.append(reason)
    try:
        yield
    finally:
        _off.pop()


def through(read: Callable[[], Found]) -> Found:
    """Return what ``read`` would return: from the cache when it proves
    nothing the reading read has changed, else from ``read``, then written.

    Returns:
        The scan's records, in its order, and the unreadable files.
    """
    global _last
    why = _bypassed() or _few()
    if why:
        _last = Use(False, None, why)
        return read()
    try:
        folder = Path(_user_cache_dir())
        key = _key()
    except Exception as error:
        # No home, or no working folder: the reading as it is, silently.
        _last = Use(False, None, f"the cache cannot be placed: {error}")
        return read()
    path = folder / f"plugins-{zlib.crc32(repr(key).encode()):08x}.cache"
    found, why = _load(path, key)
    if found is not None:
        _last = Use(True, str(path), "")
        return found
    try:
        states, folders = _states_before()
    except Exception as error:
        _last = Use(False, str(path), f"{why}; not written: {error}")
        return read()
    found = read()
    written = _store(path, folder, key, states, folders, found)
    _last = Use(False, str(path), f"{why}; {written}")
    return found


class _Uncacheable(Exception):
    """What the scan read or found cannot be kept in the cache; says why."""


def _user_cache_dir() -> str:
    # Imported here: only a scan that may use the cache pays for it.
    import platformdirs

    return str(platformdirs.user_cache_dir(_FOLDER_NAME, appauthor=False))


def _bypassed() -> str:
    # Why the cache cannot answer for this scan; empty when it can.
    if os.environ.get(CACHE_VARIABLE, "").strip().lower() == "off":
        return f"the cache is off: {CACHE_VARIABLE}=off"
    if _off:
        return f"the cache is off: {_off[-1]}"
    for name in ("entry_points", "distributions"):
        if getattr(getattr(metadata, name), "__module__", None) != metadata.__name__:
            return f"importlib.metadata.{name} is replaced"
    for finder in sys.meta_path:
        offers = getattr(finder, "find_distributions", None)
        if offers is not None and finder not in _STANDARD_FINDERS:
            return f"a finder on sys.meta_path offers distributions: {finder!r}"
    if not all(type(entry) is str for entry in sys.path):
        return "a sys.path entry is not a str"
    return ""


_STANDARD_FINDERS = (machinery.BuiltinImporter, machinery.FrozenImporter, machinery.PathFinder)
_LIBRARY = os.path.dirname(getattr(os, "__file__", None) or "") or "?"
_STANDARD_LIBRARY = {_LIBRARY, os.path.join(_LIBRARY, "lib-dynload")}


def _few() -> str:
    # Says so when the path holds FEW distributions or fewer: the names
    # ending as importlib.metadata's (in any case) counted in each listing,
    # but the standard library's (no installer writes there). It decides
    # only how the reading is done, never what it finds.
    found = 0
    for entry in sys.path:
        if entry in _STANDARD_LIBRARY:
            continue
        try:
            names = os.listdir(entry or ".")
        except OSError:
            continue
        for name in names:
            if name[-10:].lower().endswith((".dist-info", ".egg-info")):
                found += 1
                if found > FEW:
                    return ""
    return f"{found} distributions: reading them costs less than the cache"


def _key() -> tuple[Any, ...]:
    # What the scan's answer depends on besides the files it reads.
    path = tuple(sys.path)
    relative = any(not os.path.isabs(entry) for entry in path)
    # Who reads: what can be read depends on it.
    user = None
    if hasattr(os, "geteuid"):
        user = (os.geteuid(), os.getegid(), tuple(sorted(os.getgroups())))
    return (
        sys.executable,
        sys.version,
        sys.prefix,
        path,
        os.getcwd() if relative else None,
        user,
    )


def _state(path: str) -> tuple[int, ...] | None:
    # What a check compares: None for a path that cannot be stated.
    try:
        return _STATE_FIELDS(os.stat(path))
    except (OSError, ValueError):
        return None


def _unchanged(paths: tuple[str, ...], values: tuple[int, ...]) -> bool:
    # Whether every path has the state noted, as _flat_states lays them out
    # (_state inlined: a load checks thousands).
    if len(values) != _STATE_WIDTH * len(paths):
        raise ValueError("not the states of the paths")
    stat_of, fields = os.stat, _STATE_FIELDS
    each = iter(values)
    for path, state in zip(paths, zip(*[each] * _STATE_WIDTH, strict=True), strict=True):
        try:
            now = fields(stat_of(path))
        except (OSError, ValueError):
            now = _NO_STATE
        if now != state:
            return False
    return True


def _flat_states(
    states: list[tuple[str, tuple[int, ...] | None]],
) -> tuple[tuple[str, ...], tuple[int, ...]]:
    # The paths, and their states one after another in one tuple (_NO_STATE
    # for a path that cannot be stated): a file of thousands of small tuples
    # would cost the collector more to read than the stats do.
    paths = tuple([path for path, _ in states])
    values = tuple(itertools.chain.from_iterable([state or _NO_STATE for _, state in states]))
    return paths, values


_STATE_FIELDS = operator.attrgetter(
    "st_dev", "st_ino", "st_size", "st_mode", "st_mtime_ns", "st_ctime_ns"
)
_STATE_WIDTH = 6
# No stat gives it.
_NO_STATE = (-1,) * _STATE_WIDTH


def _header() -> bytes:
    # The format, marshal's own, and the fields of the records kept.
    kept = (Listed.__match_args__, Source.__match_args__, UnreadableMetadata._fields)
    fields = ";".join(",".join(names) for names in kept)
    return f"corvane plugins cache {_FORMAT} marshal {marshal.version} {fields}\n".encode()


def _load(path: Path, key: tuple[Any, ...]) -> tuple[Found | None, str]:
    """Return the records of the cache file at ``path`` when it is trusted,
    its key is ``key`` and every state it checks is unchanged; otherwise
    ``None`` and why not."""
    try:
        flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)
        descriptor = os.open(path, flags)
    except FileNotFoundError:
        return None, "no cache yet"
    except OSError as error:
        return None, f"the cache cannot be read: {error.strerror}"
    try:
        found = os.fstat(descriptor)
        distrust = _distrust(found)
        if distrust:
            return None, distrust
        with os.fdopen(descriptor, "rb", closefd=False) as stream:
            data = stream.read()
    except OSError as error:
        return None, f"the cache cannot be read: {error.strerror}"
    finally:
        os.close(descriptor)
    header = _header()
    if not data.startswith(header):
        return None, "the cache is of another format"
    checksum, _, payload = data[len(header) :].partition(b"\n")
    if checksum != b"%08x" % zlib.crc32(payload):
        return None, "the cache is malformed"
    try:
        cached_key, paths, values, folders, rows, unreadable = marshal.loads(payload)
        if cached_key != key:
            return None, "the cache was kept for another interpreter or path"
        if not _unchanged(paths, values):
            return None, "the installed metadata changed"
        return (_decode(folders, rows), [UnreadableMetadata(*row) for row in unreadable]), ""
    except Exception:
        # Whatever it holds, a file that does not decode is not trusted.
        return None, "the cache is malformed"


def _distrust(found: os.stat_result) -> str:
    # Why a cache file is not trusted: it decides what gets imported, so only
    # a regular file of the user's that no one else can write is.
    if not stat.S_ISREG(found.st_mode):
        return "the cache is not a regular file"
    if hasattr(os, "geteuid") and found.st_uid != os.geteuid():
        return "the cache is not the user's own"
    if found.st_mode & 0o022:
        return "the cache is writable by others"
    return ""


def _states_before() -> tuple[list[tuple[str, tuple[int, ...] | None]], dict[str, int]]:
    """State everything the scan is about to read: the path entries, then
    each distribution's folder and metadata files, then the code of the
    scan. Taken before the reading, a change made while the scan reads shows
    at the next load.

    Returns:
        The (path, state) pairs, and the distributions' folders (numbered).

    Raises:
        _Uncacheable: for a path entry that is not a folder, or a
            distribution that is no folder of files.
    """
    states: list[tuple[str, tuple[int, ...] | None]] = []
    for entry in sys.path:
        state = _state(entry or ".")
        if state is not None and not stat.S_ISDIR(state[3]):
            raise _Uncacheable(f"the sys.path entry {entry!r} is not a folder")
        states.append((entry or ".", state))
    folders: dict[str, int] = {}
    for dist in metadata.distributions():
        where = getattr(dist, "_path", None)
        if type(dist) is not metadata.PathDistribution or not isinstance(where, Path):
            raise _Uncacheable(f"the distribution {dist!r} is not a folder on the path")
        folder = str(where)
        folders.setdefault(folder, len(folders))
        read = [(path, _state(path)) for path in (folder + os.sep + name for name in _READ)]
        if all(state is not None and state[2] for _, state in read):
            # Nothing else of the folder is read while these are there and
            # not empty: its other files need no state, nor does the folder.
            states += read
            continue
        # A file missing or empty: the folder's state shows one added.
        state = _state(folder)
        states.append((folder, state))
        if state is not None and stat.S_ISDIR(state[3]):
            for name in METADATA_FILES:
                inner = folder + os.sep + name
                inner_state = _state(inner)
                if inner_state is not None:
                    states.append((inner, inner_state))
    for module in (installed, records, sys.modules[__name__]):
        code = getattr(module, "__file__", None) or ""
        states.append((code, _state(code)))
    return states, folders


def _store(
    path: Path,
    folder: Path,
    key: tuple[Any, ...],
    states: list[tuple[str, tuple[int, ...] | None]],
    folders: dict[str, int],
    found: Found,
) -> str:
    """Write the cache file of ``key`` atomically; return what was done."""
    newest = max((max(state[4], state[5]) for _, state in states if state), default=0)
    if newest > time.time_ns() - SETTLE_NS:
        return "not written: the installed metadata changed within the last seconds"
    try:
        rows = _encode(found[0], folders)
        unreadable = tuple(_unreadable_row(item) for item in found[1])
        payload = marshal.dumps((key, *_flat_states(states), tuple(folders), rows, unreadable))
    except (_Uncacheable, ValueError) as error:
        return f"not written: {error}"
    data = _header() + b"%08x\n" % zlib.crc32(payload) + payload
    try:
        _folder(folder)
        import tempfile

        descriptor, temporary = tempfile.mkstemp(prefix=".plugins-", suffix=".tmp", dir=folder)
        try:
            with os.fdopen(descriptor, "wb") as stream:
                stream.write(data)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as error:
        return f"not written: {error.strerror or error}"
    return "written"


def _folder(folder: Path) -> None:
    # The cache folder, made 0700; one of the user's with wider permissions
    # is narrowed. Raises OSError when it cannot be made or is not the user's.
    folder.mkdir(mode=0o700, parents=True, exist_ok=True)
    found = os.stat(folder)
    if hasattr(os, "geteuid") and found.st_uid != os.geteuid():
        raise OSError(0, f"the cache folder {folder} is not the user's own")
    if stat.S_IMODE(found.st_mode) != 0o700 and os.name == "posix":
        os.chmod(folder, 0o700)


def _encode(listed: list[Listed], folders: dict[str, int]) -> tuple[Any, ...]:
    # Each record as _ROW plain values, the records one after another in one
    # tuple: its entry point's name, value, group and the number of its
    # distribution's folder (None for none), its source's fields, and its
    # distribution's name. A record of another make is not kept.
    rows: list[Any] = []
    for item in listed:
        if type(item) is not Listed:
            raise _Uncacheable(f"a {type(item).__name__} cannot be kept")
        entry_point, source, distribution = _LISTED_FIELDS(item)
        if type(entry_point) is not metadata.EntryPoint or type(source) is not Source:
            raise _Uncacheable("an entry point or a source of another make cannot be kept")
        dist = entry_point.dist
        number = None
        if dist is not None:
            where = getattr(dist, "_path", None)
            number = folders.get(str(where)) if isinstance(where, Path) else None
            if number is None or type(dist) is not metadata.PathDistribution:
                raise _Uncacheable("an entry point's distribution was not stated")
        row = (
            entry_point.name,
            entry_point.value,
            entry_point.group,
            number,
            *_SOURCE_FIELDS(source),
            distribution,
        )
        if len(row) != _ROW or not all(map(_PLAIN.__contains__, map(type, row))):
            raise _Uncacheable("a record's field cannot be kept")
        rows += row
    return tuple(rows)


_PLAIN = (str, int, float, bool, type(None))
_LISTED_FIELDS = operator.attrgetter(*Listed.__match_args__)
_SOURCE_FIELDS = operator.attrgetter(*Source.__match_args__)
# The values of a record's row.
_ROW = 4 + len(Source.__match_args__) + 1


def _unreadable_row(item: UnreadableMetadata) -> tuple[Any, ...]:
    if type(item) is not UnreadableMetadata or not all(type(each) in _PLAIN for each in item):
        raise _Uncacheable(f"a {type(item).__name__} cannot be kept")
    return tuple(item)


def _decode(folders: tuple[str, ...], rows: tuple[Any, ...]) -> list[Listed]:
    # The records again, from the rows _encode made; entry points of one
    # distribution share its object, as in the scan.
    if len(rows) % _ROW:
        raise ValueError("not rows of records")
    entry_point_of, distribution_at = metadata.EntryPoint, metadata.PathDistribution
    dists: list[metadata.Distribution | None] = [None] * len(folders)
    # The folders holding them, each made a Path once (a path joined to one
    # is the path the scan made from its path entry and the folder's name).
    parents: dict[str, Path] = {}
    found = []
    each = iter(rows)
    for row in zip(*[each] * _ROW, strict=True):
        name, text, group, number, kind, module, called, value, named, version, distribution = row
        entry_point = entry_point_of(name, text, group)
        if number is not None:
            dist = dists[number]
            if dist is None:
                parent, _, folder_name = folders[number].rpartition(os.sep)
                base = parents.get(parent) or parents.setdefault(parent, Path(parent))
                dist = dists[number] = distribution_at(base / folder_name)
            entry_point = entry_point._for(dist)  # type: ignore[attr-defined]
        source = Source(kind, module, called, value, named, version)
        found.append(Listed(entry_point, source, distribution))
    return found
