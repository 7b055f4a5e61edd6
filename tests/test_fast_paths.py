"""Shortcuts taken when nothing is overridden must give way to any override,
including one made after the manager has been used."""

import typing

import pytest

import model
from corvane.core import pluginmanager
from corvane.core.pluginmanager import PluginManager

from conftest import raises_message


class Conn: ...


class Other: ...


def warm(manager):
    manager.register_plugin(Conn, os="generic")
    assert manager.get_plugin(os="generic") is Conn


def test_instance_override_after_use(manager):
    warm(manager)
    calls = []
    manager.validate_os = lambda os: calls.append(os)
    manager.get_plugin(os="generic")
    assert calls == ["generic"]
    del manager.validate_os
    manager.get_plugin(os="generic")
    assert calls == ["generic"]


@pytest.mark.parametrize(
    "member", ["validate_model", "validate_platform", "validate_os", "validate_chassis_type"]
)
def test_class_override_after_use(member):
    class Late(PluginManager):
        pass

    manager = Late()
    warm(manager)
    calls = []
    setattr(Late, member, lambda self, **kwargs: calls.append(sorted(kwargs)))
    manager.get_plugin(os="generic")
    assert len(calls) == 1
    delattr(Late, member)
    manager.get_plugin(os="generic")
    assert len(calls) == 1


def test_combined_check_override_after_use(manager):
    warm(manager)
    manager.validate_arguments = lambda *args: None
    # The override accepts what the validators would refuse.
    with raises_message("Plugin data not found for (Generic/P), type: single_rp "):
        manager.get_plugin(os="Generic", platform="P")


def test_state_read_through_a_property_defined_later(debug_lines):
    class Late(PluginManager):
        pass

    manager = Late()
    warm(manager)
    Late._plugins = property(lambda self: {"generic": {"data": {"single_rp": {"cls": Other}}}})
    assert manager.get_plugin(os="generic") is Other
    manager.supported_os = ["other"]
    manager.validate_os("generic")
    # The class's data descriptor wins over the instance's own attribute.
    Late.supported_os = property(lambda self: ["generic"])
    manager.validate_os("generic")
    assert debug_lines == ["generic is not part of the built-in list of supported OSes."]


def test_custom_getattribute_is_honoured():
    class Logged(PluginManager):
        seen: typing.ClassVar[list[str]] = []

        def __getattribute__(self, name):
            type(self).seen.append(name)
            return super().__getattribute__(name)

    manager = Logged()
    warm(manager)
    Logged.seen.clear()
    manager.get_plugin(os="generic")
    assert Logged.seen == [
        "get_plugin",
        "validate_arguments",
        "validate_model",
        "validate_platform",
        "validate_os",
        "supported_os",
        "validate_chassis_type",
        "chassis_type_list",
        "_plugins",
    ]


def test_two_managers_alternating():
    first, second = PluginManager(), PluginManager()
    warm(first)
    second.register_plugin(Other, os="generic")
    for _ in range(3):
        assert first.get_plugin(os="generic") is Conn
        assert second.get_plugin(os="generic") is Other


def test_replaced_instance_dict(manager):
    warm(manager)
    manager.__dict__ = {
        "_plugins": {"generic": {"data": {"single_rp": {"cls": str}}}},
        "supported_os": ["generic"],
        "chassis_type_list": ["single_rp"],
    }
    assert manager.get_plugin(os="generic") is str


def test_override_installed_during_the_check_is_used(manager):
    warm(manager)
    calls = []

    class Installer(str):
        """A model whose case test installs a validate_os override."""

        def islower(self):
            manager.validate_os = lambda os: calls.append(os)
            return True

    manager.get_plugin(os="generic", platform="p", model=Installer("m"))
    assert calls == ["generic"]


def test_state_replaced_after_use(manager, debug_lines):
    warm(manager)
    manager.supported_os = ["other"]
    manager.chassis_type_list = ["dual_rp"]
    with raises_message("chassis Type should be one of these ['dual_rp'], but got single_rp"):
        manager.get_plugin(os="generic")
    assert debug_lines == ["generic is not part of the built-in list of supported OSes."]


class Counted:
    """A list item that counts how often it is compared."""

    def __init__(self):
        self.comparisons = 0

    def __eq__(self, other):
        self.comparisons += 1
        return False

    __hash__ = None


@pytest.mark.parametrize("module", [pluginmanager, model], ids=["extension", "model"])
def test_list_items_are_compared_once_per_membership_test(module):
    manager = module.PluginManager()
    manager.register_plugin(Conn, os="generic")
    item = Counted()
    manager.supported_os = [item, "generic"]
    assert manager.get_plugin(os="generic") is Conn
    assert item.comparisons == 1
