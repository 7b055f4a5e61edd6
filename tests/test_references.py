"""Every operation, on its success path and on each error path, gives back what it took.

Each case runs thousands of times; the reference counts of the objects it was
handed come back to where they started and tracemalloc sees no growth.
"""

import gc
import sys
import tracemalloc

import pytest

from corvane.core import pluginmanager
from operations import EntryPoint, build_cases, fresh, run

ROUNDS = 2000

CASES = build_cases()


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    class Quiet:
        def debug(self, text):
            pass

    monkeypatch.setattr(pluginmanager, "log", Quiet())


@pytest.mark.parametrize(
    ("handed", "call", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_reference_counts_come_back(handed, call, expected):
    for _ in range(10):
        run(call, expected)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in handed]
    for _ in range(ROUNDS):
        run(call, expected)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in handed]
    assert after == before


@pytest.mark.parametrize(
    ("handed", "call", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_no_memory_growth(handed, call, expected):
    for _ in range(10):
        run(call, expected)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(100):
            run(call, expected)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            run(call, expected)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one small object per call would show as tens of kilobytes.
    assert end - start < 4096


@pytest.mark.parametrize("fails", [False, True])
def test_external_discovery_gives_back(monkeypatch, fails):
    name = fresh("ep")
    points = [EntryPoint(name, fails)]
    monkeypatch.setattr(pluginmanager, "entry_points", lambda group: points)
    expected = ImportError if fails else None
    call = pluginmanager.PluginManager.discover_external_plugins
    for _ in range(10):
        run(call, expected)
    before = [sys.getrefcount(obj) for obj in (name, points[0], points)]
    for _ in range(ROUNDS):
        run(call, expected)
    assert [sys.getrefcount(obj) for obj in (name, points[0], points)] == before
