"""`certs show|trust|untrust|renew`: the local certificates, and the browser stores that trust their CA.

Trusting and untrusting go through every store even when one fails, then say where it worked; with no
terminal to answer on (CI) or --no-prompt, no store waits on a password or a confirmation dialog.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from .exit_status import CliError, ExitStatus
from .parser import PROG

if TYPE_CHECKING:
    # Imported where they are used, once the signal handlers are in place; here only for the checker.
    from cryptography import x509

    from .. import trust
    from ..certificate_manager import CertificateManager, CertificatePaths


def certs(args: argparse.Namespace) -> ExitStatus:
    from .. import trust
    from ..certificate_manager import CertificateManager

    manager = CertificateManager()
    stores = trust.stores_for(prompt=_may_prompt(args))
    action = args.certs_command
    if action == "show":
        paths = manager.ensure_certificates()
        tell_ca_replacement(manager, sys.stdout, stores)
        _show(paths, stores)
    elif action == "trust":
        paths = manager.ensure_certificates()
        tell_ca_replacement(manager, sys.stdout, stores, remind=False)  # trusted below
        ca = trust.Authority.load(paths.ca_cert)
        failed = _change_each(stores, ca, adding=True)
        print(
            "Restart the browser (and the spreadsheet host) to pick it up. For every user of this machine "
            f"(needs root, not done): {trust.system_wide_hint(None, paths.ca_cert)}"
        )
        print(trust.node_hint(None, paths.ca_cert))
        _fail_if_any(failed, stores, "trusting the CA")
    elif action == "untrust":
        ca_path = manager.paths.ca_cert
        if not ca_path.is_file():
            print(f"No CA at {ca_path}: nothing to untrust")
            return ExitStatus.DONE
        ca = trust.Authority.load(ca_path)
        _fail_if_any(_change_each(stores, ca, adding=False), stores, "untrusting the CA")
    else:
        paths = manager.renew(ca=args.ca)
        print(f"New server certificate: {paths.server_cert}")
        if args.ca:
            print(f"New CA: {paths.ca_cert}")
        tell_ca_replacement(manager, sys.stdout, stores)
    return ExitStatus.DONE


def _may_prompt(args: argparse.Namespace | None) -> bool:
    """Whether a store may ask the user: someone is at a terminal to answer, and --no-prompt was not given."""
    no_prompt: bool = getattr(args, "no_prompt", False)
    return not no_prompt and sys.stdin is not None and sys.stdin.isatty()


def _change_each(stores: Sequence[trust.TrustStore], ca: trust.Authority, adding: bool) -> list[trust.TrustStore]:
    """Add `ca` to (or remove it from) every store, one line each; a store that fails does not stop the others.
    Returns the stores that failed."""
    from .. import trust

    outcome = ("added", "already trusted") if adding else ("removed", "was not trusted")
    failed: list[trust.TrustStore] = []
    for store in stores:
        try:
            changed = store.add(ca) if adding else store.remove(ca)
        except trust.TrustStoreError as error:
            failed.append(store)
            print(f"{store.description}: FAILED: {error}")
            if not isinstance(error, (trust.TrustToolMissing, trust.TrustStorePrompt)):  # those say what to do
                print(f"  run by hand: {store.by_hand(ca, adding)}")
            continue
        print(f"{store.description}: {outcome[0] if changed else outcome[1]}")
    return failed


def _fail_if_any(failed: Sequence[trust.TrustStore], stores: Sequence[trust.TrustStore], doing: str) -> None:
    if failed:
        worked = [store.description for store in stores if store not in failed]
        raise CliError(
            f"{doing} failed in {len(failed)} of {len(stores)} trust stores: "
            f"{'; '.join(store.description for store in failed)}; it succeeded in: {'; '.join(worked) or 'none'}"
        )


def tell_ca_replacement(
    manager: CertificateManager, out: TextIO, stores: Sequence[trust.TrustStore] | None = None, remind: bool = True
) -> None:
    """Say so when the manager's last call replaced its CA, and why, on stderr; take the old CA out of the trust
    stores when a new one was asked for or when others could have had its key; remind to trust the new one.

    Browsers and the spreadsheet host that trusted the old CA refuse the server until the new one is trusted. An
    old CA whose key may have been copied would still vouch for a false localhost as long as it is trusted.
    """
    from ..certificate_manager import ReplacementReason

    replacement = manager.ca_replacement
    if replacement is None:
        return
    if replacement.reason is not ReplacementReason.REQUESTED:
        print(
            f"{PROG}: warning: the local CA in {manager.cert_dir} was replaced by a new one, because "
            f"{replacement.reason}",
            file=sys.stderr,
        )
    untrust = replacement.reason in (ReplacementReason.REQUESTED, ReplacementReason.EXPOSED_KEY)
    if untrust and replacement.previous is not None:
        if stores is None:  # run and demo: no option, but no prompt without a terminal either
            from .. import trust

            stores = trust.stores_for(prompt=_may_prompt(None))
        _untrust(replacement.previous, stores, out)
    if remind:
        print(f"Browsers trust the new CA only after: {PROG} certs trust", file=out)


def _untrust(previous: x509.Certificate, stores: Sequence[trust.TrustStore], out: TextIO) -> None:
    """Take the replaced CA out of each store that holds it, saying so; a store that fails is named, not fatal."""
    import tempfile

    from cryptography.hazmat.primitives import serialization

    from .. import trust

    with tempfile.TemporaryDirectory(prefix="velmora-old-ca-") as folder:
        # The stores' tools identify a certificate by its file; the old one is no longer in the store.
        path = Path(folder) / "old-ca.crt"
        path.write_bytes(previous.public_bytes(serialization.Encoding.PEM))
        old = trust.Authority.load(path)
        for store in stores:
            try:
                if store.remove(old):
                    print(f"{store.description}: the old CA was removed", file=out)
            except trust.TrustStoreError as error:
                print(f"{store.description}: the old CA could not be removed ({error})", file=out)


def _fingerprint(cert: x509.Certificate) -> str:
    from cryptography.hazmat.primitives import hashes

    return cert.fingerprint(hashes.SHA256()).hex(":").upper()


def _general_names(names: Iterable[x509.GeneralName]) -> str:
    from cryptography import x509

    shown: list[str] = []
    for name in names:
        kind = "DNS" if isinstance(name, x509.DNSName) else "IP" if isinstance(name, x509.IPAddress) else "name"
        shown.append(f"{kind}:{name.value}")
    return ", ".join(shown) or "none"


def _mode(path: Path) -> str:
    try:
        return f"{path.stat().st_mode & 0o777:04o}"
    except OSError:
        return "missing"


def _show(paths: CertificatePaths, stores: Sequence[trust.TrustStore]) -> None:
    from cryptography import x509

    from .. import trust

    print(f"Folder:             {paths.ca_cert.parent} (mode {_mode(paths.ca_cert.parent)})")
    for title, cert_path, key_path in (
        ("CA certificate", paths.ca_cert, paths.ca_key),
        ("Server certificate", paths.server_cert, paths.server_key),
    ):
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        print(f"{title + ':':<20}{cert_path}")
        print(f"  subject:          {cert.subject.rfc4514_string()}")
        print(f"  not after:        {cert.not_valid_after_utc:%Y-%m-%d %H:%M:%S} UTC")
        print(f"  SHA-256:          {_fingerprint(cert)}")
        try:
            names = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
            print(f"  names (SAN):      {_general_names(names)}")
        except x509.ExtensionNotFound:
            pass
        try:
            constraints = cert.extensions.get_extension_for_class(x509.NameConstraints)
            critical = "critical" if constraints.critical else "NOT critical"
            print(
                f"  name constraints: permits {_general_names(constraints.value.permitted_subtrees or [])} ({critical})"
            )
        except x509.ExtensionNotFound:
            if title.startswith("CA"):
                print("  name constraints: none")
        print(f"  key:              {key_path} (mode {_mode(key_path)})")
    ca = trust.Authority.load(paths.ca_cert)
    print("Trusted by:")
    for store in stores:
        try:
            answer = "yes" if store.contains(ca) else "no"
        except trust.TrustStoreError as error:
            answer = f"unknown ({error})"
        print(f"  {store.description}: {answer}")
    print(trust.node_hint(None, paths.ca_cert))
