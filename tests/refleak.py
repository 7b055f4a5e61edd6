"""Refleak hunt for a debug interpreter: every operation's total reference count is stable.

Run with a debug build of the interpreter (it has ``sys.gettotalrefcount``)
and the package on ``PYTHONPATH``. After a warm-up, each case runs in several
rounds; a case leaks when the interpreter's total reference count grows in
every one of the last rounds, as CPython's own refleak hunting judges it.
Exits with status 1 when any case leaks.
"""

import gc
import sys

from corvane.core import pluginmanager
from operations import EntryPoint, build_cases, run

WARMUP = 50
ROUNDS = 6
CALLS = 200
JUDGED = 3


class Quiet:
    def debug(self, text: str) -> None:
        pass


def deltas(call, expected) -> list[int]:
    """Return the growth of the total reference count over each round."""
    for _ in range(WARMUP):
        run(call, expected)
    growth = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(CALLS):
            run(call, expected)
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    return growth


def external_cases() -> list:
    """Return discovery cases with a rebound entry_points, one loading and one failing."""
    cases = []
    for fails in (False, True):
        points = [EntryPoint("ep", fails)]

        def discover(points=points):
            saved = pluginmanager.entry_points
            pluginmanager.entry_points = lambda group: points
            try:
                pluginmanager.PluginManager.discover_external_plugins()
            finally:
                pluginmanager.entry_points = saved

        cases.append(
            (f"discover external, load fails={fails}", discover, ImportError if fails else None)
        )
    return cases


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug build of the interpreter", file=sys.stderr)
        return 2
    pluginmanager.log = Quiet()
    cases = [(name, call, expected) for name, _, call, expected in build_cases()]
    # What the measuring itself holds at the end of a round, with a call that does nothing.
    baseline = deltas(lambda: None, None)
    leaks = 0
    for name, call, expected in cases + external_cases():
        growth = [
            delta - base for delta, base in zip(deltas(call, expected), baseline, strict=True)
        ]
        leaked = all(delta > 0 for delta in growth[-JUDGED:])
        leaks += leaked
        print(f"{'LEAK' if leaked else 'ok  '} {name}: {growth}")
    print(f"refleak: {len(cases) + 2 - leaks} passed, {leaks} failed")
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
