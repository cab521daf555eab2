"""python -m velmora_master.addin_launcher, the demo and the long-running mode."""

import re
import signal
import socket
import subprocess
import sys

import pytest

from conftest import ROOT
from test_real_processes import alive, wait_until

COMMAND = [sys.executable, "-m", "velmora_master.addin_launcher"]


def test_once_makes_a_verified_request_and_stops(port):
    result = subprocess.run(
        [*COMMAND, "--once", "--port", str(port)], cwd=ROOT, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert re.search(rf"Server running at https://localhost:{port} \(pid \d+\)", result.stdout)
    assert f'GET https://localhost:{port}/health -> 200 {{"status":"ok"' in result.stdout
    assert re.search(r"Server stopped in \d+ ms", result.stdout)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_runs_until_signalled(port, sig):
    process = subprocess.Popen(
        [*COMMAND, "--port", str(port)], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        for line in process.stdout:
            if line.startswith("Server running"):
                break
        server_pid = int(re.search(r"pid (\d+)", line).group(1))
        assert alive(server_pid)
        process.send_signal(sig)
        out, err = process.communicate(timeout=15)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 0, err
    assert "Server stopped" in out
    assert wait_until(lambda: not alive(server_pid))


def test_refuses_a_port_in_use(port):
    with socket.create_server(("127.0.0.1", port)):
        result = subprocess.run(
            [*COMMAND, "--once", "--port", str(port)], cwd=ROOT, capture_output=True, text=True, timeout=30
        )
    assert result.returncode == 2 and "already accepts connections" in result.stderr


def test_start_failure_is_reported(tmp_path, port):
    result = subprocess.run(
        [*COMMAND, "--once", "--port", str(port), "--addin-path", str(tmp_path)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert result.returncode == 1
    assert "Cannot find module" in result.stderr  # node says why
    assert result.stderr.endswith("error: Server exited with code 1 before accepting connections\n")
