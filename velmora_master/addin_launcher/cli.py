"""The `velmora-addin` command line (also `python -m velmora_master.addin_launcher`).

    velmora-addin [run] [server options]    start the server, keep it running until Ctrl-C or SIGTERM
    velmora-addin demo [server options]     start, make one verified HTTPS request, stop
    velmora-addin certs show|trust|untrust|renew [--ca]

Exit statuses: 0 done, 1 the server failed to start or stopped on its own (or another
failure), 2 a usage error, 130 after SIGINT (Ctrl-C), 143 after SIGTERM. Every error is
one line on stderr; --debug adds the traceback.

The heavy modules (the compiled manager, cryptography) are imported only once the
signal handlers are in place, so a Ctrl-C at any moment ends in an orderly way.
"""

from __future__ import annotations

import _thread
import argparse
import errno
import logging
import math
import os
import shutil
import signal
import socket
import sys
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from types import FrameType
from typing import IO, TYPE_CHECKING, TextIO

from . import _processes
from ._ports import accepts, free_port

if TYPE_CHECKING:
    # Imported where they are used, once the signal handlers are in place (see above); here only for the checker.
    import subprocess

    from cryptography import x509

    from . import trust
    from .certificate_manager import CertificatePaths
    from .server_manager import AddinServerManager

PROG = "velmora-addin"
LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")
DEFAULT_LEVEL = "WARNING"
LOG_LEVEL_ENV = "VELMORA_LOG_LEVEL"
# A signal ends the program within this time whatever happens: the stop's 5 s grace period and a margin.
LAST_RESORT_SECONDS = 8.0
DISTRIBUTION = "velmora-master"
CHECKOUT_VERSION = "0.1.0+checkout"

logger = logging.getLogger("velmora_master.addin_launcher.cli")

# What signal.signal takes and gives back: a function, SIG_DFL or SIG_IGN (as Handlers or int), or None for a
# handler not installed from Python.
type SignalHandler = Callable[[int, FrameType | None], object] | int | signal.Handlers | None


class CliError(Exception):
    """A failure reported as one line on stderr with an exit status (2 usage, 1 otherwise)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Interrupted(KeyboardInterrupt):
    """Raised by the SIGINT and SIGTERM handlers.

    A KeyboardInterrupt, so every cleanup that already handles Ctrl-C (the manager's, the standard
    library's) treats SIGTERM alike.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class SignalGuard:
    """SIGINT/SIGTERM handlers that raise Interrupted only where the program can be cut short.

    While `armed`, a signal raises Interrupted (once: the handler disarms itself as it raises), which
    unwinds whatever blocking call is running, compiled or not: the handler runs inside the calls the
    compiled code makes back into Python (sleeps, socket connects, waits). Elsewhere, during cleanup, a
    signal is only recorded. The first signal decides the exit status.
    """

    def __init__(self) -> None:
        self.received: int | None = None
        self.armed = False
        self.server_group: int | None = None  # the server's process group, once it is launched
        self._previous: dict[int, SignalHandler] = {}

    def install(self) -> None:
        for signum in (signal.SIGINT, signal.SIGTERM):
            self._previous[signum] = signal.signal(signum, self._handle)

    def restore(self) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        # No output here: the handler may run in the middle of a write to the same stream.
        if self.received is None:
            self.received = signum
            try:
                _thread.start_new_thread(self._last_resort, (signum,))
            except RuntimeError:
                pass  # the interpreter is already shutting down: it ends by itself
        if self.armed:
            self.armed = False
            raise Interrupted(signum)

    def _last_resort(self, signum: int) -> None:
        # The orderly exit takes well under a second, or the stop's grace period for a server that ignores
        # SIGTERM. Should it ever hang (an interrupted library call that left a lock held), the server is killed
        # and the process ends anyway: a signal must never leave the user waiting or a server behind.
        time.sleep(LAST_RESORT_SECONDS)
        try:
            _processes.kill_group(self.server_group)
        except OSError:
            pass
        os._exit(128 + signum)

    def arm(self) -> None:
        """Arm; a signal that came while disarmed is acted on now."""
        self.armed = True
        if self.received is not None:
            self.armed = False
            raise Interrupted(self.received)


# ----------------------------------------------------------------------------------------------------------------
# Parsing


def _port_type(allow_zero: bool, zero_means: str) -> Callable[[str], int]:
    low = 0 if allow_zero else 1

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
        if not low <= value <= 65535:
            extra = f" ({zero_means})" if allow_zero else ""
            raise argparse.ArgumentTypeError(f"{value} is outside {low}-65535{extra}")
        return value

    return parse


def _timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def _level(text: str) -> str:
    if text.upper() not in LEVELS:
        raise argparse.ArgumentTypeError(f"{text!r} is not one of {', '.join(LEVELS)}")
    return text.upper()


def _add_common(parser: argparse.ArgumentParser, top: bool) -> None:
    # Subcommands take the same options; their defaults are suppressed so that an option given before the
    # subcommand is not overwritten by the subcommand's default.
    d = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    group = parser.add_argument_group("output")
    group.add_argument(
        "--log-level",
        type=_level,
        default=d(None),
        metavar="LEVEL",
        help=f"logging level of this program and the server (default: ${LOG_LEVEL_ENV} or WARNING)",
    )
    group.add_argument("-v", "--verbose", action="count", default=d(0), help="one level more detail (repeatable)")
    group.add_argument(
        "-q", "--quiet", action="count", default=d(0), help="one level less detail (repeatable); no live status line"
    )
    group.add_argument("--debug", action="store_true", default=d(False), help="show tracebacks of errors")


def _add_server(parser: argparse.ArgumentParser, top: bool) -> None:
    d = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    group = parser.add_argument_group("server")
    for flag, zero_allowed, zero_means, default, text in (
        (
            "--port",
            True,
            "0 picks a free port",
            3000,
            "port of the add-in HTTPS server; 0 picks a free one (default: 3000)",
        ),
        ("--server-port", False, "", 8000, "port of the business layer server (default: 8000)"),
        ("--watchdog-port", True, "0 means none", 0, "port of the watchdog HTTP API (default: none)"),
        ("--docs-port", True, "0 means none", 0, "port of the documentation server (default: none)"),
    ):
        group.add_argument(flag, type=_port_type(zero_allowed, zero_means), default=d(default), help=text)
    group.add_argument("--auth-token", default=d(""), help="token for the watchdog API (default: none)")
    group.add_argument(
        "--timeout", type=_timeout, default=d(30.0), help="seconds to wait for the server to listen (default: 30)"
    )
    group.add_argument(
        "--compiled",
        action="store_true",
        default=d(False),
        help="run the pre-compiled server instead of node server.js",
    )
    group.add_argument("--addin-path", default=d(None), help="add-in folder holding server.js (default: auto-detected)")
    group.add_argument(
        "--capture",
        action="store_true",
        default=d(False),
        help="capture the server's output and show it line by line, prefixed with its stream",
    )
    # The demo's former spelling.
    group.add_argument("--once", action="store_true", default=d(False), help=argparse.SUPPRESS)


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return CHECKOUT_VERSION  # running from a checkout that was never installed


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the spreadsheet add-in's local HTTPS server, and manage the certificates browsers trust.",
        epilog="Without a command: run. Exit statuses: 0 done, 1 failure, 2 usage error, 130 SIGINT, 143 SIGTERM.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    _add_common(parser, top=True)
    _add_server(parser, top=True)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, text in (
        ("run", "start the server and keep it running until Ctrl-C or SIGTERM (default)"),
        ("demo", "start the server, make one verified HTTPS request, stop it"),
    ):
        sub = commands.add_parser(name, help=text, description=text)
        _add_common(sub, top=False)
        _add_server(sub, top=False)
    certs = commands.add_parser(
        "certs",
        help="show, trust, untrust or renew the local certificates",
        description="Show, trust, untrust or renew the local certificates.",
    )
    _add_common(certs, top=False)
    actions = certs.add_subparsers(dest="certs_command", metavar="ACTION", required=True)
    actions.add_parser("show", help="paths, names, expiry, fingerprints and where the CA is trusted")
    actions.add_parser("trust", help="trust the CA in this user's browser stores (no root needed)")
    actions.add_parser("untrust", help="take the CA out of this user's browser stores")
    renew = actions.add_parser("renew", help="make a new server certificate (and CA with --ca)")
    renew.add_argument("--ca", action="store_true", help="make a new CA too (it must be trusted again)")
    return parser


# ----------------------------------------------------------------------------------------------------------------
# Logging


def configure_logging(args: argparse.Namespace) -> int:
    """Configure the package's logging; the server's --logging-level follows the manager logger's level."""
    from velmora_master import logging_config

    base: str | None = args.log_level
    if base is None:
        from_env = os.environ.get(LOG_LEVEL_ENV)
        if from_env and from_env.upper() not in LEVELS:
            raise CliError(f"{LOG_LEVEL_ENV}={from_env} is not a logging level; use one of {', '.join(LEVELS)}", 2)
        base = from_env.upper() if from_env else DEFAULT_LEVEL
    quieter: int = args.quiet - args.verbose
    value = logging.getLevelNamesMapping()[base] + 10 * quieter
    value = min(max(value, logging.DEBUG), logging.CRITICAL)
    logging_config.setup_logging_subprocess(value)
    return value


# ----------------------------------------------------------------------------------------------------------------
# Running the server


def _check_port(port: int) -> None:
    """Refuse a port another program holds: the readiness probe would take that program for our server."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as servers do, so TIME_WAIT does not count
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            if error.errno == errno.EACCES:
                raise CliError(f"port {port} needs privileges; choose one above 1023 with --port", 2) from None
            if error.errno == errno.EADDRINUSE:
                raise CliError(
                    f"port {port} is already in use by another program; choose another with --port "
                    "(--port 0 picks a free one)",
                    2,
                ) from None
            raise
    if accepts(port):
        raise CliError(
            f"port {port} already accepts connections; choose another with --port (--port 0 picks a free one)", 2
        )


def _check_server_program(args: argparse.Namespace) -> None:
    from .config import ADDIN_PATH_ENV, SERVER_BINARY_ENV, SERVER_SCRIPT, Config

    config = Config(args.addin_path)
    if args.compiled:
        binary = Path(config.get_binary_path())
        if not binary.is_file():
            raise CliError(f"no server executable at {binary}; build it or name it with ${SERVER_BINARY_ENV}", 2)
        if not os.access(binary, os.X_OK):
            raise CliError(f"server executable {binary} is not executable; chmod +x {binary}", 2)
        return
    folder = config.addin_path
    if folder is None:
        raise CliError(f"no add-in folder found; pass --addin-path DIR or set ${ADDIN_PATH_ENV}", 2)
    if not folder.is_dir():
        raise CliError(
            f"add-in folder {folder} does not exist; pass the folder holding {SERVER_SCRIPT} with --addin-path", 2
        )
    if not (folder / SERVER_SCRIPT).is_file():
        raise CliError(f"no {SERVER_SCRIPT} in add-in folder {folder}; pass the folder holding it with --addin-path", 2)
    if shutil.which("node") is None:
        raise CliError("node not found on PATH; install Node.js (Debian: apt-get install nodejs) or use --compiled", 2)


class Launch:
    """What the CLI knows of the server from the moment it is launched: handle, group, output readers."""

    def __init__(self, capture: bool, status: StatusLine) -> None:
        self.capture = capture
        self.status = status
        self.handle: subprocess.Popen[bytes] | None = None
        self.group: int | None = None
        self.readers: list[threading.Thread] = []
        # The children this process had before the launch (Linux), to tell an orphaned server from them.
        self.children_before = set(_processes.children()) if sys.platform.startswith("linux") else None

    def launched(self, handle: subprocess.Popen[bytes]) -> None:
        self.handle = handle
        self.group = _processes.group_of(handle.pid)
        if self.capture:
            for name, stream, sink in (("stdout", handle.stdout, sys.stdout), ("stderr", handle.stderr, sys.stderr)):
                if stream is not None:
                    reader = threading.Thread(
                        target=_relay, args=(name, stream, sink), name=f"relay-{name}", daemon=True
                    )
                    reader.start()
                    self.readers.append(reader)
        self.status.begin()


def _relay(name: str, stream: IO[bytes], sink: TextIO) -> None:
    """Copy the server's lines to `sink` until the pipe closes, so the server never blocks on a full pipe."""
    try:
        for line in iter(stream.readline, b""):
            sink.write(f"[{name}] {line.decode(errors='replace').rstrip()}\n")
            sink.flush()
    except OSError, ValueError:
        pass  # the pipe or the sink was closed at exit
    finally:
        stream.close()


def _manager_class(
    guard: SignalGuard, on_launched: Callable[[subprocess.Popen[bytes]], None]
) -> type[AddinServerManager]:
    from .server_manager import AddinServerManager

    class CliServerManager(AddinServerManager):
        """The manager, telling the CLI about the process as soon as it exists (before the wait), and
        letting a signal cut any stop short: the CLI's own, and the one start makes after a failed wait."""

        def _wait_for_ready(self) -> bool:
            assert self._process is not None  # start() launched it just before the wait
            on_launched(self._process)
            return super()._wait_for_ready()

        def stop(self) -> None:
            previous = guard.armed
            guard.armed = True
            try:
                super().stop()
            except BaseException:
                guard.armed = False  # whatever comes next is cleanup
                raise
            guard.armed = previous

    return CliServerManager


class StatusLine:
    """'waiting for URL … 2.4 s of 30 s' on stderr while the port is awaited.

    On a terminal it is a live line, redrawn ten times a second and replaced by the result; off a terminal
    it is one line; quiet, nothing.
    """

    def __init__(self, url: str, timeout: float, quiet: bool) -> None:
        self.url = url
        self.timeout = timeout
        self.quiet = quiet
        self.live = not quiet and sys.stderr.isatty()
        self.began = time.monotonic()
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

    def begin(self) -> None:
        self.began = time.monotonic()
        if self.quiet:
            return
        if not self.live:
            print(f"waiting for {self.url} (up to {self.timeout:g} s)", file=sys.stderr, flush=True)
            return
        self._thread = threading.Thread(target=self._redraw, name="status-line", daemon=True)
        self._thread.start()

    def _redraw(self) -> None:
        while not self._done.wait(0.1):
            with self._lock:
                if not self._done.is_set():
                    elapsed = time.monotonic() - self.began
                    sys.stderr.write(f"\r\x1b[Kwaiting for {self.url} … {elapsed:.1f} s of {self.timeout:g} s")
                    sys.stderr.flush()

    def end(self, result: str | None) -> None:
        """Stop redrawing; on a terminal replace the line with `result` (or clear it)."""
        with self._lock:
            already = self._done.is_set()
            self._done.set()
        if self._thread is None or already:
            return
        sys.stderr.write("\r\x1b[K" + (f"{result}\n" if result else ""))
        sys.stderr.flush()


def _describe_exit(code: int | None) -> str:
    if code is None:
        return "an unknown status"
    if code < 0:
        try:
            return f"signal {signal.Signals(-code).name}"
        except ValueError:
            return f"signal {-code}"
    return f"code {code}"


def _kill_now(launch: Launch) -> None:
    """SIGKILL what is left of the server at once (a second Ctrl-C during the stop, or a stop that failed)."""
    handle = launch.handle
    if handle is not None and not _processes.kill_now(handle, launch.group):
        logger.warning("server process %s did not exit after SIGKILL", handle.pid)


def _end_server(manager: AddinServerManager, launch: Launch, guard: SignalGuard) -> float | None:
    """Stop whatever the manager holds; a signal during the stop kills at once. Returns the stop's seconds."""
    began = time.perf_counter()
    stopped = None
    try:
        if manager._process is not None:
            try:
                manager.stop()  # armed while it runs: a further signal kills at once
                stopped = time.perf_counter() - began
            except Interrupted:
                logger.info("stopping cut short: killing the server")
                _kill_now(launch)
            except ProcessLookupError:
                pass  # its exit was collected before: nothing left to signal
    finally:
        guard.armed = False
        _kill_now(launch)  # does nothing after a complete stop
        if launch.children_before is not None:
            for pid in _processes.reap_orphans(launch.children_before):
                logger.debug("ended stray server process %s", pid)
        for reader in launch.readers:
            reader.join(timeout=1)
    return stopped


def _verified_get(url: str, ca_cert: Path) -> str:
    import ssl
    import urllib.request

    context = ssl.create_default_context(cafile=str(ca_cert))
    with urllib.request.urlopen(url, context=context, timeout=5) as response:
        return f"{response.status} {response.read().decode()}"


def serve(args: argparse.Namespace, guard: SignalGuard, demo: bool) -> int:
    if args.port == 0:
        args.port = free_port()
        print(f"Picked free port {args.port}")
    else:
        _check_port(args.port)
    _check_server_program(args)

    def launched(handle: subprocess.Popen[bytes]) -> None:
        launch.launched(handle)  # bound below, before the manager can launch anything
        guard.server_group = launch.group

    manager = _manager_class(guard, launched)(
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
    status = StatusLine(manager.url, args.timeout, quiet=args.quiet > 0)
    launch = Launch(args.capture, status)
    from .exceptions import ServerStartError

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
        stopped = _end_server(manager, launch, guard)
        if stopped is not None and not died:
            print(f"Server stopped in {stopped * 1000:.0f} ms")
    if died:
        code = launch.handle.returncode if launch.handle is not None else None
        raise CliError(f"the server stopped on its own with {_describe_exit(code)}")
    return 0


# ----------------------------------------------------------------------------------------------------------------
# Certificates


def _fingerprint(cert: x509.Certificate) -> str:
    from cryptography.hazmat.primitives import hashes

    return cert.fingerprint(hashes.SHA256()).hex(":").upper()


def _general_names(names: Iterable[x509.GeneralName]) -> str:
    from cryptography import x509

    shown: list[str] = []
    for name in names:
        kind = "DNS" if isinstance(name, x509.DNSName) else "IP" if isinstance(name, x509.IPAddress) else "name"
        shown.append(f"{kind}:{name.value}")
    return ", ".join(shown) or "none"


def _mode(path: Path) -> str:
    try:
        return f"{path.stat().st_mode & 0o777:04o}"
    except OSError:
        return "missing"


def _show(paths: CertificatePaths, stores: Sequence[trust.TrustStore]) -> None:
    from cryptography import x509

    from . import trust

    print(f"Folder:             {paths.ca_cert.parent} (mode {_mode(paths.ca_cert.parent)})")
    for title, cert_path, key_path in (
        ("CA certificate", paths.ca_cert, paths.ca_key),
        ("Server certificate", paths.server_cert, paths.server_key),
    ):
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        print(f"{title + ':':<20}{cert_path}")
        print(f"  subject:          {cert.subject.rfc4514_string()}")
        print(f"  not after:        {cert.not_valid_after_utc:%Y-%m-%d %H:%M:%S} UTC")
        print(f"  SHA-256:          {_fingerprint(cert)}")
        try:
            names = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
            print(f"  names (SAN):      {_general_names(names)}")
        except x509.ExtensionNotFound:
            pass
        try:
            constraints = cert.extensions.get_extension_for_class(x509.NameConstraints)
            critical = "critical" if constraints.critical else "NOT critical"
            print(
                f"  name constraints: permits {_general_names(constraints.value.permitted_subtrees or [])} ({critical})"
            )
        except x509.ExtensionNotFound:
            if title.startswith("CA"):
                print("  name constraints: none")
        print(f"  key:              {key_path} (mode {_mode(key_path)})")
    ca = trust.Authority.load(paths.ca_cert)
    print("Trusted by:")
    for store in stores:
        try:
            answer = "yes" if store.contains(ca) else "no"
        except trust.TrustStoreError as error:
            answer = f"unknown ({error})"
        print(f"  {store.description}: {answer}")


def certs(args: argparse.Namespace) -> int:
    from . import trust
    from .certificate_manager import CertificateManager

    manager = CertificateManager()
    stores = trust.stores_for()
    action = args.certs_command
    if action == "show":
        _show(manager.ensure_certificates(), stores)
    elif action == "trust":
        paths = manager.ensure_certificates()
        ca = trust.Authority.load(paths.ca_cert)
        for store in stores:
            print(f"{store.description}: {'added' if store.add(ca) else 'already trusted'}")
        print(
            "Restart the browser (and the spreadsheet host) to pick it up. For every user of this machine "
            f"(needs root, not done): {trust.system_wide_hint(None, paths.ca_cert)}"
        )
    elif action == "untrust":
        ca_path = manager.paths.ca_cert
        if not ca_path.is_file():
            print(f"No CA at {ca_path}: nothing to untrust")
            return 0
        ca = trust.Authority.load(ca_path)
        for store in stores:
            print(f"{store.description}: {'removed' if store.remove(ca) else 'was not trusted'}")
    else:
        old = manager.paths.ca_cert
        old_ca = trust.Authority.load(old) if args.ca and old.is_file() else None
        paths = manager.renew(ca=args.ca)
        print(f"New server certificate: {paths.server_cert}")
        if args.ca:
            print(f"New CA: {paths.ca_cert}")
            if old_ca is not None:
                for store in stores:
                    try:
                        if store.remove(old_ca):
                            print(f"{store.description}: the old CA was removed")
                    except trust.TrustStoreError as error:
                        print(f"{store.description}: the old CA could not be removed ({error})")
            print(f"Browsers trust the new CA only after: {PROG} certs trust")
    return 0


# ----------------------------------------------------------------------------------------------------------------
# Entry


def main(argv: list[str] | None = None, early_signals: list[int] | None = None) -> int:
    """Run the command line; `early_signals` are signals that came before it could handle them."""
    guard = SignalGuard()
    guard.install()
    if early_signals:
        guard.received = early_signals[0]
    try:
        return _main(argv, guard)
    finally:
        guard.restore()


def _main(argv: list[str] | None, guard: SignalGuard) -> int:
    # Both streams may be pipes read while the server runs: each line must arrive when it is written.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(line_buffering=True)
    args = build_parser().parse_args(argv)
    status = 1
    try:
        # From here on a signal cuts the work short; each step cleans up after itself on the way out.
        guard.arm()
        configure_logging(args)
        status = certs(args) if args.command == "certs" else serve(args, guard, demo=args.command == "demo")
    except Interrupted as stop:
        logger.debug("interrupted by %s", signal.Signals(stop.signum).name)
    except Exception as error:  # every failure ends as one line; --debug shows where
        from .exceptions import AddinLauncherError

        if args.debug:
            traceback.print_exc()
        if isinstance(error, (CliError, AddinLauncherError)):
            message = str(error)
        elif isinstance(error, OSError) and error.strerror:
            message = f"{error.strerror}{f': {error.filename}' if error.filename else ''}"
        else:
            message = f"{type(error).__name__}: {error}"
        print(f"{PROG}: error: {message}", file=sys.stderr)
        status = error.status if isinstance(error, CliError) else 1
    if guard.received is not None:
        print(f"{PROG}: stopped by {signal.Signals(guard.received).name}", file=sys.stderr)
        return 128 + guard.received
    return status
