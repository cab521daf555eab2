"""The add-in server's port, as the command line and the pytest plugin see it from outside: a free one to start
on, and whether one already accepts connections."""

import socket


def free_port() -> int:
    """A TCP port nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]  # (host, port) for AF_INET
        return port


def accepts(port: int) -> bool:
    """Whether something accepts TCP connections on `port` of localhost now (asked for up to a second)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.settimeout(1)
        return probe.connect_ex(("localhost", port)) == 0
