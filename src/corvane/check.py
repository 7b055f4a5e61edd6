"""Checking an installation's plugins: what each registered and what went wrong.

``check_plugins`` loads the plugins through ``load_plugins`` (each built-in
module and each entry point on its own, going on after a failure) and
reports the registrations of each plugin and the time it took to load, and
every finding of the kinds in ``FINDINGS``: the one table of what ``check``
finds. Each row names its stable code (``CP001`` ...), its JSON key, its
one-line description, the detector that finds it, its text lines and its
JSON object; the report, its JSON, the problem count, ``--ignore``, the
command's help and the documentation's table are all made from the table. A
new kind of finding is a detector, a row with the next code, and its row in
the table of ``docs/cli.md`` (a test holds the page to the table).
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Callable, Container, Iterable
from dataclasses import dataclass, field
from functools import cached_property
from importlib import metadata
from importlib.metadata import distributions
from typing import Any

from corvane import registry
from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.explain import registrations
from corvane.installed import (
    UnreadableMetadata,
    name_and_version,
    normalised_name,
    scan,
    unreadable_metadata,
)
from corvane.installed_cache import Use
from corvane.keys import class_name, format_key_path, key_path_json
from corvane.loading import keep_out_name
from corvane.records import Listed, LoadReport, ReplacedNothing
from corvane.registry import Override, PluginFailure, Registration, Source
from corvane.spelling import deletion_variants, edit_distance

# The misspelling rule under the name check has always given it.
os_edit_distance = edit_distance

__all__ = [
    "CHECK_FORMAT",
    "FINDINGS",
    "SLOW_LOADING",
    "CheckReport",
    "Conflict",
    "Finding",
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

# The version of the format of check --json: 2 added "format", the codes,
# "fix" and "ignored", 3 "cache"; output without "format" is the first.
CHECK_FORMAT = 3

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


@dataclass(frozen=True)
class Finding:
    """One kind of finding of ``check``: a row of ``FINDINGS``.

    ``code`` is its stable code (``CP001`` ...), shown before each finding
    and taken by ``check --ignore``; ``key`` names the kind in
    ``check --json`` and in ``CheckReport.found``;
    ``doc`` describes one finding in a line, as the help and the
    documentation list it; ``detect`` finds them in what loading did;
    ``lines`` gives the text of one (its first line, then lines shown below
    it), given whether all of it is asked for (``-v``); ``as_json`` its JSON
    object; ``problem`` tells whether one counts as
    a problem (all do but the disabled names that matched a plugin, or a
    distribution whose entry points cannot be read).
    """

    code: str
    key: str
    doc: str
    detect: Callable[[_Loaded], list[Any]]
    lines: Callable[[Any, bool], list[str]]
    as_json: Callable[[Any], dict[str, Any]]
    problem: Callable[[Any], bool] = lambda _: True


@dataclass(frozen=True)
class _Loaded:
    """What the detectors work from: one call of ``load_plugins`` (with its one
    scan of the entry points) and the registrations of the tree after it."""

    report: LoadReport
    rows: list[Registration]
    external: bool

    @property
    def listed(self) -> bool:
        """Whether the load listed the entry points (external plugins, or names
        to keep out): otherwise its report holds none."""
        return self.external or bool(self.report.disabled)

    @cached_property
    def entry_points(self) -> list[Listed]:
        """The entry points of the group, listed by the load or else now."""
        return self.report.entry_points if self.listed else scan()

    def unreadable(self) -> list[UnreadableMetadata]:
        """The metadata that cannot be read, found by the load or else now."""
        return self.report.unreadable if self.listed else unreadable_metadata([])


@dataclass(frozen=True)
class Conflict:
    """A registration two plugins made for one description (CP003): the
    override, and the names that keep out the one plugin or the other and
    nothing else (``corvane.loading.keep_out_name``), winner first."""

    override: Override
    keep_out: tuple[str, ...]


@dataclass
class CheckReport:
    """What ``check_plugins`` found: the registrations of each plugin, the time
    each took, and the findings of each kind of ``FINDINGS``, by key."""

    # The number of registrations of each plugin, in loading order; plugins
    # that registered nothing are counted with 0.
    counts: list[tuple[Source, int]] = field(default_factory=list)
    # The findings of each kind, by the key of its row of FINDINGS.
    found: dict[str, list[Any]] = field(default_factory=dict)
    # The seconds each plugin took to load, by source, in loading order.
    seconds: dict[Source, float] = field(default_factory=dict)
    # The codes of the kinds left out (check --ignore), in the table's order.
    ignored: list[str] = field(default_factory=list)
    # How the entry points were listed: from the cache of installed plugins
    # or not (None when they were not listed).
    cache: Use | None = None

    @property
    def failures(self) -> list[PluginFailure]:
        """The plugins that failed to load."""
        return self.found.get("failures", [])

    def problems_of(self, finding: Finding) -> list[Any]:
        """Return the findings of one kind that count as problems."""
        return [item for item in self.found.get(finding.key, []) if finding.problem(item)]

    @property
    def problems(self) -> int:
        """The number of problems reported: every finding but the disabled names
        that matched a plugin (the counts and the times are none)."""
        return sum(len(self.problems_of(finding)) for finding in FINDINGS)

    def slowest(self) -> list[tuple[Source, float]]:
        """Return the slowest plugins, slowest first, when loading took more
        than ``SLOW_LOADING`` seconds in all; none otherwise."""
        if sum(self.seconds.values()) <= SLOW_LOADING:
            return []
        ranked = sorted(self.seconds.items(), key=lambda item: item[1], reverse=True)
        return ranked[:_SLOWEST]

    def lines(self, verbose: bool = False) -> list[str]:
        """Return the report as text lines: the counts, the plugins disabled,
        the slowest plugins when loading took long, the kinds ignored, where
        the entry points were read from, then each problem, after its code.
        A failed plugin shows its error in one line and the frames of its own
        code below it; ``verbose``, the whole traceback."""
        lines = ["registrations per plugin:"]
        # Right-aligned, as wide as the widest count (three at least).
        width = max([3, *(len(str(count)) for _, count in self.counts)])
        lines += [f"  {count:>{width}}  {source.describe()}" for source, count in self.counts]
        if not self.counts:
            lines.append("  none: no plugin registered anything")
        matched = [item for item in self.found.get("disabled", []) if item.matched]
        if matched:
            lines += ["", "disabled, not loaded:"]
            lines += [f"  {item.describe()}" for item in matched]
        slowest = self.slowest()
        if slowest:
            total = sum(self.seconds.values())
            lines += ["", f"loading took {total:.2f} s; the slowest plugins:"]
            lines += [f"  {seconds:6.2f} s  {source.describe()}" for source, seconds in slowest]
        if self.ignored:
            named = (f"{f.code} ({f.key})" for f in FINDINGS if f.code in self.ignored)
            lines += ["", f"ignored: {', '.join(named)}"]
        if self.cache is not None:
            lines += ["", self.cache.describe()]
        problems = self.problems
        if not problems:
            return [*lines, "", "nothing to report"]
        lines += ["", "problems:"]
        for finding in FINDINGS:
            for item in self.problems_of(finding):
                first, *below = finding.lines(item, verbose)
                lines += [f"  {finding.code} {first}", *(f"    {line}" for line in below)]
        noun = "problem" if problems == 1 else "problems"
        return [*lines, "", f"{problems} {noun} found"]

    def as_json(self) -> dict[str, Any]:
        """Return the report as a JSON-ready object: its format, the
        registrations, one key per kind of finding not ignored (each finding
        with its ``code``), the codes ignored and the number of problems."""
        report: dict[str, Any] = {
            "format": CHECK_FORMAT,
            "registrations": [
                {
                    "source": source.as_json(),
                    "count": count,
                    "seconds": _rounded(self.seconds.get(source)),
                }
                for source, count in self.counts
            ],
        }
        for finding in FINDINGS:
            if finding.code not in self.ignored:
                report[finding.key] = [
                    {"code": finding.code, **finding.as_json(item)}
                    for item in self.found.get(finding.key, [])
                ]
        report["ignored"] = list(self.ignored)
        report["cache"] = self.cache.as_json() if self.cache is not None else None
        report["problems"] = self.problems
        return report


def _rounded(seconds: float | None) -> float | None:
    # To the microsecond: finer is noise.
    return None if seconds is None else round(seconds, 6)


def check_plugins(
    external: bool = True, *, disable: Iterable[str] = (), ignore: Iterable[str] = ()
) -> CheckReport:
    """Load the plugins of this process and report on each of them.

    Runs ``load_plugins(external, keep_going=True, disable=disable)``, so it
    must come before any other call of ``load_plugins`` in the process.
    Distributions are searched for misspelt groups whether or not
    ``external`` is set. The kinds of finding whose codes ``ignore`` names
    are not looked for.

    Returns:
        A ``CheckReport``.

    Raises:
        RuntimeError: when the plugins of this process were already loaded.
        ValueError: when ``ignore`` names a code that is no finding's.
    """
    unknown = sorted(set(ignore) - {finding.code for finding in FINDINGS})
    if unknown:
        raise ValueError(f"unknown finding code: {', '.join(unknown)}")
    ignored = [finding.code for finding in FINDINGS if finding.code in set(ignore)]
    report = registry.load_plugins(external, keep_going=True, disable=disable)
    if not report.loaded:
        raise RuntimeError("the plugins were already loaded in this process: nothing to check")
    counts = Counter(registration.source for registration in report.registrations)
    ordered = [(source, counts[source]) for source in counts]
    ordered += [(item.source, 0) for item in report.registered_nothing]
    loaded = _Loaded(report, registrations(registry.plugin_manager), external)
    return CheckReport(
        counts=ordered,
        found={f.key: f.detect(loaded) for f in FINDINGS if f.code not in ignored},
        seconds=dict(report.seconds),
        ignored=ignored,
        cache=report.cache,
    )


def unknown_os(rows: Iterable[Registration], supported: Container[Any]) -> list[UnknownOs]:
    """Find the registrations whose operating system looks misspelt.

    An operating system is reported when it is not in ``supported`` and is
    close (``os_edit_distance``) to one that is, or to another one registered
    more often than itself. Only names that share a deletion variant are
    compared, so the work grows with the registrations, not their square.

    Returns:
        One ``UnknownOs`` per registration under such an operating system,
        with the closest name (a supported one first when two are as close).
    """
    rows = list(rows)
    known: set[str] = set()
    if isinstance(supported, Iterable):
        known = {name for name in supported if isinstance(name, str)}
    registered = Counter(row.key_path[0] for row in rows if isinstance(row.key_path[0], str))
    unknown = {name: count for name, count in registered.items() if name not in known}
    if not unknown:
        return []
    # What a name can be a misspelling of: a supported name, or one registered
    # more often than the least registered unknown name.
    least = min(unknown.values())
    sharing: dict[str, list[str]] = {}
    for name in known | {name for name, count in registered.items() if count > least}:
        for variant in deletion_variants(name):
            sharing.setdefault(variant, []).append(name)
    close: dict[str, str] = {}
    for name, count in unknown.items():
        ranked = []
        for other in {o for variant in deletion_variants(name) for o in sharing.get(variant, ())}:
            if other in known:
                rank = 0
            elif registered.get(other, 0) > count:
                rank = 1
            else:
                continue
            distance = edit_distance(name, other)
            if distance is not None:
                ranked.append((distance, rank, other))
        if ranked:
            close[name] = min(ranked)[2]
    return [
        UnknownOs(row, close[row.key_path[0]])
        for row in rows
        if isinstance(row.key_path[0], str) and row.key_path[0] in close
    ]


def shared_modules(listed: Iterable[Listed]) -> list[SharedModule]:
    """Find the entry points of the group that name the same module.

    Returns:
        One ``SharedModule`` per module named by more than one of ``listed``,
        its entry points in their order.
    """
    named: dict[str, list[Source]] = {}
    for item in listed:
        named.setdefault(item.entry_point.module, []).append(item.source)
    return [SharedModule(module, tuple(found)) for module, found in named.items() if len(found) > 1]


def near_miss_groups() -> list[NearMissGroup]:
    """Find installed distributions that use a group named close to ``corvane.plugins``.

    A group is close when, lower-cased with ``_``, ``-`` and spaces read as
    ``.``, it equals the package's group but for a plural ``s``, or is at
    least 85% similar to it (``difflib``), as ``corvane.plugin``,
    ``corvane_plugins`` and ``corvane.plgins`` are. Of several copies of a
    distribution on the path only the first counts, the one imported.
    Reads each distribution's entry points; the metadata only of those that
    use such a group (and, then, of those before them).

    Returns:
        One ``NearMissGroup`` per distribution and group, sorted by
        distribution, then group.
    """
    found: dict[tuple[str, str], NearMissGroup] = {}
    closeness: dict[str, bool] = {}
    before: list[Any] = []
    names: list[str] = []
    for dist in distributions():
        misplaced = []
        for entry_point in _maybe_misplaced(dist, closeness):
            group = entry_point.group
            if group == ENTRYPOINT_GROUP:
                continue
            if group not in closeness:
                closeness[group] = _close(group)
            if closeness[group]:
                misplaced.append(entry_point)
        before.append(dist)
        if not misplaced:
            continue
        # Names read for the distributions before this one, once each.
        names += [_name(each) for each in before[len(names) :]]
        name, version = names[-1], dist.version
        if normalised_name(name) in {normalised_name(other) for other in names[:-1]}:
            continue
        for entry_point in misplaced:
            declared = f"{entry_point.name} = {entry_point.value}"
            previous = found.get((name, entry_point.group))
            listed = (*previous.entry_points, declared) if previous else (declared,)
            found[(name, entry_point.group)] = NearMissGroup(
                name, version, entry_point.group, listed
            )
    return [found[key] for key in sorted(found)]


def _maybe_misplaced(dist: Any, closeness: dict[str, bool]) -> Iterable[Any]:
    # The entry points of dist, or none when its entry_points.txt has no
    # section named close to the group: the section headers are read as
    # importlib.metadata reads them (a stripped line in brackets), and only a
    # distribution with such a header has its entry points parsed.
    base = metadata.Distribution
    if not isinstance(dist, base) or type(dist).entry_points is not base.entry_points:
        return dist.entry_points  # type: ignore[no-any-return]
    text = dist.read_text("entry_points.txt")
    for line in text.splitlines() if text else []:
        line = line.strip()
        group = line.strip("[]")
        if not (line.startswith("[") and line.endswith("]")) or group == ENTRYPOINT_GROUP:
            continue
        if group not in closeness:
            closeness[group] = _close(group)
        if closeness[group]:
            return dist.entry_points
    return []


def _name(dist: Any) -> str:
    return str(name_and_version(dist)[0] or "?")


def _group_key(group: str) -> str:
    # A group name as close() compares it.
    return re.sub(r"[\s_\-.]+", ".", group.strip().lower())


def _close(group: str) -> bool:
    import difflib  # only check looks for misspelt groups

    candidate, wanted = _group_key(group), _group_key(ENTRYPOINT_GROUP)
    if candidate.rstrip("s") == wanted.rstrip("s"):
        return True
    return difflib.SequenceMatcher(None, candidate, wanted).ratio() >= _CLOSENESS


def _failure_lines(failure: PluginFailure, verbose: bool) -> list[str]:
    # The error in one line, then the plugin's own frames (all of it with -v).
    below = failure.traceback_lines() if verbose else failure.own_frame_lines()
    return [failure.describe(), *below]


def _failure_json(failure: PluginFailure) -> dict[str, Any]:
    return {
        "source": failure.source.as_json() if failure.source else None,
        "error": failure.describe(),
        "traceback": failure.traceback_lines(),
    }


def _conflicts(loaded: _Loaded) -> list[Conflict]:
    found = []
    # Each plugin's name, looked for once however many conflicts it has.
    names: dict[Source, str | None] = {}
    for override in loaded.report.overrides:
        if override.is_conflict:
            for source in (override.winner_source, override.replaced_source):
                if source not in names:
                    names[source] = keep_out_name(source, loaded.entry_points)
            both = (names[override.winner_source], names[override.replaced_source])
            found.append(Conflict(override, tuple(name for name in both if name)))
    return found


def _conflict_json(conflict: Conflict) -> dict[str, Any]:
    override = conflict.override
    return {
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
        "declared": class_name(override.declared) if override.declared is not None else None,
        "fix": _conflict_fix(conflict).removeprefix("fix: "),
    }


def _conflict_lines(conflict: Conflict, verbose: bool) -> list[str]:
    return [f"conflict at {conflict.override.describe()}", _conflict_fix(conflict)]


def _conflict_fix(conflict: Conflict) -> str:
    # What to do: declare the replacement, or keep one of the two out.
    override = conflict.override
    replaced, winner = class_name(override.replaced), class_name(override.winner)
    keep_out = " or ".join(f"--disable {name}" for name in conflict.keep_out)
    if override.declared is None:
        declare = (
            f"if {winner} is meant to replace {replaced}, register it with replaces={replaced}"
        )
    else:
        declare = f"declare the class it replaces: replaces={replaced}"
    return f"fix: {declare}" + (f"; or keep one plugin out: {keep_out}" if keep_out else "")


def _replaced_nothing_lines(item: ReplacedNothing, verbose: bool) -> list[str]:
    declared = class_name(item.declared)
    return [
        item.describe(),
        f"fix: register it at the key path and chassis type where {declared} is "
        f"registered, or drop replaces={declared}",
    ]


def _self_override_line(override: Override, verbose: bool) -> list[str]:
    return [
        f"{override.winner_source.describe()} replaced its own registration at "
        f"{format_key_path(override.key_path)} [{override.chassis_type}]: "
        f"{class_name(override.replaced)} by {class_name(override.winner)}"
    ]


def _self_override_json(override: Override) -> dict[str, Any]:
    return {
        "key_path": key_path_json(override.key_path),
        "chassis_type": str(override.chassis_type),
        "source": override.winner_source.as_json(),
        "replaced": class_name(override.replaced),
        "winner": class_name(override.winner),
    }


def _replaced_nothing_json(item: ReplacedNothing) -> dict[str, Any]:
    return {
        "key_path": key_path_json(item.key_path),
        "chassis_type": str(item.chassis_type),
        "class": class_name(item.winner),
        "declared": class_name(item.declared),
        "source": item.source.as_json(),
        "fix": _replaced_nothing_lines(item, False)[1].removeprefix("fix: "),
    }


def _line(item: Any, verbose: bool) -> list[str]:
    # Findings that describe themselves in one line.
    return [item.describe()]


def _json(item: Any) -> dict[str, Any]:
    # Findings that give their own JSON object.
    result: dict[str, Any] = item.as_json()
    return result


def _self_overrides(loaded: _Loaded) -> list[Override]:
    return [
        override
        for override in loaded.report.overrides
        if override.replaced_source == override.winner_source and not override.intended
    ]


# The kinds of finding, in the order the report lists their problems.
FINDINGS: tuple[Finding, ...] = (
    Finding(
        "CP001",
        "failures",
        "a load failure with its traceback",
        lambda loaded: list(loaded.report.failures),
        _failure_lines,
        _failure_json,
    ),
    Finding(
        "CP002",
        "registered_nothing",
        "a plugin that registered nothing",
        lambda loaded: list(loaded.report.registered_nothing),
        _line,
        lambda item: {"source": item.source.as_json(), "note": item.note},
    ),
    Finding(
        "CP003",
        "conflicts",
        "a registration two plugins made for the same key path and chassis type "
        "(unless the later one declared the replacement)",
        _conflicts,
        _conflict_lines,
        _conflict_json,
    ),
    Finding(
        "CP004",
        "self_overrides",
        "a plugin that replaced its own registration",
        _self_overrides,
        _self_override_line,
        _self_override_json,
    ),
    Finding(
        "CP005",
        "replaced_nothing",
        "a replaces= where nothing was registered",
        lambda loaded: list(loaded.report.replaced_nothing),
        _replaced_nothing_lines,
        _replaced_nothing_json,
    ),
    Finding(
        "CP006",
        "unknown_os",
        "an operating system that looks misspelt",
        lambda loaded: unknown_os(loaded.rows, registry.plugin_manager.supported_os),
        _line,
        _json,
    ),
    Finding(
        "CP007",
        "shared_modules",
        "two entry points naming one module",
        lambda loaded: shared_modules(loaded.report.entry_points) if loaded.external else [],
        _line,
        _json,
    ),
    Finding(
        "CP008",
        "near_miss_groups",
        f"a distribution declaring entry points in a group named close to {ENTRYPOINT_GROUP}",
        lambda loaded: near_miss_groups(),
        _line,
        _json,
    ),
    Finding(
        "CP009",
        "disabled",
        "a disabled name that matched nothing",
        lambda loaded: list(loaded.report.disabled),
        _line,
        _json,
        # One that names a distribution whose entry points cannot be read is CP010's.
        problem=lambda item: not (item.matched or item.unreadable),
    ),
    Finding(
        "CP010",
        "unreadable_metadata",
        "a metadata file of an installed distribution that cannot be read",
        _Loaded.unreadable,
        _line,
        _json,
    ),
)


def problem_list() -> str:
    """Return the kinds of problem as one phrase: "a ..., a ... and a ..."."""
    docs = [finding.doc for finding in FINDINGS]
    return ", ".join(docs[:-1]) + ", and " + docs[-1]
