"""The pytest plugin as a user's own test suite meets it: run in a separate pytest with pytester."""

import json
import os
import sys
import textwrap

import pytest

from helpers import ROOT, TESTS, alive, unhealthy_addin, wait_until
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

pytest_plugins = ["pytester"]

# A server.js that starts a child which moves to a process group of its own (so the group's
# signals never reach it), records its pid, then runs the sample server: the child outlives the
# server, still in the session the server leads.
LEAKY_SERVER = """
const fs = require('fs');
const child = require('child_process').spawn(
  {python}, ['-c', 'import os, time; os.setpgid(0, 0); time.sleep(60)'], {{ stdio: 'ignore' }});
fs.writeFileSync({pid_file}, String(child.pid));
require({sample});
"""

# A server.js that ignores SIGTERM, so that stop kills it after the grace period and leaves it unreaped.
STUBBORN_SERVER = """
require({sample});
process.removeAllListeners('SIGTERM');
process.on('SIGTERM', () => {{}});
"""

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


def test_a_leaked_process_of_the_group_fails_the_test_and_is_killed(user_suite, tmp_path):
    addin = tmp_path / "leaky-addin"
    addin.mkdir()
    child_pid = tmp_path / "child.pid"
    (addin / "server.js").write_text(
        LEAKY_SERVER.format(
            python=json.dumps(sys.executable),
            pid_file=json.dumps(str(child_pid)),
            sample=json.dumps(str(BUNDLED_ADDIN_DIR / "server.js")),
        )
    )
    result = user_suite(f"""
        import os, time

        def test_leaky(addin_server_factory):
            server = addin_server_factory(addin_path={str(addin)!r})
            assert server.is_running
            SEEN.append(server.pid)
            # The leak is made once the child has left the server's group (slow to start under a sanitizer).
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    child = int(open({str(child_pid)!r}).read())
                    if os.getpgid(child) == child:
                        break
                except (OSError, ValueError):
                    pass
                time.sleep(0.05)
        """)
    result.assert_outcomes(passed=2, errors=1)
    result.stdout.fnmatch_lines(
        ["*ERROR at teardown of test_leaky*", "*session * were still alive after it stopped; they were killed*"]
    )
    assert wait_until(lambda: not alive(int(child_pid.read_text()))), "the leaked child is still running"


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
    addin = tmp_path / "stubborn-addin"
    addin.mkdir()
    (addin / "server.js").write_text(STUBBORN_SERVER.format(sample=json.dumps(str(BUNDLED_ADDIN_DIR / "server.js"))))
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


def test_a_server_counts_as_started_only_once_its_health_check_answers(user_suite, tmp_path):
    addin = unhealthy_addin(tmp_path / "unhealthy-addin")
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
