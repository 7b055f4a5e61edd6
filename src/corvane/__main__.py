"""``python -m corvane`` and the console script ``corvane-plugins``: the command-line tool.

``main`` imports the tool itself, so that an interrupt (Ctrl-C) while the
tool is still being imported ends it as one during a command does: with
status 130 and one line, never a traceback. The package, imported before
this module, imports nothing.
"""

import sys


def main() -> int:
    """Run ``corvane-plugins`` on ``sys.argv[1:]``.

    Returns:
        Its exit status (``corvane.cli.main``'s).
    """
    try:
        from corvane.cli import main as run

        # The tool takes an interrupt itself; one that comes as it ends
        # (while it closes its output, say) comes here.
        return run()
    except KeyboardInterrupt:
        # corvane.cli.INTERRUPTED and EXIT_INTERRUPTED, maybe not imported yet.
        if sys.stderr is not None:
            print("corvane-plugins: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
