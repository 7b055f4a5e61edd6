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


def clean(probes):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))


def function_entry_point(probes):
    clean(probes)
    code = probes.registering("F", "os='funcos'").replace(
        "plugin_manager.register", "def register(): plugin_manager.register"
    )
    probes.external("setup", code, attr="register")


def conflict(probes):
    clean(probes)
    probes.external("over", probes.registering("B", "os='probeos'"))


def empty_package(probes):
    probes.builtin("a.py", "VALUE = 1\n")


@pytest.mark.parametrize(
    ("setup", "status", "counts", "problems"),
    [
        (clean, 0, ["1  plugin module {prefix}.a"], []),
        (
            function_entry_point,
            1,
            [
                "1  plugin module {prefix}.a",
                "0  entry point setup = {package}_setup:register (from unknown distribution)",
            ],
            [
                "entry point setup = {package}_setup:register (from unknown distribution) registered nothing: register is a function, which is loaded but never called; name the module that registers the classes instead"
            ],
        ),
        (
            conflict,
            1,
            [
                "1  plugin module {prefix}.a",
                "1  entry point over = {package}_over (from unknown distribution)",
            ],
            [
                "conflict at probeos [single_rp]: {prefix}.a.A from plugin module {prefix}.a replaced by {package}_over.B from entry point over = {package}_over (from unknown distribution)"
            ],
        ),
        (
            empty_package,
            1,
            ["0  plugin module {prefix}"],
            ["plugin module {prefix} registered nothing"],
        ),
    ],
    ids=lambda value: getattr(value, "__name__", None),
)
def test_check_reports_each_problem(probes, capsys, caplog, setup, status, counts, problems):
    setup(probes)
    names = {"prefix": probes.prefix, "package": probes.package}
    assert main(["check"]) == status
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert err == "" and lines[0] == "registrations per plugin:"
    assert [line.strip() for line in lines[1 : 1 + len(counts)]] == [
        c.format(**names) for c in counts
    ]
    expected = [f"  {p.format(**names)}" for p in problems]
    if problems:
        assert lines[1 + len(counts) :] == [
            "",
            "problems:",
            *expected,
            "",
            f"{len(problems)} problem{'s' * (len(problems) > 1)} found",
        ]
    else:
        assert lines[1 + len(counts) :] == ["", "nothing to report"]
    # load_plugins warns of what registered nothing, whoever calls it.
    warned = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warned == [p.strip() for p in expected if "registered nothing" in p]

    probes.unload()
    assert main(["check", "--json"]) == status
    report = json.loads(capsys.readouterr().out)
    assert report["problems"] == len(problems)
    assert [entry["count"] for entry in report["registrations"]] == [
        int(c.split()[0]) for c in counts
    ]


def test_a_failed_plugin_shows_its_traceback(probes, capsys):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    broken = probes.builtin("b.py", "settings = {}\n\nsettings['needed_key']\n")
    path = probes.builtin_root / probes.package / "b.py"
    frame = f'File "{path}", line 3, in <module>'

    assert main(["check"]) == 2
    out = capsys.readouterr().out
    assert f"  plugin module {broken} failed to load: KeyError: 'needed_key'\n" in out
    assert f"\n      {frame}\n        settings['needed_key']\n" in out
    assert out.endswith("    KeyError: 'needed_key'\n\n1 problem found\n")

    for argv, shown in [
        (["tree"], False),
        (["-v", "tree"], True),
        (["--keep-going", "-v", "list"], True),
    ]:
        probes.unload()
        assert main(argv) == 2
        err = capsys.readouterr().err
        assert (
            f"corvane-plugins: plugin module {broken} failed to load: KeyError: 'needed_key'\n"
            in err
        )
        assert (frame in err) is shown


@pytest.mark.parametrize(
    ("group", "close"),
    [
        ("corvane.plugin", True),
        ("corvane_plugins", True),
        ("Corvane-Plugins", True),
        ("corvane.plgins", True),
        ("corvane.plugins.extra", False),
        ("corvane", False),
        ("console_scripts", False),
        ("pytest11", False),
    ],
)
def test_groups_close_to_the_package_group(group, close):
    assert check._close(group) is close


def test_sources_name_what_was_loading(probes, capsys):
    helper = probes.builtin("helper.py", probes.registering("H", "os='probeos', platform='h'"))
    first = probes.builtin("a.py", f"import {helper}\n" + probes.registering("A", "os='probeos'"))
    ext = probes.external("ext", probes.registering("E", "os='extos'"))
    load_plugins()

    class Late:
        pass

    probes.manager.register_plugin(Late, os="lateos")
    probes.manager.register_plugin(Late, os="probeos")  # replaces A
    assert main(["list", "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert [(row["key_path"], row["source"]) for row in rows] == [
        (
            "extos",
            {
                "kind": "entry_point",
                "name": "ext",
                "value": ext.value,
                "distribution": None,
                "version": None,
            },
        ),
        ("lateos", {"kind": "outside_loading"}),
        ("probeos", {"kind": "outside_loading"}),
        # helper was imported by a, which discovery imported first.
        ("probeos/h", {"kind": "builtin", "module": first}),
    ]
