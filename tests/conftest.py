from contextlib import contextmanager

import pytest

from corvane.core import pluginmanager
from corvane.core.errors import ConnectionInfraError


class DebugLines:
    """Stands in for the package logger: records each debug text."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def debug(self, text: str) -> None:
        self.lines.append(text)


@pytest.fixture
def debug_lines(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    recorder = DebugLines()
    monkeypatch.setattr(pluginmanager, "log", recorder)
    return recorder.lines


@pytest.fixture
def manager() -> pluginmanager.PluginManager:
    return pluginmanager.PluginManager()


@contextmanager
def raises_message(message: str):
    """Expects ConnectionInfraError carrying exactly this one argument."""
    with pytest.raises(ConnectionInfraError) as info:
        yield info
    assert info.value.args == (message,)
