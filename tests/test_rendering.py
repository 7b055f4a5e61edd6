"""The text form of the tree."""

import signal

import pytest

import model
from corvane.core import pluginmanager
from corvane.core.pluginmanager import PluginManager


class Dual: ...


class Single: ...


def reference_print_tree(data, output="plugin"):
    """The rendering rule as the executable model writes it."""
    return model.PluginManager().print_tree(data, output)


class ThroughSelf(PluginManager):
    """Every level goes through the overridden method."""

    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class Mapping(dict):
    pass


def named_class(qualname, module):
    cls = type("Named", (), {})
    cls.__qualname__, cls.__module__ = qualname, module
    return cls


class ModuleName(str):
    pass


TREES = {
    "worked-example": {
        "generic": {
            "data": {
                "single_rp": {"cls": Single, "path": "/p/single.py"},
                "dual_rp": {"cls": Dual, "path": "/p/dual.py"},
            }
        }
    },
    "two-roots": {"b": {"data": {"single_rp": {"cls": Single, "path": "s"}}}, "a": {"x": {"y": 1}}},
    "empties": {"a": {}, "b": "", "c": 0, "d": None, "e": {"f": {}}, "g": False},
    "newlines": {"k\nl": {"m": "one\ntwo"}, "z": "3\n4"},
    "subclass": {"a": Mapping(b=Mapping(c="d"), e=""), "f": Mapping()},
    "single-leaf": {"only": "value"},
    # Classes are written out as str() shows them.
    "classes": {
        "builtin": int,
        "in builtins": named_class("B", "builtins"),
        "module not a str": named_class("N", 5),
        "module a str subclass": named_class("S", ModuleName("pkg.mod")),
        "nested": named_class("Outer.Inner", "pkg"),
        "line break": named_class("Two\nLines", "pkg"),
        "wide name": named_class("Zé😀", "pkg"),
    },
    # Long enough for several buffers before a wider character arrives.
    **{
        f"long, then {name}": {**{f"k{i:04}": "v" * 60 for i in range(300)}, "zz": char}
        for name, char in [("latin-1", "é"), ("two bytes", "ž"), ("four bytes", "😀")]
    },
    # The written rule takes over below plain dicts, in the buffer, then out of it.
    "str subclass key below": {"data": {"single_rp": {}, "b": {ModuleName("a"): 7}}, "z": "1"},
    # More keys than fit inline, of every width, sorted by code point.
    "wide": {
        key: {"data": key} for key in ["b", "a", "Z", "é", "ž", "😀", "aa", "a\u0100", *"qwertyuio"]
    },
}


@pytest.mark.parametrize("tree", TREES.values(), ids=TREES.keys())
@pytest.mark.parametrize("output", ["plugin", "head\nline", ""])
def test_rendering_matches_the_rule(tree, output):
    expected = reference_print_tree(tree, output)
    assert PluginManager().print_tree(tree, output) == expected
    assert ThroughSelf().print_tree(tree, output) == expected


def test_worked_example_lines(manager):
    text = manager.print_tree(TREES["worked-example"])
    assert text.split("\n") == [
        "plugin",
        "  |__ generic",
        "    |__ data",
        "      |__ dual_rp",
        f"      |  |__ cls = {Dual}",
        "      |  |__ path = /p/dual.py",
        "      |__ single_rp",
        f"        |__ cls = {Single}",
        "        |__ path = /p/single.py",
    ]


def test_empty_values_leave_a_bare_mark(manager):
    assert manager.print_tree({"a": {}, "b": "x"}, "top") == "top\n  |\n  |__ b = x"
    assert manager.print_tree({"a": {"data": {}}}, "top") == "top\n  |__ a\n    |"


@pytest.mark.parametrize("data", [{}, None, "", 0, []])
def test_empty_data_renders_nothing(manager, data):
    assert manager.print_tree(data, "heading") == ""


def test_leaf_value(manager):
    assert manager.print_tree(Single, "x") == f"x = {Single}"
    assert manager.print_tree(data=5) == "plugin = 5"


def test_repr_of_a_manager(manager):
    assert repr(manager) == ""
    manager.register_plugin(Single, os="generic")
    heading = f"plugins ({PluginManager} at {hex(id(manager))}) "
    assert repr(manager) == manager.print_tree(manager.plugins, heading)
    assert repr(manager).startswith(heading + "\n  |__ generic\n")


def test_repr_goes_through_an_overridden_print_tree():
    class Custom(PluginManager):
        def print_tree(self, data, output="plugin"):
            return f"<{output}>"

    manager = Custom()
    assert repr(manager) == f"<plugins ({Custom} at {hex(id(manager))}) >"


def test_repr_reads_hex_and_id_from_the_namespace(manager, monkeypatch):
    manager.register_plugin(Single, os="generic")
    monkeypatch.setattr(pluginmanager, "hex", lambda n: "ADDRESS", raising=False)
    assert repr(manager).startswith(f"plugins ({PluginManager} at ADDRESS) ")


@pytest.mark.parametrize(
    ("tree", "error"),
    [
        ({1: "x"}, TypeError),
        ({"a": "x", 1: "y"}, TypeError),
        (Mapping(), None),
    ],
)
def test_host_errors_propagate(manager, tree, error):
    if error is None:
        assert manager.print_tree(tree) == ""
        return
    with pytest.raises(error) as info:
        manager.print_tree(tree)
    with pytest.raises(error) as expected:
        reference_print_tree(tree)
    assert str(info.value) == str(expected.value)


def test_rendering_does_not_change_the_tree(manager):
    manager.register_plugin(Single, os="generic", platform="p")
    before = repr(manager.plugins)
    repr(manager)
    assert repr(manager.plugins) == before


class Rewriter:
    """A leaf that, when rendered, replaces the value of a later sibling."""

    def __init__(self, tree):
        self.tree = tree

    def __str__(self):
        self.tree["z"] = {"replaced": "after"}
        return "rewriter"


def test_values_are_read_again_after_python_code_ran():
    trees = [{"a": Rewriter(None), "z": {"original": "before"}} for _ in range(2)]
    for tree in trees:
        tree["a"].tree = tree
    rendered = PluginManager().print_tree(trees[0])
    assert rendered == reference_print_tree(trees[1])
    assert "replaced = after" in rendered


class ClaimsDict:
    """A read-only proxy of a dict whose __class__ claims dict."""

    __class__ = property(lambda self: dict)

    def __init__(self, items):
        self.items = items

    def __bool__(self):
        return bool(self.items)

    def __eq__(self, other):
        return self.items == other

    def keys(self):
        return self.items.keys()

    def __getitem__(self, key):
        return self.items[key]


def test_an_object_claiming_dict_renders_as_one():
    tree = {"a": ClaimsDict({"z": "1", "b": ClaimsDict({"c": Single})}), "d": ClaimsDict({})}
    text = PluginManager().print_tree(ClaimsDict(tree))
    assert text == reference_print_tree(ClaimsDict(tree))
    assert "|__ z = 1" in text


def test_a_signal_is_handled_between_two_children_of_a_long_render():
    # The handler replaces every value of the root as soon as it runs: the
    # children rendered before it keep their text, every one after it reads
    # "gone". It must run while the render is under way, not after it.
    tree = {
        f"k{i:06d}": {"data": {"single_rp": {"cls": Single, "path": "p"}}} for i in range(100_000)
    }
    full = PluginManager().print_tree(dict(tree))

    def handler(signum, frame):
        tree.update(dict.fromkeys(tree, "gone"))

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001)
    try:
        text = PluginManager().print_tree(tree)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    first_gone = text.index(" = gone") - len("\n  |__ k000000")
    assert text[:first_gone] == full[:first_gone]
    assert text.endswith("\n  |__ k099999 = gone")
