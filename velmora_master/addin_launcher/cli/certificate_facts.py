"""What is known of the certificate store and of the stores that trust its CA, as `certs show` and `doctor` tell
it, in words and as JSON. Everything here only reads: nothing is made, nothing is changed."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # Imported where they are used, once the signal handlers are in place; here only for the checker.
    from cryptography import x509

    from .. import trust


def general_names(names: Iterable[x509.GeneralName]) -> list[str]:
    """Names as `DNS:localhost`, `IP:127.0.0.1`."""
    from cryptography import x509

    shown: list[str] = []
    for name in names:
        kind = "DNS" if isinstance(name, x509.DNSName) else "IP" if isinstance(name, x509.IPAddress) else "name"
        shown.append(f"{kind}:{name.value}")
    return shown


def name_constraints(cert: x509.Certificate) -> tuple[list[str] | None, bool]:
    """What the certificate's name constraints permit, and whether they are critical; None without them."""
    from cryptography import x509

    try:
        constraints = cert.extensions.get_extension_for_class(x509.NameConstraints)
    except x509.ExtensionNotFound:
        return None, False
    return general_names(constraints.value.permitted_subtrees or []), constraints.critical


def constraints_text(permitted: list[str] | None, critical: bool) -> str:
    if permitted is None:
        return "none"
    return f"permits {', '.join(permitted) or 'nothing'} ({'critical' if critical else 'NOT critical'})"


def file_mode(path: Path) -> str | None:
    """The permission bits as four octal digits; None when there is no such file."""
    try:
        return f"{path.stat().st_mode & 0o777:04o}"
    except OSError:
        return None


def utc_text(moment: dt.datetime) -> str:
    """An instant as JSON gives it: ISO 8601 in UTC, to the second, with a Z."""
    return moment.astimezone(dt.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


@dataclass(frozen=True)
class CertificateFacts:
    path: Path
    subject: str
    not_after: dt.datetime
    sha256: str
    names: list[str] | None  # the subject alternative names; None without the extension
    permitted: list[str] | None  # what the name constraints permit; None without the extension
    constraints_critical: bool
    key_path: Path
    key_mode: str | None

    @classmethod
    def read(cls, cert_path: Path, key_path: Path) -> CertificateFacts:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes

        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        extensions = cert.extensions
        try:
            names: list[str] | None = general_names(
                extensions.get_extension_for_class(x509.SubjectAlternativeName).value
            )
        except x509.ExtensionNotFound:
            names = None
        permitted, critical = name_constraints(cert)
        return cls(
            path=cert_path,
            subject=cert.subject.rfc4514_string(),
            not_after=cert.not_valid_after_utc,
            sha256=cert.fingerprint(hashes.SHA256()).hex(":").upper(),
            names=names,
            permitted=permitted,
            constraints_critical=critical,
            key_path=key_path,
            key_mode=file_mode(key_path),
        )

    def as_json(self) -> dict[str, object]:
        return {
            "path": str(self.path),
            "subject": self.subject,
            "not_after": utc_text(self.not_after),
            "sha256": self.sha256,
            "names": self.names,
            "name_constraints": None
            if self.permitted is None
            else {"permitted": self.permitted, "critical": self.constraints_critical},
            "key": {"path": str(self.key_path), "mode": self.key_mode},
        }


@dataclass(frozen=True)
class TrustFacts:
    """What one store says of the CA, or why it could not be asked."""

    store: trust.TrustStore
    reading: trust.TrustReading | None
    error: trust.TrustStoreError | None

    @property
    def state(self) -> str:
        """`trusted`, `not-trusted`, `absent`, or `unknown` when the store could not be read."""
        return "unknown" if self.reading is None else self.reading.state.name.lower().replace("_", "-")

    def answer(self) -> str:
        """`yes`, or `no` with what the store says, or `unknown` with why."""
        if self.reading is None:
            return f"unknown ({self.error})"
        if self.state == "trusted":
            return "yes"
        if self.state == "absent":
            return "no"
        detail = f"; {self.reading.detail}" if self.reading.detail else ""
        return f"no ({self.reading.state}{detail})"

    def as_json(self) -> dict[str, object]:
        return {
            "store": self.store.description,
            "state": self.state,
            "detail": "" if self.reading is None else self.reading.detail,
            "error": None if self.error is None else str(self.error),
        }


def read_trust(stores: Sequence[trust.TrustStore], ca: trust.Authority) -> list[TrustFacts]:
    """Ask every store; one that cannot answer (its tool missing or failing) does not keep the others from it."""
    from .. import trust

    facts = []
    for store in stores:
        try:
            facts.append(TrustFacts(store, store.read_trust(ca), None))
        except trust.TrustStoreError as error:
            facts.append(TrustFacts(store, None, error))
    return facts
