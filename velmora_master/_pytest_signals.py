"""SIGTERM and SIGHUP to a pytest session that uses the plugin: the session ends as Ctrl-C ends it, so that the
fixtures' finalisers stop the servers, and pytest then exits with 128 + the signal's number.

A CI time-out or a closed terminal would otherwise end pytest at once, and its servers only through their
guards, with nothing reported. A signal is raised as `SessionStopped`, a KeyboardInterrupt, which pytest
answers by tearing everything down, except during a test's teardown, which runs to its end first (pytest would
otherwise drop the finalisers of that test that had not run yet; a teardown that fails is reported, and the
signal is raised as the next test sets up), and once the session is finishing.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import FrameType

type _Handler = Callable[[int, FrameType | None], object] | int | signal.Handlers | None

HANDLED = ("SIGTERM", "SIGHUP")  # Windows has no SIGHUP


class SessionStopped(KeyboardInterrupt):
    """Raised by the handlers: a KeyboardInterrupt, so that pytest and the manager clean up as after Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"stopped by {signal.Signals(signum).name}")
        self.signum = signum


class SessionSignals:
    """The handlers of one session; the first signal decides the exit status."""

    def __init__(self) -> None:
        self.received: int | None = None
        self.is_finishing = False  # the session's own teardown has begun
        self._armed = False
        self._deferring = False
        self._previous: dict[int, _Handler] = {}

    def install(self) -> None:
        """Handle each signal whose action is still the default one: a handler of the user's own stays."""
        if threading.current_thread() is not threading.main_thread():
            return  # only the main thread may set handlers; pytest run from a thread keeps the defaults
        for name in HANDLED:
            signum = getattr(signal, name, None)
            if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
                self._previous[signum] = signal.signal(signum, self._handle)
        self._armed = True

    def restore(self) -> None:
        self._armed = False
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()

    def finishing(self) -> None:
        """From here on (the session's own teardown) a signal is only recorded."""
        self.is_finishing = True
        self._armed = False

    @contextmanager
    def deferred(self) -> Iterator[None]:
        """A signal inside the block is raised once the block has run to its end; when the block fails, its
        error is left to be reported and the signal waits for `raise_held` (the next test's setup)."""
        self._deferring = True
        try:
            yield
        finally:
            self._deferring = False
        self.raise_held()

    def raise_held(self) -> None:
        """Raises a signal that a deferred block held back, if any."""
        if self._armed and self.received is not None:
            self._armed = False
            raise SessionStopped(self.received)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        if self.received is None:
            self.received = signum
        if self._armed and not self._deferring:
            self._armed = False
            raise SessionStopped(signum)
