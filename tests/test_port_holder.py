"""The port's holder: named by `run`, and `stop --port N`, which ends a server of ours (group, grace, SIGKILL) and
refuses any other holder."""

import getpass
import re
import sys
import time

import pytest

from helpers import TESTS, alive, free_port, run_cli, wait_until, within
from velmora_master.addin_launcher._ports import accepts

pytestmark = pytest.mark.slow  # real servers and the command line


@pytest.mark.parametrize(
    ("kind", "env", "ended"),
    [
        ("leftover", {}, "ended by SIGTERM"),
        ("leftover-relative", {}, "ended by SIGTERM"),
        # Ignores SIGTERM, and its helper in its group too: both outlive the grace period and are killed.
        ("marked", {"FAKE_SERVER_MODE": "ignore-term", "FAKE_SERVER_HELPER": "ignore-term"}, "killed after 5 s"),
    ],
)
def test_stop_ends_a_server_of_ours_and_its_group(tmp_path, port_holder, kind, env, ended):
    port = free_port()
    helper_file = tmp_path / "helper.pid"
    server = port_holder(kind, port, FAKE_SERVER_GRANDCHILD_FILE=str(helper_file), **env)
    helper = int(helper_file.read_text()) if "FAKE_SERVER_HELPER" in env else None
    began = time.monotonic()
    result = run_cli("stop", "--port", str(port))
    took = time.monotonic() - began
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"Stopped the server of ours on port {port}: pid {server.pid}, {ended}\n"
    assert wait_until(lambda: not alive(server.pid)) and not accepts(port)
    assert helper is None or wait_until(lambda: not alive(helper))
    # One that ends on SIGTERM is not waited out; one that ignores it gets the whole grace period.
    assert took < within(4.5) if ended == "ended by SIGTERM" else took > 4.5


def test_stop_refuses_a_stranger_and_leaves_it_alone(port_holder):
    port = free_port()
    stranger = port_holder("stranger", port)
    result = run_cli("stop", "--port", str(port))
    assert result.returncode == 1 and result.stdout == ""
    assert re.fullmatch(
        rf"velmora-addin: error: port {port} is in use by pid {stranger.pid} \({re.escape(sys.executable)} -c "
        rf"import socket.* {port}\), user {getpass.getuser()}, not by a server of ours: not stopped\n",
        result.stderr,
    )
    time.sleep(0.2)
    assert alive(stranger.pid) and accepts(port)


def test_stop_with_nothing_on_the_port():
    port = free_port()
    result = run_cli("stop", "--port", str(port))
    assert (result.returncode, result.stdout) == (0, f"Nothing listens on port {port}: nothing to stop\n")


@pytest.mark.parametrize("kind", ["stranger", "marked"])
def test_run_names_the_holder_and_offers_stop_for_ours(tmp_path, port_holder, kind):
    port = free_port()
    holder = port_holder(kind, port)
    result = run_cli("run", "--port", str(port), env={"VELMORA_SERVER_BINARY": str(TESTS / "none")})
    assert result.returncode == 2 and result.stdout == ""
    said = f"pid {holder.pid} ({' '.join(holder.args)}), user {getpass.getuser()}"
    if kind == "stranger":
        expected = f"port {port} is in use by {said}; choose another with --port"
    else:
        expected = f"port {port} is held by a server of ours: {said}; end it with: velmora-addin stop --port {port},"
    assert result.stderr.startswith(f"velmora-addin: error: {expected}"), result.stderr
