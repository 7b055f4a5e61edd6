"""The example external plugin, installed for real with pip and found by entry point."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "external-plugin"
TOOL = Path(sys.executable).with_name("corvane-plugins")


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
    subprocess.run(
        [
            *(sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation"),
            *("--no-deps", "--no-index", "--target", str(broken_target), str(source)),
        ],
        check=True,
        capture_output=True,
        timeout=120,
    )
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
