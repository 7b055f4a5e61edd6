"""The example external plugin, installed for real with pip and found by entry point."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "external-plugin"
TOOL = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts")) or "corvane-plugins"


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The example distribution installed into a target of its own."""
    work = tmp_path_factory.mktemp("external")
    # Built from a copy, so the build leaves nothing in the source tree.
    source = shutil.copytree(EXAMPLE, work / "source")
    target = work / "target"
    subprocess.run(
        [
            *(sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation"),
            *("--no-deps", "--no-index", "--target", str(target), str(source)),
        ],
        check=True,
        capture_output=True,
        timeout=120,
    )
    env = dict(os.environ, PYTHONPATH=str(target))
    return target, env


def run(env, *command):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60, check=False)


def pip_install(target, *sources):
    subprocess.run(
        [
            *(sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation"),
            *("--no-deps", "--no-index", "--target", str(target), *map(str, sources)),
        ],
        check=True,
        capture_output=True,
        timeout=120,
    )


# Three plugins with a mistake each: name, entry point group, entry point, os registered.
# The function entry point's module registers only when register() is called.
MISTAKES = [
    ("typo", "corvane.plugin", 'acmeos = "corvane_typo"', "acmeos"),
    ("function", "corvane.plugins", 'setup = "corvane_function:register"', "funcos"),
    ("override", "corvane.plugins", 'generic = "corvane_override"', "generic"),
]


def distribution(work, name, group, entry_point, code):
    """Write the source of the distribution corvane-NAME 1.0, whose package
    corvane_NAME holds ``code``; returns its directory."""
    (work / name / f"corvane_{name}").mkdir(parents=True)
    (work / name / f"corvane_{name}" / "__init__.py").write_text(code)
    (work / name / "pyproject.toml").write_text(
        '[build-system]\nrequires = ["setuptools>=64"]\nbuild-backend = "setuptools.build_meta"\n'
        f'[project]\nname = "corvane-{name}"\nversion = "1.0"\n'
        f'[project.entry-points."{group}"]\n{entry_point}\n'
        f'[tool.setuptools]\npackages = ["corvane_{name}"]\n'
    )
    return work / name


@pytest.fixture(scope="module")
def mistakes(installed, tmp_path_factory):
    """The example plugin and three plugins with a mistake each, installed together."""
    work = tmp_path_factory.mktemp("mistakes")
    sources = []
    for name, group, entry_point, os_name in MISTAKES:
        register = f"plugin_manager.register_plugin(Conn, os={os_name!r})"
        code = f"def register(): {register}" if name == "function" else register
        code = f"from corvane.registry import plugin_manager\nclass Conn: pass\n{code}\n"
        sources.append(distribution(work, name, group, entry_point, code))
    pip_install(work / "target", *sources)
    target, env = installed
    return dict(env, PYTHONPATH=f"{target}{os.pathsep}{work / 'target'}")


# Plugins that misbehave while they load: name, code.
MISBEHAVING = [
    (
        "chatty",
        "import os, subprocess, sys\nprint('chatty: hello')\nos.write(1, b'chatty: fd 1\\n')\n"
        "subprocess.run([sys.executable, '-c', 'print(\"chatty: child\")'])\n"
        "from corvane.registry import plugin_manager\nclass Conn: pass\n"
        "plugin_manager.register_plugin(Conn, os='chattyos')\n",
    ),
    (
        "exits",
        "import argparse\nparser = argparse.ArgumentParser(prog='exits')\n"
        "parser.add_argument('--device', required=True)\nparser.parse_args()\n",
    ),
    ("interrupt", "raise KeyboardInterrupt\n"),
]


@pytest.fixture(scope="module")
def misbehaving(tmp_path_factory):
    work = tmp_path_factory.mktemp("misbehaving")
    sources = [
        distribution(work, name, "corvane.plugins", f'{name} = "corvane_{name}"', code)
        for name, code in MISBEHAVING
    ]
    pip_install(work / "target", *sources)
    return dict(os.environ, PYTHONPATH=str(work / "target"))


@pytest.mark.parametrize(
    ("command", "disabled", "status", "out"),
    [
        ("list --json --keep-going", "corvane-interrupt", 3, "json"),
        ("check --json", "corvane-interrupt", 3, "json"),
        ("check --keep-going", "corvane-interrupt", 3, "\n1 problem found\n"),
        ("which --os chattyos --keep-going", "interrupt", 3, "corvane_chatty.Conn\n"),
        ("tree --disable exits", "", 130, ""),
        ("list --json --disable corvane-exits", "interrupt", 0, "json"),
    ],
)
def test_what_plugins_print_goes_to_stderr_and_an_exit_is_a_failure(
    misbehaving, command, disabled, status, out
):
    env = dict(misbehaving, CORVANE_PLUGINS_DISABLE=disabled)
    result = run(env, str(TOOL), *command.split())
    assert result.returncode == status, result.stderr
    if out == "json":
        assert isinstance(json.loads(result.stdout), list | dict)
    else:
        assert out in result.stdout and "chatty: " not in result.stdout
    chatted = "chatty: hello\nchatty: fd 1\nchatty: child\n" in result.stderr
    assert chatted or status == 130
    exits = "corvane_exits (from corvane-exits 1.0) failed to load: SystemExit: 2 (it exited"
    assert (exits in result.stdout + result.stderr) is ("exits" not in command)


def test_load_plugins_picks_the_entry_point_up(installed):
    target, env = installed
    result = run(
        env,
        sys.executable,
        "-c",
        "from corvane.registry import load_plugins, plugin_manager as m\n"
        "report = load_plugins()\n"
        "cls = m.get_plugin(os='acmeos', platform='any')\n"
        "print(cls.__module__, cls.__qualname__, m.plugins['acmeos']['data']['single_rp']['path'])\n"
        "print(report.failures, report.overrides)\n",
    )
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    path = target / "corvane_example_plugin" / "__init__.py"
    assert first.split() == ["corvane_example_plugin", "AcmeConnection", str(path)]
    assert second == "[] []"


def test_the_tool_finds_and_shows_the_external_class(installed):
    target, env = installed
    which = run(env, str(TOOL), "which", "--os", "acmeos", "--model", "x1", "--platform", "p")
    assert which.returncode == 0, which.stderr
    assert which.stdout.splitlines() == [
        "corvane_example_plugin.AcmeConnection",
        f"  file: {target / 'corvane_example_plugin' / '__init__.py'}",
    ]
    tree = run(env, str(TOOL), "tree")
    assert tree.returncode == 0, tree.stderr
    assert "  |__ acmeos\n" in tree.stdout
    assert "cls = <class 'corvane_example_plugin.AcmeConnection'>" in tree.stdout
    verbose = run(env, str(TOOL), "-v", "list")
    assert "debug: Loading external plugin acmeos from corvane_example_plugin" in verbose.stderr
    skipped = run(env, str(TOOL), "--no-external", "which", "--os", "acmeos")
    assert skipped.returncode == 1
    assert "acmeos" not in run(env, str(TOOL), "tree", "--no-external").stdout


def test_a_failing_entry_point_is_named_with_its_distribution(installed, tmp_path):
    target, env = installed
    source = tmp_path / "broken"
    (source / "src" / "corvane_broken_plugin").mkdir(parents=True)
    (source / "src" / "corvane_broken_plugin" / "__init__.py").write_text(
        "raise ImportError('driver library missing')\n"
    )
    (source / "pyproject.toml").write_text(
        (EXAMPLE / "pyproject.toml")
        .read_text()
        .replace('name = "corvane-example-plugin"', 'name = "corvane-broken-plugin"')
        .replace('version = "0.1.0"', 'version = "2.3"')
        .replace('acmeos = "corvane_example_plugin"', 'broken = "corvane_broken_plugin:Conn"')
    )
    broken_target = tmp_path / "target"
    pip_install(broken_target, source)
    env = dict(env, PYTHONPATH=f"{target}{os.pathsep}{broken_target}")
    message = (
        "corvane-plugins: entry point broken = corvane_broken_plugin:Conn "
        "(from corvane-broken-plugin 2.3) failed to load: ImportError: driver library missing"
    )
    failed = run(env, str(TOOL), "which", "--os", "acmeos")
    assert failed.returncode == 3 and failed.stdout == ""
    assert failed.stderr.splitlines()[0] == message
    kept = run(env, str(TOOL), "--keep-going", "which", "--os", "acmeos")
    assert kept.returncode == 3
    assert kept.stdout.splitlines()[0] == "corvane_example_plugin.AcmeConnection"
    assert kept.stderr.splitlines() == [message]
    verbose = run(env, str(TOOL), "-v", "which", "--os", "acmeos")
    init = broken_target / "corvane_broken_plugin" / "__init__.py"
    assert f'    File "{init}", line 1, in <module>' in verbose.stderr.splitlines()


def test_check_names_each_mistake(mistakes):
    checked = run(mistakes, str(TOOL), "check")
    assert checked.returncode == 1 and checked.stderr == ""
    counts, listed, problems = checked.stdout.split("\n\n", 2)
    assert listed.startswith("entry points: read from the ")
    assert sorted(counts.splitlines()[1:]) == [
        "    0  entry point setup = corvane_function:register (from corvane-function 1.0)",
        "    1  entry point acmeos = corvane_example_plugin (from corvane-example-plugin 0.1.0)",
        "    1  entry point generic = corvane_override (from corvane-override 1.0)",
        "    1  plugin module corvane.plugins.linux",
        "    2  plugin module corvane.plugins.generic",
    ]
    assert problems.splitlines() == [
        "problems:",
        "  CP002 entry point setup = corvane_function:register (from corvane-function 1.0) registered nothing: register is a function, which is loaded but never called; name the module that registers the classes instead",
        "  CP003 conflict at generic [single_rp]: corvane.plugins.generic.GenericConnection from plugin module corvane.plugins.generic replaced by corvane_override.Conn from entry point generic = corvane_override (from corvane-override 1.0)",
        "    fix: if corvane_override.Conn is meant to replace corvane.plugins.generic.GenericConnection, register it with replaces=corvane.plugins.generic.GenericConnection; or keep one plugin out: --disable corvane-override or --disable corvane.plugins.generic",
        '  CP008 corvane-typo 1.0 declares entry points in the group "corvane.plugin", not "corvane.plugins", so they are never loaded: acmeos = corvane_typo',
        "",
        "3 problems found",
    ]
    report = json.loads(run(mistakes, str(TOOL), "check", "--json").stdout)
    assert report["problems"] == 3 and report["near_miss_groups"][0]["group"] == "corvane.plugin"
    rows = json.loads(run(mistakes, str(TOOL), "list", "--json").stdout)["registrations"]
    sources = {("/".join(row["key_path"]), row["chassis_type"]): row["source"] for row in rows}
    assert sources["generic", "single_rp"]["distribution"] == "corvane-override"
    assert sources["acmeos", "single_rp"]["distribution"] == "corvane-example-plugin"


WATCH = """
from corvane.registry import load_plugins, plugin_manager

def pytest_configure(config):
    load_plugins()
    config.corvane_before = (plugin_manager._plugins, repr(plugin_manager))

def pytest_terminal_summary(terminalreporter, config):
    unchanged = (plugin_manager._plugins, repr(plugin_manager)) == config.corvane_before
    terminalreporter.write_line(f"shared registry unchanged: {unchanged}")
"""


def test_the_plugins_own_test_passes_and_leaves_the_shared_registry(installed, tmp_path):
    target, env = installed
    (tmp_path / "watch_registry.py").write_text(WATCH)
    env = dict(env, PYTHONPATH=f"{target}{os.pathsep}{tmp_path}")
    options = "-m pytest -p watch_registry -p no:cacheprovider".split()
    result = run(env, sys.executable, *options, str(target.parent / "source" / "tests"))
    assert result.returncode == 0, result.stdout
    lines = result.stdout.splitlines()
    assert "shared registry unchanged: True" in lines
    assert lines[-1].startswith("=") and " 1 passed" in lines[-1]
