"""`certs show|trust|untrust|renew`: the local certificates, and the browser stores that trust their CA.

Trusting and untrusting go through every store even when one fails, then say where it worked; with no
terminal to answer on (CI) or --no-prompt, no store waits on a password or a confirmation dialog.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
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
        # With --json, stdout holds the document alone: what is told of a replaced CA goes to stderr.
        tell_ca_replacement(manager, sys.stderr if args.json else sys.stdout, stores)
        _show(paths, stores, args.json)
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


def _show(paths: CertificatePaths, stores: Sequence[trust.TrustStore], as_json: bool) -> None:
    from .. import trust
    from .certificate_facts import CertificateFacts, constraints_text, file_mode, read_trust
    from .json_output import CERTS_SHOW, emit

    folder = paths.ca_cert.parent
    ca = CertificateFacts.read(paths.ca_cert, paths.ca_key)
    server = CertificateFacts.read(paths.server_cert, paths.server_key)
    trusted_by = read_trust(stores, trust.Authority.load(paths.ca_cert))
    if as_json:
        emit(
            CERTS_SHOW,
            {
                "folder": {"path": str(folder), "mode": file_mode(folder)},
                "ca": ca.as_json(),
                "server": server.as_json(),
                "trust": [facts.as_json() for facts in trusted_by],
            },
        )
        return
    print(f"Folder:             {folder} (mode {file_mode(folder) or 'missing'})")
    for title, cert in (("CA certificate", ca), ("Server certificate", server)):
        print(f"{title + ':':<20}{cert.path}")
        print(f"  subject:          {cert.subject}")
        print(f"  not after:        {cert.not_after:%Y-%m-%d %H:%M:%S} UTC")
        print(f"  SHA-256:          {cert.sha256}")
        if cert.names is not None:
            print(f"  names (SAN):      {', '.join(cert.names) or 'none'}")
        if cert.permitted is not None or cert is ca:
            print(f"  name constraints: {constraints_text(cert.permitted, cert.constraints_critical)}")
        print(f"  key:              {cert.key_path} (mode {cert.key_mode or 'missing'})")
    print("Trusted by:")
    for facts in trusted_by:
        print(f"  {facts.store.description}: {facts.answer()}")
    print(trust.node_hint(None, paths.ca_cert))
