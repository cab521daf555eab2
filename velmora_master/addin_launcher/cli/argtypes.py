"""Argument types of the command line: each turns a word into a value, or says what is wrong with it."""

import argparse
import math
from collections.abc import Callable

from .verbosity import LEVELS


def port_number(allow_zero: bool, zero_means: str) -> Callable[[str], int]:
    """A TCP port, 1-65535; 0 too where `allow_zero`, which `zero_means` explains."""
    low = 0 if allow_zero else 1

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
        if not low <= value <= 65535:
            extra = f" ({zero_means})" if allow_zero else ""
            raise argparse.ArgumentTypeError(f"{value} is outside {low}-65535{extra}")
        return value

    return parse


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def logging_level(text: str) -> str:
    if text.upper() not in LEVELS:
        raise argparse.ArgumentTypeError(f"{text!r} is not one of {', '.join(LEVELS)}")
    return text.upper()
