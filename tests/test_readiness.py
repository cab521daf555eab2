"""The verified readiness probe of the command line and the plugin, against the stand-in server in real processes."""

import itertools
import os
import statistics
import time

import pytest

from helpers import free_port
from velmora_master.addin_launcher import _readiness
from velmora_master.addin_launcher.certificate_manager import CertificateManager
from velmora_master.addin_launcher.exceptions import ServerStartError

pytestmark = pytest.mark.slow  # the stand-in server in real processes


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """Our store, and a stranger's whose CA we do not trust."""
    base = tmp_path_factory.mktemp("readiness")
    return CertificateManager(base / "ours").ensure_certificates(), CertificateManager(
        base / "theirs"
    ).ensure_certificates()


@pytest.fixture
def launch(fake_binary, spawn):
    """Start the stand-in server on a fresh port with the server certificate of `paths`; ended afterwards."""

    def start(paths, mode="listen", **env):
        port = free_port()
        argv = [str(fake_binary), "--port", str(port), "--cert", str(paths.server_cert), "--key", str(paths.server_key)]
        return spawn(argv, env={**os.environ, "FAKE_SERVER_MODE": mode, **env}), port

    return start


@pytest.mark.parametrize(
    ("env", "health", "problem"),
    [
        ({"FAKE_SERVER_HEALTH": "200"}, True, None),
        ({}, False, None),  # the compiled server: the verified handshake is enough
        ({}, True, "GET /health got no answer"),  # a handshake alone does not make the add-in server ready
        ({"FAKE_SERVER_HEALTH": "503"}, True, "GET /health answered 503"),
        ({"FAKE_SERVER_TLS": "off"}, False, "the TLS handshake failed"),  # the class's probe calls this ready
    ],
)
def test_ready_only_when_it_answers_as_itself(certificates, launch, env, health, problem):
    ours, _ = certificates
    process, port = launch(ours, **env)
    if problem is None:
        assert _readiness.wait_until_ready(process, port, ours.ca_cert, 20, health) is True
        return
    began = time.monotonic()
    with pytest.raises(ServerStartError) as raised:
        _readiness.wait_until_ready(process, port, ours.ca_cert, 2.0, health)
    assert time.monotonic() - began >= 2.0
    assert str(raised.value).startswith(
        f"Server failed to start within 2.0 seconds: it accepted connections on port {port}, but {problem}"
    )
    assert process.poll() is None  # ending it is the caller's part, as in the class's start


def test_a_certificate_our_ca_did_not_sign_ends_the_wait_at_once(certificates, launch):
    ours, theirs = certificates
    process, port = launch(theirs, FAKE_SERVER_HEALTH="200")
    began = time.monotonic()
    with pytest.raises(
        ServerStartError, match=rf"^the server on port {port} is not verified by the CA {ours.ca_cert} "
    ):
        _readiness.wait_until_ready(process, port, ours.ca_cert, 20, True)
    assert time.monotonic() - began < 10


@pytest.mark.parametrize(("mode", "timeout", "least", "most"), [("exit:3", 20, 0, 10), ("never-listen", 0.5, 0.5, 5)])
def test_a_server_that_never_listens_is_probed_every_10_ms(
    certificates, launch, monkeypatch, mode, timeout, least, most
):
    # As the class's wait: False when the child exits, or at the time-out when nothing ever took a connection.
    ours, _ = certificates
    process, port = launch(ours, mode)
    moments, probe = [], _readiness.probe
    monkeypatch.setattr(_readiness, "probe", lambda *args: moments.append(time.monotonic()) or probe(*args))
    began = time.monotonic()
    assert _readiness.wait_until_ready(process, port, ours.ca_cert, timeout, True) is False
    assert least <= time.monotonic() - began < most
    gaps = [later - earlier for earlier, later in itertools.pairwise(moments)] or [_readiness.PROBE_INTERVAL]
    assert min(gaps) >= _readiness.PROBE_INTERVAL
    assert statistics.median(gaps) < 0.05  # the class's own pace, 0.1 s, would fail this
