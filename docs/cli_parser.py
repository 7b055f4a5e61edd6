"""The parser of ``corvane-plugins`` as the command-line reference shows it."""

from __future__ import annotations

import argparse

from corvane.cli import build_parser


def documented_parser() -> argparse.ArgumentParser:
    """Return ``corvane.cli.build_parser()`` with every epilog marked as literal text.

    The epilogs list the exit statuses laid out for a terminal, which
    reStructuredText would read as badly indented paragraphs.
    """
    parser = build_parser()
    pending = [parser]
    while pending:
        each = pending.pop()
        if each.epilog:
            head, _, rest = each.epilog.partition("\n")
            each.epilog = f"{head}:\n\n{rest}"
        for action in each._actions:
            if isinstance(action, argparse._SubParsersAction):
                pending += action.choices.values()
    return parser
