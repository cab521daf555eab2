"""The add-in server's port, as the command line and the pytest plugin see it from outside: a free one to start
on, whether one is free, whether one already accepts connections, and who listens on it."""

import enum
import errno
import socket


class Availability(enum.Enum):
    """Whether a server of ours could listen on a port of localhost now."""

    FREE = enum.auto()
    PRIVILEGED = enum.auto()  # only a privileged user may listen on it
    IN_USE = enum.auto()  # another socket is bound to it
    ACCEPTS = enum.auto()  # it could be bound, yet something accepts connections on it (on another address)


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


def availability(port: int) -> Availability:
    """Whether `port` is free for the server: bound as servers bind, then asked whether anything accepts."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as servers do, so TIME_WAIT does not count
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            if error.errno == errno.EACCES:
                return Availability.PRIVILEGED
            if error.errno == errno.EADDRINUSE:
                return Availability.IN_USE
            raise
    return Availability.ACCEPTS if accepts(port) else Availability.FREE


def listeners(port: int) -> list[int | None]:
    """The processes listening on TCP `port` (any local address), each once: a pid, or None for a socket whose
    process the system does not show this user (another user's, on Linux). Empty when nobody listens.

    Through psutil: its system-wide table where the system grants it, else each visible process's own sockets
    (macOS grants the table to root alone).
    """
    import psutil

    def listening(address: object, status: str) -> bool:
        return status == psutil.CONN_LISTEN and getattr(address, "port", None) == port

    found: list[int | None] = []
    try:
        found = [c.pid for c in psutil.net_connections(kind="tcp") if listening(c.laddr, c.status)]
    except psutil.AccessDenied:
        for process in psutil.process_iter():
            try:
                if any(listening(c.laddr, c.status) for c in process.net_connections(kind="tcp")):
                    found.append(process.pid)
            except psutil.AccessDenied, psutil.NoSuchProcess, psutil.ZombieProcess:
                continue
    return list(dict.fromkeys(found))  # each once, in the order found
