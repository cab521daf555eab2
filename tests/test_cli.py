"""The command line, driven in a subprocess with real servers and real signals."""

import functools
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import uuid

import pytest

from helpers import (
    COMMAND,
    MODULE_NAME,
    ROOT,
    Terminal,
    addin_folder,
    alive,
    assert_nothing_left,
    cli_environment,
    marked_processes,
    need,
    read_until,
    run_cli,
    run_python,
    wait_until,
    within,
)
from velmora_master.addin_launcher import trust
from velmora_master.addin_launcher._ports import accepts
from velmora_master.addin_launcher.certificate_manager import CertificateManager, ReplacementReason
from velmora_master.addin_launcher.cli import entry, main, signals


class Cli:
    """One run of the CLI with the fake server in `mode`; remembers what it needs to prove nothing is left: the
    marker in the environment of the run and of everything it started."""

    def __init__(self, tmp_path, fake_binary, mode="listen", env=None):
        self.marker = f"VELMORA_CLI_RUN={uuid.uuid4().hex}"
        self.args_file = tmp_path / f"server-args-{uuid.uuid4().hex}.json"
        key, value = self.marker.split("=")
        self.env = {
            "VELMORA_LOG_LEVEL": None,
            "VELMORA_SERVER_BINARY": str(fake_binary),
            "FAKE_SERVER_MODE": mode,
            "FAKE_SERVER_ARGS_FILE": str(self.args_file),
            key: value,
            **(env or {}),
        }

    def argv(self, *args, compiled=True):
        return [*COMMAND, *args, *(["--compiled"] if compiled else [])]

    def run(self, *args, timeout=20, compiled=True):
        return run_cli(*args, *(["--compiled"] if compiled else []), env=self.env, timeout=timeout)

    def popen(self, *args, compiled=True, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        argv = self.argv(*args, compiled=compiled)
        return subprocess.Popen(argv, cwd=ROOT, env=cli_environment(self.env), text=True, **kwargs)

    def server(self):
        return json.loads(self.args_file.read_text()) if self.args_file.exists() else None

    def assert_nothing_left(self, port=None):
        """No process of the run (by the test's marker or the server's mark), and nothing listens on the server's
        port, or on `port` when given."""
        record = self.server() or {"argv": [], "mark": None}
        argv = record["argv"]
        if port is None and "--port" in argv:
            port = int(argv[argv.index("--port") + 1])
        assert_nothing_left(self.marker, record["mark"], port)

    def launched(self, process):
        """Waits until the run `process` waits for the port of a server that has started, then a little longer."""
        read_until(process.stderr, "waiting for https://localhost:")
        assert wait_until(lambda: self.server() is not None)
        time.sleep(0.3)

    def on_terminal(self, *args, compiled=True):
        """The CLI on a pseudo-terminal as in a terminal window: its controlling terminal and its three streams."""
        terminal = Terminal()
        return terminal.start(self.argv(*args, compiled=compiled), cwd=ROOT, env=cli_environment(self.env)), terminal


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


def ignore(signals):
    """Run in the child before the program: it starts with `signals` ignored, as under nohup."""
    for sig in signals:
        signal.signal(sig, signal.SIG_IGN)


HANG_UP = "close the terminal"
# How a run of the sample server is ended: what is sent (a signal, or the terminal closed), a signal the caller
# had the program ignore (as nohup does), the exit status and the last line on stderr. Every signal that would
# end the program stops the server first, as SIGTERM does, and the run exits with 128 + its number; one ignored
# from the start stays ignored.
ENDINGS = {
    **{
        name: ([signal.Signals[name]], (), 128 + signal.Signals[name], name)
        for name in ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU"]
    },
    "a real-time signal": ([signal.SIGRTMIN + 3], (), 128 + signal.SIGRTMIN + 3, "SIGRTMIN+3"),
    "terminal closed": ([HANG_UP], (), 129, None),
    "SIGHUP under nohup": ([signal.SIGHUP, signal.SIGTERM], (signal.SIGHUP,), 143, "SIGTERM"),
}


@pytest.mark.slow
@pytest.mark.parametrize(("sends", "ignored", "status", "name"), ENDINGS.values(), ids=ENDINGS.keys())
def test_sample_server_runs_until_signalled(tmp_path, fake_binary, sends, ignored, status, name):
    cli = Cli(tmp_path, fake_binary)
    if sends == [HANG_UP]:
        # Then the terminal is gone: the program is sent SIGHUP, and what it still writes there fails.
        process, terminal = cli.on_terminal("run", "--port", "0", compiled=False)
        out = read_until(terminal, "Press Ctrl-C to stop.")
    else:
        process = cli.popen("run", "--port", "0", compiled=False, preexec_fn=functools.partial(ignore, ignored))
        out = read_until(process.stdout, "Press Ctrl-C to stop.")
    port = int(re.search(r"Picked free port (\d+)", out).group(1))
    server_pid = int(re.search(r"pid (\d+)", out).group(1))
    for sig in sends[:-1]:
        process.send_signal(sig)
        time.sleep(0.5)
        assert process.poll() is None and alive(server_pid)
    if sends[-1] == HANG_UP:
        terminal.close()
    else:
        process.send_signal(sends[-1])
    status_seen, took, out, err = finish(process, 10, cli)
    assert status_seen == status, err
    assert took < within(1.0)
    if name is not None:
        assert "Server stopped in" in out and "Traceback" not in err
        assert err.endswith(f"velmora-addin: stopped by {name}\n")
    cli.assert_nothing_left(port)


@pytest.mark.slow
@pytest.mark.parametrize(
    ("mode", "sig"),
    [("never-listen", signal.SIGINT), ("listen-after:15", signal.SIGTERM), ("never-listen", signal.SIGQUIT)],
)
def test_signal_while_waiting_for_the_port_ends_at_once(tmp_path, fake_binary, mode, sig):
    cli = Cli(tmp_path, fake_binary, mode)
    process = cli.popen("--port", "0")
    cli.launched(process)
    process.send_signal(sig)
    status, took, out, err = finish(process, 10, cli)
    assert (status, "Traceback" in err) == (128 + sig, False), err
    assert took < within(1.0)
    assert "Server running" not in out
    assert not alive(cli.server()["pid"])
    cli.assert_nothing_left()


@functools.cache
def interpreter_start_up() -> float:
    """How long this interpreter takes to start and end doing nothing (the debug build, a loaded machine: longer)."""
    began = time.monotonic()
    subprocess.run([sys.executable, "-c", "pass"], check=True)
    return time.monotonic() - began


@pytest.mark.slow
@pytest.mark.parametrize(
    ("delay", "sig"),
    [(0.2, signal.SIGHUP), (0.4, signal.SIGINT), (0.6, signal.SIGQUIT), (0.8, signal.SIGINT), (1.0, signal.SIGTERM)],
)
def test_a_signal_at_any_moment_leaves_nothing(tmp_path, fake_binary, delay, sig):
    # The server listens after 0.5 s, so the signal lands in start-up, certificate work, the wait or the run.
    # The delay counts from when the interpreter itself has started: before that no program can handle a signal.
    cli = Cli(tmp_path, fake_binary, "listen-after:0.5")
    process = cli.popen("--port", "0")
    time.sleep(interpreter_start_up() + delay)
    process.send_signal(sig)
    status, took, _, err = finish(process, 10, cli)
    assert status == 128 + sig and "Traceback" not in err, err
    assert took < within(1.0)
    cli.assert_nothing_left()


@pytest.mark.slow
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


@pytest.mark.slow
@pytest.mark.parametrize(
    ("mode", "when", "within_seconds"),
    [("listen", "running", 1.5), ("never-listen", "waiting", 1.5), ("ignore-term", "running", 6.5)],
)
def test_sigkill_to_the_cli_ends_its_server_through_the_guard(tmp_path, fake_binary, mode, when, within_seconds):
    cli = Cli(tmp_path, fake_binary, mode)
    process = cli.popen("--port", "0")
    if when == "running":
        read_until(process.stdout, "Server running")
    else:
        cli.launched(process)
    server = cli.server()["pid"]
    process.kill()
    killed = time.monotonic()
    process.wait()
    assert wait_until(lambda: not alive(server), within(within_seconds) + 1)
    took = time.monotonic() - killed
    assert took < within(within_seconds)
    if mode == "ignore-term":
        assert took > 4.5  # SIGTERM first, the grace, then SIGKILL
    cli.assert_nothing_left()
    process.stdout.close()
    process.stderr.close()


@pytest.mark.slow
@pytest.mark.parametrize("helper", ["setsid", "daemon"])
def test_helpers_that_left_the_servers_session_are_ended_after_ctrl_c(tmp_path, fake_binary, helper):
    pid_file = tmp_path / "helper.pid"
    cli = Cli(tmp_path, fake_binary, env={"FAKE_SERVER_HELPER": helper, "FAKE_SERVER_GRANDCHILD_FILE": str(pid_file)})
    process = cli.popen("--port", "0")
    read_until(process.stdout, "Server running")
    helper_pid = int(pid_file.read_text())
    assert os.getsid(helper_pid) not in (cli.server()["pid"], os.getsid(0))  # out of every session of ours
    process.send_signal(signal.SIGINT)
    status, _, _, err = finish(process, 15, cli)
    assert status == 130, err
    assert re.search(rf"outside its process group; they were ended: {helper_pid} \(\S*python", err), err
    assert not alive(helper_pid)
    cli.assert_nothing_left()


# ------------------------------------------------------------------------------------------------------------------
# Failures and usage errors


@pytest.mark.slow
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


@pytest.mark.slow
@pytest.mark.parametrize(
    ("compiled", "env", "problem"),
    [
        (True, {"FAKE_SERVER_TLS": "off"}, "the TLS handshake failed"),  # a port that accepts is not enough
        (False, {}, "GET /health answered 503"),  # nor a handshake
    ],
)
def test_ready_means_it_answers_over_verified_tls(tmp_path, fake_binary, compiled, env, problem):
    cli = Cli(tmp_path, fake_binary, env=env)
    addin = [] if compiled else ["--addin-path", str(addin_folder(tmp_path / "addin", "unhealthy"))]
    result = cli.run("--port", "0", "--timeout", str(within(2.0)), *addin, compiled=compiled)
    assert result.returncode == 1 and "Server running" not in result.stdout
    assert re.search(
        rf"velmora-addin: error: Server failed to start within {within(2.0)} seconds: "
        rf"it accepted connections on port \d+, but {problem}",
        result.stderr,
    ), result.stderr
    cli.assert_nothing_left()


@pytest.mark.slow
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
        (
            ["--addin-path", "{tmp}"],
            {},
            "no server.js in add-in folder {tmp}; pass the folder holding it with --addin-path",
        ),
    ],
)
def test_usage_errors_exit_2_with_one_line(tmp_path, fake_binary, args, env, message):
    cli = Cli(tmp_path, fake_binary, env=env)
    result = cli.run(*[arg.format(tmp=tmp_path) for arg in args], compiled=False)
    assert (result.returncode, result.stdout) == (2, "")
    said, last = message.format(tmp=tmp_path), result.stderr.splitlines()[-1]
    assert last.startswith("velmora-addin") and last.endswith(f"error: {said}"), result.stderr
    # The parser's own refusals come after its usage lines; every other one is the only line.
    assert message.startswith("argument") or result.stderr == f"velmora-addin: error: {said}\n"
    assert "Traceback" not in result.stderr


@pytest.mark.slow
def test_refuses_a_port_in_use(tmp_path, fake_binary, port):
    cli = Cli(tmp_path, fake_binary)
    with socket.create_server(("127.0.0.1", port)):
        result = cli.run("--port", str(port))
    assert result.returncode == 2
    # This process holds it: it is named.
    assert result.stderr.startswith(f"velmora-addin: error: port {port} is in use by pid {os.getpid()} (")
    assert result.stderr.endswith("; choose another with --port (--port 0 picks a free one)\n")
    assert cli.server() is None  # nothing was launched


@pytest.mark.slow
def test_debug_shows_the_traceback(tmp_path, fake_binary):
    result = Cli(tmp_path, fake_binary).run("--debug", "--addin-path", "/nonexistent/addin", compiled=False)
    assert result.returncode == 2
    assert "Traceback (most recent call last)" in result.stderr and "CliError" in result.stderr


# ------------------------------------------------------------------------------------------------------------------
# What a working run shows


@pytest.mark.slow
def test_demo_on_a_free_port(tmp_path, fake_binary):
    result = Cli(tmp_path, fake_binary).run("demo", "--port", "0", compiled=False)
    assert result.returncode == 0, result.stderr
    port = int(re.search(r"Picked free port (\d+)", result.stdout).group(1))
    assert re.search(rf"Server running at https://localhost:{port} \(pid \d+\)", result.stdout)
    assert f'GET https://localhost:{port}/health -> 200 {{"status":"ok"' in result.stdout
    assert re.search(r"Server stopped in \d+ ms", result.stdout)


EXPOSED, DAMAGED = ReplacementReason.EXPOSED_KEY, ReplacementReason.DAMAGED
# A stored CA that the next command has to replace: how it was spoiled, the command, its exit status. Each one says
# why, once, at any logging level; an old CA whose key others could read is taken out of the browsers' store too.
CA_REPLACED = {
    "demo, a key others could read": (EXPOSED, ["demo", "--port", "0"], 0),
    "run, a damaged CA, quiet": (DAMAGED, ["run", "-q", "--port", "0", "--compiled"], 1),  # the server exits 3
    "certs show, a damaged CA": (DAMAGED, ["certs", "show"], 0),
    "certs trust, a key others could read": (EXPOSED, ["certs", "trust"], 0),
}


@pytest.mark.slow
@pytest.mark.parametrize(("reason", "command", "status"), CA_REPLACED.values(), ids=CA_REPLACED.keys())
def test_a_replaced_ca_is_told_with_what_to_do(tmp_path, fake_binary, reason, command, status):
    store, home = tmp_path / "certs", tmp_path / "home"
    cli = Cli(tmp_path, fake_binary, "exit:3", env={"VELMORA_CERT_DIR": str(store), "HOME": str(home)})
    if reason is EXPOSED:
        need("certutil")
        assert cli.run("certs", "trust", compiled=False).returncode == 0  # the old CA, trusted by the browsers
    paths = CertificateManager(store).ensure_certificates()
    old = trust.Authority.load(paths.ca_cert)
    if reason is EXPOSED:
        paths.ca_key.chmod(0o644)
    else:
        paths.ca_cert.write_text("damaged")
    result = cli.run(*command, compiled="--compiled" in command)
    assert result.returncode == status, result.stderr
    said = result.stdout + result.stderr
    warning = f"velmora-addin: warning: the local CA in {store} was replaced by a new one, because {reason}\n"
    assert result.stderr.count(warning) == 1 and "certificate_manager:" not in said  # not logged a second time
    nssdb = home / ".pki" / "nssdb"
    assert (f"NSS database {nssdb} (Chromium, Chrome): the old CA was removed" in said) == (reason is EXPOSED)
    assert reason is not EXPOSED or not trust.NssStore(nssdb, "", create=False).contains(old)
    trusting = command == ["certs", "trust"]  # then the new CA is trusted at once, not left to a reminder
    assert ("Browsers trust the new CA only after: velmora-addin certs trust" in said) != trusting
    assert (f"NSS database {nssdb} (Chromium, Chrome): added" in said) == trusting


@pytest.mark.slow
def test_version():
    result = run_cli("--version")
    assert result.returncode == 0
    assert re.fullmatch(r"velmora-addin \d+\.\d+\.\d+\S*\n", result.stdout)


@pytest.mark.slow
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


@pytest.mark.slow
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


# Where the wait for the port is shown: stderr on a terminal (with TERM), a pipe, or nothing (-q); --capture adds
# the server's own lines, which come one every 0.2 s while the port is awaited.
STATUS_CASES = {
    "terminal": ("xterm", []),
    "dumb terminal": ("dumb", []),
    "terminal, --capture": ("xterm", ["--capture"]),
    "pipe": (None, []),
    "quiet": (None, ["-q"]),
}


@pytest.mark.slow
@pytest.mark.parametrize(("term", "extra"), STATUS_CASES.values(), ids=STATUS_CASES.keys())
def test_status_line_while_waiting(tmp_path, fake_binary, term, extra):
    cli = Cli(
        tmp_path,
        fake_binary,
        "listen-after:0.8:0.1:0",
        env={"TERM": term or "xterm", "FAKE_SERVER_CHATTER": "4", "FAKE_SERVER_CHATTER_PAUSE": "0.2"},
    )
    if term is not None:
        process, terminal = cli.on_terminal("--port", "0", *extra)
        err = read_until(terminal)
        terminal.close()
        finish(process, within(10), cli)
    else:
        process = cli.popen("--port", "0", *extra)
        _, _, _, err = finish(process, within(10), cli)
    waiting = re.findall(r"waiting for https://localhost:\d+ … (\d+\.\d) s of 30 s", err)
    if term == "xterm":
        assert len(waiting) >= 3 and waiting == sorted(waiting, key=float)  # redrawn as time passes
        assert re.search(r"\r\x1b\[Kready after \d+\.\d s", err)
    elif term == "dumb" or extra == []:
        assert "\x1b" not in err
        assert re.findall(r"waiting for https://localhost:\d+[^\r\n]*", err) == [
            re.search(r"waiting for https://localhost:\d+ \(up to 30 s\)", err).group(0)
        ]
    else:
        assert "waiting" not in err
    if "--capture" in extra:
        # Each relayed line on a line of its own: the live line was cleared before it, never written in front.
        relayed = [m.start() for m in re.finditer(r"\[(stdout|stderr)\] (out|err) \d", err)]
        assert len(relayed) == 8
        assert all(err[:at].endswith(("\n", "\r\x1b[K")) for at in relayed), err


@pytest.mark.slow
@pytest.mark.parametrize("fault", ["stderr closed", "stdout closed", "stdout's reader gone"])
def test_closed_or_gone_streams_are_tolerated(tmp_path, fake_binary, fault):
    # 2>&-, >&-, | head -1: the run goes on and ends as asked; the server gets the null device for a closed
    # stream, never a file or socket of the CLI's that took the free descriptor.
    closed = {"stderr closed": 2, "stdout closed": 1}.get(fault)
    cli = Cli(tmp_path, fake_binary)
    process = cli.popen("--port", "0", preexec_fn=(lambda: os.close(closed)) if closed else None)
    if fault == "stdout's reader gone":
        read_until(process.stdout, "Press Ctrl-C to stop.")
        process.stdout.close()
    assert wait_until(lambda: cli.server() is not None, within(10))
    server = cli.server()
    port = int(server["argv"][server["argv"].index("--port") + 1])
    assert wait_until(lambda: accepts(port), within(10))
    if closed:
        assert os.readlink(f"/proc/{server['pid']}/fd/{closed}") == os.devnull
    time.sleep(0.5)  # the CLI sees it ready, and says so
    process.send_signal(signal.SIGTERM)
    status, _, out, err = finish(process, within(10), cli)
    assert status == 143, err
    if closed != 2:
        assert err.endswith("velmora-addin: stopped by SIGTERM\n") and "Traceback" not in err and "error" not in err
    if closed != 1 and fault != "stdout's reader gone":
        assert "Server stopped in" in out
    cli.assert_nothing_left(port)


def test_a_signal_while_a_failure_is_told_ends_with_its_status(tmp_path, monkeypatch, capsys, cli_logging):
    (tmp_path / "a-file").touch()
    monkeypatch.setenv("VELMORA_CERT_DIR", str(tmp_path / "a-file"))  # a store that cannot be made
    monkeypatch.setattr(entry, "_one_line", lambda error: os.kill(os.getpid(), signal.SIGUSR1) or "failed")
    # The program would have exited long before its last resort ends this process: here it must not.
    monkeypatch.setattr(signals.SignalGuard, "_last_resort", lambda guard, signum: None)
    assert main(["certs", "show"]) == 128 + signal.SIGUSR1
    assert capsys.readouterr().err.splitlines() == ["velmora-addin: error: failed", "velmora-addin: stopped by SIGUSR1"]


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


@pytest.mark.slow
def test_importing_the_command_line_brings_no_heavy_module():
    # __main__ installs its signal handlers and only then imports the command line: what that import brings must
    # stay light, so that the compiled manager and cryptography come only once main() handles signals itself.
    script = (
        "import sys; from velmora_master.addin_launcher.cli import main; "
        "print(*sorted(m for m in sys.modules if m.startswith(('cryptography', 'psutil', '" + MODULE_NAME + "'))))"
    )
    result = run_python(script, timeout=20)
    assert (result.returncode, result.stdout.strip()) == (0, ""), result.stderr
