"""Instruction counts with callgrind: the machinery behind ``--instructions``.

The benchmark runs itself under ``valgrind --tool=callgrind`` and brackets
every measured loop with client requests: the counters are zeroed right before
the loop and dumped, under a label, right after it. A tiny extension module,
built here from valgrind's own header, makes the requests. An empty loop of
the same length is measured the same way and subtracted, so what is left is
the cost of the calls themselves, the caller's call sequence included.
Instruction counts repeat exactly from run to run, whatever else the machine
is doing.
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

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


if __name__ == "__main__":
    # A usage error, as argparse would report it: nothing was measured.
    print(
        "instructions.py measures nothing on its own: it is the machinery of --instructions "
        "(python benchmarks/bench_pluginmanager.py --instructions)",
        file=sys.stderr,
    )
    sys.exit(2)
