"""The validators and the combined check: every message, and the order of tests."""

import logging

import pytest

import model
from corvane.core import pluginmanager
from corvane.core.pluginmanager import PluginManager

from conftest import raises_message

OS_LIST = "['generic', 'linux']"
CHASSIS_LIST = "['single_rp', 'dual_rp', 'stack']"


class Shouting(str):
    """A str whose case tests are overridden: they must be called."""

    def islower(self):
        return False

    def isdigit(self):
        return True


@pytest.mark.parametrize(
    ("os", "platform", "model", "message"),
    [
        ("o", "p", None, None),
        ("o", "p", "", None),
        (None, None, "", None),
        ("o", "p", "m-2x", None),
        ("o", "p", "1234", None),
        ("o", "p", Shouting("ABC"), None),
        ("o", "", "m", "OS and platform are required for Model: m"),
        ("", "p", "m", "OS and platform are required for Model: m"),
        (None, "p", 7, "OS and platform are required for Model: 7"),
        ("o", "p", 7, "Model should be of type str"),
        ("o", "p", "Abc", " Model (Abc) has to be in lowecase"),
        ("o", "p", "1.5", " Model (1.5) has to be in lowecase"),
        ("o", "p", "--", " Model (--) has to be in lowecase"),
    ],
)
def test_validate_model(manager, os, platform, model, message):
    if message is None:
        assert manager.validate_model(os, platform, model) is None
    else:
        with raises_message(message):
            manager.validate_model(os=os, platform=platform, model=model)


@pytest.mark.parametrize(
    ("os", "platform", "message"),
    [
        ("o", None, None),
        (None, "", None),
        ("", "p", None),
        ("o", "p-1", None),
        ("o", "42", None),
        (None, "p", "OS information not provided for platform: p"),
        (None, "ABC", "OS information not provided for platform: ABC"),
        ("o", 3, "platform should be of type str"),
        ("o", "Abc", "platform (Abc) has to be in lowercase"),
        ("o", "1.5", "platform (1.5) has to be in lowercase"),
    ],
)
def test_validate_platform(manager, os, platform, message):
    if message is None:
        assert manager.validate_platform(os, platform) is None
    else:
        with raises_message(message):
            manager.validate_platform(platform=platform, os=os)


@pytest.mark.parametrize(
    ("os", "message"),
    [
        (None, f"OS should be one of these {OS_LIST} , but got None"),
        ("", f"OS should be one of these {OS_LIST} , but got "),
        (0, f"OS should be one of these {OS_LIST} , but got 0"),
    ],
)
def test_validate_os_refuses_falsy(manager, os, message):
    with raises_message(message):
        manager.validate_os(os=os)


@pytest.mark.parametrize(
    ("os", "line"),
    [
        ("generic", None),
        ("linux", None),
        ("Vendor OS", "Vendor OS is not part of the built-in list of supported OSes."),
        (("x", "y"), "('x', 'y') is not part of the built-in list of supported OSes."),
        (("x",), "('x',) is not part of the built-in list of supported OSes."),
    ],
)
def test_validate_os_accepts_truthy(manager, debug_lines, os, line):
    assert manager.validate_os(os) is None
    assert debug_lines == ([line] if line else [])


def test_validate_os_reads_the_instance_list(manager, debug_lines):
    manager.supported_os = ("only",)
    manager.validate_os("only")
    manager.validate_os("generic")
    assert debug_lines == ["generic is not part of the built-in list of supported OSes."]
    with raises_message("OS should be one of these ('only',) , but got None"):
        manager.validate_os(None)


def test_validate_os_logs_through_the_package_logger(manager, caplog):
    caplog.set_level(logging.DEBUG, logger="corvane")
    manager.validate_os("beos")
    assert [r.getMessage() for r in caplog.records] == [
        "beos is not part of the built-in list of supported OSes."
    ]


@pytest.mark.parametrize("chassis_type", [None, "", "quad_rp", 0])
def test_validate_chassis_type_refuses(manager, chassis_type):
    message = f"chassis Type should be one of these {CHASSIS_LIST}, but got {chassis_type}"
    with raises_message(message):
        manager.validate_chassis_type(chassis_type=chassis_type)


def test_validate_chassis_type_reads_the_instance_list(manager):
    assert manager.validate_chassis_type("stack") is None
    manager.chassis_type_list = ["x"]
    assert manager.validate_chassis_type("x") is None
    with raises_message("chassis Type should be one of these ['x'], but got stack"):
        manager.validate_chassis_type("stack")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((None, "p", "m", "single_rp"), "OS and platform are required for Model: m"),
        ((None, "p", None, "single_rp"), "OS information not provided for platform: p"),
        ((None, None, None, "single_rp"), f"OS should be one of these {OS_LIST} , but got None"),
        (("o", "P", "M", None), " Model (M) has to be in lowecase"),
        (
            ("generic", None, None, None),
            f"chassis Type should be one of these {CHASSIS_LIST}, but got None",
        ),
        (
            ("Linux", None, None, "x"),
            f"chassis Type should be one of these {CHASSIS_LIST}, but got x",
        ),
        (
            ("linux ", None, None, ""),
            f"chassis Type should be one of these {CHASSIS_LIST}, but got ",
        ),
    ],
)
def test_validate_arguments_first_failure_wins(manager, args, message):
    with raises_message(message):
        manager.validate_arguments(*args)


@pytest.mark.parametrize("chassis_type", [None, "", "quad_rp"])
def test_linux_skips_the_chassis_check(manager, chassis_type):
    assert manager.validate_arguments("linux", None, None, chassis_type) is None


class Recording(PluginManager):
    """Records how the combined check calls each validator."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def validate_model(self, **kwargs):
        self.calls.append(("model", list(kwargs.items())))

    def validate_platform(self, **kwargs):
        self.calls.append(("platform", list(kwargs.items())))

    def validate_os(self, **kwargs):
        self.calls.append(("os", list(kwargs.items())))

    def validate_chassis_type(self, **kwargs):
        self.calls.append(("chassis", list(kwargs.items())))


def test_validators_called_through_the_instance_by_keyword():
    manager = Recording()
    manager.validate_arguments("o", "p", "m", "c")
    assert manager.calls == [
        ("model", [("os", "o"), ("platform", "p"), ("model", "m")]),
        ("platform", [("platform", "p"), ("os", "o")]),
        ("os", [("os", "o")]),
        ("chassis", [("chassis_type", "c")]),
    ]
    manager.calls.clear()
    manager.validate_arguments("linux", None, None, None)
    assert [name for name, _ in manager.calls] == ["model", "platform", "os"]


def test_override_on_the_instance_is_honoured(manager):
    manager.validate_chassis_type = lambda chassis_type: None
    assert manager.validate_arguments("generic", None, None, "anything") is None
    del manager.validate_chassis_type
    with pytest.raises(pluginmanager.ConnectionInfraError):
        manager.validate_arguments("generic", None, None, "anything")


class AcceptAnyChassis(PluginManager):
    def validate_chassis_type(self, chassis_type):
        return None


def test_subclass_override_reaches_registration():
    manager = AcceptAnyChassis()
    manager.register_plugin(AcceptAnyChassis, os="generic", chassis_type="octo")
    assert manager.get_plugin(os="generic", chassis_type="octo") is AcceptAnyChassis


class Loud:
    """An argument whose truth test raises."""

    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.validate_model("o", "p", Loud()),
        lambda m: m.validate_platform("o", Loud()),
        lambda m: m.validate_os(Loud()),
        lambda m: m.validate_chassis_type(Loud()),
        lambda m: m.get_plugin(os=Loud()),
    ],
)
def test_errors_of_the_argument_propagate(manager, call):
    with pytest.raises(RuntimeError, match="no truth"):
        call(manager)


def test_connection_error_read_at_raise_time(manager, monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(pluginmanager, "ConnectionInfraError", Replacement)
    with pytest.raises(Replacement) as info:
        manager.validate_os(None)
    assert info.value.args[0].startswith("OS should be one of these")


class ClaimsStr:
    """A proxy whose __class__ claims str, as proxies and mocks do."""

    __class__ = property(lambda self: str)

    def __init__(self, text):
        self.text = text

    def __bool__(self):
        return bool(self.text)

    def __str__(self):
        return self.text

    def islower(self):
        return self.text.islower()

    def isdigit(self):
        return self.text.isdigit()


@pytest.mark.parametrize("text", ["m1", "Up", "42"])
@pytest.mark.parametrize("validator", ["validate_model", "validate_platform"])
def test_an_object_claiming_str_is_validated_as_one(text, validator):
    outcomes = []
    for module in (pluginmanager, model):
        check = getattr(module.PluginManager(), validator)
        args = (
            ("a", "p", ClaimsStr(text)) if validator == "validate_model" else ("a", ClaimsStr(text))
        )
        try:
            outcomes.append(check(*args))
        except module.ConnectionInfraError as error:
            outcomes.append(error.args)
    assert outcomes[0] == outcomes[1]
    assert (outcomes[0] is None) == (text != "Up")
