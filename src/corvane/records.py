"""The records of loading: where a registration came from, what it replaced, what failed.

``load_plugins`` returns them in a ``LoadReport``; ``corvane-plugins`` and
``check`` print them.
"""

from __future__ import annotations

import importlib.util
import os
import traceback
from dataclasses import dataclass, field
from importlib.metadata import EntryPoint
from typing import TYPE_CHECKING, Any

from corvane.keys import class_name, format_key_path, key_path_json

if TYPE_CHECKING:
    from corvane.installed import UnreadableMetadata

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
    "Registration",
    "ReplacedNothing",
    "Source",
    "error_line",
]


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


@dataclass(frozen=True)
class Source:
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

    @classmethod
    def of_builtin(cls, module: str) -> Source:
        """Return the source of a built-in plugin module."""
        # Filled at once, not through __init__, which sets each field of a
        # frozen dataclass with object.__setattr__: loading makes one per
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


@dataclass(frozen=True)
class Listed:
    """An entry point of the group as loading listed it: with its ``source``,
    read once, and its distribution's name as installers compare it
    (``distribution``; empty without a distribution or a name)."""

    entry_point: EntryPoint
    source: Source
    distribution: str

    @property
    def precedence(self) -> tuple[str, str, str]:
        """The loading order's key: distribution name, entry-point name, value."""
        return self.distribution, self.entry_point.name, self.entry_point.value


@dataclass(frozen=True)
class Registration:
    """One leaf record of a tree: a class filed under a key path and chassis type."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    cls: Any
    path: str
    source: Source = OUTSIDE_LOADING

    def as_json(self) -> dict[str, Any]:
        """Return the registration as a JSON-ready object (``source`` is an object)."""
        return {
            "key_path": key_path_json(self.key_path),
            "chassis_type": str(self.chassis_type),
            "class": class_name(self.cls),
            "file": self.path,
            "source": self.source.as_json(),
        }


@dataclass(frozen=True)
class Override:
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


@dataclass(frozen=True)
class PluginFailure:
    """A plugin module or entry point that could not be loaded."""

    error: BaseException
    module: str | None = None
    entry_point: EntryPoint | None = None
    # The plugin's source as loading read it, when loading made the failure.
    listed_source: Source | None = field(default=None, repr=False, compare=False)

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


@dataclass(frozen=True)
class NothingRegistered:
    """A plugin that loaded without registering anything."""

    source: Source
    # Why, when it can be told (an entry point that names a function).
    note: str | None = None

    def describe(self) -> str:
        """Return one line naming the plugin, and the reason when known."""
        reason = f": {self.note}" if self.note else ""
        return f"{self.source.describe()} registered nothing{reason}"


@dataclass(frozen=True)
class ReplacedNothing:
    """A registration that declared the class it replaces (``replaces=``) where
    nothing was registered."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    winner: Any
    declared: Any
    source: Source = OUTSIDE_LOADING

    def describe(self) -> str:
        """Return one line naming the class, where it was registered, its source
        and the class it declared it replaces."""
        return (
            f"{class_name(self.winner)} from {self.source.describe()} declares that it "
            f"replaces {class_name(self.declared)} at {format_key_path(self.key_path)} "
            f"[{self.chassis_type}], but nothing was registered there"
        )


@dataclass(frozen=True)
class Disabled:
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


@dataclass
class LoadReport:
    """What one call of ``load_plugins`` did."""

    loaded: bool = False
    overrides: list[Override] = field(default_factory=list)
    failures: list[PluginFailure] = field(default_factory=list)
    # Every registration made while loading, in order, with its source.
    registrations: list[Registration] = field(default_factory=list)
    # Built-in plugin packages and entry points that loaded and registered nothing.
    registered_nothing: list[NothingRegistered] = field(default_factory=list)
    # Registrations that declared with replaces= a class where nothing was registered.
    replaced_nothing: list[ReplacedNothing] = field(default_factory=list)
    # The names of plugins kept out, each with what it matched.
    disabled: list[Disabled] = field(default_factory=list)
    # Each plugin loaded (its import, or its entry point's load), with the
    # seconds it took, in loading order; failed plugins included. Pairs, not
    # a dict: hashing a Source per plugin would cost more than the timing.
    seconds: list[tuple[Source, float]] = field(default_factory=list)
    # The entry points of the group listed, in loading order, those kept out
    # included; empty when neither external plugins nor disabled names asked
    # for the listing.
    entry_points: list[Listed] = field(default_factory=list)
    # The metadata files found there that cannot be read (when listed).
    unreadable: list[UnreadableMetadata] = field(default_factory=list)
