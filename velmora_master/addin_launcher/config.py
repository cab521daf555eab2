"""Where the add-in and its pre-compiled server live."""

from __future__ import annotations

import os
import sys
from pathlib import Path

ADDIN_PATH_ENV = "VELMORA_ADDIN_PATH"
SERVER_BINARY_ENV = "VELMORA_SERVER_BINARY"

PACKAGE_DIR = Path(__file__).resolve().parent
# The sample add-in shipped with the package.
BUNDLED_ADDIN_DIR = PACKAGE_DIR / "addin"
SERVER_SCRIPT = "server.js"


def server_binary_name(platform: str = sys.platform) -> str:
    """File name of the pre-compiled server executable on `platform`."""
    return "velmora-addin-server.exe" if platform == "win32" else "velmora-addin-server"


class Config:
    """Locations the server manager needs.

    `addin_path` is the add-in directory (the one holding server.js) as an
    absolute Path, or None when none can be found. Given None, it is looked up:
    the directory named by the VELMORA_ADDIN_PATH environment variable when that
    holds server.js, then the sample add-in shipped with the package.

    Relative paths, given or from the environment, are taken from the caller's
    working folder: the server runs in the add-in folder, where they would no
    longer lead to the same place.
    """

    def __init__(self, addin_path: str | None = None) -> None:
        self.addin_path: Path | None = Path(addin_path).absolute() if addin_path is not None else self.find_addin_path()

    @staticmethod
    def find_addin_path() -> Path | None:
        candidates = []
        from_env = os.environ.get(ADDIN_PATH_ENV)
        if from_env:
            candidates.append(Path(from_env).absolute())
        candidates.append(BUNDLED_ADDIN_DIR)
        for candidate in candidates:
            if (candidate / SERVER_SCRIPT).is_file():
                return candidate
        return None

    def get_binary_path(self) -> Path:
        """Where the pre-compiled standalone server lives.

        The VELMORA_SERVER_BINARY environment variable wins (a relative path is
        taken from the working folder, never searched on PATH); otherwise the
        platform's executable name in the package's bin folder.
        """
        from_env = os.environ.get(SERVER_BINARY_ENV)
        if from_env:
            return Path(from_env).absolute()
        return PACKAGE_DIR / "bin" / server_binary_name()

    def __repr__(self) -> str:
        return f"Config(addin_path={self.addin_path!r})"
