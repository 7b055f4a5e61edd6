"""The package's shared plugin manager and the loading of its plugins.

Plugin modules register their connection classes with ``plugin_manager``;
``load_plugins`` imports the built-in plugins and loads the external ones once
per process, noting on the way where each registration came from (its
``Source``), which registrations replaced an earlier class, which plugins
failed to load and which registered nothing.

``corvane.core.pluginmanager`` imports ``corvane.plugins`` while it
initialises, so ``corvane.plugins`` itself must never import this module; the
plugin subpackages may, since only discovery imports them.
"""

from __future__ import annotations

import inspect
import logging
import os
import pkgutil
import sys
import traceback
import types
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib.metadata import EntryPoint, entry_points
from typing import Any

import corvane.plugins
from corvane import log
from corvane.core.pluginmanager import ENTRYPOINT_GROUP, PluginManager

__all__ = [
    "OUTSIDE_LOADING",
    "LoadReport",
    "NothingRegistered",
    "Override",
    "PluginFailure",
    "PluginLoadError",
    "Registration",
    "RegistryManager",
    "Source",
    "key_path_of",
    "load_plugins",
    "plugin_manager",
]

_EXTERNAL_LOADING = "Loading external plugin "


def key_path_of(
    os: Any = None, platform: Any = None, model: Any = None, os_flavor: Any = None
) -> list[Any]:
    """Build the key path the plugin manager files a device description under.

    Returns:
        The list of tree keys: os, then platform and model as present, then
        the OS flavour; presence is tested against ``None``, not truth.
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


def class_name(cls: Any) -> str:
    """Return ``module.qualname`` of a connection class (its repr for other objects)."""
    module = getattr(cls, "__module__", None)
    qualname = getattr(cls, "__qualname__", None)
    if isinstance(module, str) and isinstance(qualname, str):
        return f"{module}.{qualname}"
    return repr(cls)


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
        return cls("builtin", module=module)

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
            "key_path": "/".join(str(key) for key in self.key_path),
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

    @property
    def winner_module(self) -> str:
        """The module that registered the winning class."""
        return str(getattr(self.winner, "__module__", "?"))

    def describe(self) -> str:
        """Return one line naming the key path, chassis type, both classes and both sources."""
        path = "/".join(str(key) for key in self.key_path)
        return (
            f"{path} [{self.chassis_type}]: {class_name(self.replaced)} from "
            f"{self.replaced_source.describe()} replaced by {class_name(self.winner)} from "
            f"{self.winner_source.describe()}"
        )


@dataclass(frozen=True)
class PluginFailure:
    """A plugin module or entry point that could not be loaded."""

    error: BaseException
    module: str | None = None
    entry_point: EntryPoint | None = None

    @property
    def source(self) -> Source | None:
        """The plugin that failed (``None`` when discovery could not tell which)."""
        if self.entry_point is not None:
            return Source.of_entry_point(self.entry_point)
        if self.module is not None:
            return Source.of_builtin(self.module)
        return None

    def describe(self) -> str:
        """Return one line naming the plugin and the error it raised."""
        error = "".join(traceback.format_exception_only(self.error)).strip()
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


class PluginLoadError(Exception):
    """A plugin failed to load; ``failure`` says which, ``__cause__`` holds its error."""

    def __init__(self, failure: PluginFailure) -> None:
        super().__init__(failure.describe())
        self.failure = failure


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


class _RecordList(logging.Filter):
    """Sees every record of the package logger; passes on only those at or
    above the level the logger had, so debug lines turned on for the capture
    do not reach the application's handlers."""

    def __init__(self, threshold: int) -> None:
        super().__init__()
        self.threshold = threshold
        self.records: list[logging.LogRecord] = []

    def filter(self, record: logging.LogRecord) -> bool:
        self.records.append(record)
        return record.levelno >= self.threshold


@dataclass
class _Observation:
    """What one ``observe()`` block collects."""

    capture: _RecordList
    # Tells the source of a registration made now; None: outside loading.
    source: Callable[[], Source] | None
    overrides: list[Override] = field(default_factory=list)
    registrations: list[Registration] = field(default_factory=list)


class RegistryManager(PluginManager):
    """The shared manager: a ``PluginManager`` that notes overriding registrations.

    The notes, and the source of each registration, are taken only inside
    ``observe()``; outside it the manager behaves exactly like its base class,
    and what it registers there shows as made outside loading.
    """

    def __init__(self) -> None:
        super().__init__()
        self._observers: list[_Observation] = []
        # id of a leaf record -> (that leaf record, its source). Holding the
        # record keeps its id from being reused; a record no longer in the
        # tree is simply never asked about.
        self._provenance: dict[int, tuple[Any, Source]] = {}

    def register_plugin(
        self,
        cls: Any,
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = "single_rp",
    ) -> None:
        """Register ``cls`` like the base class, noting its source and an override
        while observed.

        Raises:
            ConnectionInfraError: for an invalid device description.
        """
        if not self._observers:
            return super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
        replaced_leaf = self._leaf_record(os, platform, model, os_flavor, chassis_type)
        observation = self._observers[-1]
        seen = len(observation.capture.records)
        super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
        source = observation.source() if observation.source is not None else OUTSIDE_LOADING
        key_path = tuple(key_path_of(os, platform, model, os_flavor))
        leaf = self._leaf_record(os, platform, model, os_flavor, chassis_type)
        if leaf is not None:
            self._provenance[id(leaf)] = (leaf, source)
            registration = Registration(key_path, chassis_type, cls, str(leaf["path"]), source)
            for each in self._observers:
                each.registrations.append(registration)
        if replaced_leaf is None:
            return
        replaced_source = self.source_of(replaced_leaf)
        self._provenance.pop(id(replaced_leaf), None)
        # The override line is the last one the base class logs for a registration.
        new_records = observation.capture.records[seen:]
        message = new_records[-1].getMessage() if new_records else None
        note = Override(
            key_path=key_path,
            chassis_type=chassis_type,
            replaced=replaced_leaf["cls"],
            winner=cls,
            message=message,
            replaced_source=replaced_source,
            winner_source=source,
        )
        for each in self._observers:
            each.overrides.append(note)

    def source_of(self, leaf_record: Mapping[str, Any]) -> Source:
        """Return the source noted for a leaf record of this manager's tree.

        Returns:
            The ``Source`` that was loading when the record was registered, or
            ``OUTSIDE_LOADING`` for a record registered outside ``observe()``.
        """
        noted = self._provenance.get(id(leaf_record))
        if noted is not None and noted[0] is leaf_record:
            return noted[1]
        return OUTSIDE_LOADING

    def _leaf_record(
        self, os: Any, platform: Any, model: Any, os_flavor: Any, chassis_type: Any
    ) -> Any:
        # Follows the nodes a registration walks, creating nothing.
        try:
            node = self._plugins
            for key in key_path_of(os, platform, model, os_flavor):
                if key not in node.keys():
                    return None
                node = node[key]
            chassis_map = node["data"] if "data" in node.keys() else {}
            if chassis_type in chassis_map.keys():
                return chassis_map[chassis_type]
        except Exception:
            # Bad descriptions are the base class's to reject, with its message.
            return None
        return None

    @contextmanager
    def observe(self, source: Callable[[], Source] | None = None) -> Iterator[list[Override]]:
        """Collect the overrides made inside the block, with the debug lines logged.

        ``source``, when given, is called at each registration in the block and
        tells what is loading; without it the registrations count as made
        outside loading.

        Returns:
            A context manager yielding the list that receives the overrides.
        """
        with self._observing(source) as observation:
            yield observation.overrides

    @contextmanager
    def _observing(self, source: Callable[[], Source] | None) -> Iterator[_Observation]:
        logger = logging.getLogger(log.name)
        level = logger.level
        observation = _Observation(_RecordList(logger.getEffectiveLevel()), source)
        logger.setLevel(logging.DEBUG)
        logger.addFilter(observation.capture)
        self._observers.append(observation)
        try:
            yield observation
        finally:
            self._observers.pop()
            logger.removeFilter(observation.capture)
            logger.setLevel(level)


plugin_manager = RegistryManager()

_loaded = False


def load_plugins(external: bool = True, *, keep_going: bool = False) -> LoadReport:
    """Import the built-in plugins and, unless ``external`` is false, the external ones.

    Runs ``discover_builtin_plugins()`` and ``discover_external_plugins()`` of
    the plugin manager once per process: after a successful call, later calls
    do nothing. With ``keep_going`` a plugin that fails to load is reported in
    the result and the others are still loaded.

    Each registration made meanwhile is noted with its source: the built-in
    plugin module being imported, or the entry point being loaded. A built-in
    plugin package or an entry point that loads and registers nothing (an
    entry point naming a function, which is loaded but never called, is the
    usual case) is logged as a warning, unless its module had been imported
    before.

    Returns:
        A ``LoadReport`` with the registrations, overrides and failures of this
        call and the plugins that registered nothing (``loaded`` false when
        the plugins had already been loaded).

    Raises:
        PluginLoadError: when a plugin fails to load and ``keep_going`` is false.
    """
    global _loaded
    report = LoadReport()
    if _loaded:
        return report
    builtin_units = _builtin_units()
    listed = list(entry_points(group=ENTRYPOINT_GROUP)) if external else []
    imported_before = {
        m for m in [*builtin_units, *(ep.module for ep in listed)] if m in sys.modules
    }
    tracker = _LoadingTracker()
    with plugin_manager._observing(tracker) as observation:
        tracker.phase = "builtin"
        _load_builtin(report, keep_going)
        if external:
            tracker.start_external(listed, observation.capture)
            _load_external(report, keep_going, listed)
    report.overrides = observation.overrides
    report.registrations = observation.registrations
    report.registered_nothing = _registered_nothing(report, builtin_units, listed, imported_before)
    for item in report.registered_nothing:
        log.warning(item.describe())
    report.loaded = True
    _loaded = True
    return report


def _builtin_units() -> list[str]:
    # The modules and packages right below corvane.plugins, skipping tests as
    # discovery does: what each registers counts for the unit.
    prefix = corvane.plugins.__name__ + "."
    return [
        prefix + info.name
        for info in pkgutil.iter_modules(corvane.plugins.__path__)
        if not info.name.endswith("tests")
    ]


class _LoadingTracker:
    """Tells, at a registration, which plugin ``load_plugins`` is loading."""

    def __init__(self) -> None:
        self.phase = ""
        self._listed: list[EntryPoint] = []
        self._capture: _RecordList | None = None
        # Records read so far, and the entry point loads they announced.
        self._scanned = 0
        self._started = 0

    def start_external(self, listed: list[EntryPoint], capture: _RecordList) -> None:
        self.phase = "external"
        self._listed = listed
        self._capture = capture
        self._scanned = len(capture.records)

    def __call__(self) -> Source:
        if self.phase == "builtin":
            return _builtin_source()
        if self._capture is not None:
            self._started += _loads_started(self._capture, self._scanned)
            self._scanned = len(self._capture.records)
            index = self._started - 1
            if 0 <= index < len(self._listed):
                return Source.of_entry_point(self._listed[index])
        return OUTSIDE_LOADING


def _builtin_source() -> Source:
    # The outermost plugin module being imported below _load_builtin: the one
    # discovery imported, whichever module it imported in turn registers.
    prefix = corvane.plugins.__name__ + "."
    found: str | None = None
    frame: types.FrameType | None = sys._getframe(1)
    while frame is not None and frame.f_code is not _load_builtin.__code__:
        name = frame.f_globals.get("__name__")
        if frame.f_code.co_name == "<module>" and isinstance(name, str):
            if name.startswith(prefix):
                found = name
        frame = frame.f_back
    return Source.of_builtin(found) if found is not None else OUTSIDE_LOADING


def _loads_started(capture: _RecordList, start: int) -> int:
    # Discovery logs one line before each entry point it loads.
    return sum(
        1 for record in capture.records[start:] if record.getMessage().startswith(_EXTERNAL_LOADING)
    )


def _registered_nothing(
    report: LoadReport,
    builtin_units: list[str],
    listed: list[EntryPoint],
    imported_before: set[str],
) -> list[NothingRegistered]:
    sources = {registration.source for registration in report.registrations}
    modules = {source.module for source in sources if source.kind == "builtin"}
    failed_modules = {f.module for f in report.failures if f.module is not None}
    failed_entry_points = [f.entry_point for f in report.failures if f.entry_point is not None]
    nothing: list[NothingRegistered] = []
    for unit in builtin_units:
        if unit in imported_before or any(_within(m, unit) for m in failed_modules):
            continue
        if not any(module is not None and _within(module, unit) for module in modules):
            nothing.append(NothingRegistered(Source.of_builtin(unit)))
    for entry_point in listed:
        source = Source.of_entry_point(entry_point)
        if (
            source in sources
            or entry_point.module in imported_before
            or entry_point in failed_entry_points
        ):
            continue
        nothing.append(NothingRegistered(source, _why_nothing(entry_point)))
    return nothing


def _within(module: str, package: str) -> bool:
    return module == package or module.startswith(package + ".")


def _why_nothing(entry_point: EntryPoint) -> str | None:
    try:
        target = entry_point.load()
    except Exception:
        return None
    if inspect.isroutine(target):
        return (
            f"{entry_point.attr} is a function, which is loaded but never called; "
            f"name the module that registers the classes instead"
        )
    return None


def _load_builtin(report: LoadReport, keep_going: bool) -> None:
    # A module that failed stands in sys.modules as an empty placeholder while
    # discovery is run again, so the walk passes over it and goes on.
    placeholders: list[str] = []
    try:
        while True:
            try:
                PluginManager.discover_builtin_plugins()
                return
            except Exception as error:
                module = _failed_plugin_module(error)
                failure = PluginFailure(error, module=module)
                if not keep_going:
                    raise PluginLoadError(failure) from error
                report.failures.append(failure)
                if module is None or module in sys.modules:
                    return
                sys.modules[module] = types.ModuleType(module)
                placeholders.append(module)
    finally:
        for module in placeholders:
            sys.modules.pop(module, None)


def _failed_plugin_module(error: BaseException) -> str | None:
    prefix = corvane.plugins.__name__ + "."
    # The outermost plugin module in the traceback is the one discovery imported.
    for frame, _ in traceback.walk_tb(error.__traceback__):
        name = frame.f_globals.get("__name__")
        if frame.f_code.co_name == "<module>" and isinstance(name, str):
            if name.startswith(prefix):
                return name
    filename = getattr(error, "filename", None)
    if isinstance(error, SyntaxError) and filename:
        return _module_of_file(filename, prefix)
    return None


def _module_of_file(filename: str, prefix: str) -> str | None:
    for root in corvane.plugins.__path__:
        relative = os.path.relpath(os.path.abspath(filename), os.path.abspath(root))
        if relative.startswith(os.pardir) or not relative.endswith(".py"):
            continue
        parts = relative[: -len(".py")].split(os.sep)
        if parts[-1] == "__init__":
            parts.pop()
        return prefix + ".".join(parts)
    return None


def _load_external(report: LoadReport, keep_going: bool, listed: list[EntryPoint]) -> None:
    capture = plugin_manager._observers[-1].capture
    seen = len(capture.records)
    try:
        PluginManager.discover_external_plugins()
        return
    except Exception as error:
        # The last line discovery logged names the entry point that failed.
        index = _loads_started(capture, seen) - 1
        entry_point = listed[index] if 0 <= index < len(listed) else None
        failure = PluginFailure(error, entry_point=entry_point)
        if not keep_going:
            raise PluginLoadError(failure) from error
        report.failures.append(failure)
        if entry_point is None:
            return
    for entry_point in listed[index + 1 :]:
        log.debug(f"{_EXTERNAL_LOADING}{entry_point.name} from {entry_point.module}")
        try:
            entry_point.load()
        except Exception as error:
            report.failures.append(PluginFailure(error, entry_point=entry_point))
