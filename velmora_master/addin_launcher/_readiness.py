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

import http.client
import logging
import ssl
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

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


def probe(port: int, context: ssl.SSLContext, health: bool, seconds: float = ATTEMPT_SECONDS) -> Attempt:
    """One attempt; ssl.SSLCertVerificationError goes to the caller, as no later attempt can do better."""
    connection = http.client.HTTPSConnection(HOST, port, timeout=seconds, context=context)
    try:
        try:
            connection.connect()  # connects, then shakes hands and verifies
        except ssl.SSLCertVerificationError:
            raise
        except ssl.SSLError as error:
            return Attempt(False, True, f"the TLS handshake failed ({error.reason or error})")
        except OSError as error:
            # Refused or timed out: nothing took the connection yet.
            return Attempt(False, False, error.strerror or type(error).__name__)
        if not health:
            return Attempt(True, True)
        try:
            connection.request("GET", HEALTH_PATH)
            status = connection.getresponse().status
        except (OSError, http.client.HTTPException) as error:
            why = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            return Attempt(False, True, f"GET {HEALTH_PATH} got no answer ({why or type(error).__name__})")
        if status != 200:
            return Attempt(False, True, f"GET {HEALTH_PATH} answered {status}")
        return Attempt(True, True)
    finally:
        connection.close()


def wait_until_ready(process: Process, port: int, ca_cert: Path, timeout: float, health: bool) -> bool:
    """Probe every PROBE_INTERVAL until the server is ready (True), `process` exits (False) or `timeout` passes.

    At the time-out, a server that took connections without ever answering as ready raises ServerStartError
    saying what it answered; one that never took a connection gives False, as the class's wait does. A
    certificate that does not verify raises ServerStartError at once.
    """
    context = client_context(ca_cert)
    deadline = time.monotonic() + timeout
    problem = ""
    probes = 0
    while (remaining := deadline - time.monotonic()) > 0:
        probes += 1
        try:
            attempt = probe(port, context, health, min(ATTEMPT_SECONDS, remaining))
        except ssl.SSLCertVerificationError as error:
            raise ServerStartError(
                f"the server on port {port} is not verified by the CA {ca_cert} for {HOST}: "
                f"{error.verify_message or error.reason}"
            ) from error
        if attempt.ready:
            logger.debug("server on port %s ready after %d probe(s)", port, probes)
            return True
        if attempt.accepted:
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
