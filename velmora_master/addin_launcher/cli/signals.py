"""A signal that would end the program (Ctrl-C, SIGTERM, a closed terminal, Ctrl-\\, ...; the list is in
_ending_signals.py) cuts the work short where it can be, and never leaves a server behind."""

from __future__ import annotations

import _thread
import os
import signal
import time
from collections.abc import Iterable
from types import FrameType
from typing import TYPE_CHECKING

from .. import _processes
from .._ending_signals import catch, name_of
from .exit_status import ExitStatus

if TYPE_CHECKING:
    from .._ending_signals import SignalHandler

# A signal ends the program within this time whatever happens: the stop's 5 s grace period and a margin.
LAST_RESORT_SECONDS = 8.0


class Interrupted(KeyboardInterrupt):
    """Raised by the handler of the signals that would end the program.

    A KeyboardInterrupt, so every cleanup that already handles Ctrl-C (the manager's, the standard
    library's) treats SIGTERM, SIGHUP and the others alike.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(name_of(signum))
        self.signum = signum


class SignalGuard:
    """Handlers of the ending signals that raise Interrupted only where the program can be cut short.

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

    def install(self, signals: Iterable[int] | None = None) -> None:
        """Handle `signals` (those whose early handlers __main__ installed), or else each ending signal that
        would end the program now."""
        self._previous = catch(self._handle, signals)

    def restore(self) -> None:
        for signum, handler in self._previous.items():
            if handler is not None:  # one installed outside Python cannot be put back from here
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
