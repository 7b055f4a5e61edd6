import os
import sys
from contextlib import contextmanager

import pytest

from corvane.core import pluginmanager
from corvane.core.errors import ConnectionInfraError

# Whether the suite runs against the sanitizer build (.ci/sanitizer preloads
# the sanitizer's runtime): tests that would spend minutes there on no code of
# their own do less, or skip.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(autouse=True, scope="session")
def user_cache_folder(tmp_path_factory):
    """The user's cache folder of the whole run, a temporary one (the cache of
    installed plugins lives there; XDG_CACHE_HOME places it on Linux, for the
    subprocesses too). Elsewhere the cache is off."""
    patch = pytest.MonkeyPatch()
    patch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("user-cache")))
    if not sys.platform.startswith("linux"):
        patch.setenv("CORVANE_PLUGINS_CACHE", "off")
    yield
    patch.undo()


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
