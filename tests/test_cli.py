"""corvane-plugins: output, exit status, overrides and failing plugins."""

import argparse
import importlib.metadata
import json
import logging
import shutil
import subprocess
import sys
import sysconfig

import pytest

import corvane
from corvane import cli
from corvane.cli import build_parser, main

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
    tool = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    assert tool is not None
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
    # The probe package itself is a plugin that registered nothing.
    warning = f"corvane-plugins: warning: plugin module {probes.prefix} registered nothing\n"
    assert run(capsys, "tree") == (0, "no plugins registered\n", warning)
    probes.unload()
    assert run(capsys, "list") == (0, "no plugins registered\n", warning)
    assert run(capsys, "list", "--json") == (0, '{\n  "format": 2,\n  "registrations": []\n}\n', "")


def test_which_prints_class_and_file(probes, capsys):
    module = probes.builtin("edge.py", probes.registering("Edge", "os='probeos', platform='edge'"))
    status, out, err = run(capsys, "which", "--os", "probeos", "--platform", "edge", "--model", "x")
    assert (status, err) == (0, "")
    path = probes.builtin_root / probes.package / "edge.py"
    assert out == f"{module}.Edge\n  file: {path}\n"


@pytest.mark.parametrize(
    ("argv", "lines"),
    [
        (
            ["which", "--os", "probeox"],
            [
                "Plugin data not found for (probeox), type: single_rp ",
                "  registered operating systems: probeos, zos; did you mean probeos?",
            ],
        ),
        (
            ["which", "--os", "probeos", "--platform", "edge", "--chassis-type", "stack"],
            [
                "Plugin data not found for (probeos/edge), type: stack ",
                "  registered operating systems: probeos, zos",
                "  chassis types registered at probeos: single_rp, dual_rp",
            ],
        ),
        (
            ["which", "--os", "probeos", "--platform", "Edge"],
            ["platform (Edge) has to be in lowercase"],
        ),
    ],
)
def test_a_miss_or_an_invalid_description_exits_1_with_a_hint(probes, capsys, argv, lines):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    probes.builtin("b.py", probes.registering("B", "os='probeos', chassis_type='dual_rp'"))
    probes.builtin("c.py", probes.registering("C", "os='zos'"))
    status, out, err = run(capsys, *argv)
    assert (status, out) == (1, "")
    assert err.splitlines() == [f"corvane-plugins: {lines[0]}", *lines[1:]]


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
            "corvane-plugins: error: argument command: invalid choice: 'lookup' (choose from 'tree', 'which', 'list', 'check', 'diff')",
        ),
        (
            [],
            "usage: corvane-plugins [-h] [--no-external]",
            "corvane-plugins: error: the following arguments are required: command",
        ),
        (
            ["list", "--os", "linux"],
            "usage: corvane-plugins list [-h] [--no-external]",
            "corvane-plugins list: error: unrecognized arguments: --os linux",
        ),
        (
            ["which", "--os", "o", "--chassis-type", "tower"],
            "usage: corvane-plugins which [-h] [--no-external]",
            "corvane-plugins which: error: argument --chassis-type: invalid choice: 'tower' "
            "(choose from 'single_rp', 'dual_rp', 'stack')",
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
    assert out.splitlines()[-3:-1] == [
        "  chassis types registered there: dual_rp",
        "  single_rp is not registered there",
    ]
    assert out.splitlines()[-1].startswith("loading order: built-in modules, then entry points")
    assert err.startswith(
        "corvane-plugins: Plugin data not found for (probeos/p), type: single_rp \n"
    )


def test_explain_shows_the_registrations_in_loading_order(probes, capsys):
    first = probes.builtin("a.py", probes.registering("Conn", "os='probeos'"))
    ext = probes.external("ext", probes.registering("Conn", "os='probeos'"))
    status, out, _ = run(capsys, "which", "--os", "probeos", "--platform", "x", "--explain")
    assert status == 0
    assert out.splitlines()[-5:] == [
        "registered at probeos [single_rp] while loading, in that order:",
        f"  {first}.Conn from plugin module {first}",
        f"  {ext.module}.Conn from entry point ext = {ext.value} (from unknown distribution)",
        f"{ext.module}.Conn",
        f"  file: {probes.external_root / (ext.module + '.py')}",
    ]


def test_list_rows_sorted_and_json(probes, capsys, monkeypatch):
    monkeypatch.delenv("COLUMNS", raising=False)  # every column, whatever the terminal
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
    rows = json.loads(out)["registrations"]
    assert [sorted(row) for row in rows] == [
        ["chassis_type", "class", "file", "key_path", "source"]
    ] * 2
    assert [row["key_path"] for row in rows] == [["aos", "p"], ["zos"]]
    assert rows[1]["file"] == str(probes.builtin_root / probes.package / "b.py")
    assert rows[1]["source"] == {"kind": "builtin", "module": f"{probes.prefix}.b"}


@pytest.mark.parametrize(
    "command", [["tree"], ["which", "--os", "probeos"], ["list"], ["list", "--json"]]
)
def test_overrides_go_to_stderr(probes, capsys, command):
    first = probes.builtin("a.py", probes.registering("Conn", "os='probeos'"))
    second = probes.builtin("b.py", probes.registering("Conn", "os='probeos'"))
    status, out, err = run(capsys, *command)
    assert status == 0 and "while loading" not in out
    assert err == (
        "\noverrides while loading (the last registration wins):\n"
        f"  probeos [single_rp]: {first}.Conn from plugin module {first} "
        f"replaced by {second}.Conn from plugin module {second}\n"
    )
    status, out, err = run(capsys, "list", "--json")  # already loaded: nothing to report
    assert (
        "while loading" not in out + err
        and json.loads(out)["registrations"][0]["class"] == f"{second}.Conn"
    )


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


def test_a_half_loaded_plugin_is_gone_and_which_misses_in_one_line(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    half = probes.builtin("b.py", probes.registering("P", "os='partos'") + "raise OSError()")
    status, out, err = run(capsys, "--keep-going", "which", "--os", "partos")
    assert (status, out) == (1, "")
    assert err.splitlines() == [
        f"corvane-plugins: plugin module {half} failed to load: OSError",
        "corvane-plugins: Plugin data not found for (partos), type: single_rp ",
        "  registered operating systems: probeos",
    ]
    assert "partos" not in repr(probes.manager)


def test_an_unexpected_error_is_one_line_and_its_traceback_with_v(probes, capsys):
    probes.builtin("a.py", "import corvane.registry as r\nr.plugin_manager.plugins['x'] = []")
    line = "corvane-plugins: error: AttributeError: 'list' object has no attribute 'keys'"
    status, out, err = run(capsys, "which", "--os", "x")
    assert (status, out, err.splitlines()[-1]) == (1, "", line) and "Traceback" not in err
    probes.unload()
    status, _, err = run(capsys, "-v", "which", "--os", "x")
    assert status == 1 and line in err and "  Traceback (most recent call last):" in err


@pytest.mark.parametrize(
    ("argv", "columns", "cut"),
    [(["list"], 60, True), (["list"], 40, True), (["list", "--wide"], 40, False)],
)
def test_list_fits_the_terminal_width(probes, capsys, monkeypatch, argv, columns, cut):
    name = "averyveryverylongmodulename"
    module = probes.builtin(f"{name}.py", probes.registering("LongName", "os='probeos'"))
    monkeypatch.setenv("COLUMNS", str(columns))
    status, out, _ = run(capsys, *argv)
    header, row, *mark = out.splitlines()
    assert status == 0 and ("FILE" in header) is not cut
    assert mark == (["(not shown: SOURCE, FILE; see --wide)"] if cut else [])
    if cut:
        # The class is cut from the left: its own name shows.
        assert max(len(header), len(row)) <= columns
        assert row.split()[2].startswith("...") and row.split()[2].endswith("name.LongName")
    else:
        assert row.split()[2:5] == [f"{module}.LongName", "plugin", "module"]


def test_every_option_has_help_and_every_help_the_exit_statuses(capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    parser = build_parser()
    [commands] = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    for each in [parser, *commands.choices.values()]:
        assert "exit status:\n  0  " in each.format_help()
        assert max(len(line) for line in each.format_help().splitlines()) <= 80
        assert all(action.help for action in each._actions if action is not commands)
    assert "{single_rp,dual_rp,stack}" in run(capsys, "which", "--help")[1]


@pytest.mark.skipif(sys.platform == "win32", reason="a closed pipe shows as EINVAL there")
@pytest.mark.parametrize("command", [["list", "--json"], ["tree"]])
def test_a_closed_pipe_ends_quietly(tmp_path, command):
    # Enough output that the writer meets the closed pipe.
    script = tmp_path / "many.py"
    script.write_text(
        "import sys\n"
        "from corvane.registry import plugin_manager\n"
        "from corvane.cli import main\n"
        "class Conn: pass\n"
        "for n in range(3000): plugin_manager.register_plugin(Conn, os=f'os{n}')\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    with subprocess.Popen(
        [sys.executable, str(script), "--no-external", *command],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as process:
        assert process.stdout is not None and process.stderr is not None
        assert process.stdout.read(20)
        process.stdout.close()
        err = process.stderr.read().decode()
        status = process.wait(timeout=60)
    assert (status, err) == (0, "")


def row(key_path, cls, module):
    source = {"kind": "builtin", "module": module}
    return {"key_path": key_path, "chassis_type": "single_rp", "class": cls, "source": source}


def entry(key_path, cls, distribution, version):
    source = {"kind": "entry_point", "name": "e", "value": "v", "distribution": distribution}
    return {**row(key_path, cls, "m"), "source": {**source, "version": version}}


def changed(old, new):
    side = {key: old.get(key) for key in ("class", "file", "source")}
    after = {key: new.get(key) for key in ("class", "file", "source")}
    return {"key_path": new["key_path"], "chassis_type": "single_rp", "old": side, "new": after}


OLD = [row(["aos"], "m.A", "m"), row(["bos"], "m.B", "m"), row(["cos"], "m.C", "m")]
NEW = [row(["aos"], "n.A", "n"), row(["bos"], "m.B", "m"), row(["dos", "p"], "m.D", "m")]
A1, B1 = entry(["aos"], "m.A", "Acme_Plugins", "1.0"), entry(["bos"], "m.B", "zed", "3")
A2 = entry(["aos"], "m.A", "acme-plugins", "2.0")
A3 = entry(["aos", "x"], "m.A", "ACME.plugins", "1.5")


# old listing, new listing, status, text lines, and the JSON's added, removed,
# changed and versions.
@pytest.mark.parametrize(
    ("old", "new", "status", "lines", "found"),
    [
        (OLD, OLD, 0, ["no differences"], ([], [], [], [])),
        (
            OLD,
            NEW,
            1,
            [
                "added:",
                "  dos/p [single_rp]: m.D from plugin module m",
                "removed:",
                "  cos [single_rp]: m.C from plugin module m",
                "changed:",
                "  aos [single_rp]:",
                "    was m.A from plugin module m",
                "    now n.A from plugin module n",
            ],
            ([NEW[2]], [OLD[2]], [changed(OLD[0], NEW[0])], []),
        ),
        (
            [A1, B1],
            [A2, B1],
            1,
            ["versions:", "  acme-plugins: 1.0 -> 2.0"],
            ([], [], [], [{"distribution": "acme-plugins", "old": "1.0", "new": "2.0"}]),
        ),
        (
            [A1, B1],
            [{**A1, "source": {**A1["source"], "distribution": "acme.plugins"}}, B1],
            0,
            ["no differences"],
            ([], [], [], []),
        ),
        (
            [A1],
            [A2, A3],
            1,
            [
                "added:",
                "  aos/x [single_rp]: m.A from entry point e = v (from ACME.plugins 1.5)",
                "versions:",
                "  acme-plugins: 1.0 -> 1.5, 2.0",
            ],
            ([A3], [], [], [{"distribution": "acme-plugins", "old": "1.0", "new": "1.5, 2.0"}]),
        ),
        (OLD, [{"key_path": "aos"}], 2, [], None),
    ],
)
def test_diff_compares_two_listings(tmp_path, capsys, old, new, status, lines, found):
    old_file, new_file = tmp_path / "old.json", tmp_path / "new.json"
    old_file.write_text(json.dumps(old))
    new_file.write_text(json.dumps({"format": 2, "registrations": new}))
    got, out, err = run(capsys, "diff", str(old_file), str(new_file))
    assert (got, out.splitlines()) == (status, lines)
    assert err.startswith(f"corvane-plugins diff: error: {new_file}: not a listing") == (got == 2)
    got, out, _ = run(capsys, "diff", "--json", str(old_file), str(new_file))
    keys = ["added", "removed", "changed", "versions"]
    expected = (
        None
        if found is None
        else {"format": 2, "differ": bool(status), **dict(zip(keys, found, strict=True))}
    )
    assert (got, json.loads(out) if out else None) == (status, expected)


def test_disable_before_and_after_the_command_add_up(probes, capsys):
    a, b = (probes.builtin(f"{n}.py", probes.registering("C", f"os='{n}'")) for n in "ab")
    status, out, err = run(
        capsys, "--disable", a, "list", "--json", "--disable", b, "--disable", "x"
    )
    assert status == 0 and json.loads(out)["registrations"] == []
    assert "corvane-plugins: warning: the disabled name x matched no " in err


@pytest.mark.skipif(sys.platform == "win32", reason="no shell to close stdout with")
@pytest.mark.parametrize(
    ("argv", "status"), [("tree", 0), ("check --json", 0), ("which --os nope", 1)]
)
def test_a_closed_stdout_is_quiet_and_keeps_the_status(argv, status):
    tool = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    result = subprocess.run(
        ["sh", "-c", f'"$0" --no-external {argv} >&-', tool],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == status
    assert "Traceback" not in result.stderr and "AttributeError" not in result.stderr


def test_main_closes_its_output_wrapper_and_not_stdout(monkeypatch, capsys):
    # A wrapper left open flushes the stream it wraps when it is collected,
    # which may be after that stream was closed (3.13 reports the error).
    made = []

    class Recorded(cli._Output):
        def __init__(self, stream):
            super().__init__(stream)
            made.append(self)

    monkeypatch.setattr(cli, "_Output", Recorded)
    assert main(["--version"]) == 0
    [output] = made
    assert (output.closed, sys.stdout.closed) == (True, False)
    assert capsys.readouterr().out.startswith("corvane-plugins ")
