"""Every example of the README and of the documentation's pages runs as shown,
whatever plugins are installed.

The Python examples run as scripts; the console examples run the installed
``corvane-plugins`` with external loading off, so that an installed plugin
(the README suggests installing the example one) changes nothing.
"""

import doctest
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path
from xml.etree import ElementTree

import pytest

from corvane.core.pluginmanager import ENTRYPOINT_GROUP

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
# The documentation's pages are checked with the README; its Python modules
# (conf.py) are not examples.
DOCUMENTS = {
    path.relative_to(ROOT).as_posix(): path.read_text(encoding="utf-8")
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
}
FENCE = re.compile(r"^```(\w+)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
# The one shell construct the console examples use, to show the exit status.
STATUS = ' || echo "exit status $?"'


def blocks(language: str) -> list[tuple[str, str]]:
    """Return (document, body) of every fenced block of ``language``."""
    return [
        (name, body)
        for name, text in DOCUMENTS.items()
        for lang, body in FENCE.findall(text)
        if lang == language
    ]


def cases(language: str) -> list[object]:
    """Return the blocks of ``language`` as test cases named by document and first line."""
    return [
        pytest.param(body, id=f"{name}: {body.splitlines()[0][:60]}")
        for name, body in blocks(language)
    ]


def section(title: str) -> str:
    start = README.index(f"\n## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start : end if end != -1 else None]


def test_quick_start_has_two_commands():
    [body] = [b for lang, b in FENCE.findall(section("Quick start")) if lang == "sh"]
    assert body.splitlines() == [
        "pip install . && corvane-plugins tree",
        'pip install "$(pip show corvane >/dev/null 2>&1 && echo corvane || echo .)[test]" && python -m pytest',
    ]
    # CI runs them as written, one after the other (in a checkout: the sdist
    # carries no CI scripts).
    script = ROOT / ".ci" / "readme"
    if script.exists() or (ROOT / ".git").exists():
        assert body in script.read_text()


def test_the_development_page_installs_as_the_readme_without_the_rebuild():
    [body] = [b for lang, b in FENCE.findall(section("Development")) if lang == "sh"][:1]
    [install] = [line for line in body.splitlines() if "--no-build-isolation -e" in line]
    assert "-Ceditable.rebuild=true" in install
    assert install.replace(" -Ceditable.rebuild=true", "") in DOCUMENTS["docs/development.md"]


@pytest.mark.parametrize("code", cases("python"))
def test_python_examples_run(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60, check=False
    )
    assert result.returncode == 0, result.stderr


def console_examples() -> list[object]:
    # One case per block: its commands run in order in one directory, so that
    # a file one writes (list --json > before.json) is there for the next.
    examples = []
    for name, body in blocks("console"):
        steps = []
        for chunk in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
            command, _, output = chunk.partition("\n")
            steps.append((command, output))
        examples.append(pytest.param(steps, id=f"{name}: {steps[0][0][:60]}"))
    return examples


def strip_lines(text: str) -> str:
    return "\n".join(line.rstrip() for line in text.splitlines()) + "\n"


@pytest.mark.parametrize("steps", console_examples())
def test_console_examples_print_what_is_shown(tmp_path, steps):
    for command, expected in steps:
        run_console_example(tmp_path, command, expected)


def run_console_example(directory, command, expected):
    shows_status = command.endswith(STATUS)
    argv = shlex.split(command.removesuffix(STATUS))
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "CORVANE_PLUGINS_DISABLE")}
    # Variables set for the command (COLUMNS=40 corvane-plugins list).
    while "=" in argv[0]:
        name, _, value = argv.pop(0).partition("=")
        env[name] = value
    # The one redirection the examples use: stdout to a file.
    written = argv[-1] if len(argv) > 2 and argv[-2] == ">" else None
    argv = argv[:-2] if written else argv
    assert argv[0] == "corvane-plugins"
    tool = shutil.which("corvane-plugins", path=sysconfig.get_path("scripts"))
    assert tool is not None
    env["PYTHONUNBUFFERED"] = "1"  # stdout and stderr reach the pipe in the order written
    result = subprocess.run(
        [tool, "--no-external", *argv[1:]],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE if written else subprocess.STDOUT,
        text=True,
        timeout=60,
        env=env,
        cwd=directory,
        check=False,
    )
    if written:
        (directory / written).write_text(result.stdout)
        assert (result.returncode, result.stderr, expected) == (0, "", "")
        return
    got = result.stdout
    if shows_status and result.returncode != 0:
        got += f"exit status {result.returncode}\n"
    assert shows_status or result.returncode == 0
    checker = doctest.OutputChecker()
    got, want = strip_lines(got), strip_lines(expected)
    assert checker.check_output(want, got, doctest.ELLIPSIS), f"got:\n{got}\nwant:\n{want}"


@pytest.mark.parametrize("snippet", cases("toml"))
def test_entry_point_snippet_is_the_example_distribution(snippet):
    declared = tomllib.loads(snippet)["project"]["entry-points"]
    example = tomllib.loads((ROOT / "examples/external-plugin/pyproject.toml").read_text())
    assert declared == example["project"]["entry-points"]
    assert list(declared) == [ENTRYPOINT_GROUP]


def test_the_figures_read_on_a_phone():
    # Shown at their own size, no wider than the text column of a phone 420
    # px wide (388 px), their text no smaller than the page's (16 px).
    for path in (ROOT / "docs" / "_static").glob("*.svg"):
        svg = ElementTree.parse(path).getroot()
        sizes = [
            float(element.get("font-size")) for element in svg.iter() if element.get("font-size")
        ]
        assert (float(svg.get("width")) <= 388, min(sizes) >= 16) == (True, True), path.name


def test_readme_names_the_versions_of_the_classifiers():
    # The docs take the same phrase from the metadata (docs/conf.py).
    classifiers = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["classifiers"]
    pattern = re.compile(r"Programming Language :: Python :: (3\.\d+)")
    versions = [m.group(1) for c in classifiers if (m := pattern.fullmatch(c))]
    phrase = ", ".join(versions[:-1]) + " and " + versions[-1]
    assert section("Supported Python versions").split("\n\n")[1].startswith(f"CPython {phrase}.")
