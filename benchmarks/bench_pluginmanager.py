"""Times the compiled plugin manager against its pure-Python model, in one run.

Run after installing the package::

    python benchmarks/bench_pluginmanager.py [--quick] [--instructions] [--json PATH] [--check]

What it compares: every operation of the extension, ``corvane.core.pluginmanager``,
against the model of ``tests/model`` run as plain Python and the same model
compiled with Cython into a temporary folder (skipped with a note when Cython
is missing), on one registry of realistic registrations; lookups also against
a floor, ``dict(os=..., platform=..., model=...)``, a call into C with the same
keywords that does almost nothing. Variants take turns within each repeat, on
the same data; each figure is the median of the repeats, in nanoseconds per
operation, and includes the cost of the timing loop itself (printed once with
the table). With ``--instructions`` the same operations are counted in
instructions per call under callgrind first.

The targets: each table ends with the bounds the extension is held to, ratios
taken within this one run (``--help`` lists them), each with what the run
measured and whether it was met. A missed target is reported; the run exits
with status 1 for it only with ``--check``.
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

sys.path.insert(0, str(Path(__file__).resolve().parent))
import instructions  # the benchmarks' own helpers, beside this file
import targets
from targets import Target

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

# A loop of some calls: given the number of calls, prepares what it needs and
# returns the loop, ready to run (and to be timed or counted on its own).
Prepare = Callable[[int], Callable[[], None]]
# Runs a prepared loop of that many calls and returns the ns it took.
Body = Callable[[int], int]


@dataclass
class Operation:
    """One row of the table: its loop for each variant."""

    key: str
    label: str
    loops: int
    prepares: dict[str, Prepare] = field(default_factory=dict)

    @property
    def bodies(self) -> dict[str, Body]:
        """Returns the timed loop of each variant."""
        return {name: timing(prepare) for name, prepare in self.prepares.items()}


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
) -> dict[str, Prepare]:
    """Returns the loops of the call-sized operations for one variant, ready to prepare."""
    manager = populated(module, registry)
    get_plugin = manager.get_plugin
    validate_arguments = manager.validate_arguments
    probe_cls = connection_class("ProbeConnection")
    os_name, platform, model = PROBE_OS, PROBE_PLATFORM, PROBE_MODEL
    if get_plugin(os=os_name, platform=platform, model=model) is get_plugin(
        os=os_name, platform=platform
    ):
        raise SystemExit("the probe model does not have a class of its own")

    def hit(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                get_plugin(os=os_name, platform=platform, model=model, chassis_type="single_rp")

        return run

    def fallback(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                get_plugin(
                    os=os_name, platform=platform, model=UNKNOWN_MODEL, chassis_type="single_rp"
                )

        return run

    def hit_positional(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                get_plugin(os_name, platform, model, None, "single_rp")

        return run

    def miss(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                try:
                    get_plugin(
                        os=os_name, platform=platform, model=UNKNOWN_MODEL, chassis_type="stack"
                    )
                except error:
                    pass

        return run

    def validate(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                validate_arguments(os_name, platform, model, "single_rp")

        return run

    def register_new(loops: int) -> Callable[[], None]:
        register = populated(module, registry).register_plugin
        models = [f"n{index}" for index in range(loops)]

        def run() -> None:
            for new_model in models:
                register(probe_cls, os=os_name, platform=platform, model=new_model)

        return run

    def register_override(loops: int) -> Callable[[], None]:
        register = populated(module, registry).register_plugin

        def run() -> None:
            for _ in range(loops):
                register(probe_cls, os=os_name, platform=platform, model=model)

        return run

    def unregister_register(loops: int) -> Callable[[], None]:
        fresh = populated(module, registry)
        register, unregister = fresh.register_plugin, fresh.unregister_plugin

        def run() -> None:
            for _ in range(loops):
                unregister(os=os_name, platform=platform, model=model, chassis_type="single_rp")
                register(probe_cls, os=os_name, platform=platform, model=model)

        return run

    return {
        "get_hit": hit,
        "get_fallback": fallback,
        "get_hit_positional": hit_positional,
        "get_miss": miss,
        "validate_arguments": validate,
        "register_new": register_new,
        "register_override": register_override,
        "unregister_register": unregister_register,
    }


def repr_operation(module: ModuleType, total: int) -> Prepare:
    """Returns the loop of ``repr()`` of a tree of ``total`` registrations, ready to prepare."""
    manager = populated(module, tree_registrations(total))

    def prepare(loops: int) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                repr(manager)

        return run

    return prepare


def floor_loop(loops: int) -> Callable[[], None]:
    """``dict(...)`` with the keywords of a lookup: a call into C doing almost nothing."""
    os_name, platform, model = PROBE_OS, PROBE_PLATFORM, PROBE_MODEL

    def run() -> None:
        for _ in range(loops):
            dict(os=os_name, platform=platform, model=model)

    return run


def empty_loop(loops: int) -> Callable[[], None]:
    """The bare loop that every measured loop runs its calls in."""

    def run() -> None:
        for _ in range(loops):
            pass

    return run


def timing(prepare: Prepare) -> Body:
    """Returns a body that times the loop ``prepare`` makes, its preparation left out."""
    return lambda loops: timed(prepare(loops))


floor_body = timing(floor_loop)
loop_overhead = timing(empty_loop)


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


def markdown(header: list[str], body: list[list[str]]) -> str:
    """Returns a Markdown table: the header, then the rows of cells."""
    lines = [
        "| " + " | ".join(header) + " |",
        "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|",
    ]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return "\n".join(lines)


def table(rows: list[Row]) -> str:
    """Returns the wall-clock table of ``rows`` in Markdown."""
    header = [
        "operation",
        "extension ns/op",
        "model ns/op",
        "Cython ns/op",
        "model/ext",
        "Cython/ext",
        "ext/baseline",
    ]
    body = []
    for row in rows:
        ext = row.medians.get("extension")
        body.append(
            [
                row.label,
                format_ns(ext),
                format_ns(row.medians.get("model")),
                format_ns(row.medians.get("cython")),
                format_ratio(ratio(row.medians.get("model"), ext)),
                format_ratio(ratio(row.medians.get("cython"), ext)),
                format_ratio(ratio(ext, row.baseline)),
            ]
        )
    return markdown(header, body)


def measured(rows: dict[str, Row], key: str, variant: str = "extension") -> float | None:
    """Returns the median of ``variant`` in row ``key``, or None when it was not measured."""
    row = rows.get(key)
    return None if row is None else row.medians.get(variant)


def wall_targets(rows: dict[str, Row]) -> list[Target]:
    """Returns the wall-clock targets of the extension, evaluated on this run."""

    def versus(key: str, variant: str) -> float | None:
        return ratio(measured(rows, key, variant), measured(rows, key))

    def to_baseline(key: str) -> float | None:
        row = rows.get(key)
        return None if row is None else ratio(measured(rows, key), row.baseline)

    def extension(key: str) -> float | None:
        return measured(rows, key)

    result: list[Target] = []
    for key, name in (("get_hit", "hit"), ("get_fallback", "fallback")):
        result += [
            Target(f"get_plugin {name}: model/ext >= 6", versus(key, "model"), 6, True),
            Target(f"get_plugin {name}: Cython/ext >= 2", versus(key, "cython"), 2, True),
            Target(f"get_plugin {name}: ext/dict floor <= 2", to_baseline(key), 2, False),
        ]
    import_ns = extension("import")
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
            ratio(extension("repr_10000"), extension("repr_1000")),
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


# Instruction ratios model/ext the extension is held to, at least.
INSTRUCTION_RATIOS = {
    "get_hit": 7.5,
    "get_fallback": 7.5,
    "get_hit_positional": 7.5,
    "get_miss": 4.5,
    "validate_arguments": 8,
    "register_new": 6,
    "register_override": 3,
    "unregister_register": 5,
    "repr_2000": 10,
}


def instruction_targets(rows: dict[str, Row]) -> list[Target]:
    """Returns the instruction-count targets of the extension, evaluated on this run."""

    def extension(key: str) -> float | None:
        return measured(rows, key)

    result = []
    for key, limit in INSTRUCTION_RATIOS.items():
        value = ratio(measured(rows, key, "model"), extension(key))
        label = LABELS.get(key) or f"repr() of {int(key.split('_')[1]):,} registrations"
        result.append(Target(f"{label}: model/ext >= {limit:g}", value, limit, True))
    result += [
        Target(
            "get_plugin hit by keyword: ext/dict floor <= 1.3",
            ratio(extension("get_hit"), extension("floor")),
            1.3,
            False,
        ),
        Target(
            "repr() 1,000 -> 10,000: ext growth <= 10.5",
            ratio(extension("repr_10000"), extension("repr_1000")),
            10.5,
            False,
        ),
    ]
    return result


def instruction_table(rows: list[Row]) -> str:
    """Returns the instruction table of ``rows`` in Markdown."""
    header = ["operation", "extension instr/call", "model instr/call", "model/ext", "ext/floor"]
    floor = next((row.medians["extension"] for row in rows if row.key == "floor"), None)
    body = []
    for row in rows:
        ext = row.medians.get("extension")
        body.append(
            [
                row.label,
                format_ns(ext),
                format_ns(row.medians.get("model")),
                format_ratio(ratio(row.medians.get("model"), ext)),
                format_ratio(ratio(ext, floor)) if row.key.startswith("get_hit") else "-",
            ]
        )
    return markdown(header, body)


# The call-sized operations, in table order.
LABELS = {
    "get_hit": "get_plugin hit by keyword (os, platform, model, chassis_type)",
    "get_fallback": "get_plugin fallback (model not registered)",
    "get_hit_positional": "get_plugin hit, all five arguments by position",
    "get_miss": "get_plugin miss (raise + catch)",
    "validate_arguments": "validate_arguments",
    "register_new": "register_plugin new entry",
    "register_override": "register_plugin override",
    "unregister_register": "unregister_plugin + register_plugin",
}
FLOOR_LABEL = "dict(os=, platform=, model=): floor"


def build_operations(
    modules: dict[str, ModuleType], loops: int, repr_loops: dict[int, int], wanted: set[str]
) -> list[Operation]:
    """Returns the call-sized and rendering operations for ``modules``.

    Only the operations whose keys are in ``wanted`` are built, when it is
    not empty. The floor takes turns with the lookups it is compared with.
    """
    registry = realistic_registrations()
    error = extension.ConnectionInfraError
    operations = [
        Operation(key, label, loops) for key, label in LABELS.items() if not wanted or key in wanted
    ]
    for name, module in modules.items():
        prepares = call_operations(module, registry, error)
        for operation in operations:
            operation.prepares[name] = prepares[operation.key]
    for operation in operations:
        if operation.key.startswith("get_hit") or operation.key == "get_fallback":
            operation.prepares["floor"] = floor_loop
    for total, count in repr_loops.items():
        key = f"repr_{total}"
        if wanted and key not in wanted:
            continue
        operation = Operation(key, f"repr() of {total:,} registrations", count)
        for name, module in modules.items():
            operation.prepares[name] = repr_operation(module, total)
        operations.append(operation)
    return operations


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    """Returns the command line options."""
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=targets.listing("instruction targets (--instructions)", instruction_targets({}))
        + "\n\n"
        + targets.listing("wall-clock targets", wall_targets({})),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
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
    parser.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions per call under callgrind (needs valgrind) before the "
        "wall-clock run",
    )
    parser.add_argument(
        "--rows",
        metavar="KEYS",
        help="only these rows, comma-separated keys (get_hit, get_fallback, get_hit_positional, "
        "get_miss, validate_arguments, register_new, register_override, unregister_register, "
        "repr_1000, repr_2000, repr_10000, discover, import)",
    )
    parser.add_argument("--no-wall", action="store_true", help="skip the wall-clock run")
    targets.add_check_option(parser)
    # The run under callgrind: the folder of the client-request module.
    parser.add_argument("--instructions-child", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def instruction_loops(args: argparse.Namespace) -> tuple[int, dict[int, int]]:
    """Returns the loops of call-sized operations and of renderings under callgrind."""
    loops = args.loops or (200 if args.quick else 1_000)
    return loops, {1000: 2, 2000: 1, 10000: 1}


def instruction_child(args: argparse.Namespace) -> int:
    """Counts every loop in this process, which runs under callgrind."""
    import corvane_callgrind as client  # built by instructions.build_client

    if not client.running():
        raise SystemExit("--instructions-child runs under callgrind only")
    loops, repr_loops = instruction_loops(args)
    model = load_model()
    share_services(model)
    wanted = set(args.rows.split(",")) if args.rows else set()
    operations = build_operations(
        {"extension": extension, "model": model}, loops, repr_loops, wanted
    )
    lengths = set()
    # The collector is paused, as for the wall-clock run (and as timeit does).
    gc.disable()
    for operation in operations:
        for name, prepare in operation.prepares.items():
            prepare(min(operation.loops, 20))()  # warm-up, on a loop of its own
            instructions.measure(f"{operation.key}|{name}", prepare(operation.loops), client)
        lengths.add(operation.loops)
    for length in sorted(lengths):
        instructions.measure(f"empty|{length}", empty_loop(length), client)
    return 0


def count_instructions(args: argparse.Namespace) -> tuple[dict[str, Row], str | None]:
    """Runs this benchmark under callgrind and returns the rows of instructions per call.

    Returns:
        The rows (empty when counting is not possible here) and a note why not.
    """
    loops, repr_loops = instruction_loops(args)
    arguments = ["--instructions-child", "--loops", str(loops)]
    if args.rows:
        arguments += ["--rows", args.rows]
    with tempfile.TemporaryDirectory(prefix="corvane-callgrind-") as scratch:
        try:
            folder = instructions.build_client(Path(scratch))
            counts = instructions.run(Path(__file__), arguments, folder)
        except instructions.Unavailable as error:
            return {}, f"instruction counts skipped: {error}"

    def per_call(key: str, variant: str) -> float | None:
        total = counts.get(f"{key}|{variant}")
        if total is None:
            return None
        length = repr_loops[int(key.split("_")[1])] if key.startswith("repr_") else loops
        return (total - counts[f"empty|{length}"]) / length

    rows: dict[str, Row] = {}
    floors = [per_call(key, "floor") for key in LABELS]
    floor = next((value for value in floors if value is not None), None)
    if floor is not None:
        rows["floor"] = Row("floor", FLOOR_LABEL, {"extension": floor})
    keys = [*LABELS, *(f"repr_{total}" for total in repr_loops)]
    for key in keys:
        medians = {name: per_call(key, name) for name in ("extension", "model")}
        if medians["extension"] is not None:
            label = LABELS.get(key) or f"repr() of {int(key.split('_')[1]):,} registrations"
            rows[key] = Row(key, label, medians, baseline=floor)
    return rows, None


def main(argv: list[str] | None = None) -> int:
    """Runs the benchmark, prints the tables; returns the exit status."""
    args = parse_args(argv)
    if args.instructions_child:
        return instruction_child(args)
    info = machine()
    instruction_rows: dict[str, Row] = {}
    notes: list[str] = []
    shown: list[Target] = []
    if args.instructions:
        instruction_rows, note = count_instructions(args)
        if note:
            notes.append(note)
    rows: dict[str, Row] = {}
    overhead = None
    repeats = args.repeats or (3 if args.quick else 7)
    loops = args.loops or (2_000 if args.quick else 20_000)
    registrations = len(realistic_registrations())
    imported = 0
    if not args.no_wall:
        rows, overhead, imported = measure_wall(args, loops, repeats, notes)

    print(
        f"Machine: {info['cpu']}, {info['cores']} cores, Python {info['python']}, {info['system']}"
    )
    print(
        "Compares: the extension (corvane.core.pluginmanager) against the pure-Python model "
        "(tests/model), run as plain Python and compiled with Cython, on the same "
        f"{registrations} registrations; lookups also against the floor, "
        "dict(os=, platform=, model=). Ratios are taken within this run."
    )
    print(
        "The targets after each table are the bounds the extension is held to, each with "
        "this run's value: model/ext >= 6 means the model takes at least 6 times as long as "
        "the extension, ext/dict floor <= 2 that a lookup takes at most twice the floor."
    )
    for note in notes:
        print(f"Note: {note}")
    if instruction_rows:
        call_loops, _ = instruction_loops(args)
        print()
        print(
            f"Instructions per call under callgrind ({registrations} registrations; "
            f"{call_loops:,} calls per operation, renderings 1 or 2; an empty loop of the same "
            "length subtracted):"
        )
        print()
        print(instruction_table(list(instruction_rows.values())))
        print()
        print("Instruction targets:")
        targets.print_targets(instruction_targets(instruction_rows))
        shown = instruction_targets(instruction_rows)
    checks = wall_targets(rows)
    if rows:
        budget = "" if args.loops else f", as many as fill {wall_budget_ns(args) / 1e6:g} ms"
        print()
        print(
            f"Wall clock ({registrations} registrations; {repeats} repeats, medians; each "
            f"repeat runs {'' if args.loops else 'up to '}{loops:,} loops{budget}; "
            f"loop overhead {overhead:.1f} ns/op, included):"
        )
        if imported:
            print(f"Discovery imported {imported} plugin modules and packages per run.")
        print()
        print(table(list(rows.values())))
        print()
        print("Wall-clock targets:")
        targets.print_targets(checks)
        shown += checks

    if args.json:
        args.json.write_text(
            json.dumps(
                {
                    "machine": info,
                    "repeats": repeats,
                    "loops": loops,
                    "loop_overhead_ns": overhead,
                    "registrations": registrations,
                    "notes": notes,
                    "instructions": {
                        row.key: {"label": row.label, "per_call": row.medians}
                        for row in instruction_rows.values()
                    },
                    "rows": {
                        row.key: {
                            "label": row.label,
                            "median_ns": row.medians,
                            "baseline_ns": row.baseline,
                            "samples_ns": row.samples,
                        }
                        for row in rows.values()
                    },
                    "targets": [
                        {"target": c.text, "value": c.value, "met": c.met}
                        for c in [*instruction_targets(instruction_rows), *checks]
                    ],
                },
                indent=2,
            )
            + "\n"
        )
    print()
    return targets.report_end(shown, args.check)


def wall_budget_ns(args: argparse.Namespace) -> float:
    """Returns the time each repeat of an operation fills: unbounded with --loops."""
    if args.loops:
        return float("inf")
    return 2e7 if args.quick else 2e8


def measure_wall(
    args: argparse.Namespace, loops: int, repeats: int, notes: list[str]
) -> tuple[dict[str, Row], float | None, int]:
    """Times every operation; returns the rows, the loop overhead and the modules discovered."""
    budget_ns = wall_budget_ns(args)
    repr_loops = {1000: 100, 2000: 50, 10000: 10}
    if args.loops:
        repr_loops = dict.fromkeys(repr_loops, max(1, args.loops // 1000))
    wanted = set(args.rows.split(",")) if args.rows else set()

    model = load_model()
    modules: dict[str, ModuleType] = {"extension": extension, "model": model}
    imported = 0
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

        operations = build_operations(modules, loops, repr_loops, wanted)
        overhead = median(
            measure(Operation("loop", "", loops, {"loop": empty_loop}), repeats, budget_ns)["loop"]
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
        if floors:
            rows = {
                "floor": Row(
                    "floor",
                    FLOOR_LABEL,
                    {"extension": median(floors)},
                    samples={"extension": floors},
                ),
                **rows,
            }

        if not wanted or "discover" in wanted:
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

        if not wanted or "import" in wanted:
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
            imports = measure_import(repeats, import_targets)
            rows["import"] = Row(
                "import",
                "import, self time",
                {name: median(imports.get(name)) for name in VARIANTS},
                samples={name: imports[name] for name in VARIANTS if name in imports},
            )
    return rows, overhead, imported


if __name__ == "__main__":
    sys.exit(main())
