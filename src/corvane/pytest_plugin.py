"""The pytest plugin of the package (entry point ``pytest11``): the ``corvane_registry`` fixture.

corvane is imported only when a test asks for the fixture, so having the
package installed costs other test suites nothing.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from corvane.registry import RegistryManager

__all__ = ["corvane_registry"]


@pytest.fixture
def corvane_registry() -> Iterator[RegistryManager]:
    """The shared plugin manager with an empty tree, for one test.

    ``corvane.testing.isolated_registry()`` as a fixture: load the plugin under
    test with ``corvane.testing.load_plugin``; after the test the manager has
    its own tree back.

    Returns:
        A generator yielding the shared manager.
    """
    from corvane.testing import isolated_registry

    with isolated_registry() as manager:
        yield manager
