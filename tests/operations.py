"""The plugin manager's operations, each on its success path and its error paths.

Shared by the reference-count tests and by the debug-interpreter refleak run,
which has no test runner: this module needs nothing but the package.

Every error path a Python hook can take is reached by the tripping cases: a
call whose values, tree, lists, logger and services are hooked, each hook
numbered as the call runs it; every run of the case makes the next hook in
turn raise ``Tripped``, round and round.
"""

import itertools
import sys
import types
from collections.abc import Callable
from functools import partial

import corvane.plugins as plugins
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


class Tripped(Exception):
    """Raised by the hook whose turn it is."""


class Trip:
    """Numbers the hooks a call runs; the one numbered ``at`` raises Tripped."""

    count = at = 0

    @classmethod
    def hook(cls) -> None:
        cls.count += 1
        if cls.count == cls.at:
            raise Tripped(cls.count)


def hooked(base: type, names: str) -> type:
    """A subclass of ``base`` whose methods ``names`` run a hook first."""

    def wrap(original):
        def method(self, *args):
            Trip.hook()
            return original(self, *args)

        return method

    return type(
        f"Hooked{base.__name__}", (base,), {n: wrap(getattr(base, n)) for n in names.split()}
    )


HStr = hooked(
    str, "__eq__ __hash__ __len__ __str__ __format__ __add__ __rmod__ __contains__ islower endswith"
)
HDict = hooked(
    dict, "keys get __getitem__ __setitem__ __delitem__ __contains__ __eq__ __len__ __iter__"
)
HList = hooked(list, "__contains__ __str__ __iter__")


class Hooks:
    """The services and the class a tripping call reaches, each running a hook."""

    def debug(self, text):
        Trip.hook()

    @property
    def __name__(self):
        Trip.hook()
        return "Hooks"

    def getfile(self, cls):
        Trip.hook()
        return "hooked.py"

    def import_module(self, name):
        Trip.hook()

    def hex(self, number):
        Trip.hook()
        return HStr(hex(number))

    def walk_packages(self, path, prefix):
        Trip.hook()
        return iter([(None, HStr(prefix + "generic"), True), HList([0, HStr(prefix + "tests"), 0])])

    @property
    def path(self):
        return self

    def dirname(self, file):
        Trip.hook()
        return HStr("/plugins")

    @property
    def name(self):
        Trip.hook()
        return HStr("hooked")

    module = name

    def load(self):
        Trip.hook()

    legacy = False

    def entry_points(self, **group):
        Trip.hook()
        if group and self.legacy:
            raise TypeError("entry_points() takes no keyword arguments")
        return HList([self]) if group else HDict({"corvane.plugins": HList([self])})

    def error(self, message):
        Trip.hook()
        return ConnectionInfraError(message)


def tripping(call, **services):
    """A call with ``services`` bound in the module namespace meanwhile, whose
    hooks raise in turn: every run makes the next twentieth of them raise
    Tripped, one by one, so that each error path is taken often."""

    def run_hooked(at):
        namespace = vars(pluginmanager)
        saved = {name: namespace[name] for name in services if name in namespace}
        namespace.update(services)
        Trip.count, Trip.at = 0, at
        try:
            call()
        finally:
            for name in services:
                if name in saved:
                    namespace[name] = saved[name]
                else:
                    del namespace[name]
            Trip.at = 0
        return Trip.count

    run_hooked(0)  # what it creates is there from now on
    hooks = run_hooked(0)
    turns = itertools.cycle(range(1, hooks + 1))

    def run_turns():
        for at in itertools.islice(turns, -(-hooks // 20)):
            try:
                run_hooked(at)
            except Tripped:
                continue
            raise AssertionError(f"hook {at} of {hooks} did not raise")
        run_hooked(0)  # what the last turn left half done is done

    return run_turns


def refused(*calls) -> None:
    """Makes each call, which raises ConnectionInfraError."""
    for call in calls:
        try:
            call()
        except ConnectionInfraError:
            continue
        raise AssertionError("the call was not refused")


class FlipFlop(str):
    """Equal to what it is compared with the first time after ``arm()`` only
    (a lookup may compare it more than once): present when a node is asked
    whether it holds it, gone when its value is read."""

    compared = 0
    __hash__ = str.__hash__

    def __eq__(self, other):
        FlipFlop.compared += 1
        return FlipFlop.compared == 1

    @classmethod
    def arm(cls) -> None:
        cls.compared = 0


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

    # A manager whose every value, node, list and service runs a hook; its
    # validators are overrides that call PluginManager's own.
    class Overriding(pluginmanager.PluginManager):
        def __getattribute__(self, name):
            Trip.hook()
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            Trip.hook()
            super().__setattr__(name, value)

        def validate_os(self, os):
            Trip.hook()
            return super().validate_os(os)

        def print_tree(self, data, output="plugin"):
            Trip.hook()
            return super().print_tree(data, output)

    h_os, h_platform, h_model, h_flavor, h_chassis = map(HStr, [os_, "edge", "m1", "f1", "dual_rp"])
    h_up, h_odd, h_single = HStr("Up"), HStr("odd"), HStr("single_rp")
    hooks = Hooks()
    services = {"log": hooks, "getfile": hooks.getfile, "ConnectionInfraError": hooks.error}
    hooked = [*handed, hooks, h_os, h_chassis, h_odd]

    def hooked_manager():
        m = Overriding()
        chassis = HDict({h_chassis: HDict(cls=hooks, path=HStr("x"))})
        m._plugins = HDict({h_os: HDict({h_platform: HDict(data=chassis)}), HStr("zz"): HDict()})
        m.supported_os = HList([HStr("linux"), h_os])
        m.chassis_type_list = HList([h_single, h_chassis])
        hooked.extend([m, m._plugins])
        return m

    def lookups(m):
        assert m.plugins is m._plugins
        m.get_plugin(h_os, h_platform, h_model, h_flavor, h_chassis)
        refused(lambda: m.get_plugin(h_os, h_platform, chassis_type=h_single))

    def registrations(m):
        m.register_plugin(hooks, h_os, h_platform, chassis_type=h_chassis)
        m.register_plugin(hooks, h_os, h_platform, h_model, h_flavor, h_chassis)
        m.unregister_plugin(h_os, h_platform, h_model, h_flavor, h_chassis)
        m.unregister_plugin(h_os, h_platform, h_model, h_flavor)
        refused(
            lambda: m.unregister_plugin(h_os, h_platform, chassis_type=h_odd),
            lambda: m.unregister_plugin(h_os, h_platform, h_model, h_flavor),
        )

    def validations(m):
        Overriding()
        m.validate_model(h_os, h_platform, h_model)
        m.validate_platform(h_os, h_platform)
        m.validate_os(h_odd)
        m.validate_arguments(HStr("linux"), h_platform, h_model, h_odd)
        refused(
            lambda: m.validate_model(h_os, h_platform, h_up),
            lambda: m.validate_model(h_os, h_platform, ConnA),
            lambda: m.validate_platform(h_os, h_up),
            lambda: m.validate_platform(h_os, ConnA),
            lambda: m.validate_chassis_type(h_odd),
        )

    def renderings(m):
        repr(m)
        m.print_tree(m._plugins, output=h_odd)

    # A plugin package that is a plain module.
    plain = types.ModuleType(plugins.__name__)
    plain.__file__ = "/plugins/__init__.py"

    def discoveries():
        pluginmanager.PluginManager.discover_builtin_plugins()
        pluginmanager.PluginManager.discover_external_plugins()
        # The older entry_points(), and the plain plugin module: set and put
        # back without allocating, as a sweep with allocations failing needs.
        Hooks.legacy, sys.modules[plugins.__name__] = True, plain
        try:
            pluginmanager.PluginManager.discover_external_plugins()
            pluginmanager.PluginManager.discover_builtin_plugins()
        finally:
            Hooks.legacy, sys.modules[plugins.__name__] = False, plugins

    flip_flop = pluginmanager.PluginManager()
    flip_flop._plugins = {FlipFlop(os_): {}}

    def flip_flop_lookup():
        FlipFlop.arm()
        flip_flop.get_plugin(os_)

    return [
        (
            "get, a hook raising",
            hooked,
            tripping(partial(lookups, hooked_manager()), **services),
            None,
        ),
        (
            "register, a hook raising",
            hooked,
            tripping(partial(registrations, hooked_manager()), **services),
            None,
        ),
        (
            "validate, a hook raising",
            hooked,
            tripping(partial(validations, hooked_manager()), **services),
            None,
        ),
        (
            "repr and print_tree, a hook raising",
            hooked,
            tripping(partial(renderings, hooked_manager()), hex=hooks.hex),
            None,
        ),
        (
            "discovery, a hook raising",
            hooked,
            tripping(
                discoveries,
                os=hooks,
                pkgutil=hooks,
                importlib=hooks,
                entry_points=hooks.entry_points,
            ),
            None,
        ),
        ("get, the node's value gone", [*handed, flip_flop], flip_flop_lookup, KeyError),
        (
            "get, an unexpected keyword",
            handed,
            lambda: manager.get_plugin(os_, flavor=os_),
            TypeError,
        ),
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
            "get not found, exact strs",
            handed,
            lambda: manager.get_plugin(os_, fresh("zz"), chassis_type=fresh("stack")),
            ConnectionInfraError,
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
