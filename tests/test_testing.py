"""corvane.testing: an empty shared registry for a block, and one plugin loaded into it."""

import sys

import pytest

from corvane import registry
from corvane.explain import registrations
from corvane.registry import load_plugins
from corvane.testing import isolated_registry, load_plugin

pytest_plugins = ["plugin_probes"]


def sources(manager):
    return [(row.key_path, row.source.describe()) for row in registrations(manager)]


def test_isolated_registry_gives_back_the_tree_and_its_sources(probes):
    first = probes.builtin("a.py", probes.registering("A", "os='probeos'"))
    with isolated_registry():
        pass
    assert registry.snapshot().loaded is False
    load_plugins()
    tree, before = probes.manager.snapshot().tree, sources(probes.manager)
    assert before == [(("probeos",), f"plugin module {first}")]
    with pytest.raises(RuntimeError), isolated_registry() as manager:
        assert manager is probes.manager and manager.plugins == {}
        with isolated_registry():
            [row] = load_plugin(first)  # replaces probeos [single_rp] in the inner tree
            assert row.source.describe() == f"module {first}"
        assert manager.plugins == {}
        assert not load_plugins().loaded  # does nothing inside
        load_plugin(first)
        raise RuntimeError("the test failed")
    assert probes.manager.plugins == tree and sources(probes.manager) == before
    assert registry.snapshot().loaded is True


def test_load_plugin_runs_the_plugin_afresh_and_puts_its_modules_back(probes):
    module = f"{probes.package}_ext"
    probes.external("ext", probes.registering("Ext", "os='extos'"))
    probes.external("dup", "x = y = 1\n", attr="x")
    probes.external("dup", "x = y = 1\n", attr="y")
    load_plugins()
    original = sys.modules[module]
    with isolated_registry() as manager:
        [row] = load_plugin("ext")
        assert row.key_path == ("extos",) and row.source.kind == "entry_point"
        assert row.cls is sys.modules[module].Ext is not original.Ext  # a new class
        assert manager.get_plugin(os="extos") is row.cls
        with pytest.raises(LookupError, match="2 entry points are named 'dup'"):
            load_plugin("dup")
        missing = f"{probes.package}_nothing_of_that_name"
        with pytest.raises(ModuleNotFoundError, match=f"and no module is named '{missing}'"):
            load_plugin(missing)
        # A module missing an import of its own keeps Python's message.
        probes.external("needs", "import corvane_no_such_dependency\n")
        with pytest.raises(ModuleNotFoundError, match=r"^No module named 'corvane_no_such_"):
            load_plugin("needs")
    assert sys.modules[module] is original
    assert probes.manager.get_plugin(os="extos") is original.Ext


def test_corvane_registry_fixture_is_the_isolated_shared_manager(corvane_registry):
    assert corvane_registry is registry.plugin_manager
    assert corvane_registry.plugins == {} and not load_plugins().loaded
