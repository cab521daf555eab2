"""start, readiness, stop and `with`, against doubles of every service they use."""

import copy
import errno
import signal as real_signal
import socket
import subprocess as real_subprocess
import sys
import types
from pathlib import Path

import psutil
import pytest

from helpers import FakeProcess, FakeSocket, fake_socket_module

TERM, KILL = real_signal.SIGTERM, real_signal.SIGKILL
# What a stop does when the server exits on SIGTERM and leaves nobody in its group.
GRACE = [("getpgid", 4242), ("getpgrp",), ("killpg", 4243, TERM), ("monotonic",), ("wait", 5), ("killpg", 4243, 0)]
# What ending the former group of a server whose exit was collected does when the SIGTERM leaves nobody there.
FORMER_GROUP = [("killpg", 4242, TERM), ("monotonic",), ("killpg", 4242, 0)]
ESRCH = ("ProcessLookupError", "[Errno 3] No such process")


def launcher(sm, services, wait=None, setup=None, **kwargs):
    """A manager whose start launches `server` from /srv/addin and then runs `wait` (made by wait_that; default:
    ready at once), with `setup` applied to the doubles first."""
    apply(services, setup or {})
    manager = sm.AddinServerManager(addin_path="/srv/addin", **kwargs)
    manager._build_command = lambda: ["server"]
    manager._wait_for_ready = (wait or wait_that(True))(manager, services)
    return manager


def held(sm, services, probe=None, setup=None, **kwargs):
    """A manager holding the process double (after `setup` is applied to the doubles); `probe`, when given, stands
    in for its port probe."""
    apply(services, setup or {})
    manager = sm.AddinServerManager(**kwargs)
    manager._process = services.process
    if probe is not None:
        manager._is_port_in_use = probe
    return manager


def names(calls):
    return [c[0] for c in calls]


def apply(services, setup):
    """Sets each key on the process double or the module's `sys` when it has that attribute, else on the services."""
    for key, value in setup.items():
        owner = next((o for o in (services.process, services.sys) if hasattr(o, key)), services)
        setattr(owner, key, copy.copy(value))  # the doubles use up lists; the rows stay as written


def raised_by(call):
    """None when `call` returns, else the type name and text of what it raised."""
    try:
        call()
    except BaseException as error:
        return type(error).__name__, str(error)
    return None


class Thrown(Exception):
    pass


def wait_that(outcome, collect=None, drop=False):
    """A readiness wait that first collects the exit status `collect` or drops the handle, then raises
    `outcome` (an exception class) or returns it."""

    def make(manager, services):
        def wait_for_ready():
            services.calls.append(("wait_for_ready",))
            if collect is not None:
                services.process.returncode = collect
            if drop:
                manager._process = None
            if isinstance(outcome, type):
                services.raised = outcome()
                raise services.raised
            return outcome

        return wait_for_ready

    return make


# ---- start -------------------------------------------------------------------------------------------------


def test_start_launches_then_registers_the_exit_hook_then_waits(sm, services):
    manager = launcher(sm, services)
    assert manager.start() is None
    popen, register = services.calls[0], services.calls[1]
    assert popen == (
        "Popen",
        (["server"],),
        {"cwd": Path("/srv/addin"), "stdout": None, "stderr": None, "start_new_session": True},
    )
    assert list(popen[2]) == ["cwd", "stdout", "stderr", "start_new_session"]
    assert register[1] == manager._terminate_process and register[1].__self__ is manager
    assert names(services.calls) == ["Popen", "register", "wait_for_ready"]
    assert manager._process is services.process and manager.pid == 4242


@pytest.mark.parametrize(
    "platform, option",
    [
        ("win32", {"creationflags": 0x200}),
        ("win", {"start_new_session": True}),
        ("win32 ", {"start_new_session": True}),
        ("cygwin", {"start_new_session": True}),
    ],
)
def test_platform_options_reach_popen(sm, services, platform, option):
    services.sys.platform = platform
    manager = launcher(sm, services, capture_output=True)
    first = manager._get_platform_popen_args()
    assert first == option and manager._get_platform_popen_args() is not first
    manager.start()
    assert services.calls[0][2] == {"cwd": Path("/srv/addin"), "stdout": "PIPE", "stderr": "PIPE", **option}


@pytest.mark.parametrize(
    "options, error",
    [
        (None, "argument after ** must be a mapping, not NoneType"),
        ([("a", 1)], "argument after ** must be a mapping, not list"),
        ({"cwd": "/elsewhere"}, "function() got multiple values for keyword argument 'cwd'"),
        ({"extra": 1, "stderr": None}, "function() got multiple values for keyword argument 'stderr'"),
        ({1: 2}, "keywords must be strings"),
    ],
)
def test_bad_platform_options_launch_nothing(sm, services, options, error):
    manager = launcher(sm, services)
    manager._get_platform_popen_args = lambda: options
    with pytest.raises(TypeError) as caught:
        manager.start()
    assert str(caught.value) == error
    assert services.calls == [] and manager._process is None


def test_platform_options_may_be_any_mapping(sm, services):
    manager = launcher(sm, services)
    manager._get_platform_popen_args = lambda: types.MappingProxyType({"env": {"A": "1"}})
    manager.start()
    assert services.calls[0][2] == {"cwd": Path("/srv/addin"), "stdout": None, "stderr": None, "env": {"A": "1"}}
    manager._get_platform_popen_args = dict
    manager._process = None
    manager.start()
    assert list(services.calls[-3][2]) == ["cwd", "stdout", "stderr"]


def test_start_refuses_when_running(sm, services):
    manager = launcher(sm, services)
    held = manager._process = FakeProcess(services.calls)
    manager._is_port_in_use = lambda: True
    with pytest.raises(sm.ServerStartError, match=r"^Server is already running$"):
        manager.start()
    assert names(services.calls) == ["poll"] and manager._process is held


# start with a handle held while is_running is false: a child still alive (its port not accepting) is stopped
# before the launch, an exited one is only replaced.
HELD_AT_START_ROWS = {
    # id: (status of the held child, setup, calls before the launch, what start raised)
    "exited": (0, {}, [("poll",), ("poll",)], None),
    "alive-not-accepting": (None, {}, [("poll",), ("poll",), *GRACE], None),
    "alive-stop-refused": (
        None,
        {"refused": {TERM}},
        [("poll",), ("poll",), *GRACE[:3]],
        ("PermissionError", "[Errno 1] Operation not permitted"),
    ),
}


@pytest.mark.parametrize("status, setup, before, error", HELD_AT_START_ROWS.values(), ids=HELD_AT_START_ROWS)
def test_start_with_a_handle_held(sm, services, status, setup, before, error):
    apply(services, setup)
    manager = launcher(sm, services)
    manager._process = FakeProcess(services.calls, status=status)  # another handle than the one Popen gives
    manager._is_port_in_use = lambda: False
    assert raised_by(manager.start) == error
    assert services.calls[: len(before)] == before
    assert names(services.calls[len(before) :]) == ([] if error else ["Popen", "register", "wait_for_ready"])
    assert manager._process is (None if error else services.process)


def boom(*args, **kwargs):
    raise OSError("injected")


@pytest.mark.parametrize(
    "inject, holds_handle, stopped",
    [
        (lambda sm, manager: setattr(sm.subprocess, "Popen", boom), False, False),
        (lambda sm, manager: setattr(sm.atexit, "register", boom), True, False),
        (lambda sm, manager: setattr(manager, "_wait_for_ready", boom), False, True),
    ],
    ids=["Popen", "register", "wait"],
)
def test_failed_start_step_leaves_the_handle_and_stops_only_after_a_failed_wait(
    sm, services, inject, holds_handle, stopped
):
    manager = launcher(sm, services)
    inject(sm, manager)
    with pytest.raises(OSError, match="injected"):
        manager.start()
    assert manager._process is (services.process if holds_handle else None)
    assert ("register" in names(services.calls)) is stopped
    assert ("killpg" in names(services.calls)) is stopped  # a failed wait stops the child


@pytest.mark.parametrize("timeout, text", [(30.0, "30.0"), (5, "5"), (0.0, "0.0"), ("soon", "soon")])
def test_failed_wait_stops_then_raises(sm, services, timeout, text):
    manager = launcher(sm, services, wait_that(False))
    manager.timeout = timeout
    with pytest.raises(sm.ServerStartError) as caught:
        manager.start()
    assert str(caught.value) == f"Server failed to start within {text} seconds"
    assert services.calls[2:] == [("wait_for_ready",), *GRACE]
    assert manager._process is None


def test_failed_wait_message_is_built_after_stop(sm, services):
    manager = launcher(sm, services, wait_that(False))
    original_stop = manager.stop

    def stop():
        original_stop()
        manager.timeout = 1.5

    manager.stop = stop
    with pytest.raises(sm.ServerStartError, match=r"within 1\.5 seconds"):
        manager.start()


def test_stop_error_replaces_the_start_error(sm, services):
    manager = launcher(sm, services, wait_that(False))
    services.refused = {TERM}
    with pytest.raises(PermissionError, match="Operation not permitted"):
        manager.start()
    assert manager._process is None


def test_each_launch_registers_the_exit_hook_again(sm, services):
    manager = launcher(sm, services)
    manager.start()
    manager.stop()
    manager.start()
    hooks = [c[1] for c in services.calls if c[0] == "register"]
    assert len(hooks) == 2 and all(h == manager._terminate_process for h in hooks)


# ---- readiness ---------------------------------------------------------------------------------------------


def answering_from(services, answers):
    """A port probe that answers from `answers` (then False), noting each probe."""

    def probe():
        services.calls.append(("probe",))
        return answers.pop(0) if answers else False

    return probe


PASS = [("probe",), ("poll",), ("sleep", 0.1)]
WAIT_ROWS = {
    # id: (setup, what the probe answers, expected calls, result)
    "no-time": ({"timeout": 0}, [], [], False),
    "negative-time": ({"timeout": -1}, [], [], False),
    "no-time-float": ({"timeout": 0.0}, [], [], False),
    "ready-on-the-third-pass": ({}, [False, False, True], [*PASS, *PASS, ("probe",)], True),
    "listening-after-the-exit": ({"status": 1}, [True], [("probe",)], True),  # the port comes first
    "exited-not-listening": ({"status": 1}, [], [("probe",), ("poll",)], False),
    "gives-up-after-the-timeout": ({"timeout": 0.35}, [], PASS * 4, False),  # probes at 0.0, 0.1, 0.2, 0.3 seconds
}


@pytest.mark.parametrize("setup, answers, expected, result", WAIT_ROWS.values(), ids=WAIT_ROWS)
def test_wait_call_sequences(sm, services, setup, answers, expected, result):
    setup = dict(setup)
    manager = held(sm, services, answering_from(services, list(answers)))
    manager.timeout = setup.pop("timeout", 30.0)  # as the attribute takes it: an int stays an int
    apply(services, setup)
    assert manager._wait_for_ready() is result
    assert services.calls == expected


def test_wait_without_process_fails_at_poll(sm, services):
    manager = held(sm, services, answering_from(services, []))
    manager._process = None
    with pytest.raises(AttributeError, match="poll"):
        manager._wait_for_ready()


class NotAnOSError(Exception):
    pass


NOT_A_CLASS = ("TypeError", "catching classes that do not inherit from BaseException is not allowed")
# The probe against a socket double: the double's set-up, what the module's `socket.timeout` is (None: it has
# none), what the probe returns (or the class of what it raises), the exception `__exit__` sees (and notes as
# being handled), and the class of the exception the raised one was raised while handling. Whatever happens in
# the `with` block, the socket is closed by its __exit__, which is told what went wrong.
PROBE_ROWS = {
    "accepts": ({}, NotAnOSError, True, None, None),
    "refused": ({"outcome": ConnectionRefusedError}, NotAnOSError, False, None, None),
    "unreachable": ({"outcome": OSError}, NotAnOSError, False, None, None),
    "timed-out": ({"outcome": TimeoutError}, NotAnOSError, False, None, None),
    "socket.timeout-itself": ({"outcome": NotAnOSError}, NotAnOSError, False, None, None),
    "other-errors-pass-through": ({"outcome": ValueError}, TimeoutError, ValueError, ValueError, None),
    "error-suppressed-by-exit": ({"outcome": ValueError, "suppress": True}, TimeoutError, None, ValueError, None),
    # `except (socket.timeout, ...)` raising inside the `with` still runs __exit__, with that error.
    "timeout-lookup-fails": (
        {"outcome": ConnectionRefusedError},
        None,
        AttributeError,
        AttributeError,
        ConnectionRefusedError,
    ),
    # An __exit__ that fails is chained to the error it was handling.
    "exit-fails": (
        {"outcome": ValueError, "exit_error": KeyError("exit")},
        TimeoutError,
        KeyError,
        ValueError,
        ValueError,
    ),
    # `except (socket.timeout, ConnectionRefusedError, OSError)`: each item must be a class.
    **{
        f"timeout-not-a-class-{kind}": (
            {"outcome": ConnectionRefusedError},
            timeout,
            TypeError,
            TypeError,
            ConnectionRefusedError,
        )
        for kind, timeout in [("int", 42), ("instance", TimeoutError()), ("tuple", (TimeoutError,))]
    },
}


@pytest.mark.parametrize("setup, timeout, result, exit_sees, chained", PROBE_ROWS.values(), ids=PROBE_ROWS)
def test_probe_closes_the_socket_whatever_happens(sm, doubles, monkeypatch, setup, timeout, result, exit_sees, chained):
    log, made = [], []
    monkeypatch.setattr(
        sm, "socket", fake_socket_module(lambda: made.append(FakeSocket(log, **setup)) or made[-1], timeout)
    )
    manager = sm.AddinServerManager(port=3123)
    if isinstance(result, type):
        with pytest.raises(result) as caught:
            manager._is_port_in_use()
        assert type(caught.value.__context__) is (chained or type(None))
        if result is TypeError:
            assert str(caught.value) == NOT_A_CLASS[1]
    else:
        assert manager._is_port_in_use() is result
    assert log == [
        ("socket", (2, 1)),
        "enter",
        ("settimeout", 1),
        ("connect", ("localhost", 3123)),
        ("exit", exit_sees),
    ]
    assert type(made[0].handling) is (exit_sees or type(None))


def test_probe_against_real_sockets_leaves_no_socket_open(sm, doubles, port):
    open_descriptors = psutil.Process().num_fds
    manager = sm.AddinServerManager(port=port)
    before = open_descriptors()
    with socket.create_server(("127.0.0.1", port)) as listener:
        for _ in range(20):
            assert manager._is_port_in_use() is True
            listener.accept()[0].close()
    for _ in range(20):
        manager.port = port
        assert manager._is_port_in_use() is False
        manager.port = 70000
        with pytest.raises(OverflowError):
            manager._is_port_in_use()
    assert open_descriptors() == before


class ContextOnInstance:
    """__enter__ and __exit__ set on the instance only, which a `with` statement does not look at."""

    def __init__(self):
        self.__enter__, self.__exit__ = (lambda: self), (lambda *exc: None)


class EnterOnInstance(ContextOnInstance):
    def __exit__(self, *exc):
        return None


class AsyncOnly:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None


def no_sockets():
    raise OSError(errno.EMFILE, "Too many open files")


# What the module's socket() gives that a `with` statement refuses, or socket() itself failing: the probe raises
# what the statement (or socket()) raises.
@pytest.mark.parametrize("make", [ContextOnInstance, EnterOnInstance, AsyncOnly, object, no_sockets], ids=str)
def test_probe_enters_the_socket_as_a_with_statement_does(sm, doubles, monkeypatch, make):
    def with_statement():
        with make():
            pass

    expected = raised_by(with_statement)
    assert expected[0] in ("TypeError", "OSError")
    monkeypatch.setattr(sm, "socket", fake_socket_module(make))
    assert raised_by(sm.AddinServerManager()._is_port_in_use) == expected


# ---- stop and termination ----------------------------------------------------------------------------------


def test_stop_without_a_process_raises_not_running(sm, services):
    manager = sm.AddinServerManager()
    for _ in range(2):
        with pytest.raises(sm.ServerNotRunningError, match=r"^No server process to stop$"):
            manager.stop()
    assert services.calls == []
    assert manager._terminate_process() is None and services.calls == []


def test_termination_errors_propagate_and_clear_the_handle(sm, services):
    manager = held(sm, services)
    sm.os.getpgid = lambda pid: (_ for _ in ()).throw(ProcessLookupError(errno.ESRCH, "No such process"))
    with pytest.raises(ProcessLookupError):
        manager.stop()
    assert manager._process is None


@pytest.mark.parametrize(
    "clause, error",
    [
        (42, NOT_A_CLASS),
        (real_subprocess.TimeoutExpired("x", 5), NOT_A_CLASS),
        ((real_subprocess.TimeoutExpired,), None),
    ],
    ids=["int", "instance", "tuple-of-classes"],
)
def test_stop_except_clause_must_name_classes(sm, services, clause, error):
    # `except subprocess.TimeoutExpired:` accepts a class or a tuple of classes, nothing else.
    sm.subprocess.TimeoutExpired = clause
    manager = held(sm, services, setup={"wait_times_out": 1})
    assert raised_by(manager.stop) == error
    assert names(services.calls).count("wait") == (2 if error is None else 1)


def test_other_wait_errors_leave_the_handle_to_stop(sm, services):
    manager = held(sm, services, setup={"interrupt": True})
    with pytest.raises(KeyboardInterrupt):
        manager._terminate_process()
    assert manager._process is services.process  # only stop clears it


def test_falsy_handle_is_not_terminated(sm, services):
    manager = sm.AddinServerManager()
    manager._process = 0
    assert manager._terminate_process() is None and services.calls == []
    manager.stop()  # not None, so stop proceeds and clears it
    assert manager._process is None


# ---- what is left of the group, the wait after SIGKILL, interrupts and the interpreter's own group ---------


def probes(group, times):
    """`times` probes that find someone, each followed by the clock and the pause."""
    return [("killpg", group, 0), ("monotonic",), ("sleep", 0.05)] * times


HELD = [("getpgid", 4242), ("getpgrp",)]


def taskkill(pid):
    return ("run", (["taskkill", "/F", "/T", "/PID", pid],), {"capture_output": True})


TERMINATION_ROWS = {
    # id: (setup of the process double and the services, expected calls, what stop raised: None, type name, text)
    "group-empty-at-once": ({}, GRACE, None),
    # The exit was collected: the pid is never signalled; while no process holds it, its former group is ended
    # (as in EXITED_ROWS), then the error all the same.
    "collected-before": ({"returncode": 0}, [("kill", 4242, 0), *FORMER_GROUP], ESRCH),
    "collected-pid-taken-again": ({"returncode": 0, "pid_taken": True}, [("kill", 4242, 0)], ESRCH),
    "collected-pid-of-another-user": ({"returncode": 0, "refused": {0}}, [("kill", 4242, 0)], ESRCH),
    "collected-ending-interrupted": (
        {"returncode": 0, "members": 99, "interrupt_sleep": True},
        [("kill", 4242, 0), *FORMER_GROUP, ("monotonic",), ("sleep", 0.05), ("killpg", 4242, KILL)],
        ("KeyboardInterrupt", ""),
    ),
    "collected-during-the-grace": (
        {"wait_times_out": True, "collect_on_wait": -15},
        [*GRACE[:-1], ("kill", 4242, 0), *FORMER_GROUP],
        ESRCH,
    ),
    "windows": ({"platform": "win32"}, [taskkill("4242")], None),
    "windows-pid-as-text": ({"platform": "win32", "pid": "77"}, [taskkill("77")], None),
    "windows-collected-exit": ({"platform": "win32", "returncode": 1}, [], None),
    "survivors-leave-in-time": ({"members": 2}, [*GRACE[:-1], *probes(4243, 2), ("killpg", 4243, 0)], None),
    "survivors-outlast-the-grace": (
        {"members": 99, "ticks": [100.0, 101.0, 104.99, 105.0]},
        [*GRACE[:-1], *probes(4243, 2), ("killpg", 4243, 0), ("monotonic",), ("killpg", 4243, KILL)],
        None,
    ),
    "survivors-gone-before-the-kill": (
        {"members": 99, "ticks": [100.0, 105.0], "gone": {KILL}},
        [*GRACE, ("monotonic",), ("killpg", 4243, KILL)],
        None,
    ),
    "survivors-wait-interrupted": (
        {"members": 99, "interrupt_sleep": True},
        [*GRACE, ("monotonic",), ("sleep", 0.05), ("killpg", 4243, KILL)],
        ("KeyboardInterrupt", ""),
    ),
    "kill-after-the-grace-is-waited-for": (
        {"wait_times_out": 1},
        [*GRACE[:-1], *HELD, ("killpg", 4243, KILL), ("wait", 5)],
        None,
    ),
    "kill-not-obeyed": (
        {"wait_times_out": True},
        [*GRACE[:-1], *HELD, ("killpg", 4243, KILL), ("wait", 5)],
        ("ServerStopError", "Server process 4242 did not exit after SIGKILL"),
    ),
    "interrupted-grace": ({"interrupt": True}, [*GRACE[:-1], ("killpg", 4243, KILL)], ("KeyboardInterrupt", "")),
    "interrupted-grace-group-gone": (
        {"interrupt": True, "gone": {KILL}},
        [*GRACE[:-1], ("killpg", 4243, KILL)],
        ("KeyboardInterrupt", ""),
    ),
    "own-group": ({"own_group": 4243}, [*HELD, ("kill", 4242, TERM), ("wait", 5)], None),
    "own-group-kill-after-the-grace": (
        {"own_group": 4243, "wait_times_out": 1},
        [*HELD, ("kill", 4242, TERM), ("wait", 5), *HELD, ("kill", 4242, KILL), ("wait", 5)],
        None,
    ),
    "own-group-interrupted": (
        {"own_group": 4243, "interrupt": True},
        [*HELD, ("kill", 4242, TERM), ("wait", 5), ("kill", 4242, KILL)],
        ("KeyboardInterrupt", ""),
    ),
    "own-group-interrupted-after-the-exit-was-collected": (
        {"own_group": 4243, "interrupt": True, "collect_on_wait": -2},
        [*HELD, ("kill", 4242, TERM), ("wait", 5)],
        ("KeyboardInterrupt", ""),
    ),
}


@pytest.mark.parametrize("setup, expected, error", TERMINATION_ROWS.values(), ids=TERMINATION_ROWS)
def test_stop_call_sequences(sm, services, setup, expected, error):
    manager = held(sm, services, setup=setup)
    assert raised_by(manager.stop) == error
    assert services.calls == expected
    assert manager._process is None


# The readiness wait raised: start stops what it launched, then lets the wait's own error through unchanged.
RAISED_ROWS = {
    # id: (setup, the wait, expected calls after it)
    "wait-raises-child-running": ({}, wait_that(Thrown), GRACE),
    "wait-interrupted-child-running": ({}, wait_that(KeyboardInterrupt), GRACE),
    "wait-raises-exit-collected": ({}, wait_that(Thrown, collect=3), []),
    "wait-raises-handle-dropped": ({}, wait_that(Thrown, drop=True), []),
    "wait-raises-own-group": ({"own_group": 4243}, wait_that(Thrown), [*HELD, ("kill", 4242, TERM), ("wait", 5)]),
}
# The server exited before listening: only its former group is signalled, never the pid, and no stop. The
# handle is dropped however that ends; an interruption takes the place of the start error.
EXITED = ("ServerStartError", "Server exited with code 3 before accepting connections")
EXITED_ROWS = {
    # id: (setup, expected calls after the wait, what start raised)
    "group-empty": ({"gone": {TERM}}, [("killpg", 4242, TERM)], EXITED),
    "group-left-by-the-term": ({}, FORMER_GROUP, EXITED),
    **{
        f"exit-status-{code}": (
            {"collect": code},
            FORMER_GROUP,
            ("ServerStartError", f"Server exited with code {code} before accepting connections"),
        )
        for code in (1, 0, -9)
    },
    "helper-leaves": (
        {"members": 1},
        [("killpg", 4242, TERM), ("monotonic",), *probes(4242, 1), ("killpg", 4242, 0)],
        EXITED,
    ),
    "helper-stays": (
        {"members": 99, "ticks": [100.0, 105.0]},
        [*FORMER_GROUP, ("monotonic",), ("killpg", 4242, KILL)],
        EXITED,
    ),
    "ending-interrupted": (
        {"members": 99, "interrupt_sleep": True},
        [*FORMER_GROUP, ("monotonic",), ("sleep", 0.05), ("killpg", 4242, KILL)],
        ("KeyboardInterrupt", ""),
    ),
    "on-windows": ({"platform": "win32"}, [], EXITED),
}


@pytest.mark.parametrize("setup, wait, expected", RAISED_ROWS.values(), ids=RAISED_ROWS)
def test_start_ends_what_it_launched_when_the_wait_raises(sm, services, setup, wait, expected):
    manager = launcher(sm, services, wait, setup)
    with pytest.raises((Thrown, KeyboardInterrupt)) as caught:
        manager.start()
    assert caught.value is services.raised  # the original, unchanged
    assert services.calls[2:] == [("wait_for_ready",), *expected]
    assert manager._process is None


@pytest.mark.parametrize("setup, expected, error", EXITED_ROWS.values(), ids=EXITED_ROWS)
def test_start_ends_the_group_of_a_server_that_exited_before_listening(sm, services, setup, expected, error):
    setup = dict(setup)
    manager = launcher(sm, services, wait_that(False, collect=setup.pop("collect", 3)), setup)
    assert raised_by(manager.start) == error
    assert services.calls[2:] == [("wait_for_ready",), *expected]
    assert manager._process is None


def context_chain(error, until):
    """The types of the exceptions `error` was raised while handling, up to the exception `until`."""
    seen, context = [], error.__context__
    while context is not None and context is not until:
        seen.append(type(context))
        context = context.__context__
    assert context is until
    return seen


def while_handling(call):
    """Calls `call` while the caller handles an exception of its own; what it raised, and the caller's."""
    try:
        raise LookupError("handled by the caller")
    except LookupError as handled:
        with pytest.raises(BaseException) as caught:
            call()
        assert sys.exception() is handled  # the caller's own handled exception is left as it was
        return caught.value, handled


@pytest.mark.parametrize(
    "setup, expected, chain",
    [
        ({"wait_times_out": 1, "refused": {KILL}}, "PermissionError", [real_subprocess.TimeoutExpired]),
        (
            {"wait_times_out": True},
            "ServerStopError",
            [real_subprocess.TimeoutExpired, real_subprocess.TimeoutExpired],
        ),
        ({"interrupt": True, "refused": {KILL}}, "PermissionError", [KeyboardInterrupt]),
    ],
    ids=["kill-after-grace-fails", "kill-not-obeyed", "kill-after-interrupt-fails"],
)
def test_errors_in_stop_carry_the_ones_handled(sm, services, setup, expected, chain):
    manager = held(sm, services, setup=setup)
    error, handled = while_handling(manager.stop)
    assert type(error).__name__ == expected
    assert context_chain(error, handled) == chain
    assert manager._process is None


@pytest.mark.parametrize("member, arguments", [("start", ()), ("__exit__", (None,) * 3)], ids=["start", "exit"])
def test_stop_error_after_an_interrupt_carries_the_interrupt(sm, services, member, arguments):
    # Interrupted: start during the readiness wait, __exit__ while reading is_running.
    services.refused = {TERM}
    manager = launcher(sm, services, wait_that(KeyboardInterrupt))
    if member == "__exit__":
        manager = held(sm, services, probe_answering(services, KeyboardInterrupt))
    error, handled = while_handling(lambda: getattr(manager, member)(*arguments))
    assert type(error) is PermissionError and context_chain(error, handled) == [KeyboardInterrupt]
    assert manager._process is None


# ---- with ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("running", [True, False])
def test_with_block_raising_stops_only_a_running_server(sm, services, running):
    manager = launcher(sm, services)
    services.process.status = None if running else 0
    manager._is_port_in_use = lambda: running
    with pytest.raises(RuntimeError, match="in the block"), manager as bound:
        assert bound is manager and manager._process is services.process
        raise RuntimeError("in the block")
    assert ("killpg" in names(services.calls)) is running
    assert (manager._process is None) is running


def test_exit_stops_the_server_once(sm, services):
    manager = launcher(sm, services)
    manager.start()
    manager._is_port_in_use = lambda: True
    assert manager.__exit__(None, None, None) is None
    assert services.calls.count(("killpg", 4243, TERM)) == 1


def probe_answering(services, answer):
    """A port probe that returns `answer`, or raises a new instance of it (an exception class)."""

    def probe():
        services.calls.append(("probe",))
        if isinstance(answer, type):
            services.raised = answer()
            raise services.raised
        return answer

    return probe


# Leaving the block: a running server is stopped, and so is one still alive whose port no longer accepts; when
# reading is_running fails, the child is ended as a failed wait in start ends it, and the error goes on.
EXIT_ROWS = {
    # id: (setup of the held child (None: no handle), what the probe answers, expected calls)
    "running": ({}, True, [("poll",), ("probe",), *GRACE]),
    "exited": ({"status": 0}, True, [("poll",), ("poll",)]),
    "alive-not-accepting": ({}, False, [("poll",), ("probe",), ("poll",), *GRACE]),
    "no-handle": (None, True, []),
    "probe-interrupted": ({}, KeyboardInterrupt, [("poll",), ("probe",), *GRACE]),
    "probe-interrupted-exit-collected": ({"returncode": 3}, KeyboardInterrupt, [("poll",), ("probe",)]),
}


@pytest.mark.parametrize("setup, answer, expected", EXIT_ROWS.values(), ids=EXIT_ROWS)
def test_exit_call_sequences(sm, services, setup, answer, expected):
    manager = held(sm, services, probe_answering(services, answer), setup)
    if setup is None:
        manager._process = None
    if isinstance(answer, type):
        with pytest.raises(answer) as caught:
            manager.__exit__(None, None, None)
        assert caught.value is services.raised  # the original, unchanged
    else:
        assert manager.__exit__(None, None, None) is None
    assert services.calls == expected
    assert (manager._process is None) is (setup != {"status": 0})  # only an exited child's handle stays


def test_failed_enter_skips_the_block(sm, services):
    manager = launcher(sm, services, wait_that(False))
    entered = []
    with pytest.raises(sm.ServerStartError), manager:
        entered.append(1)
    assert entered == []


# ---- collaborator and service failures reach the caller unchanged ------------------------------------------


class Injected(Exception):
    pass


def fail(*args, **kwargs):
    raise Injected


def test_config_failure_propagates_from_construction(sm, services, monkeypatch):
    monkeypatch.setattr(sm, "Config", fail)
    with pytest.raises(Injected):
        sm.AddinServerManager()


def test_binary_path_failure_propagates_before_any_launch(sm, services):
    manager = sm.AddinServerManager(use_compiled=True)
    manager._config.get_binary_path = fail
    with pytest.raises(Injected):
        manager.start()
    assert services.calls == [] and manager._process is None


INJECTIONS = {
    "poll": lambda sm, services, manager: setattr(services.process, "poll", fail),
    "probe": lambda sm, services, manager: setattr(manager, "_is_port_in_use", fail),
    "sleep": lambda sm, services, manager: setattr(sm.time, "sleep", fail),
    "clock": lambda sm, services, manager: setattr(sm.time, "time", fail),
}


@pytest.mark.parametrize("inject", INJECTIONS.values(), ids=INJECTIONS)
def test_service_failures_propagate_from_the_wait(sm, services, inject):
    manager = held(sm, services, lambda: False, use_compiled=True)
    inject(sm, services, manager)
    with pytest.raises(Injected):
        manager._wait_for_ready()
    assert manager._process is services.process


@pytest.mark.parametrize("inject", [INJECTIONS["poll"], INJECTIONS["probe"]], ids=["poll", "probe"])
@pytest.mark.parametrize(
    "read, keeps_handle",
    [(lambda m: m.is_running, True), (lambda m: m.start(), True), (lambda m: m.__exit__(None, None, None), False)],
    ids=["is_running", "start", "__exit__"],  # reading is_running is the first step of start and __exit__
)
def test_status_failures_propagate_from_its_readers(sm, services, inject, read, keeps_handle):
    manager = held(sm, services, lambda: False, use_compiled=True)
    inject(sm, services, manager)
    with pytest.raises(Injected):
        read(manager)
    assert (manager._process is services.process) is keeps_handle  # __exit__ ends the child on its way out


def test_taskkill_that_cannot_run_propagates_from_stop(sm, services):
    sm.subprocess.run = lambda *a, **k: (_ for _ in ()).throw(FileNotFoundError("taskkill"))
    manager = held(sm, services, setup={"platform": "win32"})
    with pytest.raises(FileNotFoundError, match="taskkill"):
        manager.stop()
    assert manager._process is None
