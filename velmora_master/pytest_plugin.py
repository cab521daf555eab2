"""Pytest fixtures for testing an add-in against its real HTTPS server.

Installed with the package, so every test in an environment that has it can ask for:

- `addin_server`: an `AddinServerManager` (a `GuardedServerManager`) started on a free port,
  stopped after the test;
- `addin_server_factory`: a function that starts one more such server per call, taking the
  manager's keyword options (`addin_path=...` for your own add-in), all stopped after the test;
- `addin_ssl_context`: an `ssl.SSLContext` that trusts the session's certificate authority;
- `addin_certificates`: the session's `CertificateManager`.

A server counts as started once it answers as itself: a TLS handshake verified against the
session's CA for `localhost`, and `GET /health` answering 200 (the compiled server: the
handshake alone), probed every 10 ms within the manager's `timeout`.

The certificates live in a private folder under the session's temporary directory, never in
your own certificate folder. The servers are `GuardedServerManager`s: nothing they started may
outlive them. At teardown each server is stopped (its process group ended), then every process
still carrying the server's mark (a helper that moved to a group or session of its own, a
daemon) is ended, and so is whatever is still alive in the session the server led; each such
process fails the test, named by pid and command line, and so does a port of the server that
still accepts connections. Should pytest be killed, each server's guard ends it within a second;
SIGTERM or SIGHUP ends the session as Ctrl-C does: the servers are stopped and reported, and
pytest exits with 128 + the signal's number.
"""

from __future__ import annotations

import functools
import os
import ssl
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, Protocol, TypedDict, Unpack

import pytest

from ._pytest_signals import SessionSignals
from .addin_launcher import _processes, _readiness
from .addin_launcher._ports import accepts, free_port
from .addin_launcher.certificate_manager import CertificateManager
from .addin_launcher.guarded import GuardedServerManager
from .addin_launcher.server_manager import AddinServerManager

# How long the other processes of a stopped server's session get to act on its SIGTERM.
SESSION_EXIT_GRACE = 2.0
_SIGNALS = pytest.StashKey[SessionSignals]()


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


class VerifiedServerManager(GuardedServerManager):
    """The guarded manager, ready only once its server answers over verified TLS rather than when its port
    accepts."""

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


# ---- the session's signals --------------------------------------------------------------------------------------


def pytest_sessionstart(session: pytest.Session) -> None:
    signals = session.config.stash[_SIGNALS] = SessionSignals()
    signals.install()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_teardown(item: pytest.Item) -> Iterator[None]:
    with _signals_of(item.config).deferred():
        return (yield)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item: pytest.Item) -> None:
    # A signal during a teardown that failed: the failure was reported, no further test starts.
    _signals_of(item.config).raise_held()


@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_sessionfinish(session: pytest.Session) -> Iterator[None]:
    signals = _signals_of(session.config)
    signals.finishing()
    try:
        return (yield)
    finally:
        if signals.received is not None:
            session.exitstatus = 128 + signals.received


def pytest_unconfigure(config: pytest.Config) -> None:
    _signals_of(config).restore()


def _signals_of(config: pytest.Config) -> SessionSignals:
    return config.stash.setdefault(_SIGNALS, SessionSignals())


# ---- fixtures ---------------------------------------------------------------------------------------------------


@dataclass
class _Started:
    server: GuardedServerManager
    leader: int | None = None  # its pid, once started, when it leads its group and session


@pytest.fixture
def addin_server_factory(
    request: pytest.FixtureRequest, addin_certificates: CertificateManager
) -> Iterator[AddinServerFactory]:
    """Starts a server per call, with the manager's keyword options; stops them all after the test."""
    started: list[_Started] = []

    def start(**options: Unpack[ServerOptions]) -> AddinServerManager:
        settings: dict[str, Any] = dict(options)
        if settings.get("port") is None:
            settings["port"] = free_port()
        if settings.get("addin_path") is not None:
            settings["addin_path"] = os.fspath(settings["addin_path"])
        server = VerifiedServerManager(**settings)
        # The manager asks its certificate manager at every start: this one keeps the session's own.
        server._cert_manager = addin_certificates
        entry = _Started(server)
        started.append(entry)  # before the start: a signal during it leaves the server to the teardown
        server.start()
        pid = server.pid
        entry.leader = None if pid is None else _processes.leader(pid)
        return server

    yield start

    # Torn down by the session's end rather than by its test's: the session was cut short (Ctrl-C, a signal,
    # pytest.exit). A failure raised now would end pytest with an internal error: it is reported instead.
    report = _report_to(request.config) if _signals_of(request.config).is_finishing else None
    problems: list[str] = []
    for entry in reversed(started):
        problems += _stop(entry, report)
    if problems and report is not None:
        report("\n".join(problems))
    elif problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def addin_server(addin_server_factory: AddinServerFactory) -> AddinServerManager:
    """A started (guarded) add-in server on a free port, running the add-in the manager finds by default."""
    return addin_server_factory()


def _stop(entry: _Started, report: Callable[[str], None] | None) -> list[str]:
    """Stop the server if it still holds its process, telling `report` when given; what was wrong, if anything."""
    server, problems = entry.server, []
    pid = server.pid
    if pid is not None:
        try:
            server.stop()
        except ProcessLookupError:
            pass  # it had exited and its exit was collected: nothing left to signal
        except Exception as error:
            problems.append(f"stopping the add-in server of {server.url} failed: {error!r}")
        if report is not None:
            report(f"velmora_master: stopped the add-in server of {server.url} (pid {pid})")
    if server.left_behind:
        problems.append(
            f"processes that the add-in server of {server.url} left outside its process group were still "
            f"running after it stopped; they were ended: {', '.join(found.describe() for found in server.left_behind)}"
        )
    if entry.leader is not None:
        # The server led its session: whatever is still alive in it escaped the mark too.
        find = functools.partial(_processes.session_members, entry.leader)
        left = _processes.kill_survivors(find, SESSION_EXIT_GRACE)
        if left:
            problems.append(
                f"processes of the add-in server's session {entry.leader} ({server.url}) were still alive after "
                f"it stopped; they were killed: {', '.join(found.describe() for found in left)}"
            )
    for name in ("port", "watchdog_port", "docs_port"):
        port = getattr(server, name)
        if port and accepts(port):
            problems.append(f"{name} {port} of the add-in server of {server.url} still accepts connections")
    return problems


def _report_to(config: pytest.Config) -> Callable[[str], None]:
    """Where teardown's lines go when the session is cut short: the terminal, past any capture."""
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    write = reporter.write_line if reporter is not None else functools.partial(print, file=sys.stderr, flush=True)

    def report(line: str) -> None:
        try:
            write(line)
        except OSError:
            pass  # a terminal closed under pytest (SIGHUP): the servers must be stopped all the same

    return report
