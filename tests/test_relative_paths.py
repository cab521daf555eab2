"""Relative paths to the add-in folder and to the compiled server, through every entry point, with real servers.

The server runs in the add-in folder: a path still relative there would lead to myaddin/myaddin/server.js.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

from helpers import ROOT
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

MANAGER = """
import json, sys
from velmora_master.addin_launcher.server_manager import AddinServerManager
with AddinServerManager(**json.loads(sys.argv[1])) as server:
    print("running:", server.is_running)
"""
PLUGIN_USER_TEST = """
def test_relative(addin_server_factory):
    assert addin_server_factory(addin_path="myaddin").is_running
"""


def _manager(**options):
    return lambda port: [sys.executable, "-c", MANAGER, json.dumps({**options, "port": port})]


# Each entry point: its command for a port, the environment it adds, and what it prints once the server ran.
ENTRY_POINTS = {
    "constructor": (_manager(addin_path="myaddin"), {}, "running: True"),
    "VELMORA_ADDIN_PATH": (_manager(), {"VELMORA_ADDIN_PATH": "myaddin"}, "running: True"),
    "VELMORA_SERVER_BINARY": (
        _manager(use_compiled=True, addin_path="myaddin"),
        {"VELMORA_SERVER_BINARY": "./velmora-addin-server"},
        "running: True",
    ),
    "--addin-path": (
        lambda port: [
            sys.executable,
            "-m",
            "velmora_master.addin_launcher",
            "demo",
            "--addin-path",
            "myaddin",
            "--port",
            str(port),
        ],
        {},
        "/health -> 200",
    ),
    "plugin factory": (
        lambda port: [
            sys.executable,
            "-m",
            "pytest",
            "-p",
            "velmora_master.pytest_plugin",
            "-p",
            "no:cacheprovider",
            "test_relative.py",
        ],
        {},
        "1 passed",
    ),
}


@pytest.mark.parametrize(("command", "env", "shown"), ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_a_relative_addin_folder_starts_the_server(tmp_path, fake_binary, port, command, env, shown):
    # Run from the folder that holds "myaddin" (a copy of the sample add-in), the compiled stand-in and the
    # plugin user's test file; fake_binary lives there already.
    shutil.copytree(BUNDLED_ADDIN_DIR, tmp_path / "myaddin")
    (tmp_path / "test_relative.py").write_text(PLUGIN_USER_TEST)
    inherited = {k: v for k, v in os.environ.items() if k not in ("VELMORA_ADDIN_PATH", "VELMORA_SERVER_BINARY")}
    result = subprocess.run(
        command(port),
        cwd=tmp_path,
        env={**inherited, "PYTHONPATH": str(ROOT), **env},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0 and shown in result.stdout, result.stdout[-2000:] + result.stderr[-2000:]
