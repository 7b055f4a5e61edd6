"""The module's surface: namespace, class assembly, signatures, import guards."""

import copy
import gc
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import corvane
import corvane.plugins
from corvane.core import errors, pluginmanager
from corvane.core.pluginmanager import ENTRYPOINT_GROUP, PluginManager

MEMBERS = [
    "__init__",
    "plugins",
    "validate_model",
    "validate_platform",
    "validate_os",
    "validate_chassis_type",
    "validate_arguments",
    "get_plugin",
    "unregister_plugin",
    "register_plugin",
    "discover_builtin_plugins",
    "discover_external_plugins",
    "print_tree",
    "__repr__",
]

DOCS = {
    "__init__": "\n            Initialize\n        ",
    "validate_model": "\n         Validates Model\n        ",
    "validate_platform": "\n         Validates platform\n        ",
    "validate_os": "\n         Validates OS\n        ",
    "validate_chassis_type": "\n         Validate chassis\n        ",
    "validate_arguments": " Validates the input arguments provided\n        ",
    "get_plugin": "\n            This method returns the connection class based on the\n"
    "            input details provided\n        ",
    "unregister_plugin": "\n            This method unregister a particular implementations from\n"
    "            the internal database\n        ",
    "discover_builtin_plugins": "loads all plugins",
    "discover_external_plugins": "\n        discover external plugins defined that users pip"
    " installed.\n        ",
    "__repr__": None,
}


def test_namespace_in_binding_order():
    import importlib
    import importlib.metadata
    import os
    import pkgutil

    # A test build adds _sentinel.
    names = [n for n in vars(pluginmanager) if not n.startswith("_")]
    assert names == [
        "os",
        "pkgutil",
        "importlib",
        "log",
        "supported_chassis",
        "supported_os",
        "getfile",
        "ConnectionInfraError",
        "entry_points",
        "ENTRYPOINT_GROUP",
        "PluginManager",
    ]
    assert pluginmanager.os is os and pluginmanager.pkgutil is pkgutil
    assert pluginmanager.importlib is importlib
    assert pluginmanager.log is corvane.log
    assert pluginmanager.supported_os is corvane.plugins.supported_os
    assert pluginmanager.supported_chassis is corvane.plugins.supported_chassis
    assert pluginmanager.getfile is inspect.getfile
    assert pluginmanager.ConnectionInfraError is errors.ConnectionInfraError
    assert pluginmanager.entry_points is importlib.metadata.entry_points
    assert ENTRYPOINT_GROUP == "corvane.plugins"
    assert pluginmanager.__package__ == "corvane.core"
    assert "Methods for identifying and loading plugin implementations" in pluginmanager.__doc__
    assert "Methods for validating and accessing platform implementation" in pluginmanager.__doc__


def test_class_shape():
    assert [k for k in vars(PluginManager) if not k.startswith("__") or k in MEMBERS] == MEMBERS
    assert PluginManager.__mro__ == (PluginManager, object)
    assert type(PluginManager) is type
    assert PluginManager.__module__ == "corvane.core.pluginmanager"
    assert PluginManager.__qualname__ == PluginManager.__name__ == "PluginManager"
    assert PluginManager.__doc__ == (
        "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n    "
    )
    assert hasattr(PluginManager(), "__dict__")


@pytest.mark.parametrize("name", [m for m in MEMBERS if m != "plugins"])
def test_member_identity(name):
    function = inspect.getattr_static(PluginManager, name)
    if name.startswith("discover_"):
        assert isinstance(function, staticmethod)
        function = function.__func__
    assert function.__name__ == name
    assert function.__qualname__ == f"PluginManager.{name}"
    assert function.__module__ == "corvane.core.pluginmanager"
    assert function.__kwdefaults__ is None
    if name in DOCS:
        assert function.__doc__ == DOCS[name]


def test_plugins_property():
    prop = vars(PluginManager)["plugins"]
    assert isinstance(prop, property)
    assert prop.fset is not None and prop.fdel is None
    assert prop.__doc__ == prop.fget.__doc__ == prop.fset.__doc__ == " Plugin list getter\n        "
    assert prop.fget.__qualname__ == prop.fset.__qualname__ == "PluginManager.plugins"


def test_register_docstring():
    doc = PluginManager.register_plugin.__doc__
    assert doc.startswith("\n            This method registers all the implementation plugin(i.e")
    assert "chassis_type indicates if the connection class is for single_rp or" in doc
    assert doc.endswith("dual_rp or stack(default single_rp)\n\n        ")
    assert PluginManager.print_tree.__doc__.startswith(
        " This Method print the plugin list in tree structure"
    )


@pytest.mark.parametrize(
    ("name", "defaults", "parameters"),
    [
        (
            "get_plugin",
            (None, None, None, None, "single_rp"),
            "os platform model os_flavor chassis_type",
        ),
        (
            "register_plugin",
            (None, None, None, None, "single_rp"),
            "cls os platform model os_flavor chassis_type",
        ),
        ("unregister_plugin", (None,) * 5, "os platform model os_flavor chassis_type"),
        ("print_tree", ("plugin",), "data output"),
        ("validate_model", None, "os platform model"),
        ("validate_platform", None, "os platform"),
        ("validate_os", None, "os"),
        ("validate_chassis_type", None, "chassis_type"),
        ("validate_arguments", None, "os platform model chassis_type"),
        ("__init__", None, ""),
        ("__repr__", None, ""),
    ],
)
def test_signatures(name, defaults, parameters):
    function = getattr(PluginManager, name)
    assert function.__defaults__ == defaults
    unbound = inspect.signature(function)
    assert list(unbound.parameters) == ["self", *parameters.split()]
    assert unbound.parameters["self"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    bound = inspect.signature(getattr(PluginManager(), name))
    assert list(bound.parameters) == parameters.split()
    with_defaults = [p.default for p in bound.parameters.values() if p.default is not p.empty]
    assert tuple(with_defaults) == (defaults or ())


@pytest.mark.parametrize("name", [*MEMBERS, None])
def test_help_reads_as_for_the_written_class(monkeypatch, name):
    # PluginManager written as a plain class: each member a `def` with its
    # signature and docstring, in a module of its own.
    lines = ["class PluginManager:", f"    __doc__ = {PluginManager.__doc__!r}"]
    for member, value in vars(PluginManager).items():
        if isinstance(value, property):
            lines += [f"    @property\n    def {member}(self): {value.__doc__!r}"]
            lines += [f"    @{member}.setter\n    def {member}(self, value): {value.__doc__!r}"]
        elif member in MEMBERS:
            function = getattr(value, "__func__", value)
            static = "@staticmethod\n    " if function is not value else ""
            lines += [
                f"    {static}def {member}{inspect.signature(function)}: {function.__doc__!r}"
            ]
    module = types.ModuleType(f"{pluginmanager.__name__}_written")
    exec("\n".join(lines), vars(module))
    monkeypatch.setitem(sys.modules, module.__name__, module)

    def text(cls):
        # The title line names the kind of object: a native function is no `def`.
        thing = cls if name is None else getattr(cls, name)
        rendered = pydoc.render_doc(thing, renderer=pydoc.plaintext).split("\n", 1)[1]
        return rendered.replace(module.__name__, pluginmanager.__name__), inspect.getdoc(thing)

    expected = text(module.PluginManager)
    if name == "__repr__" and sys.version_info >= (3, 13):
        # The class that lets help() find the inherited docstring is named.
        note = " unbound corvane.core.pluginmanager.PluginManager method"
        expected = (expected[0].replace("(self)", "(self)" + note, 1), expected[1])
    assert text(PluginManager) == expected
    if name not in (None, "plugins"):
        assert text(PluginManager()) == text(module.PluginManager())


def test_static_discovery_signatures():
    assert str(inspect.signature(PluginManager.discover_builtin_plugins)) == "()"
    assert str(inspect.signature(PluginManager().discover_external_plugins)) == "()"


def as_a_def(name):
    """The member `name` as a `def` with its signature (from inspect)."""
    member = inspect.getattr_static(PluginManager, name)
    function = getattr(member, "__func__", getattr(member, "fget", member))
    namespace = {}
    exec(f"class PluginManager:\n def {name}{inspect.signature(function)}: pass", namespace)
    return vars(namespace["PluginManager"])[name]


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("register_plugin", ("m",), {}),
        ("validate_model", ("m", "a"), {}),
        ("validate_arguments", ("m",), {}),
        ("get_plugin", ("m", 1, 2, 3, 4, 5, 6), {}),
        ("validate_os", ("m", 1, 2), {}),
        ("__repr__", ("m", 1), {}),
        ("discover_builtin_plugins", (1,), {}),
        ("get_plugin", ("m",), {"flavor": "x"}),
        ("get_plugin", ("m",), {"chasis_type": "x"}),
        ("get_plugin", ("m", "a"), {"os": "b"}),
        ("validate_os", (), {"self": "m"}),
        ("get_plugin", ("m",), {"self": "m", "os": "a"}),
        ("print_tree", ("m",), {"output": "x"}),
        ("discover_external_plugins", (), {"group": "x"}),
    ],
)
def test_argument_binding_errors_read_as_a_def(manager, name, args, kwargs):
    args = tuple(manager if arg == "m" else arg for arg in args)
    with pytest.raises(TypeError) as expected:
        as_a_def(name)(*args, **kwargs)
    member = getattr(PluginManager, name)
    with pytest.raises(TypeError) as info:
        member(*args, **kwargs)
    assert str(info.value) == str(expected.value)
    assert str(info.value).startswith(f"PluginManager.{name}()")
    assert manager.plugins == {}


class Conn:
    pass


def test_keyword_binding_remembered_for_a_call_site(manager):
    # One call site passes one tuple of keyword names; the positional
    # arguments given with it still decide whether it binds.
    def lookup(*args):
        return manager.get_plugin(*args, platform="p", chassis_type="single_rp")

    manager.register_plugin(Conn, "generic", "p")
    for args, outcome in [
        (("generic",), Conn),
        (("generic", "x"), TypeError),
        (("generic",), Conn),
    ]:
        if outcome is TypeError:
            with pytest.raises(TypeError, match="multiple values for argument 'platform'"):
                lookup(*args)
        else:
            assert lookup(*args) is outcome


def test_arguments_by_keyword_and_position(manager):
    assert manager.validate_model(model="m", platform="p", os="o") is None
    assert PluginManager.validate_platform(manager, "o", platform="p") is None
    assert manager.print_tree({"k": "v"}, output="x") == manager.print_tree(
        data={"k": "v"}, output="x"
    )


def test_instances_do_not_share_trees():
    first, second = PluginManager(), PluginManager()
    assert first.plugins == {} and first.plugins is not second.plugins
    assert first.plugins is first._plugins
    assert first.chassis_type_list is corvane.plugins.supported_chassis
    assert first.supported_os is corvane.plugins.supported_os


@pytest.mark.parametrize("value", [{}, None, {"x": {}}])
def test_plugins_is_read_only(manager, value):
    tree = manager.plugins
    with pytest.raises(Exception) as info:
        manager.plugins = value
    assert type(info.value) is Exception
    assert info.value.args == (" Protected Member, cannot modify Plugins",)
    assert manager._plugins is tree and tree == {}
    with pytest.raises(AttributeError):
        del manager.plugins


@pytest.fixture
def module_namespace():
    """The module's namespace, given back whole and in binding order afterwards.

    monkeypatch would put a deleted name back at the end of the namespace.
    """
    namespace = vars(pluginmanager)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)


def test_init_reads_namespace_at_call_time(module_namespace):
    module_namespace["supported_os"] = ("only",)
    del module_namespace["supported_chassis"]
    # Missing from the module namespace: the builtins have no such name either.
    with pytest.raises(NameError, match="supported_chassis"):
        PluginManager()


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


# Interpreters of the process other than the one that imported the module,
# and what refuses them: the module, in its own words, one that does not ask
# whether a module supports it; CPython, told by the module's slot, one that
# asks (even sharing the GIL, which CPython alone would let in).
OTHER_INTERPRETERS = {
    "legacy": (
        "assert _testcapi.run_in_subinterp(code) == 0",
        "ImportError: Interpreter change detected - this module can only be loaded into one"
        " interpreter per process.",
    ),
    "asking, sharing the GIL": (
        "import _interpreters\n"
        "config = _interpreters.new_config('legacy', check_multi_interp_extensions=True)\n"
        "assert _interpreters.exec(_interpreters.create(config), code) is None",
        "ImportError: module corvane.core.pluginmanager does not support loading in"
        " subinterpreters",
    ),
}


@pytest.mark.parametrize("kind", list(OTHER_INTERPRETERS))
def test_another_interpreter_is_refused(kind):
    run, expected = OTHER_INTERPRETERS[kind]
    if kind != "legacy" and sys.version_info < (3, 13):
        pytest.skip("interpreters that share the GIL and ask came with 3.13")
    script = textwrap.dedent(
        """
        import corvane.core.pluginmanager
        import _testcapi, os, sys
        r, w = os.pipe()
        code = (
            "import os\\n"
            "try:\\n"
            "    import corvane.core.pluginmanager\\n"
            "    text = 'imported'\\n"
            "except ImportError as e:\\n"
            "    text = 'ImportError: ' + str(e)\\n"
            f"os.write({w}, text.encode())\\n"
        )
        """
    )
    result = run_python(script + run + "\nprint(os.read(r, 1000).decode())\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_import_again_returns_the_same_module():
    result = run_python(
        """
        import importlib, sys
        first = importlib.import_module("corvane.core.pluginmanager")
        del sys.modules["corvane.core.pluginmanager"]
        second = importlib.import_module("corvane.core.pluginmanager")
        assert second is first and second.PluginManager is first.PluginManager
        importlib.reload(second)
        print("same")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


def test_failed_import_can_be_retried():
    # A package service missing a name fails the import; once it is there,
    # the next import succeeds.
    result = run_python(
        """
        import sys, traceback
        import corvane.plugins as plugins
        saved = plugins.supported_os
        del plugins.supported_os
        try:
            import corvane.core.pluginmanager
        except ImportError as e:
            print(e)
            print(any(f.name == "init corvane.core.pluginmanager"
                      for f in traceback.extract_tb(e.__traceback__)))
        assert "corvane.core.pluginmanager" not in sys.modules
        plugins.supported_os = saved
        import corvane.core.pluginmanager as m
        print(m.PluginManager().supported_os is saved)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["cannot import name supported_os", "True", "True"]


def test_members_are_weakly_referenceable_and_pickle_by_name():
    manager = PluginManager()
    method = weakref.WeakMethod(manager.get_plugin)
    assert method() == manager.get_plugin
    del manager
    gc.collect()
    assert method() is None
    for member in (PluginManager.get_plugin, PluginManager.discover_builtin_plugins):
        assert weakref.ref(member)() is member
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(member, protocol)) is member
        assert copy.deepcopy(member) is member
