"""Command line of quillmoor: ``python -m quillmoor`` or ``quillmoor``."""

from __future__ import annotations

import argparse
import sys

from quillmoor.cli import demo_command, generate_command, merge_command, merge_many_command
from quillmoor.cli.command_error import CommandError


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillmoor",
        description="Merge overlapping crop-row segments, keeping each segment's points "
                    "except those in the overlap zones at its junctions.",
    )
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND")
    demo_command.add_parser(subcommands)
    merge_command.add_parser(subcommands)
    merge_many_command.add_parser(subcommands)
    generate_command.add_parser(subcommands)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, or a usage error already explained
        return 0 if stop.code is None else stop.code if isinstance(stop.code, int) else 2
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return args.run(args)
    except CommandError as error:
        print(f"quillmoor {args.command}: error: {error}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"quillmoor {args.command}: error: not enough memory", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
