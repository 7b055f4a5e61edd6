"""Python code that runs inside a lookup and pulls containers away from under it.

Each case arms a key whose hash collides with a name the manager looks up and
whose ``__eq__`` frees or replaces what is being looked into. The extension
must give the answer the pure-Python model gives (and, run under the
sanitizer job, touch no freed memory). The instance-dict cases run against
the extension only: the interpreter may read the model's attributes through
a cached slot and never compare the colliding key.
"""

import gc
import sys
import types

import pytest

import model
from corvane.core import pluginmanager


class ConnA:
    pass


class ConnB:
    pass


class Colliding:
    """Hashes like ``name``; when compared while armed, runs ``action`` once."""

    def __init__(self, name, action):
        self.hash, self.action, self.armed = hash(name), action, False

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.action()
        return False


@pytest.fixture(params=[pluginmanager, model], ids=["extension", "model"])
def module(request):
    return request.param


def test_instance_dict_replaced_while_state_is_read():
    module = pluginmanager
    manager = module.PluginManager()
    manager.register_plugin(ConnA, os="generic")

    def replace():
        manager.__dict__ = {
            "_plugins": {},
            "supported_os": ["generic"],
            "chassis_type_list": ["single_rp"],
        }

    evil = Colliding("_plugins", replace)
    manager.__dict__ = {evil: 1, **manager.__dict__}
    evil.armed = True
    # The lookup that started in the old __dict__ finishes there.
    assert manager.get_plugin("generic") is ConnA
    assert not evil.armed
    gc.collect()
    with pytest.raises(module.ConnectionInfraError):
        manager.get_plugin("generic")


def test_class_module_dropped_while_its_file_is_read(module, monkeypatch):
    name = "corvane_test_plugin_dropped"
    plugin = types.ModuleType(name)
    # Probed before __file__, which is stored after it.
    evil = Colliding("__file__", lambda: sys.modules.pop(name))
    plugin.__dict__[evil] = 1
    plugin.__file__ = "/plugins/dropped.py"
    monkeypatch.setitem(sys.modules, name, plugin)
    del plugin
    cls = type("Dropped", (), {"__module__": name})
    evil.armed = True
    manager = module.PluginManager()
    manager.register_plugin(cls, os="generic")
    assert not evil.armed
    assert manager.plugins["generic"]["data"]["single_rp"]["path"] == "/plugins/dropped.py"


def test_module_name_freed_while_it_is_the_key_looked_up(module, monkeypatch):
    name = "corvane_test_plugin_renamed"
    plugin = types.ModuleType(name)
    plugin.__file__ = "/plugins/renamed.py"
    # The class's __module__ is a str of its own, dropped by the colliding
    # key, which is probed first in sys.modules.
    cls = type("Renamed", (), {"__module__": "".join(name)})
    evil = Colliding(name, lambda: setattr(cls, "__module__", "elsewhere"))
    monkeypatch.setitem(sys.modules, evil, None)
    monkeypatch.setitem(sys.modules, name, plugin)
    evil.armed = True
    manager = module.PluginManager()
    manager.register_plugin(cls, os="generic")
    assert not evil.armed
    assert manager.plugins["generic"]["data"]["single_rp"]["path"] == "/plugins/renamed.py"


def test_other_manager_used_while_state_is_read():
    module = pluginmanager
    first, second = module.PluginManager(), module.PluginManager()
    first.register_plugin(ConnA, os="generic")
    second.register_plugin(ConnB, os="generic")
    evil = Colliding("_plugins", lambda: second.get_plugin("generic"))
    # Probed before _plugins.
    first.__dict__ = {evil: 1, **first.__dict__}
    evil.armed = True
    assert first.get_plugin("generic") is ConnA
    assert not evil.armed
    second.register_plugin(ConnB, os="generic", platform="inner")
    assert "inner" in second.plugins["generic"]
    assert "inner" not in first.plugins["generic"]
    del first, evil
    gc.collect()
    assert second.get_plugin("generic", "inner") is ConnB


def test_generator_keeps_no_caller_exception(module, monkeypatch):
    # entry_points() without the group keyword takes the fallback path, which
    # handles the TypeError while it runs.
    monkeypatch.setattr(module, "entry_points", lambda **kwargs: {} if not kwargs else 1 / "")

    def discover_then_report():
        yield module.PluginManager.discover_external_plugins()
        yield sys.exc_info()[1]

    steps = discover_then_report()
    try:
        raise KeyError("handled by the caller")
    except KeyError:
        assert next(steps) is None
    assert next(steps) is None
