"""Starts, watches and stops the add-in's local HTTPS server."""

import subprocess
from logging import Logger
from types import TracebackType
from typing import Self

from .certificate_manager import CertificateManager
from .config import Config

logger: Logger

# The docstrings repeat the compiled module's own, so editors show them on hover.
# The types are those of its annotations, made precise where the module records
# only a bare container or the class by name.
class AddinServerManager:
    """
    Manages the lifecycle of the Velmora Excel Add-in HTTPS server.

    Supports two modes:
    - Development (use_compiled=False): Uses system Node.js to run server.js
    - Production (use_compiled=True): Uses pre-compiled standalone binary
    """

    use_compiled: bool
    port: int
    server_port: int
    watchdog_port: int
    docs_port: int
    auth_token: str
    timeout: float
    capture_output: bool
    _process: subprocess.Popen[bytes] | None
    _config: Config
    _cert_manager: CertificateManager

    def __init__(
        self,
        use_compiled: bool = False,
        port: int = 3000,
        server_port: int = 8000,
        watchdog_port: int = 0,
        docs_port: int = 0,
        auth_token: str = "",
        addin_path: str | None = None,
        timeout: float = 30.0,
        capture_output: bool = False,
    ) -> None:
        """AddinServerManager.__init__(self, bool use_compiled: bool = False, int port: int = 3000, int server_port: int = 8000, int watchdog_port: int = 0, int docs_port: int = 0, str auth_token: str = '', str addin_path: Optional[str] = None, double timeout: float = 30.0, bool capture_output: bool = False)

        Initialize the server manager.

        Args:
            use_compiled: If True, use pre-compiled binary. If False, use Node.js.
            port: Port number for the HTTPS server (default: 3000).
            server_port: Port number for the business layer server (default: 8000).
            watchdog_port: Port number for the watchdog HTTP API (default: 0).
            docs_port: Port number for the documentation server (default: 0).
            auth_token: Auth token for watchdog API (default: "").
            addin_path: Path to addin directory. Auto-detected if None.
            timeout: Maximum seconds to wait for server startup.
            capture_output: If True, capture stdout/stderr for programmatic access."""  # noqa: E501
    @property
    def url(self) -> str:
        """AddinServerManager.url(self) -> str

        Get the server URL."""
    @property
    def pid(self) -> int | None:
        """AddinServerManager.pid(self) -> Optional[int]

        Get the server process ID, or None if not running."""
    @property
    def is_running(self) -> bool:
        """AddinServerManager.is_running(self) -> bool

        Check if the server is currently running."""
    def start(self) -> None:
        """AddinServerManager.start(self) -> None

        Start the addin server.

        Raises:
            ServerStartError: If the server fails to start within timeout."""
    def stop(self) -> None:
        """AddinServerManager.stop(self) -> None

        Stop the addin server gracefully.

        Raises:
            ServerNotRunningError: If no server is running."""
    def __enter__(self) -> Self:
        """AddinServerManager.__enter__(self) -> 'AddinServerManager'

        Context manager entry - starts the server."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        """AddinServerManager.__exit__(self, exc_type, exc_val, exc_tb) -> None

        Context manager exit - stops the server."""
    def _build_command(self) -> list[str]:
        """AddinServerManager._build_command(self) -> list

        Build the command to start the server."""
    def _wait_for_ready(self) -> bool:
        """AddinServerManager._wait_for_ready(self) -> bool

        Wait for the server to be ready (port accepting connections)."""
    def _is_port_in_use(self) -> bool:
        """AddinServerManager._is_port_in_use(self) -> bool

        Check if the port is accepting connections."""
    def _terminate_process(self) -> None:
        """AddinServerManager._terminate_process(self) -> None"""
    def _get_platform_popen_args(self) -> dict[str, object]:
        """AddinServerManager._get_platform_popen_args(self) -> dict

        Get platform-specific Popen arguments."""
