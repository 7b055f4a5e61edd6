"""The documented behaviour of corvane-plugins, one table per rule: exit
statuses, fitting the width, --disable matching, misspelling boundaries,
what diff refuses, and readers that go away early."""

import collections
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from importlib import metadata
from importlib.metadata import EntryPoint

import pytest

from corvane.check import os_edit_distance, unknown_os
from corvane.cli import main
from corvane.keys import class_name, key_path_json
from corvane.records import Registration, Source
from corvane.tree import ABSENT, child

pytest_plugins = ["plugin_probes"]

BROKEN = "raise RuntimeError('no driver')\n"
ACME = "from corvane.registry import plugin_manager\nclass C: pass\nplugin_manager.register_plugin(C, os='acmeos')\n"
REPEATED = "from corvane.registry import plugin_manager\nclass C: pass\nfor _ in range(3):\n    plugin_manager.register_plugin(C, os='repos')\n"
# A class whose text, which tree shows, is interrupted.
INTERRUPTING = "from corvane.registry import plugin_manager\nclass M(type):\n    def __repr__(cls):\n        raise KeyboardInterrupt\nclass C(metaclass=M): pass\nplugin_manager.register_plugin(C, os='kbd')\n"
MISSPELT = "from corvane.registry import plugin_manager\nclass C: pass\nplugin_manager.register_plugin(C, os='linx')\n"


def world(probes, extra=None):
    """probeos/edge from the built-in module longmodule, acmeos from the entry
    point acmeos of Acme_Plugins 1.0, and ``extra`` as the built-in module b
    (or run on the probes, when it is a function)."""
    registering = probes.registering("LongConnectionName", "os='probeos', platform='edge'")
    probes.builtin("longmodule.py", registering)
    acme = probes.registering("Acme", "os='acmeos'")
    probes.external("acmeos", acme, distribution="Acme_Plugins")
    if callable(extra):
        extra(probes)
    elif extra:
        probes.builtin("b.py", extra)


def unreadable(filename, how):
    """zeta_plugins 1.0, whose entry point zetaos registers Zeta for acmeos,
    with its ``filename`` made unreadable: a folder, or a broken link."""

    def install(probes):
        info = probes.external_root / "zeta_plugins-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text("Name: zeta-plugins\nVersion: 1.0\n")
        module = probes.external_module("zetaos")
        (info / "entry_points.txt").write_text(f"[corvane.plugins]\nzetaos = {module}\n")
        (probes.external_root / f"{module}.py").write_text(
            probes.registering("Zeta", "os='acmeos'")
        )
        if filename == "METADATA":  # the entry points read, and listed
            probes.entry_points += metadata.Distribution.at(info).entry_points
        (info / filename).unlink()
        if how == "folder":
            (info / filename).mkdir()
        else:
            (info / filename).symlink_to(info / "gone")

    return install


def colliding(probes):
    """The built-in module b fails, and the distribution named {p}-b (the
    name {p}.b as installers compare it) declares bb."""
    probes.builtin("b.py", BROKEN)
    probes.external("bb", ACME.replace("acmeos", "bbos"), distribution=f"{probes.package}-b")


STOPPED = "(use --keep-going to load the other plugins, or --disable {p}.b to keep it out)\n"
CODES = "(the codes are CP001 to CP010)\n"
KEPT = (
    "  kept out: entry point acmeos = {p}_acmeos (from Acme_Plugins 1.0), which may register acmeos"
)
# argv, the built-in module b's code, status, what stderr ends with ({p}: the probe package).
# fmt: off
STATUSES = [
    (["tree"], None, 0, ""),
    (["which", "--os", "nope"], None, 1, "registered operating systems: acmeos, probeos\n"),
    (["which", "--os", "acmeXX"], None, 1, "registered operating systems: acmeos, probeos\n"),
    (["which", "--os", "acmoes"], None, 1, "acmeos, probeos; did you mean acmeos?\n"),
    (["which", "--os", "probeos", "--model", "x"], None, 2, "argument --model: needs --platform\n"),
    (["which", "--os", "probeos", "--platform", "edge", "--model", "x"], None, 0, ""),
    (["lookup"], None, 2, "(choose from 'tree', 'which', 'list', 'check', 'diff')\n"),
    (["check", "--ignore", "CP011"], None, 2, f"unknown finding code 'CP011' {CODES}"),
    (["check", "--ignore", "cp000"], None, 2, f"unknown finding code 'cp000' {CODES}"),
    (["check"], MISSPELT, 1, ""),
    (["check", "--ignore", "cp006"], MISSPELT, 0, ""),
    (["check"], BROKEN, 3, ""),
    (["check", "--ignore", "CP001"], BROKEN, 0, ""),
    (["check", "--ignore", "CP006,cp001"], BROKEN, 0, ""),
    (["check", "--ignore", "CP001,CP099"], BROKEN, 2, f"unknown finding code 'CP099' {CODES}"),
    (["list"], BROKEN, 3, STOPPED),
    (["tree"], INTERRUPTING, 130, "corvane-plugins: interrupted\n"),
    (["--disable", "nosuch", "list"], BROKEN, 3, f"{STOPPED}corvane-plugins: warning: the disabled name nosuch matched no distribution, entry point or built-in plugin module\n"),
    (["--disable", "{p}.longmodule", "list"], BROKEN, 3, STOPPED),
    (["list"], colliding, 3, "(use --keep-going to load the other plugins, or --disable corvane.plugins.{p}.b to keep it out)\n"),
    (["--disable", "{p}.b", "list"], colliding, 0, "warning: the disabled name {p}.b matched 2 plugins: entry point bb = {p}_bb (from {p}-b 1.0) (--disable {p}-b); plugin module corvane.plugins.{p}.b (--disable corvane.plugins.{p}.b)\n"),
    (["--disable", "{p}-b", "list"], colliding, 3, "--disable corvane.plugins.{p}.b to keep it out)\n"),
    (["--disable", "zeta_plugins", "list"], unreadable("entry_points.txt", "folder"), 0, "entry_points.txt (Is a directory): the plugins of zeta_plugins 1.0 are not loaded\ncorvane-plugins: warning: the disabled name zeta_plugins matched no plugin: the entry points of zeta_plugins 1.0 cannot be read\n"),
    (["check"], unreadable("entry_points.txt", "link"), 1, ""),
    (["check", "--ignore", "CP010"], unreadable("entry_points.txt", "link"), 0, ""),
    (["check", "--no-external"], unreadable("entry_points.txt", "link"), 1, ""),
    (["--disable", "zeta_plugins", "check", "--ignore", "CP010"], unreadable("entry_points.txt", "link"), 0, ""),
    (["--disable", "zeta-plugins", "list"], unreadable("METADATA", "folder"), 0, "METADATA (Is a directory): zeta_plugins 1.0 is named after its folder\n"),
    (["tree"], unreadable("METADATA", "link"), 0, "replaced by {p}_zetaos.Zeta from entry point zetaos = {p}_zetaos (from zeta_plugins 1.0)\n"),
    (["tree"], REPEATED, 0, ".{p}.b.C from plugin module corvane.plugins.{p}.b (2 times)\n"),
    (["-v", "tree"], REPEATED, 0, " (2 times)\ndebug: repos is not part of the built-in list of supported OSes. (3 times in all)\ndebug:  C already registered for ['repos'], C from corvane.plugins.{p}.b is overriding this class (2 times in all)\n"),
    (["--keep-going", "which", "--os", "nope"], BROKEN, 1, "operating systems: acmeos, probeos\n"),
    (["--disable", "{p}.b", "list"], BROKEN, 0, ""),
    (["--disable", "nosuch,{p}.b", "list"], BROKEN, 0, "the disabled name nosuch matched no distribution, entry point or built-in plugin module\n"),
    (["--disable", "acme_plugins", "which", "--os", "acmeos"], None, 1, f"probeos\n{KEPT} (--disable acme_plugins)\n"),
    (["CORVANE_PLUGINS_DISABLE=x,Acme_Plugins", "which", "--os", "acmeos", "--explain"], None, 1, f"{KEPT} (CORVANE_PLUGINS_DISABLE names Acme_Plugins)\n"),
    (["--disable", "{p}.longmodule", "which", "--os", "acmeos"], None, 0, ""),
    (["--disable", "{p}.b", "which", "--os", "b"], MISSPELT, 1, "  kept out: plugin module corvane.plugins.{p}.b, which may register b (--disable {p}.b)\n"),
    (["--disable", "acmeos", "which", "--os", "acmeos", "--chassis-type", "stack"], ACME, 1, "  kept out: entry point acmeos = {p}_acmeos (from Acme_Plugins 1.0) (--disable acmeos)\n"),
    (["--disable", "{p}.longmodule", "which", "--os", "nope"], None, 1, "acmeos\n  kept out: plugin module corvane.plugins.{p}.longmodule (--disable {p}.longmodule)\n"),
]
# fmt: on


@pytest.mark.parametrize(("argv", "extra", "status", "err_end"), STATUSES)
def test_each_exit_status(probes, capsys, monkeypatch, argv, extra, status, err_end):
    world(probes, extra)
    argv = [arg.format(p=probes.package) for arg in argv]
    while "=" in argv[0]:  # VARIABLE=value before the command, as a shell takes it
        monkeypatch.setenv(*argv.pop(0).split("=", 1))
    assert main(argv) == status
    out, err = capsys.readouterr()
    assert err.endswith(err_end.format(p=probes.package)) and "Traceback" not in err
    # A line comes once, repeated ones with their count.
    lines = [line for line in err.splitlines() if line]
    assert len(set(lines)) == len(lines)
    # --explain shows on stdout the plugins kept out that the miss names on stderr.
    kept = err_end.format(p=probes.package).rpartition("kept out: ")[2].strip()
    assert (f"kept out: {kept}" in out) is ("--explain" in argv and "kept out" in err_end)


# COLUMNS, then the lines list prints for the registration of the class c
# from the module m in the file f: row cells cut from the left (class, file)
# or the right (key path, source), or a stacked layout.
# fmt: off
WIDTHS = [
    ("0", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}  {f}", ""),
    ("200", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}  ...{f[-45:]}", ""),
    ("169", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}  ...{f[-13:]}", ""),
    ("162", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}  ...{f[-7:]}", ""),
    ("161", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}", "FILE"),
    ("150", lambda m, c, f: f"probeos/edge  single_rp  {c}  plugin module {m}", "FILE"),
    ("120", lambda m, c, f: f"probeos/edge  single_rp  {c}  {('plugin module ' + m)[:26]}...", "FILE"),
    ("80", lambda m, c, f: f"probeos/edge  single_rp  ...{c[-52:]}", "SOURCE, FILE"),
    ("47", lambda m, c, f: "probeos/edge  single_rp  ...LongConnectionName", "SOURCE, FILE"),
    ("45", lambda m, c, f: "probeos/...  single_rp  ...LongConnectionName", "SOURCE, FILE"),
    ("44", lambda m, c, f: "probeos...  single_rp  ...LongConnectionName", "SOURCE, FILE"),
    ("43", lambda m, c, f: f"probeos/edge [single_rp]\n  {m[:-10]}\n    {c[-29:]}", "SOURCE, FILE"),
    ("37", lambda m, c, f: f"probeos/edge [single_rp]\n  {m[:-10]}\n    {c[-29:]}", "SOURCE, FILE"),
    ("36", lambda m, c, f: f"probeos/edge [single_rp]\n  {m[:16]}\n    {m[16:]}.\n    {c[-18:]}", "SOURCE, FILE"),
    ("20", lambda m, c, f: f"probeos/edge [single\n_rp]\n  {m[:16]}\n    {m[16:32]}\n    {m[32:]}.\n    {c[-18:-2]}\n    me", "SOURCE, FILE"),
]
# fmt: on


@pytest.mark.parametrize(("columns", "row", "mark"), WIDTHS)
def test_list_fits_the_width_and_keeps_the_class(probes, capsys, monkeypatch, columns, row, mark):
    registering = probes.registering("LongConnectionName", "os='probeos', platform='edge'")
    module = probes.builtin("longmodule.py", registering)
    file = str(probes.builtin_root / probes.package / "longmodule.py")
    monkeypatch.setenv("COLUMNS", columns)
    assert main(["list"]) == 0
    lines = capsys.readouterr().out.splitlines()
    expected = row(module, f"{module}.LongConnectionName", file).split("\n")
    table = len(expected) == 1
    assert lines[table:] == [*expected, *([f"(not shown: {mark}; see --wide)"] if mark else [])]
    shown = lines[: len(lines) - bool(mark)]
    assert max(map(len, shown)) <= int(columns) or columns == "0"
    last = {"": "FILE", "FILE": "SOURCE", "SOURCE, FILE": "CLASS"}[mark]
    assert not table or lines[0].split()[-1] == last


# A --disable name, and the plugins it keeps out: the entry point acmeos of
# Acme_Plugins (by its distribution, normalised, or its own name, exactly) and
# the built-in module longmodule (by its name below corvane.plugins).
DISABLE = [
    ("acme-plugins", {"acmeos"}),
    ("ACME.plugins", {"acmeos"}),
    ("acme__plugins", {"acmeos"}),
    ("acme", set()),
    ("plugins", set()),
    ("acmeos", {"acmeos"}),
    ("ACMEOS", set()),
    ("acmeo", set()),
    ("{p}.longmodule", {"probeos"}),
    ("corvane.plugins.{p}.longmodule", {"probeos"}),
    ("longmodule", set()),
    ("{p}.longmod", set()),
]


@pytest.mark.parametrize(("name", "kept_out"), DISABLE)
def test_disable_matches_exact_and_normalised_names_only(probes, capsys, name, kept_out):
    world(probes)
    assert main(["--disable", name.format(p=probes.package), "list", "--json"]) == 0
    out, err = capsys.readouterr()
    shown = {row["key_path"][0] for row in json.loads(out)["registrations"]}
    assert shown == {"acmeos", "probeos"} - kept_out
    assert ("matched no distribution" in err) is not kept_out


# Two names, and the edits between them when that is a misspelling.
EDITS = [
    ("ab", "ba", 1),
    ("abc", "acb", 1),
    ("abc", "abd", None),
    ("eos", "eoss", None),
    ("abcd", "abce", 1),
    ("abcd", "abdc", 1),
    ("abcd", "abcdef", None),
    ("abcdefg", "abcdexy", None),
    ("abcdefg", "abcdefgh", 1),
    ("abcdefg", "abcdefghi", None),
    ("abcdefgh", "abcdefxy", 2),
    ("abcdefgh", "abcdefghij", 2),
    ("abcdefgh", "abcdefghijk", None),
    ("abcdefgh", "abcdexyz", None),
    ("abcdefgh", "badcefgh", 2),
    ("Linux", "linux", 0),
    ("Eos", "eos", 0),
    ("bbcc", "cbbc", None),
    ("a", "", None),
    ("linux", "linux", None),
]


@pytest.mark.parametrize(("name", "other", "edits"), EDITS)
def test_misspelling_boundaries(name, other, edits):
    assert (os_edit_distance(name, other), os_edit_distance(other, name)) == (edits, edits)


class Supported:
    """Knows linux is supported, and cannot list what is."""

    def __contains__(self, name):
        return name == "linux"


# Operating systems registered (one registration each), those supported, and
# each registration reported as misspelt with the name it is close to.
UNKNOWN = [
    (["abcdefxy"], ["abcdefgh"], [("abcdefxy", "abcdefgh")]),
    (["abcdexy"], ["abcdefg"], []),
    (["lnix", "linx", "linx"], [], [("lnix", "linx")]),
    (["lnix", "linx"], [], []),
    (["Linux", "linux"], ["linux"], [("Linux", "linux")]),
    (["linx"], Supported(), []),  # a container that cannot be listed: no name to be close to
]


@pytest.mark.parametrize(("names", "supported", "found"), UNKNOWN)
def test_misspelt_operating_systems(names, supported, found):
    rows = [Registration((name,), "single_rp", object, "f") for name in names]
    shown = [
        (item.registration.key_path[0], item.did_you_mean) for item in unknown_os(rows, supported)
    ]
    assert shown == found


ROW = {"key_path": ["x"], "chassis_type": "single_rp", "class": "m.C"}
# A listing's text, and what diff says of it (status 2), or None when it reads it.
LISTINGS = [
    ("[]", None),
    (json.dumps([ROW]), None),
    (json.dumps({"format": 2, "registrations": [ROW]}), None),
    ("not json", "not JSON"),
    ("{}", "(no format number)"),
    (json.dumps({"format": "2", "registrations": []}), "(no format number)"),
    (json.dumps({"format": True, "registrations": []}), "(no format number)"),
    (json.dumps({"format": 1, "registrations": []}), "(no format number)"),
    (
        json.dumps({"format": 3, "registrations": []}),
        "newer than this version of corvane reads (up to 2)",
    ),
    (json.dumps({"format": 2}), "(no registrations array)"),
    ('"text"', "(neither an array nor an object)"),
    ("[1]", "(row 1 is not an object)"),
    (json.dumps([ROW, {**ROW, "key_path": "x"}]), "(row 2 has no key_path array)"),
    (json.dumps([{**ROW, "chassis_type": 1}]), "(row 1 has no chassis_type text)"),
    (json.dumps([{"key_path": [], "chassis_type": "s"}]), "(row 1 has no class text)"),
    (b"[\xff]", "not JSON"),
    (None, "No such file or directory"),
]


@pytest.mark.parametrize(("text", "error"), LISTINGS)
def test_diff_reads_listings_of_each_format_and_refuses_the_rest(tmp_path, capsys, text, error):
    good, path = tmp_path / "good.json", tmp_path / "listing.json"
    good.write_text(json.dumps([ROW]))
    if text is not None:
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
    status = main(["diff", str(good), str(path)])
    err = capsys.readouterr().err
    assert (status, err.startswith(f"corvane-plugins diff: error: {path}")) == (
        (2, True) if error else (int(text == "[]"), False)
    )
    assert error is None or error in err


def listing(version, prefix, count=4000):
    source = {"kind": "entry_point", "name": "e", "value": "m", "distribution": "Acme"}
    rows = [{**ROW, "key_path": [f"os{n}"], "class": f"{prefix}.C"} for n in range(count)]
    return json.dumps([{**row, "source": {**source, "version": version}} for row in rows])


# The shell around diff OLD NEW, and the status diff must exit with whatever the reader does.
READERS = [
    ('"$0" diff "$1" "$1" | head -1', 0),
    ('"$0" diff "$1" "$2" | head -1', 1),
    ('"$0" diff "$1" "$2" | true', 1),
    ('"$0" diff "$1" "$2" >&-', 1),
    ('"$0" diff "$1" "$3" | head -1', 1),
    ('"$0" diff --json "$1" "$3" | true', 1),
]


# A command, and its status when the reader went before it wrote.
# fmt: off
GONE = [
    (["diff", "0", "1"], 1), (["diff", "0", "0"], 0), (["list"], 0), (["--keep-going", "tree"], 3),
    (["--keep-going", "which", "--os", "nope", "--explain"], 1), (["--keep-going", "check"], 3),
]
# fmt: on


@pytest.mark.skipif(sys.platform == "win32", reason="a closed pipe shows as EINVAL there")
@pytest.mark.parametrize(("argv", "status"), GONE)
def test_a_reader_gone_before_the_output(probes, tmp_path, monkeypatch, argv, status):
    # The pipe's reader closed before the command writes: the output goes
    # nowhere, the status stays the command's.
    for name, text in [("0", listing("1", "m")), ("1", listing("1", "n"))]:
        (tmp_path / name).write_text(text)
    monkeypatch.chdir(tmp_path)
    world(probes, BROKEN if "--keep-going" in argv else None)
    reader, writer = os.pipe()
    os.close(reader)
    with open(writer, "w") as stream:
        monkeypatch.setattr(sys, "stdout", stream)
        assert main(argv) == status
        monkeypatch.undo()


@pytest.mark.skipif(sys.platform == "win32", reason="no shell to close a pipe with")
@pytest.mark.parametrize(("shell", "status"), READERS)
def test_the_status_does_not_depend_on_the_reader(tmp_path, shell, status):
    files = [tmp_path / f"{n}.json" for n in range(3)]
    for file, text in zip(
        files, [listing("1", "m"), listing("1", "n"), listing("2", "m")], strict=True
    ):
        file.write_text(text)
    tool = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    script = f'{shell}; exit "${{PIPESTATUS[0]}}"' if "|" in shell else shell
    result = subprocess.run(
        ["bash", "-c", script, tool, *map(str, files)], capture_output=True, text=True, timeout=60
    )
    assert (result.returncode, result.stderr) == (status, "")


STOP = (
    "corvane-plugins: interrupted while loading entry point stop = stop_plugin "
    "(from stop-plugins 1.0); --disable stop-plugins keeps it out\n"
)
# The command, the module that is interrupted while it is imported (one the
# tool imports, shadowed), and stderr.
INTERRUPTS = [
    (["list"], None, STOP),
    (["check", "--json"], None, STOP),
    (["which", "--os", "x"], None, STOP),
    (
        ["--disable", "nosuch", "tree"],
        None,
        "corvane-plugins: warning: the disabled name nosuch matched no distribution, entry point or built-in plugin module\n"
        + STOP,
    ),
    (["tree"], "logging", "corvane-plugins: interrupted\n"),
    (["tree"], "argparse", "corvane-plugins: interrupted\n"),
]


@pytest.mark.parametrize(("argv", "importing", "err"), INTERRUPTS)
def test_an_interrupt_ends_with_one_line_and_130(tmp_path, argv, importing, err):
    # In a process of its own, as an interrupt ends one.
    info = tmp_path / "stop_plugins-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Name: stop-plugins\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[corvane.plugins]\nstop = stop_plugin\n")
    (tmp_path / "stop_plugin.py").write_text("raise KeyboardInterrupt\n")
    if importing:
        (tmp_path / f"{importing}.py").write_text("raise KeyboardInterrupt\n")
    tool = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    result = subprocess.run([tool, *argv], capture_output=True, text=True, timeout=60, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (130, "", err)


Dist = collections.namedtuple("Dist", "name version")


class Keys(dict):
    """A node of another mapping type than dict."""


# A value, and how the key path, the class and the tree's lookups show it.
# fmt: off
VALUES = [
    (lambda: key_path_json(["a", None, 1, 2.5, True, ("t",), Keys]), ["a", None, 1, 2.5, True, "('t',)", str(Keys)]),
    (lambda: (class_name(Keys), class_name(len), class_name(3)), (f"{__name__}.Keys", "builtins.len", "3")),
    (lambda: [child(node, "k") for node in ({"k": 1}, Keys(k=2))], [1, 2]),
    (lambda: [child(node, "j") is ABSENT for node in ({"k": 1}, Keys(k=2), {})], [True] * 3),
    (lambda: Source.of_entry_point(EntryPoint("n", "m:f", "g")).describe(), "entry point n = m:f (from unknown distribution)"),
    (lambda: Source.of_entry_point(EntryPoint("n", "m", "g")._for(Dist("d", "1"))).as_json(),
     {"kind": "entry_point", "name": "n", "value": "m", "distribution": "d", "version": "1"}),
    (lambda: Source.of_module("m").as_json(), {"kind": "module", "module": "m"}),
]
# fmt: on


@pytest.mark.parametrize(("shown", "expected"), VALUES)
def test_keys_classes_and_nodes_as_the_package_reads_them(shown, expected):
    assert shown() == expected


def test_tree_prints_the_registry(probes, capsys):
    world(probes)
    assert main(["tree"]) == 0
    cls = f"<class 'corvane.plugins.{probes.package}.longmodule.LongConnectionName'>"
    assert f"      |__ cls = {cls}\n" in capsys.readouterr().out
