"""The targets of the benchmarks, and how a run reports them.

A target is a bound that one figure of a run is held to, most often a ratio
taken within that run (``model/ext >= 6``: the model takes at least six times
as long as the extension). Every run prints each target with the value it
measured and whether it was met. A missed target is reported and nothing
more: the run exits with status 1 for it only with ``--check``, so that a
benchmark run on a loaded machine is not a failure unless it was asked to be
one. A target the run did not measure (a variant that is missing, rows left
out) is listed as such and never fails a run.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterable
from dataclasses import dataclass


@dataclass
class Target:
    """One target, with what this run measured (None: not measured)."""

    text: str
    value: float | None
    limit: float
    at_least: bool

    @property
    def met(self) -> bool | None:
        """Returns whether the target is met, or None when it was not measured."""
        if self.value is None:
            return None
        return self.value >= self.limit if self.at_least else self.value <= self.limit


CHECK_HELP = (
    "exit with status 1 when a measured target is missed (without it, a missed target is "
    "reported and the exit status is 0)"
)


def add_check_option(parser: argparse.ArgumentParser) -> None:
    """Adds ``--check`` to a benchmark's options."""
    parser.add_argument("--check", action="store_true", help=CHECK_HELP)


def listing(title: str, checks: Iterable[Target]) -> str:
    """Returns the targets' texts under ``title``, as lines of a ``--help`` epilog."""
    return f"{title}:\n" + "\n".join(f"  {check.text}" for check in checks)


def print_targets(checks: list[Target]) -> None:
    """Prints each target with what this run measured."""
    for check in checks:
        state = {True: "met", False: "NOT met", None: "not measured"}[check.met]
        value = "-" if check.value is None else f"{check.value:.2f}"
        print(f"- {check.text}: {value} ({state})")


def summary(checks: list[Target]) -> str:
    """Returns one line counting the targets met, missed and not measured."""
    states = [check.met for check in checks]
    return (
        f"Targets: {states.count(True)} met, {states.count(False)} missed, "
        f"{states.count(None)} not measured."
    )


def exit_status(checks: list[Target], check: bool) -> int:
    """Returns the exit status of a run: 1 with ``check`` when a measured target was missed."""
    return 1 if check and any(target.met is False for target in checks) else 0


def report_end(checks: list[Target], check: bool) -> int:
    """Prints the summary line and what it means for the exit status; returns that status."""
    print(summary(checks))
    missed = sum(target.met is False for target in checks)
    if missed and not check:
        print("A missed target is only reported; --check makes the run exit with status 1.")
    status = exit_status(checks, check)
    if status:
        print(f"--check: {missed} target(s) missed, exit status 1.")
    return status
