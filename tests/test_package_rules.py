"""One read of the installed metadata per load, the findings table against the
docs, the linear search for misspelt operating systems, and a CLI that imports
what its command needs."""

import inspect
import json
import random
import re
import subprocess
import sys
from collections import Counter
from importlib import metadata
from pathlib import Path

import pytest

from corvane import check, installed
from corvane.cli import build_parser
from corvane.core.pluginmanager import PluginManager
from corvane.explain import explain_lookup
from corvane.manager import RegistryManager
from corvane.plugins import DEFAULT_CHASSIS_TYPE
from corvane.registry import PluginLoadError, Registration, load_plugins

from conftest import SANITIZED

pytest_plugins = ["plugin_probes"]

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs" / "cli.md"


def distribution(probes, name, entry_points):
    """Install ``name`` 1.0 declaring ``entry_points`` (entry-point name -> module code)."""
    info = probes.external_root / f"{name}-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n\nAbout.\n")
    lines = []
    for entry_point, code in entry_points.items():
        module = probes.external_module(entry_point)
        (probes.external_root / f"{module}.py").write_text(code)
        lines.append(f"{entry_point} = {module}")
    (info / "entry_points.txt").write_text("[corvane.plugins]\n" + "\n".join(lines) + "\n")
    probes.entry_points += metadata.Distribution.at(info).entry_points
    return str(info)


def stopped_load():
    with pytest.raises(PluginLoadError) as stopped:
        load_plugins()
    return stopped.value.failure.describe(), stopped.value.failure.source


def kept_going():
    report = load_plugins(keep_going=True)
    return [(failure.describe(), failure.source) for failure in report.failures]


# What runs, and how often it may read each file of each distribution.
READS = {
    "load": (kept_going, {"METADATA": 1}),
    "stopped": (stopped_load, {"METADATA": 1}),
    "disabled": (lambda: load_plugins(disable=["Dist_B", "a1"]), {"METADATA": 1}),
    "check": (lambda: check.check_plugins().as_json(), {"METADATA": 1, "entry_points.txt": 1}),
}


@pytest.mark.parametrize("case", READS)
def test_a_load_reads_each_distribution_s_metadata_once(probes, monkeypatch, case):
    register = probes.registering("C", "os='probeos'")
    infos = [
        distribution(probes, "dist-a", {"a1": register, "a2": register.replace("C", "D")}),
        distribution(probes, "Dist_B", {"b1": "raise RuntimeError('broken')\n"}),
    ]
    reads: Counter = Counter()
    read_text = metadata.PathDistribution.read_text

    def counting(self, filename):
        reads[str(self._path), filename] += 1
        return read_text(self, filename)

    monkeypatch.setattr(metadata.PathDistribution, "read_text", counting)
    run, expected = READS[case]
    run()
    for info in infos:
        assert {name: reads[info, name] for name in ("METADATA", "entry_points.txt")} == {
            "entry_points.txt": 0,
            **expected,
        }


# METADATA texts whose Name and Version the email parser reads in its own ways.
METADATA = [
    "Metadata-Version: 2.1\nName: plain\nVersion: 1.0\n\nName: in the body\n",
    "name:lower\nVERSION:\t 2.0 \nName: second\nVersion: 3\n",
    "Name: folded\n  on two lines\nVersion: 1\n",
    "Name: crlf\r\nVersion: 1\r\n\r\nbody",
    "From someone\nName: unix from\nVersion: 1\n",
    ": no name\nName: after a defect\nVersion: 1\n",
    "Name: no version\n",
    "Summary: nothing first\n \nName: after a blank continuation\nVersion: 1\n",
    "Name: ümlaut\x0bvertical tab\nVersion: 1\nnot a header\nName: x\n",
    "\nName: after an empty first line\nVersion: 1\n",
    None,  # no METADATA at all
]


@pytest.mark.parametrize("text", METADATA)
def test_name_and_version_as_importlib_reads_them(tmp_path, text, recwarn):
    if text is not None:
        (tmp_path / "METADATA").write_text(text, encoding="utf-8", newline="")
    dist = metadata.Distribution.at(tmp_path)
    expected = []
    for field in ("name", "version"):
        # 3.15 raises for a missing field or metadata file; earlier versions give None.
        try:
            expected.append(getattr(dist, field))
        except (KeyError, FileNotFoundError):
            expected.append(None)
    assert installed.name_and_version(dist) == tuple(expected)


def test_the_docs_table_holds_each_finding_of_the_table_in_order():
    section = DOCS.read_text().split("\n## check\n")[1].split("\n## ")[0]
    rows = re.findall(r"^\| `(\w+)` \| (.*?) \(`(\w+)`\): .* \|$", section, flags=re.M)
    assert rows == [(finding.code, finding.doc, finding.key) for finding in check.FINDINGS]
    # The codes are numbered from CP001 in the order of the table.
    assert [f.code for f in check.FINDINGS] == [f"CP{n:03}" for n in range(1, len(rows) + 1)]
    # The help lists them too, made from the same table.
    help_text = " ".join(
        build_parser()._subparsers._group_actions[0].choices["check"].description.split()
    )
    assert all(finding.doc in help_text for finding in check.FINDINGS)
    assert "traceback, a plugin that registered nothing, a" in help_text
    assert help_text.endswith(
        ", and a metadata file of an installed distribution that cannot be read."
    )


def test_one_default_chassis_type():
    # The module's (from its own texts; stubtest holds the stub to them), the
    # Python side's, the CLI's and the docs'.
    functions = (PluginManager.get_plugin, PluginManager.register_plugin)
    found = {f.__name__: f.__defaults__[-1] for f in functions}
    for function in (explain_lookup, RegistryManager.register_plugin):
        found[function.__qualname__] = (
            inspect.signature(function).parameters["chassis_type"].default
        )
    which = build_parser()._subparsers._group_actions[0].choices["which"]
    found["which"] = next(a.default for a in which._actions if a.dest == "chassis_type")
    for page in ("writing-a-plugin.md", "cli.md"):
        [found[page]] = re.findall(r"`(\w+)` \(the default\)", (ROOT / "docs" / page).read_text())
    api = (ROOT / "docs" / "api.rst").read_text()
    [found["api.rst"]] = re.findall(r"data:: DEFAULT_CHASSIS_TYPE\n.*\n\s*:value: \"(\w+)\"", api)
    assert set(found.values()) == {DEFAULT_CHASSIS_TYPE}, found


def reference_unknown_os(rows, known):
    """The pairwise search: every unknown name against every candidate."""
    registered = Counter(row.key_path[0] for row in rows)
    close = {}
    for name, count in registered.items():
        if name in known:
            continue
        candidates = [(0, other) for other in known]
        candidates += [(1, o) for o, times in registered.items() if times > count and o != name]
        ranked = sorted(
            (d, rank, other)
            for rank, other in candidates
            if (d := check.os_edit_distance(name, other)) is not None
        )
        if ranked:
            close[name] = ranked[0][2]
    return [(row.key_path[0], close[row.key_path[0]]) for row in rows if row.key_path[0] in close]


@pytest.mark.parametrize("seed", range(20))
def test_unknown_os_finds_what_the_pairwise_search_finds(seed):
    chance = random.Random(seed)
    stems = ["linux", "ios", "acmeswitch", "junos", "eos"]

    def misspelt(name):
        i = chance.randrange(len(name) - 1)
        return chance.choice(
            [
                name[:i] + name[i + 1 :],
                name[:i] + "x" + name[i:],
                name[:i] + name[i + 1] + name[i] + name[i + 2 :],
                name.upper(),
            ]
        )

    names = [
        chance.choice([stem, misspelt(stem), misspelt(misspelt(stem))])
        for stem in chance.choices(stems, k=30)
    ]
    rows = [Registration((name,), "single_rp", object, "f") for name in names]
    known = ["linux", "acmeswitch"]
    found = [
        (item.registration.key_path[0], item.did_you_mean) for item in check.unknown_os(rows, known)
    ]
    assert found == reference_unknown_os(rows, known)


@pytest.mark.parametrize("command", ["tree", "which --os generic", "list", "check", "diff - -"])
def test_a_command_imports_what_it_needs(command):
    script = (
        "import sys\nfrom corvane.cli import main\n"
        f"main({command.split()!r} + ['--no-external'] * ({command!r} != 'diff - -'))\n"
        "print(*sorted({'corvane.check', 'corvane.diff', 'difflib'} & set(sys.modules)))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], input="[]", capture_output=True, text=True, timeout=60
    )
    imported = set(result.stdout.splitlines()[-1].split())
    own = {"check": {"corvane.check"}, "diff - -": {"corvane.diff"}}.get(command, set())
    # check compares group names with difflib when it looks for misspelt groups.
    assert own <= imported <= own | ({"difflib"} if command == "check" else set())


@pytest.mark.skipif(SANITIZED, reason="slow under the sanitizer")
def test_the_benchmark_of_loading_at_scale_runs(tmp_path):
    bench = Path(__file__).resolve().parent.parent / "benchmarks" / "bench_scale.py"
    raw = tmp_path / "raw.json"
    result = subprocess.run(
        [sys.executable, str(bench), "--sizes", "2", "--repeats", "1", "--check", "--json", raw],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    [size] = json.loads(raw.read_text())
    assert size["count"] == 2 and {"bare", "load_plugins", "load_plugins_cold"} <= set(
        size["library"]
    )
    assert set(size["process"]) == {"import", "bare_process", "which", "list", "check"}
    assert result.stdout.count("(not measured)") == 9
