"""No member leaks a reference: every path is run many times and what it holds must not grow.

On the debug interpreter the measure is the total of all reference counts
(sys.gettotalrefcount), which any leaked reference raises; elsewhere it is the
number of allocated memory blocks, which only a leaked object raises.
"""

import copy
import errno
import gc
import importlib.util
import itertools
import sys
from types import SimpleNamespace

import pytest

from helpers import (
    MODULE_NAME,
    Alias,
    FakeCertManager,
    FakeConfig,
    FakeProcess,
    FakeSocket,
    StrSub,
    fake_socket_module,
    free_port,
)

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
ROUNDS = 1000 if DEBUG_BUILD else 3000
# What the interpreter itself may keep across the rounds (caches filled once,
# a counter moved on); a leak of one reference per call is ROUNDS or more.
SLACK = 50 if DEBUG_BUILD else ROUNDS // 10

pytestmark = [
    pytest.mark.skipif(
        not DEBUG_BUILD and sys.getallocatedblocks() == 0,
        reason="the allocator in use does not count blocks (PYTHONMALLOC=malloc)",
    ),
    pytest.mark.quiet,  # the services double keeps nothing of the calls
    pytest.mark.slow,  # thousands of rounds of every path
]


def growth(operation) -> int:
    """References (debug build) or blocks still held after ROUNDS more calls than after a warm-up."""
    measure = sys.gettotalrefcount if DEBUG_BUILD else sys.getallocatedblocks
    for _ in range(200):
        operation()
    gc.collect()
    before = measure()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return measure() - before


def raising(error, call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError(f"{call} did not raise {error.__name__}")

    return run


def raising_now(error):
    raise error


def operations(sm):
    cls = sm.AddinServerManager
    m = cls(use_compiled=True, port=free_port(), watchdog_port=1, auth_token="t", docs_port=2)
    dev = cls(addin_path="/srv/addin")
    ready = cls(use_compiled=True)
    ready._is_port_in_use = lambda: True
    held = cls(use_compiled=True)
    held._process = FakeProcess()
    held._is_port_in_use = lambda: False
    stale = cls(use_compiled=True)  # its child lives on, its port no longer accepts
    stale._is_port_in_use = lambda: False
    stale._wait_for_ready = lambda: True
    interrupted = cls(use_compiled=True)
    interrupted._is_port_in_use = lambda: raising_now(KeyboardInterrupt)

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
        sm.sys.platform = "win32"
        held.stop()
        held._process = FakeProcess()
        sm.sys.platform = "linux"

    def collected_exit():
        gone = FakeProcess()
        gone.returncode = 0
        held._process = gone
        try:
            held.stop()
        except ProcessLookupError:
            pass
        held._process = FakeProcess()

    def restart_and_leave():
        stale._process = FakeProcess()
        stale.start()  # stops the child it held first
        stale._process = FakeProcess()
        stale.__exit__(None, None, None)  # stops it too

    def exit_interrupted():
        interrupted._process = FakeProcess()
        interrupted.__exit__(None, None, None)

    def swapped(attr, value, call):
        # Runs `call` with the module attribute `attr` replaced, then puts it back.
        def run():
            saved = getattr(sm, attr)
            setattr(sm, attr, value)
            try:
                call()
            finally:
                setattr(sm, attr, saved)

        return run

    start = vars(cls)["start"]
    other_name = importlib.util.spec_from_file_location("other.server_manager", sm.__file__)

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
        "restart-and-leave-a-live-child": restart_and_leave,
        "exit-interrupted": raising(KeyboardInterrupt, exit_interrupted),
        "keyword-by-equality": lambda: cls(**{Alias("harbour"): 3123}),
        "stop-not-running": raising(sm.ServerNotRunningError, m.stop),
        "already-running": raising(
            sm.ServerStartError, lambda: (setattr(ready, "_process", FakeProcess()), ready.start())
        ),
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
        "error-not-an-exception": swapped("ServerNotRunningError", lambda message: None, raising(TypeError, m.stop)),
        "probe-exit-fails": swapped(
            "socket",
            fake_socket_module(lambda: FakeSocket(outcome=ValueError("bad port"), exit_error=KeyError("exit"))),
            raising(KeyError, m._is_port_in_use),
        ),
        "probe-timeout-lookup-fails": swapped(
            "socket",
            fake_socket_module(lambda: FakeSocket(outcome=ConnectionRefusedError()), timeout=None),
            raising(AttributeError, m._is_port_in_use),
        ),
        "probe-timeout-not-a-class": swapped(
            "socket",
            fake_socket_module(lambda: FakeSocket(outcome=ConnectionRefusedError()), timeout=42),
            raising(TypeError, m._is_port_in_use),
        ),
        "probe-not-a-context-manager": swapped(
            "socket",
            fake_socket_module(object),  # no context manager at all
            raising(TypeError, m._is_port_in_use),
        ),
        "function-attributes": lambda: (
            start.__globals__,
            start.__reduce__(),
            repr(start),
            copy.copy(start),
            start.__annotations__,
            start.__code__,
        ),
        "load-under-other-name": raising(ImportError, importlib.util.module_from_spec, other_name),
    }


def names_of(make_operations):
    """The names of the operations `make_operations` builds, for parametrizing: built once here against the
    collaborator doubles, since building them constructs managers."""
    sm = importlib.import_module(MODULE_NAME)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sm, "Config", FakeConfig)
        patch.setattr(sm, "CertificateManager", FakeCertManager)
        return list(make_operations(sm))


# ---- the ways out of a wait: survivors of the group, SIGKILL not obeyed, interrupts, errors while handling ----


def termination_paths(sm):
    cls = sm.AddinServerManager
    manager = cls(use_compiled=True)
    doubles = sm.os, sm.time

    def with_doubles(run, sleep=None, **os_doubles):
        def operation():
            sm.os = SimpleNamespace(**{**vars(doubles[0]), **os_doubles})
            clock = {"monotonic": itertools.count(0.0, 2.0).__next__, **({"sleep": sleep} if sleep else {})}
            sm.time = SimpleNamespace(**{**vars(doubles[1]), **clock})
            try:
                run()
            finally:
                sm.os, sm.time = doubles

        return operation

    def stop(handle, error=()):
        def run():
            manager._process = handle()
            try:
                manager.stop()
            except error:
                return
            assert error == (), f"stop did not raise {error}"

        return run

    def refused(*args):
        raise PermissionError(errno.EPERM, "Operation not permitted")

    def start(wait, error, exited=False):
        def run():
            def wait_for_ready():
                if exited:
                    manager._process.returncode = 3
                return wait()

            manager._wait_for_ready = wait_for_ready
            try:
                manager.start()
            except error:
                assert manager._process is None
            else:
                raise AssertionError(f"start did not raise {error.__name__}")

        return run

    def interrupt():
        raise KeyboardInterrupt

    def survivors(group, sig):
        return None  # always someone left, until the clock runs out

    def collected():
        handle = FakeProcess()
        handle.returncode = 0
        return handle

    return {
        "survivors-killed": with_doubles(stop(FakeProcess), killpg=survivors),
        "survivors-wait-interrupted": with_doubles(
            stop(FakeProcess, KeyboardInterrupt), sleep=lambda seconds: interrupt(), killpg=survivors
        ),
        "kill-waited-for": with_doubles(stop(lambda: FakeProcess(wait_times_out=1))),
        "kill-not-obeyed": with_doubles(stop(lambda: FakeProcess(wait_times_out=True), sm.ServerStopError)),
        "kill-refused": with_doubles(
            stop(lambda: FakeProcess(wait_times_out=True), PermissionError),
            killpg=lambda g, s: refused() if s == 9 else None,
        ),
        "interrupted-grace": with_doubles(stop(lambda: FakeProcess(interrupt=True), KeyboardInterrupt)),
        "interrupted-grace-kill-refused": with_doubles(
            stop(lambda: FakeProcess(interrupt=True), PermissionError),
            killpg=lambda g, s: refused() if s == 9 else None,
        ),
        "own-group": with_doubles(stop(FakeProcess), getpgrp=lambda: 4243),
        "own-group-interrupted": with_doubles(
            stop(lambda: FakeProcess(interrupt=True), KeyboardInterrupt), getpgrp=lambda: 4243
        ),
        "interrupted-start": with_doubles(start(interrupt, KeyboardInterrupt)),
        "interrupted-start-stop-refused": with_doubles(start(interrupt, PermissionError), killpg=refused),
        "interrupted-start-exit-collected": with_doubles(start(interrupt, KeyboardInterrupt, exited=True)),
        "exited-before-listening": with_doubles(
            start(lambda: False, sm.ServerStartError, exited=True), killpg=survivors
        ),
        "exited-before-listening-interrupted": with_doubles(
            start(lambda: False, KeyboardInterrupt, exited=True), sleep=lambda seconds: interrupt(), killpg=survivors
        ),
        "collected-exit-helpers-killed": with_doubles(stop(collected, ProcessLookupError), killpg=survivors),
        "collected-exit-pid-refused": with_doubles(stop(collected, ProcessLookupError), kill=refused),
    }


# Each operation, then each way out of a wait, under its own name.
LEAK_CASES = [(make, name) for make in (operations, termination_paths) for name in names_of(make)]


@pytest.mark.parametrize(("make", "name"), LEAK_CASES, ids=[name for _, name in LEAK_CASES])
def test_no_reference_leak(sm, services, make, name):
    grown = growth(make(sm)[name])
    assert grown < SLACK, f"{name} leaks: {grown} more after {ROUNDS} calls"
