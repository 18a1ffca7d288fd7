"""Argument types shared by the subcommands."""

from __future__ import annotations

import argparse
import math


def thread_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 (all cores) or more")
    return value


def point_count(text: str) -> int:
    try:
        value = int(float(text)) if "e" in text.lower() else int(text)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("must be a finite number")
    return value


def column_mapping(text: str) -> tuple[str, str]:
    """``ROLE=NAME``: which column of a table holds one of the values the merge reads."""
    role, equals, name = text.partition("=")
    if not equals or not role or not name:
        raise argparse.ArgumentTypeError(f"expected ROLE=NAME, e.g. x=easting, got {text!r}")
    return role, name
