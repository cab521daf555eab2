"""SIGINT and SIGTERM during a run: they cut the work short where it can be, and never leave a server behind."""

from __future__ import annotations

import _thread
import os
import signal
import time
from collections.abc import Callable
from types import FrameType

from .. import _processes
from .exit_status import ExitStatus

# A signal ends the program within this time whatever happens: the stop's 5 s grace period and a margin.
LAST_RESORT_SECONDS = 8.0

# What signal.signal takes and gives back: a function, SIG_DFL or SIG_IGN (as Handlers or int), or None for a
# handler not installed from Python.
type SignalHandler = Callable[[int, FrameType | None], object] | int | signal.Handlers | None


class Interrupted(KeyboardInterrupt):
    """Raised by the SIGINT and SIGTERM handlers.

    A KeyboardInterrupt, so every cleanup that already handles Ctrl-C (the manager's, the standard
    library's) treats SIGTERM alike.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class SignalGuard:
    """SIGINT/SIGTERM handlers that raise Interrupted only where the program can be cut short.

    While `armed`, a signal raises Interrupted (once: the handler disarms itself as it raises), which
    unwinds whatever blocking call is running, compiled or not: the handler runs inside the calls the
    compiled code makes back into Python (sleeps, socket connects, waits). Elsewhere, during cleanup, a
    signal is only recorded. The first signal decides the exit status.
    """

    def __init__(self) -> None:
        self.received: int | None = None
        self.armed = False
        self.server_group: int | None = None  # the server's process group, once it is launched
        self._previous: dict[int, SignalHandler] = {}

    def install(self) -> None:
        for signum in (signal.SIGINT, signal.SIGTERM):
            self._previous[signum] = signal.signal(signum, self._handle)

    def restore(self) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        # No output here: the handler may run in the middle of a write to the same stream.
        if self.received is None:
            self.received = signum
            try:
                _thread.start_new_thread(self._last_resort, (signum,))
            except RuntimeError:
                pass  # the interpreter is already shutting down: it ends by itself
        if self.armed:
            self.armed = False
            raise Interrupted(signum)

    def _last_resort(self, signum: int) -> None:
        # The orderly exit takes well under a second, or the stop's grace period for a server that ignores
        # SIGTERM. Should it ever hang (an interrupted library call that left a lock held), the server is killed
        # and the process ends anyway: a signal must never leave the user waiting or a server behind.
        time.sleep(LAST_RESORT_SECONDS)
        try:
            _processes.kill_group(self.server_group)
        except OSError:
            pass
        os._exit(ExitStatus.after_signal(signum))

    def arm(self) -> None:
        """Arm; a signal that came while disarmed is acted on now."""
        self.armed = True
        if self.received is not None:
            self.armed = False
            raise Interrupted(self.received)
