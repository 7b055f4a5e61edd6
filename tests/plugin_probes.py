"""Probe plugins: real plugin packages and entry points written to a temporary tree.

``ProbeRegistry`` empties the shared registry for the test (and gives its state
back after), points built-in discovery at a temporary plugin package and
answers entry-point queries with the entry points a test declares, so that
``load_plugins`` runs for real on plugin code the test controls.
"""

from __future__ import annotations

import sys
import textwrap
import uuid
from importlib import metadata
from importlib.metadata import EntryPoint
from pathlib import Path

import pytest

import corvane.plugins
from corvane import registry
from corvane.core import pluginmanager


class ProbeRegistry:
    def __init__(self, root: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        self.package = f"probe_{uuid.uuid4().hex[:12]}"
        self.builtin_root = root / "builtin"
        self.external_root = root / "external"
        (self.builtin_root / self.package).mkdir(parents=True)
        (self.builtin_root / self.package / "__init__.py").write_text("")
        self.external_root.mkdir()
        self.entry_points: list[EntryPoint] = []
        self.saved = registry.snapshot()
        registry.reset()
        self.manager = registry.plugin_manager
        # Plugins kept out by the environment running the suite stay in here.
        monkeypatch.delenv("CORVANE_PLUGINS_DISABLE", raising=False)
        monkeypatch.setattr(corvane.plugins, "__path__", [str(self.builtin_root)])
        monkeypatch.syspath_prepend(str(self.external_root))
        query = self._entry_points
        monkeypatch.setattr(pluginmanager, "entry_points", query)
        monkeypatch.setattr(metadata, "entry_points", query)

    def _entry_points(self, group: str) -> list[EntryPoint]:
        return list(self.entry_points) if group == pluginmanager.ENTRYPOINT_GROUP else []

    @property
    def prefix(self) -> str:
        return f"corvane.plugins.{self.package}"

    def builtin(self, relative: str, code: str) -> str:
        """Write a plugin module below the probe package; returns its module name."""
        path = self.builtin_root / self.package / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(code))
        parts = relative.removesuffix(".py").split("/")
        if parts[-1] == "__init__":
            parts.pop()
        return ".".join([self.prefix, *parts])

    def external(
        self, name: str, code: str, attr: str | None = None, distribution: str | None = None
    ) -> EntryPoint:
        """Write a top-level module and declare an entry point for it, in the
        metadata of ``distribution`` (version 1.0) when one is named."""
        module = f"{self.package}_{name}"
        (self.external_root / f"{module}.py").write_text(textwrap.dedent(code))
        value = f"{module}:{attr}" if attr else module
        group = pluginmanager.ENTRYPOINT_GROUP
        entry_point = EntryPoint(name=name, value=value, group=group)
        if distribution is not None:
            info = self.external_root / f"{distribution}-{name}.dist-info"
            info.mkdir()
            (info / "METADATA").write_text(f"Name: {distribution}\nVersion: 1.0\n")
            (info / "entry_points.txt").write_text(f"[{group}]\n{name} = {value}\n")
            [entry_point] = metadata.Distribution.at(info).entry_points
        self.entry_points.append(entry_point)
        return entry_point

    def external_module(self, name: str) -> str:
        """The module of the entry point ``name`` written by ``external``."""
        return f"{self.package}_{name}"

    @staticmethod
    def registering(cls: str, args: str) -> str:
        """Plugin code that defines ``cls`` and registers it with ``args``."""
        return REGISTER.format(cls=cls, args=args)

    def forget_modules(self) -> None:
        for name in [n for n in sys.modules if self.package in n]:
            del sys.modules[name]

    def cleanup(self) -> None:
        self.forget_modules()
        registry.restore(self.saved)

    def unload(self) -> None:
        """Forget the loading done so far, so that the plugins load again."""
        self.forget_modules()
        registry.reset()


REGISTER = """
from corvane.registry import plugin_manager

class {cls}:
    pass

plugin_manager.register_plugin({cls}, {args})
"""


@pytest.fixture
def probes(tmp_path, monkeypatch):
    probe = ProbeRegistry(tmp_path, monkeypatch)
    yield probe
    probe.cleanup()
