"""The package's shared plugin manager and the loading of its plugins.

Plugin modules register their connection classes with ``plugin_manager``;
``load_plugins`` imports the built-in plugins and loads the external ones once
per process, noting on the way which registrations replaced an earlier class
and which plugins failed to load.

``corvane.core.pluginmanager`` imports ``corvane.plugins`` while it
initialises, so ``corvane.plugins`` itself must never import this module; the
plugin subpackages may, since only discovery imports them.
"""

from __future__ import annotations

import logging
import os
import sys
import traceback
import types
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib.metadata import EntryPoint, entry_points
from typing import Any

import corvane.plugins
from corvane import log
from corvane.core.pluginmanager import ENTRYPOINT_GROUP, PluginManager

__all__ = [
    "LoadReport",
    "Override",
    "PluginFailure",
    "PluginLoadError",
    "RegistryManager",
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
class Override:
    """A registration that replaced the class already filed under its description."""

    key_path: tuple[Any, ...]
    chassis_type: Any
    replaced: Any
    winner: Any
    message: str | None = None

    @property
    def winner_module(self) -> str:
        """The module that registered the winning class."""
        return str(getattr(self.winner, "__module__", "?"))

    def describe(self) -> str:
        """Return one line naming the key path, chassis type, loser and winner."""
        path = "/".join(str(key) for key in self.key_path)
        return (
            f"{path} [{self.chassis_type}]: {class_name(self.replaced)} replaced by "
            f"{getattr(self.winner, '__qualname__', self.winner)} from {self.winner_module}"
        )


@dataclass(frozen=True)
class PluginFailure:
    """A plugin module or entry point that could not be loaded."""

    error: BaseException
    module: str | None = None
    entry_point: EntryPoint | None = None

    def describe(self) -> str:
        """Return one line naming the plugin and the error it raised."""
        error = "".join(traceback.format_exception_only(self.error)).strip()
        if self.entry_point is not None:
            ep = self.entry_point
            dist = ep.dist.name if ep.dist is not None else "unknown distribution"
            version = f" {ep.dist.version}" if ep.dist is not None else ""
            where = f"entry point {ep.name} = {ep.value} (from {dist}{version})"
        elif self.module is not None:
            where = f"plugin module {self.module}"
        else:
            where = "a built-in plugin module"
        return f"{where} failed to load: {error}"


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


class RegistryManager(PluginManager):
    """The shared manager: a ``PluginManager`` that notes overriding registrations.

    The notes are taken only inside ``observe()``; outside it the manager
    behaves exactly like its base class.
    """

    def __init__(self) -> None:
        super().__init__()
        self._observers: list[tuple[list[Override], _RecordList]] = []

    def register_plugin(
        self,
        cls: Any,
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = "single_rp",
    ) -> None:
        """Register ``cls`` like the base class, noting an override while observed.

        Raises:
            ConnectionInfraError: for an invalid device description.
        """
        if not self._observers:
            return super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
        replaced = self._registered_class(os, platform, model, os_flavor, chassis_type)
        handler = self._observers[-1][1]
        seen = len(handler.records)
        super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
        if replaced is _NOTHING:
            return
        # The override line is the last one the base class logs for a registration.
        new_records = handler.records[seen:]
        message = new_records[-1].getMessage() if new_records else None
        note = Override(
            key_path=tuple(key_path_of(os, platform, model, os_flavor)),
            chassis_type=chassis_type,
            replaced=replaced,
            winner=cls,
            message=message,
        )
        for overrides, _ in self._observers:
            overrides.append(note)

    def _registered_class(
        self, os: Any, platform: Any, model: Any, os_flavor: Any, chassis_type: Any
    ) -> Any:
        # Follows the nodes a registration walks, creating nothing.
        try:
            node = self._plugins
            for key in key_path_of(os, platform, model, os_flavor):
                if key not in node.keys():
                    return _NOTHING
                node = node[key]
            chassis_map = node["data"] if "data" in node.keys() else {}
            if chassis_type in chassis_map.keys():
                return chassis_map[chassis_type]["cls"]
        except Exception:
            # Bad descriptions are the base class's to reject, with its message.
            return _NOTHING
        return _NOTHING

    @contextmanager
    def observe(self) -> Iterator[list[Override]]:
        """Collect the overrides made inside the block, with the debug lines logged.

        Returns:
            A context manager yielding the list that receives the overrides.
        """
        overrides: list[Override] = []
        logger = logging.getLogger(log.name)
        level = logger.level
        capture = _RecordList(logger.getEffectiveLevel())
        logger.setLevel(logging.DEBUG)
        logger.addFilter(capture)
        self._observers.append((overrides, capture))
        try:
            yield overrides
        finally:
            self._observers.pop()
            logger.removeFilter(capture)
            logger.setLevel(level)


_NOTHING: Any = object()

plugin_manager = RegistryManager()

_loaded = False


def load_plugins(external: bool = True, *, keep_going: bool = False) -> LoadReport:
    """Import the built-in plugins and, unless ``external`` is false, the external ones.

    Runs ``discover_builtin_plugins()`` and ``discover_external_plugins()`` of
    the plugin manager once per process: after a successful call, later calls
    do nothing. With ``keep_going`` a plugin that fails to load is reported in
    the result and the others are still loaded.

    Returns:
        A ``LoadReport`` with the overrides and failures of this call
        (``loaded`` false when the plugins had already been loaded).

    Raises:
        PluginLoadError: when a plugin fails to load and ``keep_going`` is false.
    """
    global _loaded
    report = LoadReport()
    if _loaded:
        return report
    with plugin_manager.observe() as overrides:
        _load_builtin(report, keep_going)
        if external:
            _load_external(report, keep_going)
    report.overrides = overrides
    report.loaded = True
    _loaded = True
    return report


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


def _load_external(report: LoadReport, keep_going: bool) -> None:
    listed = list(entry_points(group=ENTRYPOINT_GROUP))
    handler = plugin_manager._observers[-1][1]
    seen = len(handler.records)
    try:
        PluginManager.discover_external_plugins()
        return
    except Exception as error:
        # Discovery logs one line before each load: the last one names the failure.
        started = sum(
            1
            for record in handler.records[seen:]
            if record.getMessage().startswith(_EXTERNAL_LOADING)
        )
        index = started - 1
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
