"""A program that embeds the interpreter, finalises it and starts another: the
module imports afresh in each and works, and the ImportError of another
interpreter stays as documented."""

import os
import shlex
import shutil
import site
import subprocess
import sys
import sysconfig

import pytest

PROGRAM = r"""
#include <Python.h>

int main(int argc, char** argv) {
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) {
            return 10 + round;
        }
        if (Py_FinalizeEx() != 0) {
            return 20 + round;
        }
    }
    return 0;
}
"""

# Run in each interpreter: a registration and a lookup, a text form, a
# member kept alive until finalisation, and a subinterpreter refused.
ROUND = """
import site, sys
for folder in {folders!r}:
    site.addsitedir(folder)
from corvane.core.pluginmanager import PluginManager
from corvane.plugins.generic import GenericConnection
manager = PluginManager()
manager.register_plugin(GenericConnection, os="generic")
assert manager.get_plugin(os="generic") is GenericConnection
assert repr(manager).startswith("plugins (")
import builtins
builtins.kept = manager.get_plugin
try:
    import _testcapi
except ImportError:
    pass
else:
    assert _testcapi.run_in_subinterp(SUBINTERPRETER.format(folders={folders!r})) == 0
print("round", flush=True)
"""
SUBINTERPRETER = """
import site
for folder in {folders!r}:
    site.addsitedir(folder)
try:
    import corvane.core.pluginmanager
except ImportError as error:
    assert "Interpreter change detected" in str(error), error
else:
    raise AssertionError("imported into a second interpreter")
"""


def config_command():
    version = sysconfig.get_python_version()
    command = os.path.join(sysconfig.get_config_var("BINDIR"), f"python{version}-config")
    return command if os.access(command, os.X_OK) else None


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
@pytest.mark.skipif(config_command() is None, reason="needs the interpreter's python3-config")
def test_a_new_interpreter_imports_a_working_module(tmp_path):
    source = tmp_path / "embed.c"
    source.write_text(PROGRAM)
    config = config_command()
    flags = subprocess.run(
        [config, "--cflags", "--ldflags", "--embed"], capture_output=True, text=True, check=True
    ).stdout
    libdir = sysconfig.get_config_var("LIBDIR")
    program = tmp_path / "embed"
    subprocess.run(
        ["cc", str(source), "-o", str(program), *shlex.split(flags), f"-Wl,-rpath,{libdir}"],
        check=True,
        capture_output=True,
    )
    # The interpreter itself must survive being started again with what the
    # module imports (3.12.1's _datetime does not).
    control = subprocess.run(
        [str(program), "import importlib.metadata, inspect, pkgutil"], capture_output=True
    )
    if control.returncode != 0:
        pytest.skip("this CPython cannot start again after finalising, with or without the module")
    folders = [*site.getsitepackages(), *sys.path[1:]]
    round_code = f"SUBINTERPRETER = {SUBINTERPRETER!r}\n" + ROUND.format(folders=folders)
    done = subprocess.run([str(program), round_code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "round\n" * 3), done.stderr[-3000:]
