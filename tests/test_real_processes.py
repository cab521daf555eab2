"""The lifecycle against real child processes and sockets."""

import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import time
import urllib.request
from pathlib import Path

import pytest

from conftest import MODULE_NAME, ROOT


def alive(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError, IndexError:
        return False
    return state != "Z"


def wait_until(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.fixture
def production(sm, fake_binary, monkeypatch, tmp_path, port):
    """A production-mode manager running the fake server executable."""
    monkeypatch.setenv("VELMORA_SERVER_BINARY", str(fake_binary))
    monkeypatch.setenv("FAKE_SERVER_ARGS_FILE", str(tmp_path / "args.json"))
    managers = []

    def make(mode="listen", **kwargs):
        monkeypatch.setenv("FAKE_SERVER_MODE", mode)
        manager = sm.AddinServerManager(use_compiled=True, port=port, **kwargs)
        managers.append(manager)
        return manager

    yield make
    for manager in managers:
        if manager._process is not None and manager._process.poll() is None:
            manager.stop()


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


def test_stop_ends_the_whole_group(production, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("FAKE_SERVER_GRANDCHILD_FILE", str(tmp_path / "grandchild"))
    manager = production("grandchild")
    manager.start()
    grandchild = int((tmp_path / "grandchild").read_text())
    assert alive(grandchild)
    manager.stop()
    assert wait_until(lambda: not alive(grandchild))


def test_server_ignoring_sigterm_is_killed_after_grace(production, capsys):
    manager = production("ignore-term")
    manager.start()
    process = manager._process
    began = time.monotonic()
    manager.stop()
    took = time.monotonic() - began
    assert 4.9 <= took < 7, took
    assert manager._process is None
    # Nothing waits after SIGKILL; the killed server is reaped here.
    assert process.wait(timeout=2) == -signal.SIGKILL


def test_server_that_never_listens(production, capsys):
    manager = production("never-listen", timeout=1)
    began = time.monotonic()
    with pytest.raises(Exception) as caught:
        manager.start()
    assert type(caught.value).__name__ == "ServerStartError"
    assert str(caught.value) == "Server failed to start within 1.0 seconds"
    assert 1 <= time.monotonic() - began < 3
    assert manager._process is None


def test_server_that_dies_at_once_fails_fast(production, capsys):
    manager = production("exit:3", timeout=20)
    began = time.monotonic()
    with pytest.raises(Exception, match=r"^Server exited with code 3 before accepting connections$"):
        manager.start()
    assert time.monotonic() - began < 3 and manager._process is None


def test_another_program_on_the_port_makes_start_return_at_once(production, port, capsys):
    with socket.create_server(("127.0.0.1", port)):
        manager = production("never-listen", timeout=20)
        began = time.monotonic()
        manager.start()
        assert time.monotonic() - began < 1
        assert manager.is_running is True
        manager.stop()


def test_collected_exit_is_not_signalled(production, capsys):
    manager = production()
    manager.start()
    os.kill(manager.pid, signal.SIGKILL)
    assert wait_until(lambda: manager.is_running is False)  # poll collects the exit
    with pytest.raises(ProcessLookupError):
        manager.stop()
    assert manager._process is None


def test_captured_output_is_left_to_the_caller(production, capsys):
    manager = production(capture_output=True)
    manager.start()
    process = manager._process
    assert process.stdout is not None and process.stderr is not None and process.stdout is not process.stderr
    manager.stop()
    process.stdout.close()
    process.stderr.close()


def test_interpreter_exit_stops_the_server(fake_binary, tmp_path, port):
    script = textwrap.dedent(f"""
        import os
        os.environ["VELMORA_SERVER_BINARY"] = {str(fake_binary)!r}
        os.environ["FAKE_SERVER_MODE"] = "listen"
        from {MODULE_NAME} import AddinServerManager
        manager = AddinServerManager(use_compiled=True, port={port})
        manager.start()
        print(manager.pid, flush=True)
    """)
    result = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    pid = int(result.stdout.splitlines()[-1])
    assert wait_until(lambda: not alive(pid))


def test_probe_against_real_sockets(sm, doubles, port):
    manager = sm.AddinServerManager(port=port)
    assert manager._is_port_in_use() is False
    with socket.create_server(("127.0.0.1", port)):
        assert manager._is_port_in_use() is True
    manager.port = 70000
    with pytest.raises(OverflowError):
        manager._is_port_in_use()


def test_probe_leaves_no_socket_open(sm, doubles, port):
    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))

    manager = sm.AddinServerManager(port=port)
    before = open_descriptors()
    with socket.create_server(("127.0.0.1", port)) as listener:
        for _ in range(20):
            manager._is_port_in_use()
            listener.accept()[0].close()
    manager.port = 70000
    for _ in range(20):
        manager.port = port
        manager._is_port_in_use()
        manager.port = 70000
        with pytest.raises(OverflowError):
            manager._is_port_in_use()
    assert open_descriptors() == before
