"""Hostile arguments and trees: the host's own exception, never a crash, the tree intact."""

import sys
import threading

import pytest

import model
from corvane.core import pluginmanager


class ConnA:
    pass


class Boom(Exception):
    pass


class BadBool(str):
    def __bool__(self):
        raise Boom("bool")


class BadHash(str):
    def __hash__(self):
        raise Boom("hash")


class BadLower(str):
    def islower(self):
        raise Boom("islower")


class BadStr:
    def __bool__(self):
        return True

    def __str__(self):
        raise Boom("str")


class Mutator(str):
    """Compares like its text, and clears the manager's tree while compared."""

    manager = None

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if Mutator.manager is not None:
            Mutator.manager._plugins.clear()
            Mutator.manager._plugins = {}
        return str.__eq__(self, other)


@pytest.fixture(params=[pluginmanager, model], ids=["extension", "model"])
def module(request):
    return request.param


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda m: m.get_plugin(BadBool("generic")), "bool"),
        (lambda m: m.register_plugin(ConnA, "generic", BadBool("p")), "bool"),
        (lambda m: m.get_plugin("generic", BadHash("p")), "hash"),
        (lambda m: m.register_plugin(ConnA, "generic", BadHash("p")), "hash"),
        (lambda m: m.unregister_plugin("generic", BadHash("p")), "hash"),
        (lambda m: m.get_plugin("generic", BadLower("p")), "islower"),
        (lambda m: m.validate_model("a", None, BadStr()), "str"),
        (lambda m: m.validate_chassis_type(BadStr()), "str"),
    ],
)
def test_raising_arguments_propagate(module, call, message):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, "generic")
    before = repr(manager._plugins)
    with pytest.raises(Boom) as info:
        call(manager)
    assert info.value.args == (message,)
    assert repr(manager._plugins) == before


def test_key_that_replaces_the_tree_while_compared(module):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, "generic", "p")
    Mutator.manager = manager
    try:
        for call in (
            lambda: manager.get_plugin("generic", Mutator("p")),
            lambda: manager.register_plugin(ConnA, "generic", Mutator("p")),
            lambda: manager.unregister_plugin("generic", Mutator("p")),
        ):
            try:
                call()
            except Exception as error:
                assert type(error).__name__ == "ConnectionInfraError"
    finally:
        Mutator.manager = None
    assert isinstance(manager._plugins, dict)


@pytest.mark.parametrize(
    "tree",
    [{"generic": 1}, {"generic": {"data": 5}}, {"generic": {"data": {"single_rp": 3}}}],
    ids=["leaf node", "leaf chassis map", "leaf record"],
)
def test_non_mapping_nodes_raise_host_errors(module, tree):
    manager = module.PluginManager()
    manager._plugins = tree
    with pytest.raises((AttributeError, TypeError)):
        manager.get_plugin("generic", "p")


def test_very_long_keys_render():
    key = "k" * 1_000_000
    text = pluginmanager.PluginManager().print_tree({key: {key: 1}})
    assert text == model.PluginManager().print_tree({key: {key: 1}})


def test_threads_share_one_manager():
    manager = pluginmanager.PluginManager()
    errors = []

    def work(index):
        name = f"os{index}"
        try:
            for _ in range(2000):
                manager.register_plugin(ConnA, name, "p")
                assert manager.get_plugin(name, "p", "m") is ConnA
                manager.unregister_plugin(name, "p")
        except Exception as error:
            errors.append(error)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert sorted(manager._plugins) == ["os0", "os1", "os2", "os3"]


def test_rebound_services_raise(monkeypatch, module):
    manager = module.PluginManager()
    monkeypatch.setattr(module, "log", object())
    with pytest.raises(AttributeError):
        manager.validate_os("unknown")
    monkeypatch.setattr(module, "ConnectionInfraError", None)
    with pytest.raises(TypeError):
        manager.validate_os(None)
    monkeypatch.setattr(module, "entry_points", lambda group: 5)
    with pytest.raises(TypeError):
        module.PluginManager.discover_external_plugins()


class Reentrant(str):
    """Registers another class on the manager while it is compared."""

    manager = None

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        manager, Reentrant.manager = Reentrant.manager, None
        if manager is not None:
            manager.register_plugin(ConnA, "generic", "inner")
        return str.__eq__(self, other)


def test_registration_from_inside_an_operation(module):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, "generic", "p")
    Reentrant.manager = manager
    assert manager.get_plugin("generic", Reentrant("p")) is ConnA
    assert manager.get_plugin("generic", "inner") is ConnA
    assert sorted(manager._plugins["generic"]) == ["inner", "p"]


class PlainMapping:
    """A mapping that is not a dict: membership goes through keys()."""

    def __init__(self):
        self._items = {}

    def keys(self):
        return list(self._items)

    def __getitem__(self, key):
        return self._items[key]

    def __setitem__(self, key, value):
        self._items[key] = value

    def __delitem__(self, key):
        del self._items[key]


def test_non_dict_mapping_as_the_tree(module):
    manager = module.PluginManager()
    manager._plugins = PlainMapping()
    manager.register_plugin(ConnA, "generic", "p")
    assert manager.get_plugin("generic", "p", "m") is ConnA
    manager.unregister_plugin("generic", "p")
    with pytest.raises(module.ConnectionInfraError):
        manager.get_plugin("generic", "p")
    # Not a dict, so it renders as a leaf.
    assert manager.print_tree({"t": manager._plugins}).startswith("plugin\n  |__ t = <")


def test_raising_services(monkeypatch, module):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, "generic")
    before = repr(manager._plugins)

    def refuse(*args):
        raise Boom("service")

    monkeypatch.setattr(module, "getfile", refuse)
    with pytest.raises(Boom):
        manager.register_plugin(ConnA, "generic", "p", "m")
    assert repr(manager._plugins) == before
    monkeypatch.setattr(module, "ConnectionInfraError", refuse)
    with pytest.raises(Boom):
        manager.get_plugin("generic", "q", chassis_type="stack")
    with pytest.raises(Boom):
        manager.unregister_plugin("nowhere")


class NamelessEntryPoint:
    loaded = False

    @property
    def name(self):
        raise Boom("name")

    module = "pkg"

    def load(self):
        NamelessEntryPoint.loaded = True


def test_entry_point_whose_name_raises(monkeypatch, module):
    monkeypatch.setattr(module, "entry_points", lambda group: [NamelessEntryPoint()])
    with pytest.raises(Boom):
        module.PluginManager.discover_external_plugins()
    assert not NamelessEntryPoint.loaded


def test_unprintable_chassis_type_in_message(module):
    manager = module.PluginManager()
    manager.register_plugin(ConnA, "linux")
    with pytest.raises(Boom):
        manager.get_plugin("linux", chassis_type=BadStr())


class DictSwapper:
    """An instance-dict key that collides with a member name and, once armed,
    replaces the instance's whole __dict__ when compared."""

    def __init__(self, manager, name):
        self.manager, self.name = manager, name
        self.armed = self.fired = False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed and not self.fired:
            self.fired = True
            replacement = dict(vars(self.manager))
            del replacement[self]
            self.manager.__dict__ = replacement
        return False


@pytest.mark.parametrize(
    ("name", "call"),
    [
        ("validate_model", lambda m: m.get_plugin("generic")),
        ("validate_os", lambda m: m.get_plugin("generic")),
        ("print_tree", lambda m: repr(m) and m.get_plugin("generic")),
    ],
)
def test_instance_dict_replaced_while_overrides_are_looked_for(name, call):
    manager = pluginmanager.PluginManager()
    manager.register_plugin(ConnA, "generic")
    swapper = DictSwapper(manager, name)
    manager.__dict__[swapper] = 1
    # Armed only now: the insertion itself may compare the key with the name
    # (from 3.14 every name an instance of the class ever had stays in the
    # key table its instances share).
    swapper.armed = True
    assert call(manager) is ConnA
    assert swapper.fired
    assert call(manager) is ConnA
    assert swapper not in vars(manager)
