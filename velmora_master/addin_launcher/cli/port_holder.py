"""Who holds a port, told in words: pid, program, command line and user, as far as the system lets this user
see them, and whether it is a server of ours, which `stop --port N` may end."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from .parser import PROG

# Command-line options whose value is a secret, masked wherever a command line is shown.
SECRET_OPTIONS = ("--auth-token",)


@dataclass(frozen=True)
class PortHolder:
    """A process listening on the port; all None but `ours` when the system does not show it to this user."""

    pid: int | None
    program: str | None
    command_line: list[str] | None
    user: str | None
    ours: bool

    def describe(self) -> str:
        """`pid 4242 (node /srv/addin/server.js --port 3000 …), user ann`, or what could not be seen."""
        if self.pid is None:
            return "a process this user cannot see (another user's)"
        shown = " ".join(self.command_line) if self.command_line else self.program or "?"
        return f"pid {self.pid} ({shown}), user {self.user or '?'}"

    def as_json(self) -> dict[str, object]:
        return {
            "pid": self.pid,
            "program": self.program,
            "command_line": self.command_line,
            "user": self.user,
            "ours": self.ours,
        }


def port_holders(port: int, addin_path: str | None) -> list[PortHolder]:
    """Every process listening on `port`; a server of ours runs the add-in's server.js in `addin_path` (as `run`
    finds it) or the compiled server, or carries the mark of our launches."""
    import psutil

    from .. import _processes
    from .._ports import listeners
    from ..config import SERVER_SCRIPT, Config

    config = Config(addin_path)
    programs = [config.get_binary_path()]
    if config.addin_path is not None:
        programs.append(config.addin_path / SERVER_SCRIPT)
    holders = []
    for pid in listeners(port):
        if pid is None:
            holders.append(PortHolder(None, None, None, None, ours=False))
            continue
        try:
            process = psutil.Process(pid)
        except psutil.NoSuchProcess:
            continue  # it has just let go
        holders.append(
            PortHolder(
                pid,
                _read(process.name),
                _masked(_read(process.cmdline)),
                _read(process.username),
                ours=_processes.is_our_server(process, port, programs),
            )
        )
    return holders


def _read[T](read: Callable[[], T]) -> T | None:
    """What psutil tells of a process, or None where the system refuses or the process is gone."""
    import psutil

    try:
        return read()
    except psutil.AccessDenied, psutil.NoSuchProcess, psutil.ZombieProcess:
        return None


def _masked(command: list[str] | None) -> list[str] | None:
    if command is None:
        return None
    return [
        "***" if number > 0 and command[number - 1] in SECRET_OPTIONS else word for number, word in enumerate(command)
    ]


def held_by(port: int, holders: list[PortHolder]) -> str:
    """`port 3000 is held by …`: the holders, ours named as such."""
    ours = [holder for holder in holders if holder.ours]
    if ours and len(ours) == len(holders):
        return f"port {port} is held by a server of ours: {'; '.join(h.describe() for h in ours)}"
    strangers = [holder for holder in holders if not holder.ours]
    return f"port {port} is in use by {'; '.join(h.describe() for h in strangers) or 'another program'}"


def stop_command(port: int) -> str:
    return f"{PROG} stop --port {port}"
