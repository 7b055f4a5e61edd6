"""The plugin tree's layout and its walks, as the package's Python side reads them.

The plugin manager keeps its registry as nested mappings. A node maps keys to
child nodes, and the key ``CHASSIS_MAP`` ("data") to the node's chassis map,
which maps each chassis type to a leaf record holding the class under
``CLASS`` ("cls") and its file under ``PATH`` ("path"). A device description
names a node by its key path (``key_path_of``).

This module is the one place the Python side knows that layout: the shared
manager follows a key path and copies the tree here, the lookup explanation
walks a lookup here, and the listing of registrations (which ``list`` and
``check`` read) visits every chassis map here.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import Any

__all__ = [
    "CHASSIS_MAP",
    "CLASS",
    "PATH",
    "chassis_maps",
    "child",
    "copy_tree",
    "key_path_of",
    "lookup_walk",
    "node_at",
]

# The key of a node's chassis map; never a child, and refused as a key path component.
CHASSIS_MAP = "data"
# The keys of a leaf record: the class, and the file that defines it.
CLASS = "cls"
PATH = "path"

# What child() returns for a key the node does not hold.
ABSENT: Any = object()


def key_path_of(
    os: Any = None, platform: Any = None, model: Any = None, os_flavor: Any = None
) -> list[Any]:
    """Build the key path the plugin manager files a device description under.

    The keys are ``os``, then ``platform`` and ``model`` as present, then the
    OS flavour; presence is tested against ``None``, not truth.

    Returns:
        The list of tree keys.
    """
    if model is not None:
        path = [os, platform, model]
    elif platform is not None:
        path = [os, platform]
    else:
        path = [os]
    if os_flavor is not None:
        path.append(os_flavor)
    return path


def child(node: Any, key: Any) -> Any:
    """Return ``node[key]`` as the plugin manager looks it up: one lookup in a
    dict; other mappings are asked for their keys first.

    Returns:
        The value, or ``ABSENT`` when the node does not hold the key.
    """
    if type(node) is dict:
        return node.get(key, ABSENT)
    return node[key] if key in node.keys() else ABSENT


def node_at(tree: Any, key_path: Iterable[Any]) -> Any:
    """Return the node a registration filed under ``key_path`` lives in.

    Raises:
        KeyError: or whatever the nodes raise, when a key is missing.
    """
    node = tree
    for key in key_path:
        node = node[key]
    return node


def lookup_walk(tree: Mapping[Any, Any], key_path: list[Any]) -> tuple[list[Any], Any]:
    """Walk the tree along ``key_path`` as a lookup does: a key the current node
    does not hold is skipped, and so is ``CHASSIS_MAP``, which is never
    descended into; a matched key is descended into, and the walk never goes
    back up.

    Returns:
        For each key of the path, the keys of the node the walk stood at
        (in the tree's order) and whether the key matched, as
        ``(key, matched, reserved, node_keys)``; and the node where the walk
        stopped.
    """
    node: Any = tree
    steps: list[Any] = []
    for key in key_path:
        keys = tuple(node.keys())
        reserved = bool(key == CHASSIS_MAP)
        matched = not reserved and key in node.keys()
        steps.append((key, matched, reserved, keys))
        if matched:
            node = node[key]
    return steps, node


def chassis_maps(tree: Mapping[Any, Any]) -> Iterator[tuple[tuple[Any, ...], Any]]:
    """Visit every node of the tree, level by level, each in the tree's order.

    Yields:
        ``(key_path, chassis_map)`` for each node that has a chassis map,
        whatever its value; the walk descends into every other value that is
        a mapping.
    """
    pending: list[tuple[Mapping[Any, Any], tuple[Any, ...]]] = [(tree, ())]
    position = 0
    while position < len(pending):
        node, key_path = pending[position]
        position += 1
        for key, value in node.items():
            if key == CHASSIS_MAP:
                yield key_path, value
            elif isinstance(value, Mapping):
                pending.append((value, (*key_path, key)))


def copy_tree(node: Mapping[Any, Any]) -> dict[Any, Any]:
    """Return a copy of the nodes and chassis maps of a tree; the leaf records
    are shared with it."""
    copied: dict[Any, Any] = {}
    for key, value in node.items():
        if key == CHASSIS_MAP and isinstance(value, Mapping):
            copied[key] = dict(value)
        elif isinstance(value, Mapping):
            copied[key] = copy_tree(value)
        else:
            copied[key] = value
    return copied
