"""Loading the plugins into the shared manager: built-in modules, then entry points.

``load_plugins`` imports each built-in plugin module and loads each entry
point itself, through ``plugin_manager.record_loading(source, ...)`` (a
``loading(source)`` block in one call), so every registration is attributed
to the plugin being loaded and a plugin that fails leaves nothing behind.
What plugins print while they load goes to stderr, and a plugin that raises
``SystemExit`` fails like any other; ``KeyboardInterrupt`` goes on.

Precedence: every built-in module first, in the order of the walk of
``corvane.plugins``; then the entry points of the group, sorted by
distribution name (normalised as installers do), then entry-point name. The
last registration of a description wins.
"""

from __future__ import annotations

import contextlib
import importlib
import importlib.machinery
import inspect
import itertools
import operator
import os
import pkgutil
import sys
from collections.abc import Iterable, Sequence
from importlib.metadata import EntryPoint
from time import perf_counter

import corvane.plugins
from corvane import log
from corvane.installed import UnreadableMetadata, normalised_name, read_installed, scan
from corvane.manager import plugin_manager
from corvane.records import (
    Disabled,
    Listed,
    LoadReport,
    NothingRegistered,
    PluginFailure,
    PluginInterrupted,
    PluginLoadError,
    Source,
)

__all__ = [
    "DISABLE_VARIABLE",
    "entry_points_in_order",
    "is_loaded",
    "keep_out_name",
    "load_plugins",
    "load_warnings",
    "set_loaded",
]

# The environment variable naming plugins to keep out, comma-separated.
DISABLE_VARIABLE = "CORVANE_PLUGINS_DISABLE"

_loaded = False


def is_loaded() -> bool:
    """Return whether ``load_plugins`` has loaded the plugins of this process."""
    return _loaded


def set_loaded(loaded: bool) -> None:
    """Set whether ``load_plugins`` counts the plugins as loaded (its next call does
    nothing when true); ``corvane.registry.restore`` and ``reset`` use it."""
    global _loaded
    _loaded = loaded


def load_plugins(
    external: bool = True, *, keep_going: bool = False, disable: Iterable[str] = ()
) -> LoadReport:
    """Import the built-in plugins and, unless ``external`` is false, the external ones.

    Loads once per process: after a successful call, later calls do nothing.
    Built-in plugin modules load first, in the order of the walk of
    ``corvane.plugins`` (test modules skipped, as ``discover_builtin_plugins``
    skips them); then the entry points of the group ``corvane.plugins``, in
    the order of ``entry_points_in_order()``. The last registration of a
    description wins.

    Each registration is noted with the plugin being loaded; the
    registrations of a built-in plugin module imported before this call are
    noted with that module too. A plugin that fails (``SystemExit``
    included) has its registrations taken back, and any class it replaced
    comes back; with ``keep_going`` it is reported in the result and the
    others are still loaded. A ``KeyboardInterrupt`` goes on at once, as a
    ``PluginInterrupted`` (a ``KeyboardInterrupt``) naming the plugin. What
    plugins write to ``sys.stdout`` while they load (``print``) goes to
    ``sys.stderr``; ``corvane-plugins`` also sends what they write to the
    file descriptor of stdout to that of stderr. A built-in plugin package
    or an entry point that loads and registers nothing (an entry point naming
    a function, which is loaded but never called, is the usual case) is
    logged as a warning, unless its module had been imported before.

    ``disable`` names plugins to keep out, as does the environment variable
    ``CORVANE_PLUGINS_DISABLE`` (in both, names separated by commas): a distribution
    name (compared as installers normalise it), an entry-point name, or a
    built-in plugin module's name (``corvane.plugins.linux``, or ``linux``
    below ``corvane.plugins``, which keeps out the modules below it too). A
    plugin kept out is not imported; a name that matched nothing, or more
    than one plugin, is logged as a warning.

    When the entry points are listed (``external``, or names to keep out),
    metadata files that are there and cannot be read are logged as warnings
    too: a distribution whose entry points cannot be read loads nothing, one
    whose METADATA cannot be read is named after its folder.

    Returns:
        A ``LoadReport`` with the registrations, overrides and failures of this
        call, the plugins that registered nothing, the names disabled, the
        metadata that cannot be read and the time each plugin took (``loaded``
        false when the plugins had already been loaded).

    Raises:
        PluginLoadError: when a plugin fails to load and ``keep_going`` is false.
            Its ``report`` holds what loading found until then (the names
            disabled, the metadata that cannot be read) and its ``keep_out``
            the name that keeps out that plugin and no other, when one does;
            so does a ``PluginInterrupted``'s.
    """
    global _loaded
    report = LoadReport()
    if _loaded:
        return report
    off = _Disabling(disable)
    # Listed for the names to match even when the entry points are not loaded.
    listing = bool(external or off.names)
    if listing:
        from corvane.installed_cache import last_use

        report.entry_points, report.unreadable = read_installed()
        off.unreadable, report.cache = report.unreadable, last_use()
    listed = [plugin for plugin in report.entry_points if not off.entry_point(plugin)]
    try:
        # What plugins print goes to stderr, never into a program's output.
        with contextlib.redirect_stdout(sys.stderr):
            nothing = _load_builtin(report, keep_going, off)
            for plugin in listed if external else []:
                entry_point, source = plugin.entry_point, plugin.source
                imported_before = entry_point.module in sys.modules
                made = len(report.registrations)
                loaded = _load_one(source, report, keep_going, entry_point)
                if loaded and not imported_before and len(report.registrations) == made:
                    nothing.append(NothingRegistered(source, _why_nothing(entry_point)))
    except (PluginLoadError, PluginInterrupted) as stopped:
        # The walk stopped: the names are matched against the rest too.
        report.disabled = off.outcome(finish=True)
        stopped.report = report
        plugin_source = (
            stopped.failure.source if isinstance(stopped, PluginLoadError) else stopped.source
        )
        if plugin_source is not None:
            stopped.keep_out = keep_out_name(
                plugin_source, report.entry_points if listing else None
            )
        for line in load_warnings(report):
            log.warning(line)
        raise
    report.registered_nothing = nothing
    report.disabled = off.outcome()
    for line in load_warnings(report):
        log.warning(line)
    report.loaded = True
    _loaded = True
    return report


def load_warnings(report: LoadReport) -> list[str]:
    """Return the warnings of a load, one line each: the metadata that cannot
    be read, the plugins that registered nothing, the names disabled that
    matched nothing or more than one plugin."""
    lines = [item.describe() for item in report.unreadable]
    lines += [item.describe() for item in report.registered_nothing]
    for disabled in report.disabled:
        if not disabled.matched:
            lines.append(disabled.describe())
        elif _several(disabled):
            named = []
            for source in disabled.matched:
                name = keep_out_name(source, report.entry_points)
                named.append(source.describe() + (f" (--disable {name})" if name else ""))
            lines.append(
                f"the disabled name {disabled.name} matched {len(named)} plugins: "
                + "; ".join(named)
            )
    return lines


def _several(disabled: Disabled) -> bool:
    # Whether the name kept out more than one plugin: built-in modules and
    # entry points each count, but a distribution named counts once however
    # many entry points it has.
    normalised = normalised_name(disabled.name)
    plugins = {
        normalised
        if source.kind == "entry_point"
        and source.distribution
        and normalised_name(source.distribution) == normalised
        else source
        for source in disabled.matched
    }
    return len(plugins) > 1


def keep_out_name(source: Source, listed: Sequence[Listed] | None = None) -> str | None:
    """Return the name ``--disable`` takes to keep out this plugin and no other.

    Tries, for a built-in plugin module, its name below ``corvane.plugins``,
    then its full name; for an entry point, its distribution's name, then its
    own name; and takes the first that matches no other built-in plugin
    module and no other entry point of ``listed`` (the installed ones when
    ``None``).

    Returns:
        The name, or ``None`` when none matches this plugin alone (or the
        source is no plugin).
    """
    if source.kind == "builtin" and source.module is not None:
        names = [source.disable_name(), source.module]
    elif source.kind == "entry_point":
        names = [source.disable_name(), source.name]
    else:
        return None
    listing = scan() if listed is None else listed
    for name in dict.fromkeys(names):
        if name and _matching(name, listing) == [source]:
            return name
    return None


def _matching(name: str, listed: Iterable[Listed]) -> list[Source]:
    # What the name keeps out: the built-in plugin module of that name (the
    # modules below it go with it), and the entry points listed it names.
    module = _Disabling.module_named(name)
    found = [Source.of_builtin(module)] if _builtin_exists(module) else []
    normalised = normalised_name(name)
    found += [item.source for item in listed if _names(name, normalised, item)]
    return found


def _names(name: str, normalised: str, item: Listed) -> bool:
    # Whether a disabled name (and its normalised form) names the entry point:
    # by its own name, exactly, or by its distribution's.
    return name == item.entry_point.name or (
        bool(item.distribution) and normalised == item.distribution
    )


def _builtin_exists(module: str) -> bool:
    # Whether the walk of the built-in plugins reaches the module, read from
    # the folders of corvane.plugins and of the packages below it already
    # imported (nothing is imported here).
    package = corvane.plugins.__name__
    if not module.startswith(package + "."):
        return False
    path: list[str] = list(corvane.plugins.__path__)
    name = package
    for part in module[len(package) + 1 :].split("."):
        found = dict(_modules_in(path, name + "."))
        name = f"{name}.{part}"
        if name not in found or not _descends(name, found[name]):
            return False
        path = list(getattr(sys.modules.get(name), "__path__", None) or [])
    return True


class _Disabling:
    """The names of the plugins to keep out, and what each matched so far."""

    def __init__(self, given: Iterable[str]) -> None:
        if isinstance(given, str):
            given = [given]
        variable = os.environ.get(DISABLE_VARIABLE, "").split(",")
        # name -> whether it came from the environment; the first origin counts.
        self.names: dict[str, bool] = {}
        # A name given may be several separated by commas, as in the variable.
        for name, from_environment in [
            *((part.strip(), False) for each in given for part in str(each).split(",")),
            *((name.strip(), True) for name in variable),
        ]:
            if name:
                self.names.setdefault(name, from_environment)
        self.matched: dict[str, list[Source]] = {name: [] for name in self.names}
        # Each name as a distribution name, normalised once.
        self.distributions = {name: normalised_name(name) for name in self.names}
        # Full module name -> the names that give it.
        self.modules: dict[str, list[str]] = {}
        for name in self.names:
            self.modules.setdefault(self.module_named(name), []).append(name)
        # The metadata that cannot be read, for a name that matched nothing.
        self.unreadable: list[UnreadableMetadata] = []

    @staticmethod
    def module_named(name: str) -> str:
        """The built-in plugin module a name gives: itself when it is a full name."""
        prefix = corvane.plugins.__name__ + "."
        return name if name.startswith(prefix) else prefix + name

    def builtin(self, module: str) -> bool:
        """Whether the built-in plugin module is kept out; notes the match."""
        names = self.modules.get(module) if self.modules else None
        if not names:
            return False
        for name in names:
            self.matched[name].append(Source.of_builtin(module))
        return True

    def entry_point(self, listed: Listed) -> bool:
        """Whether the entry point is kept out; notes the match."""
        if not self.names:
            return False
        names = [
            name
            for name, normalised in self.distributions.items()
            if _names(name, normalised, listed)
        ]
        for name in names:
            self.matched[name].append(listed.source)
        return bool(names)

    def outcome(self, finish: bool = False) -> list[Disabled]:
        """The names and what each matched; with ``finish`` (the walk stopped
        early), each name also matches the built-in module of its name that
        the walk did not reach."""
        if finish:
            for module, names in self.modules.items():
                if _builtin_exists(module):
                    source = Source.of_builtin(module)
                    for name in names:
                        if source not in self.matched[name]:
                            self.matched[name].append(source)
        unreadable = {
            normalised_name(item.distribution): f"{item.distribution} {item.version or '?'}"
            for item in self.unreadable
            if item.path.endswith("entry_points.txt")
        }
        return [
            Disabled(
                name,
                tuple(self.matched[name]),
                from_environment,
                None if self.matched[name] else unreadable.get(self.distributions[name]),
            )
            for name, from_environment in self.names.items()
        ]


def entry_points_in_order() -> list[EntryPoint]:
    """List the entry points of the group ``corvane.plugins`` in loading order.

    Lists the installed metadata once (one call of
    ``importlib.metadata.entry_points``) and reads each distribution's
    metadata once (``corvane.installed.scan``).

    Returns:
        The entry points sorted by distribution name, normalised as installers
        do (none for an entry point without a distribution sorts first), then
        entry-point name, then value.
    """
    return [listed.entry_point for listed in scan()]


class _Walk:
    """What the walk of the built-in plugin modules carries along."""

    __slots__ = ("before", "keep_going", "off", "report", "seen")

    def __init__(self, report: LoadReport, keep_going: bool, off: _Disabling) -> None:
        self.report = report
        self.keep_going = keep_going
        self.off = off
        # Search path entries already walked.
        self.seen: set[str] = set()
        # The modules walked that were imported before: name -> source.
        self.before: dict[str, Source] = {}


def _load_builtin(report: LoadReport, keep_going: bool, off: _Disabling) -> list[NothingRegistered]:
    # The modules and packages right below corvane.plugins are the units: what
    # one registers, its submodules included, counts for it.
    nothing: list[NothingRegistered] = []
    walk = _Walk(report, keep_going, off)
    for name, ispkg in _modules_in(corvane.plugins.__path__, corvane.plugins.__name__ + "."):
        if not _descends(name, ispkg) or off.builtin(name):
            continue
        imported_before = name in sys.modules
        made, failed = len(report.registrations), len(report.failures)
        _load_tree(name, ispkg, walk)
        if (
            not (imported_before or _skipped(name))
            and len(report.registrations) == made
            and len(report.failures) == failed
        ):
            nothing.append(NothingRegistered(Source.of_builtin(name)))
    if walk.before:
        # Their registrations were made when they were imported, outside loading.
        report.registrations[:0] = plugin_manager._adopt(walk.before)
    return nothing


def _load_tree(name: str, ispkg: bool, walk: _Walk) -> None:
    # The walk of pkgutil.walk_packages, importing each module itself: a
    # package is imported before the modules below it, and a package that
    # fails is not descended into.
    source = Source.of_builtin(name)
    if name in sys.modules:
        walk.before[name] = source
    loaded = _load_one(source, walk.report, walk.keep_going, module=name)
    if not (loaded and ispkg):
        return
    below = getattr(sys.modules.get(name), "__path__", None) or []
    below = [p for p in below if p not in walk.seen]
    walk.seen.update(below)
    for inner, inner_ispkg in _modules_in(below, name + "."):
        # Below corvane.plugins a name without "tests" in it is always walked.
        if "tests" in inner and not _descends(inner, inner_ispkg):
            continue
        if walk.off.modules and walk.off.builtin(inner):
            continue
        if inner_ispkg:
            _load_tree(inner, inner_ispkg, walk)
        else:
            # A plain module has nothing below it: loaded here, one call fewer.
            source = Source.of_builtin(inner)
            if inner in sys.modules:
                walk.before[inner] = source
            _load_one(source, walk.report, walk.keep_going, module=inner)


def _skipped(name: str) -> bool:
    # What discover_builtin_plugins does not import: test modules.
    return ".plugins." not in name or ".tests." in name or name.endswith("tests")


def _descends(name: str, ispkg: bool) -> bool:
    # Whether the walk imports the module: every one discovery imports, and
    # packages discovery skips but walks through (below one named, say,
    # mytests, the modules still count; below one named tests, none does).
    # _skipped(name), written out: this runs once per module.
    tests = ".tests." in name
    if ".plugins." in name and not (tests or name.endswith("tests")):
        return True
    return ispkg and not (tests or name.endswith(".tests"))


def _modules_in(path: Iterable[str], prefix: str) -> list[tuple[str, bool]]:
    """Return (name, is a package) of the modules in ``path``, as
    ``pkgutil.iter_modules`` yields them, with the suffixes sorted once rather
    than once per file."""
    suffixes = sorted(importlib.machinery.all_suffixes(), key=len, reverse=True)
    yielded: set[str] = set()
    modules = []
    for entry in path:
        if not os.path.isdir(entry):
            found = [
                (info.name[len(prefix) :], info.ispkg) for info in pkgutil.iter_modules([entry])
            ]
        else:
            found = _directory_modules(entry, suffixes)
        for name, ispkg in found:
            if name not in yielded:
                yielded.add(name)
                modules.append((prefix + name, ispkg))
    return modules


def _directory_modules(directory: str, suffixes: list[str]) -> list[tuple[str, bool]]:
    try:
        filenames = sorted(os.listdir(directory))
    except OSError:
        return []
    # The names an __init__ file of a package can have, the usual one first.
    inits = sorted(
        (f"__init__{suffix}" for suffix in suffixes), key=lambda init: init != "__init__.py"
    )
    found = []
    for filename in filenames:
        # The usual case inline; no other suffix ends in ".py".
        name = filename[:-3] if filename.endswith(".py") else _module_name(filename, suffixes)
        if name == "__init__":
            continue
        ispkg = False
        if name is None:
            path = os.path.join(directory, filename)
            if "." in filename or not os.path.isdir(path):
                continue
            # Asks for each __init__ file rather than listing the directory: a
            # __pycache__ holds one file per module.
            if not any(os.path.lexists(os.path.join(path, init)) for init in inits):
                continue
            name, ispkg = filename, True
        if "." not in name:
            found.append((name, ispkg))
    return found


def _module_name(filename: str, suffixes: list[str]) -> str | None:
    if filename.endswith(".py"):
        # The usual case; no other suffix ends in ".py".
        return filename[:-3]
    for suffix in suffixes:
        if filename.endswith(suffix):
            return filename[: -len(suffix)]
    return None


def _load_one(
    source: Source,
    report: LoadReport,
    keep_going: bool,
    entry_point: EntryPoint | None = None,
    module: str | None = None,
) -> bool:
    # Loads the entry point, or else imports the module; true when it loaded.
    known = len(sys.modules)
    started = perf_counter()
    try:
        if entry_point is not None:
            log.debug("Loading external plugin %s from %s", entry_point.name, entry_point.module)
            recording = plugin_manager.record_loading(source, _load_entry_point, entry_point)
        else:
            recording = plugin_manager.record_loading(source, importlib.import_module, str(module))
    except KeyboardInterrupt as error:
        # Goes on up, naming the plugin it interrupted.
        raise PluginInterrupted(source) from error
    except (Exception, SystemExit) as error:
        # SystemExit too (argparse run at import, say): the plugin failed, the
        # program goes on.
        report.seconds.append((source, perf_counter() - started))
        _forget_imported_since(known, entry_point.module if entry_point else module)
        failure = PluginFailure(error, module, entry_point, listed_source=source)
        if not keep_going:
            raise PluginLoadError(failure) from error
        report.failures.append(failure)
        return False
    report.seconds.append((source, perf_counter() - started))
    report.registrations += recording.registrations
    report.overrides += recording.overrides
    if recording.replaced_nothing:
        report.replaced_nothing += recording.replaced_nothing
    return True


# entry_point.load() without a closure per entry point.
_load_entry_point = operator.methodcaller("load")


def _forget_imported_since(known: int, module: str | None) -> None:
    # The plugin's own modules that it imported before failing had their
    # registrations taken back with it: forgotten, so that loading them on
    # their own later (the walk reaching them, another entry point) runs them
    # again. Modules are added to sys.modules at its end.
    prefix = corvane.plugins.__name__ + "."
    if module is None or not module.startswith(prefix):
        prefix = (module or "").partition(".")[0] + "."
    added = list(itertools.islice(sys.modules, known, None))
    for name in added:
        if name.startswith(prefix) or name == prefix[:-1]:
            sys.modules.pop(name, None)


def _why_nothing(entry_point: EntryPoint) -> str | None:
    try:
        target = entry_point.load()
    except (Exception, SystemExit):
        return None
    if inspect.isroutine(target):
        return (
            f"{entry_point.attr} is a function, which is loaded but never called; "
            f"name the module that registers the classes instead"
        )
    if inspect.isclass(target):
        return (
            f"{entry_point.attr} is a class, and naming it registers nothing: a plugin "
            f"registers its classes when its module is imported, so call "
            f"plugin_manager.register_plugin({entry_point.attr}, ...) in {entry_point.module} "
            "and name the module"
        )
    return None
