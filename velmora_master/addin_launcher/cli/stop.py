"""`stop --port N`: end a server of ours that holds the port (one a killed run left behind), and nothing else.

A server of ours carries the mark of our launches, or runs the add-in's server.js (or the compiled server) on
that port. It is ended as the manager's stop ends one: SIGTERM to the group it leads, a grace period, SIGKILL.
Any other holder is refused, named, and left alone.
"""

from __future__ import annotations

import argparse

from .exit_status import CliError, ExitStatus

# As long as the manager's own stop waits.
GRACE_SECONDS = 5.0


def stop(args: argparse.Namespace) -> ExitStatus:
    from .. import _processes
    from .port_holder import held_by, port_holders

    port: int = args.port
    holders = port_holders(port, args.addin_path)
    if not holders:
        print(f"Nothing listens on port {port}: nothing to stop")
        return ExitStatus.DONE
    if not all(holder.ours for holder in holders):
        raise CliError(f"{held_by(port, holders)}, not by a server of ours: not stopped")
    for holder in holders:
        assert holder.pid is not None  # ours only when it could be seen
        killed = _processes.end_server_process(holder.pid, GRACE_SECONDS)
        how = f"killed after {GRACE_SECONDS:g} s" if killed else "ended by SIGTERM"
        print(f"Stopped the server of ours on port {port}: pid {holder.pid}, {how}")
    return ExitStatus.DONE
