"""Trusting the local CA: the NSS databases with the real certutil, macOS and Windows with doubles, the CLI."""

import json
import re
import shlex
import stat
import subprocess
import time

import pytest

from helpers import COMMAND, ROOT, Terminal, clean_environment, cli_environment, need, run_cli, wait_until
from velmora_master.addin_launcher import trust
from velmora_master.addin_launcher.certificate_manager import CertificateManager


@pytest.fixture
def ca(tmp_path):
    return trust.Authority.load(CertificateManager(tmp_path / "certs").ensure_certificates().ca_cert)


def nicknames(db):
    listed = subprocess.run(["certutil", "-d", f"sql:{db}", "-L"], capture_output=True, text=True, check=True)
    return [line for line in listed.stdout.splitlines() if line.startswith(trust.NSS_NICKNAME)]


@pytest.mark.slow
def test_nss_stores(tmp_path, ca):
    need("certutil")
    home = tmp_path / "home"
    profile = home / ".mozilla" / "firefox" / "abcd.default-release"
    profile.mkdir(parents=True)
    subprocess.run(["certutil", "-d", f"sql:{profile}", "-N", "--empty-password"], check=True)
    (home / ".mozilla" / "firefox" / "no-db-profile").mkdir()
    stores = trust.stores_for("linux", home)
    assert [s.directory for s in stores] == [home / ".pki" / "nssdb", profile]

    for store in stores:
        assert not store.contains(ca)
        assert store.add(ca) is True
        assert store.add(ca) is False  # trusting twice adds one entry
        assert store.contains(ca) and len(nicknames(store.directory)) == 1
    assert stat.S_IMODE((home / ".pki" / "nssdb").stat().st_mode) == 0o700

    # A renewed CA replaces the old one instead of joining it.
    renewed = trust.Authority.load(CertificateManager(tmp_path / "certs").renew(ca=True).ca_cert)
    assert stores[0].add(renewed) is True
    assert stores[0].contains(renewed) and not stores[0].contains(ca)
    assert len(nicknames(stores[0].directory)) == 1

    assert stores[0].remove(renewed) is True
    assert stores[0].remove(renewed) is False  # not there: says so, no error
    assert nicknames(stores[0].directory) == []


def test_nss_without_a_database_is_not_created_by_untrust(tmp_path, ca):
    store = trust.stores_for("linux", tmp_path / "home")[0]
    assert store.remove(ca) is False and not store.contains(ca)
    assert not (tmp_path / "home" / ".pki").exists()


def fill(tmp_path, ca, *templates):
    """The command lines of the macOS and Windows stores with the places and names of `ca` put in."""
    names = {"keychain": tmp_path / "Library/Keychains/login.keychain-db", "ca": ca.path, "sha1": ca.sha1}
    names |= {"serial": ca.serial_hex, "cn": "Velmora Add-in Local CA", "scratch": "{scratch}"}
    return [[word.format(**names) for word in line.split()] for line in templates]


def scratch_named(calls):
    """`calls` with the scratch file a store has its tool write to named {scratch}."""
    return [[re.sub(r".*/velmora-trust-[^/]+/.*", "{scratch}", word) for word in call] for call in calls]


# The stores of macOS and Windows, through their tools' doubles: the tool, how the CA is looked for, how its trust
# is read where it is there, how it is added and removed.
TOOL_STORES = {
    "darwin": (
        ("security", "security"),
        "find-certificate -a -Z -c {cn} {keychain}",
        ["find-certificate -a -Z -c {cn} {keychain}", "trust-settings-export {scratch}"],
        ["add-trusted-cert -r trustRoot -k {keychain} {ca}"],
        ["remove-trusted-cert {ca}", "delete-certificate -Z {sha1} {keychain}"],
    ),
    "win32": (
        ("certutil", "certutil-windows"),
        "-user -store Root {serial}",
        ["-user -v -store Root {serial}"],
        ["-user -addstore Root {ca}"],
        ["-user -delstore Root {serial}"],
    ),
}


@pytest.mark.slow
@pytest.mark.parametrize(
    ("platform", "tool", "look", "read", "adding", "removing"), [(p, *row) for p, row in TOOL_STORES.items()]
)
def test_macos_and_windows_stores(tmp_path, ca, double, platform, tool, look, read, adding, removing):
    calls = double(*tool)
    [store] = trust.stores_for(platform, tmp_path)
    [look], read = fill(tmp_path, ca, look), fill(tmp_path, ca, *read)
    assert store.add(ca) is True
    assert calls() == [read[0], *fill(tmp_path, ca, *adding)]  # not there: no trust to read
    assert store.add(ca) is False and store.contains(ca)
    assert scratch_named(calls()) == [*read, look]
    assert store.remove(ca) is True
    assert calls() == [look, *fill(tmp_path, ca, *removing)]
    assert store.remove(ca) is False and not store.contains(ca)
    assert json.loads((tmp_path / "state.json").read_text()) == []


T = trust.TrustState


@pytest.mark.slow
@pytest.mark.parametrize(
    ("flags", "state", "detail"),
    [
        ("C,,", T.TRUSTED, "SSL flags: Valid CA, Trusted CA"),
        ("c,,", T.NOT_TRUSTED, "SSL flags: Valid CA"),
        (",,", T.NOT_TRUSTED, "SSL flags: none"),
        (None, T.ABSENT, f"another CA is filed as {trust.NSS_NICKNAME!r} (an earlier one)"),
    ],
)
def test_nss_trust_is_read_from_the_flags(tmp_path, ca, flags, state, detail):
    need("certutil")
    [store] = trust.stores_for("linux", tmp_path / "home")
    assert store.read_trust(ca) == (T.ABSENT, f"no NSS database in {store.directory}")
    store.add(ca)
    if flags is None:
        store.add(trust.Authority.load(CertificateManager(tmp_path / "certs").renew(ca=True).ca_cert))
    else:
        subprocess.run(["certutil", "-d", f"sql:{store.directory}", "-M", "-n", trust.NSS_NICKNAME, "-t", flags])
    before = {p.name: p.read_bytes() for p in store.directory.iterdir()}
    assert store.read_trust(ca) == (state, detail)
    assert {p.name: p.read_bytes() for p in store.directory.iterdir()} == before  # reading changed nothing
    if flags is not None:  # (there, ca's file holds the renewed CA) trusting again gives a missing server flag
        assert store.add(ca) is (state is not T.TRUSTED)
        assert store.read_trust(ca).state is T.TRUSTED


SSL = trust.MAC_SSL_POLICY.hex()


@pytest.mark.slow
@pytest.mark.parametrize(
    ("platform", "entry", "state", "detail"),
    [
        ("darwin", {}, T.TRUSTED, "its trust settings trust it as a root for SSL"),  # as add-trusted-cert leaves it
        ("darwin", {"trust_settings": []}, T.TRUSTED, "trusted for every use"),
        ("darwin", {"trust_settings": [{}, {"kSecTrustSettingsPolicy": SSL, "kSecTrustSettingsResult": 3}]},
         T.NOT_TRUSTED, "its trust settings deny it for SSL"),
        ("darwin", {"trust_settings": [{"kSecTrustSettingsPolicy": SSL, "kSecTrustSettingsPolicyString": "a.example"}]},
         T.NOT_TRUSTED, "its trust settings do not trust it for SSL"),
        ("darwin", {"trust_settings": None}, T.NOT_TRUSTED, "this user has no trust settings at all"),
        ("darwin", None, T.ABSENT, ""),
        ("win32", {}, T.TRUSTED, "no purposes set aside"),
        ("win32", {"purposes": ["1.3.6.1.5.5.7.3.2", trust.SERVER_AUTH_OID]}, T.TRUSTED,
         "its purposes include server authentication"),
        ("win32", {"purposes": ["1.3.6.1.5.5.7.3.2"]}, T.NOT_TRUSTED, "its purposes leave out server authentication"),
        ("win32", None, T.ABSENT, ""),
    ],
)  # fmt: skip
def test_keychain_and_root_store_trust_is_read_from_their_settings(
    tmp_path, ca, double, platform, entry, state, detail
):
    double(*(("security", "security") if platform == "darwin" else ("certutil", "certutil-windows")))
    [store], [unattended] = trust.stores_for(platform, tmp_path), trust.stores_for(platform, tmp_path, prompt=False)
    state_file = tmp_path / "state.json"
    if entry is not None:
        store.add(ca)
        state_file.write_text(json.dumps([json.loads(state_file.read_text())[0] | entry]))
    assert store.read_trust(ca) == (state, detail)
    # Trusting again applies whatever trust is missing (Windows: -addstore keeps the narrowed purposes of a
    # certificate it holds, so that goes first), and asks first: without someone to answer it is refused.
    if state is not T.TRUSTED:
        afresh = platform == "win32" and state is T.NOT_TRUSTED
        with pytest.raises(trust.TrustStorePrompt, match="run by hand: .*-delstore.* && " if afresh else "run by hand"):
            unattended.add(ca)
    assert store.add(ca) is (state is not T.TRUSTED)
    assert store.read_trust(ca).state is T.TRUSTED and len(json.loads(state_file.read_text())) == 1


@pytest.mark.slow
@pytest.mark.parametrize(
    ("platform", "name", "flavour", "adding", "removing"),
    [
        ("darwin", "security", "security", "security add-trusted-cert -r trustRoot -k {keychain} {ca}",
         "security remove-trusted-cert {ca} && security delete-certificate -Z {sha1} {keychain}"),
        ("win32", "certutil", "certutil-windows", "certutil -user -addstore Root {ca}",
         "certutil -user -delstore Root {serial}"),
    ],
)  # fmt: skip
def test_a_store_that_asks_fails_at_once_without_prompt(
    tmp_path, ca, double, platform, name, flavour, adding, removing
):
    calls = double(name, flavour)
    [store] = trust.stores_for(platform, tmp_path, prompt=False)
    adding, removing = (" ".join(words) for words in fill(tmp_path, ca, adding, removing))
    with pytest.raises(trust.TrustStorePrompt, match=re.escape(f"; run by hand: {adding}")):
        store.add(ca)
    assert len(calls()) == 1 and not store.contains(ca)  # looked, changed nothing
    calls()

    [asking] = trust.stores_for(platform, tmp_path)
    assert asking.add(ca) is True
    calls()
    assert store.add(ca) is False  # nothing to change: nothing to ask
    calls()
    with pytest.raises(trust.TrustStorePrompt, match=re.escape(f"; run by hand: {removing}")):
        store.remove(ca)
    assert len(calls()) == 1 and store.contains(ca)  # looked, changed nothing


@pytest.mark.slow
@pytest.mark.parametrize(
    ("terminal", "flags", "trusted"), [(False, [], False), (True, ["--no-prompt"], False), (True, [], True)]
)
def test_certs_trust_never_waits_on_a_password_without_someone_to_answer(tmp_path, terminal, flags, trusted):
    # A Firefox profile whose database has a password: certutil asks for it on the terminal.
    need("certutil")
    home = tmp_path / "home"
    profile = home / ".mozilla" / "firefox" / "locked.default"
    profile.mkdir(parents=True)
    (tmp_path / "password").write_text("secret\n")
    subprocess.run(["certutil", "-d", f"sql:{profile}", "-N", "-f", str(tmp_path / "password")], check=True)
    env = {"HOME": str(home), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    # Output on a terminal either way; only with `terminal` is it the run's controlling terminal and its input.
    screen = Terminal()
    began = time.monotonic()
    process = screen.start(
        [*COMMAND, "certs", "trust", *flags], controlling=terminal, cwd=ROOT, env=cli_environment(env)
    )
    output, answered = "", 0
    while chunk := screen.read_some(30):
        output += chunk
        if output.count("Password") > answered:  # only the run allowed to ask gets this far
            # certutil turns echo off, flushing what was typed, only after its prompt: type once it has.
            wait_until(lambda: not screen.echoes())
            screen.type("secret\n")
            answered += 1
    screen.close()
    assert process.wait(timeout=30) == (0 if trusted else 1), output
    nssdb = home / ".pki" / "nssdb"
    assert f"NSS database {nssdb} (Chromium, Chrome): added" in output  # the failing store stopped nothing
    shown = run_cli("certs", "show", env=env, stdin=subprocess.DEVNULL).stdout
    assert f"Firefox profile {profile}: {'yes' if trusted else 'no'}" in shown  # nothing half-added either
    if trusted:
        assert "Password" in output and f"Firefox profile {profile}: added" in output
        return
    assert time.monotonic() - began < 20 and "Password" not in output
    by_hand = f"certutil -d sql:{profile} -A -t C,, -n 'Velmora Add-in Local CA' -i {tmp_path / 'certs' / 'ca.crt'}"
    assert f"Firefox profile {profile}: FAILED: " in output and f"  run by hand: {by_hand}" in output
    assert (
        f"velmora-addin: error: trusting the CA failed in 1 of 2 trust stores: Firefox profile {profile}; "
        f"it succeeded in: NSS database {nssdb} (Chromium, Chrome)"
    ) in output


@pytest.mark.parametrize(
    ("platform", "message"),
    [
        (
            "linux",
            (
                "certutil not found: install the NSS tools (Debian/Ubuntu: apt-get install libnss3-tools; "
                "Fedora: dnf install nss-tools)"
            ),
        ),
        ("darwin", "security not found: the security program is part of macOS (/usr/bin/security)"),
        ("win32", "certutil not found: certutil.exe is part of Windows (C:\\Windows\\System32)"),
    ],
)
def test_a_missing_tool_names_what_provides_it(tmp_path, ca, monkeypatch, platform, message):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(trust.TrustToolMissing, match=f"^{re.escape(message)}$"):
        trust.stores_for(platform, tmp_path)[0].add(ca)


def certs_cli(tmp_path, *args, path=None):
    env = {"HOME": str(tmp_path / "home"), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    return run_cli("certs", *args, env={**env, **({"PATH": path} if path is not None else {})})


@pytest.mark.slow
def test_certs_commands(tmp_path):
    need("certutil")
    nssdb = tmp_path / "home" / ".pki" / "nssdb"
    shown = certs_cli(tmp_path, "show")
    assert shown.returncode == 0, shown.stderr
    for expected in (
        "name constraints: permits DNS:localhost, IP:127.0.0.1/32, IP:::1/128 (critical)",
        "names (SAN):      DNS:localhost, IP:127.0.0.1, IP:::1",
        "(mode 0700)",
        f"NSS database {nssdb} (Chromium, Chrome): no",
    ):
        assert expected in shown.stdout
    assert shown.stdout.count("SHA-256:") == 2 and shown.stdout.count("not after:") == 2

    first, second = certs_cli(tmp_path, "trust"), certs_cli(tmp_path, "trust")
    assert f"NSS database {nssdb} (Chromium, Chrome): added" in first.stdout
    assert f"NSS database {nssdb} (Chromium, Chrome): already trusted" in second.stdout
    assert "sudo update-ca-certificates" in first.stdout
    assert "(Chromium, Chrome): yes" in certs_cli(tmp_path, "show").stdout

    renewed = certs_cli(tmp_path, "renew", "--ca")
    assert f"NSS database {nssdb} (Chromium, Chrome): the old CA was removed" in renewed.stdout
    assert "Browsers trust the new CA only after: velmora-addin certs trust" in renewed.stdout
    assert "was not trusted" in certs_cli(tmp_path, "untrust").stdout
    certs_cli(tmp_path, "trust")
    assert "(Chromium, Chrome): removed" in certs_cli(tmp_path, "untrust").stdout


@pytest.mark.slow
def test_certs_trust_without_certutil_says_what_provides_it(tmp_path):
    result = certs_cli(tmp_path, "trust", path=str(tmp_path / "empty"))
    assert result.returncode == 1
    nssdb = tmp_path / "home" / ".pki" / "nssdb"
    assert (
        f"NSS database {nssdb} (Chromium, Chrome): FAILED: certutil not found: install the NSS tools (Debian/Ubuntu: "
        "apt-get install libnss3-tools; Fedora: dnf install nss-tools)\n"
    ) in result.stdout
    assert result.stderr == (
        f"velmora-addin: error: trusting the CA failed in 1 of 1 trust stores: NSS database {nssdb} (Chromium, "
        "Chrome); it succeeded in: none\n"
    )


# A Node.js client: the status and body of a GET, or the error's code with exit status 1.
NODE_GET = """
require('https').get(process.argv[1], (answer) => {
  let body = '';
  answer.on('data', (chunk) => { body += chunk; });
  answer.on('end', () => console.log(answer.statusCode, body));
}).on('error', (error) => { console.log(error.code); process.exitCode = 1; });
"""


@pytest.mark.slow
def test_node_trusts_the_ca_as_certs_show_tells(sm, tmp_path, port, monkeypatch):
    node = need("node")
    monkeypatch.setenv("VELMORA_CERT_DIR", str(tmp_path / "certs"))
    shown = certs_cli(tmp_path, "show")
    [advice] = [line for line in shown.stdout.splitlines() if "NODE_EXTRA_CA_CERTS" in line]
    name, ca_path = shlex.split(advice.split("export ", 1)[1])[0].split("=", 1)
    assert (name, ca_path) == ("NODE_EXTRA_CA_CERTS", str(tmp_path / "certs" / "ca.crt"))

    plain = {k: v for k, v in clean_environment().items() if not k.startswith("NODE_")}
    with sm.AddinServerManager(port=port, timeout=20) as server:
        answers = [
            subprocess.run(
                [node, "-e", NODE_GET, f"{server.url}/health"], env=env, capture_output=True, text=True, timeout=30
            )
            for env in ({**plain, name: ca_path}, plain)
        ]
    trusted, untrusted = answers
    assert trusted.returncode == 0 and trusted.stdout.startswith('200 {"status":"ok"'), trusted.stdout + trusted.stderr
    assert (untrusted.returncode, untrusted.stdout.strip()) == (1, "UNABLE_TO_VERIFY_LEAF_SIGNATURE")
