"""Guarantees held at their boundaries: the stack every way back into the
module, what is known of a dict after every kind of change to it, the exact
depth at which rendering stops, the error of every lookup, and a collection
due as a render starts."""

import ast
import gc
import importlib
import os
import subprocess
import sys
import textwrap
from functools import partial
from pathlib import Path

import pytest

import model
from corvane import plugins
from corvane.core import pluginmanager

SENTINEL = getattr(pluginmanager, "_sentinel", None)

# Python code that calls back into the module without end, by one route each.
ROUTES = {
    "override": """
        class Manager(PluginManager):
            def validate_os(self, os):
                return self.get_plugin(os)
        run = lambda: Manager().get_plugin("generic")
    """,
    "print_tree override and repr": """
        class Manager(PluginManager):
            def print_tree(self, data, output="plugin"):
                return repr(self)
        run = lambda: repr(Manager())
    """,
    "a tree key's __eq__": """
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                return manager.get_plugin("generic") is None
        manager = PluginManager()
        manager._plugins[Key("generic")] = {}
        run = lambda: manager.get_plugin("generic")
    """,
    "a tree key's __hash__": """
        class Key:
            def __hash__(self):
                return hash(manager.get_plugin("generic", os_flavor=Key()))
        manager = PluginManager()
        run = lambda: manager.get_plugin("generic", os_flavor=Key())
    """,
    "a supported-list item": """
        class Item:
            def __eq__(self, other):
                return manager.validate_os("other")
        manager = PluginManager()
        manager.supported_os = [Item()]
        run = lambda: manager.validate_os("other")
    """,
    "the logger": """
        import corvane.core.pluginmanager as module
        class Log:
            def debug(self, text):
                manager.validate_os("other")
        module.log = Log()
        manager = PluginManager()
        run = lambda: manager.validate_os("other")
    """,
    "the plugins property": """
        class Manager(PluginManager):
            @property
            def _plugins(self):
                return self.plugins

            @_plugins.setter
            def _plugins(self, tree):
                pass
        run = lambda: Manager().plugins
    """,
}
STACKS = {
    "256 KiB thread": "thread = 256 * 1024",
    "512 KiB thread": "thread = 512 * 1024",
    # As under `ulimit -s 512`: the main thread's stack grows no further.
    "512 KiB main thread": "thread = None\nresource.setrlimit(resource.RLIMIT_STACK, (512 << 10,) * 2)",
}
SCRIPT = """
import resource, sys, threading
from corvane.core.pluginmanager import PluginManager
{stack}
{route}
outcome = []

def call():
    try:
        run()
    except RecursionError:
        outcome.append("RecursionError")

sys.setrecursionlimit(10**6)
if thread:
    threading.stack_size(thread)
    worker = threading.Thread(target=call)
    worker.start()
    worker.join()
else:
    call()
print(outcome)
"""


@pytest.mark.parametrize("stack", list(STACKS))
@pytest.mark.parametrize("route", list(ROUTES))
def test_every_way_back_in_meets_the_stack_check(route, stack):
    script = SCRIPT.format(route=textwrap.dedent(ROUTES[route]), stack=STACKS[stack])
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout) == (0, "['RecursionError']\n"), done.stderr[-2000:]


# A call that does not bind, made first in a process with what a caller may
# set up around it: it raises what a `def` raises, and nothing of the
# caller's runs (its builtins' __build_class__, audit events).
FIRST_CALL = """
import sys, threading
from corvane.core.pluginmanager import PluginManager
class Written:
    def get_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                   chassis_type="single_rp"):
        pass
ran, calling = [], []
sys.addaudithook(lambda event, args: calling and ran.append(event))
CALL = compile("calling.append(1)\\ntry: m.get_plugin(os='generic', flavor='x')\\n"
               "except E as e: r = e\\ncalling.pop()", "", "exec")
def outcome(manager):
    builtins = {{"__build_class__": lambda *args: ran.append(args[1])}}
    scope = {{"__builtins__": builtins, "m": manager, "E": BaseException, "calling": calling}}
    exec(CALL, scope)
    return type(scope["r"]).__name__
{case}
print([*found, ran])
"""
FIRST_CALLS = {
    "restricted": "found = [outcome(PluginManager()), outcome(Written())]",
    **{
        f"{above} frames above the deepest a def gets in": f"""
def at(depth, manager):
    try:
        return at(depth - 1, manager) if depth else outcome(manager)
    except RecursionError:
        return "RecursionError before the call" if depth else "RecursionError"
deepest = next(d for d in range(sys.getrecursionlimit(), 0, -1)
               if at(d, Written()) == "TypeError")
found = [at(deepest - {above}, PluginManager()), at(deepest - {above}, Written())]
"""
        for above in range(3)
    },
    # As deep as the stack check lets a call in, in the smallest thread: both
    # calls made where the last print_tree was, the module's first.
    "the smallest thread, at the stack check": """
found, written = [], Written()
class Deep(PluginManager):
    def print_tree(self, data, output="plugin"):
        try:
            text = PluginManager.print_tree(self, {"k": 0}, output)
        except RecursionError:
            return "bottom"
        for manager in (self, written)[len(found) :]:
            try:
                manager.get_plugin(os="generic", flavor="x")
            except BaseException as error:
                found.append(type(error).__name__)
        return text
for kib in 32, 64:  # 3.14 takes 52 KiB at least
    try:
        threading.stack_size(kib << 10)
        break
    except ValueError:
        pass
worker = threading.Thread(target=Deep().print_tree, args=(0,))
worker.start()
worker.join()
""",
}


@pytest.mark.parametrize("case", list(FIRST_CALLS))
def test_a_first_call_that_does_not_bind_raises_as_a_def(case):
    script = FIRST_CALL.format(case=FIRST_CALLS[case])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    module, written, ran = ast.literal_eval(done.stdout)
    assert (module, ran) == (written, []) and module != "RecursionError before the call"


class ConnA: ...


def chassis_map():
    return {"single_rp": {"cls": ConnA, "path": "f"}}


class Boom(Exception):
    pass


class Asks:
    """Counts the calls that lookups make into Python code; the `fail_at`-th
    raises a Boom of its own."""

    count = fail_at = 0
    raised = None

    @classmethod
    def ask(cls):
        cls.count += 1
        if cls.count == cls.fail_at:
            cls.raised = Boom(cls.count)
            raise cls.raised


class Colliding(str):
    """A key of another kind: hashes like its text without the "~", equals nothing."""

    def __init__(self, text):
        self.hash = hash(text[1:])  # made now: hashing needs no memory

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        Asks.ask()
        return False


K = Colliding("~data")


def reallocated(root):
    if root["generic"] is not None:
        reallocated.address = id(root["generic"])
        root["generic"] = None
    root["generic"] = {K: 0}
    assert id(root["generic"]) == reallocated.address


def at(change):
    return lambda root: change(root["generic"])


# Every change a node's keys are told of (3.11: each gives the node a new
# version tag; from 3.12 each is an event of the watcher), made to the node
# "generic" in turn, each after a lookup has proven or refuted its keys; the
# comment says what must be known of them after each. "data" goes in last,
# after K, so that a lookup of "data" asks K first: three lookups by the
# written steps, one if the node were still taken for proven (a lookup may
# ask K twice, by the order in which its hash probes the table).
EVENTS = {
    # proven; refuted
    "added exact str": ({}, [at(lambda n: n.update(x=1)), at(lambda n: n.update({K: 0}))]),
    "added other kind": ({}, [at(lambda n: n.__setitem__(K, 0))]),  # refuted
    "modified": ({K: 0, "x": 1}, [at(lambda n: n.update(x=2))]),  # refuted
    "deleted": ({K: 0, "x": 1}, [at(lambda n: n.pop("x"))]),  # scanned again: refuted
    # proven; refuted
    "deleted other kind": ({K: 0}, [at(lambda n: n.pop(K)), at(lambda n: n.setdefault(K))]),
    "cleared": ({K: 0}, [at(dict.clear), at(lambda n: n.setdefault(K))]),  # proven; refuted
    "cloned by update": ({}, [at(lambda n: n.update({K: 0}))]),  # scanned again: refuted
    "cloned by __init__": ({}, [at(lambda n: dict.__init__(n, {K: 0}))]),  # the same
    "deallocated, a new dict at its address": ({}, [reallocated]),  # scanned: refuted
}


def attempt(action, failing):
    """Runs `action` with its first `failing` allocations failing: False when
    that failed it."""
    hooks = importlib.import_module("_testcapi") if failing else None
    if hooks:
        hooks.set_nomemory(1, 1 + failing)
    try:
        action()
    except MemoryError:
        return False
    finally:
        if hooks:
            hooks.remove_mem_hooks()
    return True


def asked_after(events, starved=False):
    """How often the extension's lookup, then the model's, ask K after `events`
    (`starved`: in a fresh process, the first two allocations of the first
    lookup failing, which are the proofs it enters, and the first of each
    change, which is then made again if it failed)."""
    initial, changes = EVENTS[events]
    # Its state set as __init__ sets it, but for the tree, which __init__
    # would enter among the proofs: the first lookup's are the first.
    manager, Asks.fail_at = pluginmanager.PluginManager.__new__(pluginmanager.PluginManager), 0
    root = {"generic": dict(initial)}
    vars(manager).update(
        _plugins=root,
        chassis_type_list=plugins.supported_chassis,
        supported_os=plugins.supported_os,
    )

    def lookup():
        try:
            manager.get_plugin("generic")
        except pluginmanager.ConnectionInfraError:
            pass

    # From 3.12 the two allocations failing are the two proofs the lookup
    # enters, which it does without: it completes, unless K needs memory.
    assert attempt(lookup, 2 * starved) or initial or sys.version_info < (3, 12)
    for change in changes:
        attempt(partial(change, root), starved) or change(root)
        lookup()
    root["generic"]["data"] = chassis_map()
    counts = []
    for module in (pluginmanager, model):
        Asks.count = 0
        assert module.PluginManager.get_plugin(manager, "generic") is ConnA
        counts.append(Asks.count)
    return counts


@pytest.mark.parametrize("starved", [False, True], ids=["", "allocation failing"])
@pytest.mark.parametrize("events", list(EVENTS))
def test_what_is_known_of_a_node_after_each_change(events, starved):
    counts = asked_after(events)
    if starved:
        if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
            pytest.skip("this interpreter's _testcapi cannot fail allocations")
        # A fresh process, where the first proof entered needs memory for its table.
        script = f"import sys; sys.path[:0] = [{str(Path(__file__).parent)!r}]\n"
        script += f"import test_boundaries as t; print(t.asked_after({events!r}, True))"
        # Allocations counted as CPython's own allocator makes them: with
        # PYTHONMALLOC=malloc (the sanitizer's) the first ones are others.
        env = {name: value for name, value in os.environ.items() if name != "PYTHONMALLOC"}
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, env=env
        )
        assert done.returncode == 0, done.stderr[-2000:]
        counts = ast.literal_eval(done.stdout)
    assert counts[0] == counts[1] >= 3


class Hashing(str):
    def __hash__(self):
        Asks.ask()
        return str.__hash__(self)


class Node(dict):
    def keys(self):
        Asks.ask()
        return dict.keys(self)

    def __getitem__(self, key):
        Asks.ask()
        return dict.__getitem__(self, key)


# What runs Python code in the lookups: the tree, and the os_flavor given.
LOOKUPS = {
    "a stored key's __eq__": (
        lambda: {Colliding("~generic"): 0, "generic": {K: 0, "data": chassis_map()}},
        None,
    ),
    "the key's __hash__": (lambda: {"generic": {"f": {"data": chassis_map()}}}, Hashing("f")),
    "a node's keys() and __getitem__": (lambda: {"generic": Node(data=chassis_map())}, None),
}
OPERATIONS = {
    "get_plugin": lambda m, flavor: m.get_plugin("generic", os_flavor=flavor),
    "register_plugin": lambda m, flavor: m.register_plugin(ConnA, "generic", os_flavor=flavor),
    "unregister_plugin": lambda m, flavor: m.unregister_plugin(
        "generic", None, None, flavor, "single_rp"
    ),
}


def each_lookup_failing(module, lookups, operation):
    """The operation with the first, second ... call into Python code raising:
    what it gave, how many calls it made, and the tree it left."""
    tree, flavor = LOOKUPS[lookups]
    outcomes = []
    while not outcomes or outcomes[-1][0] == "raised":
        Asks.fail_at = 0
        manager = module.PluginManager()
        manager._plugins = tree()
        Asks.count, Asks.fail_at = 0, len(outcomes) + 1
        try:
            outcome = ("returned", OPERATIONS[operation](manager, flavor))
        except Exception as error:
            outcome = ("raised", error is Asks.raised, type(error), error.args)
        outcomes.append((*outcome, Asks.count, repr(manager._plugins)))
    return outcomes


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("lookups", list(LOOKUPS))
def test_an_error_of_each_lookup_propagates(lookups, operation):
    written = each_lookup_failing(model, lookups, operation)
    assert len(written) > 2
    assert all(outcome[1] is True for outcome in written[:-1])
    assert each_lookup_failing(pluginmanager, lookups, operation) == written


def test_a_collection_due_as_a_render_starts_comes_before_or_after_it():
    def changed(tree, change=True):
        if change:
            tree["b"] = {"k": "new"}
            tree["a"]["z"]["k2"] = "added"
        return tree

    def tree():
        return {"a": {"cls": ConnA, "z": {"k": "v"}}, "b": {"k": "old"}}

    candidates = [model.PluginManager().print_tree(changed(tree(), c)) for c in (False, True)]
    manager = pluginmanager.PluginManager()
    manager._plugins = tree()
    armed = [manager._plugins]
    gc.callbacks.append(lambda phase, info: phase == "start" and armed and changed(armed.pop()))
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        # The list and the tuple made for the call leave a collection due.
        text = manager.print_tree(*[manager._plugins])
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.pop()
    assert not armed and text in candidates


# ---- The lookups remembered: after each change, the next lookup walks ----


class ConnC: ...


class Level(dict):
    """A node no proof covers: nothing of it is watched."""


def remembering_tree(cls=ConnA, node=dict):
    # Built by registration: lookups are remembered only in dicts the module made.
    maker = pluginmanager.PluginManager()
    maker.register_plugin(cls, "generic")
    maker.register_plugin(cls, "generic", "p")
    tree = maker._plugins
    if node is not dict:
        tree["generic"]["p"] = node(tree["generic"]["p"])
    return tree


def replaced_at_its_address(manager, stranger):
    inner = remembering_tree(ConnC)["generic"]
    address, manager._plugins = id(manager._plugins), None
    manager._plugins = {"generic": inner}
    assert id(manager._plugins) == address


def path(manager):
    return manager._plugins["generic"]["p"]


# Each change made between two lookups of generic/p/m with the same objects,
# the first remembered: the second must walk again, to the model's answer.
# `stranger` is another manager, whose tree is another watched dict.
REMEMBERED = {
    "a leaf's class modified": lambda m, s: path(m)["data"]["single_rp"].update(cls=ConnC),
    "a key added on the path": lambda m, s: path(m).update(m=remembering_tree(ConnC)["generic"]),
    "a chassis map deleted": lambda m, s: path(m).pop("data"),
    "a chassis map cleared": lambda m, s: path(m)["data"].clear(),
    "another watched dict cloned into": lambda m, s: s._plugins.update({"x": {}}),
    "another watched dict deallocated": lambda m, s: setattr(s, "_plugins", None),
    "the tree deallocated, another at its address": replaced_at_its_address,
    "the tree replaced": lambda m, s: setattr(m, "_plugins", remembering_tree(ConnC)),
    "a node no proof covers modified": lambda m, s: unwatched_change(path(m)),
}


KEPT = []


def unwatched_change(node):
    # Its chassis map replaced and kept alive: no watched dict is told.
    KEPT.append(node["data"])
    node["data"] = {"single_rp": {"cls": ConnC, "path": "f"}}


def remembered_then(name):
    """The outcomes of the model, then of the extension, after `change`, and
    how often the extension answered from what it remembered (sentinel
    builds; None elsewhere)."""
    manager, stranger = pluginmanager.PluginManager(), pluginmanager.PluginManager()
    manager._plugins = remembering_tree(node=Level if "no proof" in name else dict)

    def lookup(module):
        try:
            return module.PluginManager.get_plugin(manager, "generic", "p", "m")
        except pluginmanager.ConnectionInfraError as error:
            return error.args

    with pytest.raises(pluginmanager.ConnectionInfraError):
        stranger.get_plugin("generic")  # watches the stranger's tree
    assert lookup(pluginmanager) is lookup(pluginmanager) is ConnA
    taken = SENTINEL.taken("memo") if SENTINEL else None
    REMEMBERED[name](manager, stranger)
    outcomes = [lookup(module) for module in (model, pluginmanager)]
    return outcomes, (SENTINEL.taken("memo") - taken if SENTINEL else None)


@pytest.mark.parametrize("change", list(REMEMBERED))
def test_after_each_change_a_remembered_lookup_walks_again(change):
    (written, native), answered = remembered_then(change)
    assert native == written
    assert answered in (None, 0)


def test_lookups_remembered_in_many_trees_and_of_many_descriptions():
    # More trees than the table has slots, each with a class of its own.
    managers = [pluginmanager.PluginManager() for _ in range(200)]
    for manager in managers:
        manager._plugins = remembering_tree(type("Conn", (), {}))
    for _ in range(2):
        for manager in managers:
            cls = manager._plugins["generic"]["p"]["data"]["single_rp"]["cls"]
            assert manager.get_plugin("generic", "p", "m") is cls
    # More descriptions than slots in one tree, of the same length each.
    manager = managers[0]
    for number in range(200):
        manager.register_plugin(type("Conn", (), {}), "generic", f"p{number:03}")
    for _ in range(2):
        for number, platform in enumerate(manager._plugins["generic"]):
            if platform.startswith("p") and number:
                cls = manager._plugins["generic"][platform]["data"]["single_rp"]["cls"]
                assert manager.get_plugin("generic", platform) is cls


class Attributes:
    """Its __dict__ shares its values with it from 3.13 on: an attribute set
    changes them with no word to a dict watcher."""


def test_a_lookup_through_an_instance_dict_is_not_remembered():
    manager = pluginmanager.PluginManager()
    manager._plugins = remembering_tree()
    holder = Attributes()
    holder.cls, holder.path = ConnA, "f"
    path(manager)["data"]["single_rp"] = vars(holder)
    # Set again and again: the interpreter specialises the store.
    for cls in (ConnC, ConnA) * 4:
        assert manager.get_plugin("generic", "p", "m") is manager.get_plugin("generic", "p", "m")
        holder.cls = cls
        assert manager.get_plugin("generic", "p", "m") is cls


class Chassis(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return str.__eq__(self, other)


@pytest.mark.skipif(SENTINEL is None, reason="built without the sentinel")
def test_a_chassis_map_made_with_a_key_of_another_kind_is_not_taken_for_proven():
    manager = pluginmanager.PluginManager()
    manager.register_plugin(ConnA, "generic", chassis_type=Chassis("single_rp"))
    SENTINEL.take()
    SENTINEL.arm()
    try:
        found = manager.get_plugin("generic")
    finally:
        SENTINEL.disarm()
    assert (found, SENTINEL.take()) == (ConnA, [])


@pytest.mark.skipif(SENTINEL is None, reason="built without the sentinel")
def test_a_lookup_is_remembered_from_3_12_on():
    manager = pluginmanager.PluginManager()
    manager._plugins = remembering_tree()
    taken = SENTINEL.taken("memo")
    for _ in range(3):
        assert manager.get_plugin("generic", "p", "m") is ConnA
    assert SENTINEL.taken("memo") - taken == (2 if sys.version_info >= (3, 12) else 0)
    # Planted, a remembered answer is given also after a change: stale.
    SENTINEL.plant(["memo"])
    try:
        (written, native), _ = remembered_then("a leaf's class modified")
    finally:
        SENTINEL.plant(None)
    assert (native != written) == (sys.version_info >= (3, 12))
