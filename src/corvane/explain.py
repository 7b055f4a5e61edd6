"""Reading a plugin tree: how a lookup walks it, and what is registered in it.

``explain_lookup`` walks the tree the way ``PluginManager.get_plugin`` does
(``corvane.tree.lookup_walk``): keys that are not registered at the current
node are skipped, and so is "data", the key of the chassis map, which is never
descended into; a matched key is descended into, the walk never goes back up,
and the chassis type is matched only at the node where the walk stops.
"""

from __future__ import annotations

from typing import Any

from corvane import tree
from corvane.core.pluginmanager import PluginManager
from corvane.keys import class_name, format_key_path
from corvane.plugins import DEFAULT_CHASSIS_TYPE
from corvane.records import OUTSIDE_LOADING, Record, Registration
from corvane.tree import key_path_of

__all__ = ["Registration", "Step", "WalkExplanation", "explain_lookup", "registrations"]


class Step(Record):
    """One key of the key path: whether the node reached so far holds it."""

    key: Any
    matched: bool
    # The key equals "data", which names a chassis map, not a child.
    reserved: bool
    # The keys of the node the walk stood at, in the tree's order.
    node_keys: tuple[Any, ...]

    def __init__(self, key: Any, matched: bool, reserved: bool, node_keys: tuple[Any, ...]) -> None:
        self.__dict__.update(key=key, matched=matched, reserved=reserved, node_keys=node_keys)


class WalkExplanation(Record):
    """The walk of one lookup and where it ended."""

    key_path: list[Any]
    chassis_type: Any
    steps: list[Step]
    # The matched keys, from the root to the node where the walk stopped.
    stopped_at: list[Any]
    # Chassis types registered at that node; None when it holds no chassis map.
    chassis_types: list[Any] | None
    # Whether the walk ends on a class for the requested chassis type.
    found: bool = False
    cls: Any = None
    path: str | None = None

    def __init__(
        self,
        key_path: list[Any],
        chassis_type: Any,
        steps: list[Step],
        stopped_at: list[Any],
        chassis_types: list[Any] | None,
        found: bool = False,
        cls: Any = None,
        path: str | None = None,
    ) -> None:
        self.__dict__.update(
            key_path=key_path,
            chassis_type=chassis_type,
            steps=steps,
            stopped_at=stopped_at,
            chassis_types=chassis_types,
            found=found,
            cls=cls,
            path=path,
        )

    def lines(self) -> list[str]:
        """Return the explanation as text lines, one per key and then the end node."""
        lines = [f"key path: {format_key_path(self.key_path)}  chassis type: {self.chassis_type}"]
        below = "the root"
        for step in self.steps:
            if step.reserved:
                lines.append(f"  {step.key}: skipped, the name of the chassis map")
            elif step.matched:
                lines.append(f"  {step.key}: matched below {below}")
                below = str(step.key)
            else:
                lines.append(f"  {step.key}: skipped, not registered below {below}")
        stop = format_key_path(self.stopped_at) or "the root"
        lines.append(f"stopped at: {stop}")
        if self.chassis_types is None:
            lines.append("  no classes registered there")
        else:
            types_there = ", ".join(str(t) for t in self.chassis_types) or "none"
            lines.append(f"  chassis types registered there: {types_there}")
        if self.found:
            lines.append(f"  {self.chassis_type} -> {class_name(self.cls)}")
        else:
            lines.append(f"  {self.chassis_type} is not registered there")
        return lines


def explain_lookup(
    manager: PluginManager,
    os: Any = None,
    platform: Any = None,
    model: Any = None,
    os_flavor: Any = None,
    chassis_type: Any = DEFAULT_CHASSIS_TYPE,
) -> WalkExplanation:
    """Walk ``manager``'s tree for a device description as its lookup does.

    Returns:
        The steps of the walk, the node where it stopped with the chassis
        types there, and the class found (``found`` false when there is none).

    Raises:
        ConnectionInfraError: for an invalid description, from the manager's
            own validation, before the tree is read.
    """
    manager.validate_arguments(os, platform, model, chassis_type)
    key_path = key_path_of(os, platform, model, os_flavor)
    walked, node = tree.lookup_walk(manager._plugins, key_path)
    steps = [Step(*step) for step in walked]
    stopped_at = [step.key for step in steps if step.matched]
    chassis_types: list[Any] | None = None
    found = False
    cls: Any = None
    path: str | None = None
    if tree.CHASSIS_MAP in node.keys():
        chassis_map = node[tree.CHASSIS_MAP]
        chassis_types = list(chassis_map.keys())
        if chassis_type in chassis_map.keys():
            leaf_record = chassis_map[chassis_type]
            found = True
            cls = leaf_record[tree.CLASS]
            path = leaf_record[tree.PATH]
    return WalkExplanation(
        key_path=key_path,
        chassis_type=chassis_type,
        steps=steps,
        stopped_at=stopped_at,
        chassis_types=chassis_types,
        found=found,
        cls=cls,
        path=path,
    )


def registrations(manager: PluginManager) -> list[Registration]:
    """List every registration of ``manager``'s tree.

    Returns:
        One ``Registration`` per leaf record, sorted by key path, then chassis
        type (both compared as text), with the source the manager noted for it
        (a manager that notes none, like the base class: outside loading).
    """
    source_of = getattr(manager, "source_of", None)
    found = [
        Registration(
            key_path,
            chassis_type,
            leaf_record[tree.CLASS],
            str(leaf_record[tree.PATH]),
            source_of(leaf_record) if source_of is not None else OUTSIDE_LOADING,
        )
        for key_path, chassis_map in tree.chassis_maps(manager._plugins)
        for chassis_type, leaf_record in chassis_map.items()
    ]
    return sorted(found, key=lambda r: ([str(key) for key in r.key_path], str(r.chassis_type)))
