"""corvane-plugins: output, exit status, overrides and failing plugins."""

import importlib.metadata
import json
import logging
import subprocess
import sys
from pathlib import Path

import pytest

import corvane
from corvane.cli import main

pytest_plugins = ["plugin_probes"]


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(autouse=True)
def quiet_logger():
    # -v turns the package logger to debug level for the process; undo it.
    logger = logging.getLogger("corvane")
    level, handlers = logger.level, list(logger.handlers)
    yield
    logger.setLevel(level)
    logger.handlers[:] = handlers


def test_module_and_console_script_print_the_same_tree():
    outputs = []
    tool = str(Path(sys.executable).with_name("corvane-plugins"))
    for command in ([sys.executable, "-m", "corvane"], [tool]):
        result = subprocess.run(
            [*command, "tree"], capture_output=True, text=True, timeout=60, check=False
        )
        assert result.returncode == 0, result.stderr
        heading, body = result.stdout.split("\n", 1)
        assert heading.startswith("plugins (<class 'corvane.registry.RegistryManager'> at 0x")
        outputs.append(body)
    assert outputs[0] == outputs[1]
    assert "|__ cls = <class 'corvane.plugins.linux.LinuxConnection'>" in outputs[0]


def test_empty_registry(probes, capsys):
    assert run(capsys, "tree") == (0, "no plugins registered\n", "")
    assert run(capsys, "list") == (0, "no plugins registered\n", "")
    assert run(capsys, "list", "--json") == (0, "[]\n", "")


def test_which_prints_class_and_file(probes, capsys):
    module = probes.builtin("edge.py", probes.registering("Edge", "os='probeos', platform='edge'"))
    status, out, err = run(capsys, "which", "--os", "probeos", "--platform", "edge", "--model", "x")
    assert (status, err) == (0, "")
    path = probes.builtin_root / probes.package / "edge.py"
    assert out == f"{module}.Edge\n  file: {path}\n"


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (
            ["which", "--os", "probeos"],
            "corvane-plugins: Plugin data not found for (probeos), type: single_rp \n",
        ),
        (
            ["which", "--os", "probeos", "--platform", "Edge"],
            "corvane-plugins: platform (Edge) has to be in lowercase\n",
        ),
        (
            ["which", "--os", "probeos", "--chassis-type", "tower"],
            "corvane-plugins: chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got tower\n",
        ),
    ],
)
def test_not_found_and_invalid_description_exit_1(probes, capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert (status, out, err) == (1, "", message)


@pytest.mark.parametrize(
    ("argv", "usage", "message"),
    [
        (
            ["which"],
            "usage: corvane-plugins which [-h] [--no-external]",
            "corvane-plugins which: error: the following arguments are required: --os",
        ),
        (
            ["lookup"],
            "usage: corvane-plugins [-h] [--no-external]",
            "corvane-plugins: error: argument command: invalid choice: 'lookup' (choose from 'tree', 'which', 'list', 'check')",
        ),
        (
            [],
            "usage: corvane-plugins [-h] [--no-external]",
            "corvane-plugins: error: the following arguments are required: command",
        ),
        (
            ["list", "--os", "linux"],
            "usage: corvane-plugins [-h] [--no-external]",
            "corvane-plugins: error: unrecognized arguments: --os linux",
        ),
    ],
)
def test_usage_errors_exit_2_with_the_usage(probes, capsys, argv, usage, message):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith(usage)
    assert err.endswith(f"\n{message}\n")


def test_version_is_the_installed_distribution_s(capsys):
    version = importlib.metadata.version("corvane")
    assert corvane.__version__ == version
    assert run(capsys, "--version") == (0, f"corvane-plugins {version}\n", "")


def test_explain_goes_to_stdout_before_the_error(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos', chassis_type='dual_rp'"))
    status, out, err = run(capsys, "which", "--os", "probeos", "--platform", "p", "--explain")
    assert status == 1
    assert out.splitlines()[-2:] == [
        "  chassis types registered there: dual_rp",
        "  single_rp is not registered there",
    ]
    assert err == "corvane-plugins: Plugin data not found for (probeos/p), type: single_rp \n"


def test_list_rows_sorted_and_json(probes, capsys):
    probes.builtin("b.py", probes.registering("B", "os='zos'"))
    probes.builtin("a.py", probes.registering("A", "os='aos', platform='p', chassis_type='stack'"))
    status, out, _ = run(capsys, "list")
    lines = out.splitlines()
    assert status == 0
    assert lines[0].split() == ["KEY", "PATH", "CHASSIS", "CLASS", "SOURCE", "FILE"]
    assert [line.split()[:6] for line in lines[1:]] == [
        ["aos/p", "stack", f"{probes.prefix}.a.A", "plugin", "module", f"{probes.prefix}.a"],
        ["zos", "single_rp", f"{probes.prefix}.b.B", "plugin", "module", f"{probes.prefix}.b"],
    ]
    status, out, _ = run(capsys, "list", "--json")
    rows = json.loads(out)
    assert [sorted(row) for row in rows] == [
        ["chassis_type", "class", "file", "key_path", "source"]
    ] * 2
    assert [row["key_path"] for row in rows] == ["aos/p", "zos"]
    assert rows[1]["file"] == str(probes.builtin_root / probes.package / "b.py")
    assert rows[1]["source"] == {"kind": "builtin", "module": f"{probes.prefix}.b"}


@pytest.mark.parametrize("command", [["tree"], ["which", "--os", "probeos"], ["list"]])
def test_overrides_end_the_output(probes, capsys, command):
    first = probes.builtin("a.py", probes.registering("Conn", "os='probeos'"))
    second = probes.builtin("b.py", probes.registering("Conn", "os='probeos'"))
    status, out, _ = run(capsys, *command)
    assert status == 0
    assert out.endswith(
        "\noverrides while loading (the last registration wins):\n"
        f"  probeos [single_rp]: {first}.Conn from plugin module {first} "
        f"replaced by {second}.Conn from plugin module {second}\n"
    )
    status, out, err = run(capsys, "list", "--json")  # already loaded: nothing to report
    assert "while loading" not in out + err and json.loads(out)[0]["class"] == f"{second}.Conn"


def test_overrides_of_json_listing_go_to_stderr(probes, capsys):
    probes.builtin("a.py", probes.registering("Conn", "os='probeos'"))
    probes.builtin("b.py", probes.registering("Conn", "os='probeos'"))
    status, out, err = run(capsys, "list", "--json")
    assert status == 0 and len(json.loads(out)) == 1
    assert err.startswith("\noverrides while loading")


def test_failing_plugin_exits_3_even_when_kept_going(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    broken = probes.builtin("b.py", "raise RuntimeError('cannot start')\n")
    status, out, err = run(capsys, "tree")
    assert (status, out) == (3, "")
    assert err.splitlines()[0] == (
        f"corvane-plugins: plugin module {broken} failed to load: RuntimeError: cannot start"
    )
    bad = probes.external("bad", "raise ImportError('no driver')\n")
    probes.external("good", probes.registering("Good", "os='extos'"))
    status, out, err = run(capsys, "--keep-going", "which", "--os", "extos")
    assert status == 3
    assert (
        out
        == f"{probes.package}_good.Good\n  file: {probes.external_root / (probes.package + '_good.py')}\n"
    )
    assert err.splitlines() == [
        f"corvane-plugins: plugin module {broken} failed to load: RuntimeError: cannot start",
        f"corvane-plugins: entry point bad = {bad.value} (from unknown distribution) failed to load: ImportError: no driver",
    ]


@pytest.mark.parametrize("where", ["before", "after"])
def test_options_before_or_after_the_command(probes, capsys, where):
    probes.external("one", "raise SystemError('must not load')\n")
    probes.builtin("a.py", probes.registering("A", "os='Probe'"))
    options = ["--no-external", "-v"]
    argv = [*options, "list"] if where == "before" else ["list", *options]
    status, _, err = run(capsys, *argv)
    assert status == 0
    assert "debug: Probe is not part of the built-in list of supported OSes." in err.splitlines()
