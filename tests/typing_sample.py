"""User code that touches every member of the manager, for `mypy --strict` (not a test module: never run).

The reveal checks fail the type check when the stub loses precision, e.g. when `__enter__` stops returning
the subclass or a container loses its element types.
"""

import subprocess
from types import TracebackType
from typing import assert_type

from velmora_master.addin_launcher.certificate_manager import CertificateManager
from velmora_master.addin_launcher.config import Config
from velmora_master.addin_launcher.exceptions import ServerNotRunningError, ServerStartError
from velmora_master.addin_launcher.server_manager import AddinServerManager, logger


class LoggingManager(AddinServerManager):
    def start(self) -> None:
        logger.info("starting on %d", self.port)
        super().start()

    def only_here(self) -> str:
        return self.url


def every_member(traceback: TracebackType | None) -> None:
    # Every option once, by keyword, across two managers.
    AddinServerManager(use_compiled=True, watchdog_port=9100, docs_port=9200, auth_token="secret", addin_path="/srv")
    manager = AddinServerManager(port=3443, server_port=8001, timeout=30.0, capture_output=True)
    assert_type(manager.use_compiled, bool)
    assert_type(manager.port, int)
    assert_type(manager.server_port, int)
    assert_type(manager.watchdog_port, int)
    assert_type(manager.docs_port, int)
    assert_type(manager.auth_token, str)
    assert_type(manager.timeout, float)
    assert_type(manager.capture_output, bool)
    assert_type(manager._process, subprocess.Popen[bytes] | None)
    assert_type(manager._config, Config)
    assert_type(manager._cert_manager, CertificateManager)
    manager.port = 3444
    manager.timeout = 5

    assert_type(manager.url, str)
    assert_type(manager.pid, int | None)
    assert_type(manager.is_running, bool)
    try:
        assert_type(manager.start(), None)
    except ServerStartError as error:
        assert_type(error, ServerStartError)
    try:
        assert_type(manager.stop(), None)
    except ServerNotRunningError:
        pass

    assert_type(manager.__enter__(), AddinServerManager)
    assert_type(manager.__exit__(None, None, None), None)
    assert_type(manager.__exit__(ValueError, ValueError("x"), traceback), None)

    assert_type(manager._build_command(), list[str])
    assert_type(manager._wait_for_ready(), bool)
    assert_type(manager._is_port_in_use(), bool)
    assert_type(manager._terminate_process(), None)
    assert_type(manager._get_platform_popen_args(), dict[str, object])


def subclass_in_with_block() -> str:
    with LoggingManager(port=3445) as server:
        assert_type(server, LoggingManager)
        pid = server.pid
        if pid is not None:
            assert_type(pid, int)
        return server.only_here()


def command_line_as_text() -> str:
    return " ".join(AddinServerManager()._build_command())
