"""Wall clock of ``load_plugins`` against a bare loop importing the same modules.

Writes a plugin package of ``--modules`` modules (each registers one class),
points ``corvane.plugins`` at it and, alternating in one process, times

- a bare loop: ``importlib.import_module`` of every module, in walk order;
- ``load_plugins(external=False)``: the same imports, with the walk, the
  sources, the overrides and the taking back of failed plugins;
- ``load_plugins()``: the same and the entry points of the group.

Each run starts from modules not imported and an empty registry. Prints the
medians of the wall clock and of the CPU time (steadier on a shared machine),
their ratios to the bare loop, and the number of calls of
``importlib.metadata.entry_points`` one ``load_plugins()`` makes. With
``--instructions`` it also counts the instructions of one run of each under
callgrind (they repeat exactly, where the wall clock moves by 15%).

It holds loading to no target: the figures show what ``load_plugins`` adds
to the imports it makes, for judging a change to it, and the exit status is
0 whatever they are.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from importlib import metadata
from pathlib import Path
from typing import Any

import corvane.plugins
import instructions  # the benchmarks' own helper, beside this file
from corvane import registry

PACKAGE = "bench_loading_plugins"
MODULE = """from corvane.registry import plugin_manager


class Conn{n}:
    pass


plugin_manager.register_plugin(Conn{n}, os="os{n}")
"""


def write_plugins(root: Path, count: int) -> list[str]:
    """Write the plugin package; returns its modules' names in walk order."""
    package = root / PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text("")
    for n in range(count):
        (package / f"m{n:04d}.py").write_text(MODULE.format(n=n))
    prefix = f"{corvane.plugins.__name__}.{PACKAGE}"
    return [prefix, *(f"{prefix}.m{n:04d}" for n in range(count))]


def forget(names: list[str]) -> None:
    for name in names:
        sys.modules.pop(name, None)
    registry.reset()


def timed(run: Callable[[], Any], names: list[str]) -> tuple[float, float]:
    """Run once from scratch; returns the wall-clock and CPU seconds it took."""
    forget(names)
    # The modules just forgotten are cycles: collected now, not inside a run.
    gc.collect()
    wall, cpu = time.perf_counter(), time.thread_time()
    run()
    return time.perf_counter() - wall, time.thread_time() - cpu


def the_runs(names: list[str]) -> dict[str, Callable[[], Any]]:
    """Return the runs to compare, by label, the bare loop first."""

    def bare() -> None:
        for name in names:
            importlib.import_module(name)

    return {
        "bare import loop": bare,
        "load_plugins(external=False)": lambda: registry.load_plugins(external=False),
        "load_plugins()": registry.load_plugins,
    }


def instruction_child(modules: int) -> None:
    """Count one run of each in this process, which runs under callgrind."""
    import corvane_callgrind as client  # built by instructions.build_client

    if not client.running():
        raise SystemExit("--instructions-child runs under callgrind only")
    sys.dont_write_bytecode = False
    with tempfile.TemporaryDirectory() as tmp:
        names = write_plugins(Path(tmp), modules)
        corvane.plugins.__path__ = [tmp]
        runs = the_runs(names)
        for run in runs.values():
            timed(run, names)
        for label, run in runs.items():
            forget(names)
            gc.collect()
            instructions.measure(label, run, client)
        forget(names)


def count_instructions(modules: int) -> dict[str, int] | str:
    """Run this benchmark under callgrind; returns the instructions by label, or why not."""
    with tempfile.TemporaryDirectory(prefix="corvane-callgrind-") as scratch:
        try:
            folder = instructions.build_client(Path(scratch))
            arguments = ["--instructions-child", "--modules", str(modules)]
            return instructions.run(Path(__file__), arguments, folder)
        except instructions.Unavailable as error:
            return f"instruction counts skipped: {error}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=202, help="plugin modules (default: 202)")
    parser.add_argument("--runs", type=int, default=21, help="runs of each (default: 21)")
    parser.add_argument(
        "--instructions",
        action="store_true",
        help="also count the instructions of one run of each under callgrind (needs valgrind)",
    )
    parser.add_argument("--instructions-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.instructions_child:
        instruction_child(args.modules)
        return
    counts = count_instructions(args.modules) if args.instructions else None
    # Installed plugins import from their cached bytecode: so do these.
    sys.dont_write_bytecode = False
    saved = registry.snapshot()
    with tempfile.TemporaryDirectory() as tmp:
        names = write_plugins(Path(tmp), args.modules)
        corvane.plugins.__path__ = [tmp]
        runs = the_runs(names)
        # Once each first, so that every run finds the bytecode cached.
        for run in runs.values():
            timed(run, names)
        times: dict[str, list[tuple[float, float]]] = {label: [] for label in runs}
        for _ in range(args.runs):
            for label, run in runs.items():
                times[label].append(timed(run, names))

        calls = 0
        listing = metadata.entry_points

        def counting(**kwargs: Any) -> Any:
            nonlocal calls
            calls += 1
            return listing(**kwargs)

        metadata.entry_points = counting  # type: ignore[assignment]
        try:
            forget(names)
            registry.load_plugins()
        finally:
            metadata.entry_points = listing
        forget(names)
    registry.restore(saved)

    print(
        f"Compares: load_plugins() against a bare loop importing the same {args.modules} plugin "
        "modules, in one process, each run from modules not imported and an empty registry. "
        "No targets: the ratios show what loading adds to the imports."
    )
    print(f"{args.modules} plugin modules, {args.runs} runs each, medians (wall clock; CPU):")
    bare = times["bare import loop"]
    base = [statistics.median(t[i] for t in bare) for i in (0, 1)]
    for label, values in times.items():
        wall, cpu = (statistics.median(t[i] for t in values) for i in (0, 1))
        print(
            f"  {label:<30} {wall * 1e3:8.2f} ms {wall / base[0]:5.2f}x;"
            f" {cpu * 1e3:8.2f} ms {cpu / base[1]:5.2f}x"
        )
    print(f"importlib.metadata.entry_points calls in one load_plugins(): {calls}")
    if isinstance(counts, str):
        print(counts)
    elif counts is not None:
        print("instructions of one run under callgrind:")
        for label, count in counts.items():
            ratio = count / counts["bare import loop"]
            print(f"  {label:<30} {count:>12,} {ratio:5.3f}x")


if __name__ == "__main__":
    main()
