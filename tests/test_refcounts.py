"""No member leaks a reference: every path is run many times and live blocks must not grow."""

import gc
import itertools
import os
import subprocess as real_subprocess
import sys
from types import SimpleNamespace

import pytest

from conftest import FakeCertManager, FakeConfig, free_port

ROUNDS = 3000

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="the allocator in use does not count blocks (PYTHONMALLOC=malloc)"
)


def growth(operation) -> int:
    """Blocks still allocated after ROUNDS more calls than after a warm-up."""
    for _ in range(200):
        operation()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - before


def raising(error, call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError(f"{call} did not raise {error.__name__}")

    return run


class Handle:
    pid, returncode = 4242, None

    def poll(self):
        return None

    def wait(self, timeout=None):
        return 0


@pytest.fixture
def quiet(sm, monkeypatch):
    """Doubles that keep nothing: every call is forgotten at once."""
    monkeypatch.setattr(sm, "Config", FakeConfig)
    monkeypatch.setattr(sm, "CertificateManager", FakeCertManager)
    monkeypatch.setattr(
        sm,
        "subprocess",
        SimpleNamespace(
            Popen=lambda *a, **k: Handle(),
            PIPE=-1,
            CREATE_NEW_PROCESS_GROUP=0x200,
            TimeoutExpired=real_subprocess.TimeoutExpired,
            run=lambda *a, **k: None,
        ),
    )
    monkeypatch.setattr(
        sm, "os", SimpleNamespace(setsid=os.setsid, getpgid=lambda pid: pid, killpg=lambda group, sig: None)
    )
    monkeypatch.setattr(sm, "atexit", SimpleNamespace(register=lambda hook: None))
    clock = itertools.count(0.0, 10.0)  # three passes of the readiness wait at most
    monkeypatch.setattr(sm, "time", SimpleNamespace(time=lambda: next(clock), sleep=lambda s: None))
    with open(os.devnull, "w") as sink:
        monkeypatch.setattr(sys, "stdout", sink)
        yield sm


def operations(sm):
    cls = sm.AddinServerManager
    m = cls(use_compiled=True, port=free_port(), watchdog_port=1, auth_token="t", docs_port=2)
    dev = cls(addin_path="/srv/addin")
    ready = cls(use_compiled=True)
    ready._is_port_in_use = lambda: True
    held = cls(use_compiled=True)
    held._process = Handle()
    held._is_port_in_use = lambda: False

    def start_stop():
        ready.start()
        ready.stop()

    def failed_start():
        ready.timeout = 0
        ready._wait_for_ready = lambda: False
        try:
            ready.start()
        except sm.ServerStartError:
            pass
        del ready._wait_for_ready

    def windows_stop():
        sm.sys = SimpleNamespace(platform="win32")
        held.stop()
        held._process = Handle()
        sm.sys = sys

    def collected_exit():
        gone = Handle()
        gone.returncode = 0
        held._process = gone
        try:
            held.stop()
        except ProcessLookupError:
            pass
        held._process = Handle()

    class StrSub(str):
        pass

    return {
        "construct": lambda: cls(True, 3000.5, 8000, 1, 2, "token", "/srv", 5, 1),
        "url": lambda: m.url,
        "pid": lambda: held.pid,
        "is_running-stopped": lambda: m.is_running,
        "is_running-held": lambda: held.is_running,
        "build_command": m._build_command,
        "build_command-dev": dev._build_command,
        "platform_args": m._get_platform_popen_args,
        "probe-closed-port": m._is_port_in_use,
        "wait": held._wait_for_ready,
        "terminate": held._terminate_process,
        "start-stop": start_stop,
        "failed-start": failed_start,
        "windows-stop": windows_stop,
        "collected-exit": collected_exit,
        "enter-exit": lambda: ready.__exit__(None, None, None) if ready.__enter__() else None,
        "stop-not-running": raising(sm.ServerNotRunningError, m.stop),
        "already-running": raising(sm.ServerStartError, lambda: (setattr(ready, "_process", Handle()), ready.start())),
        "too-many-positional": raising(TypeError, m.start, 1),
        "too-few-positional": raising(TypeError, cls.start),
        "multiple-values": raising(TypeError, m.start, self=m),
        "unexpected-keyword": raising(TypeError, m.stop, port=1),
        "missing-required": raising(TypeError, m.__exit__, exc_type=1),
        "init-too-many": raising(TypeError, cls, *range(10)),
        "port-type": raising(TypeError, cls, port="3000"),
        "timeout-type": raising(TypeError, cls, timeout="5"),
        "token-type": raising(TypeError, cls, auth_token=None),
        "token-subclass-note": raising(TypeError, cls, auth_token=StrSub("x")),
        "addin-path-type": raising(TypeError, cls, addin_path=b"/x"),
        "pid-type": raising(TypeError, lambda: cls.pid.fget(SimpleNamespace(_process=SimpleNamespace(pid="x")))),
        "no-addin-dir": raising(sm.ServerStartError, cls()._build_command),
    }


OPERATION_NAMES = [
    "construct",
    "url",
    "pid",
    "is_running-stopped",
    "is_running-held",
    "build_command",
    "build_command-dev",
    "platform_args",
    "probe-closed-port",
    "wait",
    "terminate",
    "start-stop",
    "failed-start",
    "windows-stop",
    "collected-exit",
    "enter-exit",
    "stop-not-running",
    "already-running",
    "too-many-positional",
    "too-few-positional",
    "multiple-values",
    "unexpected-keyword",
    "missing-required",
    "init-too-many",
    "port-type",
    "timeout-type",
    "token-type",
    "token-subclass-note",
    "addin-path-type",
    "pid-type",
    "no-addin-dir",
]


@pytest.mark.parametrize("name", OPERATION_NAMES)
def test_no_reference_leak(quiet, name):
    operation = operations(quiet)[name]
    assert growth(operation) < ROUNDS // 10, f"{name} leaks"
