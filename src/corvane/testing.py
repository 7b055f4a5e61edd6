"""Support for testing plugins: a clean registry, and loading one plugin into it.

A plugin's tests empty the shared registry for the test, load the plugin under
test into it and look classes up, without touching what the rest of the
process registered::

    from corvane.testing import isolated_registry, load_plugin

    with isolated_registry() as manager:
        [row] = load_plugin("acmeos")
        assert manager.get_plugin(os="acmeos") is row.cls

With pytest, the fixture ``corvane_registry`` (shipped with the package and
registered as a pytest plugin) does the same as ``isolated_registry()``.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from importlib import metadata
from importlib.metadata import EntryPoint
from types import ModuleType

from corvane import registry
from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.registry import Registration, RegistryManager, Source

__all__ = ["isolated_registry", "load_plugin"]

# For each isolated_registry() block, innermost last: the sys.modules entries
# load_plugin replaced in it, as they were before (None: not imported).
_replaced_modules: list[dict[str, ModuleType | None]] = []


@contextmanager
def isolated_registry() -> Iterator[RegistryManager]:
    """Give the shared manager an empty tree for the block, and its own one back after.

    Inside the block ``corvane.registry.plugin_manager`` starts with no
    registrations and ``load_plugins()`` does nothing (load the plugin under
    test with ``load_plugin``). On exit, an exception included, the manager
    gets back the very tree it had, with the sources noted for it,
    ``load_plugins()`` its previous state, and the modules ``load_plugin``
    ran in the block are replaced by those imported before (or forgotten, so
    that ``load_plugins()`` imports them later). Blocks nest.

    Returns:
        A context manager yielding the shared manager.
    """
    saved = registry.snapshot()
    registry.reset(loaded=True)
    _replaced_modules.append({})
    try:
        yield registry.plugin_manager
    finally:
        _restore_modules(_replaced_modules.pop())
        registry.restore(saved)


def load_plugin(name: str) -> list[Registration]:
    """Load one plugin so that it registers its classes with the shared manager.

    ``name`` is looked up first as the name of an entry point of the group
    ``corvane.plugins``, then as a module's dotted name. The plugin's module
    runs even when it was imported before: it and its submodules are imported
    afresh, so the classes it registers are new objects; take them from the
    rows returned, or import the module after this call. An entry point
    naming an attribute (``module:attr``) has it looked up after the module
    ran; a function it names is not called, as ``load_plugins`` does not call
    it. Inside ``isolated_registry()`` the modules imported before come back
    at the end of the block; outside it the new ones stay. A plugin that
    raises while it loads has its registrations taken back, as
    ``load_plugins`` does.

    Returns:
        The rows registered, one per key path and chassis type (the last
        registration of each), sorted as ``corvane-plugins list`` sorts them,
        each with its source.

    Raises:
        LookupError: when several entry points of the group have that name.
        ModuleNotFoundError: when neither an entry point nor a module has it;
            the message lists the entry points of the group.
        Exception: whatever the plugin raises while it loads, unchanged.
    """
    listed = list(metadata.entry_points(group=ENTRYPOINT_GROUP))
    matches = [ep for ep in listed if ep.name == name]
    if len(matches) > 1:
        origins = ", ".join(Source.of_entry_point(ep).describe() for ep in matches)
        raise LookupError(
            f"{len(matches)} entry points are named {name!r}: {origins}; "
            "load the one under test by its module's dotted name"
        )
    entry_point: EntryPoint | None = matches[0] if matches else None
    if entry_point is not None:
        module, source = entry_point.module, Source.of_entry_point(entry_point)
    else:
        module, source = name, Source.of_module(name)
    try:
        with registry.plugin_manager.loading(source) as recording:
            _import_afresh(module)
            if entry_point is not None:
                entry_point.load()
    except ModuleNotFoundError as error:
        if entry_point is None and _names_the_module(error, name):
            known = ", ".join(sorted({ep.name for ep in listed})) or "none"
            raise ModuleNotFoundError(
                f"no entry point of the group {ENTRYPOINT_GROUP} and no module is named "
                f"{name!r} (entry points of the group: {known})",
                name=error.name,
            ) from error
        raise
    last: dict[tuple[object, ...], Registration] = {}
    for row in recording.registrations:
        last[(row.key_path, row.chassis_type)] = row
    return sorted(
        last.values(), key=lambda r: ([str(key) for key in r.key_path], str(r.chassis_type))
    )


def _names_the_module(error: ModuleNotFoundError, name: str) -> bool:
    # The module itself (or a package above it) is missing, not one it imports.
    missing = error.name
    return missing is not None and (name == missing or name.startswith(missing + "."))


def _import_afresh(name: str) -> None:
    # Drops the module and its submodules from sys.modules (keeping them for
    # the enclosing isolated block to put back) and imports the module again.
    prefix = name + "."
    dropped = [m for m in list(sys.modules) if m == name or m.startswith(prefix)]
    saved = _replaced_modules[-1] if _replaced_modules else {}
    saved.setdefault(name, sys.modules.get(name))
    for module in dropped:
        saved.setdefault(module, sys.modules.pop(module))
    try:
        importlib.import_module(name)
    finally:
        # Submodules the import added are to be forgotten at the end too.
        for module in list(sys.modules):
            if module.startswith(prefix):
                saved.setdefault(module, None)


def _restore_modules(saved: dict[str, ModuleType | None]) -> None:
    for name, module in saved.items():
        parent_name, _, attribute = name.rpartition(".")
        parent = sys.modules.get(parent_name) if parent_name else None
        if module is None:
            sys.modules.pop(name, None)
            if parent is not None and hasattr(parent, attribute):
                delattr(parent, attribute)
        else:
            sys.modules[name] = module
            if parent is not None:
                setattr(parent, attribute, module)
