"""What the command line, the pytest plugin and the guard need about a server's processes: ending its process
group at once, or after a grace period; the mark a launch puts into the server's environment, and finding and
ending what carries it; finding what the server left in its session and among this process's children; telling a
server of ours from another program; and reaping.

Discovery goes through psutil, imported on first use: the command line imports this module before its signal
handlers are ready and must load quickly. Groups and sessions exist on POSIX only; the mark is found wherever
psutil reads a process's environment (Linux, macOS, Windows). Nothing here logs or prints: the callers say what
was found and ended.
"""

from __future__ import annotations

import itertools
import os
import signal
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    import subprocess

    import psutil

# The variable whose value marks every process of one launch: the server and whatever it starts inherit it, so
# what left the server's process group or session is still found. Its value is unique per launch (new_mark).
SERVER_MARK_ENV = "VELMORA_ADDIN_SERVER_MARK"
# How long what is asked to end (SIGTERM) may take before it is killed: the grace the manager's stop gives.
GRACE_SECONDS = 5.0
# How long a child killed at once may take to be reaped before the caller is told it is still there.
KILL_WAIT_SECONDS = 5.0
# How often a wait for processes to end looks again.
POLL_SECONDS = 0.05


class Found(NamedTuple):
    """A live process that discovery found."""

    pid: int
    name: str
    command: str  # its command line on one line, or its name where the system tells none

    def describe(self) -> str:
        return f"{self.pid} ({self.command})"


# ---- ending and reaping -----------------------------------------------------------------------------------------


def kill_group(group: int | None, pid: int | None = None) -> None:
    """SIGKILL the process group `group` at once; or `pid` alone where the group is unknown or is this process's
    own, which the caller must outlive. On Windows, the process tree of `pid`. What is gone already is no error."""
    if sys.platform == "win32":
        if pid is not None:
            import subprocess  # only here: elsewhere the command line starts without it

            subprocess.run(["taskkill", "/F", "/T", "/PID", str(pid)], capture_output=True, check=False)
        return
    try:
        if group is not None and group != os.getpgrp():
            os.killpg(group, signal.SIGKILL)
        elif pid is not None:
            os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def kill_now(handle: subprocess.Popen[bytes], group: int | None) -> bool:
    """SIGKILL a launched child and its group at once and reap it; False when it has not ended in time.

    A child whose exit was collected is left alone: its pid and group may be someone else's by now.
    """
    if handle.returncode is not None:
        return True
    kill_group(group, handle.pid)
    try:
        handle.wait(timeout=KILL_WAIT_SECONDS)
    except Exception:  # nothing more can be done: the caller says what is left
        return False
    return True


def exited(handle: subprocess.Popen[bytes]) -> bool:
    """Whether the child has exited, without collecting its exit: its pid and group stay reserved for the stop."""
    if hasattr(os, "waitid"):
        try:
            return os.waitid(os.P_PID, handle.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        except ChildProcessError:
            return True  # collected elsewhere
    return handle.poll() is not None


def reap_orphans(known: set[int]) -> list[int]:
    """End and reap each child of this process that is not in `known` and leads a process group; the pids of
    those reaped (one that SIGKILL does not end within KILL_WAIT_SECONDS is left, not waited on for ever).

    A signal can land between a launch and the moment its handle is stored (inside Popen's own Python code): the
    child then belongs to nobody. Only a child that leads a group of its own, as the server does, is taken for
    one: whatever else the process runs (when the command line is called from a program) is not ours to end.
    """
    ended = []
    for pid in set(children()) - known:
        if group_of(pid) != pid:
            continue
        kill_group(pid)
        if _reaped_within(pid, KILL_WAIT_SECONDS):
            ended.append(pid)
    return ended


def _reaped_within(pid: int, seconds: float) -> bool:
    # Bounded: a child that SIGKILL does not end (stuck in the kernel) must not hang the caller's exit.
    deadline = time.monotonic() + seconds
    while True:
        try:
            if os.waitpid(pid, os.WNOHANG)[0]:
                return True
        except ChildProcessError:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(POLL_SECONDS)


def kill_survivors(find: Callable[[], list[Found]], grace: float) -> list[Found]:
    """Give what `find` finds up to `grace` seconds to end by itself, then SIGKILL what is left; what that was."""
    deadline = time.monotonic() + grace
    while (left := find()) and time.monotonic() < deadline:
        time.sleep(POLL_SECONDS)
    for found in left:
        try:
            os.kill(found.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return left


# ---- the mark ---------------------------------------------------------------------------------------------------


def new_mark() -> str:
    """A value for SERVER_MARK_ENV that no other launch shares."""
    return os.urandom(16).hex()


def mark_of(pid: int) -> str | None:
    """The server mark that the process `pid` carries; None when it carries none, is gone, or may not be read."""
    import psutil

    try:
        return psutil.Process(pid).environ().get(SERVER_MARK_ENV)
    except psutil.Error:
        return None


def marked(mark: str | None = None) -> list[Found]:
    """The live processes carrying the server mark `mark` (any server mark when None), this process aside."""
    return [found for _, found in _scan(_carrying(None if mark is None else {mark}))]


def end_marked(*marks: str, grace: float = GRACE_SECONDS) -> list[Found]:
    """End every live process carrying one of `marks`, in whatever group or session: SIGTERM, up to `grace`
    seconds to exit, then SIGKILL. Returns what was found, in the order found.

    Each look finds afresh, so a process that a helper forks meanwhile is ended too. Only what carries a mark is
    signalled, through psutil, which checks that a pid still names the process it found: a stranger that took a
    freed pid is never hit. Gives up, returning, when something outlives the SIGKILL by KILL_WAIT_SECONDS.
    """
    seen: dict[int, Found] = {}
    carrying = _carrying(set(marks))
    term_deadline = time.monotonic() + grace
    kill_deadline: float | None = None
    while left := _scan(carrying):
        now = time.monotonic()
        if kill_deadline is None and now >= term_deadline:
            kill_deadline = now + KILL_WAIT_SECONDS
        elif kill_deadline is not None and now >= kill_deadline:
            break
        for process, found in left:
            if kill_deadline is not None:
                _quietly(process.kill)
            elif found.pid not in seen:
                _quietly(process.terminate)
            seen.setdefault(found.pid, found)
        time.sleep(POLL_SECONDS)
    return list(seen.values())


def end_server_process(pid: int, grace: float) -> list[Found]:
    """End a server that is not this process's child: SIGTERM, `grace` seconds, then SIGKILL; what had to be killed.

    The whole process group when the server leads its own, as the manager starts one (never this process's own
    group), else the server alone; and whatever carries the server's mark, in whatever group it moved to. On
    Windows, its process tree (no grace there: taskkill /F).
    """
    import psutil

    if sys.platform == "win32":
        kill_group(None, pid)
        return []
    try:
        server = psutil.Process(pid)  # signals through it reach this very process, never one that reused its pid
    except psutil.NoSuchProcess:
        return []

    def still_running() -> list[Found]:
        try:
            if server.is_running() and server.status() != psutil.STATUS_ZOMBIE:
                return [_found(server)]
        except psutil.Error, OSError:
            pass
        return []

    mark = mark_of(pid)  # read while the server lives: its helpers that left the group carry it too
    leads_group = group_of(pid) == pid and pid != os.getpgrp()
    try:
        if leads_group:
            os.killpg(pid, signal.SIGTERM)
        else:
            server.send_signal(signal.SIGTERM)
    except psutil.NoSuchProcess, ProcessLookupError:
        return []
    strays = [process for process, _ in _scan(_carrying({mark}))] if mark is not None else []
    for stray in strays:
        _quietly(stray.terminate)

    def left_running() -> list[Found]:
        return (
            (group_members(pid) if leads_group else []) or still_running() or (marked(mark) if mark is not None else [])
        )

    def group_still_ours() -> bool:
        # Its id is the server's pid: ours while the server holds it (psutil compares start times), or while no
        # process does (then only members of the group can keep the id from being handed out again).
        try:
            return server.is_running() or not psutil.pid_exists(pid)
        except psutil.Error, OSError:
            return False

    left = kill_survivors(left_running, grace)
    if left and leads_group and group_still_ours():
        kill_group(pid)  # members this system does not let us list
    return left


# ---- finding ----------------------------------------------------------------------------------------------------


def carries_server_mark(environ: Mapping[str, str]) -> bool:
    """Whether a process's environment marks it as a server launched by the command line or the pytest plugin.

    The variable's name is the one the launches set.
    """
    return SERVER_MARK_ENV in environ


def is_our_server(process: psutil.Process, port: int, programs: Sequence[Path]) -> bool:
    """Whether `process` is a server of ours on `port`: it carries the mark, or its command line runs one of
    `programs` (the add-in's server.js, the compiled server) with `--port port`. What the system does not let
    this user read of it counts as not ours."""
    import psutil

    try:
        if carries_server_mark(process.environ()):
            return True
        command = process.cmdline()
        folder = Path(process.cwd())
    except psutil.AccessDenied, psutil.NoSuchProcess, psutil.ZombieProcess:
        return False
    wanted = {Path(os.path.abspath(program)) for program in programs}
    runs_ours = any(Path(os.path.abspath(folder / word)) in wanted for word in command)
    on_port = ("--port", str(port)) in itertools.pairwise(command)
    return runs_ours and on_port


def group_of(pid: int) -> int | None:
    """The process group of `pid`; None where the system has none (Windows) or once `pid` is gone."""
    if not hasattr(os, "getpgid"):
        return None
    try:
        return os.getpgid(pid)
    except ProcessLookupError:
        return None


def leader(pid: int) -> int | None:
    """`pid` when it leads its own process group and session, as the manager starts a server; else None.

    Only then can what it left behind be told from the caller's own processes.
    """
    if sys.platform == "win32":
        return None
    try:
        return pid if os.getpgid(pid) == pid and os.getsid(pid) == pid else None
    except ProcessLookupError:
        return None


def children() -> list[int]:
    """Pids of this process's children, those that have exited but are not reaped yet included."""
    import psutil

    return [child.pid for child in psutil.Process().children()]


def group_members(group: int) -> list[Found]:
    """The live processes of the process group `group` (POSIX)."""
    return [found for _, found in _scan(lambda process: os.getpgid(process.pid) == group)]


def session_members(session: int) -> list[Found]:
    """The live processes of the session `session` (POSIX), in whatever group they moved to."""
    return [found for _, found in _scan(lambda process: os.getsid(process.pid) == session)]


def _carrying(marks: set[str] | None) -> Callable[[psutil.Process], bool]:
    """Whether a process carries one of `marks` (any server mark when None)."""

    def carries(process: psutil.Process) -> bool:
        value = process.environ().get(SERVER_MARK_ENV)
        return value is not None and (marks is None or value in marks)

    return carries


def _scan(match: Callable[[psutil.Process], bool]) -> list[tuple[psutil.Process, Found]]:
    """Each live process that `match` accepts, this one aside, with what it is.

    A process that has exited but is not reaped yet counts as gone: it runs nothing any more. One that vanishes
    while it is looked at, or that may not be read (another user's), is passed over.
    """
    import psutil

    found = []
    for process in psutil.process_iter():
        if process.pid == os.getpid():
            continue
        try:
            if not match(process) or process.status() == psutil.STATUS_ZOMBIE:
                continue
            found.append((process, _found(process)))
        except psutil.Error, OSError:
            continue
    return found


def _found(process: psutil.Process) -> Found:
    """What `process` is, for a report. Raises psutil's errors for a process that is gone or may not be read."""
    name = process.name()
    command = " ".join(" ".join(process.cmdline()).split())  # an argument may hold a program's lines
    return Found(process.pid, name, command or name)


def _quietly(act: Callable[[], None]) -> None:
    """Signal through psutil. A process that is gone already is no error; one that may not be signalled is
    found again at the next look, and finally returned to the caller as still there."""
    import psutil

    try:
        act()
    except psutil.Error:
        pass
