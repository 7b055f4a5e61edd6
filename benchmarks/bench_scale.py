"""Loading at scale: ``load_plugins``, ``check`` and ``which`` with N installed plugins.

Compares, in one run, on N small distributions made in a temporary folder
(each a ``.dist-info`` folder on a path entry, with one entry point of the
group ``corvane.plugins`` naming a module that registers one class; no pip):

- in a fresh interpreter, the time of the call alone (everything imported
  before the clock starts): a bare loop importing the built-in plugin modules
  and the N modules, against ``corvane.registry.load_plugins()``,
  ``corvane.check.check_plugins()``, the listing of the entry points in
  loading order (the share of the metadata), and pluggy's
  ``PluginManager.load_setuptools_entrypoints`` and stevedore's
  ``ExtensionManager(..., invoke_on_load=False)`` when they are installed
  (each also imports the built-in plugin modules first);
- whole processes: ``python -c "import corvane.core.pluginmanager"`` and a
  process running the bare loop, against ``corvane-plugins which``, ``list``
  and ``check``.

Every configuration runs in a fresh subprocess, the configurations of one
size interleaved (the order turned each repeat), after one warm-up run of
each that writes the bytecode (and stevedore's cache); each figure is the
median of the repeats. Run it from an ordinary install, not an editable one,
whose rebuild check on import would dominate::

    pip install '.[bench]'
    python benchmarks/bench_scale.py [--sizes 0,50,1000] [--repeats 7] [--instructions] [--check]

It prints the targets with what this run measured; a missed target fails
the run (exit status 1) only with ``--check``.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import instructions  # the benchmarks' own helpers, beside this file
import targets

GROUP = "corvane.plugins"
PREFIX = "cvbench_p"
BUILTIN = ["corvane.plugins", "corvane.plugins.generic", "corvane.plugins.linux"]

MODULE = """from corvane.registry import plugin_manager


class Conn{n}:
    pass


plugin_manager.register_plugin(Conn{n}, os="bos{n}")
"""

METADATA = """Metadata-Version: 2.1
Name: {name}
Version: 1.0
Summary: Benchmark plugin {n}
Requires-Python: >=3.11
License: Apache-2.0

A benchmark plugin for corvane.
"""

# What each in-process configuration imports before its clock starts, and
# what it times. NAMES is the list of the N modules, in order.
SETUP = "import importlib, json, sys, time\nimport corvane.registry\n"
CHILD = {
    "bare": (
        "",
        "for name in BUILTIN + NAMES:\n    importlib.import_module(name)\n",
    ),
    "load_plugins": ("from corvane.registry import load_plugins\n", "load_plugins()\n"),
    # The cache of installed plugins removed before the clock starts: the
    # scan runs, and the cache is written.
    "load_plugins_cold": (
        "import os, shutil\n"
        "shutil.rmtree(os.path.join(os.environ['XDG_CACHE_HOME'], 'corvane'), True)\n"
        "from corvane.registry import load_plugins\n",
        "load_plugins()\n",
    ),
    "load_plugins_off": ("from corvane.registry import load_plugins\n", "load_plugins()\n"),
    "check_plugins": ("from corvane.check import check_plugins\n", "check_plugins()\n"),
    "discovery": (
        "try:\n    from corvane.installed import scan\n"
        "except ImportError:\n    from corvane.loading import entry_points_in_order as scan\n",
        "scan()\n",
    ),
    "pluggy": (
        "import pluggy\npm = pluggy.PluginManager('corvane')\n",
        "for name in BUILTIN:\n    importlib.import_module(name)\n"
        f"pm.load_setuptools_entrypoints({GROUP!r})\n",
    ),
    "stevedore": (
        "from stevedore import ExtensionManager\n",
        "for name in BUILTIN:\n    importlib.import_module(name)\n"
        f"ExtensionManager({GROUP!r}, invoke_on_load=False)\n",
    ),
}
# The environment of a configuration, where it differs.
CHILD_ENV = {"load_plugins_off": {"CORVANE_PLUGINS_CACHE": "off"}}
LIBRARY_LABELS = {
    "bare": "bare import loop",
    "load_plugins": "load_plugins(), cache warm",
    "load_plugins_cold": "load_plugins(), cache cold (written)",
    "load_plugins_off": "load_plugins(), cache off",
    "check_plugins": "check_plugins()",
    "discovery": "entry points listed in loading order (cache warm)",
    "pluggy": "pluggy load_setuptools_entrypoints",
    "stevedore": "stevedore ExtensionManager (its cache warm)",
}
PROCESS_LABELS = {
    "import": 'python -c "import corvane.core.pluginmanager"',
    "bare_process": "python: the bare import loop",
    "which": "corvane-plugins which --os generic",
    "list": "corvane-plugins list",
    "check": "corvane-plugins check",
}


def write_distributions(root: Path, count: int) -> list[str]:
    """Write ``count`` distributions on the path entry ``root``; returns their
    modules' names."""
    root.mkdir(parents=True)
    names = []
    for n in range(count):
        module = f"{PREFIX}{n:04d}"
        distribution = module.replace("_", "-")
        (root / f"{module}.py").write_text(MODULE.format(n=n))
        info = root / f"{module}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(METADATA.format(name=distribution, n=n))
        (info / "entry_points.txt").write_text(f"[{GROUP}]\np{n:04d} = {module}\n")
        (info / "top_level.txt").write_text(f"{module}\n")
        names.append(module)
    return names


def child_code(config: str, names_file: Path) -> str:
    """Return the program of an in-process configuration: it prints the
    seconds of the timed part."""
    before, timed = CHILD[config]
    return (
        SETUP
        + f"BUILTIN = {BUILTIN!r}\n"
        + f"NAMES = json.loads(open({str(names_file)!r}).read())\n"
        + before
        + "started = time.perf_counter()\n"
        + timed
        + "print(time.perf_counter() - started)\n"
    )


def tool() -> list[str]:
    """Return the command line of the installed ``corvane-plugins``."""
    script = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    if script is None:
        return [sys.executable, "-m", "corvane"]
    return [sys.executable, script]


def process_commands(names_file: Path) -> dict[str, list[str]]:
    """Return the whole-process configurations, by key."""
    bare = (
        "import importlib, json\nimport corvane.registry\n"
        f"for name in {BUILTIN!r} + json.loads(open({str(names_file)!r}).read()):\n"
        "    importlib.import_module(name)\n"
    )
    return {
        "import": [sys.executable, "-c", "import corvane.core.pluginmanager"],
        "bare_process": [sys.executable, "-c", bare],
        "which": [*tool(), "which", "--os", "generic"],
        "list": [*tool(), "list"],
        "check": [*tool(), "check"],
    }


def available(config: str) -> bool:
    """Whether the configuration can run here (pluggy and stevedore are optional)."""
    if config in ("pluggy", "stevedore"):
        return importlib.util.find_spec(config) is not None
    return True


def run_once(config: str, command: list[str], env: dict[str, str], in_process: bool) -> float:
    """Run one configuration in a fresh process; return its seconds."""
    started = time.perf_counter()
    result = subprocess.run(
        command,
        env={**env, **CHILD_ENV.get(config, {})},
        cwd=env["CORVANE_BENCH_CWD"],
        stdout=subprocess.PIPE if in_process else subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=False,
    )
    elapsed = time.perf_counter() - started
    # check exits 1 when it reports problems; anything else is a broken run.
    if result.returncode not in (0, 1) or (in_process and result.returncode):
        raise SystemExit(f"{config} failed ({result.returncode}):\n{result.stderr}")
    return float(result.stdout.strip().splitlines()[-1]) if in_process else elapsed


@dataclass
class Size:
    """The medians measured with one number of installed plugins, by configuration key."""

    count: int
    library: dict[str, float]
    process: dict[str, float]
    # Instructions of the call alone, by configuration (--instructions).
    instructions: dict[str, float] = field(default_factory=dict)

    def ratio(self, table: str, key: str, base: str) -> float | None:
        """Return the ratio of two medians of one table, or None when one is missing."""
        values = getattr(self, table)
        if key not in values or base not in values or not values[base]:
            return None
        return values[key] / values[base]


def count_instructions(
    runs: list[tuple[str, list[str], bool]], env: dict[str, str], client: Path, names_file: Path
) -> dict[str, float]:
    """Count the instructions of the timed part of each in-process
    configuration, once, under callgrind (a fixed hash seed), with the
    client-request module of ``instructions`` zeroing the counters before it
    and dumping them after."""
    env = {**env, "PYTHONPATH": os.pathsep.join([env["PYTHONPATH"], str(client)])}
    env["PYTHONHASHSEED"] = "0"
    programs = {}
    for key, _, in_process in runs:
        if in_process:
            code = child_code(key, names_file).replace(
                "started = time.perf_counter()\n",
                "import corvane_callgrind as client\nclient.zero()\n",
            )
            programs[key] = code.replace(
                "print(time.perf_counter() - started)\n", "client.dump('timed')\nprint(0)\n"
            )
    for key, code in programs.items():  # warm-up: this path's cache and bytecode written
        run_once(key, [sys.executable, "-c", code], env, True)
    time.sleep(2.5)
    run_once("load_plugins", [sys.executable, "-c", programs["load_plugins"]], env, True)
    counts = {}
    # Not in the client's folder, which is a path entry the cache checks.
    dumps = client.parent / "dumps"
    dumps.mkdir(exist_ok=True)
    for key, code in programs.items():
        for old in dumps.iterdir():
            old.unlink()
        out = dumps / "scale.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable]
        run_once(key, [*command, "-c", code], env, True)
        for dump in dumps.iterdir():
            text = dump.read_text(errors="replace")
            if "Client Request: timed" in text:
                total = re.search(r"^(?:summary|totals): (\d+)", text, re.MULTILINE)
                counts[key] = float(total.group(1)) if total else 0.0
    return counts


def measure(count: int, repeats: int, scratch: Path, client: Path | None = None) -> Size:
    """Measure every configuration with ``count`` plugins installed (and count
    instructions, with the client module built in ``client``)."""
    site = scratch / f"n{count}"
    names = write_distributions(site, count)
    names_file = scratch / f"names{count}.json"
    names_file.write_text(json.dumps(names))
    env = {
        key: value
        for key, value in os.environ.items()
        if key not in ("CORVANE_PLUGINS_DISABLE", "PYTHONDONTWRITEBYTECODE", "COLUMNS")
    }
    env["PYTHONPATH"] = str(site)
    # stevedore keeps its cache of entry points here, and so does corvane,
    # not in the user's home.
    env["XDG_CACHE_HOME"] = str(scratch / "cache")
    env.pop("CORVANE_PLUGINS_CACHE", None)
    # The working folder is on sys.path ("" for python -c): one that nothing
    # writes to while the configurations run.
    env["CORVANE_BENCH_CWD"] = str(scratch / "cwd")
    (scratch / "cwd").mkdir(exist_ok=True)
    runs: list[tuple[str, list[str], bool]] = [
        (key, [sys.executable, "-c", child_code(key, names_file)], True)
        for key in CHILD
        if available(key)
    ]
    runs += [(key, command, False) for key, command in process_commands(names_file).items()]
    samples: dict[str, list[float]] = {key: [] for key, _, _ in runs}
    for key, command, in_process in runs:  # warm-up: bytecode and caches written
        run_once(key, command, env, in_process)
    # The cache of installed plugins is not written while anything it checks
    # changed within the last two seconds (the bytecode of the N modules was
    # just written beside them): written once that passed.
    time.sleep(2.5)
    commands = {key: command for key, command, _ in runs}
    run_once("load_plugins", commands["load_plugins"], env, True)
    for repeat in range(repeats):
        turn = repeat % len(runs)
        for key, command, in_process in runs[turn:] + runs[:turn]:
            samples[key].append(run_once(key, command, env, in_process))
    medians = {key: statistics.median(values) for key, values in samples.items()}
    library = {key: medians[key] for key in CHILD if key in medians}
    process = {key: medians[key] for key in PROCESS_LABELS}
    counted = count_instructions(runs, env, client, names_file) if client else {}
    return Size(count, library, process, counted)


def fmt(value: float | None, digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def print_library_table(sizes: list[Size], header: list[str], kind: str, scale: float) -> None:
    """Print the in-process configurations' figures of ``kind`` ("library",
    seconds, or "instructions"), each times ``scale``, with the ratio to the
    bare loop."""
    print("| " + " | ".join(header) + " |")
    print("|---" + "|---:" * len(sizes) + "|")
    for key, label in LIBRARY_LABELS.items():
        cells = []
        for size in sizes:
            figures = getattr(size, kind)
            if key not in figures:
                cells.append("-")
                continue
            ratio = size.ratio(kind, key, "bare")
            cells.append(f"{figures[key] * scale:.1f} ({fmt(ratio)}x)")
        print(f"| {label} | " + " | ".join(cells) + " |")


def print_tables(sizes: list[Size], repeats: int) -> None:
    print(f"Medians of {repeats} repeats, each configuration in a fresh process.")
    print()
    print("In the process, the call alone (ms; ratio to the bare import loop of the same size):")
    print()
    header = ["configuration", *(f"N = {size.count:,}" for size in sizes)]
    print_library_table(sizes, header, "library", 1e3)
    if any(size.instructions for size in sizes):
        print()
        print("The call alone, instructions (millions; ratio to the bare import loop):")
        print()
        print_library_table(sizes, header, "instructions", 1e-6)
    print()
    print(
        "Whole processes (ms; ratio to the import of the extension; "
        "ratio to the bare loop's process):"
    )
    print()
    print("| " + " | ".join(header) + " |")
    print("|---" + "|---:" * len(sizes) + "|")
    for key, label in PROCESS_LABELS.items():
        cells = []
        for size in sizes:
            to_import = size.ratio("process", key, "import")
            to_bare = size.ratio("process", key, "bare_process")
            cells.append(f"{size.process[key] * 1e3:.1f} ({fmt(to_import)}x; {fmt(to_bare)}x)")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()
    for size in sizes:
        print(
            f"N = {size.count:,}: check/list {fmt(size.ratio('process', 'check', 'list'))}x; "
            f"entry points listed: {fmt(size.ratio('library', 'discovery', 'load_plugins'))} "
            "of load_plugins()"
        )


def scale_targets(sizes: list[Size]) -> list[targets.Target]:
    """Return the targets, evaluated on the sizes measured (none measured: all
    None); the calls' on their instruction counts when they were counted."""
    by_count = {size.count: size for size in sizes}
    large, small, empty = by_count.get(1000), by_count.get(50), by_count.get(0)

    def ratio(size: Size | None, table: str, key: str, base: str) -> float | None:
        # The calls' ratios from their instruction counts, when counted.
        if size is not None and table == "library" and size.instructions:
            table = "instructions"
        return None if size is None else size.ratio(table, key, base)

    def below(size: Size | None, key: str, other: str) -> float | None:
        # The ratio of two configurations' ratios to the bare loop.
        mine, theirs = ratio(size, "library", key, "bare"), ratio(size, "library", other, "bare")
        return None if mine is None or not theirs else mine / theirs

    return [
        targets.Target(
            "N = 50: load_plugins()/bare loop <= 1.25, cache warm",
            ratio(small, "library", "load_plugins", "bare"),
            1.25,
            False,
        ),
        targets.Target(
            "N = 1,000: load_plugins()/bare loop <= 1.35, cache warm",
            ratio(large, "library", "load_plugins", "bare"),
            1.35,
            False,
        ),
        *(
            targets.Target(
                f"N = {count}: load_plugins(), cache warm, below stevedore's (ratio < 1)",
                below(size, "load_plugins", "stevedore"),
                1.0,
                False,
            )
            for count, size in (("50", small), ("1,000", large))
        ),
        *(
            targets.Target(
                f"N = {count}: load_plugins(), cache cold, over the cache off <= 1.05",
                ratio(size, "library", "load_plugins_cold", "load_plugins_off"),
                1.05,
                False,
            )
            for count, size in (("50", small), ("1,000", large))
        ),
        targets.Target(
            "N = 1,000: load_plugins()/bare loop over pluggy's <= 1",
            below(large, "load_plugins", "pluggy"),
            1.0,
            False,
        ),
        targets.Target(
            "N = 1,000: corvane-plugins check/list <= 1.15",
            ratio(large, "process", "check", "list"),
            1.15,
            False,
        ),
        targets.Target(
            'N = 0: corvane-plugins which/python -c "import corvane.core.pluginmanager" <= 1.15',
            ratio(empty, "process", "which", "import"),
            1.15,
            False,
        ),
    ]


def main(argv: list[str] | None = None) -> int:
    """Run the benchmark and print its tables and targets; return the exit status."""
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog=targets.listing("targets", scale_targets([])),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--sizes", default="0,50,1000", help="numbers of plugins installed (default: 0,50,1000)"
    )
    parser.add_argument("--repeats", type=int, default=7, help="runs of each (default: 7)")
    targets.add_check_option(parser)
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the medians here")
    parser.add_argument(
        "--instructions",
        action="store_true",
        help="also count the instructions of each call alone under callgrind, once",
    )
    args = parser.parse_args(argv)
    counts = [int(part) for part in args.sizes.split(",") if part.strip()]
    print(
        "Compares load_plugins(), check_plugins() and the listing of the entry points with a "
        "bare loop importing the same modules (pluggy and stevedore beside them when installed), "
        'and corvane-plugins which, list and check with python -c "import '
        'corvane.core.pluginmanager" and a process running the bare loop, with N plugins '
        f"installed as distributions on a path entry; Python {sys.version.split()[0]}."
    )
    print("Targets: " + "; ".join(target.text for target in scale_targets([])))
    missing = [name for name in ("pluggy", "stevedore") if not available(name)]
    if missing:
        print(f"Note: {' and '.join(missing)} not installed: left out (pip install '.[bench]')")
    print()
    with tempfile.TemporaryDirectory(prefix="corvane-scale-") as scratch:
        client = None
        if args.instructions:
            client = Path(scratch) / "client"
            client.mkdir()
            try:
                instructions.build_client(client)
            except instructions.Unavailable as error:
                print(f"Note: no instruction counts: {error}")
                client = None
        sizes = [measure(count, args.repeats, Path(scratch), client) for count in counts]
    print_tables(sizes, args.repeats)
    print()
    print("Targets:")
    checks = scale_targets(sizes)
    targets.print_targets(checks)
    if args.json:
        args.json.write_text(
            json.dumps(
                [
                    {
                        "count": s.count,
                        "library": s.library,
                        "process": s.process,
                        "instructions": s.instructions,
                    }
                    for s in sizes
                ],
                indent=2,
            )
        )
    return targets.report_end(checks, args.check)


if __name__ == "__main__":
    sys.exit(main())
