"""The plugin manager's operations, each on its success path and its error paths.

Shared by the reference-count tests and by the debug-interpreter refleak run,
which has no test runner: this module needs nothing but the package.
"""

from collections.abc import Callable

from corvane.core import pluginmanager
from corvane.core.errors import ConnectionInfraError


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


def build_cases() -> list:
    """Return (name, handed objects, call, expected exception or None) for every case."""
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


def run(call: Callable[[], object], expected: type[BaseException] | None) -> None:
    """Calls ``call``, which must raise ``expected`` (or succeed when it is None)."""
    if expected is None:
        call()
        return
    try:
        call()
    except expected:
        return
    raise AssertionError("the error path was not taken")
