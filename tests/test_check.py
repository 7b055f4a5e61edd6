"""corvane-plugins check, the sources of registrations, and -v tracebacks."""

import importlib.metadata
import itertools
import json
import json.decoder
import logging

import pytest

from corvane import check, loading
from corvane.cli import main
from corvane.records import error_line
from corvane.registry import load_plugins

pytest_plugins = ["plugin_probes"]

# The probes answer the listing of entry points themselves: the cache stays out.
LISTED = (
    "entry points: read from the installed metadata (importlib.metadata.entry_points is replaced)"
)


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
        status, lines = (
            0,
            [f"    1  plugin module {probes.prefix}.a", "", LISTED, "", "nothing to report"],
        )
    else:
        lines = [
            f"    0  plugin module {probes.prefix}",
            "",
            LISTED,
            "",
            "problems:",
            f"  CP002 {nothing}",
        ]
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
    close = "corvane.plugin corvane_plugins Corvane-Plugins corvane.plgins corvane__plugin".split()
    # At the edge of 85% similar: corvane.plug (0.89) is close, corvane.plu (0.85-) is not.
    close += [" corvane plugins ", "corvane.pluginsss", "corvane.plug", "corvne.plugns"]
    close.append("corvane.pluginsssssss")  # 0.83 similar: close as a plural only
    far = "corvane.plugins.extra corvane console_scripts pytest11 corvane.plu".split()
    assert [group for group in close + far if check._close(group)] == close


def _shared(probes):
    # A second entry point naming the first one's module.
    first = probes.external("one", probes.registering("Shared", "os='sharedos'"))
    probes.entry_points.append(
        type(first)(name="two", value=f"{first.module}:Shared", group=first.group)
    )
    return first.module


BUILTIN = {"kind": "builtin", "module": "{m}"}
# fmt: off
MISTAKES = {
    "unknown_os": (
        lambda p: p.builtin("typo.py", p.registering("Typo", "os='linx'")),
        "  CP006 unknown os linx at linx [single_rp] from plugin module {m}: did you mean linux?",
        {"code": "CP006", "os": "linx", "key_path": ["linx"], "chassis_type": "single_rp",
         "class": "{m}.Typo", "source": BUILTIN, "did_you_mean": "linux"},
    ),
    "self_overrides": (
        lambda p: p.builtin(
            "twice.py",
            p.registering("A", "os='probeos'")
            + "class B: pass\nplugin_manager.register_plugin(B, os='probeos')\n",
        ),
        "  CP004 plugin module {m} replaced its own registration at probeos [single_rp]: {m}.A by {m}.B",
        {"code": "CP004", "key_path": ["probeos"], "chassis_type": "single_rp", "source": BUILTIN,
         "replaced": "{m}.A", "winner": "{m}.B"},
    ),
    "replaced_nothing": (
        lambda p: p.builtin(
            "rep.py",
            p.registering("A", "os='probeos'")
            + "class B: pass\nplugin_manager.register_plugin(B, os='probeos', platform='p', replaces=A)\n",
        ),
        "  CP005 {m}.B from plugin module {m} declares that it replaces {m}.A at probeos/p [single_rp], but nothing was registered there\n"
        "    fix: register it at the key path and chassis type where {m}.A is registered, or drop replaces={m}.A",
        {"code": "CP005", "key_path": ["probeos", "p"], "chassis_type": "single_rp", "class": "{m}.B",
         "declared": "{m}.A", "source": BUILTIN,
         "fix": "register it at the key path and chassis type where {m}.A is registered, or drop replaces={m}.A"},
    ),
    "shared_modules": (
        _shared,
        "  CP007 2 entry points name the module {m}, which is imported once and counts for the first: entry point one = {m} (from unknown distribution); entry point two = {m}:Shared (from unknown distribution)",
        {"code": "CP007", "module": "{m}", "entry_points": [
            {"kind": "entry_point", "name": "one", "value": "{m}", "distribution": None, "version": None},
            {"kind": "entry_point", "name": "two", "value": "{m}:Shared", "distribution": None, "version": None}]},
    ),
    "registered_nothing": (
        lambda p: p.external("cls", "class Conn:\n    pass\n", attr="Conn").module,
        "  CP002 entry point cls = {m}:Conn (from unknown distribution) registered nothing: Conn is a class, and naming it registers nothing: a plugin registers its classes when its module is imported, so call plugin_manager.register_plugin(Conn, ...) in {m} and name the module",
        {"code": "CP002",
         "source": {"kind": "entry_point", "name": "cls", "value": "{m}:Conn", "distribution": None, "version": None},
         "note": "Conn is a class, and naming it registers nothing: a plugin registers its classes when its module is imported, so call plugin_manager.register_plugin(Conn, ...) in {m} and name the module"},
    ),
    "disabled": (
        lambda p: "nosuch",
        "  CP009 the disabled name nosuch matched no distribution, entry point or built-in plugin module",
        {"code": "CP009", "name": "nosuch", "from_environment": False, "matched": []},
    ),
}
# fmt: on


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
    expected = json.loads(json.dumps(fields).replace("{m}", module))
    others = {finding.key: [] for finding in check.FINDINGS if finding.key != kind}
    assert {key: value for key, value in report.items() if key != "registrations"} == {
        "format": 3,
        **others,
        kind: [expected],
        "ignored": [],
        "cache": {"used": False, "file": None, "note": LISTED.split("(")[1][:-1]},
        "problems": 1,
    }


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


class OwnWay(importlib.metadata.PathDistribution):
    """A distribution whose class lists its entry points itself."""

    @property
    def entry_points(self):
        return super().entry_points


# Installed distributions (name, entry_points.txt, whether it lists them its
# own way), and the groups check reports: distribution, group, entry points.
# fmt: off
NEAR_MISSES = [
    ([("a", "[corvane.plugin]\nx = m\ny = n:f\n", False)], [("a", "corvane.plugin", ["x = m", "y = n:f"])]),
    ([("a", "[corvane.plugins]\nx = m\n", False)], []),
    ([("a", "[console_scripts]\nx = m\n", False)], []),
    ([("a", "[Corvane_Plugins]\nx = m\n", False)], [("a", "Corvane_Plugins", ["x = m"])]),
    ([("a", "[corvane.plgins]\nx = m\n", False)], [("a", "corvane.plgins", ["x = m"])]),
    ([("a", "[corvane.plugins.extra]\nx = m\n", False)], []),
    ([("a", "[corvane.plugins]\nx = m\n[corvane_plugin]\ny = n\n[corvane.plugin]\nz = o\n", False)],
     [("a", "corvane.plugin", ["z = o"]), ("a", "corvane_plugin", ["y = n"])]),
    ([("b", "[corvane.plugin]\nx = m\n", False), ("a", "[corvane.plugin]\ny = n\n", False)],
     [("a", "corvane.plugin", ["y = n"]), ("b", "corvane.plugin", ["x = m"])]),
    ([("A_b", "[corvane.plugin]\nx = m\n", False), ("a-B", "[corvane.plugin]\ny = n\n", False)],
     [("A_b", "corvane.plugin", ["x = m"])]),
    ([("a", "[corvane.plugin]\nx = m\n", True)], [("a", "corvane.plugin", ["x = m"])]),
    ([("a", "[corvane.plugins]\nx = m\n", True)], []),
    ([("a", "", False)], []),
]
# fmt: on


@pytest.mark.parametrize(("installed", "found"), NEAR_MISSES)
def test_near_miss_groups_of_installed_distributions(tmp_path, monkeypatch, installed, found):
    dists = []
    for number, (name, text, own) in enumerate(installed):
        info = tmp_path / f"{number}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Name: {name}\nVersion: 2.0\n")
        (info / "entry_points.txt").write_text(text)
        dists.append((OwnWay if own else importlib.metadata.PathDistribution)(info))
    monkeypatch.setattr(check, "distributions", lambda: dists)
    groups = [group.as_json() for group in check.near_miss_groups()]
    described = [group.describe() for group in check.near_miss_groups()]
    assert described == [
        f'{name} 2.0 declares entry points in the group "{group}", not "corvane.plugins", '
        f"so they are never loaded: {', '.join(points)}"
        for name, group, points in found
    ]
    assert groups == [
        {"distribution": name, "version": "2.0", "group": group, "entry_points": points}
        for name, group, points in found
    ]


# An exception, and the one line that names it in every report.
ERRORS = [
    (
        SyntaxError("invalid syntax", ("f.py", 3, 1, "x(\n")),
        "SyntaxError: invalid syntax (f.py, line 3)",
    ),
    (SyntaxError("bad", (None, 3, 1, None)), "SyntaxError: bad (line 3)"),
    (SyntaxError("bad", ("f.py", None, None, None)), "SyntaxError: bad (f.py)"),
    (SyntaxError("bad"), "SyntaxError: bad"),
    (
        IndentationError("unexpected indent", ("g.py", 1, 2, " x\n")),
        "IndentationError: unexpected indent (g.py, line 1)",
    ),
    (ValueError("first\n\n  second \n"), "ValueError: first; second"),
    (KeyError("k"), "KeyError: 'k'"),
    (OSError(), "OSError"),
    (
        json.JSONDecodeError("Expecting value", "x", 0),
        "json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)",
    ),
]


@pytest.mark.parametrize(("error", "line"), ERRORS)
def test_an_error_in_one_line(error, line):
    assert error_line(error) == line


REPORT = """registrations per plugin:
    1  plugin module {P}.a
    1  plugin module {P}.b

disabled, not loaded:
  {p}.c: plugin module {P}.c

loading took 1.50 s; the slowest plugins:
    0.50 s  plugin module {P}
    0.50 s  plugin module {P}.a
    0.50 s  plugin module {P}.b

ignored: CP006 (unknown_os)

{L}

problems:
  CP003 conflict at probeos [single_rp]: {P}.a.A from plugin module {P}.a replaced by {P}.b.B from plugin module {P}.b
    fix: if {P}.b.B is meant to replace {P}.a.A, register it with replaces={P}.a.A; or keep one plugin out: --disable {p}.b or --disable {p}.a

1 problem found
"""


def test_the_whole_report_as_text_and_as_json(probes, capsys, monkeypatch):
    # Each plugin takes half a second (and a quarter of a microsecond, which the
    # JSON rounds off) by the clock loading reads.
    monkeypatch.setattr(loading, "perf_counter", itertools.count(0, 0.5 + 2**-22).__next__)
    for name, os_name in [("a", "probeos"), ("b", "probeos"), ("c", "zos")]:
        probes.builtin(f"{name}.py", probes.registering(name.upper(), f"os='{os_name}'"))
    argv = ["check", "--disable", f"{probes.package}.c", "--ignore", "CP006"]
    assert main(argv) == 1
    assert capsys.readouterr().out == REPORT.format(P=probes.prefix, p=probes.package, L=LISTED)
    probes.unload()
    assert main([*argv, "--json"]) == 1
    report = json.loads(capsys.readouterr().out)
    assert [(row["source"], row["count"], row["seconds"]) for row in report["registrations"]] == [
        ({"kind": "builtin", "module": f"{probes.prefix}.{name}"}, 1, 0.5) for name in "ab"
    ]
    fix = REPORT.format(P=probes.prefix, p=probes.package, L=LISTED).split("    fix: ")[1]
    fix = fix.split("\n")[0]
    source = {name: {"kind": "builtin", "module": f"{probes.prefix}.{name}"} for name in "ab"}
    assert report["conflicts"] == [
        {
            "code": "CP003",
            "key_path": ["probeos"],
            "chassis_type": "single_rp",
            "replaced": {"class": f"{probes.prefix}.a.A", "source": source["a"]},
            "winner": {"class": f"{probes.prefix}.b.B", "source": source["b"]},
            "declared": None,
            "fix": fix,
        }
    ]
    assert (report["ignored"], "unknown_os" in report) == (["CP006"], False)


def test_a_failure_in_json(probes, capsys):
    broken = probes.builtin("b.py", "raise RuntimeError('no driver')\n")
    assert main(["check", "--json"]) == 3
    out = capsys.readouterr().out
    assert out.startswith('{\n  "format": 3,\n  "registrations": [],\n  "failures": [\n    {\n')
    [failure] = json.loads(out)["failures"]
    assert {key: failure[key] for key in ("code", "source", "error")} == {
        "code": "CP001",
        "source": {"kind": "builtin", "module": broken},
        "error": f"plugin module {broken} failed to load: RuntimeError: no driver",
    }
    assert failure["traceback"][0] == "Traceback (most recent call last):"
    assert failure["traceback"][-3:] == [
        f'  File "{probes.builtin_root / probes.package / "b.py"}", line 1, in <module>',
        "    raise RuntimeError('no driver')",
        "RuntimeError: no driver",
    ]


RAISE = "import json\njson.loads('{')\n"
CAUSED = "try:\n    {}['k']\nexcept KeyError as e:\n    raise RuntimeError('no k') from e\n"
# Where the plugin lives (builtin: below the probe package; external: an entry
# point naming a top-level module or a package's module), its files, and the
# frames of its own code that check shows: (file, line), in order.
# fmt: off
OWN_FRAMES = [
    ("builtin", "pkg", {"pkg/__init__.py": "from . import sub\n", "pkg/sub.py": RAISE},
     [("pkg/__init__.py", 1), ("pkg/sub.py", 2)]),
    ("builtin", "mod", {"mod.py": "\n" + RAISE}, [("mod.py", 3)]),
    ("external", "{p}_top", {"{p}_top.py": RAISE}, [("{p}_top.py", 2)]),
    ("external", "{p}_pkg.inner", {"{p}_pkg/__init__.py": "", "{p}_pkg/inner.py": CAUSED}, [("{p}_pkg/inner.py", 4)]),
]
# fmt: on


@pytest.mark.parametrize(("where", "module", "files", "frames"), OWN_FRAMES)
def test_a_failure_shows_the_plugin_s_own_frames(probes, where, module, files, frames):
    p = probes.package
    root = probes.builtin_root / p if where == "builtin" else probes.external_root
    for relative, code in files.items():
        (root / relative.format(p=p)).parent.mkdir(parents=True, exist_ok=True)
        (root / relative.format(p=p)).write_text(code)
    if where == "external":
        probes.entry_points.append(
            importlib.metadata.EntryPoint("e", module.format(p=p), "corvane.plugins")
        )
    [failure] = load_plugins(keep_going=True).failures
    shown = [line.strip() for line in failure.own_frame_lines() if line.strip().startswith("File")]
    assert shown == [f'File "{root / f.format(p=p)}", line {n}, in <module>' for f, n in frames]
    whole = failure.traceback_lines()
    assert "<frozen importlib" not in "\n".join(whole) and whole[-1] == error_line(failure.error)
    assert whole.count("Traceback (most recent call last):") == 1 + (files is OWN_FRAMES[3][2])


# The built-in plugin modules, the arguments, and the whole report.
# fmt: off
REPORTS = [
    ({}, ["--disable", "{p}"],
     "registrations per plugin:\n  none: no plugin registered anything\n\n"
     "disabled, not loaded:\n  {p}: plugin module {P}\n\n{L}\n\nnothing to report\n"),
    ({"t.py": "os='linx'"}, ["--disable", "nosuch"],
     "registrations per plugin:\n    1  plugin module {P}.t\n\n{L}\n\nproblems:\n"
     "  CP006 unknown os linx at linx [single_rp] from plugin module {P}.t: did you mean linux?\n"
     "  CP009 the disabled name nosuch matched no distribution, entry point or built-in plugin module\n"
     "\n2 problems found\n"),
    ({"m.py": "os='o')\nfor n in range(999):\n    plugin_manager.register_plugin(T, os=f'o{n}'", "t.py": "os='p'"}, [],
     "registrations per plugin:\n  1000  plugin module {P}.m\n     1  plugin module {P}.t\n\n{L}\n\nnothing to report\n"),
]
# fmt: on


@pytest.mark.parametrize(("modules", "argv", "text"), REPORTS)
def test_reports_of_none_and_of_many(probes, capsys, modules, argv, text):
    for name, where in modules.items():
        probes.builtin(name, probes.registering("T", where))
    argv = [arg.format(p=probes.package) for arg in argv]
    assert main(["check", *argv]) == (1 if "problems:" in text else 0)
    assert capsys.readouterr().out == text.format(p=probes.package, P=probes.prefix, L=LISTED)
    with pytest.raises(RuntimeError, match=r"^the plugins were already loaded in this process"):
        check.check_plugins()


def test_check_plugins_refuses_an_unknown_code(probes):
    with pytest.raises(ValueError, match=r"^unknown finding code: CP000, XX$"):
        check.check_plugins(ignore=["CP001", "XX", "CP000"])
