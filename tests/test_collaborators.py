"""The package's Python collaborators: configuration, certificates, errors, logging."""

import datetime as dt
import logging
import socket
import ssl
import stat
import threading
from pathlib import Path

import pytest
from cryptography import x509

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


def test_certificates_are_made_once_and_trusted_for_localhost(tmp_path):
    manager = cm.CertificateManager(tmp_path / "certs")
    paths = manager.ensure_certificates()
    for key in (paths.server_key, paths.ca_key):
        assert stat.S_IMODE(key.stat().st_mode) == 0o600
    contents = {p: p.read_bytes() for p in (paths.ca_cert, paths.server_cert, paths.server_key)}
    assert manager.ensure_certificates() == paths
    assert {p: p.read_bytes() for p in contents} == contents  # reused while valid

    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(paths.server_cert, paths.server_key)
    client_context = ssl.create_default_context(cafile=str(paths.ca_cert))
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = listener.getsockname()[1]

        def serve():
            conn, _ = listener.accept()
            with server_context.wrap_socket(conn, server_side=True) as tls:
                tls.sendall(b"hello")

        thread = threading.Thread(target=serve)
        thread.start()
        with (
            socket.create_connection(("localhost", port)) as raw,
            client_context.wrap_socket(raw, server_hostname="localhost") as tls,
        ):
            assert tls.recv(5) == b"hello"
        thread.join()


@pytest.mark.parametrize("damage", ["missing-key", "garbage-cert", "other-key", "expiring"])
def test_damaged_or_expiring_certificates_are_renewed(tmp_path, monkeypatch, damage):
    manager = cm.CertificateManager(tmp_path)
    paths = manager.ensure_certificates()
    before = paths.server_cert.read_bytes()
    if damage == "missing-key":
        paths.server_key.unlink()
    elif damage == "garbage-cert":
        paths.server_cert.write_text("not a certificate")
    elif damage == "other-key":
        paths.server_key.write_bytes(paths.ca_key.read_bytes())
    else:
        monkeypatch.setattr(cm, "_now", lambda: dt.datetime.now(dt.UTC) + cm.SERVER_LIFETIME - dt.timedelta(days=10))
    manager.ensure_certificates()
    after = x509.load_pem_x509_certificate(paths.server_cert.read_bytes())
    assert paths.server_cert.read_bytes() != before
    assert after.verify_directly_issued_by(x509.load_pem_x509_certificate(paths.ca_cert.read_bytes())) is None
    names = after.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    assert names.get_values_for_type(x509.DNSName) == ["localhost"]
    assert [str(ip) for ip in names.get_values_for_type(x509.IPAddress)] == ["127.0.0.1", "::1"]


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
