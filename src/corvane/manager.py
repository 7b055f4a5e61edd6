"""The shared manager: a ``PluginManager`` that knows where each registration came from.

Inside a ``loading(source)`` block every registration is attributed to
``source``, each class it replaces is noted as an ``Override``, and what the
block registered is undone when the block fails; ``record_loading`` does the
same for one call. Outside them the manager behaves as its base class, and
what it registers shows as made outside loading.
"""

from __future__ import annotations

import inspect
import logging
from collections.abc import Callable, Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager
from typing import Any

from corvane import log, tree
from corvane.core.pluginmanager import PluginManager
from corvane.keys import class_name, format_key_path
from corvane.plugins import DEFAULT_CHASSIS_TYPE
from corvane.records import (
    OUTSIDE_LOADING,
    Override,
    Record,
    Registration,
    ReplacedNothing,
    Source,
)
from corvane.tree import ABSENT, CHASSIS_MAP, child, copy_tree, key_path_of

__all__ = ["Recording", "RegistryManager", "TreeState", "plugin_manager"]


class TreeState(Record):
    """A copy of a manager's tree with the sources noted for its leaf records,
    as ``RegistryManager.snapshot`` returns it and ``restore`` takes it.

    ``tree`` is the copy of the nodes (the leaf records are shared with the
    tree copied); ``provenance`` maps the ``id`` of a leaf record to that
    record and its ``Source``.
    """

    tree: dict[Any, Any]
    provenance: dict[int, tuple[Any, Source]]

    def __init__(self, tree: dict[Any, Any], provenance: dict[int, tuple[Any, Source]]) -> None:
        self.__dict__.update(tree=tree, provenance=provenance)


# How to take one registration back, from what the walk found before it: the
# key path and chassis type; how many keys of the path were in the tree (the
# rest were created); whether the node had a chassis map; the leaf record
# replaced and its noted source. A tuple: one is made per registration.
_Undo = tuple[list[Any], Any, int, bool, Any, "tuple[Any, Source] | None"]


class Recording:
    """What one ``loading()`` block (or ``record_loading`` call) registered, in
    order, attributed to ``source``: ``registrations`` (each a
    ``Registration``), ``overrides`` (each an ``Override``) and
    ``replaced_nothing`` (each a ``ReplacedNothing``). ``loading()`` and
    ``record_loading`` make it; it is the block's context manager too."""

    __slots__ = (
        "_manager",
        "_undo",
        "_undo_on_error",
        "overrides",
        "registrations",
        "replaced_nothing",
        "source",
    )

    def __init__(
        self,
        manager: RegistryManager,
        source: Source | Callable[[], Source],
        *,
        undo_on_error: bool,
    ) -> None:
        self.source = source
        self.registrations: list[Registration] = []
        self.overrides: list[Override] = []
        self.replaced_nothing: list[ReplacedNothing] = []
        self._undo: list[_Undo] = []
        self._manager = manager
        self._undo_on_error = undo_on_error

    def source_now(self) -> Source:
        """Return the source a registration made now is attributed to."""
        return self.source if isinstance(self.source, Source) else self.source()

    def __enter__(self) -> Recording:
        self._manager._recordings.append(self)
        return self

    def __exit__(self, kind: type[BaseException] | None, *_: object) -> None:
        recordings = self._manager._recordings
        recordings.pop()
        if kind is not None:
            if self._undo_on_error:
                self._take_back()
        elif recordings:
            recordings[-1]._absorb(self)

    def _take_back(self) -> None:
        for undo in reversed(self._undo):
            self._manager._take_back(undo)

    def _absorb(self, inner: Recording) -> None:
        # What a block that ended well registered counts for the one around it.
        self.registrations += inner.registrations
        self.overrides += inner.overrides
        self.replaced_nothing += inner.replaced_nothing
        self._undo += inner._undo


class _RecordList(logging.Filter):
    """Sees every record of the package logger; passes on only those at or
    above the level the logger had, so debug lines turned on for the capture
    do not reach the application's handlers."""

    def __init__(self, threshold: int) -> None:
        super().__init__()
        self.threshold = threshold
        self.records: list[logging.LogRecord] = []

    def filter(self, record: logging.LogRecord) -> bool:
        self.records.append(record)
        return record.levelno >= self.threshold


@contextmanager
def _debug_lines() -> Iterator[_RecordList]:
    logger = logging.getLogger(log.name)
    level = logger.level
    capture = _RecordList(logger.getEffectiveLevel())
    logger.setLevel(logging.DEBUG)
    logger.addFilter(capture)
    try:
        yield capture
    finally:
        logger.removeFilter(capture)
        logger.setLevel(level)


class RegistryManager(PluginManager):
    """The shared manager: a ``PluginManager`` that notes sources and overrides."""

    def __init__(self) -> None:
        super().__init__()
        self._recordings: list[Recording] = []
        # id of a leaf record -> (that leaf record, its source). Holding the
        # record keeps its id from being reused; a record no longer in the
        # tree is simply never asked about.
        self._provenance: dict[int, tuple[Any, Source]] = {}

    def register_plugin(
        self,
        cls: type[Any],
        os: Any = None,
        platform: Any = None,
        model: Any = None,
        os_flavor: Any = None,
        chassis_type: Any = DEFAULT_CHASSIS_TYPE,
        *,
        replaces: type[Any] | None = None,
    ) -> None:
        """Register ``cls`` like the base class; inside ``loading()`` note its source,
        the class it replaced, and how to take it back.

        ``replaces`` names the class this registration means to replace: when
        that is the class it replaces, ``check`` reports no conflict; when it
        replaces another class, a warning is logged and ``check`` reports the
        conflict with both classes; when it replaces none, a warning is logged
        and ``check`` reports it.

        Raises:
            ConnectionInfraError: for an invalid device description.
            TypeError: when no file defines ``cls`` (a class defined at the
                interactive prompt or with ``python -c``, or a built-in
                class); the message names the class.
        """
        try:
            if not self._recordings and replaces is None:
                super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
                return
            key_path = key_path_of(os, platform, model, os_flavor)
            found = self._found_before(key_path, chassis_type)
            previous = found[2] if found is not None else None
            message = None
            if previous is None:
                super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
            else:
                with _debug_lines() as capture:
                    super().register_plugin(cls, os, platform, model, os_flavor, chassis_type)
                # The override line is the last one the base class logs for a registration.
                message = capture.records[-1].getMessage() if capture.records else None
            replaced = previous[tree.CLASS] if previous is not None else None
            if replaces is not None and replaces is not replaced:
                there = "nothing" if replaced is None else class_name(replaced)
                log.warning(
                    f"{class_name(cls)} declares that it replaces {class_name(replaces)} at "
                    f"{format_key_path(key_path)} [{chassis_type}], "
                    f"but {there} was registered there"
                )
            if not self._recordings:
                return
            recording = self._recordings[-1]
            source = recording.source
            if not isinstance(source, Source):
                source = source()
            try:
                leaf = tree.node_at(self._plugins, key_path)[CHASSIS_MAP][chassis_type]
            except Exception:
                # The base class stored something the walk cannot follow.
                return
            if replaces is not None and replaced is None:
                recording.replaced_nothing.append(
                    ReplacedNothing(tuple(key_path), chassis_type, cls, replaces, source)
                )
            replaced_source = OUTSIDE_LOADING
            previous_source = None
            if previous is not None:
                previous_source = self._provenance.pop(id(previous), None)
                if previous_source is not None and previous_source[0] is previous:
                    replaced_source = previous_source[1]
            self._provenance[id(leaf)] = (leaf, source)
            # Filled at once, as Source.of_builtin does: one is made per registration.
            registration = object.__new__(Registration)
            registration.__dict__.update(
                key_path=tuple(key_path),
                chassis_type=chassis_type,
                cls=cls,
                path=str(leaf[tree.PATH]),
                source=source,
            )
            recording.registrations.append(registration)
            if found is not None:
                existing, had_chassis_map, _ = found
                recording._undo.append(
                    (key_path, chassis_type, existing, had_chassis_map, previous, previous_source)
                )
            if previous is None:
                return
            recording.overrides.append(
                Override(
                    key_path=tuple(key_path),
                    chassis_type=chassis_type,
                    replaced=replaced,
                    winner=cls,
                    message=message,
                    replaced_source=replaced_source,
                    winner_source=source,
                    declared=replaces,
                )
            )
        except (OSError, TypeError) as error:
            reason = _no_file(cls)
            if reason is None or type(reason) is not type(error) or str(reason) != str(error):
                raise
            raise TypeError(
                f"{class_name(cls)} cannot be registered: no file defines it ({reason}); "
                "define the class in a module and import it from there"
            ) from None

    def source_of(self, leaf_record: Mapping[str, Any]) -> Source:
        """Return the source noted for a leaf record of this manager's tree.

        Returns:
            The ``Source`` that was loading when the record was registered, or
            ``OUTSIDE_LOADING`` for a record registered outside ``loading()``.
        """
        noted = self._provenance.get(id(leaf_record))
        if noted is not None and noted[0] is leaf_record:
            return noted[1]
        return OUTSIDE_LOADING

    def loading(self, source: Source) -> AbstractContextManager[Recording]:
        """Attribute the registrations made in the block to ``source``.

        When the block raises, its registrations are taken back (nodes they
        created go, classes they replaced come back) and the exception goes on.
        Blocks nest: what an inner block registered counts for the outer one
        too, unless the inner one failed.

        Returns:
            A context manager yielding the ``Recording`` of the block.
        """
        return Recording(self, source, undo_on_error=True)

    def record_loading(
        self, source: Source, load: Callable[[Any], object], loaded: Any
    ) -> Recording:
        """Call ``load(loaded)`` as inside ``loading(source)``, with two calls
        fewer than the block: ``load_plugins`` makes one per plugin.

        What ``load`` raises goes on unchanged, once the registrations it made
        are taken back.

        Returns:
            The ``Recording`` of the call.
        """
        recording = Recording(self, source, undo_on_error=True)
        recordings = self._recordings
        recordings.append(recording)
        try:
            load(loaded)
        except BaseException:
            recordings.pop()
            recording._take_back()
            raise
        recordings.pop()
        if recordings:
            recordings[-1]._absorb(recording)
        return recording

    @contextmanager
    def observe(self, source: Callable[[], Source] | None = None) -> Iterator[list[Override]]:
        """Collect the overrides made inside the block; nothing is taken back.

        ``source``, when given, is called at each registration in the block and
        tells what is loading; without it the registrations count as made
        outside loading.

        Returns:
            A context manager yielding the list that receives the overrides.
        """
        with Recording(self, source or OUTSIDE_LOADING, undo_on_error=False) as recording:
            yield recording.overrides

    def snapshot(self) -> TreeState:
        """Return a copy of the tree and of the sources noted for it.

        The nodes are copied; the leaf records are shared, so the sources
        still apply to them.
        """
        return TreeState(copy_tree(self._plugins), dict(self._provenance))

    def restore(self, state: TreeState) -> None:
        """Give the manager the tree and sources of ``state`` (a copy, so that a
        state can be restored again)."""
        self._plugins = copy_tree(state.tree)
        self._provenance = dict(state.provenance)

    def _adopt(self, sources: Mapping[str, Source]) -> list[Registration]:
        """Attribute to a module's source the registrations made outside
        loading of the classes defined in that module or below it.

        ``load_plugins`` calls it for the built-in plugin modules that were
        imported before it ran: their registrations were made then, with no
        plugin loading.

        Returns:
            The registrations attributed, in the tree's order.
        """
        adopted: list[Registration] = []
        for key_path, chassis_map in tree.chassis_maps(self._plugins):
            if not isinstance(chassis_map, Mapping):
                continue
            for chassis_type, leaf in chassis_map.items():
                if not isinstance(leaf, Mapping) or tree.CLASS not in leaf:
                    continue
                if self.source_of(leaf) is not OUTSIDE_LOADING:
                    continue
                cls = leaf[tree.CLASS]
                module = str(getattr(cls, "__module__", ""))
                while module and module not in sources:
                    module = module.rpartition(".")[0]
                if module:
                    source = sources[module]
                    self._provenance[id(leaf)] = (leaf, source)
                    adopted.append(
                        Registration(key_path, chassis_type, cls, str(leaf[tree.PATH]), source)
                    )
        return adopted

    def _found_before(self, key_path: list[Any], chassis_type: Any) -> tuple[int, bool, Any] | None:
        # Follows the nodes a registration walks, creating nothing, and looks
        # keys up as the base class does. Returns how many keys of the path are
        # in the tree, whether the node there has a chassis map, and the leaf
        # record the registration would replace.
        try:
            node = self._plugins
            existing = 0
            for key in key_path:
                # child(node, key) for a dict written out: the usual tree.
                node = node.get(key, ABSENT) if type(node) is dict else child(node, key)
                if node is ABSENT:
                    return existing, False, None
                existing += 1
            chassis_map = child(node, CHASSIS_MAP)
            if chassis_map is ABSENT:
                return existing, False, None
            previous = child(chassis_map, chassis_type)
        except Exception:
            # Bad descriptions and odd trees are the base class's to reject.
            return None
        return existing, True, None if previous is ABSENT else previous

    def _take_back(self, undo: _Undo) -> None:
        key_path, chassis_type, existing, had_chassis_map, previous, previous_source = undo
        try:
            nodes = [self._plugins]
            for key in key_path:
                nodes.append(nodes[-1][key])
            chassis_map = nodes[-1][CHASSIS_MAP]
            current = chassis_map.get(chassis_type)
            self._provenance.pop(id(current), None)
            if previous is not None:
                chassis_map[chassis_type] = previous
                if previous_source is not None:
                    self._provenance[id(previous)] = previous_source
                return
            del chassis_map[chassis_type]
            if not had_chassis_map and not chassis_map:
                del nodes[-1][CHASSIS_MAP]
            for depth in range(len(key_path), existing, -1):
                if nodes[depth]:
                    break
                del nodes[depth - 1][key_path[depth - 1]]
        except (KeyError, TypeError, AttributeError):
            # The tree was changed behind the manager's back: leave it be.
            pass


def _no_file(cls: Any) -> BaseException | None:
    # What inspect.getfile raises for cls, or None when a file defines it.
    try:
        inspect.getfile(cls)
    except (OSError, TypeError) as error:
        return error
    return None


plugin_manager = RegistryManager()
