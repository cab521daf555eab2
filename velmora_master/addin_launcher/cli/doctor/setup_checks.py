"""The doctor's checks of what runs the server: the interpreter and this package, `node` or the compiled server,
the add-in folder and its server.js."""

from __future__ import annotations

import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

from ...config import ADDIN_PATH_ENV, SERVER_BINARY_ENV, SERVER_SCRIPT, Config
from ..parser import DISTRIBUTION, PROG
from .check import Check, failed, passed

COMPILED_MODULE = "velmora_master.addin_launcher.server_manager"
SUPPORTED_PYTHON = (3, 14)
NODE_TIMEOUT = 10
# How to install Node.js, by platform.
NODE_INSTALL = {
    "linux": "sudo apt-get install nodejs",
    "darwin": "brew install node",
    "win32": "winget install OpenJS.NodeJS.LTS",
}


def interpreter() -> Check:
    """The interpreter and the package's version; the compiled module must load in this interpreter."""
    import velmora_master

    python = ".".join(str(part) for part in sys.version_info[:3])
    package = velmora_master.__version__
    facts = {"python": python, "executable": sys.executable, "package": package}
    said = f"Python {python} ({sys.executable}), {DISTRIBUTION} {package}"
    if sys.version_info[:2] != SUPPORTED_PYTHON:
        wanted = ".".join(map(str, SUPPORTED_PYTHON))
        return failed(
            "python", f"{said}: needs Python {wanted}", f"python{wanted} -m pip install {DISTRIBUTION}", **facts
        )
    try:
        importlib.import_module(COMPILED_MODULE)
    except ImportError as error:
        from importlib import metadata

        try:
            metadata.version(DISTRIBUTION)
            fix = f"{sys.executable} -m pip install --force-reinstall {DISTRIBUTION}"
        except metadata.PackageNotFoundError:
            fix = "bash tools/dev.sh check"  # a checkout: builds the module in place
        return failed("python", f"{said}: the compiled module does not load ({error})", fix, **facts)
    return passed("python", f"{said}, compiled module loads", **facts)


def server_program(compiled: bool) -> Check:
    """`node` and its version, or the compiled server present and executable."""
    if compiled:
        binary = Config().get_binary_path()
        if not binary.is_file():
            return failed(
                "compiled-server",
                f"no compiled server at {binary}",
                f"export {SERVER_BINARY_ENV}=/path/to/{binary.name}",
                path=str(binary),
            )
        if not os.access(binary, os.X_OK):
            return failed(
                "compiled-server", f"compiled server {binary} is not executable", f"chmod +x {binary}", path=str(binary)
            )
        return passed("compiled-server", f"compiled server {binary} is executable", path=str(binary))
    install = NODE_INSTALL.get(sys.platform, NODE_INSTALL["linux"])
    node = shutil.which("node")
    if node is None:
        return failed("node", "node not found on PATH", install, path=None, version=None)
    try:
        answer = subprocess.run([node, "--version"], capture_output=True, text=True, timeout=NODE_TIMEOUT, check=False)
    except (OSError, subprocess.TimeoutExpired) as error:
        return failed("node", f"node at {node} does not run ({error})", install, path=node, version=None)
    version = answer.stdout.strip()
    if answer.returncode != 0 or not version:
        said = (answer.stderr or answer.stdout).strip().splitlines()
        why = said[-1] if said else f"exit {answer.returncode}"
        return failed("node", f"node at {node} does not run ({why})", install, path=node, version=None)
    return passed("node", f"node {version} ({node})", path=node, version=version)


def addin_folder(addin_path: str | None) -> Check:
    """The add-in folder and the server.js in it, as `run` would find them."""
    folder = Config(addin_path).addin_path
    hint = f"{PROG} run --addin-path /path/to/addin"
    if folder is None:
        return failed("addin", "no add-in folder found", f"export {ADDIN_PATH_ENV}=/path/to/addin", folder=None)
    if not folder.is_dir():
        return failed("addin", f"add-in folder {folder} does not exist", hint, folder=str(folder))
    script = Path(folder) / SERVER_SCRIPT
    if not script.is_file():
        return failed("addin", f"no {SERVER_SCRIPT} in add-in folder {folder}", hint, folder=str(folder))
    return passed("addin", f"add-in folder {folder} holds {SERVER_SCRIPT}", folder=str(folder))
