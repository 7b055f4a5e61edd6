"""The extension against the pure-Python model, driven by random operation sequences.

After every step both sides must agree on the result, the exception's type and
arguments, the debug lines logged and the whole plugin tree. CORVANE_SOAK_STEPS
raises the number of steps for a soak run.
"""

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
)

import model
from corvane.core import pluginmanager as extension

from conftest import DebugLines

STEPS_PER_RUN = 40
SOAK_STEPS = int(os.environ.get("CORVANE_SOAK_STEPS", "0"))
RUNS = 200 if not SOAK_STEPS else 1000


class Word(str):
    """A str subclass, as a caller might pass one."""


class Shouty(str):
    """A str subclass whose lower-case rule says no to everything."""

    def islower(self) -> bool:
        return False

    def isdigit(self) -> bool:
        return False


class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


# The same class objects serve both sides, so results compare by identity;
# int has no source file, so registering it fails in getfile.
CLASSES = [ConnA, ConnB, ConnC, ConnA, ConnB, int]

VALUES = [
    None,
    "",
    "generic",
    "linux",
    "Linux",
    "linux ",
    "a",
    "b",
    "Abc",
    "12",
    "1.5",
    "-",
    "data",
    "single_rp",
    "dual_rp",
    "stack",
    "other",
    0,
    7,
    True,
    ("a",),
    ("a", "b"),
    ["x"],
    Word("a"),
    Word("data"),
    Word("Up"),
    Shouty("a"),
]
values = st.sampled_from(VALUES)
chassis_types = st.one_of(
    st.sampled_from(["single_rp", "dual_rp", "stack"]),
    st.sampled_from(["single_rp", "other", None, "", "data", 0, ("a",)]),
)
# Names that pass validation, so that sequences reach the tree often.
keys = st.sampled_from(["generic", "linux", "a", "b", "12", "data", None, ""])
valid_descriptions = st.fixed_dictionaries(
    {
        "os": st.sampled_from(["generic", "linux", "a"]),
        "platform": st.sampled_from([None, "p", "q", "12", "data"]),
        "model": st.sampled_from([None, None, "m", ""]),
        "os_flavor": st.sampled_from([None, None, "f", "g", "data"]),
        "chassis_type": st.sampled_from(["single_rp", "single_rp", "dual_rp", "stack"]),
    }
)
wild_descriptions = st.fixed_dictionaries(
    {
        "os": st.one_of(keys, values),
        "platform": st.one_of(keys, values),
        "model": st.one_of(keys, values),
        "os_flavor": st.one_of(keys, values),
        "chassis_type": chassis_types,
    }
)
descriptions = st.one_of(valid_descriptions, wild_descriptions)


def overrides(module):
    """Subclasses of the module's PluginManager that override a validator."""

    class AcceptsEveryChassis(module.PluginManager):
        def validate_chassis_type(self, chassis_type):
            return None

    class RefusesGeneric(module.PluginManager):
        def validate_os(self, os):
            if os == "generic":
                raise module.ConnectionInfraError("generic refused")
            return super().validate_os(os=os)

    class LoggingArguments(module.PluginManager):
        def validate_arguments(self, os, platform, model, chassis_type):
            module.log.debug("checking " + repr((os, platform, model, chassis_type)))
            return super().validate_arguments(os, platform, model, chassis_type)

    return {
        "chassis": AcceptsEveryChassis,
        "generic": RefusesGeneric,
        "logging": LoggingArguments,
        "plain": module.PluginManager,
    }


class DictNode(dict):
    """A dict subclass standing in for a node: reached through keys()."""


def copy_tree(tree, node_type=dict):
    if isinstance(tree, dict):
        return node_type((key, copy_tree(value, node_type)) for key, value in tree.items())
    return tree


def assert_same_tree(left, right):
    assert type(left) is type(right)
    if isinstance(left, dict):
        assert list(left.keys()) == list(right.keys())
        for key in left:
            assert_same_tree(left[key], right[key])
    else:
        assert left is right or left == right


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:
        return ("raised", type(error), error.args)


class Differential(RuleBasedStateMachine):
    steps = 0

    @initialize()
    def start(self):
        self.recorders = (DebugLines(), DebugLines())
        self.saved = (extension.log, model.log)
        extension.log, model.log = self.recorders
        self.kinds = (overrides(extension), overrides(model))
        self.managers = (extension.PluginManager(), model.PluginManager())
        self.known = []

    def teardown(self):
        if hasattr(self, "saved"):
            extension.log, model.log = self.saved

    def both(self, action):
        Differential.steps += 1
        results = [outcome(lambda m=m: action(m)) for m in self.managers]
        ext, mod = results
        assert ext[0] == mod[0], results
        if ext[0] == "ok":
            assert ext[1] is mod[1] or ext[1] == mod[1], results
        else:
            assert ext[1:] == mod[1:], results
        assert self.recorders[0].lines == self.recorders[1].lines
        return results

    @rule(cls=st.sampled_from(CLASSES), description=descriptions, positional=st.booleans())
    def register(self, cls, description, positional):
        self.known.append(description)
        if positional:
            self.both(lambda m: m.register_plugin(cls, *description.values()))
        else:
            self.both(lambda m: m.register_plugin(cls=cls, **description))

    @rule(description=descriptions, all_types=st.booleans())
    def unregister(self, description, all_types):
        if all_types:
            description = {**description, "chassis_type": None}
        self.both(lambda m: m.unregister_plugin(**description))

    @rule(description=descriptions)
    def lookup(self, description):
        self.both(lambda m: m.get_plugin(**description))

    def near(self, data):
        """A description registered before, with one field changed."""
        description = dict(data.draw(st.sampled_from(self.known)))
        field = data.draw(st.sampled_from([*description, None]))
        if field is not None:
            description[field] = data.draw(st.one_of(st.just("data"), keys, values))
        return description

    @precondition(lambda self: self.known)
    @rule(data=st.data(), operation=st.sampled_from(["get_plugin", "unregister_plugin"]))
    def near_registered(self, data, operation):
        description = self.near(data)
        self.both(lambda m: getattr(m, operation)(**description))

    @rule(
        name=st.sampled_from(
            ["validate_model", "validate_platform", "validate_os", "validate_chassis_type"]
        ),
        os_=values,
        platform=values,
        model_=values,
        chassis_type=chassis_types,
    )
    def validator(self, name, os_, platform, model_, chassis_type):
        arguments = {
            "validate_model": {"os": os_, "platform": platform, "model": model_},
            "validate_platform": {"os": os_, "platform": platform},
            "validate_os": {"os": os_},
            "validate_chassis_type": {"chassis_type": chassis_type},
        }[name]
        self.both(lambda m: getattr(m, name)(**arguments))

    @rule(description=descriptions)
    def validate_arguments(self, description):
        del description["os_flavor"]
        self.both(lambda m: m.validate_arguments(*description.values()))

    @rule()
    def text_form(self):
        def rendered(manager):
            heading = "plugins (" + str(manager.__class__) + " at " + str(hex(id(manager))) + ") "
            return repr(manager).replace(heading, "<heading>", 1)

        self.both(rendered)

    @rule(output=st.sampled_from(["plugin", "", "x\ny"]), depth=st.integers(0, 2))
    def print_subtree(self, output, depth):
        def rendered(manager):
            data = manager._plugins
            for _ in range(depth):
                if not isinstance(data, dict) or not data:
                    break
                data = data[sorted(data, key=repr)[0]]
            return manager.print_tree(data, output=output)

        self.both(rendered)

    @rule(kind=st.sampled_from(["chassis", "generic", "logging", "plain"]))
    def override(self, kind):
        trees = [m._plugins for m in self.managers]
        self.managers = (self.kinds[0][kind](), self.kinds[1][kind]())
        for manager, tree in zip(self.managers, trees, strict=True):
            manager._plugins = tree

    @rule(how=st.sampled_from(["empty", "copy", "dict subclass"]))
    def replace_tree(self, how):
        for manager in self.managers:
            if how == "empty":
                manager._plugins = {}
            elif how == "copy":
                manager._plugins = copy_tree(manager._plugins)
            else:
                manager._plugins = copy_tree(manager._plugins, DictNode)

    @invariant()
    def same_tree(self):
        if hasattr(self, "managers"):
            assert_same_tree(self.managers[0]._plugins, self.managers[1]._plugins)


Differential.TestCase.settings = settings(
    max_examples=RUNS,
    stateful_step_count=STEPS_PER_RUN,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@pytest.mark.filterwarnings("ignore::hypothesis.errors.NonInteractiveExampleWarning")
def test_extension_agrees_with_model(capsys):
    Differential.steps = 0
    Differential.TestCase().runTest()
    while Differential.steps < SOAK_STEPS:
        Differential.TestCase().runTest()
    with capsys.disabled():
        if SOAK_STEPS:
            print(f"\ndifferential soak: {Differential.steps} steps, no divergence")
    assert Differential.steps > 0
