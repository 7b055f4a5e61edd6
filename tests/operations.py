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
    def hook(cls, value=None):
        cls.count += 1
        if cls.count == cls.at:
            raise Tripped(cls.count)
        return value


def hooked(base: type, names: str) -> type:
    """A subclass of ``base`` whose methods ``names`` run a hook first."""

    def wrap(original):
        return lambda self, *args, **kwargs: Trip.hook() or original(self, *args, **kwargs)

    return type(base.__name__, (base,), {n: wrap(getattr(base, n)) for n in names.split()})


HStr = hooked(str, "__eq__ __hash__ __len__ __str__ __add__ __rmod__ __contains__ islower endswith")
HDict = hooked(dict, "keys get __getitem__ __setitem__ __delitem__ __contains__ __eq__ __iter__")
HList = hooked(list, "__contains__ __str__ __iter__")
Overriding = hooked(
    pluginmanager.PluginManager, "__getattribute__ __setattr__ validate_os print_tree"
)


class Hooks:
    """Every service a tripping call reads from the namespace, and a class and
    an entry point of its own: each call and attribute runs a hook."""

    name = module = __name__ = property(lambda self: Trip.hook(HStr("hooked")))
    legacy = False  # entry_points() takes no group

    def __init__(self):
        def hook(value=None):
            return lambda *args: Trip.hook(value)

        self.debug, self.getfile, self.import_module, self.load = (
            hook(),
            hook("f.py"),
            hook(),
            hook(),
        )
        self.path, self.dirname = self, hook(HStr("/plugins"))

    def hex(self, number):
        return Trip.hook(HStr(hex(number)))

    def walk_packages(self, path, prefix):
        names = [HStr(prefix + "generic"), HStr(prefix + "tests")]
        return Trip.hook(iter([(None, names[0], True), HList([None, names[1], False])]))

    def entry_points(self, **group):
        if Trip.hook(group and self.legacy):
            raise TypeError("entry_points() got an unexpected keyword argument 'group'")
        return HList([self]) if group else HDict({"corvane.plugins": HList([self])})

    def error(self, message):
        return Trip.hook(ConnectionInfraError(message))


def tripping(call, **services):
    """A call with ``services`` bound in the module namespace meanwhile, whose
    hooks raise in turn: every run makes the next twentieth of them raise
    Tripped, one by one, so that each error path is taken often."""

    def run_hooked(at):
        namespace = vars(pluginmanager)
        saved = {name: namespace[name] for name in services if name in namespace}
        namespace.update(services)  # in place: the namespace keeps its order
        Trip.count, Trip.at = 0, at
        try:
            call()
        finally:
            namespace.update(saved)
            for name in services.keys() - saved.keys():
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

    # Managers whose every value, node, list and service runs a hook; their
    # validators and print_tree are overrides that call PluginManager's own.
    h_os, h_platform, h_model, h_flavor, h_chassis, h_up, h_odd, h_single = map(
        HStr, [os_, "edge", "m1", "f1", "dual_rp", "Up", "odd", "single_rp"]
    )
    hooks = Hooks()
    services = {"log": hooks, "getfile": hooks.getfile, "ConnectionInfraError": hooks.error}
    hooked = [*handed, hooks, h_os, h_chassis, h_odd]

    def hooked_manager():
        m = Overriding()
        chassis = HDict({h_chassis: HDict(cls=hooks, path=HStr("x"))})
        m._plugins = HDict({h_os: HDict({h_platform: HDict(data=chassis)}), HStr("zz"): HDict()})
        m.supported_os, m.chassis_type_list = HList(["linux", h_os]), HList([h_single, h_chassis])
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
            *(lambda v=v: m.validate_model(h_os, h_platform, v) for v in (h_up, ConnA)),
            *(lambda v=v: m.validate_platform(h_os, v) for v in (h_up, ConnA)),
            lambda: m.validate_chassis_type(h_odd),
        )

    def renderings(m):
        repr(m)
        m.print_tree(m._plugins, output=h_odd)

    # The older entry_points(), and a plugin package that is a plain module:
    # set and put back without allocating, as a sweep with allocations
    # failing needs.
    plain = types.ModuleType(plugins.__name__)
    plain.__file__ = "/plugins/__init__.py"

    def discoveries():
        for legacy, package in ((False, plugins), (True, plain)):
            Hooks.legacy, sys.modules[plugins.__name__] = legacy, package
            try:
                pluginmanager.PluginManager.discover_external_plugins()
                pluginmanager.PluginManager.discover_builtin_plugins()
            finally:
                Hooks.legacy, sys.modules[plugins.__name__] = False, plugins

    flip_flop = pluginmanager.PluginManager()
    flip_flop._plugins = {FlipFlop(os_): {}}

    def flip_flop_lookup():
        FlipFlop.compared = 0
        flip_flop.get_plugin(os_)

    tripping_cases = {
        "get": tripping(partial(lookups, hooked_manager()), **services),
        "register": tripping(partial(registrations, hooked_manager()), **services),
        "validate": tripping(partial(validations, hooked_manager()), **services),
        "repr and print_tree": tripping(partial(renderings, hooked_manager()), hex=hooks.hex),
        "discovery": tripping(
            discoveries, os=hooks, pkgutil=hooks, importlib=hooks, entry_points=hooks.entry_points
        ),
    }
    return [
        *((f"{name}, a hook raising", hooked, call, None) for name, call in tripping_cases.items()),
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
