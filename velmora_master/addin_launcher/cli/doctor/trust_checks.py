"""The doctor's checks of the trust stores: in each, is the CA there and trusted to vouch for servers, as the
store's own flags or settings say. A store that cannot be read is reported and the others are still asked."""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ..parser import PROG
from .check import Check, failed, passed

if TYPE_CHECKING:
    from ... import trust

TRUST = f"{PROG} certs trust"
# Taking the CA out and putting it back in sets its trust afresh in every store.
TRUST_AFRESH = f"{PROG} certs untrust && {PROG} certs trust"
# How to install a store's missing tool, by platform; macOS and Windows ship theirs.
TOOL_INSTALL = {"linux": "sudo apt-get install libnss3-tools"}


def trust_checks(stores: Sequence[trust.TrustStore], ca: trust.Authority) -> list[Check]:
    from ... import trust
    from ..certificate_facts import read_trust

    checks = []
    for facts in read_trust(stores, ca):
        store = facts.store.description
        details = {"store": store, "state": facts.state}
        if facts.reading is None:
            missing = isinstance(facts.error, trust.TrustToolMissing)
            fix = TOOL_INSTALL.get(sys.platform) if missing else None
            checks.append(failed("trust", f"{store}: cannot be read: {facts.error}", fix, **details))
            continue
        state, detail = facts.reading
        said = f"{store}: the CA is {state}" + (f" ({detail})" if detail else "")
        if state is trust.TrustState.TRUSTED:
            checks.append(passed("trust", said, **details))
        else:
            checks.append(failed("trust", said, TRUST if state is trust.TrustState.ABSENT else TRUST_AFRESH, **details))
    return checks
