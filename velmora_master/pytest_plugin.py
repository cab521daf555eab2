"""Pytest fixtures for testing an add-in against its real HTTPS server.

Installed with the package, so every test in an environment that has it can ask for:

- `addin_server`: an `AddinServerManager` started on a free port, stopped after the test;
- `addin_server_factory`: a function that starts one more such server per call, taking the
  manager's keyword options (`addin_path=...` for your own add-in), all stopped after the test;
- `addin_ssl_context`: an `ssl.SSLContext` that trusts the session's certificate authority;
- `addin_certificates`: the session's `CertificateManager`.

A server counts as started once it answers as itself: a TLS handshake verified against the
session's CA for `localhost`, and `GET /health` answering 200 (the compiled server: the
handshake alone), probed every 10 ms within the manager's `timeout`.

The certificates live in a private folder under the session's temporary directory, never in
your own certificate folder. Nothing the server started may outlive it: the manager's stop
ends the server's process group, and a process still alive after that in the group, or in
the session the server leads (a helper that moved to a process group of its own, where the
group's signals never reach it), fails the test at teardown, and is killed.
"""

from __future__ import annotations

import functools
import os
import ssl
from collections.abc import Iterator
from typing import Any, Protocol, TypedDict, Unpack

import pytest

from .addin_launcher import _processes, _readiness
from .addin_launcher._ports import free_port
from .addin_launcher.certificate_manager import CertificateManager
from .addin_launcher.server_manager import AddinServerManager

# How long the other processes of a stopped server's group get to act on its SIGTERM.
GROUP_EXIT_GRACE = 2.0


class ServerOptions(TypedDict, total=False):
    """The manager's keyword options, as the factory takes them."""

    use_compiled: bool
    port: int | None  # None or left out: a free port
    server_port: int
    watchdog_port: int
    docs_port: int
    auth_token: str
    addin_path: str | os.PathLike[str] | None
    timeout: float
    capture_output: bool


class AddinServerFactory(Protocol):
    """Starts an add-in server with the manager's options; a free port unless `port` is given."""

    def __call__(self, **options: Unpack[ServerOptions]) -> AddinServerManager: ...


class VerifiedServerManager(AddinServerManager):
    """The manager, ready only once its server answers over verified TLS rather than when its port accepts."""

    def _wait_for_ready(self) -> bool:
        return _readiness.manager_ready(self)


@pytest.fixture(scope="session")
def addin_certificates(tmp_path_factory: pytest.TempPathFactory) -> CertificateManager:
    """The session's private certificate authority and localhost certificate."""
    manager = CertificateManager(tmp_path_factory.mktemp("velmora-certs"))
    manager.ensure_certificates()
    return manager


@pytest.fixture
def addin_ssl_context(addin_certificates: CertificateManager) -> ssl.SSLContext:
    """A client context that verifies the servers of this session."""
    return ssl.create_default_context(cafile=str(addin_certificates.paths.ca_cert))


@pytest.fixture
def addin_server_factory(addin_certificates: CertificateManager) -> Iterator[AddinServerFactory]:
    """Starts a server per call, with the manager's keyword options; stops them all after the test."""
    started: list[tuple[AddinServerManager, int | None]] = []  # each with its pid if it leads its group

    def start(**options: Unpack[ServerOptions]) -> AddinServerManager:
        settings: dict[str, Any] = dict(options)
        if settings.get("port") is None:
            settings["port"] = free_port()
        if settings.get("addin_path") is not None:
            settings["addin_path"] = os.fspath(settings["addin_path"])
        server = VerifiedServerManager(**settings)
        # The manager asks its certificate manager at every start: this one keeps the session's own.
        server._cert_manager = addin_certificates
        server.start()
        pid = server.pid
        started.append((server, None if pid is None else _processes.leader(pid)))
        return server

    yield start

    problems: list[str] = []
    for server, leader in reversed(started):
        problems += _stop(server, leader)
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def addin_server(addin_server_factory: AddinServerFactory) -> AddinServerManager:
    """A started add-in server on a free port, running the add-in the manager finds by default."""
    return addin_server_factory()


def _stop(server: AddinServerManager, leader: int | None) -> list[str]:
    """Stop `server` if it still holds its process; what was wrong, if anything."""
    problems = []
    if server.pid is not None:
        try:
            server.stop()
        except ProcessLookupError:
            pass  # it had exited and its exit was collected: nothing left to signal
        except Exception as error:
            problems.append(f"stopping the add-in server of {server.url} failed: {error!r}")
    if leader is None:
        return problems
    # The server led its group and its session: both must have gone with it.
    for what, find in (("group", _processes.group_members), ("session", _processes.session_members)):
        left = _processes.kill_survivors(functools.partial(find, leader), GROUP_EXIT_GRACE)
        if left:
            problems.append(
                f"processes of the add-in server's {what} {leader} ({server.url}) were still alive after it "
                f"stopped; they were killed: {', '.join(f'{pid} ({name})' for pid, name in left)}"
            )
    return problems
