"""The parser of ``corvane-plugins`` as the command-line reference shows it."""

from __future__ import annotations

import argparse

from corvane.cli import build_parser


def documented_parser() -> argparse.ArgumentParser:
    """Return ``corvane.cli.build_parser()`` with every epilog marked as literal text.

    The epilogs list the exit statuses laid out for a terminal, which would
    otherwise be read as paragraphs and run together. The commands' epilogs
    are read as reStructuredText, where ``::`` starts a literal block; the
    tool's own epilog is read by the page's parser, Markdown here, where a
    fence does.
    """
    parser = build_parser()
    parser.epilog = _literal(parser.epilog, markdown=True)
    pending = [parser]
    while pending:
        each = pending.pop()
        for action in each._actions:
            if isinstance(action, argparse._SubParsersAction):
                for command in action.choices.values():
                    command.epilog = _literal(command.epilog, markdown=False)
                    pending.append(command)
    return parser


def _literal(epilog: str | None, *, markdown: bool) -> str | None:
    if not epilog:
        return epilog
    head, _, rest = epilog.partition("\n")
    if markdown:
        # Shown after the commands: named, so that it is not read as diff's.
        head = head.replace("exit status", "exit status of corvane-plugins")
        return f"{head}\n\n```text\n{rest}\n```\n"
    indented = "\n".join(f"   {line}" if line else line for line in rest.split("\n"))
    return f"{head}\n\n::\n\n{indented}\n"
