"""The pytest plugin as a user's own test suite meets it: run in a separate pytest with pytester."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from helpers import ROOT, TESTS, addin_folder, alive, assert_nothing_left, wait_until, within
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

pytest_plugins = ["pytester"]
pytestmark = pytest.mark.slow  # a user's pytest in a process of its own, with real servers

# Shared by the user's tests: the servers they saw, each of which must have ended by the last test.
USER_HELPERS = """
import urllib.request

from helpers import alive

SEEN = []


def test_every_server_seen_was_stopped_after_its_test():
    assert SEEN and [pid for pid in SEEN if alive(pid)] == []
"""


@pytest.fixture
def user_suite(pytester, monkeypatch, tmp_path):
    """Runs a user's test file in a fresh pytest that loads the plugin, as its entry point would."""
    # The package under test, wherever this suite imported it from (the checkout or a copy), and our helpers.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(ROOT), str(TESTS)]))
    # The user's own certificate folder, which the fixtures must leave alone.
    monkeypatch.setenv("VELMORA_CERT_DIR", str(tmp_path / "user-certs"))

    def run(source, *args):
        pytester.makepyfile(test_user=textwrap.dedent(source) + USER_HELPERS)
        return pytester.runpytest_subprocess("-p", "velmora_master.pytest_plugin", *args, timeout=180)

    return run


def test_a_user_test_gets_a_running_verified_server(user_suite, tmp_path):
    result = user_suite("""
        def test_health(addin_server, addin_ssl_context, addin_certificates, tmp_path_factory):
            assert addin_server.is_running
            with urllib.request.urlopen(addin_server.url + "/health", context=addin_ssl_context, timeout=10) as answer:
                assert answer.status == 200
            certs = addin_certificates.cert_dir
            assert certs.is_relative_to(tmp_path_factory.getbasetemp()) and (certs / "ca.crt").is_file()
            SEEN.append(addin_server.pid)
        """)
    result.assert_outcomes(passed=2)
    assert not (tmp_path / "user-certs").exists()


# The user's tests of the leak check: each leaves something behind its server in its own way.
LEAKS = """
import os, socket

import pytest

HELD = []


@pytest.mark.parametrize("helper", ["setsid", "daemon"])
def test_helper_leaves(addin_server_factory, monkeypatch, helper):
    monkeypatch.setenv("FAKE_SERVER_HELPER", helper)
    monkeypatch.setenv("FAKE_SERVER_GRANDCHILD_FILE", {pids!r} + helper)
    SEEN.append(addin_server_factory(use_compiled=True).pid)


def test_node_helper_leaves_the_group(addin_server_factory):
    SEEN.append(addin_server_factory(addin_path={leaky!r}).pid)
    # The leak is made once the child has left the server's group (slow to start under a sanitizer).
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            child = int(open({pids!r} + "node").read())
            if os.getpgid(child) == child:
                break
        except (OSError, ValueError):
            pass
        time.sleep(0.05)


def test_port_still_accepts(addin_server_factory):
    # Another program holds one of the server's ports: not its own, where a stranger is never taken for the
    # server (it must answer over verified TLS), but its watchdog's.
    HELD.append(socket.create_server(("127.0.0.1", 0)))
    SEEN.append(addin_server_factory(use_compiled=True, watchdog_port=HELD[-1].getsockname()[1]).pid)
"""


def test_the_leak_check_ends_and_names_what_a_server_left(user_suite, tmp_path, fake_binary, monkeypatch):
    monkeypatch.setenv("VELMORA_SERVER_BINARY", str(fake_binary))
    pids = str(tmp_path / "helper-")
    addin = addin_folder(tmp_path / "leaky-addin", "leaky", pid_file=pids + "node")
    result = user_suite("import time\n" + LEAKS.format(pids=pids, leaky=str(addin)))
    result.assert_outcomes(passed=5, errors=4)
    helpers = {name: int(Path(pids + name).read_text()) for name in ("setsid", "daemon", "node")}
    for test, pid in [
        ("test_helper_leaves[[]setsid[]]", helpers["setsid"]),
        ("test_helper_leaves[[]daemon[]]", helpers["daemon"]),
        ("test_node_helper_leaves_the_group", helpers["node"]),
    ]:
        result.stdout.fnmatch_lines(
            [f"*ERROR at teardown of {test}*", f"*left outside its process group*they were ended: {pid} (*python*"]
        )
    result.stdout.fnmatch_lines(["*ERROR at teardown of test_port_still_accepts*", "*port * still accepts*"])
    assert [name for name, pid in helpers.items() if alive(pid)] == []


def test_two_servers_at_once(user_suite):
    result = user_suite(f"""
        def test_two(addin_server, addin_server_factory, addin_ssl_context):
            second = addin_server_factory(timeout=20, addin_path={str(BUNDLED_ADDIN_DIR)!r})
            servers = [addin_server, second]
            assert addin_server.port != second.port and addin_server.pid != second.pid
            for server in servers:
                assert server.is_running
                with urllib.request.urlopen(server.url + "/health", context=addin_ssl_context, timeout=10) as answer:
                    assert answer.status == 200
            SEEN.extend(server.pid for server in servers)

        def test_a_server_already_stopped_by_the_test(addin_server):
            SEEN.append(addin_server.pid)
            addin_server.stop()
        """)
    result.assert_outcomes(passed=3)


def test_a_server_killed_after_the_grace_period_is_no_leak(user_suite, tmp_path):
    # A server that needs the SIGKILL is waited for after it, and leaves nothing behind.
    addin = addin_folder(tmp_path / "stubborn-addin", "stubborn")
    result = user_suite(f"""
        import time

        def test_stubborn(addin_server_factory):
            SEEN.append(addin_server_factory(addin_path={str(addin)!r}).pid)
            STOPPING.append(time.monotonic())

        def test_it_took_the_kill(addin_server_factory):
            assert time.monotonic() - STOPPING[0] >= 5

        STOPPING = []
        """)
    result.assert_outcomes(passed=3)


def test_a_signal_during_a_failing_teardown_stops_the_session_before_the_next_test(user_suite):
    result = user_suite("""
        import os, signal

        import pytest

        @pytest.fixture
        def signalled_then_broken():
            yield
            os.kill(os.getpid(), signal.SIGTERM)
            raise RuntimeError("teardown broke")

        def test_one(addin_server, signalled_then_broken):
            SEEN.append(addin_server.pid)

        def test_two():
            raise AssertionError("ran after the signal")
        """)
    assert result.ret == 128 + signal.SIGTERM
    result.assert_outcomes(passed=1, errors=1)  # the teardown's error reported, nothing run after it
    result.stdout.fnmatch_lines(["*RuntimeError: teardown broke*"])


# A user's test that holds its server until pytest is signalled, having told where it is.
HOLDING = """
import json, os, time


def test_hold(addin_server):
    with open({record!r} + ".tmp", "w") as out:
        json.dump({{"pid": addin_server.pid, "port": addin_server.port, "mark": addin_server.mark}}, out)
    os.rename({record!r} + ".tmp", {record!r})
    time.sleep(60)
"""


@pytest.mark.parametrize(
    ("sig", "status", "within_seconds"),
    [
        (signal.SIGKILL, -signal.SIGKILL, 1.5),
        (signal.SIGTERM, 128 + signal.SIGTERM, 5),
        (signal.SIGHUP, 128 + signal.SIGHUP, 5),
    ],
)
def test_a_signalled_pytest_leaves_no_server(
    pytester, monkeypatch, tmp_path, spawn, nothing_left, sig, status, within_seconds
):
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(ROOT), str(TESTS)]))
    record = tmp_path / "server.json"
    pytester.makepyfile(test_user=HOLDING.format(record=str(record)))
    run = spawn(
        [sys.executable, "-m", "pytest", "-p", "velmora_master.pytest_plugin", "-p", "no:cacheprovider"],
        cwd=pytester.path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    assert wait_until(record.exists, 60), "the user's test never got its server"
    server = json.loads(record.read_text())
    run.send_signal(sig)
    signalled = time.monotonic()
    assert wait_until(lambda: not alive(server["pid"]), within(within_seconds))
    assert time.monotonic() - signalled < within(within_seconds)
    out, _ = run.communicate(timeout=within(60))
    assert run.returncode == status, out
    if sig != signal.SIGKILL:  # the finalisers ran and said so
        assert f"stopped the add-in server of https://localhost:{server['port']} (pid {server['pid']})" in out, out
    # Nothing of the run either (it inherited the test's marker): its guard has exited too.
    assert_nothing_left(nothing_left, server["mark"], server["port"])


def test_a_server_counts_as_started_only_once_its_health_check_answers(user_suite, tmp_path):
    addin = addin_folder(tmp_path / "unhealthy-addin", "unhealthy")
    result = user_suite(f"""
        import pytest

        from velmora_master.addin_launcher.exceptions import ServerStartError

        def test_unhealthy(addin_server, addin_server_factory):
            SEEN.append(addin_server.pid)  # the sample answers: started
            never_ready = r"it accepted connections on port \\d+, but GET /health answered 503"
            with pytest.raises(ServerStartError, match=never_ready):
                addin_server_factory(addin_path={str(addin)!r}, timeout=3.0)
        """)
    result.assert_outcomes(passed=2)
