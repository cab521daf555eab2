"""Stands in for the trust-store tools of macOS (`security`) and Windows (`certutil -user`) on Linux.

    python trust_double.py security|certutil-windows ARGS...

Keeps the store in the JSON file TRUST_DOUBLE_STATE and appends each command line to
TRUST_DOUBLE_LOG (one JSON list a line), answering as the real tools do for the
subcommands the package uses.
"""

import hashlib
import json
import os
import ssl
import sys
from pathlib import Path


def describe(path):
    # The standard library alone, so each call starts fast and owes nothing to the code under test.
    der = ssl.PEM_cert_to_DER_cert(Path(path).read_text())
    decoded = ssl._ssl._test_decode_cert(str(path))
    cn = dict(pair for rdn in decoded["subject"] for pair in rdn)["commonName"]
    return {
        "sha256": hashlib.sha256(der).hexdigest().upper(),
        "sha1": hashlib.sha1(der).hexdigest().upper(),
        "serial": decoded["serialNumber"].lstrip("0").lower(),
        "cn": cn,
    }


def security(args, store):
    if args[0] == "find-certificate":  # -a -Z -c NAME KEYCHAIN
        found = [e for e in store if e["cn"] == args[4]]
        for entry in found:
            print(f'keychain: "{args[5]}"\nSHA-256 hash: {entry["sha256"]}\nSHA-1 hash: {entry["sha1"]}')
        if not found:
            print("security: SecKeychainSearchCopyNext: The specified item could not be found.", file=sys.stderr)
        return 0 if found else 44
    if args[0] == "add-trusted-cert":  # -r trustRoot -k KEYCHAIN FILE
        store.append(describe(args[5]))
        return 0
    if args[0] == "remove-trusted-cert":  # FILE
        return 0
    if args[0] == "delete-certificate":  # -Z SHA1 KEYCHAIN
        before = len(store)
        store[:] = [e for e in store if e["sha1"] != args[2]]
        return 0 if len(store) < before else 44
    return 2


def certutil_windows(args, store):
    if args[0] != "-user" or args[2] != "Root":
        return 2
    if args[1] == "-store":
        return 0 if any(e["serial"] == args[3] for e in store) else 1
    if args[1] == "-addstore":
        store.append(describe(args[3]))
        return 0
    if args[1] == "-delstore":
        before = len(store)
        store[:] = [e for e in store if e["serial"] != args[3]]
        return 0 if len(store) < before else 1
    return 2


def main():
    state = Path(os.environ["TRUST_DOUBLE_STATE"])
    store = json.loads(state.read_text()) if state.exists() else []
    with open(os.environ["TRUST_DOUBLE_LOG"], "a") as log:
        log.write(json.dumps(sys.argv[2:]) + "\n")
    tool = security if sys.argv[1] == "security" else certutil_windows
    status = tool(sys.argv[2:], store)
    state.write_text(json.dumps(store))
    return status


if __name__ == "__main__":
    sys.exit(main())
