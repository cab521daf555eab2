"""`GuardedServerManager`: the manager whose server outlives neither the process that started it nor its own
stop, wherever its helpers went. The command line and the pytest plugin run it; so may any program."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import NamedTuple, cast

from . import _processes
from ._guard import Guard
from ._processes import Found
from .server_manager import AddinServerManager

__all__ = ["Found", "GuardedServerManager"]


class _Launch(NamedTuple):
    mark: str
    guard: Guard | None


class GuardedServerManager(AddinServerManager):
    """An `AddinServerManager` that leaves nothing of its server behind, however the program ends.

    The start and stop sequences are the class's own; every launch adds:

    - a mark: the server's environment gets `VELMORA_ADDIN_SERVER_MARK` with a value of its own, which
      everything the server starts inherits, whatever process group or session it moves to;
    - a guard (POSIX): a small process started just before the server, in a session of its own. Should this
      program die without stopping the server (SIGKILL, a crash, an unhandled signal), the guard ends everything
      carrying the mark within a second (SIGTERM, 5 s grace, SIGKILL), then exits; a stop stands it down.
    - after the class's own stop (`stop()`, the end of a `with` block, the exit hook, a start that fails), every
      process still carrying the mark is ended the same way; `left_behind` lists them.

    Overrides `start`, `_get_platform_popen_args` (its `env` option) and `_terminate_process`; a further
    subclass that overrides them calls these.
    """

    _launch: _Launch | None = None
    _left_behind: tuple[Found, ...] = ()
    _guard_pid: int | None = None

    @property
    def mark(self) -> str | None:
        """The value of `VELMORA_ADDIN_SERVER_MARK` in the running server's environment; None when none runs."""
        return self._launch.mark if self._launch is not None else None

    @property
    def left_behind(self) -> tuple[Found, ...]:
        """Each process that carried the mark and outlived its server's own stop (its group's end), and that the
        manager ended after it: pid, name and command line, over all the manager's launches."""
        return self._left_behind

    @property
    def guard_pid(self) -> int | None:
        """The pid of the guard of the latest launch (POSIX); None before the first launch, or on Windows."""
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
        # Before the server, so that no moment exists when it runs unguarded.
        guard = Guard(mark) if sys.platform != "win32" and sys.executable else None
        self._launch = _Launch(mark, guard)
        self._guard_pid = guard.pid if guard is not None else None
        return options

    def _terminate_process(self) -> None:
        try:
            super()._terminate_process()
        except BaseException as error:
            self._release(_grace_after(error))
            raise
        self._release(_processes.GRACE_SECONDS)

    def _release(self, grace: float) -> None:
        """End what still carries the launch's mark, then stand its guard down; cut short, the guard takes over."""
        launch, self._launch = self._launch, None
        if launch is None:
            return
        ended = False
        try:
            found = _processes.end_marked(launch.mark, grace)
            ended = True
        finally:
            if launch.guard is not None:
                if ended:
                    launch.guard.stand_down()
                else:
                    launch.guard.hand_over()
        self._left_behind += tuple(found)


def _grace_after(error: BaseException) -> float:
    # A Ctrl-C (or the CLI's signal, a KeyboardInterrupt too) means now: no grace, as the class's own stop does.
    return _processes.GRACE_SECONDS if isinstance(error, Exception) else 0.0
