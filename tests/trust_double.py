"""Stands in for the trust-store tools of macOS (`security`) and Windows (`certutil -user`) on Linux.

    python trust_double.py security|certutil-windows ARGS...

Keeps the store in the JSON file TRUST_DOUBLE_STATE and appends each command line to
TRUST_DOUBLE_LOG (one JSON list a line), answering as the real tools do for the
subcommands the package uses. An entry of the store may carry what the tools say of its
trust: "trust_settings" (macOS: the list of settings, a policy as its hex digits; absent
or null: none) and "purposes" (Windows: the object identifiers of its usage property).
"""

import hashlib
import json
import os
import plistlib
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
    if args[0] == "add-trusted-cert":  # -r trustRoot -k KEYCHAIN FILE; one already there gets the settings anew
        added = {**describe(args[5]), "trust_settings": [{"kSecTrustSettingsResult": 1}]}
        store[:] = [e for e in store if e["sha1"] != added["sha1"]] + [added]
        return 0
    if args[0] == "remove-trusted-cert":  # FILE
        sha1 = describe(args[1])["sha1"]
        for entry in store:
            if entry["sha1"] == sha1:
                entry["trust_settings"] = None
        return 0
    if args[0] == "trust-settings-export":  # FILE
        listed = {e["sha1"]: e["trust_settings"] for e in store if e.get("trust_settings") is not None}
        if not listed:
            print("SecTrustSettingsCreateExternalRepresentation: No Trust Settings were found.", file=sys.stderr)
            return 1
        trust_list = {
            sha1: {"trustSettings": [plist_setting(setting) for setting in settings]}
            for sha1, settings in listed.items()
        }
        Path(args[1]).write_bytes(plistlib.dumps({"trustList": trust_list, "trustVersion": 1}))
        return 0
    if args[0] == "delete-certificate":  # -Z SHA1 KEYCHAIN
        before = len(store)
        store[:] = [e for e in store if e["sha1"] != args[2]]
        return 0 if len(store) < before else 44
    return 2


def plist_setting(setting):
    policy = setting.get("kSecTrustSettingsPolicy")
    return setting | ({"kSecTrustSettingsPolicy": bytes.fromhex(policy)} if policy else {})


def certutil_windows(args, store):
    verbose = "-v" in args
    args = [arg for arg in args if arg != "-v"]
    if args[0] != "-user" or args[2] != "Root":
        return 2
    if args[1] == "-store":
        found = [e for e in store if e["serial"] == args[3]]
        for entry in found:
            print(f"================ Certificate 0 ================\nSerial Number: {entry['serial']}")
            if verbose and entry.get("purposes") is not None:
                print("  CERT_ENHKEY_USAGE_PROP_ID(9):\n    Enhanced Key Usage")
                print("".join(f"        Purpose ({oid})\n" for oid in entry["purposes"]), end="")
        return 0 if found else 1
    if args[1] == "-addstore":  # one already there is left as it is, its purposes too
        added = describe(args[3])
        if all(e["serial"] != added["serial"] for e in store):
            store.append(added)
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
