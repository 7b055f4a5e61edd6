"""Inputs just outside the shortcuts: Python code that runs in the middle of an
operation and changes what the operation looks at.

Each case drives the extension and the pure-Python model alike and records
what happens (the calls made into the case's objects, in order); both must
give the same result or exception and the same record. Run under the
sanitizer job, the cases also show that no freed memory is read.
"""

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import model
from corvane.core import pluginmanager


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


class ThroughSelf(pluginmanager.PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class ModelThroughSelf(model.PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class Level(dict):
    """A dict subclass node: the written renderer's."""


def chain(node, depth):
    tree = leaf = node()
    for _ in range(depth - 1):
        leaf["k"] = node()
        leaf = leaf["k"]
    leaf["k"] = "end"
    return tree


@pytest.mark.parametrize(
    ("manager", "reference", "node", "per_level"),
    [
        (pluginmanager.PluginManager(), model.PluginManager(), dict, 1),
        (pluginmanager.PluginManager(), model.PluginManager(), Level, 1),
        (ThroughSelf(), ModelThroughSelf(), dict, 2),
    ],
    ids=["plain dicts", "dict subclass levels", "print_tree overridden"],
)
def test_deep_trees_stop_where_the_written_recursion_does(manager, reference, node, per_level):
    headroom = 150
    limit = sys.getrecursionlimit()
    depth = len(inspect.stack(0))
    sys.setrecursionlimit(depth + headroom)
    try:
        for side in (manager, reference):
            with pytest.raises(RecursionError):
                side.print_tree(chain(node, headroom // per_level + 10))
        shallow = chain(node, headroom // per_level - 30)
        text = manager.print_tree(shallow)
        assert text == reference.print_tree(shallow)
    finally:
        sys.setrecursionlimit(limit)
    assert text.endswith("|__ k = end")


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
