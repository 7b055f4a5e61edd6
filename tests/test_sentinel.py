"""The sentinel of a test build watches every step of the extension's table.

Every step that takes a shortcut has a planted case here: the steps planted
keep a call on its fast path where it should leave it, and the call then runs
Python code there, which the sentinel must report. The same call with the
step itself not planted must report nothing of that code: the step is what
leaves the fast path. Written steps and choices are marked so in the table.
"""

import signal

import pytest

import model
from corvane.core import pluginmanager

SENTINEL = getattr(pluginmanager, "_sentinel", None)
pytestmark = pytest.mark.skipif(SENTINEL is None, reason="built without the sentinel")


class Truthy(str):
    def __bool__(self):
        return True


class Rich(str):
    """A str with Python code behind every operation a step may make."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__

    def __str__(self):
        return self

    def __add__(self, other):
        return Rich(str.__add__(self, other))

    def __rmod__(self, other):
        return other % str.__str__(self)

    def __format__(self, spec):
        return str.__format__(self, spec)

    def islower(self):
        return True

    def split(self, separator):
        return str.split(self, separator)


class ClaimsStr:
    @property
    def __class__(self):
        return str


class Keyed(dict):
    def keys(self):
        return dict.keys(self)


class Indexed(dict):
    def __getitem__(self, key):
        return dict.__getitem__(self, key)


class Anything:
    def __contains__(self, value):
        return True


class Overriding(pluginmanager.PluginManager):
    def validate_os(self, os):
        return None


class StateProperty(pluginmanager.PluginManager):
    @property
    def supported_os(self):
        return ["generic"]

    @supported_os.setter
    def supported_os(self, value):
        pass


class Conn: ...


Conn.__module__ = Rich(__name__)
RECORD = {"single_rp": {"cls": Conn, "path": __file__}}


def managed(**state):
    manager = pluginmanager.PluginManager()
    vars(manager).update(state)
    return manager


def rendered_through_override():
    manager = managed()
    manager.print_tree = lambda data, output: Rich("x\ny")
    return pluginmanager.PluginManager.print_tree(manager, {"a": "1"})


# step: (the steps planted, the step reported, the Python code reported, the call).
PLANTED = {
    "truth": (
        {"truth"},
        "truth",
        "Truthy.__bool__",
        lambda: managed().validate_model("a", "p", Truthy("m")),
    ),
    "equals": (
        {"equals"},
        "equals",
        "Rich.__eq__",
        lambda: managed().get_plugin("generic", os_flavor=Rich("f")),
    ),
    "isinstance": (
        {"truth", "isinstance"},
        "isinstance",
        "ClaimsStr.__class__",
        lambda: managed().validate_model("a", "p", ClaimsStr()),
    ),
    "str": (
        {"truth", "raise", "str"},
        "str",
        "Rich.__str__",
        lambda: managed().validate_model("a", "", Rich("m")),
    ),
    "add": (
        {"truth", "equals", "isinstance", "add"},
        "add",
        "Rich.__add__",
        lambda: managed().print_tree(ClaimsStr, Rich("o")),
    ),
    "contains": (
        {"contains"},
        "contains",
        "Anything.__contains__",
        lambda: managed(supported_os=Anything()).validate_os("z"),
    ),
    "percent": (
        {"truth", "contains", "log", "percent"},
        "percent",
        "Rich.__rmod__",
        lambda: managed().validate_os(Rich("z")),
    ),
    "lowercase": (
        {"truth", "lowercase", "method"},
        "method",
        "Rich.islower",
        lambda: managed().validate_platform("a", Rich("p")),
    ),
    "format": (
        {"getfile", "log", "format"},
        "format",
        "Rich.__format__",
        lambda: managed(_plugins={"generic": {"data": RECORD}}).register_plugin(Conn, "generic"),
    ),
    "not_found": (
        {"equals", "node_get", "node_contains", "raise", "not_found", "str"},
        "str",
        "Rich.__str__",
        lambda: managed().get_plugin("generic", os_flavor=Rich("f")),
    ),
    "split": (
        {"truth", "equals", "sorted", "print_tree", "split"},
        "split",
        "Rich.split",
        rendered_through_override,
    ),
    "node_contains": (
        {"node_contains"},
        "node_contains",
        "Keyed.keys",
        lambda: managed(_plugins={"generic": Keyed()}).unregister_plugin("generic"),
    ),
    "node_item": (
        {"node_item"},
        "node_item",
        "Indexed.__getitem__",
        lambda: managed(
            _plugins={"generic": {"data": {"single_rp": Indexed(cls=Conn)}}}
        ).get_plugin("generic"),
    ),
    "node_get": (
        {"node_get", "node_contains"},
        "node_contains",
        "Keyed.keys",
        lambda: managed(_plugins=Keyed(generic={})).get_plugin("generic"),
    ),
    "node_child": (
        {"getfile", "node_child", "node_contains"},
        "node_contains",
        "Keyed.keys",
        lambda: managed(_plugins=Keyed()).register_plugin(Conn, "generic"),
    ),
    "node_item_again": (
        {"node_contains", "node_item_again", "node_item"},
        "node_item",
        "Indexed.__getitem__",
        lambda: managed(_plugins={"generic": {"data": Indexed(RECORD)}}).get_plugin("generic"),
    ),
    "state": (
        {"state"},
        "state",
        "StateProperty.supported_os",
        lambda: StateProperty().validate_os("z"),
    ),
    "member": (
        {"member"},
        "member",
        "Overriding.validate_os",
        lambda: Overriding().get_plugin("generic"),
    ),
}


def reports_with(planted, call):
    SENTINEL.plant(planted)
    SENTINEL.take()
    SENTINEL.arm()
    try:
        call()
    except (pluginmanager.ConnectionInfraError, AttributeError):
        pass
    finally:
        SENTINEL.disarm()
        SENTINEL.plant(None)
    return SENTINEL.take()


def test_every_shortcut_step_has_a_planted_case():
    table = SENTINEL.steps()
    assert {name for name, kind, _ in table if kind == "shortcut"} == set(PLANTED)
    assert all(proof for _, _, proof in table)


@pytest.mark.parametrize("step", list(PLANTED))
def test_a_planted_step_keeps_python_code_on_the_fast_path(step):
    planted, reported, code, call = PLANTED[step]
    expected = f"step {reported}: Python code {code} started on the fast path"
    assert expected in reports_with(planted, call)
    assert not any(code in report for report in reports_with(planted - {step}, call))


def test_planting_an_unknown_step_is_refused():
    with pytest.raises(ValueError, match="no step is named 'nothing'"):
        SENTINEL.plant(["truth", "nothing"])


# ---- A render's safe points: a signal handled between two children ----


class Renamed: ...


def render_tree():
    return {
        "a": {"data": {"single_rp": {"cls": Renamed, "path": "/p/a.py"}}, "x": {}},
        "b": {"p": {"data": {"dual_rp": {"cls": Conn, "path": "two\nlines"}}}, "q": "text"},
        "c": None,
        "d": {"e": {"f": {"g": Renamed}}},
    }


def override(manager, tree):
    manager.print_tree = lambda data, output="plugin": output + " (overridden)"


def rename(manager, tree):
    Renamed.__qualname__ = "Other"


def interrupt(manager, tree):
    raise KeyboardInterrupt


class Finalised:
    def __del__(self):
        pass


def delete_with_finaliser(manager, tree):
    # The last holder of its value gone, its finaliser runs: at once in the
    # written rule, and never on the fast path of the render under way.
    tree["d"]["e"]["f"]["h"] = Finalised()
    tree.pop("d")


# What a signal's handler does to the render under way.
HANDLERS = {
    "nothing": lambda manager, tree: None,
    "raises": interrupt,
    "replaces every root value": lambda manager, tree: tree.update(dict.fromkeys(tree, "gone")),
    "deletes keys to come": lambda manager, tree: (tree.pop("d"), tree["b"].pop("q")),
    "deletes a value with a finaliser": delete_with_finaliser,
    "adds keys": lambda manager, tree: tree.update(zz={"new": "x"}),
    "clears a chassis map": lambda manager, tree: tree["b"]["p"]["data"].clear(),
    "adds a key of another kind": lambda manager, tree: tree["d"]["e"].update({1: "int"}),
    "overrides print_tree": override,
    "renames a class": rename,
}


class HandledAt(model.PluginManager):
    """The written rule with a handler run after the n-th child's text is done."""

    def __init__(self, at, handler):
        super().__init__()
        self.at, self.handler, self.depth, self.done = at, handler, 0, 0

    def print_tree(self, data, output="plugin"):
        self.depth += 1
        try:
            text = super().print_tree(data, output)
        finally:
            self.depth -= 1
        if self.depth > 0:
            if self.done == self.at:
                self.handler(self, self.tree)
            self.done += 1
        return text


def rendered(render, *args):
    try:
        return render(*args)
    except BaseException as error:
        return type(error).__name__, str(error)


@pytest.mark.parametrize("handler", list(HANDLERS))
def test_a_render_goes_on_after_a_signal_as_the_written_rule_does(handler):
    written, native, handled = [], [], []
    # The tree's renders complete 18 children: a safe point after each.
    for at in range(18):
        Renamed.__qualname__ = "Renamed"
        expected = HandledAt(at, HANDLERS[handler])
        expected.tree = render_tree()
        written.append(rendered(expected.print_tree, expected.tree))

        Renamed.__qualname__ = "Renamed"
        manager, tree = pluginmanager.PluginManager(), render_tree()

        def handle(signum, frame, manager=manager, tree=tree, at=at):
            handled.append(at)
            HANDLERS[handler](manager, tree)

        signal.signal(signal.SIGUSR1, handle)
        SENTINEL.take()
        SENTINEL.trip(at, signal.SIGUSR1)
        SENTINEL.arm()
        try:
            native.append(rendered(manager.print_tree, tree))
        finally:
            SENTINEL.disarm()
            SENTINEL.trip(-1, 0)
            signal.signal(signal.SIGUSR1, signal.SIG_DFL)
        assert SENTINEL.take() == []
    Renamed.__qualname__ = "Renamed"
    assert native == written
    assert handled == list(range(18))
