"""TLS certificates for the add-in's local HTTPS server.

A local certificate authority signs a certificate for localhost (DNS name
"localhost", IPs 127.0.0.1 and ::1). Both live in a per-user folder and are
reused while they are valid; whatever is missing, unreadable, mismatched or
within 30 days of expiry is made anew.

Users are asked to trust the CA in their browsers, so its key must not become a
way to impersonate other sites: the CA carries critical name constraints that
permit only localhost, 127.0.0.1 and ::1, the folder is the user's alone (0700,
checked at every use) and the keys are 0600 from their first byte. A key that
someone else could have read or replaced is not used: its pair is made anew.

Several processes may ask at once (two add-ins starting, parallel test runs): an
inter-process lock on the folder (store_lock.py) makes them take turns, so each
one reads a store that nobody is writing, and at most one of them makes anything.
A CA that has to be replaced is logged as a warning and recorded on the manager
(`ca_replacement`): browsers that trusted the old one must be told to trust the new one.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import enum
import ipaddress
import logging
import os
import secrets
import signal
import stat
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from ._ending_signals import ending_signals
from .exceptions import CertificateStoreError
from .store_lock import store_lock

logger = logging.getLogger(__name__)

CERT_DIR_ENV = "VELMORA_CERT_DIR"
RENEW_BEFORE = dt.timedelta(days=30)
CA_LIFETIME = dt.timedelta(days=3650)
SERVER_LIFETIME = dt.timedelta(days=397)
# The only names the CA may certify, and the ones the server certificate carries.
PERMITTED_DNS = ("localhost",)
PERMITTED_NETWORKS = (ipaddress.IPv4Network("127.0.0.1/32"), ipaddress.IPv6Network("::1/128"))

# A certificate and its private key, as read, written and made together.
type KeyPair = tuple[x509.Certificate, ec.EllipticCurvePrivateKey]


@dataclass(frozen=True)
class CertificatePaths:
    """Where the certificate files are."""

    ca_cert: Path
    ca_key: Path
    server_cert: Path
    server_key: Path


class ReplacementReason(enum.StrEnum):
    """Why a stored CA was replaced by a new one; the value completes "the CA was replaced because ..."."""

    REQUESTED = "a new one was asked for"
    DAMAGED = "its certificate or key was missing, unreadable or mismatched"
    EXPOSED_KEY = "its key file could have been read or replaced by someone else"
    UNCONSTRAINED = "it lacked the name constraints that limit it to localhost"
    EXPIRING = "it had expired, was not yet valid or was within 30 days of expiry"


@dataclass(frozen=True)
class CaReplacement:
    """A new CA replaced the one in the store.

    Browsers and the spreadsheet host that trusted the old CA do not trust the new one until it is trusted
    again; `previous` is the old CA certificate, when it could still be read, so that it can be removed from
    the trust stores.
    """

    reason: ReplacementReason
    previous: x509.Certificate | None


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

    `ca_replacement` tells what the last `ensure_certificates()` or `renew()` did to
    the CA: None when it kept the stored one or made the first one for an empty
    store, else a CaReplacement saying why the stored one was replaced.
    """

    def __init__(self, cert_dir: str | os.PathLike[str] | None = None) -> None:
        chosen = cert_dir if cert_dir is not None else os.environ.get(CERT_DIR_ENV)
        self.cert_dir = Path(chosen) if chosen else default_cert_dir()
        self.ca_replacement: CaReplacement | None = None

    @property
    def paths(self) -> CertificatePaths:
        return CertificatePaths(
            ca_cert=self.cert_dir / "ca.crt",
            ca_key=self.cert_dir / "ca.key",
            server_cert=self.cert_dir / "server.crt",
            server_key=self.cert_dir / "server.key",
        )

    def ensure_certificates(self) -> CertificatePaths:
        """Return the certificate paths, creating or renewing files as needed.

        Raises CertificateStoreError, naming the path and the cause, when the
        folder is not safe to keep keys in or cannot be read or written.
        """
        return self._provide(renew_server=False, renew_ca=False)

    def renew(self, *, ca: bool = False) -> CertificatePaths:
        """Make a new server certificate (and a new CA first when `ca` is true)."""
        return self._provide(renew_server=True, renew_ca=ca)

    def _provide(self, *, renew_server: bool, renew_ca: bool) -> CertificatePaths:
        self.ca_replacement = None
        paths = self.paths
        _make_private_dirs(self.cert_dir)
        _check_private_dir(self.cert_dir)
        with store_lock(self.cert_dir) as refused:
            ca, reason = _stored_ca(paths)
            if renew_ca and ca is not None:
                ca, reason = None, ReplacementReason.REQUESTED
            if ca is None:
                _refuse_read_only(refused, paths.ca_cert)
                previous = _readable_certificate(paths.ca_cert) if reason is not None else None
                ca = _make_ca()
                _write_pair(paths.ca_cert, paths.ca_key, *ca)
                if reason is not None:
                    self._replaced(CaReplacement(reason, previous))
                server = None
            else:
                server = None if renew_server else _load_pair(paths.server_cert, paths.server_key)
            if server is None or not _fresh(server[0]) or not _signed_by(server[0], ca[0]):
                _refuse_read_only(refused, paths.server_cert)
                server = _make_server_certificate(*ca)
                _write_pair(paths.server_cert, paths.server_key, *server)
        return paths

    def _replaced(self, replacement: CaReplacement) -> None:
        self.ca_replacement = replacement
        if replacement.reason is ReplacementReason.REQUESTED:
            logger.info("Made a new local CA in %s, as asked", self.cert_dir)
            return
        logger.warning(
            "Replaced the local CA in %s because %s. Browsers and the spreadsheet host trust the new one only "
            "once it is trusted again (velmora-addin certs trust).",
            self.cert_dir,
            replacement.reason,
        )


def _stored_ca(paths: CertificatePaths) -> tuple[KeyPair | None, ReplacementReason | None]:
    """The stored CA when it can stay; else None and why it must be replaced (no reason: there is none yet)."""
    if not paths.ca_cert.exists() and not paths.ca_key.exists():
        return None, None
    try:
        exposed = not _private_key_file(paths.ca_key)
    except OSError:
        exposed = False  # missing or unreadable: judged as damaged below
    if exposed:
        return None, ReplacementReason.EXPOSED_KEY
    ca = _load_pair(paths.ca_cert, paths.ca_key)
    if ca is None:
        return None, ReplacementReason.DAMAGED
    if not _constrained(ca[0]):
        return None, ReplacementReason.UNCONSTRAINED
    if not _fresh(ca[0]):
        return None, ReplacementReason.EXPIRING
    return ca, None


def _readable_certificate(path: Path) -> x509.Certificate | None:
    try:
        return x509.load_pem_x509_certificate(path.read_bytes())
    except OSError, ValueError:
        return None


def _refuse_read_only(refused: OSError | None, path: Path) -> None:
    """Nothing is written without the lock; a store that refused the lock file refuses every other file too."""
    if refused is not None:
        raise CertificateStoreError.from_os_error("write", path, refused) from refused


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


def _constrained(ca_cert: x509.Certificate) -> bool:
    """True when the CA may certify exactly the local names, under a critical extension."""
    try:
        extension = ca_cert.extensions.get_extension_for_class(x509.NameConstraints)
    except x509.ExtensionNotFound:
        return False
    return extension.critical and extension.value == _name_constraints()


def _make_private_dirs(folder: Path) -> None:
    """Create `folder` and its missing parents owner-only, whatever the umask."""
    missing = []
    for candidate in (folder, *folder.parents):
        if candidate.exists():
            if not candidate.is_dir():
                raise CertificateStoreError(
                    f"certificate store: cannot use {folder}: {candidate} is a file where a folder should be"
                )
            break
        missing.append(candidate)
    for candidate in reversed(missing):
        try:
            os.mkdir(candidate, 0o700)
        except FileExistsError:
            continue  # made meanwhile by someone else: the check below judges it
        except OSError as error:
            raise CertificateStoreError.from_os_error("create the folder", candidate, error) from error
        try:
            os.chmod(candidate, 0o700)  # the umask may have taken bits the owner needs
        except OSError as error:
            raise CertificateStoreError.from_os_error("set the mode of the folder", candidate, error) from error


def _check_private_dir(folder: Path) -> None:
    """Refuse a folder that another user owns or may write to: they could swap the keys."""
    if sys.platform == "win32":
        return  # ownership is ACLs there; the per-user profile folder is private by default
    try:
        info = os.stat(folder)
    except OSError as error:
        raise CertificateStoreError.from_os_error("use the folder", folder, error) from error
    if not stat.S_ISDIR(info.st_mode):
        raise CertificateStoreError(
            f"certificate store: cannot use {folder}: {folder} is a file where a folder should be"
        )
    if info.st_uid != os.getuid():
        raise CertificateStoreError(
            f"certificate folder {folder} is owned by uid {info.st_uid}, not by you (uid {os.getuid()}); "
            "use a folder of your own (VELMORA_CERT_DIR)"
        )
    if info.st_mode & 0o022:
        raise CertificateStoreError(
            f"certificate folder {folder} is writable by group or others (mode {stat.S_IMODE(info.st_mode):04o}); "
            f"make it private: chmod 700 {folder}"
        )


def _private_key_file(key_path: Path) -> bool:
    """True when only the user could have read or written the key file."""
    if sys.platform == "win32":
        return True
    info = os.stat(key_path)
    return info.st_uid == os.getuid() and not info.st_mode & 0o077


def _load_pair(cert_path: Path, key_path: Path) -> KeyPair | None:
    """The certificate and its key, or None when either is missing, unreadable, exposed or they do not match."""
    try:
        if not _private_key_file(key_path):
            return None
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        key = serialization.load_pem_private_key(key_path.read_bytes(), password=None)
    except OSError, ValueError, TypeError:
        return None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.public_key() != cert.public_key():
        return None
    return cert, key


def _write_pair(cert_path: Path, key_path: Path, cert: x509.Certificate, key: ec.EllipticCurvePrivateKey) -> None:
    # A certificate beside a key that is not its own is a damaged store: the server (which reads without our lock)
    # fails to start, and the next use replaces a CA the user had trusted. So both files are complete on disk
    # before either takes its place, and the two renames then follow each other at once: whatever fails or
    # interrupts the writing leaves the old pair as it was. The certificate goes first, as the server reads it
    # first: a server reading while the pair changes gets a mixed pair only if both its reads fall between the
    # renames or both renames between its reads (the other order mixes whenever the two overlap at all).
    key_bytes = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    aside: list[Path] = []
    try:
        key_tmp = _write_aside(key_path, key_bytes, 0o600, aside)
        cert_tmp = _write_aside(cert_path, cert.public_bytes(serialization.Encoding.PEM), 0o644, aside)
        with _signals_held():
            for tmp, path in ((cert_tmp, cert_path), (key_tmp, key_path)):
                try:
                    os.replace(tmp, path)
                except OSError as error:
                    raise CertificateStoreError.from_os_error("write", path, error) from error
    finally:
        for tmp in aside:
            tmp.unlink(missing_ok=True)  # gone once renamed


def _write_aside(path: Path, data: bytes, mode: int, aside: list[Path]) -> Path:
    """A new file beside `path` holding `data`, flushed to disk; its name is noted in `aside` before it exists,
    so that the caller removes it whatever happens."""
    # Created with its final mode (never looser, whatever the umask) and renamed over the old file only once
    # complete: a reader sees the old file or the whole new one, and a key is never exposed.
    tmp = path.parent / f".{path.name}.{secrets.token_hex(8)}"
    aside.append(tmp)
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), mode)
        with os.fdopen(fd, "wb") as out:
            if hasattr(os, "fchmod"):
                os.fchmod(out.fileno(), mode)  # the umask only takes bits away; make the mode exact
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
    except OSError as error:
        raise CertificateStoreError.from_os_error("write", path, error) from error
    return tmp


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds back the ending signals (which the command line's handlers turn into an exception) while the block
    runs: their handlers run as it ends, not inside it. Only this thread's mask changes: a signal the system hands
    to another thread is not held (the command line makes its certificates before it starts any)."""
    if sys.platform == "win32":
        yield
        return
    held = signal.pthread_sigmask(signal.SIG_BLOCK, ())  # read apart: a handler may raise from the call that blocks
    try:
        signal.pthread_sigmask(signal.SIG_BLOCK, ending_signals())
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


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


def _name_constraints() -> x509.NameConstraints:
    permitted: list[x509.GeneralName] = [x509.DNSName(name) for name in PERMITTED_DNS]
    permitted += [x509.IPAddress(network) for network in PERMITTED_NETWORKS]
    return x509.NameConstraints(permitted_subtrees=permitted, excluded_subtrees=None)


def _make_ca() -> KeyPair:
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
        .add_extension(_name_constraints(), critical=True)
        .sign(key, hashes.SHA256())
    )
    return cert, key


def _make_server_certificate(ca_cert: x509.Certificate, ca_key: ec.EllipticCurvePrivateKey) -> KeyPair:
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
                [
                    x509.DNSName("localhost"),
                    x509.IPAddress(ipaddress.IPv4Address("127.0.0.1")),
                    x509.IPAddress(ipaddress.IPv6Address("::1")),
                ]
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
