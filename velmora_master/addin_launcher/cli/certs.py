"""`certs show|trust|untrust|renew`: the local certificates, and the browser stores that trust their CA."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import TYPE_CHECKING

from .exit_status import ExitStatus
from .parser import PROG

if TYPE_CHECKING:
    # Imported where they are used, once the signal handlers are in place; here only for the checker.
    from .. import trust
    from ..certificate_manager import CertificatePaths


def certs(args: argparse.Namespace) -> ExitStatus:
    from .. import trust
    from ..certificate_manager import CertificateManager

    manager = CertificateManager()
    stores = trust.stores_for()
    action = args.certs_command
    if action == "show":
        _show(manager.ensure_certificates(), stores, args.json)
    elif action == "trust":
        paths = manager.ensure_certificates()
        ca = trust.Authority.load(paths.ca_cert)
        for store in stores:
            print(f"{store.description}: {'added' if store.add(ca) else 'already trusted'}")
        print(
            "Restart the browser (and the spreadsheet host) to pick it up. For every user of this machine "
            f"(needs root, not done): {trust.system_wide_hint(None, paths.ca_cert)}"
        )
    elif action == "untrust":
        ca_path = manager.paths.ca_cert
        if not ca_path.is_file():
            print(f"No CA at {ca_path}: nothing to untrust")
            return ExitStatus.DONE
        ca = trust.Authority.load(ca_path)
        for store in stores:
            print(f"{store.description}: {'removed' if store.remove(ca) else 'was not trusted'}")
    else:
        old = manager.paths.ca_cert
        old_ca = trust.Authority.load(old) if args.ca and old.is_file() else None
        paths = manager.renew(ca=args.ca)
        print(f"New server certificate: {paths.server_cert}")
        if args.ca:
            print(f"New CA: {paths.ca_cert}")
            if old_ca is not None:
                for store in stores:
                    try:
                        if store.remove(old_ca):
                            print(f"{store.description}: the old CA was removed")
                    except trust.TrustStoreError as error:
                        print(f"{store.description}: the old CA could not be removed ({error})")
            print(f"Browsers trust the new CA only after: {PROG} certs trust")
    return ExitStatus.DONE


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
