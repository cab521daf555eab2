import subprocess
from logging import Logger
from typing import Optional

from .certificate_manager import CertificateManager
from .config import Config

logger: Logger

class AddinServerManager:
    """Manages the lifecycle of the Velmora Excel Add-in HTTPS server."""

    use_compiled: bool
    port: int
    server_port: int
    watchdog_port: int
    docs_port: int
    auth_token: str
    timeout: float
    capture_output: bool
    _process: Optional[subprocess.Popen[bytes]]
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
        addin_path: Optional[str] = None,
        timeout: float = 30.0,
        capture_output: bool = False,
    ) -> None: ...
    @property
    def url(self) -> str: ...
    @property
    def pid(self) -> Optional[int]: ...
    @property
    def is_running(self) -> bool: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def __enter__(self) -> "AddinServerManager": ...
    def __exit__(self, exc_type, exc_val, exc_tb) -> None: ...
    def _build_command(self) -> list: ...
    def _wait_for_ready(self) -> bool: ...
    def _is_port_in_use(self) -> bool: ...
    def _terminate_process(self) -> None: ...
    def _get_platform_popen_args(self) -> dict: ...
