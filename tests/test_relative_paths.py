"""A relative add-in folder (and server path) through every entry point, with real servers.

The server runs in the add-in folder: a path still relative there would lead to myaddin/myaddin/server.js.
"""

import os
import shutil
import subprocess
import sys

import pytest

from helpers import ROOT
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

pytestmark = pytest.mark.slow  # real servers through every entry point

# The user's own scripts, beside "myaddin": one using the class, one pytest file using the plugin.
SCRIPTS = {
    "start.py": """
import sys
from velmora_master.addin_launcher.server_manager import AddinServerManager
options = dict(arg.split("=") for arg in sys.argv[2:])  # use_compiled takes any true value
with AddinServerManager(port=int(sys.argv[1]), **options) as server:
    print("running:", server.is_running)
""",
    "test_relative.py": """
def test_relative(addin_server_factory):
    assert addin_server_factory(addin_path="myaddin").is_running
""",
}
COMPILED = {"VELMORA_SERVER_BINARY": "./velmora-addin-server"}  # fake_binary, where the test runs
# Each entry point: the interpreter's arguments, the environment it adds, and what it prints once the server ran.
ENTRY_POINTS = {
    "constructor": ("start.py {port} addin_path=myaddin", {}, "running: True"),
    "VELMORA_ADDIN_PATH": ("start.py {port}", {"VELMORA_ADDIN_PATH": "myaddin"}, "running: True"),
    "VELMORA_SERVER_BINARY": ("start.py {port} use_compiled=yes addin_path=myaddin", COMPILED, "running: True"),
    "--addin-path": ("-m velmora_master.addin_launcher demo --addin-path myaddin --port {port}", {}, "/health -> 200"),
    "plugin factory": (
        "-m pytest -p velmora_master.pytest_plugin -p no:cacheprovider test_relative.py",
        {},
        "1 passed",
    ),
}


@pytest.mark.parametrize(("command", "env", "shown"), ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_a_relative_addin_folder_starts_the_server(tmp_path, fake_binary, port, command, env, shown):
    shutil.copytree(BUNDLED_ADDIN_DIR, tmp_path / "myaddin")
    for name, text in SCRIPTS.items():
        (tmp_path / name).write_text(text)
    inherited = {k: v for k, v in os.environ.items() if k not in ("VELMORA_ADDIN_PATH", "VELMORA_SERVER_BINARY")}
    result = subprocess.run(
        [sys.executable, *command.format(port=port).split()],
        cwd=tmp_path,
        env={**inherited, "PYTHONPATH": str(ROOT), **env},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0 and shown in result.stdout, result.stdout[-2000:] + result.stderr[-2000:]
