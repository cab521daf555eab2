"""`doctor`: every check of the set-up, one line each, passed or failed with the command that fixes it.

It only reads: no certificate is made and no store is changed, so that what it reports is the set-up as it is,
not one it repaired on the way. Exit status 0 when every check passed, 1 otherwise.
"""

from __future__ import annotations

import argparse

from ..exit_status import ExitStatus
from .check import Check


def doctor(args: argparse.Namespace) -> ExitStatus:
    checks = run_checks(args)
    notes = advice()
    ok = all(check.passed for check in checks)
    if args.json:
        from ..json_output import DOCTOR, emit

        emit(DOCTOR, {"ok": ok, "checks": [check.as_json() for check in checks], "notes": notes})
    else:
        for check in checks:
            print(check.line())
        for note in notes:
            print(f"note  {note}")
        failures = sum(not check.passed for check in checks)
        print(f"{len(checks)} checks: {'all passed' if ok else f'{failures} failed'}")
    return ExitStatus.DONE if ok else ExitStatus.FAILURE


def advice() -> list[str]:
    """What no check can tell: programs that trust none of the stores the checks read."""
    from ... import trust
    from ...certificate_manager import CertificateManager

    return [trust.node_hint(None, CertificateManager().paths.ca_cert)]


def run_checks(args: argparse.Namespace) -> list[Check]:
    from ... import trust
    from ...certificate_manager import CertificateManager
    from .port_checks import port_check
    from .setup_checks import addin_folder, interpreter, server_program
    from .store_checks import store_checks
    from .trust_checks import trust_checks

    checks = [interpreter(), server_program(args.compiled)]
    if not args.compiled:
        checks.append(addin_folder(args.addin_path))
    paths = CertificateManager().paths  # where the store is; ensure_certificates() would make what is missing
    checks += store_checks(paths)
    try:
        ca = trust.Authority.load(paths.ca_cert)
    except OSError, ValueError:
        pass  # no CA to look for: the store's checks say why and how to make one
    else:
        checks += trust_checks(trust.stores_for(), ca)
    checks.append(port_check(args.port, args.addin_path))
    return checks
