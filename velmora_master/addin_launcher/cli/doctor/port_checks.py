"""The doctor's check of the configured port: free, or held by whom."""

from __future__ import annotations

from ..._ports import Availability, availability
from ..parser import PROG
from ..port_holder import held_by, port_holders, stop_command
from .check import Check, failed, passed

ANOTHER_PORT = f"{PROG} run --port 0"


def port_check(port: int, addin_path: str | None) -> Check:
    if port == 0:
        return passed("port", "port 0: a free one is picked at each start", port=0, state="free", holders=[])
    state = availability(port)
    if state is Availability.FREE:
        return passed("port", f"port {port} is free", port=port, state="free", holders=[])
    if state is Availability.PRIVILEGED:
        return failed("port", f"port {port} needs privileges", ANOTHER_PORT, port=port, state="privileged", holders=[])
    holders = port_holders(port, addin_path)
    fix = stop_command(port) if holders and all(holder.ours for holder in holders) else ANOTHER_PORT
    return failed(
        "port", held_by(port, holders), fix, port=port, state="in-use", holders=[h.as_json() for h in holders]
    )
