"""What the command line and the pytest plugin both need about a server's processes: ending its process group
at once, or after a grace period; finding what it left behind (its group, its session, this process's own
children); telling a server of ours from another program; and reaping.

Discovery reads /proc, so it finds processes on Linux only; elsewhere it finds none, and the checks built on it
pass over what they cannot see. Nothing here logs or prints: the callers say what was found and ended.
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

# How long a child killed at once may take to be reaped before the caller is told it is still there.
KILL_WAIT_SECONDS = 5.0
# How often a wait for processes to end looks again.
POLL_SECONDS = 0.05
# Fields of /proc/PID/stat after the name: state, parent, group, session.
_STATE, _GROUP, _SESSION = 0, 2, 3


class Found(NamedTuple):
    """A live process that discovery found."""

    pid: int
    name: str


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
    """End and reap each child of this process that is not in `known` and leads a process group; their pids.

    A signal can land between a launch and the moment its handle is stored (inside Popen's own Python code): the
    child then belongs to nobody. Only a child that leads a group of its own, as the server does, is taken for
    one: whatever else the process runs (when the command line is called from a program) is not ours to end.
    """
    ended = []
    for pid in set(children()) - known:
        if group_of(pid) != pid:
            continue
        kill_group(pid)
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass
        ended.append(pid)
    return ended


def kill_survivors(find: Callable[[], list[Found]], grace: float) -> list[Found]:
    """Give what `find` finds up to `grace` seconds to end by itself, then SIGKILL what is left; what that was."""
    deadline = time.monotonic() + grace
    while (left := find()) and time.monotonic() < deadline:
        time.sleep(POLL_SECONDS)
    for pid, _ in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return left


def end_server_process(pid: int, grace: float) -> list[Found]:
    """End a server that is not this process's child: SIGTERM, `grace` seconds, then SIGKILL; what had to be killed.

    The whole process group when the server leads its own, as the manager starts one (never this process's own
    group), else the server alone. On Windows, its process tree (no grace there: taskkill /F).
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
                return [Found(pid, server.name())]
        except psutil.NoSuchProcess:
            pass
        return []

    leads_group = group_of(pid) == pid and pid != os.getpgrp()
    try:
        if leads_group:
            os.killpg(pid, signal.SIGTERM)
        else:
            server.send_signal(signal.SIGTERM)
    except psutil.NoSuchProcess, ProcessLookupError:
        return []
    # The group's members are seen where /proc tells (Linux); the server itself everywhere.
    left = kill_survivors(lambda: (group_members(pid) if leads_group else []) or still_running(), grace)
    if left and leads_group:
        kill_group(pid)  # members this system does not let us list
    return left


# ---- finding ----------------------------------------------------------------------------------------------------


def carries_server_mark(environ: Mapping[str, str]) -> bool:
    """Whether a process's environment marks it as a server launched by the command line or the pytest plugin.

    The variable's name is the one the launches set.
    """
    return "VELMORA_ADDIN_SERVER_MARK" in environ


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
    """Pids of this process's children (Linux), those that have exited but are not reaped yet included."""
    found: list[int] = []
    for task in Path("/proc/self/task").glob("*/children"):
        try:
            found += [int(pid) for pid in task.read_text().split()]
        except OSError:
            continue
    return found


def group_members(group: int) -> list[Found]:
    """The live processes of the process group `group`."""
    return _live_where(_GROUP, group)


def session_members(session: int) -> list[Found]:
    """The live processes of the session `session`, in whatever group they moved to."""
    return _live_where(_SESSION, session)


def _live_where(field: int, value: int) -> list[Found]:
    """Each live process whose /proc/PID/stat `field` is `value`; none where /proc does not tell.

    A process that has exited but is not reaped yet counts as gone: it runs nothing any more.
    """
    found = []
    for entry in Path("/proc").glob("[0-9]*"):
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        name, _, rest = stat.partition(" (")[2].rpartition(") ")
        fields = rest.split()
        if len(fields) > field and fields[field] == str(value) and fields[_STATE] not in ("Z", "X"):
            found.append(Found(int(entry.name), name))
    return found
