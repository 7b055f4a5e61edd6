"""Checking an installation's plugins: what each registered and what went wrong.

``check_plugins`` loads the plugins through ``load_plugins`` (each built-in
module and each entry point on its own, going on after a failure) and
reports the registrations of each plugin, the plugins that failed or
registered nothing, the registrations that two plugins made for the same key
path and chassis type (but for a replacement declared with ``replaces=``),
and the installed distributions whose entry points sit in a group whose name
is close to the package's, which are never loaded.
"""

from __future__ import annotations

import difflib
import re
from collections import Counter
from dataclasses import dataclass, field
from importlib.metadata import distributions
from typing import Any

from corvane import registry
from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.keys import class_name, key_path_json
from corvane.registry import NothingRegistered, Override, PluginFailure, Source

__all__ = ["CheckReport", "NearMissGroup", "check_plugins", "near_miss_groups"]

# Group names this similar to the package's (difflib ratio, after normalising)
# count as a misspelling of it.
_CLOSENESS = 0.85


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

    @property
    def problems(self) -> int:
        """The number of problems reported: everything but the counts."""
        return (
            len(self.failures)
            + len(self.registered_nothing)
            + len(self.conflicts)
            + len(self.near_misses)
        )

    def lines(self) -> list[str]:
        """Return the report as text lines: the counts, then each problem."""
        lines = ["registrations per plugin:"]
        lines += [f"  {count:>3}  {source.describe()}" for source, count in self.counts]
        if not self.counts:
            lines.append("  none: no plugin registered anything")
        if not self.problems:
            return [*lines, "", "nothing to report"]
        lines += ["", "problems:"]
        for failure in self.failures:
            lines.append(f"  {failure.describe()}")
            lines += [f"    {line}" for line in failure.traceback_lines()]
        lines += [f"  {item.describe()}" for item in self.registered_nothing]
        lines += [f"  conflict at {override.describe()}" for override in self.conflicts]
        lines += [f"  {group.describe()}" for group in self.near_misses]
        noun = "problem" if self.problems == 1 else "problems"
        return [*lines, "", f"{self.problems} {noun} found"]

    def as_json(self) -> dict[str, Any]:
        """Return the report as a JSON-ready object with one key per kind of finding."""
        return {
            "registrations": [
                {"source": source.as_json(), "count": count} for source, count in self.counts
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
            "problems": self.problems,
        }


def check_plugins(external: bool = True) -> CheckReport:
    """Load the plugins of this process and report on each of them.

    Runs ``load_plugins(external, keep_going=True)``, so it must come before
    any other call of ``load_plugins`` in the process. Distributions are
    searched for misspelt groups whether or not ``external`` is set.

    Returns:
        A ``CheckReport``.

    Raises:
        RuntimeError: when the plugins of this process were already loaded.
    """
    report = registry.load_plugins(external, keep_going=True)
    if not report.loaded:
        raise RuntimeError("the plugins were already loaded in this process: nothing to check")
    counts = Counter(registration.source for registration in report.registrations)
    ordered = [(source, counts[source]) for source in counts]
    ordered += [(item.source, 0) for item in report.registered_nothing]
    return CheckReport(
        counts=ordered,
        failures=list(report.failures),
        registered_nothing=list(report.registered_nothing),
        conflicts=[o for o in report.overrides if o.is_conflict],
        near_misses=near_miss_groups(),
    )


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
