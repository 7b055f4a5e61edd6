"""Checking an installation's plugins: what each registered and what went wrong.

``check_plugins`` loads the plugins through ``load_plugins`` (each built-in
module and each entry point on its own, going on after a failure) and
reports the registrations of each plugin and the time it took to load, the
plugins that failed or registered nothing, the registrations that two
plugins made for the same key path and chassis type (but for a replacement
declared with ``replaces=``), a plugin that replaced its own registration,
a ``replaces=`` where nothing was registered, an operating system that looks
like a misspelling of another, two entry points naming one module, a
disabled name that matched nothing, and the installed distributions whose
entry points sit in a group whose name is close to the package's, which are
never loaded.
"""

from __future__ import annotations

import difflib
import re
from collections import Counter
from collections.abc import Container, Iterable
from dataclasses import dataclass, field
from importlib.metadata import distributions
from typing import Any

from corvane import registry
from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.explain import registrations
from corvane.keys import class_name, format_key_path, key_path_json
from corvane.records import Disabled, ReplacedNothing
from corvane.registry import NothingRegistered, Override, PluginFailure, Registration, Source

__all__ = [
    "SLOW_LOADING",
    "CheckReport",
    "NearMissGroup",
    "SharedModule",
    "UnknownOs",
    "check_plugins",
    "near_miss_groups",
    "os_edit_distance",
]

# Group names this similar to the package's (difflib ratio, after normalising)
# count as a misspelling of it.
_CLOSENESS = 0.85

# Seconds of loading, all plugins together, above which check names the slowest.
SLOW_LOADING = 1.0
# How many of the slowest plugins it names.
_SLOWEST = 3


@dataclass(frozen=True)
class UnknownOs:
    """A registration under an operating system outside ``supported_os`` that is
    a small edit away from a supported or more often registered one."""

    registration: Registration
    did_you_mean: str

    def describe(self) -> str:
        """Return one line naming the operating system, the registration, its
        source and the close name."""
        row = self.registration
        return (
            f"unknown os {row.key_path[0]} at {format_key_path(row.key_path)} "
            f"[{row.chassis_type}] from {row.source.describe()}: "
            f"did you mean {self.did_you_mean}?"
        )

    def as_json(self) -> dict[str, Any]:
        """Return the finding as a JSON-ready object."""
        row = self.registration
        return {
            "os": str(row.key_path[0]),
            "key_path": key_path_json(row.key_path),
            "chassis_type": str(row.chassis_type),
            "class": class_name(row.cls),
            "source": row.source.as_json(),
            "did_you_mean": self.did_you_mean,
        }


@dataclass(frozen=True)
class SharedModule:
    """Entry points of the group that name the same module: it is imported
    once, and what it registers counts for the first of them."""

    module: str
    entry_points: tuple[Source, ...]

    def describe(self) -> str:
        """Return one line naming the module and the entry points."""
        named = "; ".join(source.describe() for source in self.entry_points)
        return (
            f"{len(self.entry_points)} entry points name the module {self.module}, which "
            f"is imported once and counts for the first: {named}"
        )

    def as_json(self) -> dict[str, Any]:
        """Return the finding as a JSON-ready object."""
        return {
            "module": self.module,
            "entry_points": [source.as_json() for source in self.entry_points],
        }


@dataclass(frozen=True)
class NearMissGroup:
    """A distribution declaring entry points in a group named like the package's."""

    distribution: str
    version: str
    group: str
    # "name = value" of each entry point declared there.
    entry_points: tuple[str, ...]

    def describe(self) -> str:
        """Return one line naming the distribution, the group it used and its entry points."""
        return (
            f"{self.distribution} {self.version} declares entry points in the group "
            f'"{self.group}", not "{ENTRYPOINT_GROUP}", so they are never loaded: '
            + ", ".join(self.entry_points)
        )

    def as_json(self) -> dict[str, Any]:
        """Return the group as a JSON-ready object."""
        return {
            "distribution": self.distribution,
            "version": self.version,
            "group": self.group,
            "entry_points": list(self.entry_points),
        }


@dataclass
class CheckReport:
    """What ``check_plugins`` found."""

    # The number of registrations of each plugin, in loading order; plugins
    # that registered nothing are counted with 0.
    counts: list[tuple[Source, int]] = field(default_factory=list)
    failures: list[PluginFailure] = field(default_factory=list)
    registered_nothing: list[NothingRegistered] = field(default_factory=list)
    # Overrides where two different sources registered the same key path and
    # chassis type, but for those the winner declared (``replaces=``).
    conflicts: list[Override] = field(default_factory=list)
    near_misses: list[NearMissGroup] = field(default_factory=list)
    # Overrides where a plugin replaced its own registration, undeclared.
    self_overrides: list[Override] = field(default_factory=list)
    replaced_nothing: list[ReplacedNothing] = field(default_factory=list)
    unknown_os: list[UnknownOs] = field(default_factory=list)
    shared_modules: list[SharedModule] = field(default_factory=list)
    # The names of plugins kept out; those that matched nothing are problems.
    disabled: list[Disabled] = field(default_factory=list)
    # The seconds each plugin took to load, by source, in loading order.
    seconds: dict[Source, float] = field(default_factory=dict)

    @property
    def unmatched(self) -> list[Disabled]:
        """The disabled names that matched no plugin."""
        return [item for item in self.disabled if not item.matched]

    @property
    def problems(self) -> int:
        """The number of problems reported: everything but the counts, the
        times and the names that matched a plugin."""
        return (
            len(self.failures)
            + len(self.registered_nothing)
            + len(self.conflicts)
            + len(self.self_overrides)
            + len(self.replaced_nothing)
            + len(self.unknown_os)
            + len(self.shared_modules)
            + len(self.near_misses)
            + len(self.unmatched)
        )

    def slowest(self) -> list[tuple[Source, float]]:
        """Return the slowest plugins, slowest first, when loading took more
        than ``SLOW_LOADING`` seconds in all; none otherwise."""
        if sum(self.seconds.values()) <= SLOW_LOADING:
            return []
        ranked = sorted(self.seconds.items(), key=lambda item: item[1], reverse=True)
        return ranked[:_SLOWEST]

    def lines(self) -> list[str]:
        """Return the report as text lines: the counts, the plugins disabled,
        the slowest plugins when loading took long, then each problem."""
        lines = ["registrations per plugin:"]
        lines += [f"  {count:>3}  {source.describe()}" for source, count in self.counts]
        if not self.counts:
            lines.append("  none: no plugin registered anything")
        matched = [item for item in self.disabled if item.matched]
        if matched:
            lines += ["", "disabled, not loaded:"]
            lines += [f"  {item.describe()}" for item in matched]
        slowest = self.slowest()
        if slowest:
            total = sum(self.seconds.values())
            lines += ["", f"loading took {total:.2f} s; the slowest plugins:"]
            lines += [f"  {seconds:6.2f} s  {source.describe()}" for source, seconds in slowest]
        if not self.problems:
            return [*lines, "", "nothing to report"]
        lines += ["", "problems:"]
        for failure in self.failures:
            lines.append(f"  {failure.describe()}")
            lines += [f"    {line}" for line in failure.traceback_lines()]
        lines += [f"  {item.describe()}" for item in self.registered_nothing]
        lines += [f"  conflict at {override.describe()}" for override in self.conflicts]
        lines += [f"  {_self_override(override)}" for override in self.self_overrides]
        lines += [f"  {item.describe()}" for item in self.replaced_nothing]
        lines += [f"  {item.describe()}" for item in self.unknown_os]
        lines += [f"  {item.describe()}" for item in self.shared_modules]
        lines += [f"  {group.describe()}" for group in self.near_misses]
        lines += [f"  {item.describe()}" for item in self.unmatched]
        noun = "problem" if self.problems == 1 else "problems"
        return [*lines, "", f"{self.problems} {noun} found"]

    def as_json(self) -> dict[str, Any]:
        """Return the report as a JSON-ready object with one key per kind of finding."""
        return {
            "registrations": [
                {
                    "source": source.as_json(),
                    "count": count,
                    "seconds": _rounded(self.seconds.get(source)),
                }
                for source, count in self.counts
            ],
            "failures": [
                {
                    "source": failure.source.as_json() if failure.source else None,
                    "error": failure.describe(),
                    "traceback": failure.traceback_lines(),
                }
                for failure in self.failures
            ],
            "registered_nothing": [
                {"source": item.source.as_json(), "note": item.note}
                for item in self.registered_nothing
            ],
            "conflicts": [
                {
                    "key_path": key_path_json(override.key_path),
                    "chassis_type": str(override.chassis_type),
                    "replaced": {
                        "class": class_name(override.replaced),
                        "source": override.replaced_source.as_json(),
                    },
                    "winner": {
                        "class": class_name(override.winner),
                        "source": override.winner_source.as_json(),
                    },
                    "declared": (
                        class_name(override.declared) if override.declared is not None else None
                    ),
                }
                for override in self.conflicts
            ],
            "near_miss_groups": [group.as_json() for group in self.near_misses],
            "self_overrides": [
                {
                    "key_path": key_path_json(override.key_path),
                    "chassis_type": str(override.chassis_type),
                    "source": override.winner_source.as_json(),
                    "replaced": class_name(override.replaced),
                    "winner": class_name(override.winner),
                }
                for override in self.self_overrides
            ],
            "replaced_nothing": [
                {
                    "key_path": key_path_json(item.key_path),
                    "chassis_type": str(item.chassis_type),
                    "class": class_name(item.winner),
                    "declared": class_name(item.declared),
                    "source": item.source.as_json(),
                }
                for item in self.replaced_nothing
            ],
            "unknown_os": [item.as_json() for item in self.unknown_os],
            "shared_modules": [item.as_json() for item in self.shared_modules],
            "disabled": [item.as_json() for item in self.disabled],
            "problems": self.problems,
        }


def _rounded(seconds: float | None) -> float | None:
    # To the microsecond: finer is noise.
    return None if seconds is None else round(seconds, 6)


def _self_override(override: Override) -> str:
    return (
        f"{override.winner_source.describe()} replaced its own registration at "
        f"{format_key_path(override.key_path)} [{override.chassis_type}]: "
        f"{class_name(override.replaced)} by {class_name(override.winner)}"
    )


def check_plugins(external: bool = True, *, disable: Iterable[str] = ()) -> CheckReport:
    """Load the plugins of this process and report on each of them.

    Runs ``load_plugins(external, keep_going=True, disable=disable)``, so it
    must come before any other call of ``load_plugins`` in the process.
    Distributions are searched for misspelt groups whether or not
    ``external`` is set.

    Returns:
        A ``CheckReport``.

    Raises:
        RuntimeError: when the plugins of this process were already loaded.
    """
    report = registry.load_plugins(external, keep_going=True, disable=disable)
    if not report.loaded:
        raise RuntimeError("the plugins were already loaded in this process: nothing to check")
    counts = Counter(registration.source for registration in report.registrations)
    ordered = [(source, counts[source]) for source in counts]
    ordered += [(item.source, 0) for item in report.registered_nothing]
    rows = registrations(registry.plugin_manager)
    return CheckReport(
        counts=ordered,
        failures=list(report.failures),
        registered_nothing=list(report.registered_nothing),
        conflicts=[o for o in report.overrides if o.is_conflict],
        near_misses=near_miss_groups(),
        self_overrides=[
            o for o in report.overrides if o.replaced_source == o.winner_source and not o.intended
        ],
        replaced_nothing=list(report.replaced_nothing),
        unknown_os=unknown_os(rows, registry.plugin_manager.supported_os),
        shared_modules=shared_modules() if external else [],
        disabled=list(report.disabled),
        seconds=dict(report.seconds),
    )


def unknown_os(rows: Iterable[Registration], supported: Container[Any]) -> list[UnknownOs]:
    """Find the registrations whose operating system looks misspelt.

    An operating system is reported when it is not in ``supported`` and is
    close (``os_edit_distance``) to one that is, or to another one registered
    more often than itself.

    Returns:
        One ``UnknownOs`` per registration under such an operating system,
        with the closest name (a supported one first when two are as close).
    """
    rows = list(rows)
    known: list[str] = []
    if isinstance(supported, Iterable):
        known = [name for name in supported if isinstance(name, str)]
    registered = Counter(row.key_path[0] for row in rows if isinstance(row.key_path[0], str))
    close: dict[str, str] = {}
    for name, count in registered.items():
        if name in known:
            continue
        candidates = [(0, other) for other in known]
        candidates += [
            (1, other) for other, times in registered.items() if times > count and other != name
        ]
        ranked = sorted(
            (distance, rank, other)
            for rank, other in candidates
            for distance in [os_edit_distance(name, other)]
            if distance is not None
        )
        if ranked:
            close[name] = ranked[0][2]
    return [
        UnknownOs(row, close[row.key_path[0]])
        for row in rows
        if isinstance(row.key_path[0], str) and row.key_path[0] in close
    ]


def os_edit_distance(name: str, other: str) -> int | None:
    """Return how many edits (a character inserted, deleted or replaced, or two
    neighbours swapped; case ignored) make ``name`` into ``other``, when that
    is few enough to be a misspelling: one edit, two for names of eight
    characters or more, only a swap for names shorter than four characters.

    Returns:
        The number of edits, or ``None`` when the names are equal or farther
        apart than a misspelling.
    """
    if name == other:
        return None
    a, b = name.lower(), other.lower()
    shortest = min(len(a), len(b))
    limit = 2 if shortest >= 8 else 1
    if abs(len(a) - len(b)) > limit:
        return None
    # Optimal string alignment distance: rows of the edit table, two kept back.
    before: list[int] = []
    previous = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        current = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cost = 0 if a[i - 1] == b[j - 1] else 1
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                current[j] = min(current[j], before[j - 2] + 1)
        before, previous = previous, current
    distance = previous[len(b)]
    if distance > limit:
        return None
    if shortest < 4 and distance > 0 and not _swapped(a, b):
        return None
    return distance


def _swapped(a: str, b: str) -> bool:
    # Equal but for two neighbouring characters swapped.
    if len(a) != len(b):
        return False
    differ = [i for i in range(len(a)) if a[i] != b[i]]
    return len(differ) == 2 and differ[1] == differ[0] + 1 and a[differ[0]] == b[differ[1]]


def shared_modules() -> list[SharedModule]:
    """Find the entry points of the group that name the same module.

    Returns:
        One ``SharedModule`` per module named by more than one entry point,
        its entry points in loading order.
    """
    named: dict[str, list[Source]] = {}
    for entry_point in registry.entry_points_in_order():
        named.setdefault(entry_point.module, []).append(Source.of_entry_point(entry_point))
    return [SharedModule(module, tuple(found)) for module, found in named.items() if len(found) > 1]


def near_miss_groups() -> list[NearMissGroup]:
    """Find installed distributions that use a group named close to ``corvane.plugins``.

    A group is close when, lower-cased with ``_``, ``-`` and spaces read as
    ``.``, it equals the package's group but for a plural ``s``, or is at
    least 85% similar to it (``difflib``), as ``corvane.plugin``,
    ``corvane_plugins`` and ``corvane.plgins`` are.

    Returns:
        One ``NearMissGroup`` per distribution and group, sorted by
        distribution, then group.
    """
    found: dict[tuple[str, str], NearMissGroup] = {}
    seen: set[str] = set()
    for dist in distributions():
        # The first of several copies on the path is the one imported.
        name = dist.metadata["Name"] or "?"
        normalised = re.sub(r"[-_.]+", "-", name).lower()
        if normalised in seen:
            continue
        seen.add(normalised)
        for entry_point in dist.entry_points:
            group = entry_point.group
            if group == ENTRYPOINT_GROUP or not _close(group):
                continue
            declared = f"{entry_point.name} = {entry_point.value}"
            previous = found.get((name, group))
            listed = (*previous.entry_points, declared) if previous else (declared,)
            found[(name, group)] = NearMissGroup(name, dist.version, group, listed)
    return [found[key] for key in sorted(found)]


def _normalised(group: str) -> str:
    return re.sub(r"[\s_\-.]+", ".", group.strip().lower())


def _close(group: str) -> bool:
    candidate, wanted = _normalised(group), _normalised(ENTRYPOINT_GROUP)
    if candidate.rstrip("s") == wanted.rstrip("s"):
        return True
    return difflib.SequenceMatcher(None, candidate, wanted).ratio() >= _CLOSENESS
