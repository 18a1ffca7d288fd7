"""Argument types shared by the subcommands; each refusal says what was given."""

from __future__ import annotations

import argparse
import math

from quillmoor.merging.forgiving_merge import MAX_THREADS


def thread_count(text: str) -> int:
    value = _whole_number(text)
    if not 0 <= value <= MAX_THREADS:
        raise argparse.ArgumentTypeError(
            f"must be from 0 (all cores) to {MAX_THREADS}, got {value}"
        )
    return value


def worker_count(text: str) -> int:
    value = _whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def point_count(text: str) -> int:
    try:
        value = int(float(text)) if "e" in text.lower() else int(text)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def column_mapping(text: str) -> tuple[str, str]:
    """``ROLE=NAME``: which column of a table holds one of the values the merge reads."""
    role, equals, name = text.partition("=")
    if not equals or not role or not name:
        raise argparse.ArgumentTypeError(f"expected ROLE=NAME, e.g. x=easting, got {text!r}")
    return role, name


def _whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def memory_size(text: str) -> int:
    """``256M``, ``2G``: the memory a merge piece by piece may hold."""
    from quillmoor.pieces.memory_budget import parse_memory_size

    try:
        return parse_memory_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
