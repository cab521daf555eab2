"""The lifecycle against real child processes and sockets."""

import errno
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import time
import urllib.request

import pytest

from helpers import MODULE_NAME, ROOT, alive, gone, read_until, run_python, wait_until, within
from velmora_master.addin_launcher.guarded import GuardedServerManager

# Every test here ends with no process it started still running.
pytestmark = [pytest.mark.slow, pytest.mark.usefixtures("nothing_left")]


@pytest.fixture
def production(sm, fake_binary, monkeypatch, tmp_path, port):
    """A production-mode manager running the fake server executable."""
    monkeypatch.setenv("VELMORA_SERVER_BINARY", str(fake_binary))
    monkeypatch.setenv("FAKE_SERVER_ARGS_FILE", str(tmp_path / "args.json"))
    managers = []

    def make(mode="listen", manager_class=sm.AddinServerManager, **kwargs):
        monkeypatch.setenv("FAKE_SERVER_MODE", mode)
        manager = manager_class(use_compiled=True, port=port, **kwargs)
        managers.append(manager)
        return manager

    yield make
    for manager in managers:
        if manager._process is not None and manager._process.poll() is None:
            manager.stop()


@pytest.fixture
def server_helper(monkeypatch, tmp_path):
    """Has the stand-in servers started next start a helper of `kind` (see fake_server.py): gives what reads the
    helper's pid once it is set up."""

    def ask(kind):
        monkeypatch.setenv("FAKE_SERVER_GRANDCHILD_FILE", str(tmp_path / "helper"))
        monkeypatch.setenv("FAKE_SERVER_HELPER", kind)
        return lambda: int((tmp_path / "helper").read_text())

    return ask


def test_development_server_over_https(sm, port, capsys):
    manager = sm.AddinServerManager(port=port, timeout=20)
    with manager:
        assert manager.is_running is True
        assert alive(manager.pid) and manager._process.args[:2] == [
            "node",
            str(ROOT / "velmora_master/addin_launcher/addin/server.js"),
        ]
        context = ssl.create_default_context(cafile=str(manager._cert_manager.paths.ca_cert))
        with urllib.request.urlopen(f"{manager.url}/health", context=context, timeout=5) as response:
            health = json.load(response)
        assert health["pid"] == manager.pid and health["port"] == port
        pid = manager.pid
    assert manager._process is None and not alive(pid)
    assert "PATHS:\tServer Key: " in capsys.readouterr().out


def test_production_server_gets_the_command_line_and_directory(production, tmp_path, port, capsys):
    manager = production(watchdog_port=9100, auth_token="secret token")
    manager.start()
    recorded = json.loads((tmp_path / "args.json").read_text())
    assert recorded["argv"][:6] == [
        "--cert",
        str(manager._cert_manager.paths.server_cert),
        "--key",
        str(manager._cert_manager.paths.server_key),
        "--port",
        str(port),
    ]
    assert recorded["argv"][-4:] == ["--watchdog-port", "9100", "--auth-token", "secret token"]
    assert recorded["cwd"] == str(manager._config.addin_path)
    assert recorded["pgid"] == recorded["pid"] == manager.pid != os.getpgid(0)  # its own process group
    manager.stop()


def test_stop_ends_the_whole_group(production, server_helper, capsys):
    helper_pid = server_helper("plain")
    manager = production()
    manager.start()
    grandchild = helper_pid()
    assert alive(grandchild)
    manager.stop()
    assert wait_until(lambda: not alive(grandchild))


def test_server_ignoring_sigterm_is_reaped_and_its_port_free_when_stop_returns(production, port, capsys):
    manager = production("ignore-term")
    manager.start()
    process, pid = manager._process, manager.pid
    began = time.monotonic()
    manager.stop()
    took = time.monotonic() - began
    assert 4.9 <= took < 7, took
    assert manager._process is None and process.returncode == -signal.SIGKILL
    assert gone(pid)
    with socket.create_server(("127.0.0.1", port)):  # the port is free at once
        pass


def test_helper_ignoring_sigterm_is_killed_when_its_server_exits(production, server_helper, capsys):
    helper_pid = server_helper("ignore-term")
    manager = production()
    manager.start()
    helper = helper_pid()
    began = time.monotonic()
    manager.stop()
    assert wait_until(lambda: not alive(helper), 5.5 - (time.monotonic() - began))
    assert time.monotonic() - began < 5.5


# The class ends what is left of the group; the guarded one also what left it, found by the mark.
@pytest.mark.parametrize(("guarded", "helper"), [(False, "plain"), (True, "setsid")])
def test_server_that_starts_a_helper_and_exits_before_listening(production, server_helper, capsys, guarded, helper):
    read_helper_pid = server_helper(helper)
    manager = production("exit:3", timeout=20, **({"manager_class": GuardedServerManager} if guarded else {}))
    began = time.monotonic()
    with pytest.raises(Exception, match=r"^Server exited with code 3 before accepting connections$") as caught:
        manager.start()
    assert type(caught.value).__name__ == "ServerStartError"
    assert time.monotonic() - began < 5 and manager._process is None
    helper_pid = read_helper_pid()
    assert not alive(helper_pid)
    if guarded:
        assert [found.pid for found in manager.left_behind] == [helper_pid] and manager.mark is None


# ---- in an interpreter of their own, driven from here -------------------------------------------------------

DRIVEN = """
import json, os, sys, time
os.environ["VELMORA_SERVER_BINARY"] = {binary!r}
os.environ["FAKE_SERVER_ARGS_FILE"] = {args_file!r}
os.environ["FAKE_SERVER_MODE"] = {mode!r}
from {module} import AddinServerManager

class Manager(AddinServerManager):
    def _get_platform_popen_args(self):
        return {{}} if {same_group!r} else super()._get_platform_popen_args()

def blocking_probe():  # short sleeps: a Ctrl-C landing just before one of them is still seen at once
    print("probing", flush=True)
    while True:
        time.sleep(0.05)

manager = Manager(use_compiled=True, port={port}, timeout=30)
try:
    if {during!r} == "start":
        manager.start()
    elif {during!r} == "stop":
        manager.start()
        print("stopping", flush=True)
        manager.stop()
    else:
        with manager:
            if {during!r} == "exit":  # leaving reads is_running through a probe that blocks
                manager._is_port_in_use = blocking_probe
            else:  # "crash": the server exits while the block runs
                while manager._process.poll() is None:
                    time.sleep(0.05)
    result = "returned"
except BaseException as error:
    result = type(error).__name__
with open({result_file!r}, "w") as out:
    json.dump({{"outcome": result, "held": manager._process is not None}}, out)
"""


@pytest.fixture
def drive(fake_binary, tmp_path, port, spawn):
    """Runs a manager in a new interpreter, in a session of its own so that no signal can reach the tests."""

    def run(mode, during, same_group=False):
        args_file = tmp_path / "args.json"
        script = DRIVEN.format(
            binary=str(fake_binary),
            args_file=str(args_file),
            mode=mode,
            module=MODULE_NAME,
            same_group=same_group,
            port=port,
            during=during,
            result_file=str(tmp_path / "result.json"),
        )
        child = spawn(
            [sys.executable, "-c", script], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
        )
        child.result_file = tmp_path / "result.json"
        return child, args_file

    return run


def outcome(child):
    """What the driven interpreter reported, once it has exited."""
    child.wait(timeout=30)
    return json.loads(child.result_file.read_text()) if child.result_file.exists() else f"exit {child.returncode}"


# An interruption (Ctrl-C) in each wait of the class: what the driven interpreter runs, what it says once it is
# there (None: the server is launched), and how long to wait on before the SIGINT. Its server is gone at once.
INTERRUPTED = {
    "readiness-wait": ("never-listen", "start", None, 0.3),
    "grace-period": ("ignore-term", "stop", "stopping", 0.5),  # well inside the grace of a server ignoring SIGTERM
    "leaving-the-block-reads-is_running": ("listen", "exit", "probing", 0),
}


@pytest.mark.parametrize(("mode", "during", "said", "pause"), INTERRUPTED.values(), ids=INTERRUPTED)
def test_an_interrupt_in_a_wait_ends_the_server_at_once(drive, mode, during, said, pause):
    child, args_file = drive(mode, during)
    if said is not None:
        read_until(child.stdout, said)
    assert wait_until(args_file.exists, 20)
    server = json.loads(args_file.read_text())["pid"]
    time.sleep(pause)
    interrupted = time.monotonic()
    child.send_signal(signal.SIGINT)
    assert outcome(child) == {"outcome": "KeyboardInterrupt", "held": False}
    assert wait_until(lambda: gone(server), 2)
    assert time.monotonic() - interrupted < within(3)  # killed at once, not after the rest of a grace period


def test_helper_of_a_server_that_crashed_in_a_with_block_is_ended_at_interpreter_exit(drive, server_helper):
    helper_pid = server_helper("plain")
    child, _ = drive("listen-then-exit:1:1", "crash")
    # Leaving the block keeps the handle of an exited server; the exit hook then ends what is left of its group.
    assert outcome(child) == {"outcome": "returned", "held": True} and child.returncode == 0
    assert not alive(helper_pid())


def test_server_in_the_interpreters_own_group_is_stopped_alone(drive):
    child, args_file = drive("listen", "stop", same_group=True)
    read_until(child.stdout, "stopping")
    recorded = json.loads(args_file.read_text())
    assert recorded["pgid"] == child.pid != recorded["pid"]  # launched into the interpreter's group
    assert outcome(child) == {"outcome": "returned", "held": False}
    assert child.returncode == 0  # not signalled by its own stop
    assert wait_until(lambda: gone(recorded["pid"]), 2)


@pytest.mark.parametrize(
    ("mode", "timeout", "message", "least", "most"),
    [
        ("never-listen", 1, "Server failed to start within 1.0 seconds", 1, 3),
        ("exit:3", 20, "Server exited with code 3 before accepting connections", 0, 3),  # fails fast
    ],
)
def test_a_server_that_never_gets_ready(production, capsys, mode, timeout, message, least, most):
    manager = production(mode, timeout=timeout)
    began = time.monotonic()
    with pytest.raises(Exception) as caught:
        manager.start()
    assert (type(caught.value).__name__, str(caught.value)) == ("ServerStartError", message)
    assert least <= time.monotonic() - began < most
    assert manager._process is None


def test_another_program_on_the_port_makes_start_return_at_once(production, port, capsys):
    with socket.create_server(("127.0.0.1", port)):
        manager = production("never-listen", timeout=20)
        began = time.monotonic()
        manager.start()
        assert time.monotonic() - began < 1
        assert manager.is_running is True
        manager.stop()


# What a crashed server left is ended by the stop that finds its exit collected, or by the start that replaces
# its handle (after which nothing would know of it).
@pytest.mark.parametrize("then", ["stop", "start"])
@pytest.mark.parametrize(
    "mode, helper", [("listen", ""), ("listen-then-exit:1:1", "plain")], ids=["killed", "exits-leaving-a-helper"]
)
def test_collected_exit_is_not_signalled_but_its_group_is_ended(
    production, server_helper, monkeypatch, capsys, mode, helper, then
):
    helper_pid = server_helper(helper)
    manager = production(mode)
    manager.start()
    if not helper:
        os.kill(manager.pid, signal.SIGKILL)
    # The port closes before the exit can be collected, so is_running may turn false first: wait for poll.
    assert wait_until(lambda: manager._process.poll() is not None, 10) and manager.is_running is False
    began = time.monotonic()
    if then == "stop":
        with pytest.raises(ProcessLookupError) as caught:
            manager.stop()
        assert caught.value.errno == errno.ESRCH and manager._process is None
    else:
        monkeypatch.setenv("FAKE_SERVER_MODE", "listen")
        monkeypatch.setenv("FAKE_SERVER_HELPER", "")
        manager.start()
        assert manager.is_running
        manager.stop()
    if helper:
        assert wait_until(lambda: not alive(helper_pid()), 5.5 - (time.monotonic() - began))


def test_server_alive_but_no_longer_accepting_is_stopped_not_dropped(production, capsys):
    manager = production("listen-then-close:0.5")
    manager.start()
    first = manager._process
    assert wait_until(lambda: not manager.is_running, 10) and first.poll() is None
    with manager:  # starting again ends the first server, then launches a second
        assert first.returncode is not None and manager._process is not first
        second = manager._process
        assert wait_until(lambda: not manager.is_running, 10) and second.poll() is None
    assert manager._process is None and second.returncode is not None  # leaving the block ended it


def test_captured_output_is_left_to_the_caller(production, capsys):
    manager = production(capture_output=True)
    manager.start()
    process = manager._process
    assert process.stdout is not None and process.stderr is not None and process.stdout is not process.stderr
    manager.stop()
    process.stdout.close()
    process.stderr.close()


@pytest.mark.parametrize("module", [MODULE_NAME, GuardedServerManager.__module__])
def test_interpreter_exit_stops_the_server(fake_binary, tmp_path, port, module):
    script = f"""
        import os
        os.environ["VELMORA_SERVER_BINARY"] = {str(fake_binary)!r}
        os.environ["FAKE_SERVER_MODE"] = "listen"
        from {module} import {"Guarded" if module != MODULE_NAME else "Addin"}ServerManager as Manager
        manager = Manager(use_compiled=True, port={port})
        manager.start()
        print(manager.pid, getattr(manager, "guard_pid", 0), flush=True)
    """
    result = run_python(script, timeout=30)
    assert result.returncode == 0, result.stderr
    pids = [int(pid) for pid in result.stdout.splitlines()[-1].split() if pid != "0"]
    assert wait_until(lambda: not any(alive(pid) for pid in pids))  # the guard, stood down, too
