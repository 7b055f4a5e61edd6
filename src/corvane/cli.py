"""``corvane-plugins``: inspect the plugins registered with the package's manager.

Exit status: 0 on success; 1 when no class is found, the description is
invalid, or the command fails otherwise (one line on stderr, the traceback
too with ``-v``); 2 on a usage error (the command's usage line and the error
on stderr); 3 when a plugin failed to load. With ``--keep-going`` a plugin
that fails is reported on stderr, the command runs on the plugins that did
load, and the status is 3 unless the command itself failed. A reader that
closes standard output (``| head``, ``| true``, ``>&-``) ends the output, not
the command: it runs to its end and exits with its own status, whenever the
reader went. An interrupt (Ctrl-C) ends it with status 130, as shells report
it, and one line, naming the plugin it interrupted while one loaded. The
warnings of loading (metadata that cannot be read, disabled names that
matched nothing or more than one plugin) are printed however the command
ends. What plugins print while they load goes to stderr.

``check`` exits 0 only when it has nothing to report: ``EXIT_CHECK_PROBLEMS``
when it reports problems and every plugin loaded, ``EXIT_PLUGIN_FAILED`` when
a plugin failed to load. ``diff`` exits 0 when the listings are the same,
``EXIT_DIFFERENT`` when they differ, ``EXIT_DIFF_TROUBLE`` when a file cannot
be read, as ``diff`` does; it loads no plugins.

The commands are the rows of ``COMMANDS``: the parser is built from it and
``main`` runs the row of the command given. A command imports what only it
uses when it runs (``check`` its report, ``diff`` the comparison), so that
``which``, ``tree`` and ``list`` start with no more than they need.
"""

from __future__ import annotations

import argparse
import io
import logging
import os
import sys
import traceback
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from functools import partial
from typing import Any, NoReturn, TextIO, cast

import corvane
from corvane import log, registry
from corvane.core.errors import ConnectionInfraError
from corvane.explain import WalkExplanation, explain_lookup, registrations
from corvane.keys import LISTING_FORMAT, class_name, format_key_path
from corvane.loading import DISABLE_VARIABLE, load_warnings
from corvane.plugins import DEFAULT_CHASSIS_TYPE, supported_chassis
from corvane.records import (
    Disabled,
    LoadReport,
    PluginFailure,
    PluginInterrupted,
    PluginLoadError,
    Record,
    Source,
    error_line,
)

__all__ = ["build_parser", "main"]

PROG = "corvane-plugins"

EXIT_NOT_FOUND = 1
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_PLUGIN_FAILED = 3
# check: problems found, every plugin loaded (a failed load gives EXIT_PLUGIN_FAILED).
EXIT_CHECK_PROBLEMS = 1
# diff, as diff(1): the listings differ; a file cannot be read or is no listing.
EXIT_DIFFERENT = 1
EXIT_DIFF_TROUBLE = 2
EXIT_INTERRUPTED = 130
# The line an interrupt ends the command with when no plugin was loading.
INTERRUPTED = f"{PROG}: interrupted"

EXIT_STATUS = f"""\
exit status:
  0    success
  {EXIT_NOT_FOUND}    no class found, an invalid description, or another error (one
       line on stderr; the traceback with -v)
  {EXIT_USAGE}    usage error (--model without --platform too)
  {EXIT_PLUGIN_FAILED}    a plugin failed to load (with --keep-going too, when the
       command itself succeeded)
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C), naming the plugin loading then
check and diff have statuses of their own (see their --help)."""

CHECK_EXIT_STATUS = f"""\
exit status:
  0    nothing to report
  {EXIT_CHECK_PROBLEMS}    problems reported, every plugin loaded
  {EXIT_USAGE}    usage error (an unknown code for --ignore too)
  {EXIT_PLUGIN_FAILED}    a plugin failed to load
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)"""

DIFF_EXIT_STATUS = f"""\
exit status:
  0    the listings hold the same registrations
  {EXIT_DIFFERENT}    they differ
  {EXIT_DIFF_TROUBLE}    a file cannot be read or is not a listing; usage error"""

PRECEDENCE = (
    "loading order: built-in modules, then entry points by distribution and name "
    "(the last registration wins)"
)

# Columns narrower than this are dropped rather than cut.
_LEAST_COLUMN = 10
_GAP = "  "
# The columns of list, in their order; the first three are always shown.
_HEADER = ("KEY PATH", "CHASSIS", "CLASS", "SOURCE", "FILE")
_KEY, _CHASSIS, _CLASS = range(3)


class _Stop(Exception):
    def __init__(self, status: int, message: str) -> None:
        self.status = status
        self.message = message


class _Formatter(argparse.HelpFormatter):
    # Descriptions are wrapped to the terminal's width; the epilogs, laid out
    # as tables, are shown as written.

    # The width, asked of the terminal once per parser built (_build resets
    # it) rather than by each formatter: argparse makes one per argument.
    columns: int | None = None

    def __init__(self, prog: str, width: int | None = None, **options: Any) -> None:
        if width is None:
            if _Formatter.columns is None:
                import shutil

                _Formatter.columns = shutil.get_terminal_size().columns - 2
            width = _Formatter.columns
        super().__init__(prog, width=width, **options)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


class _Parser(argparse.ArgumentParser):
    # argparse's own exits (usage errors, --help, --version) become a status
    # returned by main() instead of SystemExit.

    # A description may be a function, called when the description is first
    # read: check's lists its findings from a table that only check imports.
    @property
    def description(self) -> str | None:
        text = self.__dict__.get("_description")
        if callable(text):
            text = self.__dict__["_description"] = text()
        return text

    @description.setter
    def description(self, text: str | Callable[[], str] | None) -> None:
        self.__dict__["_description"] = text

    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        raise _Stop(status, message or "")

    def error(self, message: str) -> NoReturn:
        raise _Stop(EXIT_USAGE, f"{self.format_usage()}{self.prog}: error: {message}\n")


class _Output(io.TextIOBase):
    """Standard output, which its reader may close (``| head -1``, ``| true``):
    from then on what is written goes nowhere, so that the command runs to its
    end and its status does not depend on when the reader went."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.gone = False

    def write(self, text: str) -> int:
        if not self.gone:
            try:
                self.stream.write(text)
            except BrokenPipeError:
                self._reader_gone()
        return len(text)

    def flush(self) -> None:
        if not self.gone:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self._reader_gone()

    def _reader_gone(self) -> None:
        self.gone = True
        _discard_stdout(self.stream)

    def close(self) -> None:
        # The stream is not this wrapper's: it stays open. Closed, the wrapper
        # writes nothing more, also not when it is collected after the stream
        # itself was closed (the interpreter's exit, a test's capture).
        self.gone = True
        super().close()

    def fileno(self) -> int:
        return self.stream.fileno()

    def isatty(self) -> bool:
        return self.stream.isatty()


class _Version(argparse._VersionAction):
    # The installed version, read from the metadata only when it is asked for.
    @property
    def version(self) -> str:
        return f"%(prog)s {corvane.__version__}"

    @version.setter
    def version(self, _: str | None) -> None:
        pass


def build_parser() -> argparse.ArgumentParser:
    """Return the parser of ``corvane-plugins``, with every command and option."""
    parser, commands = _build()
    for name in COMMANDS:
        commands.parser_of(name)
    return parser


def _loading_options(parser: argparse.ArgumentParser, *, top: bool, check: bool = False) -> None:
    # Defaults are suppressed so that an option given before the command is
    # not reset by the command's own copy of it; --disable, which adds up,
    # keeps the names given before the command apart.
    parser.add_argument(
        "--no-external",
        action="store_true",
        default=argparse.SUPPRESS,
        help="do not load external plugins (entry points)",
    )
    parser.add_argument(
        "--keep-going",
        action="store_true",
        default=argparse.SUPPRESS,
        help=(
            "check always loads every plugin on its own and goes on after a failure: "
            "the option is accepted and changes nothing"
            if check
            else "report plugins that fail to load and go on with the rest"
        ),
    )
    parser.add_argument(
        "--disable",
        action="append",
        default=argparse.SUPPRESS,
        metavar="NAME",
        dest="disable_before" if top else "disable",
        help=(
            "do not load the plugins of this distribution, entry point or built-in plugin "
            f"module; several separated by commas, or repeated; adds to {DISABLE_VARIABLE}"
        ),
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=argparse.SUPPRESS,
        help="show the package's debug lines and warnings, and full tracebacks, on stderr",
    )
    parser.add_argument(
        "--no-cache",
        action="store_true",
        default=argparse.SUPPRESS,
        help="read the installed plugins' metadata, not the cache of it "
        "(as CORVANE_PLUGINS_CACHE=off does)",
    )


def _build() -> tuple[argparse.ArgumentParser, _Commands]:
    _Formatter.columns = None
    layout: dict[str, Any] = {"formatter_class": _Formatter}
    parser = _Parser(
        prog=PROG,
        description="Show which connection classes the plugin manager holds.",
        epilog=EXIT_STATUS,
        **layout,
    )
    _loading_options(parser, top=True)
    parser.add_argument("--version", action=_Version, help="print the installed version and exit")
    # prog given: argparse would format the usage of the options before the
    # command to find it, and none of them is a positional.
    commands = parser.add_subparsers(
        prog=PROG,
        dest="command",
        required=True,
        parser_class=_Parser,
        metavar="command",
        action=_Commands,
    )
    for name, command in COMMANDS.items():
        commands.add_parser(name, help=command.help, epilog=command.epilog, **layout)
    return parser, cast(_Commands, commands)


class _Commands(argparse._SubParsersAction):  # type: ignore[type-arg]
    """The commands: each one's parser is made, with its options and
    arguments, when it is the command given. argparse reads no other
    command's parser, and making them all would cost every run."""

    def add_parser(self, name: str, **kwargs: Any) -> Any:
        # The command's line in the help now, its parser later; the name
        # holds its place among the choices.
        help = kwargs.pop("help")
        self._choices_actions.append(self._ChoicesPseudoAction(name, (), help))
        self._name_parser_map[name] = None
        self.__dict__.setdefault("_later", {})[name] = kwargs

    def parser_of(self, name: str) -> argparse.ArgumentParser:
        """Return the parser of the command ``name``, made on first use."""
        later = self.__dict__["_later"]
        if name in later:
            options = later.pop(name)
            # As argparse's own add_parser: the command's prog, and from 3.14
            # the colour of the parser it belongs to.
            options.setdefault("prog", f"{self._prog_prefix} {name}")
            if options.get("color") is None and hasattr(self, "_color"):
                options["color"] = self._color
            sub = self._parser_class(**options)
            command = COMMANDS[name]
            sub.description = command.description or command.help
            if command.loads:
                _loading_options(sub, top=False, check=name == "check")
            command.arguments(sub)
            self._name_parser_map[name] = sub
        parser: argparse.ArgumentParser = self._name_parser_map[name]
        return parser

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        if values and values[0] in COMMANDS:
            self.parser_of(values[0])
        super().__call__(parser, namespace, values, option_string)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (``sys.argv[1:]`` by default).

    The exit status is 0 on success; 1 when nothing is found, the
    description is invalid, another error occurs, ``check`` reports
    problems or ``diff`` finds differences; 2 on a usage error (or a file
    ``diff`` cannot read); 3 when a plugin failed to load; 130 on an
    interrupt. A reader closing standard output changes none of these.

    Returns:
        The exit status.
    """
    # A standard stream closed when the program started (">&-") is None:
    # written to nowhere instead, so that the command still runs and exits
    # with its status.
    closed = [name for name in ("stdout", "stderr") if getattr(sys, name) is None]
    for name in closed:
        setattr(sys, name, open(os.devnull, "w"))
    output = _Output(sys.stdout)
    try:
        return _main(argv, cast(TextIO, output), sys.stderr)
    except KeyboardInterrupt:
        # Outside the command's own run: while its arguments were read, say.
        print(INTERRUPTED, file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        output.close()
        for name in closed:
            getattr(sys, name).close()
            setattr(sys, name, None)


def _main(argv: Sequence[str] | None, out: TextIO, err: TextIO) -> int:
    try:
        args = _parse(argv)
    except _Stop as stop:
        print(stop.message, end="", file=err)
        return stop.status
    verbose = getattr(args, "verbose", False)
    handler = _verbose_handler(err) if verbose else None
    try:
        status = _run(args, out, err)
        # Written out here, so that a closed pipe is met inside the handler below.
        out.flush()
        return status
    except BrokenPipeError:
        # stderr's reader went (stdout's is met in _Output).
        _discard_stdout(out)
        return 0
    except KeyboardInterrupt as interrupt:
        if isinstance(interrupt, PluginInterrupted):
            if not verbose:
                _print_warnings(interrupt.report, err)
            keep_out = _disable_hint(interrupt.keep_out, "; {} keeps it out")
            print(f"{PROG}: {interrupt}{keep_out}", file=err)
        else:
            print(INTERRUPTED, file=err)
        return EXIT_INTERRUPTED
    except Exception as error:
        print(f"{PROG}: error: {_one_line(error)}", file=err)
        if verbose:
            for line in "".join(traceback.format_exception(error)).rstrip("\n").split("\n"):
                print(f"  {line}", file=err)
        return EXIT_ERROR
    finally:
        if handler is not None:
            logging.getLogger(log.name).removeHandler(handler)
            handler.close()


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser, commands = _build()
    args, extra = parser.parse_known_args(argv)
    if extra:
        # Reported by the command's own parser, so that its usage is shown.
        commands.parser_of(args.command).error(f"unrecognized arguments: {' '.join(extra)}")
    wrong = COMMANDS[args.command].validate(args)
    if wrong:
        commands.parser_of(args.command).error(wrong)
    return args


def _one_line(error: BaseException) -> str:
    # "TypeError: ...", on one line (a SyntaxError names its file and line).
    return error_line(error)


def _discard_stdout(out: TextIO) -> None:
    # The reader went away: what is still buffered goes nowhere, so that the
    # interpreter's last flush at exit does not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


def _disable_hint(name: str | None, template: str) -> str:
    # The template around "--disable NAME", when a name keeps out the plugin
    # and no other; nothing otherwise.
    return template.format(f"--disable {name}") if name else ""


def _print_warnings(report: LoadReport | None, err: TextIO) -> None:
    # The warnings of a load, as -v shows them from the log.
    for line in load_warnings(report) if report is not None else []:
        print(f"{PROG}: warning: {line}", file=err)


class _LevelFormatter(logging.Formatter):
    # "debug: ...", "warning: ..."
    def format(self, record: logging.LogRecord) -> str:
        return f"{record.levelname.lower()}: {record.getMessage()}"


class _OnceEach(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes each line the first time it comes, and counts its repeats: a
    plugin that makes 20,000 registrations gets one line per kind, not
    20,000. ``close`` writes each repeated line again with its count."""

    def __init__(self, stream: TextIO) -> None:
        super().__init__(stream)
        # Each line written, with how often it came.
        self.seen: dict[str, int] = {}

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = self.format(record)
        except Exception:
            self.handleError(record)
            return
        count = self.seen.get(text, 0)
        self.seen[text] = count + 1
        if not count:
            super().emit(record)

    def close(self) -> None:
        repeated = [(text, count) for text, count in self.seen.items() if count > 1]
        self.seen.clear()
        try:
            for text, count in repeated:
                self.stream.write(f"{text} ({count} times in all)\n")
        except (OSError, ValueError):
            pass  # stderr's reader went, or it was closed
        super().close()


def _verbose_handler(err: TextIO) -> logging.Handler:
    handler = _OnceEach(err)
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(_LevelFormatter())
    logger = logging.getLogger(log.name)
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    return handler


def _run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    run = COMMANDS[args.command].run
    if not getattr(args, "no_cache", False):
        return run(args, out, err)
    from corvane.installed_cache import turned_off

    with turned_off("--no-cache"):
        return run(args, out, err)


def _external(args: argparse.Namespace) -> bool:
    return not getattr(args, "no_external", False)


def _disabled(args: argparse.Namespace) -> list[str]:
    return [*getattr(args, "disable_before", []), *getattr(args, "disable", [])]


# What a command that shows the loaded registry runs once the plugins loaded:
# it takes the arguments, the load report, stdout and stderr.
_Show = Callable[[argparse.Namespace, LoadReport, TextIO, TextIO], int]


def _load_and_show(show: _Show, args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    # A command that shows the loaded registry: its row runs this with its
    # show bound (partial, so that building the table runs no code of ours).
    # Loads the plugins, reports what went wrong while loading, runs show,
    # then prints the overrides.
    external, disable = _external(args), _disabled(args)
    verbose = getattr(args, "verbose", False)
    try:
        with _plugin_output_to(out, err):
            report = registry.load_plugins(
                external=external, keep_going=getattr(args, "keep_going", False), disable=disable
            )
    except PluginLoadError as error:
        print(f"{PROG}: {error}", file=err)
        if verbose:
            _print_traceback(error.failure, err)
        keep_out = _disable_hint(error.keep_out, ", or {} to keep it out")
        print(f"  (use --keep-going to load the other plugins{keep_out})", file=err)
        if not verbose:
            _print_warnings(error.report, err)
        return EXIT_PLUGIN_FAILED
    for failure in report.failures:
        print(f"{PROG}: {failure.describe()}", file=err)
        if verbose:
            _print_traceback(failure, err)
    if not verbose:
        # With -v the package's warning lines say it already.
        _print_warnings(report, err)

    status = show(args, report, out, err)
    if report.overrides:
        _print_overrides(report, err)
    # The command's own failure says more than the plugin's, already reported.
    if report.failures and status == 0:
        return EXIT_PLUGIN_FAILED
    return status


@contextmanager
def _plugin_output_to(out: TextIO, err: TextIO) -> Iterator[None]:
    """Send what is written to the file descriptor of ``out`` to that of ``err``
    for the block: plugins that print while they load, from C or from a child
    process too, write nothing into the command's output. (``load_plugins``
    sends Python's own ``print`` to stderr.) A stream without a file
    descriptor is left as it is."""
    try:
        out.flush()
        fd, target = out.fileno(), err.fileno()
        saved = os.dup(fd)
    except (OSError, ValueError, AttributeError):
        saved = None
    if saved is None:
        yield
        return
    try:
        os.dup2(target, fd)
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


def _print_traceback(failure: PluginFailure, err: TextIO) -> None:
    for line in failure.traceback_lines():
        print(f"  {line}", file=err)


def _tree(args: argparse.Namespace, report: LoadReport, out: TextIO, err: TextIO) -> int:
    text = repr(registry.plugin_manager)
    print(text if text else "no plugins registered", file=out)
    return 0


def _which(args: argparse.Namespace, report: LoadReport, out: TextIO, err: TextIO) -> int:
    description = {
        "os": args.os,
        "platform": args.platform,
        "model": args.model,
        "os_flavor": args.os_flavor,
        "chassis_type": args.chassis_type,
    }
    manager = registry.plugin_manager
    try:
        walk = explain_lookup(manager, **description)
    except ConnectionInfraError as error:
        print(f"{PROG}: {_message(error)}", file=err)
        return EXIT_NOT_FOUND
    kept_out = _kept_out(walk, report)
    if args.explain:
        for line in [*walk.lines(), *_kept_out_lines(kept_out), *_precedence_lines(walk, report)]:
            print(line, file=out)
    try:
        cls = manager.get_plugin(**description)
    except ConnectionInfraError as error:
        print(f"{PROG}: {_message(error)}", file=err)
        for line in _miss_hint(walk, args.os):
            print(line, file=err)
        named = {id(source) for _, source, _ in kept_out}
        for line in _kept_out_lines(kept_out):
            print(f"  {line}", file=err)
        for disabled in report.disabled:
            for source in disabled.matched:
                if id(source) not in named:
                    print(f"  kept out: {source.describe()} ({_given(disabled)})", file=err)
        return EXIT_NOT_FOUND
    print(class_name(cls), file=out)
    # The file the registry noted: the class's module may be gone since.
    print(f"  file: {walk.path if walk.found else '?'}", file=out)
    return 0


def _kept_out(walk: WalkExplanation, report: LoadReport) -> list[tuple[str, Source, Disabled]]:
    """Find the plugins kept out that are named like the description's
    operating system (a built-in module's last name, an entry point's name)
    when no plugin loaded registered it: a plugin named like an operating
    system usually registers it.

    Returns:
        ``(operating system, source of the plugin, the disabled name)`` for each.
    """
    first = walk.steps[0] if walk.steps else None
    skipped = {str(first.key)} if first is not None and not first.matched else set()
    found = []
    for disabled in report.disabled:
        for source in disabled.matched:
            named = source.name if source.kind == "entry_point" else source.module
            short = (named or "").rpartition(".")[2]
            if short in skipped:
                found.append((short, source, disabled))
    return found


def _kept_out_lines(kept_out: list[tuple[str, Source, Disabled]]) -> list[str]:
    return [
        f"kept out: {source.describe()}, which may register {key} ({_given(disabled)})"
        for key, source, disabled in kept_out
    ]


def _given(disabled: Disabled) -> str:
    # Where the name that kept a plugin out was given.
    if disabled.from_environment:
        return f"{DISABLE_VARIABLE} names {disabled.name}"
    return f"--disable {disabled.name}"


def _message(error: ConnectionInfraError) -> str:
    return str(error.args[0]) if error.args else str(error)


def _precedence_lines(walk: WalkExplanation, report: LoadReport) -> list[str]:
    lines = [PRECEDENCE]
    at = tuple(walk.stopped_at)
    made = [
        r for r in report.registrations if r.key_path == at and r.chassis_type == walk.chassis_type
    ]
    if made:
        where = f"{format_key_path(at) or 'the root'} [{walk.chassis_type}]"
        lines.append(f"registered at {where} while loading, in that order:")
        lines += [f"  {class_name(r.cls)} from {r.source.describe()}" for r in made]
    return lines


def _miss_hint(walk: WalkExplanation, os_name: str) -> list[str]:
    known = [str(key) for key in registry.plugin_manager.plugins.keys()]
    if not known:
        return ["  no plugins are registered"]
    hint = f"  registered operating systems: {', '.join(sorted(known))}"
    if os_name not in known:
        from corvane.spelling import closest  # only a miss needs it

        close = closest(os_name, known)
        return [f"{hint}; did you mean {close}?" if close else hint]
    lines = [hint]
    if walk.chassis_types:
        stop = format_key_path(walk.stopped_at)
        types_there = ", ".join(str(t) for t in walk.chassis_types)
        lines.append(f"  chassis types registered at {stop}: {types_there}")
    return lines


def _list(args: argparse.Namespace, report: LoadReport, out: TextIO, err: TextIO) -> int:
    rows = registrations(registry.plugin_manager)
    if args.json:
        import json

        listing = {"format": LISTING_FORMAT, "registrations": [row.as_json() for row in rows]}
        json.dump(listing, out, indent=2)
        out.write("\n")
        return 0
    if not rows:
        print("no plugins registered", file=out)
        return 0
    table = [list(_HEADER)]
    table += [
        [
            format_key_path(row.key_path),
            str(row.chassis_type),
            class_name(row.cls),
            row.source.describe(),
            row.path,
        ]
        for row in rows
    ]
    natural = [max(len(line[i]) for line in table) for i in range(len(_HEADER))]
    # The class may lose its module, never its own name.
    own = max(len(line[_CLASS].rpartition(".")[2]) for line in table[1:])
    least = [min(natural[_KEY], _LEAST_COLUMN), natural[_CHASSIS], min(natural[_CLASS], 3 + own)]
    limit = None if args.wide else _terminal_width(out)
    widths = _fit_columns(natural, limit, least)
    if widths is None:
        lines = _stacked(table[1:], limit or 1)
        shown = _CLASS + 1
    else:
        lines = [_table_line(line, widths) for line in table]
        shown = len(widths)
    for line in lines:
        print(line, file=out)
    if shown < len(_HEADER):
        left_out = ", ".join(_HEADER[shown:])
        print(f"(not shown: {left_out}; see --wide)", file=out)
    return 0


def _table_line(line: list[str], widths: list[int]) -> str:
    cells = [
        _cut(cell, width, from_left=column in _CUT_FROM_LEFT)
        for column, (cell, width) in enumerate(zip(line, widths, strict=False))
    ]
    padded = [cell.ljust(width) for cell, width in zip(cells[:-1], widths, strict=False)]
    return _GAP.join([*padded, cells[-1]])


def _stacked(rows: list[list[str]], limit: int) -> list[str]:
    # Too narrow for a table: each registration's key path and chassis type
    # on a line, its class below, wrapped after a dot where it can be.
    lines = []
    for row in rows:
        title = f"{row[_KEY]} [{row[_CHASSIS]}]"
        lines += [title[i : i + limit] for i in range(0, len(title), limit)]
        lines += _wrapped(row[_CLASS], limit)
    return lines


def _wrapped(name: str, limit: int) -> list[str]:
    # A dotted name in lines of at most limit characters, the first indented
    # by two blanks, the others by four: a part goes on the next line when it
    # does not fit, and is cut where it fits on no line.
    *modules, own = name.split(".")
    lines = [""]
    for part in [f"{module}." for module in modules] + [own]:
        while part:
            room = max(limit - (4 if len(lines) > 1 else 2), 1) - len(lines[-1])
            if len(part) > room and lines[-1]:
                lines.append("")
                continue
            lines[-1] += part[:room]
            part = part[room:]
            if part:
                lines.append("")
    return ["  " + lines[0], *("    " + line for line in lines[1:])]


def _fit_columns(widths: list[int], limit: int | None, least: list[int]) -> list[int] | None:
    """Fit columns of these widths, two blanks apart, into ``limit`` characters.

    The key path, the chassis type and the class are always shown: when they
    do not fit, the class is cut, then the key path, each down to its width
    in ``least``. The columns after them follow while they fit; the first one
    that does not is cut to the room left when that is at least 10
    characters, and the rest are left out. All of them stay, whole, when
    ``limit`` is ``None``.

    Returns:
        The widths to show, left to right; ``None`` when the first three
        columns do not fit even at their least widths.
    """
    if limit is None:
        return list(widths)
    shown = list(widths[: _CLASS + 1])
    for column in (_CLASS, _KEY):
        excess = _width(shown) - limit
        if excess > 0:
            shown[column] = max(least[column], shown[column] - excess)
    if _width(shown) > limit:
        return None
    for width in widths[_CLASS + 1 :]:
        room = limit - _width(shown) - len(_GAP)
        if width <= room:
            shown.append(width)
            continue
        if room >= _LEAST_COLUMN:
            shown.append(room)
        break
    return shown


def _width(widths: list[int]) -> int:
    return sum(widths) + len(_GAP) * (len(widths) - 1)


# The columns whose end tells rows apart: the class's own name, the file's.
_CUT_FROM_LEFT = {2, 4}


def _cut(cell: str, width: int, from_left: bool = False) -> str:
    # A cell at most width wide; _fit_columns never cuts one below 5 (a key
    # path keeps 10, the class "..." and its own name, the others 10).
    if len(cell) <= width:
        return cell
    if not from_left:
        return cell[: width - 3] + "..."
    # "...LinuxConnection" rather than "....LinuxConnection".
    return "..." + cell[len(cell) - width + 3 :].removeprefix(".").removeprefix("/")


def _terminal_width(out: TextIO) -> int | None:
    # COLUMNS first, as shells and terminals set it; then the terminal itself.
    # Output to a file or a pipe is not cut.
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        if out.isatty():
            return os.get_terminal_size(out.fileno()).columns
    except (OSError, ValueError):
        pass
    return None


def _check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from corvane.check import check_plugins

    with _plugin_output_to(out, err):
        report = check_plugins(_external(args), disable=_disabled(args), ignore=args.ignore)
    if args.json:
        import json

        json.dump(report.as_json(), out, indent=2)
        out.write("\n")
    else:
        for line in report.lines(verbose=getattr(args, "verbose", False)):
            print(line, file=out)
    if report.failures:
        return EXIT_PLUGIN_FAILED
    return EXIT_CHECK_PROBLEMS if report.problems else 0


def _diff(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from corvane.diff import ListingError, diff_listings, read_listing

    try:
        old, new = read_listing(args.old), read_listing(args.new)
    except ListingError as error:
        print(f"{PROG} diff: error: {error}", file=err)
        return EXIT_DIFF_TROUBLE
    found = diff_listings(old, new)
    if args.json:
        import json

        json.dump(found.as_json(), out, indent=2)
        out.write("\n")
    else:
        for line in found.lines():
            print(line, file=out)
    return EXIT_DIFFERENT if found.differs else 0


def _print_overrides(report: LoadReport, err: TextIO) -> None:
    print("", file=err)
    print("overrides while loading (the last registration wins):", file=err)
    # Each one once, in order, with how often it happened when more than once.
    lines = Counter(override.describe() for override in report.overrides)
    for line, count in lines.items():
        print(f"  {line}" + (f" ({count} times)" if count > 1 else ""), file=err)


def _check_description() -> str:
    from corvane.check import problem_list

    return (
        "Load the built-in plugin modules and each entry point on its own, going on "
        "after a failure, and report what each registered, the slowest when loading "
        f"took long, and every problem: {problem_list()}."
    )


def _which_arguments(which: argparse.ArgumentParser) -> None:
    which.add_argument("--os", required=True, help="the device's operating system (required)")
    which.add_argument("--platform", help="the device's platform (default: none)")
    which.add_argument("--model", help="the device's model; needs --platform (default: none)")
    which.add_argument("--os-flavor", help="the device's OS flavour (default: none)")
    which.add_argument(
        "--chassis-type",
        default=DEFAULT_CHASSIS_TYPE,
        choices=supported_chassis,
        help="the device's chassis type (default: %(default)s)",
    )
    which.add_argument(
        "--explain",
        action="store_true",
        help="first show how the lookup walks the tree, and the loading order",
    )


def _list_arguments(listing: argparse.ArgumentParser) -> None:
    listing.add_argument(
        "--json",
        action="store_true",
        help="print the registrations as JSON: an object with the format and the rows",
    )
    listing.add_argument(
        "--wide",
        action="store_true",
        help="show every column in full, whatever the terminal width",
    )


def _check_arguments(check: argparse.ArgumentParser) -> None:
    check.add_argument("--json", action="store_true", help="print the report as JSON")
    check.add_argument(
        "--ignore",
        action="extend",
        default=[],
        type=_finding_codes,
        metavar="CODE",
        help="leave the findings of this code (CP001 ...) out of the report and the "
        "status; several separated by commas, or repeated",
    )


def _finding_codes(text: str) -> list[str]:
    # Codes of check's findings separated by commas, in any case; only check
    # reads them.
    from corvane.check import FINDINGS

    codes = [finding.code for finding in FINDINGS]
    given = [part.strip() for part in text.split(",") if part.strip()]
    for code in given:
        if code.upper() not in codes:
            raise argparse.ArgumentTypeError(
                f"unknown finding code {code!r} (the codes are {codes[0]} to {codes[-1]})"
            )
    return [code.upper() for code in given]


def _which_problem(args: argparse.Namespace) -> str | None:
    if args.model is not None and args.platform is None:
        return "argument --model: needs --platform"
    return None


def _no_problem(args: argparse.Namespace) -> str | None:
    return None


def _diff_arguments(diff: argparse.ArgumentParser) -> None:
    diff.add_argument("old", metavar="OLD.json", help="the listing before (- for stdin)")
    diff.add_argument("new", metavar="NEW.json", help="the listing after (- for stdin)")
    diff.add_argument("--json", action="store_true", help="print the differences as JSON")


def _no_arguments(parser: argparse.ArgumentParser) -> None:
    pass


class Command(Record):
    """A command of ``corvane-plugins``: a row of ``COMMANDS``.

    ``help`` is its line in the list of commands; ``arguments`` adds its own
    arguments to its parser; ``run`` runs it on the parsed arguments, stdout
    and stderr and returns the exit status; ``description`` (text, or a
    function giving it when it is first shown) defaults to ``help``;
    ``epilog`` lists its exit statuses; ``loads`` gives it the options of
    loading (``--no-external``, ``--keep-going``, ``--disable``, ``-v``);
    ``validate`` returns what is wrong with arguments the parser took, a
    usage error (status 2), or ``None``.
    """

    help: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace, TextIO, TextIO], int]
    description: str | Callable[[], str] | None = None
    epilog: str = EXIT_STATUS
    loads: bool = True
    validate: Callable[[argparse.Namespace], str | None] = _no_problem

    def __init__(
        self,
        help: str,
        arguments: Callable[[argparse.ArgumentParser], None],
        run: Callable[[argparse.Namespace, TextIO, TextIO], int],
        description: str | Callable[[], str] | None = None,
        epilog: str = EXIT_STATUS,
        loads: bool = True,
        validate: Callable[[argparse.Namespace], str | None] = _no_problem,
    ) -> None:
        self.__dict__.update(
            help=help,
            arguments=arguments,
            run=run,
            description=description,
            epilog=epilog,
            loads=loads,
            validate=validate,
        )


# The commands, in the order the help lists them.
COMMANDS: dict[str, Command] = {
    "tree": Command("print the registry as a tree", _no_arguments, partial(_load_and_show, _tree)),
    "which": Command(
        "print the class that drives a device, and its file",
        _which_arguments,
        partial(_load_and_show, _which),
        validate=_which_problem,
    ),
    "list": Command(
        "one row per registration, with its source", _list_arguments, partial(_load_and_show, _list)
    ),
    "check": Command(
        "load each plugin on its own and report problems",
        _check_arguments,
        _check,
        description=_check_description,
        epilog=CHECK_EXIT_STATUS,
    ),
    "diff": Command(
        "compare two listings written by list --json",
        _diff_arguments,
        _diff,
        description=(
            "Compare two listings written by list --json (in two environments, or before "
            "and after a change) and print the registrations added and removed and, for "
            "each description whose class changed, the old and the new class with their "
            "sources, and the plugin distributions whose version changed. It loads no plugins."
        ),
        epilog=DIFF_EXIT_STATUS,
        loads=False,
    ),
}
