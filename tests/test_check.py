"""corvane-plugins check, the sources of registrations, and -v tracebacks."""

import json
import json.decoder
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
        lines = [f"    0  plugin module {probes.prefix}", "", "problems:", f"  CP002 {nothing}"]
        status, lines = 1, [*lines, "", "1 problem found"]
    assert main(["check"]) == status
    assert capsys.readouterr().out.splitlines() == ["registrations per plugin:", *lines]
    # load_plugins warns of it, whoever calls it.
    warned = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warned == ([] if registers else [nothing])
    probes.unload()
    assert main(["check", "--json"]) == status
    assert json.loads(capsys.readouterr().out)["problems"] == status


def test_a_failed_plugin_shows_its_error_and_its_own_frames(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    # The error is raised in the standard library, below the plugin's own frame.
    broken = probes.builtin("b.py", "import json\n\njson.loads('{')\n")
    failed = f"plugin module {broken} failed to load: json.decoder.JSONDecodeError: Expecting property name"
    frame = f'File "{probes.builtin_root / probes.package / "b.py"}", line 3, in <module>'
    library = f'File "{json.decoder.__file__}"'
    for argv, where, full in [
        (["check"], "out", False),
        (["-v", "check"], "out", True),
        (["tree"], "err", None),
        (["-v", "tree"], "err", True),
        (["--keep-going", "-v", "list"], "err", True),
    ]:
        probes.unload()
        assert main(argv) == 3
        text = getattr(capsys.readouterr(), where)
        assert failed in text and (frame in text) is (full is not None)
        assert (library in text) is bool(full) and ("Traceback" in text) is bool(full)
        if where == "out":
            assert (
                f"  CP001 {failed}" in text
                and f"\n      {frame}\n        json.loads('{{')\n" in text
            )


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
    rows = json.loads(capsys.readouterr().out)["registrations"]
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
        f"distribution), which declares that it replaces {base}.Base\n    fix: declare the class it "
        f"replaces: replaces={base}.Other; or keep one plugin out: --disable mine or --disable "
        f"{probes.package}.base\n\n1 problem found\n"
    )


def test_groups_close_to_the_package_group():
    close = "corvane.plugin corvane_plugins Corvane-Plugins corvane.plgins".split()
    far = "corvane.plugins.extra corvane console_scripts pytest11".split()
    assert [group for group in close + far if check._close(group)] == close


def _shared(probes):
    # A second entry point naming the first one's module.
    first = probes.external("one", probes.registering("Shared", "os='sharedos'"))
    probes.entry_points.append(
        type(first)(name="two", value=f"{first.module}:Shared", group=first.group)
    )
    return first.module


MISTAKES = {
    "unknown_os": (
        lambda p: p.builtin("typo.py", p.registering("Typo", "os='linx'")),
        "  CP006 unknown os linx at linx [single_rp] from plugin module {m}: did you mean linux?",
        {"os": "linx", "key_path": ["linx"], "did_you_mean": "linux"},
    ),
    "self_overrides": (
        lambda p: p.builtin(
            "twice.py",
            p.registering("A", "os='probeos'")
            + "class B: pass\nplugin_manager.register_plugin(B, os='probeos')\n",
        ),
        "  CP004 plugin module {m} replaced its own registration at probeos [single_rp]: {m}.A by {m}.B",
        {"replaced": "{m}.A", "winner": "{m}.B", "key_path": ["probeos"]},
    ),
    "replaced_nothing": (
        lambda p: p.builtin(
            "rep.py",
            p.registering("A", "os='probeos'")
            + "class B: pass\nplugin_manager.register_plugin(B, os='probeos', platform='p', replaces=A)\n",
        ),
        "  CP005 {m}.B from plugin module {m} declares that it replaces {m}.A at probeos/p [single_rp], but nothing was registered there\n"
        "    fix: register it at the key path and chassis type where {m}.A is registered, or drop replaces={m}.A",
        {"class": "{m}.B", "declared": "{m}.A", "key_path": ["probeos", "p"]},
    ),
    "shared_modules": (
        _shared,
        "  CP007 2 entry points name the module {m}, which is imported once and counts for the first: entry point one = {m} (from unknown distribution); entry point two = {m}:Shared (from unknown distribution)",
        {"module": "{m}"},
    ),
    "registered_nothing": (
        lambda p: p.external("cls", "class Conn:\n    pass\n", attr="Conn").module,
        "  CP002 entry point cls = {m}:Conn (from unknown distribution) registered nothing: Conn is a class, and naming it registers nothing: a plugin registers its classes when its module is imported, so call plugin_manager.register_plugin(Conn, ...) in {m} and name the module",
        {
            "source": {
                "kind": "entry_point",
                "name": "cls",
                "value": "{m}:Conn",
                "distribution": None,
                "version": None,
            }
        },
    ),
    "disabled": (
        lambda p: "nosuch",
        "  CP009 the disabled name nosuch matched no distribution, entry point or built-in plugin module",
        {"name": "nosuch", "matched": [], "from_environment": False},
    ),
}


@pytest.mark.parametrize("kind", MISTAKES)
def test_check_reports_each_mistake_with_its_source(probes, capsys, monkeypatch, kind):
    monkeypatch.setattr(check, "SLOW_LOADING", -1.0)  # the slowest plugins always named
    setup, line, fields = MISTAKES[kind]
    # Something registered, so that the probe package is no problem of its own.
    probes.builtin("base.py", probes.registering("Base", "os='probeos', platform='base'"))
    module = setup(probes)
    argv = ["check", "--disable", "nosuch"] if kind == "disabled" else ["check"]
    assert main(argv) == 1
    out = capsys.readouterr().out
    assert out.endswith(f"\nproblems:\n{line.format(m=module)}\n\n1 problem found\n")
    assert f" s  plugin module {probes.prefix}.base\n" in out.split("the slowest plugins:")[1]
    probes.unload()
    assert main([*argv, "--json"]) == 1
    report = json.loads(capsys.readouterr().out)
    assert all(row["seconds"] >= 0 for row in report["registrations"])
    [found] = report[kind]
    expected = json.loads(json.dumps(fields).replace("{m}", module))
    assert {key: found[key] for key in fields} == expected


@pytest.mark.parametrize(
    ("name", "other", "distance"),
    [
        ("linx", "linux", 1),
        ("Linux", "linux", 0),
        ("linuxx2", "linux", None),
        ("acme-switch-os", "acme-swtch-so", 2),
        ("eos", "ios", None),  # short names: only a swap counts
        ("iso", "ios", 1),  # two neighbours swapped
    ],
)
def test_os_edit_distance(name, other, distance):
    assert check.os_edit_distance(name, other) == distance
