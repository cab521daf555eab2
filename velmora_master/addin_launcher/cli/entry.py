"""Runs one command, and turns what ended it into an exit status: done, a failure told in one line, a usage
error, or a signal (128 + its number)."""

from __future__ import annotations

import logging
import sys
import traceback
from collections.abc import Collection

from .._ending_signals import name_of
from ..exceptions import AddinLauncherError
from .certs import certs
from .doctor import doctor
from .exit_status import CliError, ExitStatus
from .parser import PROG, build_parser
from .serve import serve
from .signals import Interrupted, SignalGuard
from .stop import stop
from .streams import steady_streams
from .verbosity import configure_logging

logger = logging.getLogger(__package__)


def main(
    argv: list[str] | None = None, early_signals: list[int] | None = None, caught: Collection[int] | None = None
) -> int:
    """Run the command line. `caught` are the signals whose early handlers were installed before it was imported
    (None: none were), `early_signals` those of them that came before it could handle them."""
    guard = SignalGuard()
    guard.install(caught)
    if early_signals:
        guard.received = early_signals[0]
    restore_streams = steady_streams()
    try:
        return _main(argv, guard)
    finally:
        guard.restore()
        restore_streams()


def _main(argv: list[str] | None, guard: SignalGuard) -> int:
    # Both streams may be pipes read while the server runs: each line must arrive when it is written.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(line_buffering=True)
    args = build_parser().parse_args(argv)
    status = ExitStatus.FAILURE
    try:
        # From here on a signal cuts the work short; each step cleans up after itself on the way out. Once it
        # has ended, a signal is only recorded: what is told of the end is not cut short.
        guard.arm()
        try:
            configure_logging(args)
            if args.command == "certs":
                status = certs(args)
            elif args.command == "doctor":
                status = doctor(args)
            elif args.command == "stop":
                status = stop(args)
            else:
                status = serve(args, guard, demo=args.command == "demo")
        finally:
            guard.armed = False
    except Interrupted as interruption:
        logger.debug("interrupted by %s", name_of(interruption.signum))
    except Exception as error:  # every failure ends as one line; --debug shows where
        if args.debug:
            traceback.print_exc()
        print(f"{PROG}: error: {_one_line(error)}", file=sys.stderr)
        status = error.status if isinstance(error, CliError) else ExitStatus.FAILURE
    if guard.received is not None:
        print(f"{PROG}: stopped by {name_of(guard.received)}", file=sys.stderr)
        return ExitStatus.after_signal(guard.received)
    return status


def _one_line(error: Exception) -> str:
    """What went wrong, in words the user can act on: our own errors say it; a system error its cause."""
    if isinstance(error, (CliError, AddinLauncherError)):
        return str(error)
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}{f': {error.filename}' if error.filename else ''}"
    return f"{type(error).__name__}: {error}"
