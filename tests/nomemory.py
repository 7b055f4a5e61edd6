"""Allocation-failure sweep: every operation with its allocations failing from the n-th on.

For each operation of ``operations.build_cases()`` and every n from 1 until the
operation runs as it does unhindered, allocations fail from the n-th onwards
(``_testcapi.set_nomemory``). Each run must end in MemoryError, in the
operation's own outcome, or in another ordinary exception that an allocation
failure can cause inside the interpreter; never in a crash or SystemError (a
native function that returned NULL without an exception, or a result with
one set). Run it against the sanitizer build. Exits with status 1 on failure.
"""

import _testcapi
import sys
from types import SimpleNamespace

from corvane.core import pluginmanager
from operations import EntryPoint, build_cases

MOST_ALLOCATIONS = 20_000


class Quiet:
    def debug(self, text: str) -> None:
        pass


def attempt(call, start: int) -> BaseException | None:
    """Return what ``call`` raised with allocations failing from ``start`` on."""
    _testcapi.set_nomemory(start, 0)
    try:
        call()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return error
    _testcapi.remove_mem_hooks()
    return None


def sweep(name: str, call, expected) -> list[str]:
    """Return the problems found for one operation."""
    problems = []
    for start in range(1, MOST_ALLOCATIONS):
        error = attempt(call, start)
        if isinstance(error, SystemError):
            problems.append(f"{name}: allocation {start}: {error!r}")
            continue
        if error is None and expected is None:
            return problems
        if expected is not None and type(error) is expected:
            return problems
    problems.append(f"{name}: did not complete within {MOST_ALLOCATIONS} allocations")
    return problems


def discovery_cases() -> list:
    """Return discovery cases over stand-in services.

    The standard library's package walk is left out. Up to 3.13 it loops
    forever with allocations failing, by CPython's own doing: exception
    unwinding retries without end when it cannot make the int of the failing
    instruction's offset (above 256) for a handler that records it (a
    ``finally``, ``with`` or unmatched ``except``), which the walk and the
    import system have. From 3.14 on it ends, but takes tens of thousands of
    allocations to run unhindered.
    """

    def walk_packages(path, prefix):
        return iter([(None, prefix + "generic", True), (None, prefix + "generic.tests", False)])

    pluginmanager.pkgutil = SimpleNamespace(walk_packages=walk_packages)
    pluginmanager.importlib = SimpleNamespace(import_module=lambda name: None)
    points = [EntryPoint("ok", False), EntryPoint("broken", True)]
    pluginmanager.entry_points = lambda **group: points if group else {}
    discover = pluginmanager.PluginManager.discover_builtin_plugins
    external = pluginmanager.PluginManager.discover_external_plugins
    return [
        ("discover builtin", None, discover, None),
        ("discover external", None, external, ImportError),
    ]


def main() -> int:
    if not hasattr(_testcapi, "set_nomemory"):
        print("nomemory: this interpreter's _testcapi cannot fail allocations", file=sys.stderr)
        return 2
    pluginmanager.log = Quiet()
    problems = []
    # The hooks of the tripping cases raise and catch exceptions of their own
    # while allocations fail, which makes CPython itself abort, recording a
    # traceback in the sweep's own frame (_PyErr_NormalizeException).
    cases = [
        case
        for case in build_cases()
        if case[0] != "discover builtin" and not case[0].endswith("a hook raising")
    ]
    cases += discovery_cases()
    only = set(sys.argv[1:])
    for name, _, call, expected in cases:
        if only and name not in only:
            continue
        found = sweep(name, call, expected)
        print(f"{'FAIL' if found else 'ok  '} {name}", flush=True)
        problems += found
    for problem in problems:
        print(problem)
    print(f"nomemory: {len(cases)} operations swept, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
