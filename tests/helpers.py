"""What the test modules share: where things are, doubles of the module's collaborators, of the process
handle and of the socket module, the member list, a CA of earlier versions, free ports, finding, waiting for and
reading real processes, running code in a new interpreter, and the system programs some tests drive. Fixtures
live in conftest.py."""

import datetime as dt
import fcntl
import functools
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import termios
import textwrap
import time
import tomllib
import uuid
from pathlib import Path
from types import SimpleNamespace

import psutil
import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

import velmora_master
from velmora_master.addin_launcher import _processes
from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher._ports import accepts
from velmora_master.addin_launcher._ports import free_port as free_port  # the package's own serves the tests

# The tree the package under test was imported from: the checkout, or a copy
# holding another build of the module (the sanitizer run, an installed wheel).
ROOT = Path(velmora_master.__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent
MODULE_NAME = "velmora_master.addin_launcher.server_manager"

# Every process the tests start inherits this marker, so the session can find
# any of them still running at its end, grandchildren included.
SESSION_MARKER = f"VELMORA_TEST_SESSION={uuid.uuid4().hex}"

# The class's members in definition order; the three properties among them.
MEMBERS = [
    "__init__",
    "url",
    "pid",
    "is_running",
    "start",
    "stop",
    "__enter__",
    "__exit__",
    "_build_command",
    "_wait_for_ready",
    "_is_port_in_use",
    "_terminate_process",
    "_get_platform_popen_args",
]
PROPERTIES = {"url", "pid", "is_running"}


def function_of(cls, member):
    """The function behind a member: a property's getter, or the member itself."""
    raw = vars(cls)[member]
    return raw.fget if isinstance(raw, property) else raw


class StrSub(str):
    """A str subclass, which the constructor rejects where it asks for a str."""


class Alias(str):
    """A keyword that names `port` by its own __eq__ only."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return other == "port" or str.__eq__(self, other)


# ---- doubles of the collaborators ----------------------------------------------------------------------------


class FakeConfig:
    """Config double: a fixed add-in path and binary path, and the argument it got."""

    def __init__(self, addin_path=None, binary_path="/opt/velmora/server"):
        self.received = addin_path
        self.addin_path = Path(addin_path) if addin_path is not None else None
        self.binary_path = binary_path

    def get_binary_path(self):
        return self.binary_path


class FakeCertPaths:
    def __init__(self, ca_cert="/certs/ca.crt", server_cert="/certs/server.crt", server_key="/certs/server.key"):
        self.ca_cert, self.server_cert, self.server_key = ca_cert, server_cert, server_key


class FakeCertManager:
    def __init__(self):
        self.calls = 0
        self.paths = FakeCertPaths()

    def ensure_certificates(self):
        self.calls += 1
        return self.paths


class FakeProcess:
    """The process handle double.

    `poll` answers `status`; `returncode` is the exit status already collected (None: none). A wait times out
    `wait_times_out` times (True: always), raises KeyboardInterrupt instead when `interrupt` is set, and first
    collects the exit status `collect_on_wait` when that is not None. Given a list as `calls`, every poll and
    wait is recorded there; without one nothing is kept, as the reference-leak tests need.
    """

    def __init__(self, calls=None, pid=4242, status=None, wait_times_out=0, interrupt=False, collect_on_wait=None):
        self.calls, self.pid, self.status, self.returncode = calls, pid, status, None
        self.wait_times_out, self.interrupt, self.collect_on_wait = wait_times_out, interrupt, collect_on_wait

    def poll(self):
        if self.calls is not None:
            self.calls.append(("poll",))
        return self.status

    def wait(self, timeout=None):
        if self.calls is not None:
            self.calls.append(("wait", timeout))
        if self.collect_on_wait is not None:
            self.returncode = self.collect_on_wait
        if self.interrupt:
            raise KeyboardInterrupt
        if self.wait_times_out:
            if self.wait_times_out is not True:
                self.wait_times_out -= 1
            raise subprocess.TimeoutExpired("server", timeout)
        return 0


class FakeSocket:
    """Socket double for the port probe: `connect` raises `outcome` unless it is None, `__exit__` notes the
    exception being handled as `handling`, raises `exit_error` when set and else returns `suppress`. Given a list
    as `log`, every step is recorded there."""

    def __init__(self, log=None, outcome=None, suppress=False, exit_error=None):
        self.log, self.outcome, self.suppress, self.exit_error = log, outcome, suppress, exit_error
        self.handling = None

    def note(self, entry):
        if self.log is not None:
            self.log.append(entry)

    def __enter__(self):
        self.note("enter")
        return self

    def __exit__(self, *exc):
        self.note(("exit", exc[0]))
        self.handling = sys.exception()
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress

    def settimeout(self, seconds):
        self.note(("settimeout", seconds))

    def connect(self, address):
        self.note(("connect", address))
        if self.outcome is not None:
            raise self.outcome


def fake_socket_module(make, timeout=TimeoutError):
    """Double of the `socket` module for the port probe: `socket()` returns what `make()` makes (fresh errors at
    each call, so that none carries the tracebacks of earlier ones), noting its own arguments on a FakeSocket.
    `make` may make anything else, or raise. With `timeout` None the module has no `socket.timeout` at all."""

    def socket(*args):
        made = make()
        if isinstance(made, FakeSocket):
            made.note(("socket", args))
        return made

    return SimpleNamespace(socket=socket, AF_INET=2, SOCK_STREAM=1, **({} if timeout is None else {"timeout": timeout}))


# ---- certificate stores ---------------------------------------------------------------------------------------


def unconstrained_ca(paths):
    """What earlier versions made: the same CA without the name constraints (nor a subject key identifier), and a
    server certificate it signed."""
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.load_pem_x509_certificate(paths.ca_cert.read_bytes()).subject
    now = dt.datetime.now(dt.UTC)
    unconstrained = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(now + dt.timedelta(days=3000))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .sign(key, hashes.SHA256())
    )
    cm._write_pair(paths.ca_cert, paths.ca_key, unconstrained, key)
    cm._write_pair(paths.server_cert, paths.server_key, *cm._make_server_certificate(unconstrained, key))


# ---- ports and real processes --------------------------------------------------------------------------------


def clean_environment():
    """This environment without the sanitizer set-up or a path leading back to the checkout."""
    unwanted = ("LD_PRELOAD", "ASAN", "LSAN", "UBSAN", "PYTHONPATH", "PIP_")
    return {k: v for k, v in os.environ.items() if not k.startswith(unwanted)}


def _live(process) -> bool:
    """Running: present and not a zombie (an exited child nobody reaped yet runs nothing)."""
    try:
        return process.status() != psutil.STATUS_ZOMBIE
    except psutil.Error:
        return False


def marked_processes(marker=SESSION_MARKER):
    """Pids of the running processes, this one and its guard aside (which serves it until it exits), whose
    environment holds `marker` (NAME=VALUE)."""
    from velmora_master.addin_launcher import _guard

    name, value = marker.split("=", 1)
    spared = {os.getpid(), _guard.guard_pid()}
    found = []
    for process in psutil.process_iter():
        try:
            if process.pid not in spared and process.environ().get(name) == value and _live(process):
                found.append(process.pid)
        except psutil.Error:
            continue  # gone meanwhile, or another user's
    return found


def left_running(marker=None, server_mark=None, port=None):
    """What a test left running: processes carrying its `marker` (NAME=VALUE) or the server's mark, and the
    server's port if it still accepts. Empty when nothing is left."""
    left = [f"marked {pids}" for pids in [marked_processes(marker) if marker else []] if pids]
    left += [f"carrying the mark {found}" for found in (_processes.marked(server_mark) if server_mark else [])]
    return left + ([f"port {port} accepts"] if port and accepts(port) else [])


def assert_nothing_left(marker=None, server_mark=None, port=None, seconds=2.0):
    """Fails the test unless, within `seconds`, nothing carries `marker` or `server_mark` and `port` is closed.

    A helper killed after its server is a zombie until init reaps it: the short wait covers it."""
    assert wait_until(lambda: not left_running(marker, server_mark, port), seconds), left_running(
        marker, server_mark, port
    )


def alive(pid: int) -> bool:
    """Running: present and not a zombie."""
    try:
        return _live(psutil.Process(pid))
    except psutil.Error:
        return False


def gone(pid: int) -> bool:
    """No process of that pid at all, not even a zombie waiting to be reaped."""
    return not psutil.pid_exists(pid)


# The sanitizer run preloads its runtime into every process (node and the fake servers too), and each one
# checks its whole heap for leaks as it exits: time bounds are stretched there.
_SLOWDOWN = 6 if "LD_PRELOAD" in os.environ else 1


def within(seconds: float) -> float:
    """A time bound, stretched where the sanitizer slows every process down."""
    return seconds * _SLOWDOWN


def wait_until(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class Terminal:
    """A pseudo-terminal for a child, as a terminal window gives one: `argv(...)` is started with it as its three
    streams (`controlling`: also as its controlling terminal, in a session of its own), and `read_until` reads what
    it shows. Closing it hangs the terminal up."""

    def __init__(self):
        self.controller, self.device = pty.openpty()

    def start(self, argv, controlling=True, **popen):
        if controlling:
            popen["preexec_fn"] = functools.partial(fcntl.ioctl, 0, termios.TIOCSCTTY, 0)
        streams = {"stdin": self.device if controlling else subprocess.DEVNULL, "stdout": self.device}
        process = subprocess.Popen(argv, start_new_session=True, stderr=self.device, **streams, **popen)
        os.close(self.device)
        return process

    def read_some(self, seconds):
        """What the terminal shows next ("" once no program holds it); fails the test after `seconds` of silence."""
        ready, _, _ = select.select([self.controller], [], [], within(seconds))
        assert ready, f"the terminal showed nothing for {seconds} s"
        try:
            return os.read(self.controller, 4096).decode(errors="replace")
        except OSError:  # EIO: no program holds the terminal any more
            return ""

    def type(self, text):
        os.write(self.controller, text.encode())

    def echoes(self):
        return bool(termios.tcgetattr(self.controller)[3] & termios.ECHO)

    def close(self):
        os.close(self.controller)


def read_until(source, text=None, seconds=10):
    """Reads a child's output, a pipe (line by line) or a Terminal, until it holds `text` (None: to its end);
    what was read. Fails the test when the output ends before `text`, or when `seconds` pass with nothing new
    (on a pipe: checked between lines)."""
    deadline = time.monotonic() + seconds
    seen = ""
    while text is None or text not in seen:
        if isinstance(source, Terminal):
            chunk = source.read_some(seconds)
        else:
            assert time.monotonic() < deadline, f"{text!r} not seen within {seconds} s in {seen!r}"
            chunk = source.readline()
        if not chunk:
            assert text is None, f"{text!r} not seen in {seen!r}"
            break
        seen += chunk
        deadline = time.monotonic() + seconds
    return seen


def run_python(code: str, cwd: Path = ROOT, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` (dedented) in a new interpreter in `cwd`, to its end; its output captured as text."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, text=True, timeout=timeout
    )


# The command line, as a user runs it.
COMMAND = [sys.executable, "-m", "velmora_master.addin_launcher"]


def cli_environment(env=None):
    """This process's environment with `env` laid over it; a variable given as None is left out."""
    merged = {**os.environ, **(env or {})}
    return {name: value for name, value in merged.items() if value is not None}


def run_cli(*args, env=None, timeout=60, **kwargs):
    """Runs the command line to its end in the checkout, in cli_environment(env); its output captured as text."""
    return subprocess.run(
        [*COMMAND, *args],
        cwd=ROOT,
        env=cli_environment(env),
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
        **kwargs,
    )


def declared_version(root=ROOT):
    """The version the checkout at `root` declares in its pyproject.toml."""
    return tomllib.loads((root / "pyproject.toml").read_text())["project"]["version"]


# Add-in servers that misbehave, each a server.js that `addin_folder` writes: "unhealthy" listens and shakes
# hands like the sample but answers /health with 503 (never ready); "stubborn" is the sample ignoring SIGTERM
# (stop kills it after the grace period); "leaky" is the sample after starting a Python child that moves to a
# process group of its own (out of the group's signals, still in the server's session), having written the
# child's pid to the file `pid_file`.
ADDIN_SERVERS = {
    "unhealthy": """
const fs = require('fs');
const argv = process.argv;
const option = (name) => argv[argv.indexOf(`--${name}`) + 1];
require('https')
  .createServer({ cert: fs.readFileSync(option('cert')), key: fs.readFileSync(option('key')) }, (request, answer) => {
    answer.writeHead(503);
    answer.end();
  })
  .listen(Number(option('port')), '127.0.0.1');
""",
    "stubborn": """
require({sample});
process.removeAllListeners('SIGTERM');
process.on('SIGTERM', () => {{}});
""",
    "leaky": """
const fs = require('fs');
const child = require('child_process').spawn(
  {python}, ['-c', 'import os, time; os.setpgid(0, 0); time.sleep(60)'], {{ stdio: 'ignore' }});
fs.writeFileSync({pid_file}, String(child.pid));
require({sample});
""",
}


def addin_folder(folder, kind, pid_file=""):
    """An add-in folder whose server.js is the misbehaving server `kind` of ADDIN_SERVERS."""
    from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

    folder.mkdir()
    names = {"sample": BUNDLED_ADDIN_DIR / "server.js", "python": sys.executable, "pid_file": pid_file}
    source = ADDIN_SERVERS[kind]
    if kind != "unhealthy":  # the only one without placeholders (its braces are JavaScript's)
        source = source.format(**{name: json.dumps(str(value)) for name, value in names.items()})
    (folder / "server.js").write_text(source)
    return folder


# Programs some tests drive, installed on demand where the machine allows.
SYSTEM_PACKAGES = {"certutil": "libnss3-tools", "chromium": "chromium", "firefox-esr": "firefox-esr", "node": "nodejs"}


@functools.cache
def _install_attempt() -> str:
    """Run the project's installer once per session; its complaint, if any, becomes the skip reason."""
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return "it needs root and apt-get to be installed"
    result = subprocess.run(
        ["bash", str(TESTS.parent / "tools" / "test_deps.sh")], capture_output=True, text=True, timeout=900, check=False
    )
    return result.stderr.strip().splitlines()[-1] if result.returncode else ""


def need(tool: str) -> str:
    """The path of `tool`, installing it when missing; skips the test with the reason when that cannot be done."""
    if shutil.which(tool) is None:
        why = _install_attempt()
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} (Debian package {SYSTEM_PACKAGES[tool]}) is missing: {why or 'installation failed'}")
    return shutil.which(tool)
