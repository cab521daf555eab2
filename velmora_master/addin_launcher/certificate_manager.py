"""TLS certificates for the add-in's local HTTPS server.

A local certificate authority signs a certificate for localhost (DNS name
"localhost" and IP 127.0.0.1). Both live in a per-user folder and are reused
while they are valid; whatever is missing, unreadable, mismatched or within
30 days of expiry is made anew. Private keys are readable by their owner only.
"""

from __future__ import annotations

import datetime as dt
import ipaddress
import os
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CERT_DIR_ENV = "VELMORA_CERT_DIR"
RENEW_BEFORE = dt.timedelta(days=30)
CA_LIFETIME = dt.timedelta(days=3650)
SERVER_LIFETIME = dt.timedelta(days=397)

# A certificate with its private key.
type _Pair = tuple[x509.Certificate, ec.EllipticCurvePrivateKey]


@dataclass(frozen=True)
class CertificatePaths:
    """Where the certificate files are."""

    ca_cert: Path
    ca_key: Path
    server_cert: Path
    server_key: Path


def default_cert_dir() -> Path:
    """The per-user folder for the certificates on this platform."""
    if sys.platform == "win32":
        base = Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local")
        return base / "Velmora" / "certs"
    base = Path(os.environ.get("XDG_DATA_HOME") or Path.home() / ".local" / "share")
    return base / "velmora" / "certs"


class CertificateManager:
    """Makes sure the local CA and the localhost server certificate exist.

    The folder is `cert_dir` when given, else the VELMORA_CERT_DIR environment
    variable, else `default_cert_dir()`.
    """

    def __init__(self, cert_dir: str | os.PathLike[str] | None = None) -> None:
        chosen = cert_dir if cert_dir is not None else os.environ.get(CERT_DIR_ENV)
        self.cert_dir = Path(chosen) if chosen else default_cert_dir()

    @property
    def paths(self) -> CertificatePaths:
        return CertificatePaths(
            ca_cert=self.cert_dir / "ca.crt",
            ca_key=self.cert_dir / "ca.key",
            server_cert=self.cert_dir / "server.crt",
            server_key=self.cert_dir / "server.key",
        )

    def ensure_certificates(self) -> CertificatePaths:
        """Return the certificate paths, creating or renewing files as needed."""
        paths = self.paths
        self.cert_dir.mkdir(parents=True, exist_ok=True)
        ca = _load_pair(paths.ca_cert, paths.ca_key)
        if ca is None or not _fresh(ca[0]):
            ca = _make_ca()
            _write_pair(paths.ca_cert, paths.ca_key, *ca)
            server = None
        else:
            server = _load_pair(paths.server_cert, paths.server_key)
        if server is None or not _fresh(server[0]) or not _signed_by(server[0], ca[0]):
            server = _make_server_certificate(*ca)
            _write_pair(paths.server_cert, paths.server_key, *server)
        return paths


def _now() -> dt.datetime:
    return dt.datetime.now(dt.UTC)


def _fresh(cert: x509.Certificate) -> bool:
    return cert.not_valid_before_utc <= _now() and cert.not_valid_after_utc - _now() > RENEW_BEFORE


def _signed_by(cert: x509.Certificate, ca_cert: x509.Certificate) -> bool:
    try:
        cert.verify_directly_issued_by(ca_cert)
    except ValueError, TypeError, InvalidSignature:
        return False
    return True


def _load_pair(cert_path: Path, key_path: Path) -> _Pair | None:
    """The certificate and its key, or None when either is missing, unreadable or they do not match."""
    try:
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        key = serialization.load_pem_private_key(key_path.read_bytes(), password=None)
    except OSError, ValueError, TypeError:
        return None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.public_key() != cert.public_key():
        return None
    return cert, key


def _write_pair(cert_path: Path, key_path: Path, cert: x509.Certificate, key: ec.EllipticCurvePrivateKey) -> None:
    key_bytes = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    _write_atomically(key_path, key_bytes, 0o600)
    _write_atomically(cert_path, cert.public_bytes(serialization.Encoding.PEM), 0o644)


def _write_atomically(path: Path, data: bytes, mode: int) -> None:
    # A reader never sees a half-written file, and a key is never briefly world-readable.
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        os.chmod(tmp, mode)
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def _name(common_name: str) -> x509.Name:
    return x509.Name(
        [
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Velmora Add-in (local)"),
            x509.NameAttribute(NameOID.COMMON_NAME, common_name),
        ]
    )


def _key_usage(**granted: bool) -> x509.KeyUsage:
    """Digital signatures plus what `granted` names; everything else refused."""
    usages = dict.fromkeys(
        [
            "content_commitment",
            "key_encipherment",
            "data_encipherment",
            "key_agreement",
            "key_cert_sign",
            "crl_sign",
            "encipher_only",
            "decipher_only",
        ],
        False,
    )
    return x509.KeyUsage(digital_signature=True, **(usages | granted))


def _make_ca() -> _Pair:
    key = ec.generate_private_key(ec.SECP256R1())
    subject = _name("Velmora Add-in Local CA")
    now = _now()
    cert = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(now + CA_LIFETIME)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(_key_usage(key_cert_sign=True, crl_sign=True), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    return cert, key


def _make_server_certificate(ca_cert: x509.Certificate, ca_key: ec.EllipticCurvePrivateKey) -> _Pair:
    key = ec.generate_private_key(ec.SECP256R1())
    now = _now()
    cert = (
        x509.CertificateBuilder()
        .subject_name(_name("localhost"))
        .issuer_name(ca_cert.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(min(now + SERVER_LIFETIME, ca_cert.not_valid_after_utc))
        .add_extension(
            x509.SubjectAlternativeName(
                [x509.DNSName("localhost"), x509.IPAddress(ipaddress.IPv4Address("127.0.0.1"))]
            ),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(_key_usage(key_agreement=True), critical=True)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    return cert, key
