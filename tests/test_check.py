"""corvane-plugins check, the sources of registrations, and -v tracebacks."""

import json
import logging

import pytest

from corvane import check
from corvane.cli import main
from corvane.registry import load_plugins

pytest_plugins = ["plugin_probes"]


@pytest.fixture(autouse=True)
def no_installed_distributions(monkeypatch):
    # Misspelt groups are looked for among installed distributions: none here.
    monkeypatch.setattr(check, "distributions", lambda: [])
    logger = logging.getLogger("corvane")
    level, handlers = logger.level, list(logger.handlers)
    yield
    logger.setLevel(level)
    logger.handlers[:] = handlers


@pytest.mark.parametrize("registers", [True, False])
def test_check_reports_a_plugin_that_registered_nothing(probes, capsys, caplog, registers):
    # Installed entry points with mistakes are checked in test_external_plugin.
    probes.builtin("a.py", probes.registering("A", "os='probeos'") if registers else "")
    nothing = f"plugin module {probes.prefix} registered nothing"
    if registers:
        status, lines = 0, [f"    1  plugin module {probes.prefix}.a", "", "nothing to report"]
    else:
        lines = [f"    0  plugin module {probes.prefix}", "", "problems:", f"  {nothing}"]
        status, lines = 1, [*lines, "", "1 problem found"]
    assert main(["check"]) == status
    assert capsys.readouterr().out.splitlines() == ["registrations per plugin:", *lines]
    # load_plugins warns of it, whoever calls it.
    warned = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warned == ([] if registers else [nothing])
    probes.unload()
    assert main(["check", "--json"]) == status
    assert json.loads(capsys.readouterr().out)["problems"] == status


def test_a_failed_plugin_shows_its_traceback(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    broken = probes.builtin("b.py", "settings = {}\n\nsettings['needed_key']\n")
    failed = f"plugin module {broken} failed to load: KeyError: 'needed_key'"
    frame = f'File "{probes.builtin_root / probes.package / "b.py"}", line 3, in <module>'
    assert main(["check"]) == 3
    out = capsys.readouterr().out
    assert f"\n  {failed}\n    Traceback (most recent call last):\n" in out
    assert f"\n      {frame}\n        settings['needed_key']\n" in out
    assert out.endswith("    KeyError: 'needed_key'\n\n1 problem found\n")
    for argv, shown in [
        (["tree"], False),
        (["-v", "tree"], True),
        (["--keep-going", "-v", "list"], True),
    ]:
        probes.unload()
        assert main(argv) == 3
        err = capsys.readouterr().err
        assert f"corvane-plugins: {failed}\n" in err and (f"    {frame}\n" in err) is shown


class Late:
    pass


def test_sources_name_what_was_loading(probes, capsys):
    helper = probes.builtin("helper.py", probes.registering("H", "os='probeos', platform='h'"))
    first = probes.builtin("a.py", f"import {helper}\n" + probes.registering("A", "os='probeos'"))
    ext = probes.external("ext", probes.registering("E", "os='extos'"))
    load_plugins()
    probes.manager.register_plugin(Late, os="lateos")
    probes.manager.register_plugin(Late, os="probeos")  # replaces A
    assert main(["list", "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert [(r["key_path"], *r["source"].values()) for r in rows] == [
        (["extos"], "entry_point", "ext", ext.value, None, None),
        (["lateos"], "outside_loading"),
        (["probeos"], "outside_loading"),
        (["probeos", "h"], "builtin", first),  # helper was imported by a, which loading imported
    ]


def test_replaces_silences_exactly_the_declared_conflict(probes, capsys):
    base = probes.builtin(
        "base.py",
        "from corvane.registry import plugin_manager\n"
        "class Base: pass\nclass Other: pass\n"
        "plugin_manager.register_plugin(Base, os='probeos')\n"
        "plugin_manager.register_plugin(Other, os='probeos', platform='p')\n",
    )
    ext = probes.external(
        "mine",
        f"from corvane.registry import plugin_manager\nfrom {base} import Base\n"
        "class Mine: pass\n"
        "plugin_manager.register_plugin(Mine, os='probeos', replaces=Base)\n"
        "plugin_manager.register_plugin(Mine, os='probeos', platform='p', replaces=Base)\n",
    )
    assert main(["check", "--json"]) == 1
    [conflict] = json.loads(capsys.readouterr().out)["conflicts"]
    assert conflict["key_path"] == ["probeos", "p"]
    assert (conflict["replaced"]["class"], conflict["winner"]["class"], conflict["declared"]) == (
        f"{base}.Other",
        f"{ext.module}.Mine",
        f"{base}.Base",
    )
    probes.unload()
    assert main(["check"]) == 1
    assert capsys.readouterr().out.endswith(
        f"replaced by {ext.module}.Mine from entry point mine = {ext.value} (from unknown "
        f"distribution), which declares that it replaces {base}.Base\n\n1 problem found\n"
    )


def test_groups_close_to_the_package_group():
    close = "corvane.plugin corvane_plugins Corvane-Plugins corvane.plgins".split()
    far = "corvane.plugins.extra corvane console_scripts pytest11".split()
    assert [group for group in close + far if check._close(group)] == close
