"""The certificate store: private folders and keys, a name-constrained CA, renewal."""

import datetime as dt
import ipaddress
import os
import socket
import ssl
import stat
import subprocess
import threading

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher.exceptions import CertificateStoreError

OTHER_UID = 54321


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


def load(path):
    return x509.load_pem_x509_certificate(path.read_bytes())


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o277])
def test_folders_and_keys_are_private_whatever_the_umask(tmp_path, umask):
    store = tmp_path / "a" / "b" / "certs"
    previous = os.umask(umask)
    try:
        paths = cm.CertificateManager(store).ensure_certificates()
    finally:
        os.umask(previous)
    assert [mode(p) for p in (tmp_path / "a", tmp_path / "a" / "b", store)] == [0o700] * 3
    assert (mode(paths.ca_key), mode(paths.server_key)) == (0o600, 0o600)
    assert (mode(paths.ca_cert), mode(paths.server_cert)) == (0o644, 0o644)
    assert sorted(p.name for p in store.iterdir()) == ["ca.crt", "ca.key", "server.crt", "server.key"]


def test_keys_are_private_from_their_first_byte(tmp_path, monkeypatch):
    # Look at every file the store creates at the moment it is created, before anything is written.
    created = []
    real_open = os.open

    def watching_open(path, flags, mode=0o777, **kwargs):
        fd = real_open(path, flags, mode, **kwargs)
        if flags & os.O_CREAT:
            created.append(
                (
                    os.path.dirname(path),
                    os.fstat(fd).st_size,
                    stat.S_IMODE(os.fstat(fd).st_mode),
                    bool(flags & os.O_EXCL),
                )
            )
        return fd

    monkeypatch.setattr(cm.os, "open", watching_open)
    previous = os.umask(0)
    try:
        cm.CertificateManager(tmp_path / "certs").ensure_certificates()
    finally:
        os.umask(previous)
    keys = [entry for entry in created if entry[2] == 0o600]
    assert len(created) == 4 and len(keys) == 2
    assert all(entry == (str(tmp_path / "certs"), 0, entry[2], True) for entry in created)


@pytest.mark.parametrize("fault", ["group-writable", "other-writable", "other-owner"])
def test_a_store_folder_others_control_is_refused(tmp_path, fault):
    store = tmp_path / "certs"
    store.mkdir(mode=0o700)
    if fault == "other-owner":
        if os.geteuid() != 0:
            pytest.skip("giving a folder to another user needs root")
        os.chown(store, OTHER_UID, -1)
        expected = f"certificate folder {store} is owned by uid {OTHER_UID}, not by you"
    else:
        store.chmod(0o770 if fault == "group-writable" else 0o702)
        expected = (
            f"certificate folder {store} is writable by group or others (mode 0{mode(store):o}); "
            f"make it private: chmod 700 {store}"
        )
    with pytest.raises(CertificateStoreError) as raised:
        cm.CertificateManager(store).ensure_certificates()
    assert str(raised.value).startswith(expected)
    assert list(store.iterdir()) == []  # no key was written into it


@pytest.mark.parametrize(("key", "fault"), [("ca", "mode"), ("server", "mode"), ("server", "owner")])
def test_an_exposed_key_is_replaced_with_its_pair(tmp_path, key, fault):
    manager = cm.CertificateManager(tmp_path / "certs")
    paths = manager.ensure_certificates()
    before = {p: p.read_bytes() for p in (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key)}
    exposed = paths.ca_key if key == "ca" else paths.server_key
    if fault == "owner":
        if os.geteuid() != 0:
            pytest.skip("giving a file to another user needs root")
        os.chown(exposed, OTHER_UID, -1)
    else:
        exposed.chmod(0o640)
    manager.ensure_certificates()
    changed = {p.name for p in before if p.read_bytes() != before[p]}
    # A new CA takes a new server certificate with it; a new server pair leaves the CA alone.
    assert changed == (
        {"ca.crt", "ca.key", "server.crt", "server.key"} if key == "ca" else {"server.crt", "server.key"}
    )
    assert mode(exposed) == 0o600 and exposed.stat().st_uid == os.getuid()


def test_ca_is_name_constrained_and_server_names_fit(tmp_path):
    paths = cm.CertificateManager(tmp_path).ensure_certificates()
    constraints = load(paths.ca_cert).extensions.get_extension_for_class(x509.NameConstraints)
    assert constraints.critical
    assert set(constraints.value.permitted_subtrees) == {
        x509.DNSName("localhost"),
        x509.IPAddress(ipaddress.ip_network("127.0.0.1/32")),
        x509.IPAddress(ipaddress.ip_network("::1/128")),
    }
    assert constraints.value.excluded_subtrees is None
    names = load(paths.server_cert).extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    assert names.get_values_for_type(x509.DNSName) == ["localhost"]
    assert [str(ip) for ip in names.get_values_for_type(x509.IPAddress)] == ["127.0.0.1", "::1"]


def test_a_ca_without_constraints_is_replaced_with_its_server_certificate(tmp_path):
    manager = cm.CertificateManager(tmp_path)
    paths = manager.ensure_certificates()
    # What earlier versions made: the same CA without the constraints, and a server certificate it signed.
    key = ec.generate_private_key(ec.SECP256R1())
    now = dt.datetime.now(dt.UTC)
    unconstrained = (
        x509.CertificateBuilder()
        .subject_name(load(paths.ca_cert).subject)
        .issuer_name(load(paths.ca_cert).subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(now + dt.timedelta(days=3000))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .sign(key, hashes.SHA256())
    )
    cm._write_pair(paths.ca_cert, paths.ca_key, unconstrained, key)
    cm._write_pair(paths.server_cert, paths.server_key, *cm._make_server_certificate(unconstrained, key))
    old_server = paths.server_cert.read_bytes()

    manager.ensure_certificates()
    assert cm._constrained(load(paths.ca_cert))
    assert paths.server_cert.read_bytes() != old_server
    load(paths.server_cert).verify_directly_issued_by(load(paths.ca_cert))


def _certificate_for(name: str, paths):
    """A server certificate for `name`, signed with the CA's own key: what a stolen CA key could mint.

    Valid in every other respect, so the name constraints are the only reason to refuse it."""
    ca_key = serialization.load_pem_private_key(paths.ca_key.read_bytes(), password=None)
    ca = load(paths.ca_cert)
    key = ec.generate_private_key(ec.SECP256R1())
    now = dt.datetime.now(dt.UTC)
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
        .issuer_name(ca.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(now + dt.timedelta(days=30))
        .add_extension(x509.SubjectAlternativeName([x509.DNSName(name)]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    return cert, key


def _handshake(paths, cert_path, key_path, server_hostname):
    """Connect with a client that trusts only the CA; None on success, else the verification error."""
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert_path, key_path)
    client_context = ssl.create_default_context(cafile=str(paths.ca_cert))
    with socket.create_server(("127.0.0.1", 0)) as listener:

        def serve():
            conn, _ = listener.accept()
            try:
                with server_context.wrap_socket(conn, server_side=True) as tls:
                    tls.sendall(b"ok")
            except ssl.SSLError, OSError:
                pass

        thread = threading.Thread(target=serve)
        thread.start()
        try:
            with (
                socket.create_connection(listener.getsockname()) as raw,
                client_context.wrap_socket(raw, server_hostname=server_hostname) as tls,
            ):
                assert tls.recv(2) == b"ok"
            return None
        except ssl.SSLCertVerificationError as error:
            return error
        finally:
            thread.join()


def test_the_ca_key_cannot_vouch_for_another_name(tmp_path):
    paths = cm.CertificateManager(tmp_path / "certs").ensure_certificates()
    cert, key = _certificate_for("example.com", paths)
    foreign_cert, foreign_key = tmp_path / "example.crt", tmp_path / "example.key"
    cm._write_pair(foreign_cert, foreign_key, cert, key)

    def openssl_verify(path):
        return subprocess.run(
            ["openssl", "verify", "-CAfile", str(paths.ca_cert), str(path)], capture_output=True, text=True, check=False
        )

    assert openssl_verify(paths.server_cert).returncode == 0
    refused = openssl_verify(foreign_cert)
    assert refused.returncode != 0 and "permitted subtree violation" in refused.stdout + refused.stderr

    assert _handshake(paths, paths.server_cert, paths.server_key, "localhost") is None
    error = _handshake(paths, foreign_cert, foreign_key, "example.com")
    assert error is not None and "permitted subtree violation" in str(error)


def test_renew(tmp_path):
    manager = cm.CertificateManager(tmp_path)
    paths = manager.ensure_certificates()
    files = (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key)
    first = [p.read_bytes() for p in files]
    manager.renew()
    second = [p.read_bytes() for p in files]
    assert [a == b for a, b in zip(first, second, strict=True)] == [True, True, False, False]
    manager.renew(ca=True)
    third = [p.read_bytes() for p in files]
    assert not any(a == b for a, b in zip(second, third, strict=True))
    load(paths.server_cert).verify_directly_issued_by(load(paths.ca_cert))
