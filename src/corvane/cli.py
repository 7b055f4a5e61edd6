"""``corvane-plugins``: inspect the plugins registered with the package's manager.

Exit status: 0 on success; 1 when no class is found or the description is
invalid (the message goes to stderr); 2 on a usage error (a usage line and the
error go to stderr); 3 when a plugin failed to load. With ``--keep-going`` a
plugin that fails is reported on stderr, the command runs on the plugins that
did load, and the status is still 3.

``check`` exits 0 only when it has nothing to report: ``EXIT_CHECK_PROBLEMS``
when it reports problems and every plugin loaded, ``EXIT_PLUGIN_FAILED`` when
a plugin failed to load.
"""

from __future__ import annotations

import argparse
import inspect
import json
import logging
import sys
from collections.abc import Sequence
from typing import NoReturn, TextIO

import corvane
from corvane import log, registry
from corvane.check import CheckReport, check_plugins
from corvane.core.errors import ConnectionInfraError
from corvane.core.pluginmanager import ENTRYPOINT_GROUP
from corvane.explain import explain_lookup, registrations
from corvane.registry import LoadReport, PluginFailure, PluginLoadError, class_name

__all__ = ["build_parser", "main"]

PROG = "corvane-plugins"

EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_PLUGIN_FAILED = 3
# check: problems found, every plugin loaded (a failed load gives EXIT_PLUGIN_FAILED).
EXIT_CHECK_PROBLEMS = 1


class _Stop(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(status, message)
        self.status = status
        self.message = message


class _Parser(argparse.ArgumentParser):
    # argparse's own exits (usage errors, --help, --version) become a status
    # returned by main() instead of SystemExit.
    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        raise _Stop(status, message or "")

    def error(self, message: str) -> NoReturn:
        raise _Stop(EXIT_USAGE, f"{self.format_usage()}{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    """Return the parser of ``corvane-plugins``, with every command and option."""
    # Defaults are suppressed so that an option given before the command is
    # not reset by the command's own copy of it.
    common = _Parser(add_help=False)
    common.add_argument(
        "--no-external",
        action="store_true",
        default=argparse.SUPPRESS,
        help="do not load external plugins (entry points)",
    )
    common.add_argument(
        "--keep-going",
        action="store_true",
        default=argparse.SUPPRESS,
        help="report plugins that fail to load and go on with the rest",
    )
    common.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=argparse.SUPPRESS,
        help="show the package's debug lines and the traceback of a failed plugin on stderr",
    )

    parser = _Parser(
        prog=PROG,
        description="Show which connection classes the plugin manager holds.",
        parents=[common],
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {corvane.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    commands.add_parser("tree", parents=[common], help="print the registry as a tree")

    which = commands.add_parser(
        "which", parents=[common], help="print the class that drives a device"
    )
    which.add_argument("--os", required=True)
    which.add_argument("--platform")
    which.add_argument("--model")
    which.add_argument("--os-flavor")
    which.add_argument("--chassis-type", default="single_rp")
    which.add_argument(
        "--explain", action="store_true", help="also show how the lookup walked the tree"
    )

    listing = commands.add_parser(
        "list", parents=[common], help="one row per registration, with its source"
    )
    listing.add_argument("--json", action="store_true", help="print a JSON array")

    check = commands.add_parser(
        "check",
        parents=[common],
        help="load each plugin on its own and report problems",
        description=(
            "Load the built-in plugin modules and each entry point on its own and report "
            "what each registered, each plugin that registered nothing, each load failure "
            "with its traceback, each registration two plugins made for the same key path "
            f"and chassis type, and distributions declaring entry points in a group named "
            f"close to {ENTRYPOINT_GROUP}."
        ),
        epilog=(
            f"Exit status: 0 when there is nothing to report, {EXIT_CHECK_PROBLEMS} when "
            f"there are problems but every plugin loaded, {EXIT_PLUGIN_FAILED} when a "
            "plugin failed to load."
        ),
    )
    check.add_argument("--json", action="store_true", help="print the report as JSON")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (``sys.argv[1:]`` by default).

    Returns:
        The exit status: 0, 1 (nothing found, invalid description, or
        problems reported by ``check``), 2 (usage error) or 3 (a plugin
        failed to load).
    """
    try:
        args = build_parser().parse_args(argv)
    except _Stop as stop:
        print(stop.message, end="", file=sys.stderr)
        return stop.status
    verbose = getattr(args, "verbose", False)
    handler = _verbose_handler() if verbose else None
    try:
        return _run(args, sys.stdout, sys.stderr)
    finally:
        if handler is not None:
            logging.getLogger(log.name).removeHandler(handler)


class _LevelFormatter(logging.Formatter):
    # "debug: ...", "warning: ..."
    def format(self, record: logging.LogRecord) -> str:
        return f"{record.levelname.lower()}: {record.getMessage()}"


def _verbose_handler() -> logging.Handler:
    handler = logging.StreamHandler(sys.stderr)
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(_LevelFormatter())
    logger = logging.getLogger(log.name)
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    return handler


def _run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    external = not getattr(args, "no_external", False)
    if args.command == "check":
        return _check(check_plugins(external), args.json, out)
    verbose = getattr(args, "verbose", False)
    try:
        report = registry.load_plugins(
            external=external, keep_going=getattr(args, "keep_going", False)
        )
    except PluginLoadError as error:
        print(f"{PROG}: {error}", file=err)
        if verbose:
            _print_traceback(error.failure, err)
        print("  (use --keep-going to load the other plugins)", file=err)
        return EXIT_PLUGIN_FAILED
    for failure in report.failures:
        print(f"{PROG}: {failure.describe()}", file=err)
        if verbose:
            _print_traceback(failure, err)

    if args.command == "tree":
        status = _tree(out)
    elif args.command == "which":
        status = _which(args, out, err)
    else:
        status = _list(args, out)

    if report.overrides:
        # Keeps the JSON on stdout parseable.
        _print_overrides(report, err if args.command == "list" and args.json else out)
    if report.failures:
        return EXIT_PLUGIN_FAILED
    return status


def _print_traceback(failure: PluginFailure, err: TextIO) -> None:
    for line in failure.traceback_lines():
        print(f"  {line}", file=err)


def _tree(out: TextIO) -> int:
    text = repr(registry.plugin_manager)
    print(text if text else "no plugins registered", file=out)
    return 0


def _which(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    description = {
        "os": args.os,
        "platform": args.platform,
        "model": args.model,
        "os_flavor": args.os_flavor,
        "chassis_type": args.chassis_type,
    }
    try:
        if args.explain:
            for line in explain_lookup(registry.plugin_manager, **description).lines():
                print(line, file=out)
        cls = registry.plugin_manager.get_plugin(**description)
    except ConnectionInfraError as error:
        print(f"{PROG}: {error.args[0] if error.args else error}", file=err)
        return EXIT_NOT_FOUND
    print(class_name(cls), file=out)
    print(f"  file: {inspect.getfile(cls)}", file=out)
    return 0


def _list(args: argparse.Namespace, out: TextIO) -> int:
    rows = registrations(registry.plugin_manager)
    if args.json:
        json.dump([row.as_json() for row in rows], out, indent=2)
        out.write("\n")
        return 0
    if not rows:
        print("no plugins registered", file=out)
        return 0
    table = [["KEY PATH", "CHASSIS", "CLASS", "SOURCE", "FILE"]]
    for row in rows:
        fields = row.as_json()
        table.append(
            [
                fields["key_path"],
                fields["chassis_type"],
                fields["class"],
                row.source.describe(),
                fields["file"],
            ]
        )
    widths = [max(len(line[i]) for line in table) for i in range(4)]
    for line in table:
        cells = [cell.ljust(width) for cell, width in zip(line, widths, strict=False)]
        print("  ".join([*cells, line[-1]]), file=out)
    return 0


def _check(report: CheckReport, as_json: bool, out: TextIO) -> int:
    if as_json:
        json.dump(report.as_json(), out, indent=2)
        out.write("\n")
    else:
        for line in report.lines():
            print(line, file=out)
    if report.failures:
        return EXIT_PLUGIN_FAILED
    return EXIT_CHECK_PROBLEMS if report.problems else 0


def _print_overrides(report: LoadReport, out: TextIO) -> None:
    print("", file=out)
    print("overrides while loading (the last registration wins):", file=out)
    for override in report.overrides:
        print(f"  {override.describe()}", file=out)
