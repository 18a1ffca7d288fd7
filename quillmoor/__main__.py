"""Command line of quillmoor: ``python -m quillmoor`` or ``quillmoor``."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any

#: Set to 1 to see the traceback of an error the command line did not expect.
TRACEBACK_VARIABLE = "QUILLMOOR_TRACEBACK"


def build_parser() -> argparse.ArgumentParser:
    from quillmoor.cli import demo_command, generate_command, merge_command
    from quillmoor.cli import merge_layers_command, merge_many_command
    from quillmoor.cli.answers import OneLineParser

    parser = OneLineParser(
        prog="quillmoor",
        description="Merge overlapping crop-row segments, keeping each segment's points "
                    "except those in the overlap zones at its junctions.",
    )
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND")
    demo_command.add_parser(subcommands)
    merge_command.add_parser(subcommands)
    merge_many_command.add_parser(subcommands)
    merge_layers_command.add_parser(subcommands)
    generate_command.add_parser(subcommands)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run one command; its exit status. Every failure is one line on standard error."""
    command = "quillmoor"
    try:
        from quillmoor.cli.answers import FAILED, USAGE_ERROR, answer
        from quillmoor.cli.answers import exception_text, one_line_warnings
        from quillmoor.cli.command_error import CommandError

        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as stop:  # --help, or a usage mistake already answered
            return stop.code if isinstance(stop.code, int) else 0
        if args.command is None:
            answer(command, f"no command given; choose one of {', '.join(_commands(parser))} "
                            "(see 'quillmoor --help')")
            return USAGE_ERROR
        command = f"quillmoor {args.command}"
        try:
            with one_line_warnings(command):
                return int(args.run(args))
        except CommandError as error:
            answer(command, str(error))
        except MemoryError:
            answer(command, "not enough memory")
        except BrokenPipeError:
            _quiet_stdout()  # the reader of our output has gone: nothing more to say
        except Exception as error:  # the last resort: one line, not a traceback
            if os.environ.get(TRACEBACK_VARIABLE) == "1":
                raise
            answer(command, f"unexpected {type(error).__name__}: {exception_text(error)} "
                            f"({TRACEBACK_VARIABLE}=1 shows where)")
        return FAILED
    except KeyboardInterrupt:
        # A second Ctrl-C would otherwise break into the answer or the interpreter's
        # exit with a traceback. The process's own command line keeps ignoring them.
        previous = _ignore_interrupts()
        try:
            # Printed here, not by answer(): the interrupt may have come before its import.
            print(f"{command}: interrupted", file=sys.stderr, flush=True)
        finally:
            if argv is not None and previous is not None:
                signal.signal(signal.SIGINT, previous)
        return 130


def _commands(parser: argparse.ArgumentParser) -> list[str]:
    return [name for action in parser._actions
            if isinstance(action, argparse._SubParsersAction) for name in action.choices]


def _ignore_interrupts() -> Any:
    """Ignores SIGINT from now on; the handler it had (``None`` off the main thread)."""
    if threading.current_thread() is not threading.main_thread():
        return None
    return signal.signal(signal.SIGINT, signal.SIG_IGN)


def _quiet_stdout() -> None:
    # Python would complain once more at exit, flushing into the closed pipe.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
