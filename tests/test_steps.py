"""Inputs just outside the shortcuts: Python code that runs in the middle of an
operation and changes what the operation looks at.

Each case drives the extension and the pure-Python model alike and records
what happens (the calls made into the case's objects, in order); both must
give the same result or exception and the same record. Run under the
sanitizer job, the cases also show that no freed memory is read.
"""

import gc
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import model
from corvane.core import pluginmanager

from conftest import SANITIZED

HERE = Path(__file__).parent


class ConnA: ...


class Recorder:
    """The package logger, running `action` on every debug line."""

    def __init__(self, events, action=None):
        self.events, self.action = events, action

    def debug(self, text):
        self.events.append(("debug", text))
        if self.action is not None:
            self.action()


class Eq(str):
    """Compares like its text, recording each comparison and running `action` once."""

    def __new__(cls, text, events, action=None):
        self = super().__new__(cls, text)
        self.events, self.action = events, action
        return self

    def __eq__(self, other):
        self.events.append(("eq", str(self), str(other)))
        action, self.action = self.action, None
        if action is not None:
            action()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Added(str):
    """A str whose reflected + is its own."""

    def __radd__(self, other):
        return "radd(" + other + ")"


class ClaimsDict:
    """Claims to be a dict through __class__, counting the claims."""

    def __init__(self, events):
        self.events = events

    @property
    def __class__(self):
        self.events.append(("__class__",))
        return dict


def str_subclass_keyword_name(module, events, monkeypatch):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, os="generic")
    name = Eq("os", [])
    alive = weakref.ref(name)
    found = manager.get_plugin(**{name: "generic"})
    del name
    gc.collect()
    return found, alive() is None


def text_added_with_the_host_operator(module, events, monkeypatch):
    class Leaf:
        def __str__(self):
            return Added("x")

    return module.PluginManager().print_tree({"a": Leaf(), "b": {"c": Leaf()}})


def claimed_dict_read_once(module, events, monkeypatch):
    try:
        module.PluginManager().print_tree(ClaimsDict(events))
    except Exception as error:
        return type(error).__name__


def sorted_keys_emptied_by_a_hash(module, events, monkeypatch):
    class Emptying(str):
        def __hash__(self):
            for holder in gc.get_referrers(self):
                if type(holder) is list and self in holder:
                    holder.clear()
            return str.__hash__(self)

        __eq__ = str.__eq__

    return module.PluginManager().print_tree({Emptying("a"): "1", "b": "2"})


def classes_written_as_str_shows_them(module, events, monkeypatch):
    odd = type("Odd", (), {})
    odd.__module__ = 7
    member_type = type(pluginmanager.PluginManager.get_plugin)
    return module.PluginManager().print_tree({"a": odd, "b": member_type, "c": int})


def interrupt_while_reading_sys_modules(module, events, monkeypatch):
    class Interrupting:
        armed = False

        def __hash__(self):
            return hash("modules")

        def __eq__(self, other):
            if Interrupting.armed:
                Interrupting.armed = False
                raise KeyboardInterrupt
            return False

    key = Interrupting()
    namespace = vars(sys)
    # Probed before the name it collides with: stored before it.
    modules = namespace.pop("modules")
    namespace[key] = None
    namespace["modules"] = modules
    manager = module.PluginManager()
    try:
        Interrupting.armed = True
        manager.register_plugin(type("Late", (), {}), os="generic")
        outcome = "registered"
    except KeyboardInterrupt:
        outcome = "interrupted"
    finally:
        Interrupting.armed = False
        del namespace[key]
    return outcome, list(manager.plugins)


CASES = [
    str_subclass_keyword_name,
    text_added_with_the_host_operator,
    claimed_dict_read_once,
    sorted_keys_emptied_by_a_hash,
    classes_written_as_str_shows_them,
    interrupt_while_reading_sys_modules,
]


def outcome(module, case, monkeypatch):
    events = []
    with monkeypatch.context() as patch:
        patch.setattr(module, "log", Recorder(events))
        try:
            result = case(module, events, patch)
        except Exception as error:
            result = ("raised", type(error).__name__, error.args)
    return result, events


@pytest.mark.parametrize("case", CASES, ids=[case.__name__ for case in CASES])
def test_the_extension_does_what_the_model_does(case, monkeypatch):
    assert outcome(pluginmanager, case, monkeypatch) == outcome(model, case, monkeypatch)


DEPTHS = """
import sys
import model
from corvane.core import pluginmanager

class Level(dict):
    pass

def through(base):
    class Through(base):
        def print_tree(self, data, output="plugin"):
            return super().print_tree(data, output)
    return Through

KINDS = {
    "plain": (lambda side: side.PluginManager, dict),
    "subclass": (lambda side: side.PluginManager, Level),
    "override": (lambda side: through(side.PluginManager), dict),
}

class Equal:
    def __init__(self, render):
        self.render = render

    def __eq__(self, other):
        return self.render()

class Callable(Equal):
    def __call__(self):
        return self.render()

def repr_of(manager, tree):
    manager._plugins = tree
    return repr(manager)

# The render called directly, by repr() through __repr__, and from Python code
# that CPython's own C calls: a comparison and a call of an instance.
WAYS = {
    "direct": lambda manager, tree: manager.print_tree(tree),
    "repr": repr_of,
    "eq": lambda manager, tree: Equal(lambda: manager.print_tree(tree)) == 0,
    "call": lambda manager, tree: Callable(lambda: manager.print_tree(tree))(),
}
way = WAYS[sys.argv[2]]

def renders(manager, node, leaf, depth, limit):
    tree = level = node()
    for _ in range(depth - 1):
        level["k"] = level = node()
    level["k"] = leaf
    sys.setrecursionlimit(limit)
    try:
        way(manager, tree)
        return True
    except RecursionError:
        return False
    finally:
        sys.setrecursionlimit(10_000)

def deepest(manager, node, leaf, limit, guess=None):
    # The deepest tree that renders: searched from a guess one level at a
    # time (a deep render costs much), else by halves.
    if guess is not None:
        depth = max(0, min(guess, limit))
        while depth > 0 and not renders(manager, node, leaf, depth, limit):
            depth -= 1
        while depth < limit and renders(manager, node, leaf, depth + 1, limit):
            depth += 1
        return depth
    low, high = 0, limit
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if renders(manager, node, leaf, middle, limit) else (low, middle - 1)
    return low

manager, node = KINDS[sys.argv[1]]
for leaf in ("end", {}):
    found = {}
    for limit in map(int, sys.argv[3:]):
        # The written side's depth grows with the limit by a fixed number of
        # frames a level: at 1000 it is guessed from 60 and 100.
        guess = None
        if limit == 1000:
            levels_per_frame = (found[100] - found[60]) / 40
            guess = round(found[100] + levels_per_frame * (limit - 100))
        written = found[limit] = deepest(manager(model)(), node, leaf, limit, guess)
        # The extension's, searched from there: two renders when it is exact.
        print(deepest(manager(pluginmanager)(), node, leaf, limit, written), written)
"""


# Under the sanitizer, whose allocator makes the deep renders' large texts
# some fifty times slower, the limits below 1000.
LIMITS = ["60", "100"] if SANITIZED else ["60", "100", "1000"]


@pytest.mark.parametrize(
    "kind, way",
    [("plain", "direct"), ("subclass", "direct"), ("override", "direct")]
    + [("plain", way) for way in ("repr", "eq", "call")],
)
def test_renders_stop_at_the_depth_of_the_written_recursion(kind, way):
    # At each limit, trees ending in a text and in an empty dict: the deepest
    # tree each side renders, from the same shallow stack.
    done = subprocess.run(
        [sys.executable, "-c", DEPTHS, kind, way, *LIMITS], capture_output=True, text=True, cwd=HERE
    )
    assert done.returncode == 0, done.stderr
    pairs = [line.split() for line in done.stdout.splitlines()]
    assert len(pairs) == 2 * len(LIMITS), pairs
    assert all(extension == written for extension, written in pairs), pairs


def test_an_override_on_a_small_thread_stack_gives_recursion_error():
    script = textwrap.dedent(
        """
        import sys, threading
        from corvane.core.pluginmanager import PluginManager

        class ThroughSelf(PluginManager):
            def print_tree(self, data, output="plugin"):
                return super().print_tree(data, output)

        tree = leaf = {}
        for _ in range(20_000):
            leaf["k"] = {}
            leaf = leaf["k"]
        outcome = []

        def render():
            try:
                ThroughSelf().print_tree(tree)
            except RecursionError:
                outcome.append("RecursionError")

        sys.setrecursionlimit(1_000_000)
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=render)
        thread.start()
        thread.join()
        print(outcome)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "['RecursionError']\n"), done.stderr
