"""`run` and `demo`: check, start the server, show it ready, keep it running (or make the demo's request), stop."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING

from .. import _processes
from .._ending_signals import name_of
from .._ports import free_port
from ..exceptions import ServerStartError
from .certs import tell_ca_replacement
from .exit_status import CliError, ExitStatus
from .preflight import check_port, check_server_program
from .signals import SignalGuard
from .status_line import StatusLine
from .supervision import Launch, end_server, manager_class

if TYPE_CHECKING:
    import subprocess


def serve(args: argparse.Namespace, guard: SignalGuard, demo: bool) -> ExitStatus:
    if args.port == 0:
        args.port = free_port()
        print(f"Picked free port {args.port}")
    else:
        check_port(args.port, args.addin_path)
    check_server_program(args)

    def launched(handle: subprocess.Popen[bytes]) -> None:
        launch.launched(handle)  # bound below, before the manager can launch anything
        guard.server_group = launch.group

    manager = manager_class(guard, launched)(
        use_compiled=args.compiled,
        port=args.port,
        server_port=args.server_port,
        watchdog_port=args.watchdog_port,
        docs_port=args.docs_port,
        auth_token=args.auth_token,
        addin_path=args.addin_path,
        timeout=args.timeout,
        capture_output=args.capture,
    )
    # Made before the start (which then finds them ready), so that a replaced CA is told even when the server
    # fails to start.
    manager._cert_manager.ensure_certificates()
    tell_ca_replacement(manager._cert_manager, sys.stderr)
    status = StatusLine(manager.url, args.timeout, quiet=args.quiet > 0)
    launch = Launch(args.capture, status)

    died = False
    stopped = None
    try:
        began = time.perf_counter()
        try:
            manager.start()
        except ServerStartError as error:
            status.end(None)
            raise CliError(str(error)) from error
        started = time.perf_counter() - began
        status.end(f"ready after {started:.1f} s")
        print(f"Server running at {manager.url} (pid {manager.pid}), started in {started * 1000:.0f} ms")
        if demo or args.once:
            health = _verified_get(manager.url + "/health", manager._cert_manager.paths.ca_cert)
            print(f"GET {manager.url}/health -> {health}")
        else:
            print("Press Ctrl-C to stop.")
            handle = launch.handle
            assert handle is not None  # the manager reported it before waiting for the port
            while not _processes.exited(handle):
                time.sleep(0.25)
            died = True
        guard.armed = False
    finally:
        guard.armed = False
        status.end(None)
        stopped = end_server(manager, launch, guard)
        if stopped is not None and not died:
            print(f"Server stopped in {stopped * 1000:.0f} ms")
    if died:
        code = launch.handle.returncode if launch.handle is not None else None
        raise CliError(f"the server stopped on its own with {_describe_exit(code)}")
    return ExitStatus.DONE


def _verified_get(url: str, ca_cert: Path) -> str:
    import ssl
    import urllib.request

    context = ssl.create_default_context(cafile=str(ca_cert))
    with urllib.request.urlopen(url, context=context, timeout=5) as response:
        return f"{response.status} {response.read().decode()}"


def _describe_exit(code: int | None) -> str:
    if code is None:
        return "an unknown status"
    if code < 0:
        return f"signal {name_of(-code)}"
    return f"code {code}"
