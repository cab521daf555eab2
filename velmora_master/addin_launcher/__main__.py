"""Run the add-in server from the command line.

    python -m velmora_master.addin_launcher [--port N] [--server-port N] [--watchdog-port N]
        [--docs-port N] [--auth-token TOKEN] [--timeout SECONDS] [--compiled] [--addin-path DIR]
        [--once]

Starts the server, prints its URL and pid, and keeps it running until Ctrl-C
(SIGINT) or SIGTERM, then stops it. With --once it makes one HTTPS request that
verifies the server's certificate against the local CA, prints the answer and
stops at once, printing how long starting and stopping took.
"""

from __future__ import annotations

import argparse
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.request
from types import FrameType

from .exceptions import AddinLauncherError
from .server_manager import AddinServerManager


def _parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m velmora_master.addin_launcher", description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=3000, help="port of the add-in HTTPS server (default: 3000)")
    parser.add_argument(
        "--server-port", type=int, default=8000, help="port of the business layer server (default: 8000)"
    )
    parser.add_argument("--watchdog-port", type=int, default=0, help="port of the watchdog HTTP API (default: none)")
    parser.add_argument("--docs-port", type=int, default=0, help="port of the documentation server (default: none)")
    parser.add_argument("--auth-token", default="", help="token for the watchdog API (default: none)")
    parser.add_argument(
        "--timeout", type=float, default=30.0, help="seconds to wait for the server to listen (default: 30)"
    )
    parser.add_argument("--compiled", action="store_true", help="run the pre-compiled server instead of node server.js")
    parser.add_argument(
        "--addin-path", default=None, help="add-in directory holding server.js (default: auto-detected)"
    )
    parser.add_argument("--once", action="store_true", help="start, make one verified HTTPS request, stop")
    return parser.parse_args(argv)


def _port_taken(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.settimeout(1)
        return probe.connect_ex(("localhost", port)) == 0


def _verified_get(manager: AddinServerManager, path: str) -> str:
    context = ssl.create_default_context(cafile=str(manager._cert_manager.paths.ca_cert))
    with urllib.request.urlopen(manager.url + path, context=context, timeout=5) as response:
        return f"{response.status} {response.read().decode()}"


def main(argv: list[str] | None = None) -> int:
    args = _parse_args(argv)
    if _port_taken(args.port):
        # The manager would take the other program for our server.
        print(f"error: port {args.port} already accepts connections; choose another with --port", file=sys.stderr)
        return 2
    manager = AddinServerManager(
        use_compiled=args.compiled,
        port=args.port,
        server_port=args.server_port,
        watchdog_port=args.watchdog_port,
        docs_port=args.docs_port,
        auth_token=args.auth_token,
        addin_path=args.addin_path,
        timeout=args.timeout,
    )

    stop_requested = threading.Event()

    def request_stop(signum: int, _frame: FrameType | None) -> None:
        stop_requested.set()

    previous = {sig: signal.signal(sig, request_stop) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        began = time.perf_counter()
        try:
            manager.start()
        except AddinLauncherError as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        started = time.perf_counter()
        print(f"Server running at {manager.url} (pid {manager.pid}), started in {(started - began) * 1000:.0f} ms")
        try:
            if args.once:
                print(f"GET {manager.url}/health -> {_verified_get(manager, '/health')}")
            else:
                print("Press Ctrl-C to stop.")
                while not stop_requested.wait(0.5):
                    if not manager.is_running:
                        print("error: the server stopped on its own", file=sys.stderr)
                        return 1
        finally:
            stopping = time.perf_counter()
            if manager.pid is not None:
                manager.stop()
            print(f"Server stopped in {(time.perf_counter() - stopping) * 1000:.0f} ms")
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
