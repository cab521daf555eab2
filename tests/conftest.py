import contextlib
import errno
import json
import logging
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import uuid
from types import SimpleNamespace

import pytest

from helpers import (
    MODULE_NAME,
    SESSION_MARKER,
    TESTS,
    FakeCertManager,
    FakeConfig,
    FakeProcess,
    assert_nothing_left,
    free_port,
    marked_processes,
    wait_until,
)
from velmora_master.addin_launcher import _processes
from velmora_master.addin_launcher._ports import accepts
from velmora_master.addin_launcher.certificate_manager import CertificateManager
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

# The mark every server our launches start carries in its environment.
SERVER_MARK = _processes.SERVER_MARK_ENV
# A program that only listens: someone else's.
STRANGER = "import socket, sys, time; s = socket.create_server(('127.0.0.1', int(sys.argv[1]))); time.sleep(120)"


def pytest_configure(config):
    key, value = SESSION_MARKER.split("=")
    os.environ[key] = value
    # Certificates made by the tests stay out of the user's own folder.
    os.environ["VELMORA_CERT_DIR"] = tempfile.mkdtemp(prefix="velmora-test-certs-")


def pytest_unconfigure(config):
    shutil.rmtree(os.environ.pop("VELMORA_CERT_DIR", ""), ignore_errors=True)


@pytest.fixture(scope="session", autouse=True)
def no_process_left_behind():
    yield
    deadline = time.monotonic() + 2
    while (left := marked_processes()) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in left:
        try:
            os.kill(pid, 9)
        except OSError:
            pass
    assert not left, f"processes started by the tests are still running: {left}"


@pytest.fixture(scope="session")
def sm():
    import importlib

    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def port():
    return free_port()


@pytest.fixture
def doubles(sm, monkeypatch):
    """Replace Config and CertificateManager in the module namespace with doubles."""
    monkeypatch.setattr(sm, "Config", FakeConfig)
    monkeypatch.setattr(sm, "CertificateManager", FakeCertManager)
    return sm


@pytest.fixture
def fake_binary(tmp_path):
    """An executable standing in for the pre-compiled server (see fake_server.py)."""
    path = tmp_path / "velmora-addin-server"
    path.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{TESTS / "fake_server.py"}" "$@"\n')
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


@pytest.fixture
def nothing_left(monkeypatch):
    """A marker (NAME=VALUE) in this process's environment, so that every process the test starts carries it;
    after the test, none that does may still run."""
    value = uuid.uuid4().hex
    monkeypatch.setenv("VELMORA_TEST_CASE", value)
    yield f"VELMORA_TEST_CASE={value}"
    assert_nothing_left(f"VELMORA_TEST_CASE={value}", seconds=3)


@pytest.fixture
def spawn():
    """Starts a child, in a session of its own unless told otherwise: `spawn(argv, **popen)`. After the test,
    whatever is left of each one's group (or the child alone) is killed, reaped, and its pipes closed."""
    started = []

    def start(argv, **popen):
        popen.setdefault("start_new_session", True)
        process = subprocess.Popen(argv, **popen)
        started.append((process, popen["start_new_session"]))
        return process

    yield start
    for process, leads_a_group in started:
        with contextlib.suppress(ProcessLookupError):
            if leads_a_group:
                os.killpg(process.pid, signal.SIGKILL)
            elif process.poll() is None:
                process.kill()
        process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None:
                stream.close()


@pytest.fixture
def port_holder(tmp_path, spawn):
    """Starts a process that listens on a port, and waits until it does: `start(kind, port, **env)`.

    Kinds: "stranger", a plain Python listener; "leftover", the sample add-in's server.js under node, as a run
    that was killed leaves it ("leftover-relative": started in the add-in folder as `node server.js`);
    "marked", the fake server carrying the mark of our launches (FAKE_SERVER_MODE and the like from `env`).
    Each leads a session of its own.
    """

    def start(kind, port, **extra):
        env = {**os.environ, **extra}
        cwd = None
        if kind == "stranger":
            argv = [sys.executable, "-c", STRANGER, str(port)]
        elif kind == "marked":
            argv = [sys.executable, str(TESTS / "fake_server.py"), "--port", str(port)]
            env[SERVER_MARK] = "1"
        else:
            paths = CertificateManager(tmp_path / "holder-certs").ensure_certificates()
            script = "server.js" if kind == "leftover-relative" else str(BUNDLED_ADDIN_DIR / "server.js")
            cwd = BUNDLED_ADDIN_DIR if kind == "leftover-relative" else None
            argv = ["node", script, "--cert", str(paths.server_cert), "--key", str(paths.server_key)]
            argv += ["--port", str(port), "--server-port", "8000", "--logging-level", "ERROR"]
        process = spawn(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: accepts(port) or process.poll() is not None, 20) and process.poll() is None
        return process

    return start


@pytest.fixture
def double(tmp_path, monkeypatch):
    """Put the macOS or Windows tool double on a PATH of its own, beside the real programs named in `keep`;
    returns a function that gives (and forgets) the command lines the double was run with."""

    def install(name, flavour, keep=()):
        bin_dir = tmp_path / f"bin-{flavour}"
        bin_dir.mkdir()
        tool = bin_dir / name
        tool.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{TESTS / "trust_double.py"}" {flavour} "$@"\n')
        tool.chmod(0o755)
        for program in keep:
            (bin_dir / program).symlink_to(shutil.which(program))
        monkeypatch.setenv("PATH", str(bin_dir))
        monkeypatch.setenv("TRUST_DOUBLE_STATE", str(tmp_path / "state.json"))
        monkeypatch.setenv("TRUST_DOUBLE_LOG", str(tmp_path / "calls.log"))

        def calls():
            lines = (tmp_path / "calls.log").read_text().splitlines()
            (tmp_path / "calls.log").write_text("")
            return [json.loads(line) for line in lines]

        return calls

    return install


class Discard:
    """Standard output that keeps nothing of what is printed."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def services(request, doubles, monkeypatch):
    """Doubles of subprocess, os, sys, atexit and time in the module namespace, on a POSIX system.

    The server is pid 4242 in group 4243; the interpreter's own group is `env.own_group`. `env.members` is how
    many probes of a group (signal 0) still find someone there; `env.gone` lists the signals that find nobody
    (ProcessLookupError) and `env.refused` those refused (PermissionError); `env.pid_taken` says whether some
    process holds the server's pid (signal 0 to the pid alone); `env.ticks`, when set, are the next
    readings of the monotonic clock, which otherwise moves only by the sleeps; `env.interrupt_sleep` makes a
    sleep raise KeyboardInterrupt (a Ctrl-C in a pause). `env.sys` is the module's `sys`.

    Recording (the default): every call is appended to `env.calls`, in order. Quiet (tests marked `quiet`):
    nothing is kept, printed output is discarded, and a sleep moves the clock a hundred times as far, so that
    every wait ends within a few passes: what the reference-leak tests need.
    """
    quiet = request.node.get_closest_marker("quiet") is not None
    calls = []
    note = (lambda call: None) if quiet else calls.append
    pace = 100 if quiet else 1
    env = SimpleNamespace(
        calls=calls,
        process=FakeProcess(None if quiet else calls),
        clock=[100.0],
        members=0,
        gone=set(),
        refused=set(),
        pid_taken=False,
        own_group=1,
        ticks=[],
        interrupt_sleep=False,
        sys=SimpleNamespace(platform="linux"),
    )

    def popen(*args, **kwargs):
        note(("Popen", args, kwargs))
        return env.process

    def run(*args, **kwargs):
        note(("run", args, kwargs))
        return SimpleNamespace(returncode=128)

    def sleep(seconds):
        note(("sleep", seconds))
        if env.interrupt_sleep:
            raise KeyboardInterrupt
        env.clock[0] += seconds * pace

    def monotonic():
        note(("monotonic",))
        return env.ticks.pop(0) if env.ticks else env.clock[0]

    def signal_sender(kind):
        def send(target, sig):
            note((kind, target, sig))
            if sig in env.refused:
                raise PermissionError(errno.EPERM, "Operation not permitted")
            if sig == 0 and kind == "kill":
                if not env.pid_taken:
                    raise ProcessLookupError(errno.ESRCH, "No such process")
            elif sig == 0:
                if env.members <= 0:
                    raise ProcessLookupError(errno.ESRCH, "No such process")
                env.members -= 1
            elif sig in env.gone:
                raise ProcessLookupError(errno.ESRCH, "No such process")

        return send

    sm = doubles
    monkeypatch.setattr(
        sm,
        "subprocess",
        SimpleNamespace(
            Popen=popen,
            PIPE="PIPE",
            CREATE_NEW_PROCESS_GROUP=0x200,
            TimeoutExpired=subprocess.TimeoutExpired,
            run=run,
        ),
    )
    monkeypatch.setattr(
        sm,
        "os",
        SimpleNamespace(
            getpgid=lambda pid: note(("getpgid", pid)) or pid + 1,
            getpgrp=lambda: note(("getpgrp",)) or env.own_group,
            killpg=signal_sender("killpg"),
            kill=signal_sender("kill"),
        ),
    )
    monkeypatch.setattr(sm, "sys", env.sys)
    monkeypatch.setattr(sm, "atexit", SimpleNamespace(register=lambda f: note(("register", f))))
    monkeypatch.setattr(sm, "time", SimpleNamespace(time=lambda: env.clock[0], sleep=sleep, monotonic=monotonic))
    if quiet:
        monkeypatch.setattr(sys, "stdout", Discard())
    return env


@pytest.fixture
def cli_logging():
    """For the command line run in this process: the logging it sets up does not outlive the test."""
    package_logger = logging.getLogger("velmora_master")
    level, handlers = package_logger.level, list(package_logger.handlers)
    yield
    for handler in set(package_logger.handlers) - set(handlers):
        package_logger.removeHandler(handler)
        handler.close()
    package_logger.setLevel(level)
