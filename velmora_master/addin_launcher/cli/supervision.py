"""The launched server as the command line follows it: its handle and group from the moment it exists, its
captured output relayed, and its end, at once when a signal asks, with any server a signal orphaned and whatever
carried its mark. The manager is the guarded one: should this process die anyway, its guard ends the server."""

from __future__ import annotations

import logging
import sys
import threading
import time
from collections.abc import Callable
from typing import IO, TYPE_CHECKING, TextIO

from .. import _processes
from .signals import Interrupted, SignalGuard
from .status_line import StatusLine

if TYPE_CHECKING:
    # Imported where they are used, once the signal handlers are in place; here only for the checker.
    import subprocess

    from ..guarded import GuardedServerManager

logger = logging.getLogger(__package__)


class Launch:
    """What the CLI knows of the server from the moment it is launched: handle, group, output readers."""

    def __init__(self, capture: bool, status: StatusLine) -> None:
        self.capture = capture
        self.status = status
        self.handle: subprocess.Popen[bytes] | None = None
        self.group: int | None = None
        self.readers: list[threading.Thread] = []
        # The children this process had before the launch (Linux), to tell an orphaned server from them.
        self.children_before = set(_processes.children()) if sys.platform.startswith("linux") else None

    def launched(self, handle: subprocess.Popen[bytes]) -> None:
        self.handle = handle
        self.group = _processes.group_of(handle.pid)
        if self.capture:
            for name, stream, sink in (("stdout", handle.stdout, sys.stdout), ("stderr", handle.stderr, sys.stderr)):
                if stream is not None:
                    reader = threading.Thread(
                        target=_relay, args=(name, stream, sink, self.status), name=f"relay-{name}", daemon=True
                    )
                    reader.start()
                    self.readers.append(reader)
        self.status.begin()


def _relay(name: str, stream: IO[bytes], sink: TextIO, status: StatusLine) -> None:
    """Copy the server's lines to `sink` until the pipe closes, so the server never blocks on a full pipe; each
    on a line of its own, never after the status line."""
    try:
        for line in iter(stream.readline, b""):
            status.write_line(sink, f"[{name}] {line.decode(errors='replace').rstrip()}\n")
    except OSError, ValueError:
        pass  # the pipe or the sink was closed at exit
    finally:
        stream.close()


def manager_class(
    guard: SignalGuard, on_launched: Callable[[subprocess.Popen[bytes]], None]
) -> type[GuardedServerManager]:
    from .._readiness import manager_ready
    from ..guarded import GuardedServerManager

    class CliServerManager(GuardedServerManager):
        """The guarded manager, telling the CLI about the process as soon as it exists (before the wait),
        counting it ready only once it answers over verified TLS (`_readiness`), and letting a signal cut any
        stop short: the CLI's own, and the one start makes after a failed wait."""

        def _wait_for_ready(self) -> bool:
            assert self._process is not None  # start() launched it just before the wait
            on_launched(self._process)
            return manager_ready(self)

        def stop(self) -> None:
            previous = guard.armed
            guard.armed = True
            try:
                super().stop()
            except BaseException:
                guard.armed = False  # whatever comes next is cleanup
                raise
            guard.armed = previous

    return CliServerManager


def end_server(manager: GuardedServerManager, launch: Launch, guard: SignalGuard) -> float | None:
    """Stop whatever the manager holds; a signal during the stop kills at once. Returns the stop's seconds."""
    began = time.perf_counter()
    stopped = None
    try:
        if manager._process is not None:
            try:
                manager.stop()  # armed while it runs: a further signal kills at once
                stopped = time.perf_counter() - began
            except Interrupted:
                logger.info("stopping cut short: killing the server")
                _kill_now(launch)
            except ProcessLookupError:
                pass  # its exit was collected before: nothing left to signal
    finally:
        guard.armed = False
        _kill_now(launch)  # does nothing after a complete stop
        if launch.handle is None or launch.handle.returncode is not None:
            guard.server_group = None  # reaped: the last resort must not aim at a group id that is free again
        if launch.children_before is not None:
            # The guard is no orphan: stood down, or ending what a stop cut short left.
            guards = {manager.guard_pid} if manager.guard_pid is not None else set()
            for pid in _processes.reap_orphans(launch.children_before | guards):
                logger.debug("ended stray server process %s", pid)
        if manager.left_behind:
            logger.warning(
                "the server left processes outside its process group; they were ended: %s",
                ", ".join(found.describe() for found in manager.left_behind),
            )
        for reader in launch.readers:
            reader.join(timeout=1)
    return stopped


def _kill_now(launch: Launch) -> None:
    """SIGKILL what is left of the server at once (a second Ctrl-C during the stop, or a stop that failed)."""
    handle = launch.handle
    if handle is not None and not _processes.kill_now(handle, launch.group):
        logger.warning("server process %s did not exit after SIGKILL", handle.pid)
