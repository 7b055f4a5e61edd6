"""The lookup explanation follows the module's walk; the registration rows."""

from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.core.errors import ConnectionInfraError
from corvane.core.pluginmanager import PluginManager
from corvane.explain import explain_lookup, registrations

from conftest import raises_message


class A: ...


class B: ...


class C: ...


class D: ...


CLASSES = [A, B, C, D]

# Small alphabets, so that registrations and lookups meet often; "data" and
# a flavour equal to a platform name are in on purpose.
descriptions = st.fixed_dictionaries(
    {
        "os": st.sampled_from(["a", "b", "linux"]),
        "platform": st.sampled_from([None, "p", "q", "data"]),
        "model": st.sampled_from([None, "m", "p"]),
        "os_flavor": st.sampled_from([None, "f", "p", "data"]),
        "chassis_type": st.sampled_from(["single_rp", "dual_rp"]),
    }
).filter(lambda d: d["model"] is None or d["platform"] is not None)

operations = st.lists(
    st.tuples(st.sampled_from(["register", "unregister"]), descriptions, st.sampled_from(CLASSES)),
    max_size=12,
)


def apply(manager: PluginManager, steps) -> None:
    for action, description, cls in steps:
        if action == "register":
            try:
                manager.register_plugin(cls, **description)
            except ConnectionInfraError:
                # The chassis map's key is refused as a path component.
                assert "data" in description.values()
        else:
            try:
                manager.unregister_plugin(**description)
            except ConnectionInfraError:
                pass


def lookup(manager, description):
    try:
        return True, manager.get_plugin(**description)
    except ConnectionInfraError as error:
        return False, error.args


@settings(max_examples=300, deadline=None)
@given(steps=operations, description=descriptions)
def test_explanation_ends_on_the_class_lookup_returns(steps, description):
    manager = PluginManager()
    apply(manager, steps)
    explanation = explain_lookup(manager, **description)
    found, result = lookup(manager, description)
    assert explanation.found == found
    if found:
        assert explanation.cls is result
    # The path of matched keys leads to a real node, and only matched keys descend.
    node = manager.plugins
    for step in explanation.steps:
        assert step.matched == (step.key != "data" and step.key in node)
        if step.matched:
            node = node[step.key]
    assert [s.key for s in explanation.steps if s.matched] == explanation.stopped_at
    expected_types = list(node["data"]) if "data" in node else None
    assert explanation.chassis_types == expected_types


@pytest.mark.parametrize(
    ("description", "lines"),
    [
        (
            {"os": "o", "platform": "p", "model": "m"},
            [
                "key path: o/p/m  chassis type: single_rp",
                "  o: matched below the root",
                "  p: skipped, not registered below o",
                "  m: skipped, not registered below o",
                "stopped at: o",
                "  chassis types registered there: single_rp",
                "  single_rp -> test_explain.A",
            ],
        ),
        (
            {"os": "o", "platform": "q", "os_flavor": "f"},
            [
                "key path: o/q/f  chassis type: single_rp",
                "  o: matched below the root",
                "  q: skipped, not registered below o",
                "  f: matched below o",
                "stopped at: o/f",
                "  chassis types registered there: dual_rp",
                "  single_rp is not registered there",
            ],
        ),
        (
            {"os": "o", "platform": "e", "chassis_type": "dual_rp"},
            [
                "key path: o/e  chassis type: dual_rp",
                "  o: matched below the root",
                "  e: matched below o",
                "stopped at: o/e",
                "  no classes registered there",
                "  dual_rp is not registered there",
            ],
        ),
        (
            {"os": "o", "os_flavor": "data"},
            [
                "key path: o/data  chassis type: single_rp",
                "  o: matched below the root",
                "  data: skipped, the name of the chassis map",
                "stopped at: o",
                "  chassis types registered there: single_rp",
                "  single_rp -> test_explain.A",
            ],
        ),
        (
            {"os": "x"},
            [
                "key path: x  chassis type: single_rp",
                "  x: skipped, not registered below the root",
                "stopped at: the root",
                "  no classes registered there",
                "  single_rp is not registered there",
            ],
        ),
    ],
)
def test_explanation_lines(description, lines):
    manager = PluginManager()
    manager.register_plugin(A, os="o")
    manager.register_plugin(B, os="o", os_flavor="f", chassis_type="dual_rp")
    manager.register_plugin(C, os="o", platform="e", model="x1")
    assert explain_lookup(manager, **description).lines() == lines


def test_invalid_description_is_refused_with_the_module_message():
    with raises_message("platform (Edge) has to be in lowercase"):
        explain_lookup(PluginManager(), os="o", platform="Edge")


def test_registrations_are_sorted_rows_of_leaf_records():
    manager = PluginManager()
    manager.register_plugin(B, os="o", platform="p", chassis_type="stack")
    manager.register_plugin(A, os="o", platform="p")
    manager.register_plugin(C, os="b")
    manager.register_plugin(D, os="o", os_flavor="f", chassis_type="dual_rp")
    manager.register_plugin(D, os="e")
    manager.unregister_plugin(os="e", chassis_type="single_rp")  # leaves an empty chassis map
    rows = [row.as_json() for row in registrations(manager)]
    assert [(r["key_path"], r["chassis_type"], r["class"]) for r in rows] == [
        (["b"], "single_rp", "test_explain.C"),
        (["o", "f"], "dual_rp", "test_explain.D"),
        (["o", "p"], "single_rp", "test_explain.A"),
        (["o", "p"], "stack", "test_explain.B"),
    ]
    assert all(Path(r["file"]) == Path(__file__) for r in rows)
    assert registrations(PluginManager()) == []
