"""Guarantees held at their boundaries: the stack every way back into the
module, what is known of a dict after every kind of change to it, the exact
depth at which rendering stops, and the error of every lookup."""

import subprocess
import sys
import textwrap

import pytest

# Python code that calls back into the module without end, by one route each.
ROUTES = {
    "override": """
        class Manager(PluginManager):
            def validate_os(self, os):
                return self.get_plugin(os)
        run = lambda: Manager().get_plugin("generic")
    """,
    "print_tree override and repr": """
        class Manager(PluginManager):
            def print_tree(self, data, output="plugin"):
                return repr(self)
        run = lambda: repr(Manager())
    """,
    "a tree key's __eq__": """
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                return manager.get_plugin("generic") is None
        manager = PluginManager()
        manager._plugins[Key("generic")] = {}
        run = lambda: manager.get_plugin("generic")
    """,
    "a tree key's __hash__": """
        class Key:
            def __hash__(self):
                return hash(manager.get_plugin("generic", os_flavor=Key()))
        manager = PluginManager()
        run = lambda: manager.get_plugin("generic", os_flavor=Key())
    """,
    "a supported-list item": """
        class Item:
            def __eq__(self, other):
                return manager.validate_os("other")
        manager = PluginManager()
        manager.supported_os = [Item()]
        run = lambda: manager.validate_os("other")
    """,
    "the logger": """
        import corvane.core.pluginmanager as module
        class Log:
            def debug(self, text):
                manager.validate_os("other")
        module.log = Log()
        manager = PluginManager()
        run = lambda: manager.validate_os("other")
    """,
    "the plugins property": """
        class Manager(PluginManager):
            @property
            def _plugins(self):
                return self.plugins

            @_plugins.setter
            def _plugins(self, tree):
                pass
        run = lambda: Manager().plugins
    """,
}
STACKS = {
    "256 KiB thread": "thread = 256 * 1024",
    "512 KiB thread": "thread = 512 * 1024",
    # As under `ulimit -s 512`: the main thread's stack grows no further.
    "512 KiB main thread": "thread = None\nresource.setrlimit(resource.RLIMIT_STACK, (512 << 10,) * 2)",
}
SCRIPT = """
import resource, sys, threading
from corvane.core.pluginmanager import PluginManager
{stack}
{route}
outcome = []

def call():
    try:
        run()
    except RecursionError:
        outcome.append("RecursionError")

sys.setrecursionlimit(10**6)
if thread:
    threading.stack_size(thread)
    worker = threading.Thread(target=call)
    worker.start()
    worker.join()
else:
    call()
print(outcome)
"""


@pytest.mark.parametrize("stack", list(STACKS))
@pytest.mark.parametrize("route", list(ROUTES))
def test_every_way_back_in_meets_the_stack_check(route, stack):
    script = SCRIPT.format(route=textwrap.dedent(ROUTES[route]), stack=STACKS[stack])
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout) == (0, "['RecursionError']\n"), done.stderr[-2000:]
