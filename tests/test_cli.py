"""The command line, driven in a subprocess with real servers and real signals."""

import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import time
import uuid

import pytest

from helpers import MODULE_NAME, ROOT, alive, marked_processes, read_until, wait_until

COMMAND = [sys.executable, "-m", "velmora_master.addin_launcher"]
# The sanitizer run preloads its runtime into every process (node and the fake servers too), and each one
# checks its whole heap for leaks as it exits: time bounds are stretched there.
SLOWDOWN = 6 if "LD_PRELOAD" in os.environ else 1


def within(seconds: float) -> float:
    return seconds * SLOWDOWN


class Cli:
    """One run of the CLI with the fake server in `mode`; remembers what it needs to prove nothing is left: the
    marker in the environment of the run and of everything it started."""

    def __init__(self, tmp_path, fake_binary, mode="listen", env=None):
        self.marker = f"VELMORA_CLI_RUN={uuid.uuid4().hex}"
        self.args_file = tmp_path / f"server-args-{uuid.uuid4().hex}.json"
        inherited = {k: v for k, v in os.environ.items() if k != "VELMORA_LOG_LEVEL"}
        self.env = {
            **inherited,
            "VELMORA_SERVER_BINARY": str(fake_binary),
            "FAKE_SERVER_MODE": mode,
            "FAKE_SERVER_ARGS_FILE": str(self.args_file),
            **(env or {}),
        }
        key, value = self.marker.split("=")
        self.env[key] = value

    def argv(self, *args, compiled=True):
        return [*COMMAND, *args, *(["--compiled"] if compiled else [])]

    def run(self, *args, timeout=20, compiled=True):
        return subprocess.run(
            self.argv(*args, compiled=compiled),
            cwd=ROOT,
            env=self.env,
            capture_output=True,
            text=True,
            timeout=timeout,
            check=False,
        )

    def popen(self, *args, compiled=True, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(self.argv(*args, compiled=compiled), cwd=ROOT, env=self.env, text=True, **kwargs)

    def server(self):
        return json.loads(self.args_file.read_text()) if self.args_file.exists() else None

    def assert_nothing_left(self):
        assert wait_until(lambda: not marked_processes(self.marker), 2), marked_processes(self.marker)


def finish(process, seconds, cli=None):
    """Wait for the CLI to exit; returns (status, seconds taken, stdout, stderr)."""
    began = time.monotonic()
    try:
        out, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        # A hung CLI, or a server it left holding its output pipes: end them all so the test fails, not hangs.
        process.kill()
        for pid in marked_processes(cli.marker) if cli else []:
            os.kill(pid, signal.SIGKILL)
        process.communicate(timeout=5)
        raise
    return process.returncode, time.monotonic() - began, out, err


# ------------------------------------------------------------------------------------------------------------------
# Ending by signal


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_sample_server_runs_until_signalled(tmp_path, fake_binary, sig):
    cli = Cli(tmp_path, fake_binary)
    process = cli.popen("run", "--port", "0", compiled=False)
    out = read_until(process.stdout, "Server running")
    server_pid = int(re.search(r"pid (\d+)", out).group(1))
    assert alive(server_pid)
    process.send_signal(sig)
    status, took, out, err = finish(process, 10, cli)
    assert status == 128 + sig, err
    assert took < within(1.0)
    assert "Server stopped in" in out and "Traceback" not in err
    assert err.endswith(f"velmora-addin: stopped by {signal.Signals(sig).name}\n")
    cli.assert_nothing_left()


@pytest.mark.parametrize(("mode", "sig"), [("never-listen", signal.SIGINT), ("listen-after:15", signal.SIGTERM)])
def test_signal_while_waiting_for_the_port_ends_at_once(tmp_path, fake_binary, mode, sig):
    cli = Cli(tmp_path, fake_binary, mode)
    process = cli.popen("--port", "0")
    read_until(process.stderr, "waiting for https://localhost:")
    assert wait_until(lambda: cli.server() is not None)
    time.sleep(0.3)
    process.send_signal(sig)
    status, took, out, err = finish(process, 10, cli)
    assert (status, "Traceback" in err) == (128 + sig, False), err
    assert took < within(1.0)
    assert "Server running" not in out
    assert not alive(cli.server()["pid"])
    cli.assert_nothing_left()


@pytest.mark.parametrize("delay", [0.2, 0.4, 0.6, 0.8, 1.0])
def test_sigint_at_any_moment_leaves_nothing(tmp_path, fake_binary, delay):
    # The server listens after 0.5 s, so the signal lands in start-up, certificate work, the wait or the run.
    cli = Cli(tmp_path, fake_binary, "listen-after:0.5")
    process = cli.popen("--port", "0")
    time.sleep(delay)
    process.send_signal(signal.SIGINT)
    status, took, _, err = finish(process, 10, cli)
    assert status == 130 and "Traceback" not in err, err
    assert took < within(1.0)
    cli.assert_nothing_left()


@pytest.mark.parametrize("signals", [1, 2])
def test_server_ignoring_sigterm(tmp_path, fake_binary, signals):
    # One Ctrl-C waits out the stop's grace period; a second one kills at once.
    cli = Cli(tmp_path, fake_binary, "ignore-term")
    process = cli.popen("--port", "0")
    read_until(process.stdout, "Server running")
    process.send_signal(signal.SIGINT)
    if signals == 2:
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
    status, took, _, err = finish(process, 15, cli)
    assert status == 130 and "Traceback" not in err, err
    assert took < within(1.5) + (0 if signals == 2 else 5)
    if signals == 1:
        assert took > 4.5
    assert not alive(cli.server()["pid"])
    cli.assert_nothing_left()


# ------------------------------------------------------------------------------------------------------------------
# Failures and usage errors


@pytest.mark.parametrize(
    ("mode", "extra", "message"),
    [
        ("exit:3", [], "Server exited with code 3 before accepting connections"),
        ("never-listen", ["--timeout", "0.5"], "Server failed to start within 0.5 seconds"),
        ("listen-then-exit:0.3:4", [], "the server stopped on its own with code 4"),
    ],
)
def test_server_failures_exit_1_with_one_line(tmp_path, fake_binary, mode, extra, message):
    cli = Cli(tmp_path, fake_binary, mode)
    result = cli.run("--port", "0", *extra)
    assert result.returncode == 1
    assert result.stderr.endswith(f"velmora-addin: error: {message}\n")
    assert "Traceback" not in result.stderr
    cli.assert_nothing_left()


@pytest.mark.parametrize(
    ("args", "env", "message"),
    [
        (["--port", "70000"], {}, "argument --port: 70000 is outside 0-65535 (0 picks a free port)"),
        (["run", "--port", "-5"], {}, "argument --port: -5 is outside 0-65535 (0 picks a free port)"),
        (["--server-port", "0"], {}, "argument --server-port: 0 is outside 1-65535"),
        (["--timeout", "-1"], {}, "argument --timeout: -1 is not a positive number of seconds"),
        (["demo", "--timeout", "0"], {}, "argument --timeout: 0 is not a positive number of seconds"),
        (
            ["--log-level", "loud"],
            {},
            "argument --log-level: 'loud' is not one of DEBUG, INFO, WARNING, ERROR, CRITICAL",
        ),
        (
            [],
            {"VELMORA_LOG_LEVEL": "loud"},
            "VELMORA_LOG_LEVEL=loud is not a logging level; use one of DEBUG, INFO, WARNING, ERROR, CRITICAL",
        ),
        (
            ["--addin-path", "/nonexistent/addin"],
            {},
            "add-in folder /nonexistent/addin does not exist; pass the folder holding server.js with --addin-path",
        ),
        (
            ["--compiled"],
            {"VELMORA_SERVER_BINARY": "/nonexistent/server"},
            "no server executable at /nonexistent/server; build it or name it with $VELMORA_SERVER_BINARY",
        ),
    ],
)
def test_usage_errors_exit_2_with_one_line(tmp_path, fake_binary, args, env, message):
    cli = Cli(tmp_path, fake_binary, env=env)
    result = cli.run(*args, compiled=False)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert lines[-1].endswith(f"error: {message}"), result.stderr
    assert lines[-1].startswith("velmora-addin")
    assert "Traceback" not in result.stderr and result.stdout == ""


def test_addin_folder_without_server_script(tmp_path, fake_binary):
    result = Cli(tmp_path, fake_binary).run("--addin-path", str(tmp_path), compiled=False)
    assert result.returncode == 2
    assert result.stderr == (
        f"velmora-addin: error: no server.js in add-in folder {tmp_path}; pass the folder "
        "holding it with --addin-path\n"
    )


def test_refuses_a_port_in_use(tmp_path, fake_binary, port):
    cli = Cli(tmp_path, fake_binary)
    with socket.create_server(("127.0.0.1", port)):
        result = cli.run("--port", str(port))
    assert result.returncode == 2
    # This process holds it: it is named.
    assert result.stderr.startswith(f"velmora-addin: error: port {port} is in use by pid {os.getpid()} (")
    assert result.stderr.endswith("; choose another with --port (--port 0 picks a free one)\n")
    assert cli.server() is None  # nothing was launched


def test_debug_shows_the_traceback(tmp_path, fake_binary):
    result = Cli(tmp_path, fake_binary).run("--debug", "--addin-path", "/nonexistent/addin", compiled=False)
    assert result.returncode == 2
    assert "Traceback (most recent call last)" in result.stderr and "CliError" in result.stderr


# ------------------------------------------------------------------------------------------------------------------
# What a working run shows


def test_demo_on_a_free_port(tmp_path, fake_binary):
    result = Cli(tmp_path, fake_binary).run("demo", "--port", "0", compiled=False)
    assert result.returncode == 0, result.stderr
    port = int(re.search(r"Picked free port (\d+)", result.stdout).group(1))
    assert re.search(rf"Server running at https://localhost:{port} \(pid \d+\)", result.stdout)
    assert f'GET https://localhost:{port}/health -> 200 {{"status":"ok"' in result.stdout
    assert re.search(r"Server stopped in \d+ ms", result.stdout)


def test_version():
    result = subprocess.run([*COMMAND, "--version"], cwd=ROOT, capture_output=True, text=True, timeout=20, check=False)
    assert result.returncode == 0
    assert re.fullmatch(r"velmora-addin \d+\.\d+\.\d+\S*\n", result.stdout)


@pytest.mark.parametrize(
    ("args", "env_level", "expected"),
    [
        ([], None, "WARNING"),
        (["-v"], None, "INFO"),
        (["-vv"], None, "DEBUG"),
        (["--log-level", "error"], "DEBUG", "ERROR"),
        ([], "debug", "DEBUG"),
        (["-q"], "INFO", "WARNING"),
        (["-qqqq"], None, "CRITICAL"),
    ],
)
def test_log_level_reaches_the_server(tmp_path, fake_binary, args, env_level, expected):
    env = {"VELMORA_LOG_LEVEL": env_level} if env_level else {}
    cli = Cli(tmp_path, fake_binary, "exit:0", env=env)
    cli.run("--port", "0", *args)
    argv = cli.server()["argv"]
    assert argv[argv.index("--logging-level") + 1] == expected


def test_capture_drains_and_prefixes_both_streams(tmp_path, fake_binary):
    # 30000 lines per stream before listening: far more than a pipe holds, so the readers must drain
    # during the wait or the server never gets to listen.
    cli = Cli(tmp_path, fake_binary, "listen-then-exit:0.3:0", env={"FAKE_SERVER_CHATTER": "30000"})
    result = cli.run("--port", "0", "--capture", "--timeout", "10")
    assert "Server running" in result.stdout
    assert "[stdout] out 0\n" in result.stdout and "[stdout] out 29999\n" in result.stdout
    assert "[stderr] err 0\n" in result.stderr and "[stderr] err 29999\n" in result.stderr
    assert result.stdout.count("[stdout] out ") == 30000
    assert result.stderr.endswith("velmora-addin: error: the server stopped on its own with code 0\n")


@pytest.mark.parametrize("where", ["terminal", "pipe", "quiet"])
def test_status_line_while_waiting(tmp_path, fake_binary, where):
    cli = Cli(tmp_path, fake_binary, "listen-after:0.8:0.1:0")
    args = ["--port", "0", *(["-q"] if where == "quiet" else [])]
    if where == "terminal":
        controller, terminal = pty.openpty()
        process = cli.popen(*args, stderr=terminal)
        os.close(terminal)
        seen = b""
        while True:
            ready, _, _ = select.select([controller], [], [], within(10))
            try:
                chunk = os.read(controller, 4096) if ready else b""
            except OSError:
                chunk = b""
            if not chunk:
                break
            seen += chunk
        os.close(controller)
        finish(process, within(10), cli)
        err = seen.decode()
    else:
        process = cli.popen(*args)
        _, _, _, err = finish(process, within(10), cli)
    waiting = re.findall(r"waiting for https://localhost:\d+ … (\d+\.\d) s of 30 s", err)
    if where == "terminal":
        assert len(waiting) >= 3 and waiting == sorted(waiting, key=float)  # redrawn as time passes
        assert re.search(r"\r\x1b\[Kready after \d+\.\d s", err)
    elif where == "pipe":
        assert re.findall(r"waiting for https://localhost:\d+.*", err) == [
            re.search(r"waiting for https://localhost:\d+ \(up to 30 s\)", err).group(0)
        ]
    else:
        assert "waiting" not in err


@pytest.mark.parametrize(
    ("argv", "command", "port", "timeout"),
    [
        ([], None, 3000, 30.0),
        (["demo"], "demo", 3000, 30.0),
        (["--port", "5000", "run"], "run", 5000, 30.0),  # an option before the command survives it
        (["--port", "5000", "run", "--timeout", "2"], "run", 5000, 2.0),
        (["--port", "5000", "demo", "--port", "6000"], "demo", 6000, 30.0),
    ],
)
def test_options_before_and_after_the_command(argv, command, port, timeout):
    from velmora_master.addin_launcher.cli.parser import build_parser

    args = build_parser().parse_args(argv)
    assert (args.command, args.port, args.timeout) == (command, port, timeout)


def test_importing_the_command_line_brings_no_heavy_module():
    # __main__ installs its signal handlers and only then imports the command line: what that import brings must
    # stay light, so that the compiled manager and cryptography come only once main() handles signals itself.
    script = (
        "import sys; from velmora_master.addin_launcher.cli import main; "
        "print(*sorted(m for m in sys.modules if m.startswith(('cryptography', 'psutil', '" + MODULE_NAME + "'))))"
    )
    result = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True, text=True, timeout=20)
    assert (result.returncode, result.stdout.strip()) == (0, ""), result.stderr
