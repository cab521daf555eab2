"""Programs some tests drive (certutil, chromium): installed on demand where the machine allows."""

import functools
import os
import shutil
import subprocess

import pytest

from helpers import TESTS

PACKAGES = {"certutil": "libnss3-tools", "chromium": "chromium"}


@functools.cache
def _install_attempt() -> str:
    """Run the project's installer once per session; its complaint, if any, becomes the skip reason."""
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        return "it needs root and apt-get to be installed"
    result = subprocess.run(
        ["bash", str(TESTS.parent / "tools" / "test_deps.sh")], capture_output=True, text=True, timeout=900, check=False
    )
    return result.stderr.strip().splitlines()[-1] if result.returncode else ""


def need(tool: str) -> str:
    """The path of `tool`, installing it when missing; skips the test with the reason when that cannot be done."""
    if shutil.which(tool) is None:
        why = _install_attempt()
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} (Debian package {PACKAGES[tool]}) is missing: {why or 'installation failed'}")
    return shutil.which(tool)
