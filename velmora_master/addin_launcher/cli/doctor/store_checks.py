"""The doctor's checks of the certificate store, judged by the store's own rules but only read: the folder's and
the keys' modes, each certificate's validity and days left, each key matching its certificate, the CA's name
constraints, the server certificate signed by the CA, and the key identifiers strict verification needs.

A problem of the CA is fixed by a new CA, which browsers must then trust again; one of the server certificate by
a new server certificate."""

from __future__ import annotations

import datetime as dt
import os
import stat
import sys
from pathlib import Path
from typing import TYPE_CHECKING

from ..parser import PROG
from .check import Check, Details, failed, passed

if TYPE_CHECKING:
    from cryptography import x509
    from cryptography.hazmat.primitives.asymmetric.types import PrivateKeyTypes

    from ...certificate_manager import CertificatePaths

NEW_CA = f"{PROG} certs renew --ca && {PROG} certs trust"
NEW_SERVER_CERTIFICATE = f"{PROG} certs renew"
MAKE_STORE = f"{PROG} certs trust"


def store_checks(paths: CertificatePaths) -> list[Check]:
    """Every check of the store; those that need a certificate are left out when it cannot be read."""
    from ... import certificate_manager as store

    folder = paths.ca_cert.parent
    checks = [_folder(folder)]
    if not folder.is_dir():
        return checks
    ca = _read(paths.ca_cert)
    server = _read(paths.server_cert)
    checks.append(_validity("ca-certificate", "CA certificate", paths.ca_cert, ca, store.RENEW_BEFORE, NEW_CA))
    checks.append(_key_mode("ca-key-mode", "CA key", paths.ca_key, NEW_CA))
    if not isinstance(ca, str):
        checks.append(_key_match("ca-key-match", "CA", ca, paths.ca_key, NEW_CA))
        checks.append(_constraints(ca))
    checks.append(
        _validity(
            "server-certificate",
            "server certificate",
            paths.server_cert,
            server,
            dt.timedelta(0),
            NEW_SERVER_CERTIFICATE,
        )
    )
    checks.append(_key_mode("server-key-mode", "server key", paths.server_key, NEW_SERVER_CERTIFICATE))
    if not isinstance(server, str):
        checks.append(_key_match("server-key-match", "server", server, paths.server_key, NEW_SERVER_CERTIFICATE))
        if not isinstance(ca, str):
            checks.append(_signed(server, ca))
            checks.append(_key_identifiers(server, ca))
    return checks


def _read(path: Path) -> x509.Certificate | str:
    """The certificate, or why there is none."""
    from cryptography import x509

    try:
        return x509.load_pem_x509_certificate(path.read_bytes())
    except FileNotFoundError:
        return "missing"
    except OSError as error:
        return f"unreadable ({error.strerror or error})"
    except ValueError:
        return "not a PEM certificate"


def _folder(folder: Path) -> Check:
    try:
        info = os.stat(folder)
    except FileNotFoundError:
        return failed(
            "cert-folder", f"certificate folder {folder} does not exist", MAKE_STORE, path=str(folder), mode=None
        )
    except OSError as error:
        return failed(
            "cert-folder", f"certificate folder {folder}: {error.strerror}", None, path=str(folder), mode=None
        )
    mode = f"{stat.S_IMODE(info.st_mode):04o}"
    facts = {"path": str(folder), "mode": mode}
    if not stat.S_ISDIR(info.st_mode):
        return failed("cert-folder", f"certificate folder {folder} is a file", f"mv {folder} {folder}.old", **facts)
    if sys.platform != "win32":  # elsewhere ownership is ACLs, and the profile folder is private by default
        if info.st_uid != os.getuid():
            return failed(
                "cert-folder",
                f"certificate folder {folder} is owned by uid {info.st_uid}, not by you",
                f"sudo chown {os.getuid()} {folder}",
                **facts,
            )
        if info.st_mode & 0o022:
            return failed(
                "cert-folder",
                f"certificate folder {folder} is writable by group or others (mode {mode})",
                f"chmod 700 {folder}",
                **facts,
            )
    return passed("cert-folder", f"certificate folder {folder} (mode {mode}, yours)", **facts)


def _validity(
    check: str, title: str, path: Path, cert: x509.Certificate | str, margin: dt.timedelta, fix: str
) -> Check:
    """Valid now, and for more than `margin` still: within it the store makes the certificate anew at the next start."""
    from ... import certificate_manager as store
    from ..certificate_facts import utc_text

    if isinstance(cert, str):
        return failed(check, f"{title} {path}: {cert}", fix, path=str(path), days_left=None, not_after=None)
    now = store._now()
    days = (cert.not_valid_after_utc - now).days
    facts: Details = {"path": str(path), "days_left": days, "not_after": utc_text(cert.not_valid_after_utc)}
    if cert.not_valid_before_utc > now:
        return failed(check, f"{title} {path} is not valid before {cert.not_valid_before_utc:%Y-%m-%d}", fix, **facts)
    if cert.not_valid_after_utc <= now:
        return failed(check, f"{title} {path} expired on {cert.not_valid_after_utc:%Y-%m-%d}", fix, **facts)
    if cert.not_valid_after_utc - now <= margin:
        return failed(
            check,
            f"{title} {path} expires in {days} days; the next start replaces it, and browsers then trust it no more",
            fix,
            **facts,
        )
    return passed(check, f"{title} {path}: valid, {days} days left", **facts)


def _key_mode(check: str, title: str, path: Path, fix: str) -> Check:
    """Only the user may have read or written the key: the store makes a pair anew rather than use another one."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return failed(check, f"{title} {path}: missing", fix, path=str(path), mode=None)
    except OSError as error:
        return failed(check, f"{title} {path}: unreadable ({error.strerror})", fix, path=str(path), mode=None)
    mode = f"{stat.S_IMODE(info.st_mode):04o}"
    facts = {"path": str(path), "mode": mode}
    if sys.platform != "win32":
        if info.st_uid != os.getuid():
            return failed(check, f"{title} {path} is owned by uid {info.st_uid}, not by you", fix, **facts)
        if info.st_mode & 0o077:
            return failed(
                check, f"{title} {path} has mode {mode}: others could have read it, so it is not used", fix, **facts
            )
    return passed(check, f"{title} {path} (mode {mode}, yours)", **facts)


def _key_match(check: str, title: str, cert: x509.Certificate, key_path: Path, fix: str) -> Check:
    from cryptography.hazmat.primitives import serialization

    try:
        key: PrivateKeyTypes = serialization.load_pem_private_key(key_path.read_bytes(), password=None)
    except (OSError, ValueError, TypeError) as error:
        why = error.strerror if isinstance(error, OSError) else "not an unencrypted PEM key"
        return failed(check, f"{title} key {key_path} cannot be read ({why})", fix, path=str(key_path))
    if key.public_key() != cert.public_key():
        return failed(check, f"{title} key {key_path} does not match its certificate", fix, path=str(key_path))
    return passed(check, f"{title} key matches its certificate", path=str(key_path))


def _constraints(ca: x509.Certificate) -> Check:
    from ... import certificate_manager as store
    from ..certificate_facts import constraints_text, name_constraints

    permitted, critical = name_constraints(ca)
    said = f"CA name constraints: {constraints_text(permitted, critical)}"
    if not store._constrained(ca):
        return failed(
            "ca-name-constraints",
            f"{said}; they must permit only localhost, 127.0.0.1 and ::1, critically",
            NEW_CA,
            permitted=permitted or [],
        )
    return passed("ca-name-constraints", said, permitted=permitted or [])


def _signed(server: x509.Certificate, ca: x509.Certificate) -> Check:
    from ... import certificate_manager as store

    if not store._signed_by(server, ca):
        return failed(
            "server-signed-by-ca",
            f"the server certificate was not signed by this CA (its issuer: {server.issuer.rfc4514_string()})",
            NEW_SERVER_CERTIFICATE,
        )
    return passed("server-signed-by-ca", "the server certificate was signed by the CA")


def _key_identifiers(server: x509.Certificate, ca: x509.Certificate) -> Check:
    """Strict verification (Python's default since 3.13) wants the CA's subject key identifier and the server's
    authority key identifier, naming that same key."""
    from cryptography import x509

    try:
        subject_id = ca.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value.digest
    except x509.ExtensionNotFound:
        return failed("key-identifiers", "the CA has no subject key identifier", NEW_CA)
    try:
        authority_id = server.extensions.get_extension_for_class(x509.AuthorityKeyIdentifier).value.key_identifier
    except x509.ExtensionNotFound:
        authority_id = None
    if authority_id is None:
        return failed(
            "key-identifiers", "the server certificate has no authority key identifier", NEW_SERVER_CERTIFICATE
        )
    if authority_id != subject_id:
        return failed(
            "key-identifiers",
            "the server certificate's authority key identifier names another key than the CA's",
            NEW_SERVER_CERTIFICATE,
        )
    return passed("key-identifiers", "key identifiers present: the CA's subject key id, the server's authority key id")
