"""The package's shared plugin manager, the loading of its plugins, and its state.

Plugin modules register their connection classes with ``plugin_manager``;
``load_plugins`` imports the built-in plugins and loads the external ones once
per process, noting where each registration came from (its ``Source``),
which registrations replaced an earlier class, which plugins failed to load
and which registered nothing. ``snapshot``, ``restore`` and ``reset`` save
and set the whole state of the shared registry, for tests.

The work is done in ``corvane.records`` (the records of loading),
``corvane.manager`` (the shared manager), ``corvane.loading`` (the loading
and its precedence), ``corvane.installed`` (the one scan of the installed
entry points), ``corvane.tree`` (the tree's layout and walks) and
``corvane.keys`` (the key path as text); this module is the one to import
them from.

``corvane.core.pluginmanager`` imports ``corvane.plugins`` while it
initialises, so ``corvane.plugins`` itself must never import this module; the
plugin subpackages may, since only loading imports them.
"""

from __future__ import annotations

from corvane import loading
from corvane.keys import class_name, key_path_of
from corvane.loading import entry_points_in_order, load_plugins
from corvane.manager import Recording, RegistryManager, TreeState, plugin_manager
from corvane.records import (
    OUTSIDE_LOADING,
    Disabled,
    Listed,
    LoadReport,
    NothingRegistered,
    Override,
    PluginFailure,
    PluginInterrupted,
    PluginLoadError,
    Record,
    Registration,
    ReplacedNothing,
    Source,
)

__all__ = [
    "OUTSIDE_LOADING",
    "Disabled",
    "Listed",
    "LoadReport",
    "NothingRegistered",
    "Override",
    "PluginFailure",
    "PluginInterrupted",
    "PluginLoadError",
    "Recording",
    "Registration",
    "RegistryManager",
    "RegistryState",
    "ReplacedNothing",
    "Source",
    "TreeState",
    "class_name",
    "entry_points_in_order",
    "key_path_of",
    "load_plugins",
    "plugin_manager",
    "reset",
    "restore",
    "snapshot",
]

# Shown, documented and pickled under the name they are imported by.
for _public in (
    Disabled,
    Listed,
    LoadReport,
    NothingRegistered,
    Override,
    PluginFailure,
    PluginInterrupted,
    PluginLoadError,
    Recording,
    Registration,
    RegistryManager,
    ReplacedNothing,
    Source,
    TreeState,
):
    _public.__module__ = __name__


class RegistryState(Record):
    """The state of the shared registry: its tree with the sources, and whether
    ``load_plugins`` has loaded the plugins."""

    tree: TreeState
    loaded: bool

    def __init__(self, tree: TreeState, loaded: bool) -> None:
        self.__dict__.update(tree=tree, loaded=loaded)


RegistryState.__module__ = __name__


def snapshot() -> RegistryState:
    """Return the state of the shared registry, to give back later with ``restore``.

    The state holds a copy of the tree (sharing its leaf records) with the
    source of each registration, and whether the plugins were loaded.

    Returns:
        A ``RegistryState``.
    """
    return RegistryState(plugin_manager.snapshot(), loading.is_loaded())


def restore(state: RegistryState) -> None:
    """Give the shared registry the state of ``state``: its tree, sources and
    loaded flag. A state can be restored more than once."""
    plugin_manager.restore(state.tree)
    loading.set_loaded(state.loaded)


def reset(*, loaded: bool = False) -> None:
    """Empty the shared registry's tree and sources.

    With ``loaded`` true, ``load_plugins()`` then does nothing (a test loads
    the plugin under test itself); with it false, the next call loads every
    plugin again, importing the modules not imported yet.
    """
    restore(RegistryState(TreeState({}, {}), loaded))
