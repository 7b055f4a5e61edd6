"""The parser of ``corvane-plugins`` as the command-line reference shows it."""

from __future__ import annotations

import argparse

from corvane.cli import build_parser


def documented_parser() -> argparse.ArgumentParser:
    """Return ``corvane.cli.build_parser()`` without its epilogs.

    The epilogs list the exit statuses for a terminal's ``--help``; the page
    has them in one table of its own, where they belong, rather than once
    after each command (and the tool's own after the last command, where it
    would read as that command's).
    """
    parser = build_parser()
    pending = [parser]
    while pending:
        each = pending.pop()
        each.epilog = None
        for action in each._actions:
            if isinstance(action, argparse._SubParsersAction):
                pending += action.choices.values()
    return parser
