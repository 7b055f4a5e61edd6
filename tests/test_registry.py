"""The plugin tree: registration, lookup, unregistration."""

import inspect
import itertools

import pytest

from corvane.core import pluginmanager
from corvane.tree import chassis_maps, key_path_of

from conftest import raises_message

HERE = inspect.getfile(inspect.currentframe())


class A: ...


class B: ...


class D: ...


class E: ...


def leaf(cls):
    return {"cls": cls, "path": HERE}


@pytest.fixture
def example(manager):
    """A for o1, B for o1/p1 as dual_rp, D for o1 with flavour f1."""
    manager.register_plugin(A, os="o1")
    manager.register_plugin(B, os="o1", platform="p1", chassis_type="dual_rp")
    manager.register_plugin(D, os="o1", os_flavor="f1")
    return manager


@pytest.mark.parametrize(
    ("platform", "model", "os_flavor"),
    list(itertools.product([None, "", "p"], [None, "", "m"], [None, "", "f"])),
)
def test_the_python_side_builds_the_module_s_key_path(manager, platform, model, os_flavor):
    if model and not platform:
        pytest.skip("refused before the tree is read")
    manager.register_plugin(A, "generic", platform, model, os_flavor)
    path = key_path_of("generic", platform, model, os_flavor)
    assert [key_path for key_path, _ in chassis_maps(manager.plugins)] == [tuple(path)]
    assert manager.get_plugin(*path[:1], platform, model, os_flavor) is A


def test_worked_example_tree(example, debug_lines):
    assert example.plugins == {
        "o1": {
            "data": {"single_rp": leaf(A)},
            "p1": {"data": {"dual_rp": leaf(B)}},
            "f1": {"data": {"single_rp": leaf(D)}},
        }
    }
    assert list(example.plugins["o1"]) == ["data", "p1", "f1"]
    assert list(example.plugins["o1"]["data"]["single_rp"]) == ["cls", "path"]
    example.register_plugin(E, os="o1")
    assert example.plugins["o1"]["data"] == {"single_rp": leaf(E)}
    assert list(example.plugins["o1"]) == ["data", "p1", "f1"]
    assert debug_lines[-1] == (
        " A already registered for ['o1'], E from test_registry is overriding this class"
    )


def test_override_of_the_same_class_is_logged(manager, debug_lines):
    manager.register_plugin(A, "generic", "p", "m", "f")
    manager.register_plugin(A, "generic", "p", "m", "f")
    assert debug_lines == [
        " A already registered for ['generic', 'p', 'm', 'f'], A from test_registry"
        " is overriding this class"
    ]


def test_chassis_types_share_one_map_in_order(manager):
    manager.register_plugin(A, os="o1", chassis_type="stack")
    manager.register_plugin(B, os="o1")
    manager.register_plugin(D, os="o1", chassis_type="stack")
    assert list(manager.plugins["o1"]["data"].items()) == [
        ("stack", leaf(D)),
        ("single_rp", leaf(B)),
    ]


@pytest.mark.parametrize(
    ("kwargs", "key_path"),
    [
        ({"os": "o"}, ["o"]),
        ({"os": "o", "platform": "p"}, ["o", "p"]),
        ({"os": "o", "platform": "p", "model": "m"}, ["o", "p", "m"]),
        ({"os": "o", "model": ""}, ["o", None, ""]),
        ({"os": "o", "platform": "p", "model": ""}, ["o", "p", ""]),
        ({"os": "o", "os_flavor": "f"}, ["o", "f"]),
        ({"os": "o", "platform": "p", "os_flavor": "f"}, ["o", "p", "f"]),
        ({"os": "linux", "os_flavor": "", "chassis_type": None}, ["linux", ""]),
    ],
)
def test_key_paths(manager, kwargs, key_path):
    manager.register_plugin(A, **kwargs)
    node = manager.plugins
    for key in key_path:
        node = node[key]
    assert node["data"] == {kwargs.get("chassis_type", "single_rp"): leaf(A)}
    assert manager.get_plugin(**kwargs) is A


def test_invalid_registration_changes_nothing(manager):
    with raises_message("platform (P) has to be in lowercase"):
        manager.register_plugin(A, os="o", platform="P")
    assert manager.plugins == {}


@pytest.mark.parametrize(
    "kwargs",
    [
        {"os": "data"},
        {"os": "o", "platform": "data"},
        {"os": "o", "platform": "p", "model": "data"},
        {"os": "o", "os_flavor": "data"},
    ],
)
def test_data_is_reserved(manager, kwargs, debug_lines):
    manager.register_plugin(A, os="o")
    before = repr(manager.plugins)
    with raises_message(
        "The name 'data' is reserved and cannot be used as os, platform, model or os_flavor"
    ):
        manager.register_plugin(B, **kwargs)
    with raises_message("Plugin data not found"):
        manager.unregister_plugin(**kwargs)
    assert repr(manager.plugins) == before


def test_lookup_skips_data_keys(manager):
    manager.register_plugin(A, os="o")
    assert manager.get_plugin(os="o", platform="data") is A
    with raises_message("Plugin data not found for (data), type: single_rp "):
        manager.get_plugin(os="data")


def test_failed_getfile_leaves_the_tree_as_it_was(manager):
    manager.register_plugin(A, os="o")
    with pytest.raises(TypeError, match="built-in class"):
        manager.register_plugin(int, os="o", platform="p", model="m")
    assert manager.plugins == {"o": {"data": {"single_rp": leaf(A)}}}
    # No empty node stops the walk: the lookup still falls back to "o".
    assert manager.get_plugin(os="o", platform="p", model="m") is A


def test_getfile_rebound_in_the_namespace(manager, monkeypatch):
    seen = []

    def getfile(cls):
        seen.append(cls)
        return "/somewhere/else.py"

    monkeypatch.setattr(pluginmanager, "getfile", getfile)
    manager.register_plugin(A, os="o")
    assert seen == [A]
    assert manager.plugins["o"]["data"]["single_rp"]["path"] == "/somewhere/else.py"


@pytest.mark.parametrize(
    "cls",
    [
        A,
        pytest,
        type("Dynamic", (), {"__module__": "no.such.module"}),
        type("NoFile", (), {"__module__": "sys"}),
    ],
    ids=["class", "module", "unknown-module", "builtin-module"],
)
def test_class_path_matches_getfile(manager, cls, monkeypatch):
    try:
        expected = inspect.getfile(cls)
    except Exception as error:
        with pytest.raises(type(error), match=str(error)):
            manager.register_plugin(cls, os="o")
        return
    manager.register_plugin(cls, os="o")
    assert manager.plugins["o"]["data"]["single_rp"]["path"] == expected
    # The same result through a getfile that is not the standard function.
    monkeypatch.setattr(pluginmanager, "getfile", lambda c: inspect.getfile(c))
    manager.register_plugin(cls, os="o2")
    assert manager.plugins["o2"]["data"]["single_rp"]["path"] == expected


# --- lookup -----------------------------------------------------------------


def test_fallback_and_skipping(manager):
    manager.register_plugin(A, os="a")
    manager.register_plugin(D, os="a", os_flavor="f")
    assert manager.get_plugin(os="a", platform="p", model="m") is A
    assert manager.get_plugin(os="a", platform="p", os_flavor="f") is D
    assert manager.get_plugin(os="a", os_flavor="never") is A
    manager.register_plugin(B, os="a", platform="p")
    # With "p" registered the flavour is looked for below it instead.
    assert manager.get_plugin(os="a", platform="p", os_flavor="f") is B
    assert manager.get_plugin(os="a", platform="p", model="m") is B


def test_no_backtracking(manager):
    manager.register_plugin(A, os="a")
    manager.register_plugin(B, os="a", platform="p", model="m")
    with raises_message("Plugin data not found for (a/p), type: single_rp "):
        manager.get_plugin(os="a", platform="p")
    with raises_message("Plugin data not found for (a/p/m/f), type: dual_rp "):
        manager.get_plugin(os="a", platform="p", model="m", os_flavor="f", chassis_type="dual_rp")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"os": "a", "platform": "p"}, "Plugin data not found for (a/p), type: single_rp "),
        ({"os": "a", "model": ""}, "Plugin data not found for (a/None/), type: single_rp "),
        ({"os": ("t",), "os_flavor": 5}, "Plugin data not found for (('t',)/5), type: single_rp "),
        ({"os": "linux", "chassis_type": None}, "Plugin data not found for (linux), type: None "),
    ],
)
def test_not_found_messages(manager, kwargs, message):
    with raises_message(message):
        manager.get_plugin(**kwargs)


def test_linux_chassis_type_reaches_the_tree(manager):
    manager.register_plugin(A, os="linux", chassis_type="any")
    assert manager.get_plugin(os="linux", chassis_type="any") is A
    with raises_message("Plugin data not found for (linux), type: other "):
        manager.get_plugin(os="linux", chassis_type="other")


def test_lookup_is_stable_and_reads_plugins_afresh(manager):
    manager.register_plugin(A, os="a")
    assert manager.get_plugin(os="a") is manager.get_plugin(os="a") is A
    manager._plugins = {"a": {"data": {"single_rp": {"cls": B}}}}
    assert manager.get_plugin(os="a") is B


class KeysCounting(dict):
    """A node whose membership test goes through its own keys()."""

    calls = 0

    def keys(self):
        KeysCounting.calls += 1
        return [k for k in super().keys() if k != "hidden"]


def test_dict_subclass_nodes_use_their_keys(manager):
    KeysCounting.calls = 0
    manager._plugins = KeysCounting(hidden={"data": {"single_rp": {"cls": B}}})
    # "hidden" is not among the keys: registration stores a new node over it...
    manager.register_plugin(A, os="hidden")
    assert dict.__getitem__(manager._plugins, "hidden") == {"data": {"single_rp": leaf(A)}}
    # ...and lookup skips it, then finds no chassis map at the root.
    with raises_message("Plugin data not found for (hidden), type: single_rp "):
        manager.get_plugin(os="hidden")
    assert KeysCounting.calls == 3


def test_non_mapping_node_propagates_host_error(manager):
    manager._plugins = {"a": ["not", "a", "node"]}
    with pytest.raises(AttributeError, match="keys"):
        manager.get_plugin(os="a")


# --- unregistration -----------------------------------------------------------


def test_unregister_all_chassis_types(manager):
    manager.register_plugin(A, os="o1")
    manager.register_plugin(A, os="o1", chassis_type="dual_rp")
    manager.unregister_plugin(os="o1")
    assert manager.plugins == {"o1": {}}
    with raises_message("Plugin data not found"):
        manager.unregister_plugin(os="o1")


def test_unregister_one_chassis_type(manager):
    manager.register_plugin(A, os="o1")
    manager.register_plugin(B, os="o1", chassis_type="dual_rp")
    manager.unregister_plugin(os="o1", chassis_type="dual_rp")
    assert manager.plugins == {"o1": {"data": {"single_rp": leaf(A)}}}
    with raises_message("Plugin data not found for dual_rp"):
        manager.unregister_plugin(os="o1", chassis_type="dual_rp")
    manager.unregister_plugin(os="o1", chassis_type="single_rp")
    # The emptied chassis map stays; lookups then fail for every type.
    assert manager.plugins == {"o1": {"data": {}}}
    with raises_message("Plugin data not found for (o1), type: single_rp "):
        manager.get_plugin(os="o1")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"os": "nowhere"}, "Plugin data not found"),
        ({"os": "o1", "platform": "p"}, "Plugin data not found"),
        ({"os": "o1", "chassis_type": "octo"}, "Plugin data not found for octo"),
        ({"os": "o1", "chassis_type": ("x", "y")}, "Plugin data not found for ('x', 'y')"),
        ({"os": "o1", "platform": "P"}, "platform (P) has to be in lowercase"),
    ],
)
def test_unregister_failures_change_nothing(manager, kwargs, message):
    manager.register_plugin(A, os="o1", platform="q", model="m")
    manager.register_plugin(A, os="o1")
    before = repr(manager.plugins)
    with raises_message(message):
        manager.unregister_plugin(**kwargs)
    assert repr(manager.plugins) == before


def test_unregister_intermediate_node_without_map(manager):
    manager.register_plugin(A, os="o", platform="p", model="m")
    with raises_message("Plugin data not found"):
        manager.unregister_plugin(os="o", platform="p")
    assert manager.get_plugin(os="o", platform="p", model="m") is A


def test_unregister_chassis_type_is_not_validated(manager):
    manager.register_plugin(A, os="generic")
    with raises_message("Plugin data not found for "):
        manager.unregister_plugin(os="generic", chassis_type="")  # falsy, but not None
    manager.unregister_plugin(os="generic", chassis_type=None)
    assert manager.plugins == {"generic": {}}
