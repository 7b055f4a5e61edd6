"""Built-in and external plugin discovery."""

import sys
import types
import uuid

import pytest

import corvane.plugins
from corvane.core import pluginmanager
from corvane.core.pluginmanager import PluginManager

IMPORTED: list[str] = []


class Recorder:
    """Stands in for importlib (import_module) and pkgutil (walk_packages)."""

    def __init__(self, walked=()):
        self.walked = list(walked)
        self.walk_args = None
        self.imported = []

    def walk_packages(self, *args):
        self.walk_args = args
        return iter(self.walked)

    def import_module(self, name):
        self.imported.append(name)


@pytest.fixture
def fake_walk(monkeypatch):
    def install(*names):
        recorder = Recorder((None, name, False) for name in names)
        monkeypatch.setattr(pluginmanager, "pkgutil", recorder)
        monkeypatch.setattr(pluginmanager, "importlib", recorder)
        return recorder

    return install


def test_walks_the_plugin_package(fake_walk):
    recorder = fake_walk()
    assert PluginManager.discover_builtin_plugins() is None
    assert recorder.walk_args == (corvane.plugins.__path__, "corvane.plugins.")


def test_module_name_filters(fake_walk):
    recorder = fake_walk(
        "corvane.plugins.generic",
        "corvane.plugins.generic.tests",
        "corvane.plugins.generic.mytests",
        "corvane.plugins.tests.helpers",
        "corvane.plugins.a.tests.b",
        "elsewhere.generic",
        "corvane.plugins.testsuite",
        "corvane.plugins.linux.conn",
    )
    PluginManager().discover_builtin_plugins()
    assert recorder.imported == [
        "corvane.plugins.generic",
        "corvane.plugins.testsuite",
        "corvane.plugins.linux.conn",
    ]


class Triple(tuple):
    """A tuple whose iteration is its own."""

    def __iter__(self):
        return iter(("f", "corvane.plugins.own", False))


def broken():
    yield None
    raise LookupError("walk item broke")


# Walk items of every kind, each made afresh: CPython's own unpacking of each
# is what the module must give, in the running version's words.
WALK_ITEMS = {
    "short tuple": lambda: (None, "x"),
    "long tuple": lambda: (None, "x", 1, 2),
    "long list": lambda: [None, "x", 1, 2],
    "long iterator": lambda: iter([None, "x", 1, 2]),
    "short iterator": lambda: iter([None]),
    "not iterable": lambda: 7,
    "raising iterator": broken,
    "str": lambda: "abc",
    "tuple subclass with its own iteration": lambda: Triple((None, "skipped", False)),
    "dict": lambda: {"a": 1, "corvane.plugins.keyed": 2, "c": 3},
    "long dict": lambda: dict.fromkeys("abcd"),
}


@pytest.mark.parametrize("kind", list(WALK_ITEMS))
def test_walk_items_are_unpacked_as_cpython_unpacks_them(monkeypatch, kind):
    def written():
        _finder, name, _ispkg = WALK_ITEMS[kind]()
        return name

    def outcome(call):
        try:
            return call()
        except Exception as error:
            return type(error), str(error)

    recorder = Recorder([WALK_ITEMS[kind]()])
    monkeypatch.setattr(pluginmanager, "pkgutil", recorder)
    monkeypatch.setattr(pluginmanager, "importlib", recorder)
    expected = outcome(written)
    found = outcome(PluginManager.discover_builtin_plugins)
    assert found == (expected if isinstance(expected, tuple) else None)
    assert recorder.imported == ([expected] if ".plugins." in str(expected) else [])


def test_plain_module_falls_back_to_its_directory(fake_walk, monkeypatch):
    recorder = fake_walk()
    monkeypatch.delattr(corvane.plugins, "__path__")
    monkeypatch.setattr(corvane.plugins, "__file__", "/opt/plugins/__init__.py")
    PluginManager.discover_builtin_plugins()
    assert recorder.walk_args == (["/opt/plugins"], "corvane.plugins.")
    monkeypatch.delattr(corvane.plugins, "__file__")
    with pytest.raises(ImportError) as info:
        PluginManager.discover_builtin_plugins()
    assert isinstance(info.value.__context__, ImportError)
    assert "__path__" in str(info.value.__context__)


@pytest.fixture
def plugin_tree(tmp_path, monkeypatch):
    """A real package below corvane.plugins, searched on a temporary path."""
    package = f"probe_{uuid.uuid4().hex}"
    record = "import test_discovery\ntest_discovery.IMPORTED.append(__name__)\n"
    files = {
        "__init__.py": "",
        "conn.py": record,
        "tests.py": record,
        "mytests.py": record,
        "tests/__init__.py": "",
        "tests/helper.py": record,
        "sub/__init__.py": "",
        "sub/deep.py": record,
    }
    for name, text in files.items():
        path = tmp_path / package / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    monkeypatch.setattr(corvane.plugins, "__path__", [str(tmp_path)])
    IMPORTED.clear()
    yield package, tmp_path / package
    for name in [n for n in sys.modules if f".{package}" in n]:
        del sys.modules[name]


def test_imports_plugin_modules_except_tests(plugin_tree):
    package, _ = plugin_tree
    PluginManager.discover_builtin_plugins()
    prefix = f"corvane.plugins.{package}"
    assert sorted(IMPORTED) == [f"{prefix}.conn", f"{prefix}.sub.deep"]
    PluginManager.discover_builtin_plugins()
    assert len(IMPORTED) == 2  # imported once


def test_import_error_stops_discovery(plugin_tree):
    package, root = plugin_tree
    (root / "zbroken.py").write_text("raise ImportError('broken plugin')\n")
    with pytest.raises(ImportError, match="broken plugin"):
        PluginManager.discover_builtin_plugins()
    assert f"corvane.plugins.{package}.conn" in sys.modules


# --- external plugins ---------------------------------------------------------


class EntryPoint:
    def __init__(self, name, module, loaded, fail=False):
        self.name, self.module, self.loaded, self.fail = name, module, loaded, fail

    def load(self):
        self.loaded.append(self.name)
        if self.fail:
            raise RuntimeError(f"cannot load {self.name}")
        return types.SimpleNamespace()


@pytest.fixture
def loaded():
    return []


def use_entry_points(monkeypatch, function):
    monkeypatch.setattr(pluginmanager, "entry_points", function)


def test_no_entry_points(monkeypatch, debug_lines):
    groups = []
    use_entry_points(monkeypatch, lambda group: groups.append(group) or [])
    assert PluginManager.discover_external_plugins() is None
    assert groups == ["corvane.plugins"] and debug_lines == []


def test_loads_entry_points_in_order(monkeypatch, debug_lines, loaded):
    eps = [EntryPoint("one", "pkg.one", loaded), EntryPoint("two", "pkg.two", loaded)]
    monkeypatch.setattr(pluginmanager, "ENTRYPOINT_GROUP", "other.group")
    use_entry_points(monkeypatch, lambda group: eps if group == "other.group" else [])
    PluginManager().discover_external_plugins()
    assert loaded == ["one", "two"]
    assert debug_lines == [
        "Loading external plugin one from pkg.one",
        "Loading external plugin two from pkg.two",
    ]


def test_failing_load_stops_the_loop(monkeypatch, debug_lines, loaded):
    eps = [EntryPoint("bad", "pkg.bad", loaded, fail=True), EntryPoint("two", "pkg.two", loaded)]
    use_entry_points(monkeypatch, lambda group: eps)
    with pytest.raises(RuntimeError, match="cannot load bad"):
        PluginManager.discover_external_plugins()
    assert loaded == ["bad"]
    assert debug_lines == ["Loading external plugin bad from pkg.bad"]


@pytest.mark.parametrize("present", [True, False])
def test_entry_points_without_group_keyword(monkeypatch, loaded, present, debug_lines):
    eps = [EntryPoint("legacy", "pkg.legacy", loaded)]

    def entry_points():
        return {"corvane.plugins": eps} if present else {"unrelated": eps}

    use_entry_points(monkeypatch, entry_points)
    PluginManager.discover_external_plugins()
    assert loaded == (["legacy"] if present else [])


def test_failed_retry_keeps_the_type_error_as_context(monkeypatch):
    def entry_points(**kwargs):
        if kwargs:
            raise TypeError("no group keyword")
        raise LookupError("no metadata")

    use_entry_points(monkeypatch, entry_points)
    with pytest.raises(LookupError) as info:
        PluginManager.discover_external_plugins()
    assert isinstance(info.value.__context__, TypeError)


def test_other_errors_are_not_retried(monkeypatch):
    calls = []

    def entry_points(**kwargs):
        calls.append(kwargs)
        raise ValueError("broken metadata")

    use_entry_points(monkeypatch, entry_points)
    with pytest.raises(ValueError, match="broken metadata"):
        PluginManager.discover_external_plugins()
    assert calls == [{"group": "corvane.plugins"}]


def test_real_entry_points_of_an_unused_group(monkeypatch, debug_lines):
    monkeypatch.setattr(pluginmanager, "ENTRYPOINT_GROUP", "corvane.tests.no-such-group")
    PluginManager.discover_external_plugins()
    assert debug_lines == []
