"""
Module:
    corvane.core.pluginmanager, as a plain-Python model

Description:
    This module provides:
        1. Methods for identifying and loading plugin implementations
        2. Methods for validating and accessing platform implementation

It mirrors the extension's namespace and behaviour, mended faults included,
so that differential tests can drive both side by side and benchmarks can
measure the extension against it. Every module-level service is read at call
time, so rebinding a name here (``model.log = recorder``) is seen by later
calls, as it is on the extension.
"""

# ruff: noqa: I001  (names are bound in the extension's order)
import os
import pkgutil
import importlib

from corvane import log
from corvane.plugins import supported_chassis, supported_os
from inspect import getfile
from corvane.core.errors import ConnectionInfraError
from importlib.metadata import entry_points

ENTRYPOINT_GROUP = "corvane.plugins"

# The tree's chassis map lives under this key, so no key-path component may
# take it.
_RESERVED = "data"


def _one(value):
    """The one argument of a %-template: a tuple is wrapped, not spread."""
    return (value,) if issubclass(type(value), tuple) else value


def _key_path(os, platform, model, os_flavor):
    if model is not None:
        key_path = [os, platform, model]
    elif platform is not None:
        key_path = [os, platform]
    else:
        key_path = [os]
    if os_flavor is not None:
        key_path.append(os_flavor)
    return key_path


class PluginManager:
    """
    Loads all plugin implementation,
    provides API's for accessing plugins
    """

    def __init__(self):
        """
        Initialize
        """
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        """Plugin list getter"""
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        """Plugin list getter"""
        raise Exception(" Protected Member, cannot modify Plugins")

    def validate_model(self, os, platform, model):
        """
        Validates Model
        """
        if not model:
            return None
        if not platform or not os:
            raise ConnectionInfraError("OS and platform are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower():
            return None
        if model.isdigit():
            return None
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % model)  # noqa: UP031

    def validate_platform(self, os, platform):
        """
        Validates platform
        """
        if not platform:
            return None
        if os is None:
            raise ConnectionInfraError("OS information not provided for platform: " + str(platform))
        if not isinstance(platform, str):
            raise ConnectionInfraError("platform should be of type str")
        if platform.islower():
            return None
        if platform.isdigit():
            return None
        raise ConnectionInfraError("platform (%s) has to be in lowercase" % platform)  # noqa: UP031

    def validate_os(self, os):
        """
        Validates OS
        """
        if os and os not in self.supported_os:
            log.debug("%s is not part of the built-in list of supported OSes." % _one(os))  # noqa: UP031
            return None
        if os:
            return None
        raise ConnectionInfraError(
            "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
        )

    def validate_chassis_type(self, chassis_type):
        """
        Validate chassis
        """
        if chassis_type and chassis_type in self.chassis_type_list:
            return None
        raise ConnectionInfraError(
            "chassis Type should be one of these "
            + str(self.chassis_type_list)
            + ", but got "
            + str(chassis_type)
        )

    def validate_arguments(self, os, platform, model, chassis_type):
        """Validates the input arguments provided"""
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return None
        self.validate_chassis_type(chassis_type=chassis_type)
        return None

    def get_plugin(
        self, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        """
        This method returns the connection class based on the
        input details provided
        """
        self.validate_arguments(os, platform, model, chassis_type)
        key_path = _key_path(os, platform, model, os_flavor)
        node = self._plugins
        for key in key_path:
            if key == _RESERVED:
                continue
            if key in node.keys():
                node = node[key]
        if "data" in node.keys() and chassis_type in node["data"].keys():
            return node["data"][chassis_type]["cls"]
        raise ConnectionInfraError(
            "Plugin data not found for ("
            + "/".join([str(key) for key in key_path])
            + "), type: "
            + str(chassis_type)
            + " "
        )

    def unregister_plugin(
        self, os=None, platform=None, model=None, os_flavor=None, chassis_type=None
    ):
        """
        This method unregister a particular implementations from
        the internal database
        """
        self.validate_arguments(os, platform, model, "single_rp")
        key_path = _key_path(os, platform, model, os_flavor)
        for key in key_path:
            if key == _RESERVED:
                raise ConnectionInfraError("Plugin data not found")
        node = self._plugins
        for key in key_path:
            if key not in node.keys():
                raise ConnectionInfraError("Plugin data not found")
            node = node[key]
        if "data" not in node.keys():
            raise ConnectionInfraError("Plugin data not found")
        if chassis_type is None:
            del node["data"]
            return None
        chassis_map = node["data"]
        if chassis_type not in chassis_map.keys():
            raise ConnectionInfraError("Plugin data not found for %s" % _one(chassis_type))  # noqa: UP031
        del chassis_map[chassis_type]
        return None

    def register_plugin(
        self, cls, os=None, platform=None, model=None, os_flavor=None, chassis_type="single_rp"
    ):
        """
        This method registers all the implementation plugin(i.e connection class)
        to the corvane plugin manager

        It takes OS, platform, MODEL information and based on that
        registers it

        cls refer to the connection class
        chassis_type indicates if the connection class is for single_rp or
        dual_rp or stack(default single_rp)

        """
        self.validate_arguments(os, platform, model, chassis_type)
        key_path = _key_path(os, platform, model, os_flavor)
        for key in key_path:
            if key == _RESERVED:
                raise ConnectionInfraError(
                    "The name 'data' is reserved and cannot be used as"
                    " os, platform, model or os_flavor"
                )
        path = getfile(cls)
        node = self._plugins
        for key in key_path:
            if key not in node.keys():
                node[key] = {}
            node = node[key]
        if "data" in node.keys():
            chassis_map = node["data"]
            if chassis_type in chassis_map.keys():
                existing = chassis_map[chassis_type]["cls"]
                log.debug(
                    " {} already registered for {}, {} from {} is overriding this class".format(  # noqa: UP032 (the arguments are read first)
                        existing.__name__, key_path, cls.__name__, cls.__module__
                    )
                )
            chassis_map[chassis_type] = {"cls": cls, "path": path}
            node["data"] = chassis_map
        else:
            node["data"] = {chassis_type: {"cls": cls, "path": path}}
        return None

    @staticmethod
    def discover_builtin_plugins():
        """loads all plugins"""
        try:
            from corvane.plugins import __name__ as corvane_name
            from corvane.plugins import __path__ as plugins_path
        except ImportError:
            from corvane.plugins import __file__ as corvane_init
            from corvane.plugins import __name__ as corvane_name

            plugins_path = [os.path.dirname(corvane_init)]
        for _finder, name, _ispkg in pkgutil.walk_packages(plugins_path, corvane_name + "."):
            if ".plugins." not in name:
                continue
            if ".tests." in name:
                continue
            if name.endswith("tests"):
                continue
            importlib.import_module(name)
        return None

    @staticmethod
    def discover_external_plugins():
        """
        discover external plugins defined that users pip installed.
        """
        try:
            eps = entry_points(group=ENTRYPOINT_GROUP)
        except TypeError:
            eps = entry_points().get(ENTRYPOINT_GROUP, [])
        for plugin in eps:
            log.debug("Loading external plugin " + str(plugin.name) + " from " + str(plugin.module))
            plugin.load()
        return None

    def print_tree(self, data, output="plugin"):
        """This Method print the plugin list in tree structure

        plugin
          |__ generic
            |__ data
              |__ single_rp
                |__ cls = <class 'corvane.plugins.generic.Connection'>
                |__ path = .../corvane/plugins/generic/__init__.py
        """
        if not data:
            return ""
        if data == {}:
            return ""
        if isinstance(data, dict):
            sorted_keys = sorted(list(data.keys()))
            last_key = sorted_keys[-1]
            for key in sorted_keys:
                temp_output = self.print_tree(data=data[key], output="__ " + key)
                separator = "  " if key == last_key else "  |"
                current_line = 1
                for line in temp_output.split("\n"):
                    if current_line == 1 and key == last_key:
                        output += "\n  |" + line
                    else:
                        output += "\n" + separator + line
                    current_line += 1
            return output
        return output + " = " + str(data)

    def __repr__(self):
        heading = "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
        return self.print_tree(data=self._plugins, output=heading)
