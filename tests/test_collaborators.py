"""The package's Python collaborators: configuration, the certificate folder, errors, logging (the certificate
store itself: test_certificate_store.py)."""

import logging
from pathlib import Path

import pytest

from velmora_master import logging_config
from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher import config, exceptions


def test_exceptions_share_one_base():
    for cls in (exceptions.ServerStartError, exceptions.ServerStopError, exceptions.ServerNotRunningError):
        assert issubclass(cls, exceptions.AddinLauncherError) and str(cls("message")) == "message"


def test_config_given_path(monkeypatch):
    assert config.Config("/srv/addin").addin_path == Path("/srv/addin")


def test_config_finds_the_addin_directory(monkeypatch, tmp_path):
    monkeypatch.delenv(config.ADDIN_PATH_ENV, raising=False)
    assert config.Config().addin_path == config.BUNDLED_ADDIN_DIR
    assert (config.BUNDLED_ADDIN_DIR / "server.js").is_file()
    (tmp_path / "server.js").write_text("")
    monkeypatch.setenv(config.ADDIN_PATH_ENV, str(tmp_path))
    assert config.Config(None).addin_path == tmp_path
    monkeypatch.setattr(config, "BUNDLED_ADDIN_DIR", tmp_path / "nowhere")
    monkeypatch.setenv(config.ADDIN_PATH_ENV, str(tmp_path / "empty"))
    assert config.Config().addin_path is None


def test_binary_path(monkeypatch):
    monkeypatch.delenv(config.SERVER_BINARY_ENV, raising=False)
    assert config.Config().get_binary_path() == config.PACKAGE_DIR / "bin" / "velmora-addin-server"
    assert config.server_binary_name("win32") == "velmora-addin-server.exe"
    monkeypatch.setenv(config.SERVER_BINARY_ENV, "/opt/server")
    assert config.Config().get_binary_path() == Path("/opt/server")


def test_certificate_folder_from_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv(cm.CERT_DIR_ENV, str(tmp_path / "env"))
    assert cm.CertificateManager().cert_dir == tmp_path / "env"
    monkeypatch.delenv(cm.CERT_DIR_ENV)
    assert cm.CertificateManager().cert_dir == cm.default_cert_dir()


def test_logging_configuration(monkeypatch):
    assert logging_config.get_logger("velmora_master.x") is logging.getLogger("velmora_master.x")
    package_logger = logging.getLogger("velmora_master")
    saved = package_logger.handlers[:], package_logger.level
    try:
        monkeypatch.setenv(logging_config.LOG_LEVEL_ENV, "debug")
        logging_config.setup_logging_subprocess()
        logging_config.setup_logging_subprocess()
        assert package_logger.level == logging.DEBUG
        assert len([h for h in package_logger.handlers if getattr(h, "_velmora_subprocess", False)]) == 1
        with pytest.raises(ValueError):
            logging_config.setup_logging_subprocess("LOUD")
    finally:
        for handler in package_logger.handlers[:]:
            package_logger.removeHandler(handler)
        for handler in saved[0]:
            package_logger.addHandler(handler)
        package_logger.setLevel(saved[1])
