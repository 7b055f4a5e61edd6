"""The records of loading: where a registration came from, what it replaced, what failed.

``load_plugins`` returns them in a ``LoadReport``; ``corvane-plugins`` and
``check`` print them.

Each record class is a ``Record``: it behaves as a dataclass declared with
the same fields would (``frozen=True`` unless it says ``frozen=False``):
keyword or positional construction with the same signature, equality and
hashing on the fields compared, a repr of the fields shown, assignment
refused with ``dataclasses.FrozenInstanceError``, pickling and copying, and
``__match_args__``. Its fields are its annotations, in order. Defining a
dataclass generates and compiles its methods for every class, every time
the package is imported; a ``Record`` writes its own ``__init__`` and shares
the rest.
"""

from __future__ import annotations

import _thread
import importlib.util
import inspect
import operator
import os
import traceback
from collections.abc import Callable
from importlib.metadata import EntryPoint
from typing import TYPE_CHECKING, Any, ClassVar

from corvane.keys import class_name, format_key_path, key_path_json

if TYPE_CHECKING:
    from corvane.installed import UnreadableMetadata
    from corvane.installed_cache import Use

# The package of the built-in plugins (what corvane.plugins.__name__ is; not
# imported here, so that reading the records imports no plugin package).
BUILTIN_PACKAGE = "corvane.plugins"

__all__ = [
    "OUTSIDE_LOADING",
    "Disabled",
    "Listed",
    "LoadReport",
    "NothingRegistered",
    "Override",
    "PluginFailure",
    "PluginInterrupted",
    "PluginLoadError",
    "Record",
    "Registration",
    "ReplacedNothing",
    "Source",
    "error_line",
]


class _Factory:
    # The default of a field whose default is made anew for each record (a
    # list), shown as a dataclass shows it.
    def __repr__(self) -> str:
        return "<factory>"


FACTORY: Any = _Factory()

# (id of a record, thread) of the reprs being made: a record inside itself
# is shown as "...".
_shown_now: set[tuple[int, int]] = set()


class Record:
    """The base of the package's records: a class with fields, as a dataclass.

    A subclass declares its fields as annotations (defaults as class
    attributes; ``FACTORY`` for one made anew by ``__init__``) and writes its
    ``__init__``; ``frozen=False`` makes it mutable and unhashable, ``hidden``
    names fields left out of the repr, equality and hash.
    """

    __slots__ = ()

    __match_args__: ClassVar[tuple[str, ...]] = ()
    _frozen_class: ClassVar[type | None] = None
    _compared: ClassVar[Callable[[Any], tuple[Any, ...]]]
    _shown: ClassVar[tuple[str, ...]] = ()

    def __init_subclass__(cls, frozen: bool = True, hidden: tuple[str, ...] = ()) -> None:
        super().__init_subclass__()
        fields = tuple(inspect.get_annotations(cls))
        cls.__match_args__ = fields  # type: ignore[misc]
        compared = [name for name in fields if name not in hidden]
        getter = operator.attrgetter(*compared)
        # attrgetter of one name gives the value, of more a tuple.
        cls._compared = getter if len(compared) > 1 else staticmethod(lambda r: (getter(r),))
        cls._shown = tuple(compared)
        cls._frozen_class = cls if frozen else None
        if not frozen:
            cls.__hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        marker = (id(self), _thread.get_ident())
        if marker in _shown_now:
            return "..."
        _shown_now.add(marker)
        try:
            shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._shown)
        finally:
            _shown_now.discard(marker)
        return f"{type(self).__qualname__}({shown})"

    def __eq__(self, other: object) -> bool:
        if other.__class__ is self.__class__:
            compared = type(self)._compared
            return compared(self) == compared(other)
        return NotImplemented

    def __hash__(self) -> int:
        return hash(type(self)._compared(self))

    def __setattr__(self, name: str, value: Any) -> None:
        if self._frozen_class is not None and (
            type(self) is self._frozen_class or name in self.__match_args__
        ):
            raise _frozen(f"cannot assign to field {name!r}")
        object.__setattr__(self, name, value)

    def __delattr__(self, name: str) -> None:
        if self._frozen_class is not None and (
            type(self) is self._frozen_class or name in self.__match_args__
        ):
            raise _frozen(f"cannot delete field {name!r}")
        object.__delattr__(self, name)


def _frozen(message: str) -> Exception:
    # The error a frozen dataclass raises; dataclasses is imported only here.
    from dataclasses import FrozenInstanceError

    return FrozenInstanceError(message)


def error_line(error: BaseException) -> str:
    """Return an exception as one line of text, ``TypeError: message``.

    A syntax error names its file and line in the same line (Python prints
    the offending line and a caret under it first); an exception whose
    message spans lines has them joined with ``; ``.
    """
    if isinstance(error, SyntaxError):
        line = f"line {error.lineno}" if error.lineno is not None else None
        where = ", ".join(part for part in (error.filename, line) if part)
        return f"{type(error).__qualname__}: {error.msg}" + (f" ({where})" if where else "")
    text = "".join(traceback.format_exception_only(error)).strip()
    return "; ".join(line.strip() for line in text.split("\n") if line.strip())


class Source(Record):
    """What was loading when a registration was made.

    ``kind`` is ``"builtin"`` (a built-in plugin module, named by ``module``),
    ``"entry_point"`` (an entry point of the group, with its ``name``,
    ``value``, ``distribution`` and ``version``; the last two are ``None``
    when the entry point has no distribution), ``"module"`` (a module loaded
    by ``corvane.testing.load_plugin``) or ``"outside_loading"``.
    """

    kind: str
    module: str | None = None
    name: str | None = None
    value: str | None = None
    distribution: str | None = None
    version: str | None = None

    def __init__(
        self,
        kind: str,
        module: str | None = None,
        name: str | None = None,
        value: str | None = None,
        distribution: str | None = None,
        version: str | None = None,
    ) -> None:
        self.__dict__.update(
            kind=kind,
            module=module,
            name=name,
            value=value,
            distribution=distribution,
            version=version,
        )

    @classmethod
    def of_builtin(cls, module: str) -> Source:
        """Return the source of a built-in plugin module."""
        # Filled at once, without the call of __init__: loading makes one per
        # module. The fields left out read as their defaults.
        source = object.__new__(cls)
        source.__dict__.update(kind="builtin", module=module)
        return source

    @classmethod
    def of_module(cls, module: str) -> Source:
        """Return the source of a module loaded by its dotted name."""
        return cls("module", module=module)

    @classmethod
    def of_entry_point(cls, entry_point: EntryPoint) -> Source:
        """Return the source of an entry point, with its distribution when it has one."""
        dist = entry_point.dist
        return cls(
            "entry_point",
            name=entry_point.name,
            value=entry_point.value,
            distribution=dist.name if dist is not None else None,
            version=dist.version if dist is not None else None,
        )

    def describe(self) -> str:
        """Return the source as text, e.g. ``plugin module corvane.plugins.linux``."""
        if self.kind == "builtin":
            return f"plugin module {self.module}"
        if self.kind == "module":
            return f"module {self.module}"
        if self.kind == "entry_point":
            if self.distribution is None:
                origin = "unknown distribution"
            else:
                origin = f"{self.distribution} {self.version}"
            return f"entry point {self.name} = {self.value} (from {origin})"
        return "outside loading"

    def disable_name(self) -> str | None:
        """Return the name ``--disable`` takes to keep this plugin out: a built-in
        module's name below ``corvane.plugins``, an entry point's distribution
        (its own name without one); ``None`` for other sources."""
        if self.kind == "builtin" and self.module is not None:
            return self.module.removeprefix(BUILTIN_PACKAGE + ".")
        if self.kind == "entry_point":
            return self.distribution or self.name
        return None

    def as_json(self) -> dict[str, str | None]:
        """Return the source as a JSON-ready object: ``kind`` and the fields of that kind."""
        fields: dict[str, str | None] = {"kind": self.kind}
        if self.kind in ("builtin", "module"):
            fields["module"] = self.module
        elif self.kind == "entry_point":
            fields.update(
                name=self.name,
                value=self.value,
                distribution=self.distribution,
                version=self.version,
            )
        return fields


OUTSIDE_LOADING = Source("outside_loading")


class Listed(Record):
    """An entry point of the group as loading listed it: with its ``source``,
    read once, and its distribution's name as installers compare it
    (``distribution``; empty without a distribution or a name)."""

    entry_point: EntryPoint
    source: Source
    distribution: str

    def __init__(self, entry_point: EntryPoint, source: Source, distribution: str) -> None:
        self.__dict__.update(entry_point=entry_point, source=source, distribution=distribution)

    @property
    def precedence(self) -> tuple[str, str, str]:
        """The loading order's key: distribution name, entry-point name, value."""
        return self.distribution, self.entry_point.name, self.entry_point.value


class Registration(Record):
    """One leaf record of a tree: a class filed under a key path and chassis type."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    cls: Any
    path: str
    source: Source = OUTSIDE_LOADING

    def __init__(
        self,
        key_path: tuple[Any, ...],
        chassis_type: Any,
        cls: Any,
        path: str,
        source: Source = OUTSIDE_LOADING,
    ) -> None:
        self.__dict__.update(
            key_path=key_path, chassis_type=chassis_type, cls=cls, path=path, source=source
        )

    def as_json(self) -> dict[str, Any]:
        """Return the registration as a JSON-ready object (``source`` is an object)."""
        return {
            "key_path": key_path_json(self.key_path),
            "chassis_type": str(self.chassis_type),
            "class": class_name(self.cls),
            "file": self.path,
            "source": self.source.as_json(),
        }


class Override(Record):
    """A registration that replaced the class already filed under its description."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    replaced: Any
    winner: Any
    message: str | None = None
    replaced_source: Source = OUTSIDE_LOADING
    winner_source: Source = OUTSIDE_LOADING
    # The class the winner's registration declared it replaces (``replaces=``).
    declared: Any = None

    def __init__(
        self,
        key_path: tuple[Any, ...],
        chassis_type: Any,
        replaced: Any,
        winner: Any,
        message: str | None = None,
        replaced_source: Source = OUTSIDE_LOADING,
        winner_source: Source = OUTSIDE_LOADING,
        declared: Any = None,
    ) -> None:
        self.__dict__.update(
            key_path=key_path,
            chassis_type=chassis_type,
            replaced=replaced,
            winner=winner,
            message=message,
            replaced_source=replaced_source,
            winner_source=winner_source,
            declared=declared,
        )

    @property
    def winner_module(self) -> str:
        """The module that registered the winning class."""
        return str(getattr(self.winner, "__module__", "?"))

    @property
    def intended(self) -> bool:
        """Whether the winner declared that it replaces exactly the class it replaced."""
        return self.declared is not None and self.declared is self.replaced

    @property
    def is_conflict(self) -> bool:
        """Whether ``check`` reports it: two plugins, and not the replacement declared."""
        return self.replaced_source != self.winner_source and not self.intended

    def describe(self) -> str:
        """Return one line naming the key path, chassis type, both classes and both
        sources, and the class the winner declared it replaces when it did."""
        text = (
            f"{format_key_path(self.key_path)} [{self.chassis_type}]: "
            f"{class_name(self.replaced)} from {self.replaced_source.describe()} replaced by "
            f"{class_name(self.winner)} from {self.winner_source.describe()}"
        )
        if self.intended:
            return f"{text}, as declared"
        if self.declared is not None:
            return f"{text}, which declares that it replaces {class_name(self.declared)}"
        return text


class PluginFailure(Record, hidden=("listed_source",)):
    """A plugin module or entry point that could not be loaded."""

    error: BaseException
    module: str | None = None
    entry_point: EntryPoint | None = None
    # The plugin's source as loading read it, when loading made the failure
    # (not shown, not compared).
    listed_source: Source | None = None

    def __init__(
        self,
        error: BaseException,
        module: str | None = None,
        entry_point: EntryPoint | None = None,
        listed_source: Source | None = None,
    ) -> None:
        self.__dict__.update(
            error=error, module=module, entry_point=entry_point, listed_source=listed_source
        )

    @property
    def source(self) -> Source | None:
        """The plugin that failed (``None`` when discovery could not tell which)."""
        if self.listed_source is not None:
            return self.listed_source
        if self.entry_point is not None:
            return Source.of_entry_point(self.entry_point)
        if self.module is not None:
            return Source.of_builtin(self.module)
        return None

    def describe(self) -> str:
        """Return one line naming the plugin and the error it raised."""
        error = error_line(self.error)
        if isinstance(self.error, SystemExit):
            error += " (it exited while loading)"
        source = self.source
        where = source.describe() if source is not None else "a built-in plugin module"
        return f"{where} failed to load: {error}"

    def traceback_lines(self) -> list[str]:
        """Return the error's full traceback as text lines, as Python prints it but
        without the frames of the import machinery."""
        shown = traceback.TracebackException.from_exception(self.error)
        pending, seen = [shown], set()
        while pending:
            each = pending.pop()
            if id(each) in seen:
                continue
            seen.add(id(each))
            frames = [f for f in each.stack if not f.filename.startswith("<frozen importlib")]
            each.stack = traceback.StackSummary.from_list(frames)
            pending += [e for e in (each.__cause__, each.__context__) if e is not None]
        return "".join(shown.format()).rstrip("\n").split("\n")

    def own_frame_lines(self) -> list[str]:
        """Return the frames of the error's traceback that run the plugin's own
        code (the files of its package, or its module), as Python prints them;
        every frame but the import machinery's when its files cannot be found.
        """
        roots = _roots(self._unit())
        frames = [
            frame
            for frame in traceback.extract_tb(self.error.__traceback__)
            if not frame.filename.startswith("<frozen importlib")
            and (not roots or any(_within(frame.filename, root) for root in roots))
        ]
        return (
            "".join(traceback.StackSummary.from_list(frames).format()).rstrip("\n").split("\n")
            if frames
            else []
        )

    def _unit(self) -> str | None:
        # What loading loads as one plugin: a built-in module right below
        # corvane.plugins, or the top-level package of an entry point's module.
        if self.entry_point is not None:
            return self.entry_point.module.partition(".")[0]
        if self.module is None:
            return None
        below = self.module.removeprefix(BUILTIN_PACKAGE + ".")
        if below == self.module:
            return self.module.partition(".")[0]
        return f"{BUILTIN_PACKAGE}.{below.partition('.')[0]}"


def _roots(unit: str | None) -> list[str]:
    # The folders of a package, or the file of a module; none when not found.
    if unit is None:
        return []
    try:
        spec = importlib.util.find_spec(unit)
    except Exception:
        return []
    if spec is None:
        return []
    if spec.submodule_search_locations:
        return [os.path.join(path, "") for path in spec.submodule_search_locations]
    return [spec.origin] if spec.origin else []


def _within(filename: str, root: str) -> bool:
    return filename == root or (root.endswith(os.sep) and filename.startswith(root))


class NothingRegistered(Record):
    """A plugin that loaded without registering anything."""

    source: Source
    # Why, when it can be told (an entry point that names a function).
    note: str | None = None

    def __init__(self, source: Source, note: str | None = None) -> None:
        self.__dict__.update(source=source, note=note)

    def describe(self) -> str:
        """Return one line naming the plugin, and the reason when known."""
        reason = f": {self.note}" if self.note else ""
        return f"{self.source.describe()} registered nothing{reason}"


class ReplacedNothing(Record):
    """A registration that declared the class it replaces (``replaces=``) where
    nothing was registered."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    winner: Any
    declared: Any
    source: Source = OUTSIDE_LOADING

    def __init__(
        self,
        key_path: tuple[Any, ...],
        chassis_type: Any,
        winner: Any,
        declared: Any,
        source: Source = OUTSIDE_LOADING,
    ) -> None:
        self.__dict__.update(
            key_path=key_path,
            chassis_type=chassis_type,
            winner=winner,
            declared=declared,
            source=source,
        )

    def describe(self) -> str:
        """Return one line naming the class, where it was registered, its source
        and the class it declared it replaces."""
        return (
            f"{class_name(self.winner)} from {self.source.describe()} declares that it "
            f"replaces {class_name(self.declared)} at {format_key_path(self.key_path)} "
            f"[{self.chassis_type}], but nothing was registered there"
        )


class Disabled(Record):
    """A name of a plugin to keep out, and the plugins it kept out.

    ``name`` is a distribution name, an entry-point name or a built-in plugin
    module's name (dotted, or below ``corvane.plugins``); ``matched`` holds the
    sources of the plugins it matched, none when it matched nothing.
    ``from_environment`` tells whether it came from ``CORVANE_PLUGINS_DISABLE``;
    ``unreadable`` names the distribution of that name, with its version,
    whose entry points cannot be read, when it matched nothing else.
    """

    name: str
    matched: tuple[Source, ...] = ()
    from_environment: bool = False
    unreadable: str | None = None

    def __init__(
        self,
        name: str,
        matched: tuple[Source, ...] = (),
        from_environment: bool = False,
        unreadable: str | None = None,
    ) -> None:
        self.__dict__.update(
            name=name, matched=matched, from_environment=from_environment, unreadable=unreadable
        )

    def describe(self) -> str:
        """Return one line naming the name, where it came from and what it matched."""
        origin = " (CORVANE_PLUGINS_DISABLE)" if self.from_environment else ""
        if not self.matched and self.unreadable:
            return (
                f"the disabled name {self.name}{origin} matched no plugin: the entry points "
                f"of {self.unreadable} cannot be read"
            )
        if not self.matched:
            return (
                f"the disabled name {self.name}{origin} matched no distribution, entry point "
                "or built-in plugin module"
            )
        return f"{self.name}{origin}: " + "; ".join(s.describe() for s in self.matched)

    def as_json(self) -> dict[str, Any]:
        """Return the name and what it matched as a JSON-ready object."""
        return {
            "name": self.name,
            "from_environment": self.from_environment,
            "matched": [source.as_json() for source in self.matched],
        }


class PluginLoadError(Exception):
    """A plugin failed to load; ``failure`` says which, ``__cause__`` holds its error."""

    # What loading did until the failure stopped it (its warnings), and the
    # name that keeps the plugin out and no other, when there is one: set by
    # load_plugins.
    report: LoadReport | None = None
    keep_out: str | None = None

    def __init__(self, failure: PluginFailure) -> None:
        super().__init__(failure.describe())
        self.failure = failure


class PluginInterrupted(KeyboardInterrupt):
    """An interrupt raised while a plugin loaded (Ctrl-C, or the plugin's own
    ``raise KeyboardInterrupt``): ``source`` names the plugin, ``__cause__``
    holds the interrupt. A ``KeyboardInterrupt``, so that it goes on as one."""

    # As for PluginLoadError.
    report: LoadReport | None = None
    keep_out: str | None = None

    def __init__(self, source: Source) -> None:
        super().__init__(f"interrupted while loading {source.describe()}")
        self.source = source


class LoadReport(Record, frozen=False):
    """What one call of ``load_plugins`` did."""

    loaded: bool = False
    overrides: list[Override]
    failures: list[PluginFailure]
    # Every registration made while loading, in order, with its source.
    registrations: list[Registration]
    # Built-in plugin packages and entry points that loaded and registered nothing.
    registered_nothing: list[NothingRegistered]
    # Registrations that declared with replaces= a class where nothing was registered.
    replaced_nothing: list[ReplacedNothing]
    # The names of plugins kept out, each with what it matched.
    disabled: list[Disabled]
    # Each plugin loaded (its import, or its entry point's load), with the
    # seconds it took, in loading order; failed plugins included. Pairs, not
    # a dict: hashing a Source per plugin would cost more than the timing.
    seconds: list[tuple[Source, float]]
    # The entry points of the group listed, in loading order, those kept out
    # included; empty when neither external plugins nor disabled names asked
    # for the listing.
    entry_points: list[Listed]
    # The metadata files found there that cannot be read (when listed).
    unreadable: list[UnreadableMetadata]
    # How the listing was answered (from the cache of installed plugins or
    # not); None when there was none.
    cache: Use | None = None

    def __init__(
        self,
        loaded: bool = False,
        overrides: list[Override] = FACTORY,
        failures: list[PluginFailure] = FACTORY,
        registrations: list[Registration] = FACTORY,
        registered_nothing: list[NothingRegistered] = FACTORY,
        replaced_nothing: list[ReplacedNothing] = FACTORY,
        disabled: list[Disabled] = FACTORY,
        seconds: list[tuple[Source, float]] = FACTORY,
        entry_points: list[Listed] = FACTORY,
        unreadable: list[UnreadableMetadata] = FACTORY,
        cache: Use | None = None,
    ) -> None:
        # A list for each field not given, as a dataclass's default_factory=list.
        self.loaded = loaded
        self.overrides = [] if overrides is FACTORY else overrides
        self.failures = [] if failures is FACTORY else failures
        self.registrations = [] if registrations is FACTORY else registrations
        self.registered_nothing = [] if registered_nothing is FACTORY else registered_nothing
        self.replaced_nothing = [] if replaced_nothing is FACTORY else replaced_nothing
        self.disabled = [] if disabled is FACTORY else disabled
        self.seconds = [] if seconds is FACTORY else seconds
        self.entry_points = [] if entry_points is FACTORY else entry_points
        self.unreadable = [] if unreadable is FACTORY else unreadable
        self.cache = cache
