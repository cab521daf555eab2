"""The server's command line and the certificate path report."""

import logging
from pathlib import Path, PurePosixPath

import pytest

RULE = "=" * 50


def report(ca="/certs/ca.crt", cert="/certs/server.crt", key="/certs/server.key"):
    return (
        f"{RULE}\nPATHS:\tCA Certificate: {ca}\nPATHS:\tServer Certificate: {cert}\nPATHS:\tServer Key: {key}\n{RULE}\n"
    )


@pytest.fixture
def level(sm, monkeypatch):
    def set_level(value):
        monkeypatch.setattr(sm.logger, "level", value)
        sm.logger.manager._clear_cache()

    yield set_level
    sm.logger.manager._clear_cache()


def test_development_command_and_report(sm, doubles, capsys, level):
    level(logging.INFO)
    manager = sm.AddinServerManager(addin_path="/srv/addin")
    assert manager._build_command() == [
        "node",
        "/srv/addin/server.js",
        "--cert",
        "/certs/server.crt",
        "--key",
        "/certs/server.key",
        "--port",
        "3000",
        "--server-port",
        "8000",
        "--logging-level",
        "INFO",
    ]
    assert capsys.readouterr().out == report()
    assert manager._cert_manager.calls == 1


def test_production_command_with_every_option(sm, doubles, capsys, level):
    level(logging.DEBUG)
    manager = sm.AddinServerManager(True, 3001, 8001, -1, 7, "tok en", None)
    manager._config.binary_path = Path("/opt/bin/server")
    assert manager._build_command() == [
        "/opt/bin/server",
        "--cert",
        "/certs/server.crt",
        "--key",
        "/certs/server.key",
        "--port",
        "3001",
        "--server-port",
        "8001",
        "--logging-level",
        "DEBUG",
        "--watchdog-port",
        "-1",
        "--auth-token",
        "tok en",
        "--docs-port",
        "7",
    ]


@pytest.mark.parametrize(
    "value, root, name",
    [(0, 0, "NOTSET"), (30, logging.WARNING, "WARNING"), (50, logging.WARNING, "CRITICAL"), (25, 0, "Level 25")],
)
def test_logging_level_names(sm, doubles, capsys, level, value, root, name):
    level(value)
    logging.getLogger().setLevel(root)  # the effective level of a logger left at NOTSET
    try:
        command = sm.AddinServerManager(use_compiled=True)._build_command()
    finally:
        logging.getLogger().setLevel(logging.WARNING)
    assert command[-2:] == ["--logging-level", name]


def test_fields_are_read_at_each_build_and_not_revalidated(sm, doubles, capsys):
    manager = sm.AddinServerManager(use_compiled=True)
    first = manager._build_command()
    assert manager._build_command() == first
    assert manager._cert_manager.calls == 2
    assert capsys.readouterr().out == report() * 2
    manager.port = "4000x"
    manager.auth_token = 5
    manager.docs_port = 0.0
    assert manager._build_command()[5:7] == ["--port", "4000x"]
    assert manager._build_command()[-2:] == ["--auth-token", 5]


def test_path_objects_are_reported_and_passed_as_text(sm, doubles, capsys):
    manager = sm.AddinServerManager(addin_path="/a")
    manager._cert_manager.paths.ca_cert = PurePosixPath("/p/ca.crt")
    manager._cert_manager.paths.server_cert = PurePosixPath("/p/s.crt")
    command = manager._build_command()
    assert command[3] == "/p/s.crt" and type(command[3]) is str
    assert "PATHS:\tServer Certificate: /p/s.crt\n" in capsys.readouterr().out


def test_production_never_reads_the_addin_path(sm, doubles, capsys):
    class NoAddinPath:
        def __init__(self, _):
            pass

        def get_binary_path(self):
            return "/bin/server"

    sm_config = sm.Config
    sm.Config = NoAddinPath
    try:
        assert sm.AddinServerManager(use_compiled=True)._build_command()[0] == "/bin/server"
    finally:
        sm.Config = sm_config


class CertPathsWithout:
    server_cert, server_key = "/s.crt", "/s.key"


def test_missing_ca_cert_fails_after_the_first_report_line(sm, doubles, capsys):
    manager = sm.AddinServerManager(use_compiled=True)
    manager._cert_manager.paths = CertPathsWithout()
    with pytest.raises(AttributeError, match="ca_cert"):
        manager._build_command()
    assert capsys.readouterr().out == RULE + "\n"


def test_certificate_failure_propagates_before_any_report(sm, doubles, capsys):
    manager = sm.AddinServerManager()

    def fail():
        raise OSError("disk full")

    manager._cert_manager.ensure_certificates = fail
    with pytest.raises(OSError, match="disk full"):
        manager._build_command()
    assert capsys.readouterr().out == ""


def test_str_addin_path_cannot_be_joined(sm, doubles, capsys):
    manager = sm.AddinServerManager()
    manager._config.addin_path = "/srv/addin"
    with pytest.raises(TypeError, match="unsupported operand"):
        manager._build_command()


class TheError(Exception):
    pass


def test_development_mode_without_addin_directory_names_server_js(sm, doubles, capsys):
    with pytest.raises(sm.ServerStartError, match="Add-in directory not found") as caught:
        sm.AddinServerManager()._build_command()
    assert "server.js" in str(caught.value)
    assert capsys.readouterr().out == report()  # after provisioning and the report, before anything else


@pytest.mark.parametrize(
    "offered, raised, message",
    [
        (TheError("why"), "TheError", "why"),
        (TheError, "TheError", ""),
        (42, "TypeError", "exceptions must derive from BaseException"),
    ],
    ids=["instance", "class", "not-an-exception"],
)
def test_development_mode_without_addin_directory_raises_the_offered_error(
    sm, doubles, capsys, offered, raised, message
):
    manager = sm.AddinServerManager()
    manager.addin_path_error = offered
    with pytest.raises(Exception) as caught:
        manager._build_command()
    assert type(caught.value).__name__ == raised and message in str(caught.value)
    assert capsys.readouterr().out == report()


def test_addin_path_error_from_the_class_is_used(sm, doubles, capsys):
    class Manager(sm.AddinServerManager):
        addin_path_error = TheError("from the class")

    with pytest.raises(TheError, match="from the class"):
        Manager()._build_command()
