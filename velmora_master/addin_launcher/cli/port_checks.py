"""The doctor's check of the configured port: free, or taken."""

from __future__ import annotations

from .._ports import Availability, availability
from .diagnosis import Check, failed, passed
from .parser import PROG

ANOTHER_PORT = f"{PROG} run --port 0"


def port_check(port: int) -> Check:
    if port == 0:
        return passed("port", "port 0: a free one is picked at each start", port=0, state="free")
    state = availability(port)
    if state is Availability.FREE:
        return passed("port", f"port {port} is free", port=port, state="free")
    if state is Availability.PRIVILEGED:
        return failed("port", f"port {port} needs privileges", ANOTHER_PORT, port=port, state="privileged")
    return failed("port", f"port {port} is in use", ANOTHER_PORT, port=port, state="in-use")
