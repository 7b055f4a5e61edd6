"""Every example of the README runs as shown."""

import doctest
import os
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

from corvane.core.pluginmanager import ENTRYPOINT_GROUP

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
FENCE = re.compile(r"^```(\w+)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
BIN = Path(sys.executable).parent


def blocks(language: str) -> list[str]:
    return [body for lang, body in FENCE.findall(README) if lang == language]


def section(title: str) -> str:
    start = README.index(f"\n## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start : end if end != -1 else None]


def test_quick_start_has_two_commands():
    [body] = [b for lang, b in FENCE.findall(section("Quick start")) if lang == "sh"]
    assert body.splitlines() == [
        "pip install . && corvane-plugins tree",
        "pip install '.[test]' && python -m pytest",
    ]


@pytest.mark.parametrize("code", blocks("python"), ids=lambda code: code.splitlines()[0])
def test_python_examples_run(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60, check=False
    )
    assert result.returncode == 0, result.stderr


def console_examples() -> list[tuple[str, str]]:
    examples = []
    for body in blocks("console"):
        for chunk in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
            command, _, output = chunk.partition("\n")
            examples.append((command, output))
    return examples


def strip_lines(text: str) -> str:
    return "\n".join(line.rstrip() for line in text.splitlines()) + "\n"


@pytest.mark.parametrize(("command", "expected"), console_examples(), ids=lambda x: x[:60])
def test_console_examples_print_what_is_shown(command, expected):
    assert command.startswith("corvane-plugins ")
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    result = subprocess.run(
        ["bash", "-c", f"exec 2>&1; {command}"],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        check=False,
    )
    checker = doctest.OutputChecker()
    got, want = strip_lines(result.stdout), strip_lines(expected)
    assert checker.check_output(want, got, doctest.ELLIPSIS), f"got:\n{got}\nwant:\n{want}"


def test_entry_point_snippet_is_the_example_distribution():
    [snippet] = blocks("toml")
    declared = tomllib.loads(snippet)["project"]["entry-points"]
    example = tomllib.loads((ROOT / "examples/external-plugin/pyproject.toml").read_text())
    assert declared == example["project"]["entry-points"]
    assert list(declared) == [ENTRYPOINT_GROUP]
