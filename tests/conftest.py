import os
import shutil
import socket
import stat
import sys
import tempfile
import time
import uuid
from pathlib import Path

import pytest

import velmora_master

# The tree the package under test was imported from: the checkout, or a copy
# holding another build of the module (the sanitizer run, an installed wheel).
ROOT = Path(velmora_master.__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent
MODULE_NAME = "velmora_master.addin_launcher.server_manager"

# Every process the tests start inherits this marker, so the session can find
# any of them still running at its end, grandchildren included.
SESSION_MARKER = f"VELMORA_TEST_SESSION={uuid.uuid4().hex}"


def pytest_configure(config):
    key, value = SESSION_MARKER.split("=")
    os.environ[key] = value
    # Certificates made by the tests stay out of the user's own folder.
    os.environ["VELMORA_CERT_DIR"] = tempfile.mkdtemp(prefix="velmora-test-certs-")


def pytest_unconfigure(config):
    shutil.rmtree(os.environ.pop("VELMORA_CERT_DIR", ""), ignore_errors=True)


def marked_processes():
    found = []
    needle = SESSION_MARKER.encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if needle in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            continue
    return found


@pytest.fixture(scope="session", autouse=True)
def no_process_left_behind():
    yield
    deadline = time.monotonic() + 2
    while (left := marked_processes()) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in left:
        try:
            os.kill(pid, 9)
        except OSError:
            pass
    assert not left, f"processes started by the tests are still running: {left}"


@pytest.fixture(scope="session")
def sm():
    import importlib

    return importlib.import_module(MODULE_NAME)


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def port():
    return free_port()


class FakeConfig:
    """Config double: a fixed add-in path and binary path, and the argument it got."""

    def __init__(self, addin_path=None, binary_path="/opt/velmora/server"):
        self.received = addin_path
        self.addin_path = Path(addin_path) if addin_path is not None else None
        self.binary_path = binary_path

    def get_binary_path(self):
        return self.binary_path


class FakeCertPaths:
    def __init__(self, ca_cert="/certs/ca.crt", server_cert="/certs/server.crt", server_key="/certs/server.key"):
        self.ca_cert, self.server_cert, self.server_key = ca_cert, server_cert, server_key


class FakeCertManager:
    def __init__(self):
        self.calls = 0
        self.paths = FakeCertPaths()

    def ensure_certificates(self):
        self.calls += 1
        return self.paths


@pytest.fixture
def doubles(sm, monkeypatch):
    """Replace Config and CertificateManager in the module namespace with doubles."""
    monkeypatch.setattr(sm, "Config", FakeConfig)
    monkeypatch.setattr(sm, "CertificateManager", FakeCertManager)
    return sm


@pytest.fixture
def fake_binary(tmp_path):
    """An executable standing in for the pre-compiled server (see fake_server.py)."""
    path = tmp_path / "velmora-addin-server"
    path.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{TESTS / "fake_server.py"}" "$@"\n')
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path
