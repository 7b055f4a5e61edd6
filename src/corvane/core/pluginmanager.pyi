# Types of the compiled plugin manager. The members are native functions that
# bind their arguments as a `def` with these signatures does.

import importlib as importlib
import logging
import os as os
import pkgutil as pkgutil
from collections.abc import Container
from importlib.metadata import entry_points as entry_points
from inspect import getfile as getfile
from typing import Any

from corvane.core.errors import ConnectionInfraError as ConnectionInfraError

log: logging.Logger
supported_chassis: list[str]
supported_os: list[str]
ENTRYPOINT_GROUP: str

# A plugin tree node: child nodes by key, and the chassis map under "data".
_PluginTree = dict[Any, Any]

class PluginManager:
    _plugins: _PluginTree
    chassis_type_list: Container[Any]
    supported_os: Container[Any]
    def __init__(self) -> None: ...
    @property
    def plugins(self) -> _PluginTree: ...
    @plugins.setter
    def plugins(self, value: object) -> None: ...
    def validate_model(self, os: Any, platform: Any, model: Any) -> None: ...
    def validate_platform(self, os: Any, platform: Any) -> None: ...
    def validate_os(self, os: Any) -> None: ...
    def validate_chassis_type(self, chassis_type: Any) -> None: ...
    def validate_arguments(self, os: Any, platform: Any, model: Any, chassis_type: Any) -> None: ...
    def get_plugin(
        self,
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = "single_rp",
    ) -> type[Any]: ...
    def unregister_plugin(
        self,
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type[Any],
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: Any, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
