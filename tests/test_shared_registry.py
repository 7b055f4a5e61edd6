"""The package's shared manager, its built-in plugins and load_plugins."""

import dataclasses
import importlib
import importlib.metadata
import inspect
import logging
import pickle
import pkgutil
import subprocess
import sys
import types

import pytest

import corvane.plugins
from corvane import loading, records, registry
from corvane.cli import Command
from corvane.core.pluginmanager import PluginManager
from corvane.explain import Step, WalkExplanation, registrations
from corvane.registry import PluginLoadError, Registration, Source, load_plugins

pytest_plugins = ["plugin_probes"]


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=False
    )


@pytest.mark.parametrize(
    "first", ["corvane.plugins", "corvane.registry", "corvane.plugins.generic", "corvane.cli"]
)
def test_import_order(first):
    result = run_python(
        f"import sys, {first}\n"
        "print('corvane.registry' in sys.modules if "
        f"{first!r} == 'corvane.plugins' else 'ok')\n"
        "import corvane.core.pluginmanager as m, corvane.registry as r\n"
        "print(type(r.plugin_manager).__mro__[1] is m.PluginManager)\n"
    )
    assert result.returncode == 0, result.stderr
    first_line = "False" if first == "corvane.plugins" else "ok"
    assert result.stdout.split() == [first_line, "True"]


def test_builtin_plugins_load_once_per_process():
    result = run_python(
        "from corvane.registry import load_plugins, plugin_manager as m\n"
        "from corvane.plugins.generic import GenericConnection, GenericDualRpConnection\n"
        "from corvane.plugins.linux import LinuxConnection\n"
        "first = load_plugins(external=False)\n"
        "tree = repr(m).split('\\n', 1)[1]\n"
        "second = load_plugins()\n"
        "assert first.loaded and not second.loaded\n"
        "assert first.overrides == [] and first.failures == []\n"
        "assert repr(m).split('\\n', 1)[1] == tree\n"
        "assert m.get_plugin(os='generic', platform='any', model='thing') is GenericConnection\n"
        "assert m.get_plugin(os='generic', chassis_type='dual_rp') is GenericDualRpConnection\n"
        "assert m.get_plugin(os='linux', platform='any') is LinuxConnection\n"
        "print(sorted(m.plugins))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['generic', 'linux']"


def test_supported_os_names_the_builtin_plugin_packages():
    packages = [info.name for info in pkgutil.iter_modules(corvane.plugins.__path__) if info.ispkg]
    assert sorted(corvane.plugins.supported_os) == sorted(packages)


def test_overrides_are_noted_while_loading(probes):
    first = probes.builtin(
        "a_first.py", probes.registering("Edge", "os='probeos', platform='edge'")
    )
    probes.builtin("b_other.py", probes.registering("Dual", "os='probeos', chassis_type='dual_rp'"))
    second = probes.builtin(
        "c_second.py", probes.registering("Edge", "os='probeos', platform='edge'")
    )
    report = load_plugins()
    [override] = report.overrides
    assert override.key_path == ("probeos", "edge")
    assert override.chassis_type == "single_rp"
    assert override.replaced.__module__ == first
    assert override.winner.__module__ == override.winner_module == second
    assert override.message == (
        f" Edge already registered for ['probeos', 'edge'], Edge from {second} is overriding this class"
    )
    assert override.describe() == (
        f"probeos/edge [single_rp]: {first}.Edge from plugin module {first} "
        f"replaced by {second}.Edge from plugin module {second}"
    )
    assert probes.manager.get_plugin(os="probeos", platform="edge") is override.winner


def test_overrides_outside_loading_are_not_noted(probes):
    class A:
        pass

    probes.manager.register_plugin(A, os="probeos")
    with probes.manager.observe() as overrides:
        probes.manager.register_plugin(A, os="probeos", os_flavor="x")
    probes.manager.register_plugin(A, os="probeos")
    assert overrides == []


def test_invalid_registration_is_refused_as_by_the_base_class(probes):
    class A:
        pass

    with probes.manager.observe() as overrides:
        for manager in (probes.manager, PluginManager()):
            with pytest.raises(Exception) as info:
                manager.register_plugin(A, os="probeos", platform="Upper")
            assert info.value.args == ("platform (Upper) has to be in lowercase",)
    assert overrides == [] and probes.manager.plugins == {}


BROKEN = {
    "raises": "raise RuntimeError('boom')\n",
    "syntax": "def broken(:\n",
    "missing import": "import corvane_no_such_module_for_probe\n",
}


@pytest.mark.parametrize("kind", BROKEN)
@pytest.mark.parametrize("keep_going", [False, True])
def test_failing_builtin_plugin_is_named(probes, kind, keep_going):
    probes.builtin("a_good.py", probes.registering("A", "os='probeos'"))
    broken = probes.builtin("b_broken.py", BROKEN[kind])
    probes.builtin("c_good.py", probes.registering("C", "os='probeos', platform='c'"))
    if keep_going:
        report = load_plugins(keep_going=True)
        [failure] = report.failures
        assert broken not in sys.modules  # the stand-in is gone again
        assert sorted(probes.manager.plugins["probeos"]) == ["c", "data"]
    else:
        with pytest.raises(PluginLoadError) as info:
            load_plugins()
        failure = info.value.failure
        assert info.value.__cause__ is failure.error
        assert list(probes.manager.plugins["probeos"]) == ["data"]
        assert not registry.snapshot().loaded
    assert failure.module == broken
    assert failure.describe().startswith(f"plugin module {broken} failed to load: ")
    assert "\n" not in failure.describe()


def test_failing_plugin_package_skips_its_modules_only(probes):
    probes.builtin("sub/__init__.py", "raise ValueError('bad package')\n")
    probes.builtin("sub/inner.py", probes.registering("Inner", "os='probeos', platform='inner'"))
    probes.builtin("zlast.py", probes.registering("Last", "os='probeos'"))
    report = load_plugins(keep_going=True)
    assert [f.module for f in report.failures] == [f"{probes.prefix}.sub"]
    assert "ValueError: bad package" in report.failures[0].describe()
    assert list(probes.manager.plugins["probeos"]) == ["data"]


@pytest.mark.parametrize("keep_going", [False, True])
def test_failing_entry_point_is_named(probes, keep_going):
    probes.external("a_one", probes.registering("One", "os='extos'"))
    bad = probes.external("b_bad", "value = 1\n", attr="missing")
    probes.external("c_three", probes.registering("Three", "os='extos', platform='three'"))
    if keep_going:
        [failure] = load_plugins(keep_going=True).failures
        assert sorted(probes.manager.plugins["extos"]) == ["data", "three"]
    else:
        with pytest.raises(PluginLoadError) as info:
            load_plugins()
        failure = info.value.failure
        assert list(probes.manager.plugins["extos"]) == ["data"]
    assert failure.entry_point == bad
    assert failure.describe().startswith(
        f"entry point b_bad = {bad.value} (from unknown distribution) failed to load: AttributeError"
    )


HALF_LOADED = """
from corvane.registry import plugin_manager

class P1:
    pass

plugin_manager.register_plugin(P1, os="partos", platform="edge")
plugin_manager.register_plugin(P1, os="probeos")  # replaces A
plugin_manager.register_plugin(P1, os="probeos", chassis_type="dual_rp")
raise RuntimeError("half loaded")
"""


@pytest.mark.parametrize("where", ["builtin", "entry point"])
def test_a_failed_plugin_leaves_nothing_behind(probes, where):
    first = probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    if where == "builtin":
        probes.builtin("b_half.py", HALF_LOADED)
    else:
        probes.external("half", HALF_LOADED)
    tree = {"probeos": {"data": {"single_rp": {"cls": None, "path": None}}}}
    report = load_plugins(keep_going=True)
    [failure] = report.failures
    assert "RuntimeError: half loaded" in failure.describe()
    a = sys.modules[first].A
    tree["probeos"]["data"]["single_rp"] = {"cls": a, "path": sys.modules[first].__file__}
    assert probes.manager.plugins == tree
    assert [(r.cls, r.source.module) for r in report.registrations] == [(a, first)]
    assert report.overrides == []
    [row] = registrations(probes.manager)
    assert row.source.module == first  # its source came back with it


def test_a_module_a_failed_plugin_imported_loads_on_its_own(probes):
    helper = probes.builtin("z_helper.py", probes.registering("H", "os='probeos'"))
    probes.builtin("a.py", f"import {helper}\nraise RuntimeError('after the import')\n")
    report = load_plugins(keep_going=True)
    assert [r.source.module for r in report.registrations] == [helper]
    assert probes.manager.get_plugin(os="probeos") is sys.modules[helper].H


@pytest.mark.parametrize("listed", ["as found", "reversed"])
def test_entry_points_load_by_distribution_then_name(probes, listed):
    base = probes.builtin("base.py", probes.registering("Base", "os='probeos'"))
    late = probes.external("a_ep", probes.registering("Z", "os='probeos'"), distribution="zeta")
    probes.external("z_ep", probes.registering("A", "os='probeos'"), distribution="Alpha_X")
    probes.external("b_ep", probes.registering("B", "os='probeos'"), distribution="alpha-x")
    if listed == "reversed":
        probes.entry_points.reverse()
    report = load_plugins()
    order = [(o.replaced.__module__, o.winner_source.name) for o in report.overrides]
    assert order == [
        (base, "b_ep"),
        (probes.external_module("b_ep"), "z_ep"),
        (probes.external_module("z_ep"), "a_ep"),
    ]
    assert probes.manager.get_plugin(os="probeos").__module__ == late.module


def test_external_plugins_can_be_left_out(probes):
    probes.external("one", "raise SystemError('must not be loaded')\n")
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    report = load_plugins(external=False)
    assert report.failures == [] and list(probes.manager.plugins) == ["probeos"]


class Lines(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


@pytest.mark.parametrize("level", [logging.WARNING, logging.DEBUG])
def test_capture_leaves_the_applications_log_output_alone(probes, level):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    probes.builtin("b.py", probes.registering("A", "os='probeos'"))
    application = Lines()  # like logging.basicConfig(): a root handler of no level
    root, logger = logging.getLogger(), logging.getLogger("corvane")
    saved = logger.level
    logger.setLevel(level)
    root.addHandler(application)
    try:
        report = load_plugins()
    finally:
        root.removeHandler(application)
        logger.setLevel(saved)
    assert len(report.overrides) == 1 and report.overrides[0].message
    shown = [m for m in application.messages if "probeos" in m]
    assert len(shown) == (3 if level == logging.DEBUG else 0)


@pytest.mark.parametrize(
    "entries",
    [
        # A package, a namespace directory, a plain module and a dotted file.
        {"pkg/__init__.py": "", "plain/x.py": "", "mod.py": "", "a.b.py": ""},
        # A package known by its bytecode or an extension module alone.
        {"onlypyc/__init__.pyc": "", "ext/__init__.abi3.so": "", "__init__.py": ""},
        # A bytecode cache, a dotted directory, a file named like a package.
        {"__pycache__/mod.cpython-311.pyc": "", "d.e/__init__.py": "", "f/__init__.txt": ""},
    ],
)
def test_the_walk_finds_what_pkgutil_finds(tmp_path, entries):
    for relative, text in entries.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text(text)
    (tmp_path / "empty").mkdir()
    expected = [(info.name, info.ispkg) for info in pkgutil.iter_modules([str(tmp_path)], "p.")]
    assert list(loading._modules_in([str(tmp_path)], "p.")) == expected


def test_records_built_without_init_are_the_constructors():
    manager = registry.RegistryManager()
    with manager.loading(Source.of_builtin("m")) as recording:
        manager.register_plugin(Lines, os="x")
    [registration] = recording.registrations
    slow = Registration(("x",), "single_rp", Lines, __file__, Source("builtin", module="m"))
    for fast, made in [(registration.source, slow.source), (registration, slow)]:
        assert (fast, hash(fast), repr(fast)) == (made, hash(made), repr(made))
        assert pickle.loads(pickle.dumps(fast)) == made
        with pytest.raises(dataclasses.FrozenInstanceError):
            fast.kind = None  # type: ignore[misc]


# Each record class, with the arguments of one of its records.
SOURCE = Source("builtin", "m")
RECORDS = [
    (Source, ("entry_point", None, "n", "v", "d", "1.0")),
    (registry.Listed, (importlib.metadata.EntryPoint("n", "v", "g"), SOURCE, "d")),
    (Registration, (("x", 1), "single_rp", Lines, "f.py", SOURCE)),
    (registry.Override, (("x",), "stack", Lines, int, "m", SOURCE, SOURCE, int)),
    (registry.PluginFailure, (ValueError("e"), "m", None, SOURCE)),
    (registry.NothingRegistered, (SOURCE, "note")),
    (registry.ReplacedNothing, (("x",), "stack", Lines, int, SOURCE)),
    (registry.Disabled, ("n", (SOURCE,), True)),
    (registry.LoadReport, (True, [1], [2])),
    (Step, ("k", True, False, ("a",))),
    (WalkExplanation, (["k"], "single_rp", [], ["k"], None, True, Lines, "f.py")),
    (registry.TreeState, ({"x": 1}, {})),
    (registry.RegistryState, (registry.TreeState({}, {}), True)),
    (Command, ("h", print, len)),
]


@pytest.mark.parametrize(
    ("record", "args"), RECORDS, ids=lambda each: getattr(each, "__name__", "")
)
def test_each_record_behaves_as_the_dataclass_it_replaced(record, args):
    frozen = record is not registry.LoadReport
    fields = []
    for parameter in list(inspect.signature(record).parameters.values()):
        hidden = parameter.name == "listed_source"
        if parameter.default is records.FACTORY:
            made = dataclasses.field(default_factory=list)
        elif parameter.default is inspect.Parameter.empty:
            made = dataclasses.field(repr=not hidden, compare=not hidden)
        else:
            made = dataclasses.field(default=parameter.default, repr=not hidden, compare=not hidden)
        fields.append((parameter.name, object, made))
    model = dataclasses.make_dataclass(record.__name__, fields, frozen=frozen)
    assert [(p.name, repr(p.default)) for p in inspect.signature(record).parameters.values()] == [
        (p.name, repr(p.default)) for p in inspect.signature(model).parameters.values()
    ]
    ours, theirs = record(*args), model(*args)
    least = sum(
        field.default is field.default_factory is dataclasses.MISSING for _, _, field in fields
    )
    assert record.__match_args__ == model.__match_args__
    defaults = [getattr(record, name, "-") for name in record.__match_args__]
    assert defaults == [getattr(model, name, "-") for name in model.__match_args__]
    assert repr(ours) == repr(theirs) and repr(record(*args[:least])) == repr(model(*args[:least]))
    assert repr(pickle.loads(pickle.dumps(ours))) == repr(ours) and ours != theirs
    for i in range(len(args) + 1):  # each field changed in turn, then none
        new = (*args[:i], object(), *args[i + 1 :])[: len(args)]
        assert outcome(lambda n=new: ours == record(*n)) == outcome(
            lambda n=new: theirs == model(*n)
        )
        assert outcome(lambda n=new: hash(record(*n)) == hash(ours)) == outcome(
            lambda n=new: hash(model(*n)) == hash(theirs)
        )
    assert outcome(lambda: hash(ours)) == outcome(lambda: hash(theirs))
    for name in (record.__match_args__[0], "other"):
        for change in (lambda o: setattr(o, name, 1), lambda o: delattr(o, name)):  # noqa: B023
            assert outcome(lambda: change(ours)) == outcome(lambda: change(theirs))  # noqa: B023


def outcome(call):
    """What a call returned, or the type and text of what it raised."""
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


def _register_then(fail: bool) -> None:
    registry.plugin_manager.register_plugin(Lines, os="inner")
    if fail:
        raise RuntimeError("inner")


@pytest.mark.parametrize("fail", [False, True])
def test_record_loading_nests_in_a_block_like_a_block(probes, fail):
    manager, inner = probes.manager, Source.of_builtin("inner")
    with manager.loading(Source.of_builtin("outer")) as outer:
        manager.register_plugin(Lines, os="outer")
        try:
            manager.record_loading(inner, _register_then, fail)
        except RuntimeError:
            assert fail
    assert [r.source.module for r in outer.registrations] == ["outer", *([] if fail else ["inner"])]
    assert sorted(manager.plugins) == sorted(["outer", *([] if fail else ["inner"])])


def test_load_plugins_walks_past_the_test_modules(probes):
    for relative in [
        "conn.py",
        "unit_tests.py",
        "tests/__init__.py",
        "tests/helper.py",
        "mytests/__init__.py",
        "mytests/x.py",
        "sub/__init__.py",
        "sub/deep.py",
        "sub/tests.py",
        "sub/tests_of.py",
    ]:
        probes.builtin(relative, "")
    load_plugins(external=False)
    below = probes.prefix + "."
    imported = sorted(name.removeprefix(below) for name in sys.modules if name.startswith(below))
    assert imported == ["conn", "mytests", "mytests.x", "sub", "sub.deep", "sub.tests_of"]


@pytest.mark.parametrize(
    ("code", "escapes"),
    [
        ("raise SystemExit(2)\n", None),
        ("import argparse\nargparse.ArgumentParser(prog='p').parse_args(['--x'])\n", None),
        ("raise KeyboardInterrupt\n", KeyboardInterrupt),
    ],
)
def test_a_plugin_that_exits_fails_alone_and_prints_to_stderr(probes, capsys, code, escapes):
    probes.builtin("a.py", "print('a speaks')\n" + probes.registering("A", "os='probeos'"))
    bad = probes.builtin("b.py", code)
    probes.builtin("c.py", probes.registering("C", "os='probeos', platform='c'"))
    if escapes:
        with pytest.raises(escapes):
            load_plugins(keep_going=True)
        assert not registry.snapshot().loaded
        return
    [failure] = load_plugins(keep_going=True).failures
    assert failure.module == bad and isinstance(failure.error, SystemExit)
    assert "SystemExit: 2 (it exited while loading)" in failure.describe()
    assert sorted(probes.manager.plugins["probeos"]) == ["c", "data"]
    out, err = capsys.readouterr()
    assert out == "" and "a speaks\n" in err


@pytest.mark.parametrize("imported_before", [False, True])
def test_a_builtin_module_imported_before_loading_is_its_registrations_source(
    probes, imported_before
):
    module = probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    if imported_before:
        importlib.import_module(module)
    report = load_plugins()
    source = Source.of_builtin(module)
    assert [(r.key_path, r.source) for r in report.registrations] == [(("probeos",), source)]
    assert [row.source for row in registrations(probes.manager)] == [source]


@pytest.mark.parametrize(
    ("given", "variable", "kept_out", "matched"),
    [
        (["{package}.a"], "", {"a"}, {"{package}.a": ["a"]}),
        (["{prefix}.sub"], "", {"sub", "sub.inner"}, {"{prefix}.sub": ["sub"]}),
        ([], " probe-dist ,two", {"one", "two"}, {"probe-dist": ["one"], "two": ["two"]}),
        (["nosuch"], "", set(), {"nosuch": []}),
    ],
)
def test_disabled_plugins_are_not_imported(
    probes, monkeypatch, caplog, given, variable, kept_out, matched
):
    probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    probes.builtin("sub/__init__.py", "")
    probes.builtin("sub/inner.py", probes.registering("I", "os='probeos', platform='i'"))
    probes.external("one", probes.registering("O", "os='extos'"), distribution="Probe_Dist")
    probes.external("two", probes.registering("T", "os='extos', platform='t'"))
    monkeypatch.setenv("CORVANE_PLUGINS_DISABLE", variable)
    names = [name.format(package=probes.package, prefix=probes.prefix) for name in given]
    report = load_plugins(disable=names)
    plugins = {"a", "sub", "sub.inner", "one", "two"}
    imported = {p for p in plugins if f"{probes.prefix}.{p}" in sys.modules}
    imported |= {p for p in plugins if probes.external_module(p) in sys.modules}
    assert imported == plugins - kept_out
    found = [[s.name or s.module.rpartition(".")[2] for s in d.matched] for d in report.disabled]
    assert found == list(matched.values())
    warned = [r.getMessage() for r in caplog.records if "matched no" in r.getMessage()]
    assert len(warned) == (not any(matched.values()))


@pytest.mark.parametrize(
    ("cls", "os", "message"),
    [
        (type("AtThePrompt", (), {"__module__": "__main__"}), "o", r"^__main__.AtThePrompt cannot"),
        (int, "o", r"^builtins.int cannot be registered: no file defines it \(<class 'int'> is a"),
        (Lines, ["o"], "unhashable type"),  # other errors go on as they are
    ],
)
def test_a_class_without_a_file_is_one_type_error_naming_it(monkeypatch, cls, os, message):
    monkeypatch.setitem(sys.modules, "__main__", types.ModuleType("__main__"))
    with pytest.raises(TypeError, match=message) as info:
        registry.RegistryManager().register_plugin(cls, os=os)
    assert ("define the class in a module" in str(info.value)) is (os == "o")


class Late:
    pass


def test_registrations_made_before_loading_go_to_the_module_they_came_from(probes):
    # pre/sub registers two chassis types; pre imports a helper below a tests
    # folder, which the walk does not reach, so its class counts for pre.
    sub = probes.builtin(
        "pre/sub.py",
        probes.registering("Single", "os='preos'")
        + "class Dual: pass\nplugin_manager.register_plugin(Dual, os='preos', chassis_type='dual_rp')\n",
    )
    helper = probes.builtin("pre/tests/helper.py", probes.registering("Helper", "os='helperos'"))
    probes.builtin("pre/tests/__init__.py", "")
    pre = probes.builtin("pre/__init__.py", f"import {helper}\n")
    importlib.import_module(sub)
    probes.manager.register_plugin(Late, os="lateos")
    rows = [
        (row.key_path, row.chassis_type, row.cls.__name__, row.path, row.source.module)
        for row in load_plugins().registrations
    ]
    folder = probes.builtin_root / probes.package / "pre"
    assert rows == [
        (("helperos",), "single_rp", "Helper", str(folder / "tests" / "helper.py"), pre),
        (("preos",), "single_rp", "Single", str(folder / "sub.py"), sub),
        (("preos",), "dual_rp", "Dual", str(folder / "sub.py"), sub),
    ]
    [late] = [row for row in registrations(probes.manager) if row.key_path == ("lateos",)]
    assert late.source == registry.OUTSIDE_LOADING


class Full:
    pass


class Newer:
    pass


# How a class is registered with the shared manager (outside loading, with
# replaces=, inside a loading block, then replaced there), each with a whole
# description: the registrations the tree holds after it.
# fmt: off
WHOLE = [
    ("outside", {}),
    ("replaces", {"replaces": Full}),
    ("loading", {}),
    ("replaced", {"replaces": Full}),
]
# fmt: on


@pytest.mark.parametrize(("how", "extra"), WHOLE)
def test_a_whole_description_is_filed_whole_every_way(probes, how, extra):
    where = {"os": "wos", "platform": "p", "model": "m", "os_flavor": "f", "chassis_type": "stack"}
    manager = probes.manager
    cls = Newer if how == "replaced" else Full
    if how == "replaced":
        manager.register_plugin(Full, **where)
    if how in ("loading", "replaced"):
        with manager.loading(Source.of_builtin("here")) as recording:
            manager.register_plugin(cls, **where, **extra)
        assert [(r.key_path, r.chassis_type) for r in recording.registrations] == [
            (("wos", "p", "m", "f"), "stack")
        ]
    else:
        manager.register_plugin(cls, **where, **extra)
    rows = [(r.key_path, r.chassis_type, r.cls) for r in registrations(manager)]
    assert rows == [(("wos", "p", "m", "f"), "stack", cls)]
    assert manager.get_plugin(**where) is cls


# A plugin that imports modules and then fails: the built-in module b, or the
# entry point {p}_ext.main; what it imported that is its own is forgotten, the
# rest stays imported.
FAILING = "import {own}\nimport {p}_lib\nimport {p}_extra\nraise RuntimeError('late')\n"
# fmt: off
FORGETTING = [
    ("builtin", "corvane.plugins.{p}.tests.helper", ["corvane.plugins.{p}.tests", "corvane.plugins.{p}.tests.helper"]),
    ("external", "{p}_ext.helper", ["{p}_ext", "{p}_ext.helper", "{p}_ext.main"]),
]
# fmt: on


@pytest.mark.parametrize(("where", "own", "forgotten"), FORGETTING)
def test_a_failed_plugin_s_own_modules_are_forgotten(probes, where, own, forgotten):
    p, root = probes.package, probes.external_root
    for name in (f"{p}_lib", f"{p}_extra"):
        (root / f"{name}.py").write_text("")
    code = FAILING.format(own=own.format(p=p), p=p)
    probes.builtin("tests/__init__.py", "")
    probes.builtin("tests/helper.py", "")
    (root / f"{p}_ext").mkdir()
    (root / f"{p}_ext" / "__init__.py").write_text("")
    (root / f"{p}_ext" / "helper.py").write_text("")
    if where == "builtin":
        probes.builtin("b.py", code)
    else:
        (root / f"{p}_ext" / "main.py").write_text(code)
        probes.entry_points.append(
            importlib.metadata.EntryPoint("e", f"{p}_ext.main", "corvane.plugins")
        )
    assert len(load_plugins(keep_going=True).failures) == 1
    names = [name.format(p=p) for name in forgotten]
    assert [name in sys.modules for name in [*names, f"{p}_lib", f"{p}_extra"]] == [False] * len(
        names
    ) + [True, True]
    for name in (f"{p}_lib", f"{p}_extra"):
        del sys.modules[name]
