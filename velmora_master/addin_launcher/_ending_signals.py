"""The signals that would end a server's host before its clean-up ran, and that the host can catch: the one list
the command line installs its handlers from (early in __main__, then in cli/signals.py). Each of them stops the
server as SIGTERM does, and the command line exits with 128 + its number.

Caught:
- SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal closed), SIGQUIT (Ctrl-\\), SIGUSR1, SIGUSR2, SIGALRM;
- SIGVTALRM and SIGPROF: timers this program never sets, so only someone's kill sends them;
- SIGXCPU: the CPU-time limit was reached; SIGKILL follows at the hard limit, so the server is stopped while
  there is still time;
- SIGPWR and SIGSTKFLT, and SIGIO where it ends a process by default (Linux; elsewhere it is ignored);
  SIGBREAK (Ctrl-Break) on Windows;
- the real-time signals SIGRTMIN to SIGRTMAX: nothing here uses them, and by default each one ends the process.

Left alone:
- SIGKILL and SIGSTOP cannot be caught;
- SIGPIPE and SIGXFSZ: CPython ignores both at start-up, so a write to a reader that has gone, or past the
  file-size limit, fails with an error instead of ending the process (cli/streams.py drops what a reader that
  has gone cannot take);
- SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS and SIGABRT come from the faulting instruction, a
  breakpoint, a refused system call or abort(), in the thread at fault. A handler written in Python runs only
  once the C handler has returned, that is, back at the instruction that faults again, or after abort() has
  ended the process anyway: nothing of the clean-up can run;
- the signals that by default are ignored, stop or continue the process (SIGCHLD, SIGURG, SIGWINCH, SIGTSTP,
  SIGTTIN, SIGTTOU, SIGCONT).

A signal that was ignored when the program started stays ignored: `nohup` ignores SIGHUP, and a shell ignores
SIGINT and SIGQUIT for the jobs it runs in the background. That is how the caller asked the program to run.

Only the bare `_signal` module is imported: __main__ installs the handlers before anything heavier.
"""

from __future__ import annotations

import sys

# `_signal` has no type stubs; `signal` wraps the same functions and constants (as enums, which are ints), so the
# checker reads this module's use of `_signal` against it. A constant rather than typing.TYPE_CHECKING: importing
# typing costs more than `signal` does.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import signal as _signal
    from collections.abc import Callable, Iterable
    from types import FrameType

    # What signal.signal takes and gives back: a function, SIG_DFL or SIG_IGN (as Handlers or int), or None for
    # a handler not installed from Python.
    type SignalHandler = Callable[[int, FrameType | None], object] | int | _signal.Handlers | None
else:
    import _signal

_NAMED = (
    "SIGHUP",
    "SIGINT",
    "SIGQUIT",
    "SIGTERM",
    "SIGUSR1",
    "SIGUSR2",
    "SIGALRM",
    "SIGVTALRM",
    "SIGPROF",
    "SIGXCPU",
    "SIGPWR",
    "SIGSTKFLT",
    "SIGBREAK",
)
# Ends a process by default on Linux only (SIGPOLL is the same signal there).
_LINUX_NAMED = ("SIGIO",)


def ending_signals() -> list[int]:
    """The numbers of the signals above that this system has."""
    names = _NAMED + (_LINUX_NAMED if sys.platform.startswith("linux") else ())
    found: list[int] = [getattr(_signal, name) for name in names if hasattr(_signal, name)]
    if hasattr(_signal, "SIGRTMIN"):
        found += range(_signal.SIGRTMIN, _signal.SIGRTMAX + 1)
    return found


def catch(
    handler: Callable[[int, FrameType | None], object], signals: Iterable[int] | None = None
) -> dict[int, SignalHandler]:
    """Install `handler` for `signals`; by default for each ending signal that would end the process now (one
    neither ignored nor handled by someone else). Returns what it replaced, by signal."""
    replaced: dict[int, SignalHandler] = {}
    for signum in ending_signals() if signals is None else signals:
        if signals is None and _signal.getsignal(signum) not in (_signal.SIG_DFL, _signal.default_int_handler):
            continue
        replaced[signum] = _signal.signal(signum, handler)
    return replaced


def name_of(signum: int) -> str:
    """The signal's name as users know it: SIGHUP, SIGRTMIN+3; the number of one without a name."""
    import signal  # only when a name is shown: the enum costs tens of milliseconds to import

    try:
        return signal.Signals(signum).name
    except ValueError:
        pass
    if hasattr(signal, "SIGRTMIN") and signal.SIGRTMIN < signum < signal.SIGRTMAX:
        return f"SIGRTMIN+{signum - signal.SIGRTMIN}"
    return str(signum)
