"""Instruction counts with callgrind: the machinery behind ``--instructions``.

The benchmark runs itself under ``valgrind --tool=callgrind`` and brackets
every measured loop with client requests: the counters are zeroed right before
the loop and dumped, under a label, right after it. A tiny extension module,
built here from valgrind's own header, makes the requests. An empty loop of
the same length is measured the same way and subtracted, so what is left is
the cost of the calls themselves, the caller's call sequence included.
Instruction counts repeat exactly from run to run, whatever else the machine
is doing.

Run on its own, it counts whole processes instead: ``python -c pass``, the
import of ``importlib.metadata`` and of the extension, ``import
corvane.cli`` and ``corvane-plugins which --os linux`` (with the cache of
installed plugins warm, and off), each once under callgrind from start to
exit, for this interpreter or for the interpreters of other environments
given with ``--python``::

    python benchmarks/instructions.py [--python LABEL=PYTHON ...] [--baseline LABEL] [--check]

Run it from a regular install (``pip install .``): an editable install's
rebuild check on import would be counted too.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from typing import Any

CLIENT_NAME = "corvane_callgrind"

CLIENT_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject* zero(PyObject* self, PyObject* unused) {
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

static PyObject* dump(PyObject* self, PyObject* label) {
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL) {
        return NULL;
    }
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject* running(PyObject* self, PyObject* unused) {
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"zero", zero, METH_NOARGS, "Zero callgrind's counters."},
    {"dump", dump, METH_O, "Dump callgrind's counters under a label."},
    {"running", running, METH_NOARGS, "Whether the process runs under valgrind."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "corvane_callgrind", NULL, -1, methods,
};

PyMODINIT_FUNC PyInit_corvane_callgrind(void) {
    return PyModule_Create(&definition);
}
"""

HEADER = Path("/usr/include/valgrind/callgrind.h")


class Unavailable(Exception):
    """Instruction counting cannot run here; the message says why."""


def build_client(folder: Path) -> Path:
    """Compile the client-request module into ``folder``.

    Returns:
        The folder, to be put on the module search path.

    Raises:
        Unavailable: valgrind or its header is missing, or the build failed.
    """
    if shutil.which("valgrind") is None or not HEADER.is_file():
        raise Unavailable("valgrind and its headers are needed (Debian: apt-get install valgrind)")
    source = folder / f"{CLIENT_NAME}.c"
    source.write_text(CLIENT_SOURCE)
    built = folder / f"{CLIENT_NAME}{sysconfig.get_config_var('EXT_SUFFIX')}"
    compiler = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    command = [
        *compiler,
        "-shared",
        "-fPIC",
        "-O2",
        "-I",
        sysconfig.get_paths()["include"],
        str(source),
        "-o",
        str(built),
    ]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise Unavailable(f"building the client-request module failed: {result.stderr.strip()}")
    return folder


def run(script: Path, arguments: list[str], folder: Path) -> dict[str, int]:
    """Run ``script`` under callgrind with the client module importable.

    Returns:
        The instructions of every dump, by its label.

    Raises:
        Unavailable: the run failed.
    """
    out = folder / "callgrind.out"
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "--dump-instr=no",
        sys.executable,
        str(script),
        *arguments,
    ]
    # A fixed hash seed: string hashes decide how many slots each dict lookup
    # probes, and so the count.
    environment = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join([str(folder), *sys.path[1:]]),
        "PYTHONHASHSEED": "0",
    }
    result = subprocess.run(command, capture_output=True, text=True, env=environment, check=False)
    if result.returncode != 0:
        tail = "\n".join(result.stderr.strip().splitlines()[-15:])
        raise Unavailable(f"the run under callgrind failed:\n{tail}")
    counts: dict[str, int] = {}
    for dump in sorted(folder.glob("callgrind.out*")):
        text = dump.read_text(errors="replace")
        label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.MULTILINE)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.MULTILINE)
        if label and total:
            counts[label.group(1)] = int(total.group(1))
    return counts


def measure(label: str, run_loop, client) -> None:
    """Count the instructions of ``run_loop()`` under ``label`` (in the process under callgrind)."""
    client.zero()
    run_loop()
    client.dump(label)


# The whole processes counted: label -> the arguments after the interpreter
# ("{tool}" is the path of corvane-plugins), and whether the cache of
# installed plugins is off for it.
PROCESSES: dict[str, tuple[list[str], bool]] = {
    "python -c pass": (["-c", "pass"], False),
    "import importlib.metadata": (["-c", "import importlib.metadata"], False),
    "import corvane.core.pluginmanager": (["-c", "import corvane.core.pluginmanager"], False),
    "import corvane.cli": (["-c", "import corvane.cli"], False),
    "corvane-plugins which --os linux": (["{tool}", "which", "--os", "linux"], False),
    "corvane-plugins which --os linux, cache off": (["{tool}", "which", "--os", "linux"], True),
}
MODULE_ROW = "import corvane.core.pluginmanager"
CLI_ROW = "import corvane.cli"
WHICH_ROW = "corvane-plugins which --os linux"


def total_instructions(command: list[str], env: dict[str, str], folder: Path) -> int:
    """Count the instructions of one whole process under callgrind.

    Raises:
        Unavailable: valgrind is missing, or the process failed.
    """
    if shutil.which("valgrind") is None:
        raise Unavailable("valgrind is needed (Debian: apt-get install valgrind)")
    out = folder / "whole.out"
    out.unlink(missing_ok=True)
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
        capture_output=True,
        text=True,
        env=env,
        cwd=folder,
        check=False,
    )
    if result.returncode != 0:
        tail = "\n".join(result.stderr.strip().splitlines()[-15:])
        raise Unavailable(f"{' '.join(command)} failed under callgrind:\n{tail}")
    total = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.MULTILINE)
    if total is None:
        raise Unavailable(f"callgrind wrote no total for {' '.join(command)}")
    return int(total.group(1))


def process_environment(folder: Path) -> dict[str, str]:
    """The environment of the counted processes: a fixed hash seed, no plugins
    kept out, no extra path, and a user cache folder of the run's own (so the
    user's own cache is neither read nor written)."""
    skipped = ("PYTHONPATH", "CORVANE_PLUGINS_DISABLE", "CORVANE_PLUGINS_CACHE", "COLUMNS")
    env = {key: value for key, value in os.environ.items() if key not in skipped}
    env.update(PYTHONHASHSEED="0", XDG_CACHE_HOME=str(folder / "cache"))
    return env


def warm(python: str, tool: str, env: dict[str, str], folder: Path) -> None:
    """Run every process once (bytecode written), and which until the cache of
    installed plugins is written: it is not written while any file it checks
    changed within the last seconds (a fresh install)."""
    for arguments, _ in PROCESSES.values():
        command = [python, *(tool if arg == "{tool}" else arg for arg in arguments)]
        subprocess.run(command, env=env, cwd=folder, capture_output=True, check=False)
    which = [python, tool, "which", "--os", "linux"]
    for _ in range(10):
        if any((folder / "cache").rglob("plugins-*")):
            return
        time.sleep(1)
        subprocess.run(which, env=env, cwd=folder, capture_output=True, check=False)


def count_processes(python: str, folder: Path) -> dict[str, int]:
    """Count every row of ``PROCESSES`` with the interpreter ``python``."""
    scripts = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('scripts'))"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    tool = shutil.which("corvane-plugins", path=scripts)
    if tool is None:
        raise Unavailable(f"corvane-plugins is not installed beside {python}")
    env = process_environment(folder)
    warm(python, tool, env, folder)
    counts = {}
    for label, (arguments, cache_off) in PROCESSES.items():
        command = [python, *(tool if arg == "{tool}" else arg for arg in arguments)]
        run_env = {**env, "CORVANE_PLUGINS_CACHE": "off"} if cache_off else env
        counts[label] = total_instructions(command, run_env, folder)
    return counts


def main(argv: list[str] | None = None) -> int:
    """Count the whole processes and print them with the targets; return the exit status."""
    import targets  # the benchmarks' own helpers, beside this file

    parser = argparse.ArgumentParser(
        description="Whole-process instruction counts: start-up, the CLI's import, which.",
        epilog=targets.listing("targets", process_targets({}, None)),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--python",
        action="append",
        default=[],
        metavar="LABEL=PYTHON",
        help="an interpreter to count, under a label (default: this one, as 'this')",
    )
    parser.add_argument(
        "--baseline", metavar="LABEL", help="the label the others are compared with (the first)"
    )
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the counts here")
    targets.add_check_option(parser)
    args = parser.parse_args(argv)
    pythons = dict(item.split("=", 1) for item in args.python) or {"this": sys.executable}
    baseline = args.baseline or next(iter(pythons))
    counts = {}
    for label, python in pythons.items():
        with tempfile.TemporaryDirectory(prefix="corvane-instructions-") as scratch:
            try:
                counts[label] = count_processes(python, Path(scratch))
            except Unavailable as error:
                print(f"{label}: {error}", file=sys.stderr)
                return 1
    print("Whole processes, instructions (callgrind, PYTHONHASHSEED=0), millions:")
    print()
    labels = list(counts)
    others = [label for label in labels if label != baseline]
    header = ["process", *labels, *(f"{label}/{baseline}" for label in others)]
    print("| " + " | ".join(header) + " |")
    print("|---" + "|---:" * (len(header) - 1) + "|")
    for row in PROCESSES:
        cells = [f"{counts[label][row] / 1e6:.1f}" for label in labels]
        cells += [f"{counts[label][row] / counts[baseline][row]:.3f}" for label in others]
        print(f"| {row} | " + " | ".join(cells) + " |")
    print()
    for label in labels:
        which = counts[label][WHICH_ROW] / counts[label][MODULE_ROW]
        print(f"{label}: which / the extension's import = {which:.3f}")
    print()
    checks = []
    for label in labels:
        base = counts[baseline] if label in others else None
        checks += process_targets(counts[label], base, f"{label}: ", baseline)
    targets.print_targets(checks)
    if args.json:
        args.json.write_text(json.dumps(counts, indent=2))
    return targets.report_end(checks, args.check)


def process_targets(
    counts: dict[str, int],
    baseline: dict[str, int] | None,
    label: str = "",
    baseline_label: str = "the baseline",
) -> list[Any]:
    """Return the targets of the whole processes on ``counts`` (none measured:
    all None); the import of the CLI is compared with ``baseline``'s."""
    from targets import Target

    def share(row: str, base: dict[str, int] | None, base_row: str) -> float | None:
        if not counts or not base:
            return None
        return counts[row] / base[base_row]

    found = [
        Target(
            f"{label}corvane-plugins which --os linux / the extension's import <= 1.15",
            share(WHICH_ROW, counts, MODULE_ROW),
            1.15,
            False,
        )
    ]
    if baseline is not None or not counts:
        found.append(
            Target(
                f"{label}import corvane.cli / {baseline_label}'s <= 0.85",
                share(CLI_ROW, baseline, CLI_ROW),
                0.85,
                False,
            )
        )
    return found


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    sys.exit(main())
