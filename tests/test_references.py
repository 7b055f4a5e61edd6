"""Every operation, on its success path and on each error path, gives back what it took.

Each case runs thousands of times; the reference counts of the objects it was
handed come back to where they started and tracemalloc sees no growth.
"""

import gc
import sys
import tracemalloc
from collections.abc import Callable

import pytest

from corvane.core import pluginmanager
from corvane.core.errors import ConnectionInfraError

ROUNDS = 2000


class ConnA:
    pass


class ConnB:
    pass


def fresh(text: str) -> str:
    """A string object of its own, not an interned constant."""
    return "".join(list(text))


class EntryPoint:
    def __init__(self, name, fails: bool) -> None:
        self.name = name
        self.module = "plugins.mod"
        self.fails = fails

    def load(self):
        if self.fails:
            raise ImportError("no such plugin")
        return ConnA


class Tree(dict):
    """A dict subclass node, reached through keys()."""


def build_cases():
    """(name, handed objects, call, expected exception or None)."""
    os_, platform, model, flavor = fresh("generic"), fresh("edge"), fresh("m1"), fresh("f1")
    dual, odd = fresh("dual_rp"), fresh("odd")
    manager = pluginmanager.PluginManager()
    tree = manager._plugins
    manager.register_plugin(ConnA, os=os_, platform=platform, model=model, os_flavor=flavor)
    manager.register_plugin(ConnB, os_, chassis_type=dual)
    handed = [ConnA, ConnB, os_, platform, model, flavor, dual, odd, manager, tree]

    sub = pluginmanager.PluginManager()
    sub._plugins = Tree({os_: Tree({"data": Tree({"single_rp": Tree(cls=ConnA, path="x")})})})

    def register_unregister():
        manager.register_plugin(ConnB, os_, platform, chassis_type=fresh("stack"))
        manager.unregister_plugin(os_, platform, chassis_type=fresh("stack"))

    return [
        (
            "register override",
            handed,
            lambda: manager.register_plugin(ConnA, os_, platform, model, flavor),
            None,
        ),
        ("register then unregister", handed, register_unregister, None),
        (
            "register bad model",
            handed,
            lambda: manager.register_plugin(ConnA, os_, platform, "Up"),
            ConnectionInfraError,
        ),
        (
            "register bad chassis",
            handed,
            lambda: manager.register_plugin(ConnA, os_, chassis_type=odd),
            ConnectionInfraError,
        ),
        ("register without file", handed, lambda: manager.register_plugin(int, os_), TypeError),
        (
            "register reserved",
            handed,
            lambda: manager.register_plugin(ConnA, os_, "data"),
            ConnectionInfraError,
        ),
        ("register dict subclass", [*handed, sub], lambda: sub.register_plugin(ConnB, os_), None),
        ("get found", handed, lambda: manager.get_plugin(os_, platform, model, flavor), None),
        (
            "get fallback",
            handed,
            lambda: manager.get_plugin(os_, fresh("zz"), chassis_type=dual),
            None,
        ),
        (
            "get not found",
            handed,
            lambda: manager.get_plugin(os_, platform, os_flavor=7),
            ConnectionInfraError,
        ),
        ("get bad os", handed, lambda: manager.get_plugin(None), ConnectionInfraError),
        ("get dict subclass", [*handed, sub], lambda: sub.get_plugin(os_), None),
        ("get unhashable", handed, lambda: manager.get_plugin(os_, os_flavor=[1]), TypeError),
        (
            "unregister missing",
            handed,
            lambda: manager.unregister_plugin(os_, fresh("nope")),
            ConnectionInfraError,
        ),
        (
            "unregister chassis",
            handed,
            lambda: manager.unregister_plugin(os_, chassis_type=(odd, odd)),
            ConnectionInfraError,
        ),
        (
            "unregister reserved",
            handed,
            lambda: manager.unregister_plugin(os_, "data"),
            ConnectionInfraError,
        ),
        ("validate model", handed, lambda: manager.validate_model(os_, platform, model), None),
        (
            "validate model fails",
            handed,
            lambda: manager.validate_model(os_, None, model),
            ConnectionInfraError,
        ),
        (
            "validate platform fails",
            handed,
            lambda: manager.validate_platform(None, platform),
            ConnectionInfraError,
        ),
        ("validate os unknown", handed, lambda: manager.validate_os(odd), None),
        ("validate os tuple", handed, lambda: manager.validate_os((odd, odd)), None),
        (
            "validate chassis fails",
            handed,
            lambda: manager.validate_chassis_type(odd),
            ConnectionInfraError,
        ),
        (
            "validate arguments linux",
            handed,
            lambda: manager.validate_arguments("linux", platform, model, odd),
            None,
        ),
        ("repr", handed, lambda: repr(manager), None),
        ("print_tree leaf", handed, lambda: manager.print_tree(ConnA, output=odd), None),
        ("print_tree non-string key", handed, lambda: manager.print_tree({1: ConnA}), TypeError),
        ("print_tree unsortable", handed, lambda: manager.print_tree({odd: 1, 2: 1}), TypeError),
        ("plugins setter", handed, lambda: setattr(manager, "plugins", tree), Exception),
        ("discover builtin", handed, pluginmanager.PluginManager.discover_builtin_plugins, None),
    ]


CASES = build_cases()


def run(call: Callable[[], object], expected) -> None:
    if expected is None:
        call()
        return
    try:
        call()
    except expected:
        return
    raise AssertionError("the error path was not taken")


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    class Quiet:
        def debug(self, text):
            pass

    monkeypatch.setattr(pluginmanager, "log", Quiet())


@pytest.mark.parametrize(
    ("handed", "call", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_reference_counts_come_back(handed, call, expected):
    for _ in range(10):
        run(call, expected)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in handed]
    for _ in range(ROUNDS):
        run(call, expected)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in handed]
    assert after == before


@pytest.mark.parametrize(
    ("handed", "call", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_no_memory_growth(handed, call, expected):
    for _ in range(10):
        run(call, expected)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(100):
            run(call, expected)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            run(call, expected)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one small object per call would show as tens of kilobytes.
    assert end - start < 4096


@pytest.mark.parametrize("fails", [False, True])
def test_external_discovery_gives_back(monkeypatch, fails):
    name = fresh("ep")
    points = [EntryPoint(name, fails)]
    monkeypatch.setattr(pluginmanager, "entry_points", lambda group: points)
    expected = ImportError if fails else None
    call = pluginmanager.PluginManager.discover_external_plugins
    for _ in range(10):
        run(call, expected)
    before = [sys.getrefcount(obj) for obj in (name, points[0], points)]
    for _ in range(ROUNDS):
        run(call, expected)
    assert [sys.getrefcount(obj) for obj in (name, points[0], points)] == before
