"""`GuardedServerManager`: the manager whose server outlives neither the process that started it nor its own
stop, wherever its helpers went. The command line and the pytest plugin run it; so may any program."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import cast

from . import _guard, _processes
from ._processes import Found
from .server_manager import AddinServerManager

__all__ = ["Found", "GuardedServerManager"]

# Where the guard runs: it needs sessions and posix_spawn (see _guard).
_GUARDED = sys.platform != "win32" and bool(sys.executable)


class GuardedServerManager(AddinServerManager):
    """An `AddinServerManager` that leaves nothing of its server behind, however the program ends.

    The start and stop sequences are the class's own; every launch adds:

    - a mark: the server's environment gets `VELMORA_ADDIN_SERVER_MARK` with a value of its own, which
      everything the server starts inherits, whatever process group or session it moves to;
    - a guard (POSIX): a small process in a session of its own, one for the whole program, started with its
      first launch and told each mark before the server is launched. Should this program die without stopping
      the server (SIGKILL, a crash, an unhandled signal), the guard ends everything carrying the marks it
      watches within a second (SIGTERM, 5 s grace, SIGKILL), then exits; it exits at once when the program
      ends normally. A stop tells it the mark is done with.
    - after the class's own stop (`stop()`, the end of a `with` block, the exit hook, a start that fails), every
      process still carrying the mark is ended the same way; `left_behind` lists them.

    Overrides `start`, `_get_platform_popen_args` (its `env` option) and `_terminate_process`; a further
    subclass that overrides them calls these.
    """

    _mark: str | None = None
    _left_behind: tuple[Found, ...] = ()
    _guard_pid: int | None = None

    @property
    def mark(self) -> str | None:
        """The value of `VELMORA_ADDIN_SERVER_MARK` in the environment of the server launched last, until it is
        stopped; None before."""
        return self._mark

    @property
    def left_behind(self) -> tuple[Found, ...]:
        """Each process that carried the mark and outlived its server's own stop (its group's end), and that the
        manager ended after it: pid, name and command line, over all the manager's launches."""
        return self._left_behind

    @property
    def guard_pid(self) -> int | None:
        """The pid of the guard that watched the latest launch (POSIX); None before the first, or on Windows."""
        return self._guard_pid

    def start(self) -> None:
        try:
            super().start()
        except BaseException as error:
            if self._process is None:  # the server is not held (never launched, or gone): neither is its mark
                self._release(_grace_after(error))
            raise

    def _get_platform_popen_args(self) -> dict[str, object]:
        options = dict(super()._get_platform_popen_args())
        self._release(_processes.GRACE_SECONDS)  # a launch whose server exited without being stopped
        mark = _processes.new_mark()
        inherited = cast(Mapping[str, str] | None, options.get("env"))
        options["env"] = {**(os.environ if inherited is None else inherited), _processes.SERVER_MARK_ENV: mark}
        self._mark = mark  # first: should telling the guard fail, a failed start still releases the mark
        if _GUARDED:
            self._guard_pid = _guard.watch(mark)  # before the server: no moment exists when it runs unguarded
        return options

    def _terminate_process(self) -> None:
        try:
            super()._terminate_process()
        except BaseException as error:
            self._release(_grace_after(error))
            raise
        self._release(_processes.GRACE_SECONDS)

    def _release(self, grace: float) -> None:
        """End what still carries the launch's mark, then tell the guard; cut short, the guard ends it."""
        mark, self._mark = self._mark, None
        if mark is None:
            return
        ended = False
        try:
            found = _processes.end_marked(mark, grace=grace)
            ended = True
        finally:
            if _GUARDED:
                (_guard.stand_down if ended else _guard.hand_over)(mark)
        self._left_behind += tuple(found)


def _grace_after(error: BaseException) -> float:
    # A Ctrl-C (or the CLI's signal, a KeyboardInterrupt too) means now: no grace, as the class's own stop does.
    return _processes.GRACE_SECONDS if isinstance(error, Exception) else 0.0
