"""Times the compiled plugin manager against its pure-Python model, in one run.

Run after installing the package::

    python benchmarks/bench_pluginmanager.py [--quick] [--json PATH]

Every operation is timed for the extension, for the model of
``tests/model`` run as plain Python and for the same model compiled with
Cython into a temporary folder (skipped with a note when Cython is missing).
Variants take turns within each repeat, on the same data; each figure is the
median of the repeats, in nanoseconds per operation, and includes the cost of
the timing loop itself (printed once with the table). Ratios are taken within
this one run. The table ends with the targets the extension is held to.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.util
import json
import os
import platform as host_platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

from corvane.core import pluginmanager as extension

REPO = Path(__file__).resolve().parent.parent
MODEL_SOURCE = REPO / "tests" / "model" / "__init__.py"
MODEL_NAME = "corvane_bench_model"
CYTHON_NAME = "corvane_bench_model_cy"

VARIANTS = ("extension", "model", "cython")

# The realistic registry: every operating system is one the package knows,
# so lookups run all four validators without the unknown-OS debug line.
OS_NAMES = ["generic", "linux", "nimbus", "strata", "vertex"]
PLATFORMS = ["edge", "core", "access", "spine", "leaf", "border"]
MODELS_PER_PLATFORM = 5
CHASSIS = ["single_rp", "dual_rp", "stack"]
FLAVOR = "lts"

# The device every call-sized operation asks about: not "linux", so the
# chassis type is validated too.
PROBE_OS, PROBE_PLATFORM, PROBE_MODEL = "strata", "leaf", "m0"
UNKNOWN_MODEL = "m999"

DISCOVERY_MODULES = 500

Body = Callable[[int], int]


@dataclass
class Operation:
    """One row of the table: how to time it for each variant."""

    key: str
    label: str
    loops: int
    bodies: dict[str, Body] = field(default_factory=dict)


def connection_class(name: str) -> type:
    """Returns a new connection class defined in this file, as plugins are."""
    return type(name, (), {"__module__": __name__})


def load_model() -> ModuleType:
    """Returns the pure-Python model, imported from its source file.

    Raises:
        SystemExit: the model is not in the repository.
    """
    if not MODEL_SOURCE.is_file():
        raise SystemExit(f"the pure-Python model is missing: {MODEL_SOURCE}")
    return load_from(MODEL_NAME, MODEL_SOURCE)


def load_from(name: str, path: Path) -> ModuleType:
    """Returns the module ``name`` imported from ``path`` (source or extension)."""
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def build_cython(folder: Path) -> tuple[Path | None, str]:
    """Compiles a copy of the model with Cython into ``folder``.

    Returns:
        The path of the built extension and an empty note, or None and the
        reason the Cython column is skipped.
    """
    if importlib.util.find_spec("Cython") is None:
        return None, "Cython is not installed (pip install '.[bench]'): Cython column skipped"
    source = folder / f"{CYTHON_NAME}.py"
    shutil.copyfile(MODEL_SOURCE, source)
    c_file = folder / f"{CYTHON_NAME}.c"
    built = folder / f"{CYTHON_NAME}{sysconfig.get_config_var('EXT_SUFFIX')}"
    compiler = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    steps = [
        [sys.executable, "-m", "cython", "-3", str(source), "-o", str(c_file)],
        [
            *compiler,
            "-shared",
            "-fPIC",
            "-O2",
            "-I",
            sysconfig.get_paths()["include"],
            str(c_file),
            "-o",
            str(built),
        ],
    ]
    for step in steps:
        result = subprocess.run(step, capture_output=True, text=True, check=False)
        if result.returncode != 0:
            tail = (result.stderr or result.stdout).strip().splitlines()[-3:]
            return None, f"Cython build failed ({' '.join(step[:3])}...): " + " / ".join(tail)
    return built, ""


def share_services(module: ModuleType) -> None:
    """Gives a model variant the extension's package services, the same objects."""
    for name in ("log", "getfile", "supported_os", "supported_chassis", "ConnectionInfraError"):
        setattr(module, name, getattr(extension, name))


def new_manager(module: ModuleType) -> Any:
    """Returns a manager of ``module`` that knows every OS of the registry."""
    manager = module.PluginManager()
    manager.supported_os = OS_NAMES
    return manager


def realistic_registrations() -> list[tuple[type, dict[str, str]]]:
    """Returns the registry of a package with a few hundred plugins.

    Every OS and every platform has its general class; each model has its
    own, on rotating chassis types, and every fourth model also a flavoured one.
    """
    entries: list[tuple[type, dict[str, str]]] = []
    count = 0
    for os_name in OS_NAMES:
        entries.append((connection_class(f"{os_name.title()}Connection"), {"os": os_name}))
        for platform in PLATFORMS:
            entries.append(
                (
                    connection_class(f"{os_name.title()}{platform.title()}Connection"),
                    {"os": os_name, "platform": platform},
                )
            )
            for index in range(MODELS_PER_PLATFORM):
                model = f"m{index}"
                description = {
                    "os": os_name,
                    "platform": platform,
                    "model": model,
                    "chassis_type": CHASSIS[index % len(CHASSIS)],
                }
                entries.append((connection_class(f"Model{count}Connection"), description))
                if count % 4 == 0:
                    entries.append(
                        (
                            connection_class(f"Model{count}FlavorConnection"),
                            {**description, "os_flavor": FLAVOR},
                        )
                    )
                count += 1
    return entries


def tree_registrations(total: int) -> list[tuple[type, dict[str, str]]]:
    """Returns ``total`` model-level registrations spread over 5 OSes and 10 platforms."""
    platforms = [f"p{index}" for index in range(10)]
    per_platform = total // (len(OS_NAMES) * len(platforms))
    cls = connection_class("TreeConnection")
    return [
        (
            cls,
            {
                "os": os_name,
                "platform": platform,
                "model": f"m{index}",
                "chassis_type": CHASSIS[index % len(CHASSIS)],
            },
        )
        for os_name in OS_NAMES
        for platform in platforms
        for index in range(per_platform)
    ]


def populated(module: ModuleType, entries: list[tuple[type, dict[str, str]]]) -> Any:
    """Returns a new manager of ``module`` holding ``entries``."""
    manager = new_manager(module)
    for cls, description in entries:
        manager.register_plugin(cls, **description)
    return manager


def timed(run: Callable[[], None]) -> int:
    """Returns the nanoseconds ``run`` takes, with the collector paused as timeit does."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        run()
        return time.perf_counter_ns() - start
    finally:
        if collecting:
            gc.enable()


def call_operations(
    module: ModuleType, registry: list[tuple[type, dict[str, str]]], error: type
) -> dict[str, Body]:
    """Returns the loop bodies of the call-sized operations for one variant."""
    manager = populated(module, registry)
    get_plugin = manager.get_plugin
    validate_arguments = manager.validate_arguments
    probe_cls = connection_class("ProbeConnection")
    os_name, platform, model = PROBE_OS, PROBE_PLATFORM, PROBE_MODEL
    if get_plugin(os=os_name, platform=platform, model=model) is get_plugin(
        os=os_name, platform=platform
    ):
        raise SystemExit("the probe model does not have a class of its own")

    def hit(loops: int) -> int:
        def run() -> None:
            for _ in range(loops):
                get_plugin(os=os_name, platform=platform, model=model)

        return timed(run)

    def fallback(loops: int) -> int:
        def run() -> None:
            for _ in range(loops):
                get_plugin(os=os_name, platform=platform, model=UNKNOWN_MODEL)

        return timed(run)

    def miss(loops: int) -> int:
        def run() -> None:
            for _ in range(loops):
                try:
                    get_plugin(
                        os=os_name, platform=platform, model=UNKNOWN_MODEL, chassis_type="stack"
                    )
                except error:
                    pass

        return timed(run)

    def validate(loops: int) -> int:
        def run() -> None:
            for _ in range(loops):
                validate_arguments(os_name, platform, model, "single_rp")

        return timed(run)

    def register_new(loops: int) -> int:
        fresh = populated(module, registry)
        register = fresh.register_plugin
        models = [f"n{index}" for index in range(loops)]

        def run() -> None:
            for new_model in models:
                register(probe_cls, os=os_name, platform=platform, model=new_model)

        return timed(run)

    def register_override(loops: int) -> int:
        fresh = populated(module, registry)
        register = fresh.register_plugin

        def run() -> None:
            for _ in range(loops):
                register(probe_cls, os=os_name, platform=platform, model=model)

        return timed(run)

    def unregister_register(loops: int) -> int:
        fresh = populated(module, registry)
        register, unregister = fresh.register_plugin, fresh.unregister_plugin

        def run() -> None:
            for _ in range(loops):
                unregister(os=os_name, platform=platform, model=model, chassis_type="single_rp")
                register(probe_cls, os=os_name, platform=platform, model=model)

        return timed(run)

    return {
        "get_hit": hit,
        "get_fallback": fallback,
        "get_miss": miss,
        "validate_arguments": validate,
        "register_new": register_new,
        "register_override": register_override,
        "unregister_register": unregister_register,
    }


def repr_operation(module: ModuleType, total: int) -> Body:
    """Returns the loop body of ``repr()`` of a tree of ``total`` registrations."""
    manager = populated(module, tree_registrations(total))

    def body(loops: int) -> int:
        def run() -> None:
            for _ in range(loops):
                repr(manager)

        return timed(run)

    return body


def floor_body(loops: int) -> int:
    """Times ``dict(...)`` with the keywords of a lookup: a call into C doing almost nothing."""
    os_name, platform, model = PROBE_OS, PROBE_PLATFORM, PROBE_MODEL

    def run() -> None:
        for _ in range(loops):
            dict(os=os_name, platform=platform, model=model)

    return timed(run)


def loop_overhead(loops: int) -> int:
    """Times the bare timing loop, for reference."""

    def run() -> None:
        for _ in range(loops):
            pass

    return timed(run)


def rotated(names: list[str], turn: int) -> list[str]:
    """Returns ``names`` rotated by ``turn``, so that no variant always runs first."""
    turn %= len(names)
    return names[turn:] + names[:turn]


def calibrate(body: Body, most: int, budget_ns: float) -> tuple[int, int]:
    """Finds how many loops of ``body`` fill ``budget_ns``, as timeit's autorange does.

    Returns:
        The number of loops, at most ``most``, and the ns one loop took.
    """
    loops = 1
    while True:
        elapsed = max(1, body(loops))
        if elapsed >= budget_ns or loops >= most:
            return loops, elapsed // loops
        growth = budget_ns / elapsed * 1.2
        loops = most if loops * growth >= most else max(loops * 2, int(loops * growth))


def measure(operation: Operation, repeats: int, budget_ns: float) -> dict[str, list[float]]:
    """Returns, per variant, the ns per operation of every repeat.

    Each variant runs as many loops as fill the budget (at most the
    operation's loops); the calibration doubles as the warm-up. The variants
    take turns within each repeat so that drift of the machine touches them
    alike. An operation slower than a second per call is repeated at most
    three times.
    """
    loops: dict[str, int] = {}
    slowest = 0
    for name, body in operation.bodies.items():
        loops[name], single = calibrate(body, operation.loops, budget_ns)
        slowest = max(slowest, single)
    if slowest > 1e9:
        repeats = min(repeats, 3)
    samples: dict[str, list[float]] = {name: [] for name in operation.bodies}
    for repeat in range(repeats):
        for name in rotated(list(operation.bodies), repeat):
            samples[name].append(operation.bodies[name](loops[name]) / loops[name])
    return samples


DISCOVERY_SCRIPT = textwrap.dedent(
    """
    import importlib, importlib.util, pkgutil, sys, time
    import corvane.plugins
    from corvane.core import pluginmanager
    corvane.plugins.__path__ = [sys.argv[2]]
    variant = sys.argv[1]
    if variant == "baseline":
        def discover():
            for _finder, name, _ispkg in pkgutil.walk_packages(
                corvane.plugins.__path__, corvane.plugins.__name__ + "."
            ):
                importlib.import_module(name)
    elif variant == "extension":
        discover = pluginmanager.PluginManager.discover_builtin_plugins
    else:
        spec = importlib.util.spec_from_file_location(sys.argv[3], sys.argv[4])
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        discover = module.PluginManager.discover_builtin_plugins
    start = time.perf_counter_ns()
    discover()
    elapsed = time.perf_counter_ns() - start
    imported = sum(name.startswith("corvane.plugins.") for name in sys.modules)
    print(elapsed, imported)
    """
)


def generate_plugins(root: Path, count: int) -> Path:
    """Writes a plugin package tree of ``count`` modules under ``root``.

    Returns:
        The folder that stands in for the search path of ``corvane.plugins``.
    """
    tree = root / "plugins"
    per_package = 25
    packages = max(1, count // per_package)
    written = 0
    for index in range(packages):
        package = tree / OS_NAMES[index % len(OS_NAMES)] / f"p{index}"
        package.mkdir(parents=True, exist_ok=True)
        (package.parent / "__init__.py").touch()
        (package / "__init__.py").touch()
        for number in range(per_package):
            if written == count:
                break
            (package / f"m{number}.py").write_text(
                f"class Model{number}Connection:\n    chassis = 'single_rp'\n"
            )
            written += 1
    return tree


def measure_discovery(
    folder: Path, count: int, repeats: int, sources: dict[str, tuple[str, Path]]
) -> tuple[dict[str, list[float]], int]:
    """Times discovery over ``count`` generated modules in fresh subprocesses.

    Returns:
        Per variant the ns of every repeat, and the number of plugin modules
        the extension imported (all generated modules and packages).
    """
    tree = generate_plugins(folder, count)
    script = folder / "discover.py"
    script.write_text(DISCOVERY_SCRIPT)
    variants: dict[str, list[str]] = {"extension": [], "baseline": []}
    for name, (module_name, path) in sources.items():
        variants[name] = [module_name, str(path)]

    def run(variant: str) -> tuple[int, int]:
        command = [sys.executable, str(script), variant, str(tree), *variants[variant]]
        output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        elapsed, imported = output.split()
        return int(elapsed), int(imported)

    run("baseline")  # writes the bytecode caches that every later run reads
    samples: dict[str, list[float]] = {name: [] for name in variants}
    imported = 0
    for repeat in range(repeats):
        for variant in rotated(list(variants), repeat):
            elapsed, modules = run(variant)
            samples[variant].append(float(elapsed))
            if variant == "extension":
                imported = modules
    return samples, imported


IMPORT_PRELUDE = (
    "import os, pkgutil, importlib, inspect, importlib.metadata, logging, "
    "corvane, corvane.plugins, corvane.core.errors"
)


def measure_import(repeats: int, targets: dict[str, tuple[str, str]]) -> dict[str, list[float]]:
    """Returns per variant the self time of its import in ns, from ``-X importtime``.

    Every module the plugin manager imports is imported first, so what is left
    is the module's own work.
    """
    samples: dict[str, list[float]] = {name: [] for name in targets}
    for repeat in range(repeats):
        for name in rotated(list(targets), repeat):
            setup, module = targets[name]
            code = f"{IMPORT_PRELUDE}; {setup}import {module}"
            result = subprocess.run(
                [sys.executable, "-X", "importtime", "-c", code],
                capture_output=True,
                text=True,
                check=True,
            )
            pattern = re.compile(
                r"import time:\s*(\d+)\s*\|\s*\d+\s*\|\s*" + re.escape(module) + "$"
            )
            for line in result.stderr.splitlines():
                found = pattern.match(line.rstrip())
                if found:
                    samples[name].append(int(found.group(1)) * 1000.0)
                    break
            else:
                raise SystemExit(f"no import time reported for {module}")
    return samples


def machine() -> dict[str, str]:
    """Returns the CPU model, core count and Python version of this machine."""
    cpu = host_platform.processor() or "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "cores": str(os.cpu_count()),
        "python": sys.version.split()[0],
        "system": host_platform.platform(),
    }


def median(values: list[float] | None) -> float | None:
    """Returns the median of ``values``, or None when there are none."""
    return statistics.median(values) if values else None


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    """Returns numerator / denominator, or None when either is missing."""
    if numerator is None or not denominator:
        return None
    return numerator / denominator


@dataclass
class Row:
    """The measured medians of one operation."""

    key: str
    label: str
    medians: dict[str, float | None]
    baseline: float | None = None
    samples: dict[str, list[float]] = field(default_factory=dict)


def format_ns(value: float | None) -> str:
    """Returns ``value`` as a column entry."""
    if value is None:
        return "-"
    return f"{value:,.0f}" if value >= 100 else f"{value:,.1f}"


def format_ratio(value: float | None) -> str:
    """Returns a ratio as a column entry."""
    return "-" if value is None else f"{value:.2f}"


def table(rows: list[Row]) -> str:
    """Returns the table of ``rows`` in Markdown."""
    header = [
        "operation",
        "extension ns/op",
        "model ns/op",
        "Cython ns/op",
        "model/ext",
        "Cython/ext",
        "ext/baseline",
    ]
    lines = [
        "| " + " | ".join(header) + " |",
        "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|",
    ]
    for row in rows:
        ext = row.medians.get("extension")
        cells = [
            row.label,
            format_ns(ext),
            format_ns(row.medians.get("model")),
            format_ns(row.medians.get("cython")),
            format_ratio(ratio(row.medians.get("model"), ext)),
            format_ratio(ratio(row.medians.get("cython"), ext)),
            format_ratio(ratio(ext, row.baseline)),
        ]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


@dataclass
class Target:
    """One target of the extension, with what this run measured."""

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


def targets(rows: dict[str, Row]) -> list[Target]:
    """Returns the targets of the extension, evaluated on this run."""

    def versus(key: str, variant: str) -> float | None:
        return ratio(rows[key].medians.get(variant), rows[key].medians.get("extension"))

    def to_baseline(key: str) -> float | None:
        return ratio(rows[key].medians.get("extension"), rows[key].baseline)

    result: list[Target] = []
    for key, name in (("get_hit", "hit"), ("get_fallback", "fallback")):
        result += [
            Target(f"get_plugin {name}: model/ext >= 6", versus(key, "model"), 6, True),
            Target(f"get_plugin {name}: Cython/ext >= 2", versus(key, "cython"), 2, True),
            Target(f"get_plugin {name}: ext/dict floor <= 2", to_baseline(key), 2, False),
        ]
    import_ns = rows["import"].medians.get("extension")
    result += [
        Target("get_plugin miss: model/ext >= 3", versus("get_miss", "model"), 3, True),
        Target(
            "validate_arguments: model/ext >= 5", versus("validate_arguments", "model"), 5, True
        ),
        Target("register_plugin new: model/ext >= 5", versus("register_new", "model"), 5, True),
        Target(
            "register_plugin override: model/ext >= 2",
            versus("register_override", "model"),
            2,
            True,
        ),
        Target("repr() 2,000: model/ext >= 8", versus("repr_2000", "model"), 8, True),
        Target(
            "repr() 1,000 -> 10,000: ext growth <= 11",
            ratio(
                rows["repr_10000"].medians.get("extension"),
                rows["repr_1000"].medians.get("extension"),
            ),
            11,
            False,
        ),
        Target(
            "discover_builtin_plugins(): ext/bare loop <= 1.1", to_baseline("discover"), 1.1, False
        ),
        Target(
            "import self time: ext < 1 ms",
            None if import_ns is None else import_ns / 1e6,
            1.0,
            False,
        ),
    ]
    return result


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    """Returns the command line options."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short run: fewer loops and repeats")
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the raw numbers here")
    parser.add_argument(
        "--loops",
        type=int,
        help="exact loops per repeat of a call-sized operation, instead of as many as fill "
        "the time budget",
    )
    parser.add_argument("--repeats", type=int, help="repeats of every operation")
    parser.add_argument("--no-cython", action="store_true", help="skip the Cython build")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    """Runs the benchmark, prints the table; returns the exit status."""
    args = parse_args(argv)
    loops = args.loops or (2_000 if args.quick else 20_000)
    repeats = args.repeats or (3 if args.quick else 7)
    budget_ns = 2e7 if args.quick else 2e8
    if args.loops:
        budget_ns = float("inf")
    repr_loops = {1000: 100, 2000: 50, 10000: 10}
    if args.loops:
        repr_loops = dict.fromkeys(repr_loops, max(1, args.loops // 1000))

    model = load_model()
    modules: dict[str, ModuleType] = {"extension": extension, "model": model}
    notes: list[str] = []
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as scratch:
        folder = Path(scratch)
        # Each model variant as the discovery subprocess imports it.
        sources: dict[str, tuple[str, Path]] = {"model": (MODEL_NAME, MODEL_SOURCE)}
        if args.no_cython:
            notes.append("Cython column skipped (--no-cython)")
        else:
            built, note = build_cython(folder)
            if built is None:
                notes.append(note)
            else:
                modules["cython"] = load_from(CYTHON_NAME, built)
                sources["cython"] = (CYTHON_NAME, built)
        for name, module in modules.items():
            if name != "extension":
                share_services(module)

        registry = realistic_registrations()
        error = extension.ConnectionInfraError
        labels = {
            "get_hit": "get_plugin hit (os, platform, model)",
            "get_fallback": "get_plugin fallback (model not registered)",
            "get_miss": "get_plugin miss (raise + catch)",
            "validate_arguments": "validate_arguments",
            "register_new": "register_plugin new entry",
            "register_override": "register_plugin override",
            "unregister_register": "unregister_plugin + register_plugin",
        }
        operations = [Operation(key, label, loops) for key, label in labels.items()]
        for name, module in modules.items():
            bodies = call_operations(module, registry, error)
            for operation in operations:
                operation.bodies[name] = bodies[operation.key]
        for total, count in repr_loops.items():
            operation = Operation(f"repr_{total}", f"repr() of {total:,} registrations", count)
            for name, module in modules.items():
                operation.bodies[name] = repr_operation(module, total)
            operations.append(operation)

        # The floor takes turns with the lookups it is compared with.
        for operation in operations[:2]:
            operation.bodies["floor"] = floor_body
        overhead = median(
            measure(Operation("loop", "", loops, {"loop": loop_overhead}), repeats, budget_ns)[
                "loop"
            ]
        )
        rows: dict[str, Row] = {}
        floors: list[float] = []
        for operation in operations:
            samples = measure(operation, repeats, budget_ns)
            rows[operation.key] = Row(
                operation.key,
                operation.label,
                {name: median(samples.get(name)) for name in VARIANTS},
                baseline=median(samples.get("floor")),
                samples=samples,
            )
            floors += samples.get("floor", [])
        rows = {
            "floor": Row(
                "floor",
                "dict(os=, platform=, model=): floor",
                {"extension": median(floors)},
                samples={"extension": floors},
            ),
            **rows,
        }

        discovery, imported = measure_discovery(folder, DISCOVERY_MODULES, repeats, sources)
        rows["discover"] = Row(
            "discover",
            f"discover_builtin_plugins(), {DISCOVERY_MODULES} modules",
            {name: median(discovery.get(name)) for name in VARIANTS},
            baseline=median(discovery["baseline"]),
            samples=discovery,
        )
        rows["discover_baseline"] = Row(
            "discover_baseline",
            "bare walk_packages + import_module loop",
            {"extension": median(discovery["baseline"])},
            samples={"baseline": discovery["baseline"]},
        )

        import_targets = {
            "extension": ("", "corvane.core.pluginmanager"),
            "model": (
                f"import sys; sys.path.insert(0, {str(MODEL_SOURCE.parent.parent)!r}); ",
                "model",
            ),
        }
        if "cython" in sources:
            import_targets["cython"] = (
                f"import sys; sys.path.insert(0, {str(folder)!r}); ",
                CYTHON_NAME,
            )
        # The C++ runtime library is loaded with the extension; preloading it
        # shows how much of the import is the dynamic loader's work.
        if sys.platform.startswith("linux"):
            import_targets["preloaded"] = (
                "import ctypes; ctypes.CDLL('libstdc++.so.6', mode=ctypes.RTLD_GLOBAL); ",
                "corvane.core.pluginmanager",
            )
        imports = measure_import(repeats, import_targets)
        rows["import"] = Row(
            "import",
            "import, self time",
            {name: median(imports.get(name)) for name in VARIANTS},
            samples={name: imports[name] for name in VARIANTS if name in imports},
        )
        if "preloaded" in imports:
            rows["import_preloaded"] = Row(
                "import_preloaded",
                "import, self time, C++ runtime preloaded",
                {"extension": median(imports["preloaded"])},
                samples={"extension": imports["preloaded"]},
            )

    info = machine()
    checks = targets(rows)
    print(
        f"Machine: {info['cpu']}, {info['cores']} cores, Python {info['python']}, {info['system']}"
    )
    print(
        f"Registry: {len(registry)} registrations; {repeats} repeats, medians; "
        + (
            f"each repeat runs {loops:,} loops; "
            if args.loops
            else f"each repeat runs up to {loops:,} loops, as many as fill {budget_ns / 1e6:g} ms; "
        )
        + f"loop overhead {overhead:.1f} ns/op, included."
    )
    if imported:
        print(f"Discovery imported {imported} plugin modules and packages per run.")
    for note in notes:
        print(f"Note: {note}")
    print()
    print(table(list(rows.values())))
    print()
    print("Targets:")
    for check in checks:
        state = {True: "met", False: "NOT met", None: "not measured"}[check.met]
        value = "-" if check.value is None else f"{check.value:.2f}"
        print(f"- {check.text}: {value} ({state})")

    if args.json:
        args.json.write_text(
            json.dumps(
                {
                    "machine": info,
                    "repeats": repeats,
                    "loops": loops,
                    "loop_overhead_ns": overhead,
                    "registrations": len(registry),
                    "notes": notes,
                    "rows": {
                        row.key: {
                            "label": row.label,
                            "median_ns": row.medians,
                            "baseline_ns": row.baseline,
                            "samples_ns": row.samples,
                        }
                        for row in rows.values()
                    },
                    "targets": [{"target": c.text, "value": c.value, "met": c.met} for c in checks],
                },
                indent=2,
            )
            + "\n"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
