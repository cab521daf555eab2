"""Readiness as the command line and the pytest plugin mean it: the server answers as itself, over verified TLS.

The class's own wait counts a server ready once its port accepts a TCP connection, every 0.1 s. A port that
accepts may still belong to a server that cannot yet shake hands, serves a certificate our CA did not sign, or
has not set up its routes. Here a server is ready when a TLS handshake verified against our CA for `localhost`
succeeds and `GET /health` answers 200; for the compiled server, which may serve no /health, when the verified
handshake succeeds. Roughly:

    def wait_until_ready(process, port, ca_cert, timeout, health):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if probe(port, ca_cert, health) is ready:
                return True
            if process.poll() is not None:
                return False
            time.sleep(0.01)
        return False

Probing every 10 ms keeps the time from the server's first moment of listening to "ready" near the cost of
one handshake. A certificate that does not verify ends the wait at once: waiting cannot mend it.
"""

from __future__ import annotations

import logging
import socket
import ssl
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from .exceptions import ServerStartError

if TYPE_CHECKING:
    from .server_manager import AddinServerManager

logger = logging.getLogger(__name__)

PROBE_INTERVAL = 0.01
# One attempt's longest wait for the connection, the handshake and the answer.
ATTEMPT_SECONDS = 1.0
# The name the certificate must carry, and the one the server's URL uses.
HOST = "localhost"
HEALTH_PATH = "/health"


# A place to connect to, as getaddrinfo gives it: family, type, protocol and address.
type Address = tuple[socket.AddressFamily, socket.SocketKind, int, Any]


class Process(Protocol):
    def poll(self) -> int | None: ...


@dataclass(frozen=True)
class Attempt:
    """What one probe found: ready, or why not; `accepted` when something took the connection."""

    ready: bool
    accepted: bool
    problem: str = ""


def client_context(ca_cert: Path) -> ssl.SSLContext:
    """A client context that trusts our CA alone and checks the name `localhost`."""
    return ssl.create_default_context(cafile=str(ca_cert))


def addresses(port: int) -> list[Address]:
    """Where `localhost` leads, looked up once for a whole wait."""
    found = socket.getaddrinfo(HOST, port, type=socket.SOCK_STREAM)
    return [(family, kind, proto, address) for family, kind, proto, _, address in found]


def probe(
    port: int, places: list[Address], context: ssl.SSLContext, health: bool, seconds: float = ATTEMPT_SECONDS
) -> Attempt:
    """One attempt; ssl.SSLCertVerificationError goes to the caller, as no later attempt can do better.

    Lean on purpose: it runs on the way of every start, while the machine is busy starting the server, so it
    reads the status line and nothing else of the answer.
    """
    sock = _connect(places, seconds)
    if sock is None:
        return Attempt(False, False, "connection refused")  # nothing takes connections yet
    try:
        tls = context.wrap_socket(sock, server_hostname=HOST)  # shakes hands and verifies
    except ssl.SSLCertVerificationError:
        sock.close()
        raise
    except OSError as error:  # ssl.SSLError among them
        sock.close()
        return Attempt(False, True, f"the TLS handshake failed ({_reason(error)})")
    with tls:
        if not health:
            return Attempt(True, True)
        try:
            tls.sendall(f"GET {HEALTH_PATH} HTTP/1.1\r\nHost: {HOST}:{port}\r\nConnection: close\r\n\r\n".encode())
            answer = b""
            while b"\r\n" not in answer and len(answer) < 4096 and (chunk := tls.recv(4096)):
                answer += chunk
        except OSError as error:
            return Attempt(False, True, f"GET {HEALTH_PATH} got no answer ({_reason(error)})")
    if not answer:
        return Attempt(False, True, f"GET {HEALTH_PATH} got no answer (the connection was closed)")
    status_line = answer.split(b"\r\n", 1)[0].decode("latin-1")
    version, _, rest = status_line.partition(" ")
    status = rest.partition(" ")[0]
    if not version.startswith("HTTP/"):
        return Attempt(False, True, f"GET {HEALTH_PATH} got an answer that is not HTTP ({status_line[:80]!r})")
    if status != "200":
        return Attempt(False, True, f"GET {HEALTH_PATH} answered {status}")
    return Attempt(True, True)


def _connect(places: list[Address], seconds: float) -> socket.socket | None:
    """A connection to the first place that takes one, or None."""
    for family, kind, proto, address in places:
        sock = socket.socket(family, kind, proto)
        sock.settimeout(seconds)
        try:
            sock.connect(address)
            return sock
        except OSError:
            sock.close()
    return None


def _reason(error: OSError) -> str:
    if isinstance(error, ssl.SSLError) and error.reason:
        return error.reason
    return error.strerror or str(error) or type(error).__name__


def wait_until_ready(process: Process, port: int, ca_cert: Path, timeout: float, health: bool) -> bool:
    """Probe every PROBE_INTERVAL until the server is ready (True), `process` exits (False) or `timeout` passes.

    At the time-out, a server that took connections without ever answering as ready raises ServerStartError
    saying what it answered; one that never took a connection gives False, as the class's wait does. A
    certificate that does not verify raises ServerStartError at once.
    """
    context = client_context(ca_cert)
    places = addresses(port)
    deadline = time.monotonic() + timeout
    problem = ""
    probes = 0
    while (remaining := deadline - time.monotonic()) > 0:
        probes += 1
        try:
            attempt = probe(port, places, context, health, min(ATTEMPT_SECONDS, remaining))
        except ssl.SSLCertVerificationError as error:
            raise ServerStartError(
                f"the server on port {port} is not verified by the CA {ca_cert} for {HOST}: "
                f"{error.verify_message or error.reason}"
            ) from error
        if attempt.ready:
            logger.debug("server on port %s ready after %d probe(s)", port, probes)
            return True
        # An attempt the deadline cut short says less than the one before it.
        if attempt.accepted and (not problem or time.monotonic() < deadline):
            problem = attempt.problem
        if process.poll() is not None:
            return False
        time.sleep(PROBE_INTERVAL)
    if problem:
        raise ServerStartError(
            f"Server failed to start within {timeout} seconds: it accepted connections on port {port}, but {problem}"
        )
    return False


def manager_ready(manager: AddinServerManager) -> bool:
    """The wait for `manager`'s server that its subclasses put in place of the class's `_wait_for_ready`."""
    process = manager._process
    assert process is not None  # start() launched it just before the wait
    return wait_until_ready(
        process,
        manager.port,
        manager._cert_manager.paths.ca_cert,
        manager.timeout,
        health=not manager.use_compiled,
    )
